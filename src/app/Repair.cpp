#include "Repair.h"

#include "release/PlayerOwned.h"

#include <sys/stat.h>

#include <chrono>
#include <unordered_map>
#include <unordered_set>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "release/LineFields.h"

namespace {

bool StatOf(const AnsiString& path, struct stat& st) {
    return lstat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t ChangeTimeOf(const struct stat& st) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}


int64_t Number(const AnsiString& text) {
    try {
        return StrToInt64(text);
    } catch (const EConvertError&) {
        return -1;
    }
}

}  // namespace

TInstalledRecord::TInstalledRecord(const AnsiString& appFolder, bool trust) : FFolder(appFolder) {
    TStringList lines;
    try {
        lines.LoadFromFile(appFolder + kInstalledRecordFile);
    } catch (const EInOutError&) {
        return;
    }
    for (const AnsiString& line : lines.Lines()) {
        const std::vector<AnsiString> f = SplitFields(line);
        // Without trust every file is hashed again; which files a pack
        // installed is kept all the same, or no pack could be judged by its
        // members (nor would the record saved after a repair name them).
        if (f.size() == 6 && f[0] == "F" && trust) {
            TFileRecord r{f[5], LowerCase(f[4]), Number(f[1]), Number(f[2]), Number(f[3])};
            if (IsSha256Text(r.Sha256)) FFiles[LowerCase(r.Local)] = std::move(r);
        } else if (f.size() == 3 && f[0] == "M") {
            FPacks[LowerCase(f[1])].push_back(f[2]);
        }
    }
}

AnsiString TInstalledRecord::Sha256Of(const AnsiString& local) {
    struct stat st;
    if (!StatOf(FFolder + local, st)) return "";
    auto it = FFiles.find(LowerCase(local));
    if (it != FFiles.end() && it->second.Size == st.st_size && it->second.ChangeTime == ChangeTimeOf(st) &&
        it->second.Inode == static_cast<int64_t>(st.st_ino))
        return it->second.Sha256;
    AnsiString sha;
    try {
        sha = Sha256OfFile(FFolder + local);
    } catch (const EInOutError&) {
        return "";
    }
    // Recorded as it was when hashing began: a file that changed meanwhile
    // is hashed again next time.
    if (!sha.empty()) {
        FFiles[LowerCase(local)] = {local, sha, st.st_size, ChangeTimeOf(st), static_cast<int64_t>(st.st_ino)};
        FChanged = true;
    }
    return sha;
}

void TInstalledRecord::NoteInstalled(const AnsiString& local, const AnsiString& sha256) {
    struct stat st;
    if (!StatOf(FFolder + local, st)) return;
    FFiles[LowerCase(local)] = {local, LowerCase(sha256), st.st_size, ChangeTimeOf(st), static_cast<int64_t>(st.st_ino)};
    FChanged = true;
}

bool TInstalledRecord::PackMembers(const AnsiString& local, std::vector<AnsiString>& members) const {
    auto it = FPacks.find(LowerCase(local));
    if (it == FPacks.end()) return false;
    members = it->second;
    return true;
}

void TInstalledRecord::NotePackMembers(const AnsiString& local, const std::vector<AnsiString>& members) {
    FPacks[LowerCase(local)] = members;
    FChanged = true;
}

void TInstalledRecord::Save() {
    if (!FChanged) return;
    TStringList lines;
    for (const auto& [key, r] : FFiles)
        lines.Add("F " + IntToStr(r.Size) + " " + IntToStr(r.ChangeTime) + " " + IntToStr(r.Inode) + " " + r.Sha256 +
                  " " + r.Local);
    for (const auto& [pack, members] : FPacks)
        for (const AnsiString& m : members) lines.Add("M " + pack + " " + m);
    lines.SaveToFileAtomic(FFolder + kInstalledRecordFile);
    FChanged = false;
}

bool IsInstalledAsListed(const TUpdateEntry& e, TInstalledRecord& record) {
    if (e.Kind == "O") {
        const AnsiString& expected = e.InstalledSha256.empty() ? e.Sha256 : e.InstalledSha256[0];
        return !IsSha256Text(expected) || record.Sha256Of(e.Local) == expected;
    }
    if (e.InstalledSha256.empty()) return true;  // an older list: nothing to check against
    if (e.Kind == "E") return record.Sha256Of(e.Local) == e.InstalledSha256[0];
    std::vector<AnsiString> members;
    if (!record.PackMembers(e.Local, members) || members.size() != e.InstalledSha256.size()) return false;
    for (size_t i = 0; i < members.size(); ++i)
        if (!IsSafeRelativeName(members[i]) || record.Sha256Of(members[i]) != e.InstalledSha256[i]) return false;
    return true;
}

void TRepairCheck::Prepare(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed) {
    FPrepared = true;
    if (!remote.empty()) FOwned = DeclaredOwnedFiles(remote[0]);
    if (installed.size() < 2) return;
    std::unordered_map<AnsiString, size_t> firstLine;
    firstLine.reserve(installed.size());
    for (size_t i = 1; i < installed.size(); ++i)
        if (!GetField(2, installed[i]).empty()) firstLine.emplace(LowerCase(GetField(1, installed[i])), i);
    std::unordered_set<AnsiString> planned;
    for (const AnsiString& name : FPlanned) planned.insert(LowerCase(name));
    for (size_t r = 1; r < remote.size(); ++r) {
        if (!IsKnownKind(GetField(1, remote[r]))) continue;
        const AnsiString name = LowerCase(GetField(3, remote[r]));
        auto it = firstLine.find(name);
        if (it != firstLine.end() && planned.insert(name).second) FTodo.emplace_back(r, it->second);
    }
}

bool TRepairCheck::Step(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed,
                        TInstalledRecord& record, double seconds) {
    if (!FPrepared) Prepare(remote, installed);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (FNext < FTodo.size()) {
        const auto [r, i] = FTodo[FNext++];
        TUpdateEntry e;
        try {
            e = ParseUpdateEntry(remote[r]);
        } catch (const EConvertError&) {
            continue;
        }
        // A file the player owns is checked only for being there.
        if (FOwned.count(LowerCase(e.Local)) && !record.Sha256Of(e.Local).empty()) continue;
        if (IsSafeRelativeName(e.Local) && !IsInstalledAsListed(e, record)) {
            Found.Names.push_back(e.Local);
            Found.Entries.push_back("U " + IntToStr(static_cast<int64_t>(i)) + " " + remote[r]);
        }
        if ((FNext & 63) == 0 && std::chrono::steady_clock::now() >= until) break;
    }
    return FNext >= FTodo.size();
}

void PlanRepairs(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed,
                 TInstalledRecord& record, TUpdatePlan& plan) {
    TRepairCheck check(plan.Names);
    while (!check.Step(remote, installed, record, 1.0)) {
    }
    for (size_t k = 0; k < check.Found.Entries.size(); ++k) {
        plan.Names.push_back(check.Found.Names[k]);
        plan.Entries.push_back(check.Found.Entries[k]);
    }
}
