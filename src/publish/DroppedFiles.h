// Files that an earlier release installed and the new one does not: the
// new release names them in its removals file (see release/RemovalsFile.h)
// so that updaters remove them from the players' folders, but only where
// the bytes there are still those the earlier release installed.
#pragma once
#include <set>
#include <vector>

#include "platform/Classes.h"

struct TInstalledFile {
    AnsiString Local, Version;  // as the list names them
    int64_t Size = 0;
    AnsiString Sha256;  // of the installed bytes
};

// One line of installed.sums, and back.
AnsiString InstalledSumsLine(const TInstalledFile& f);
bool ParseInstalledSumsLine(const AnsiString& line, TInstalledFile& f);

// What the release published in `folder` installs, file by file (pack
// members one by one): from its installed.sums, or, for a folder made before
// the publisher kept one, worked out from its served files. `scratch` is a
// folder for a decompressed pack. Raises Exception when a served file cannot
// be read.
std::vector<TInstalledFile> InstalledFilesOf(const AnsiString& folder, const AnsiString& scratch);

// The "D" lines of the new release's removals file: those the previous
// release carried (in its list or its removals file) whose file the new
// release does not bring back, and, with `addDropped`, one for each file
// the previous release installed that the new one does not.
// `kept` holds the new release's installed local names, lower-cased.
std::vector<AnsiString> RemovalLines(const AnsiString& previousFolder, const std::set<AnsiString>& kept,
                                     bool addDropped, const AnsiString& scratch);
