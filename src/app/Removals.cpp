#include "Removals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <set>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"
#include "release/UpdateEntry.h"

bool IsUpdatersOwnFile(const AnsiString& local) {
    static const char* const kOwn[] = {"update2.dat", "update3.dat", "update3.dat.minisig", "isp0.dat", "isp1.dat",
                                       "update.pub",  "update.serial", "update.log", "update.log.1", "skiff"};
    for (const char* own : kOwn)
        if (SameNameIgnoringCase(local, own)) return true;
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return false;
    AnsiString program(buf, static_cast<size_t>(n));
    return SameNameIgnoringCase(NativePath(local), program.substr(program.rfind('/') + 1));
}

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
        if (brought.count(LowerCase(e.Local)) || !IsSafeRelativeName(e.Local) || IsUpdatersOwnFile(e.Local)) continue;
        if (!IsUnchangedInstalledFile(appFolder + e.Local, e.Size, e.Sha256)) continue;
        plan.Names.push_back(e.Local);
        plan.Entries.push_back(remote[r]);
    }
}
