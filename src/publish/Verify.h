// Checking a published folder as an updater would use it, before it goes up
// to the mirrors: every entry's file present with its size and SHA-256, gzip
// data and packs whole, names that stay in the application folder, and the
// signature when there is a key.
#pragma once
#include <vector>

#include "platform/Classes.h"

struct TVerifyReport {
    int Entries = 0;
    bool Signed = false;       // update3.dat.minisig is there
    bool SignatureChecked = false;
    std::vector<AnsiString> Problems;  // each one line, naming the entry or file
    bool Ok() const { return Problems.empty(); }
};

// `keyFile` empty: a signature is not checked (a note says so when there is one).
TVerifyReport VerifyRelease(const AnsiString& outDir, const AnsiString& keyFile);
