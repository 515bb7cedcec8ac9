#include "Removals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <set>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"
#include "release/RemovalsFile.h"
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
        if (brought.count(LowerCase(e.Local)) || !IsSafeRelativeName(e.Local) || IsUpdatersOwnFile(e.Local)) continue;
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
