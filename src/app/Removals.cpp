#include "Removals.h"

#include <sys/stat.h>

#include <set>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/LineFields.h"
#include "release/OwnFiles.h"
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
    for (size_t r = 1; r < remote.size(); ++r) {
        if (!IsRemovalKind(GetField(1, remote[r]))) continue;
        TUpdateEntry e;
        try {
            e = ParseUpdateEntry(remote[r]);
        } catch (const EConvertError&) {
            continue;
        }
        if (brought.count(LowerCase(e.Local)) || !IsSafeRelativeName(e.Local) ||
            IsUpdatersOwnFile(e.Local, ProgramFileName()))
            continue;
        if (!IsUnchangedInstalledFile(appFolder + e.Local, e.Size, e.Sha256)) continue;
        plan.Names.push_back(e.Local);
        plan.Entries.push_back(remote[r]);
    }
}
