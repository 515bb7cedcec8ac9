// The update plan: which files of the remote versions list (update3.dat)
// to bring in, compared with the installed versions list (update2.dat).
// Line 0 of both lists is a header. A remote line with fewer than five
// fields or whose first field is "U", and an installed line with fewer than
// two are passed over.
#pragma once
#include <vector>

#include "platform/Classes.h"

struct TUpdatePlan {
    std::vector<AnsiString> Names;    // the local names, for the to-update list box
    std::vector<AnsiString> Entries;  // "U <index> <remote line>" or the remote line
};

// Planned when the remote version is greater (byte order) than the installed
// one, or when the name (ASCII case ignored) is not installed; the first
// installed line with the name decides. An installed list without any line
// after its header plans nothing. Linear in the sizes of both lists.
TUpdatePlan BuildUpdatePlan(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed);

// The same plan by comparing every pair of lines: the reference that tests
// and the benchmark hold the fast one against.
TUpdatePlan BuildUpdatePlanByPairs(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed);
