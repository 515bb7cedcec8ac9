// Which old releases and served files may go, from a published folder and
// from the mirrors. The choice is one pure function, so that the folder and
// every mirror are pruned by the same rule:
//   - the newest `keep` lists of releases/ stay, and so does every served
//     file one of them names (and every name in `alsoKeep`: what the place
//     itself serves now);
//   - of the rest, only files that some list of releases/ named go: a file
//     no list of ours ever named is not ours to remove;
//   - the lists and bookkeeping files themselves are never files to remove.
#pragma once
#include <vector>

#include "ReleaseHistory.h"

constexpr char kListFile[] = "update3.dat";

// One list of releases/, by its file name ("000042.update3.dat").
struct TPublishedList {
    AnsiString Name;
    std::vector<AnsiString> Served;  // remote names of its "E", "O" and "C" entries
};

struct TPruneChoice {
    std::vector<AnsiString> Lists;  // names in releases/, oldest first
    std::vector<AnsiString> Files;  // served names, sorted
};

// `lists` in any order (their names order them); `present`: the files that
// are there. `keep` of 0 keeps no list but still keeps `alsoKeep`.
TPruneChoice ChoosePrune(const std::vector<TPublishedList>& lists, size_t keep,
                         const std::vector<AnsiString>& present, const std::vector<AnsiString>& alsoKeep);

// A served file of a list: an "E", "O" or "C" entry.
struct TServedEntry {
    AnsiString Name;  // remote name
    int64_t Size = -1;  // -1: the list's size is not a number
    int Line = 0;
    AnsiString Sha256;  // of the served bytes, as the list gives it; empty when it gives none
};
// The served files of a list's text with their sizes, each name once (its
// first entry).
std::vector<TServedEntry> ServedEntriesOf(const AnsiString& listText);
// The lists of `outDir`/releases, oldest first. Raises Exception when there
// are none, a list cannot be read, or the newest is not
// byte-identical to `outDir`/update3.dat (the history would be out of step).
std::vector<TPublishedList> ReadHistory(const AnsiString& outDir);

struct TFolderPrune {
    TPruneChoice Removed;
    int64_t Bytes = 0;  // of the removed files
};
// Removes from `outDir` what ChoosePrune leaves out with the newest `keep`
// lists: the files first, then the lists, so that a cut-off prune is
// finished by the next one. With `dryRun` nothing is removed.
TFolderPrune PruneFolder(const AnsiString& outDir, size_t keep, bool dryRun);
