// The order in which the servers of isp0.dat are tried: the chosen one
// first, the others shuffled; the sentinel line "end" always last.
#pragma once
#include <vector>

#include "platform/Classes.h"

// The original runtime's generator: state = state * 134775813 + 1 (mod 2^32);
// a draw in a range of R values is the high 32 bits of state * R.
class TRandomGenerator {
public:
    explicit TRandomGenerator(uint32_t seed = 0) : FState(seed) {}
    void Seed(uint32_t seed) { FState = seed; }
    uint32_t Next(uint32_t range) {
        FState = FState * 134775813u + 1u;
        return static_cast<uint32_t>((static_cast<uint64_t>(FState) * range) >> 32);
    }
    uint32_t State() const { return FState; }

private:
    uint32_t FState;
};

// Milliseconds since midnight of the system clock (UTC): the seed.
uint32_t ClockSeed();

// isp0Lines: the whole file, its last line the sentinel. selected: the index
// chosen in the dialog; the index equal to the number of server lines is
// "Other" (no preferred server).
std::vector<AnsiString> BuildServerOrder(const std::vector<AnsiString>& isp0Lines, int selected,
                                         TRandomGenerator& random);

// The choice the server dialog saved in isp1.dat: the index of the chosen
// item among `items` (the servers, then "Other"); 0 when there is none or
// it cannot be used.
int SavedServerChoice(const AnsiString& appFolder, int items);
