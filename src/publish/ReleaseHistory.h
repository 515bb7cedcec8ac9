// The lists of a published folder's releases: releases/NNNNNN.update3.dat,
// numbered upwards, the newest being the folder's own update3.dat. A
// published folder keeps every served file that one of these lists names,
// so that a mirror made from it never lacks a file that a list still live
// somewhere names; prune decides when an old release may go.
#pragma once
#include <utility>
#include <vector>

#include "platform/Classes.h"

constexpr char kReleasesFolder[] = "releases";
constexpr char kReleaseSums[] = "release.sums";      // per entry: local name, checksum, version, remote name, SHA-256
constexpr char kInstalledSums[] = "installed.sums";  // per installed file: local name, size, SHA-256

struct TReleaseList {
    int Number = 0;
    AnsiString Path;  // native
};

// The lists of `outDir`'s releases, oldest first (none for a folder made by
// a publisher that kept no history).
std::vector<TReleaseList> ReleaseLists(const AnsiString& outDir);
AnsiString ReleaseListName(int number);  // "releases/000042.update3.dat"
// The remote names of the served files ("E", "O" and "C" entries, and the
// removals file its header names) of a list.
std::vector<AnsiString> ServedNamesOf(const AnsiString& listText);
// The delta form's served files (the manifest its header names, the
// indexes and chunk files the manifest names, as `folder` holds them) with
// their sizes; only the manifest when it is missing or damaged there.
std::vector<std::pair<AnsiString, int64_t>> DeltaServedFilesIn(const AnsiString& folder, const AnsiString& listText);
// ServedNamesOf and the delta form's files.
std::vector<AnsiString> ServedNamesIn(const AnsiString& folder, const AnsiString& listText);
