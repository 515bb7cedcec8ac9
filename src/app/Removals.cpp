#include "Removals.h"

#include <sys/stat.h>

#include <set>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/LineFields.h"
#include "release/OwnFiles.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"

bool IsUnchangedInstalledFile(const AnsiString& path, int64_t size, const AnsiString& sha256) {
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size) return false;
    try {
        return IsSha256Text(sha256) && Sha256OfFile(path) == LowerCase(sha256);
    } catch (const EInOutError&) {
        return false;
    }
}

void PlanRemovals(const std::vector<AnsiString>& remote, const AnsiString& appFolder, TUpdatePlan& plan) {
    std::set<AnsiString> brought;
    for (size_t r = 1; r < remote.size(); ++r)
        if (IsKnownKind(GetField(1, remote[r]))) brought.insert(LowerCase(GetField(3, remote[r])));
    // The "D" lines of lists published before removals had a file of their
    // own, then those of the removals file the list names.
    std::vector<AnsiString> removals;
    for (size_t r = 1; r < remote.size(); ++r)
        if (IsRemovalKind(GetField(1, remote[r]))) removals.push_back(remote[r]);
    if (!remote.empty()) {
        const std::vector<AnsiString> listed = ListedRemovals(remote[0], appFolder);
        removals.insert(removals.end(), listed.begin(), listed.end());
    }
    std::set<AnsiString> planned;
    for (const AnsiString& line : removals) {
        TUpdateEntry e;
        try {
            e = ParseUpdateEntry(line);
        } catch (const EConvertError&) {
            continue;
        }
        if (brought.count(LowerCase(e.Local)) || !IsSafeRelativeName(e.Local) ||
            IsUpdatersOwnFile(e.Local, ProgramFileName()))
            continue;
        if (!planned.insert(LowerCase(e.Local)).second) continue;
        if (!IsUnchangedInstalledFile(appFolder + e.Local, e.Size, e.Sha256)) continue;
        plan.Names.push_back(e.Local);
        plan.Entries.push_back(line);
    }
}

std::vector<AnsiString> ListedRemovals(const AnsiString& header, const AnsiString& appFolder) {
    TRemovalsFile named;
    if (!DeclaredRemovalsFile(header, named) || !FileExists(appFolder + kRemovalsFile)) return {};
    try {
        return RemovalLinesOf(ReadWholeFile(appFolder + kRemovalsFile, kMaxRemovalsBytes), named);
    } catch (const EInOutError&) {
        return {};
    }
}
