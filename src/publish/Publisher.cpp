#include "Publisher.h"
#include "VersionOrder.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "Cores.h"
#include "DeltaWriter.h"
#include "DroppedFiles.h"
#include "ReleaseHistory.h"
#include "ReleaseNames.h"
#include "ServedFile.h"
#include "SignedPrevious.h"
#include "crypto/Minisign.h"
#include "crypto/Sha256.h"
#include "release/LineFields.h"
#include "release/OwnFiles.h"
#include "release/PackArchive.h"
#include "release/PlayerOwned.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/WindowsNames.h"
#include "platform/StringList.h"
#include "platform/System.h"

namespace {

struct Source {
    AnsiString native;  // path on disk
    AnsiString local;   // backslash-separated, system code page
    AnsiString rel;     // slash-separated, UTF-8 (for globs and messages)
    int64_t size = 0;
    uint32_t crc = 0;
    AnsiString sha256;  // of the file as it is installed
    int mode = 0644;
};

struct Entry {
    char kind;
    AnsiString local, remote, version, sum, sha256;
    std::vector<const Source*> members;  // one for "E" and "O"
    int64_t remoteSize = 0;
    bool changed = true;
};

struct PreviousEntry {
    AnsiString sum, version, remote, sha256, local;
};

// The list names of the files --player-owned matches: files of their own
// ("E" or "O"), never a pack's member (a pack is installed whole) nor the
// launcher (it must always be the release's).
std::vector<AnsiString> PlayerOwnedNames(const TPublishOptions& o, const std::vector<Source>& sources,
                                         const std::vector<Entry>& entries) {
    std::vector<AnsiString> names;
    if (o.PlayerOwnedGlobs.empty()) return names;
    auto matches = [&](const AnsiString& rel) {
        for (const AnsiString& g : o.PlayerOwnedGlobs)
            if (fnmatch(g.c_str(), rel.c_str(), 0) == 0) return true;
        return false;
    };
    for (const Source& s : sources) {
        if (!matches(s.rel)) continue;
        const Entry* own = nullptr;
        for (const Entry& e : entries)
            if (e.members.size() == 1 && e.members[0] == &s && e.kind != 'C') own = &e;
        if (!own) throw Exception("--player-owned matches " + s.rel + ", a member of a pack: packs are installed whole");
        if (SameNameIgnoringCase(own->local, "portal.exe"))
            throw Exception("--player-owned matches the launcher portal.exe: it must always be the release's");
        names.push_back(own->local);
    }
    return names;
}

AnsiString OctalMode(int mode) {
    char b[8];
    snprintf(b, sizeof b, "%04o", mode & 0777);
    return b;
}

// The release's regular files; links and special files are problems (an
// updater could not install them as they are).
void Walk(const AnsiString& root, const AnsiString& rel, std::vector<Source>& out, std::vector<AnsiString>& problems) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d) {
        problems.push_back((rel.empty() ? root : rel) + ": the folder cannot be read");
        return;
    }
    std::vector<AnsiString> names;
    while (dirent* e = readdir(d)) {
        AnsiString n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const AnsiString& n : names) {
        AnsiString r = rel.empty() ? n : rel + "/" + n;
        AnsiString path = root + "/" + r;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            problems.push_back(r + ": cannot be read");
        } else if (S_ISLNK(st.st_mode)) {
            problems.push_back(r + ": is a symbolic link (give the file itself)");
        } else if (S_ISDIR(st.st_mode)) {
            Walk(root, r, out, problems);
        } else if (!S_ISREG(st.st_mode)) {
            problems.push_back(r + ": is not a regular file (a device, pipe or socket)");
        } else {
            Source s;
            s.native = path;
            s.rel = r;
            s.size = st.st_size;
            s.mode = static_cast<int>(st.st_mode & 0777);
            out.push_back(s);
        }
    }
}

AnsiString RealPath(const AnsiString& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? AnsiString(buf) : AnsiString();
}

bool Inside(const AnsiString& inner, const AnsiString& outer) {
    return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                              inner[outer.size()] == '/');
}

// One read of each release file gives both sums: the checksum that tells
// what changed and the SHA-256 of the installed bytes.
void Checksum(Source& s) {
    FILE* f = fopen(s.native.c_str(), "rb");
    if (!f) throw Exception("Cannot read " + s.native);
    std::vector<char> buf(1 << 20);
    uLong crc = crc32(0L, Z_NULL, 0);
    TSha256 sha;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
        sha.Update(buf.data(), n);
    }
    fclose(f);
    s.crc = static_cast<uint32_t>(crc);
    s.sha256 = sha.HexDigest();
}

AnsiString Hex(uint64_t v) {
    char b[20];
    snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(v));
    return b;
}

// How many of `members`, from `first` on, go into one pack: at most 100,
// and 99 when the hundredth name is 80 bytes long, because that record's last
// name byte is the archive's last byte, which an updater does not read.
size_t PackPartSize(const std::vector<const Source*>& members, size_t first) {
    size_t n = std::min(members.size() - first, static_cast<size_t>(kPackMaxMembers));
    if (n == static_cast<size_t>(kPackMaxMembers) && members[first + n - 1]->local.size() >= static_cast<size_t>(kPackMaxName))
        --n;
    return n;
}

// The folder of a previous release given as a folder or as its update3.dat.
AnsiString PreviousFolderOf(const AnsiString& previous) {
    struct stat st;
    if (stat(previous.c_str(), &st) != 0) throw Exception("The previous release " + previous + " does not exist");
    AnsiString folder = S_ISDIR(st.st_mode) ? previous : previous.substr(0, previous.rfind('/') + 1);
    return folder.empty() ? AnsiString(".") : folder;
}

std::map<AnsiString, PreviousEntry> ReadPrevious(const AnsiString& previous, AnsiString& folder) {
    std::map<AnsiString, PreviousEntry> out;
    if (previous.empty()) return out;
    folder = PreviousFolderOf(previous);
    TStringList lines;
    lines.LoadFromFile(SystemPathFromNative(folder + "/" + kReleaseSums));
    for (const AnsiString& line : lines.Lines()) {
        AnsiString local = GetField(1, line);
        if (local.empty()) continue;
        out[LowerCase(local)] = {GetField(2, line), GetField(3, line), GetField(4, line), GetField(5, line), local};
    }
    return out;
}

AnsiString DefaultVersion() {
    time_t now = time(nullptr);
    tm t;
    gmtime_r(&now, &t);
    char b[32];
    strftime(b, sizeof b, "%Y%m%d%H%M%S", &t);
    return b;
}

void ThrowProblems(const std::vector<AnsiString>& problems) {
    if (problems.empty()) return;
    AnsiString text = "The release cannot be published (" + IntToStr(static_cast<int64_t>(problems.size())) +
                      (problems.size() == 1 ? " problem):" : " problems):");
    for (const AnsiString& p : problems) text += "\n  " + p;
    throw Exception(text);
}

void RemoveTree(const AnsiString& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// A file of the previous published folder is linked (neither copy is ever
// written again); one from the release folder is copied, or editing the
// release would change what was published.
enum class TCopy { MayLink, Copy };

bool CopyFile(const AnsiString& from, const AnsiString& to, TCopy how) {
    if (how == TCopy::MayLink && link(from.c_str(), to.c_str()) == 0) return true;
    // Across file systems: copied in pieces by the library, never held whole.
    std::error_code failed;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, failed);
}

void LoadSecretKey(const TPublishOptions& o, TSecretKey& key) {
    AnsiString text;
    try {
        text = ReadWholeFile(SystemPathFromNative(o.SecretKey));
    } catch (const Exception& e) {
        throw Exception("Cannot read the secret key: " + e.Message);
    }
    auto password = [&o]() -> AnsiString {
        if (!o.PasswordFile.empty()) {
            AnsiString p = ReadWholeFile(SystemPathFromNative(o.PasswordFile));
            return p.substr(0, p.find_first_of("\r\n"));
        }
        if (o.AskPassword) return o.AskPassword();
        throw Exception("The secret key " + o.SecretKey + " is protected by a password: give --password-file");
    };
    try {
        ParseSecretKey(text, password, key);
    } catch (const ESignatureError& e) {
        throw Exception("The secret key " + o.SecretKey + " cannot be used: " + e.Message);
    }
}

// The serial of the signed release in `folder`, 0 when there is none.
int64_t SerialIn(const AnsiString& folder) {
    try {
        TSignature s = ParseSignature(ReadWholeFile(SystemPathFromNative(folder + "/update3.dat.minisig")));
        return StrToInt64(CommentFields(s.TrustedComment)["serial"]);
    } catch (const Exception&) {
        return 0;
    }
}

// Every signed release has a greater serial than the one before, so that an
// updater can refuse an older list served as new.
// By default a serial is at least the UTC time in seconds, so that even a
// fresh OUT_DIR without --previous never goes back behind the releases
// players have seen; it stays below 2^53 so that every tool reads it right.
int64_t NextSerial(const TPublishOptions& o) {
    int64_t last = std::max(SerialIn(o.OutDir), o.Previous.empty() ? 0 : SerialIn(PreviousFolderOf(o.Previous)));
    if (o.Serial == 0) {
        if (last >= kMaxSerial) throw Exception("The last serial, " + IntToStr(last) + ", leaves no serial after it");
        return std::max(last + 1, static_cast<int64_t>(time(nullptr)));
    }
    if (o.Serial > kMaxSerial) throw Exception("A serial is at most " + IntToStr(kMaxSerial));
    if (o.Serial <= last)
        throw Exception("The serial " + IntToStr(o.Serial) + " is not greater than the last one, " + IntToStr(last));
    return o.Serial;
}

// Makes the served files of `fresh` in `out`, on every core: each is
// compressed (or copied) and hashed in one pass, then named after its
// bytes, so a mirror that still serves an older list keeps the file that
// list names while this one arrives. The files come out as one thread
// would make them.
void MakeServedFiles(const std::vector<Entry*>& fresh, const AnsiString& out, const TPublishProgress& progress,
                     int64_t& done, int64_t total) {
    std::mutex progressLock;
    OnEveryCore(fresh.size(), [&](size_t k) {
        Entry& e = *fresh[k];
        const AnsiString staging = out + "/.staging-" + IntToStr(static_cast<int64_t>(k));
        AnsiString source = e.members[0]->native;
        if (e.kind == 'C') {
            TPackWriter writer;
            for (const Source* m : e.members) writer.AddFile(m->local, SystemPathFromNative(m->native));
            source = staging + ".pack";
            writer.Write(SystemPathFromNative(source));
        }
        e.sha256 = WriteServedFile(source, staging, e.kind != 'O', 6);
        // Bytes that gzip cannot shrink (media, archives, random data) are
        // served as they are: smaller, and nothing to inflate on the way in.
        struct stat made, plain;
        if (e.kind == 'E' && stat(staging.c_str(), &made) == 0 && stat(source.c_str(), &plain) == 0 &&
            made.st_size >= plain.st_size) {
            e.kind = 'O';
            e.sha256 = WriteServedFile(source, staging, false, 6);
        }
        if (e.kind == 'C') unlink(source.c_str());
        e.remote = ServedNameOf(e.local, e.sha256, e.kind == 'O' ? "" : ".gz");
        if (rename(staging.c_str(), (out + "/" + e.remote).c_str()) != 0)
            throw Exception("Cannot write " + out + "/" + e.remote);
        std::lock_guard<std::mutex> hold(progressLock);
        for (const Source* m : e.members) done += m->size;
        if (progress) progress(done, total, e.members[0]->rel);
    });
}

// The new folder `out` takes the lists of the earlier releases (a folder
// made before they were kept counts its own list as the first) and every
// served file that they name, then its own list as the newest.
void KeepHistory(const AnsiString& previousFolder, const AnsiString& out) {
    if (mkdir((out + "/" + kReleasesFolder).c_str(), 0755) != 0) throw Exception("Cannot create " + out + "/releases");
    std::vector<TReleaseList> lists;
    if (!previousFolder.empty()) {
        lists = ReleaseLists(previousFolder);
        struct stat st;
        if (lists.empty() && stat((previousFolder + "/update3.dat").c_str(), &st) == 0)
            lists.push_back({1, previousFolder + "/update3.dat"});
    }
    for (const TReleaseList& l : lists) {
        if (!CopyFile(l.Path, out + "/" + ReleaseListName(l.Number), TCopy::MayLink))
            throw Exception("Cannot copy " + l.Path);
        for (const AnsiString& name : ServedNamesIn(previousFolder, ReadWholeFile(SystemPathFromNative(l.Path)))) {
            const AnsiString there = out + "/" + name;
            if (access(there.c_str(), F_OK) != 0) CopyFile(previousFolder + "/" + name, there, TCopy::MayLink);
        }
    }
    const int next = lists.empty() ? 1 : lists.back().Number + 1;
    if (!CopyFile(out + "/update3.dat", out + "/" + ReleaseListName(next), TCopy::Copy))
        throw Exception("Cannot write " + out + "/" + ReleaseListName(next));
}

// The removals file of the new release in `out`, and the header field
// that names it ("" when nothing is to be removed). Removals travel apart
// from the list: an updater built to the original format would plan a "D"
// line like any entry, record nothing, and list the file at every start.
AnsiString WriteRemovals(const AnsiString& previousFolder, const std::vector<Source>& sources, bool addDropped,
                         const AnsiString& out, TPublishSummary& summary) {
    if (previousFolder.empty()) return "";
    std::set<AnsiString> kept;
    for (const Source& s : sources) kept.insert(LowerCase(s.local));
    TStringList removals;
    removals.Add(kRemovalsHeader);
    for (const AnsiString& line : RemovalLines(previousFolder, kept, addDropped, out)) removals.Add(line);
    summary.Removals = removals.Count() - 1;
    if (summary.Removals == 0) return "";
    const AnsiString text = removals.Text();
    const AnsiString sha = Sha256Of(text);
    const TRemovalsFile file{ServedNameOf(kRemovalsFile, sha, ""), static_cast<int64_t>(text.size()), sha};
    WriteWholeFile(SystemPathFromNative(out + "/" + file.Name), text);
    return " " + RemovalsHeaderField(file);
}

// The entries that may have a delta form: single files ("E" and "O").
std::vector<TDeltaEntry> DeltaEntriesOf(const std::vector<Entry>& entries) {
    std::vector<TDeltaEntry> out;
    for (const Entry& e : entries)
        if (e.kind != 'C')
            out.push_back({e.remote.empty() ? "new:" + e.local : e.remote, e.members[0]->native, e.members[0]->size,
                           e.members[0]->sha256, !e.changed});
    return out;
}

// What a player on each of the last few releases would fetch of this one:
// the delta form is worked out (nothing written) and held against each
// release's own.
void EstimatePlayerFetches(const std::vector<Entry>& entries, const AnsiString& previousFolder,
                           TPublishSummary& summary) {
    if (previousFolder.empty()) return;
    TDeltaWriter delta(previousFolder);
    TDeltaSummary ignored;
    const std::vector<TDeltaEntry> deltaEntries = DeltaEntriesOf(entries);
    delta.Write(deltaEntries, "", true, ignored);
    std::vector<TReleaseList> lists = ReleaseLists(previousFolder);
    const size_t kReleases = 4;
    for (size_t n = 0; n < kReleases && n < lists.size(); ++n) {
        const AnsiString text = ReadWholeFile(SystemPathFromNative(lists[lists.size() - 1 - n].Path));
        TStringList list;
        list.SetText(text);
        std::map<AnsiString, std::pair<AnsiString, int64_t>> held;  // lower-cased local -> remote, size
        for (int i = 1; i < list.Count(); ++i) {
            try {
                TUpdateEntry e = ParseUpdateEntry(list[i]);
                if (IsKnownKind(e.Kind)) held[LowerCase(e.Local)] = {e.Remote, e.Size};
            } catch (const EConvertError&) {
            }
        }
        TPublishSummary::TPlayerFetch fetch;
        fetch.Version = GetField(2, list.Count() ? list[0] : AnsiString());
        std::vector<TDeltaWriter::TEstimateEntry> estimate;
        size_t d = 0;
        for (const Entry& e : entries) {
            auto it = held.find(LowerCase(e.local));
            const AnsiString heldRemote = it == held.end() ? AnsiString() : it->second.first;
            struct stat served;
            const int64_t full = !e.changed && stat((previousFolder + "/" + e.remote).c_str(), &served) == 0
                                     ? served.st_size
                                     : e.members[0]->size;
            if (e.kind == 'C') {
                if (heldRemote != e.remote) fetch.Delta += full, fetch.Full += full;
                continue;
            }
            const TDeltaEntry& de = deltaEntries[d++];
            if (heldRemote != de.Remote) fetch.Full += full;
            estimate.push_back({de.Remote, heldRemote, full});
        }
        fetch.Delta += delta.FetchEstimate(ReadDeltaHoldings(previousFolder, text), estimate);
        summary.PlayerFetches.push_back(fetch);
    }
}

}  // namespace

TPublishSummary Publish(const TPublishOptions& o, const TPublishProgress& progress) {
    // Check everything before writing anything.
    struct stat st;
    if (stat(o.ReleaseDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Exception("The release folder " + o.ReleaseDir + " does not exist");
    AnsiString releaseReal = RealPath(o.ReleaseDir);
    AnsiString outParent = o.OutDir.substr(0, o.OutDir.rfind('/') + 1);
    AnsiString outReal = RealPath(o.OutDir);
    if (outReal.empty()) outReal = RealPath(outParent.empty() ? "." : outParent) + "/" +
                                   o.OutDir.substr(o.OutDir.rfind('/') + 1);
    if (Inside(outReal, releaseReal))
        throw Exception("The output folder " + o.OutDir + " lies inside the release folder");
    const int codePage = o.CodePage ? o.CodePage : SystemCodePage();
    if (!IsKnownCodePage(codePage)) throw Exception("Unknown code page " + IntToStr(codePage));
    // Every problem of the release is reported at once.
    std::vector<AnsiString> problems;
    for (const auto& p : o.Packs)
        if (stat((o.ReleaseDir + "/" + p.first).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            problems.push_back(p.first + ": the --pack folder does not exist in the release");
    std::vector<Source> sources;
    Walk(o.ReleaseDir, "", sources, problems);
    for (Source& s : sources) {
        CheckListName(s.rel, s.rel, problems);
        ToListCodePage(s.rel, codePage, s.rel, s.local, problems);
    }
    // Pack names are local names of the list as much as file names are.
    std::map<AnsiString, AnsiString> packLocal;  // NAME -> in the code page of the names
    for (const auto& p : o.Packs) {
        AnsiString local;
        if (!packLocal.count(p.second) && CheckPackName(p.second, codePage, local, problems))
            packLocal[p.second] = local;
    }
    // The updater refuses to install over its own files (a pack with such a
    // member is refused whole): a release that holds one would never finish.
    SetNameCodePage(codePage);
    for (const Source& s : sources)
        if (!s.local.empty() && IsUpdatersOwnFile(s.local, ""))
            problems.push_back(s.rel + ": is one of the updater's own files, which no release may replace");
    for (const auto& p : o.Packs) {
        AnsiString local;
        if (TryUtf8ToCodePage(p.second + ".pack", codePage, local) && IsUpdatersOwnFile(local, ""))
            problems.push_back(p.second + ": as a pack name it is one of the updater's own files");
    }
    SetNameCodePage(0);
    // A release copied from a FAT or SMB folder, or made under umask 002,
    // has files others may write; no player's folder gets those bits.
    std::vector<AnsiString> writable;
    for (Source& s : sources) {
        if (s.mode & 022) writable.push_back(s.rel);
        s.mode &= 0755;
    }
    // Pack members' names must fit the archive's directory.
    for (const Source& s : sources)
        for (const auto& p : o.Packs)
            if (s.rel.compare(0, p.first.size() + 1, p.first + "/") == 0 && s.local.size() > static_cast<size_t>(kPackMaxName))
                problems.push_back(s.rel + ": as a pack member name it is longer than 80 bytes");

    // Sort the files into entries.
    std::vector<Entry> entries;
    std::map<AnsiString, std::vector<const Source*>> packs;
    for (const Source& s : sources) {
        const std::pair<AnsiString, AnsiString>* pack = nullptr;
        for (const auto& p : o.Packs)
            if (s.rel.compare(0, p.first.size() + 1, p.first + "/") == 0) pack = &p;
        if (pack) {
            packs[pack->second].push_back(&s);
            continue;
        }
        bool plain = false;
        for (const AnsiString& g : o.PlainGlobs) plain |= fnmatch(g.c_str(), s.rel.c_str(), 0) == 0;
        Entry e;
        e.kind = plain ? 'O' : 'E';
        e.local = s.local;
        e.members.push_back(&s);
        entries.push_back(e);
    }
    const std::vector<AnsiString> owned = PlayerOwnedNames(o, sources, entries);
    for (auto& [name, members] : packs) {
        std::vector<size_t> firsts;
        for (size_t first = 0; first < members.size(); first += PackPartSize(members, first)) firsts.push_back(first);
        // Parts are numbered whenever there are several, so that each has a
        // name of its own to be matched with --previous by (and a 100th
        // member with a long name never gives two entries of one name).
        for (size_t k = 0; k < firsts.size(); ++k) {
            Entry e;
            e.kind = 'C';
            const AnsiString& local = packLocal[name];
            e.local = (firsts.size() > 1 ? local + "-" + IntToStr(static_cast<int64_t>(k + 1)) : local) + ".pack";
            e.members.assign(members.begin() + firsts[k], members.begin() + firsts[k] + PackPartSize(members, firsts[k]));
            entries.push_back(e);
        }
    }
    // A served name is known but for its hash before anything is made: one
    // that no mirror could store is a problem of the release, named now.
    for (const Entry& e : entries)
        CheckServedNameLength(e.local, e.kind == 'C' ? CodePageToUtf8(e.local, codePage) : e.members[0]->rel, problems);
    ThrowProblems(problems);
    AnsiString version = o.Version.empty() ? DefaultVersion() : o.Version;
    // The key is opened before anything is written: a wrong password or a
    // damaged key leaves OUT_DIR as it was.
    TSecretKey key;
    if (!o.SecretKey.empty()) LoadSecretKey(o, key);
    CheckSigningKept(o);
    if (version.find(' ') != AnsiString::npos || version.empty()) throw Exception("A version must be one word");

    // Checksums decide what changed since the previous release.
    int64_t total = 0, done = 0;
    for (const Source& s : sources) total += s.size;
    total *= 2;  // read once for the checksum, once to write
    std::mutex progressLock;
    OnEveryCore(sources.size(), [&](size_t k) {
        Checksum(sources[k]);
        std::lock_guard<std::mutex> hold(progressLock);
        done += sources[k].size;
        if (progress) progress(done, total, sources[k].rel);
    });
    AnsiString previousFolder;
    auto previous = ReadPrevious(o.Previous, previousFolder);
    TPublishSummary summary;
    for (const Source& s : sources) summary.BytesIn += s.size;
    if (!writable.empty())
        summary.Warnings.push_back(IntToStr(static_cast<int64_t>(writable.size())) +
                                   " files are writable by group or others (" + writable[0] +
                                   (writable.size() > 1 ? ", ..." : "") + "); published without those bits");
    // Windows players' updaters refuse names Windows cannot hold: the rest
    // of the release still comes to them, these files never do.
    std::vector<AnsiString> windowsUnsafe;
    for (const Source& s : sources)
        if (HasWindowsUnsafeNamePart(s.rel)) windowsUnsafe.push_back(s.rel);
    if (!windowsUnsafe.empty())
        summary.Warnings.push_back(IntToStr(static_cast<int64_t>(windowsUnsafe.size())) +
                                   " files have names Windows cannot hold (" + windowsUnsafe[0] +
                                   (windowsUnsafe.size() > 1 ? ", ..." : "") +
                                   "); updaters on Windows refuse them");
    {
        std::vector<AnsiString> earlier;
        for (const auto& p : previous)
            if (std::find(earlier.begin(), earlier.end(), p.second.version) == earlier.end())
                earlier.push_back(p.second.version);
        CheckVersionOrder(version, earlier, summary.Warnings);
    }
    for (const auto& p : previous) {
        bool kept = false;
        for (const Entry& e : entries) kept |= LowerCase(e.local) == p.first;
        if (!kept) summary.RemovedNames.push_back(CodePageToUtf8(p.second.local, codePage));
    }
    for (Entry& e : entries) {
        uint64_t sum = 0;
        for (const Source* m : e.members) sum = sum * 1000003u + m->crc + static_cast<uint64_t>(m->size) * 31u;
        e.sum = AnsiString(1, e.kind) + Hex(sum) + IntToStr(e.members.size());
        // A mode other than the usual one is part of what the entry brings:
        // making a file executable republishes it.
        for (const Source* m : e.members)
            if (m->mode != 0644) e.sum += "m" + OctalMode(m->mode);
        auto it = previous.find(LowerCase(e.local));
        const AnsiString shown = CodePageToUtf8(e.local, codePage);
        if (it == previous.end()) summary.AddedNames.push_back(shown);
        else if (it->second.sum == e.sum) summary.UnchangedNames.push_back(shown);
        else summary.ChangedNames.push_back(shown);
        if (it != previous.end() && it->second.sum == e.sum) {
            e.changed = false;
            e.version = it->second.version;
            e.remote = it->second.remote;
            // One that was served plain because gzip did not shrink it stays so.
            const AnsiString gz = ".gz";
            if (e.kind == 'E' && (e.remote.size() < gz.size() || e.remote.compare(e.remote.size() - 3, 3, gz) != 0))
                e.kind = 'O';
        } else {
            if (it != previous.end() && !VersionGreater(version, it->second.version))
                throw Exception("The version " + version + " is not greater than " + it->second.version + " of " +
                                e.local + " by byte order; the updater would skip the file");
            e.version = version;
        }
    }

    summary.Files = static_cast<int>(sources.size());
    summary.Entries = static_cast<int>(entries.size());
    if (o.DryRun) {
        if (o.Delta) EstimatePlayerFetches(entries, previousFolder, summary);
        return summary;
    }

    // Write into a fresh folder beside OUT_DIR, then swap it in.
    AnsiString temp = o.OutDir + ".publishing-" + IntToStr(getpid());
    RemoveTree(temp);
    if (mkdir(temp.c_str(), 0755) != 0) throw Exception("Cannot create " + temp);
    try {
        TStringList update3, manifest, installed;
        // The keys are always written: a list without them is fetched over
        // one session from one server, as the original format's updaters do.
        update3.Add("skiff-release " + version + " codepage=" + IntToStr(codePage) +
                    " connections=" + IntToStr(o.Connections > 0 ? o.Connections : 2) +
                    " mirrors=" + (o.Mirrors.empty() ? AnsiString("all") : o.Mirrors) +
                    (owned.empty() ? AnsiString() : " " + OwnedHeaderField(owned)) +
                    WriteRemovals(previousFolder, sources, o.RemoveDropped, temp, summary));
        std::vector<Entry*> fresh;  // entries whose served file is made anew
        for (Entry& e : entries) {
            if (!e.changed && CopyFile(previousFolder + "/" + e.remote, temp + "/" + e.remote, TCopy::MayLink)) {
                for (const Source* m : e.members) done += m->size;
                auto it = previous.find(LowerCase(e.local));
                if (it != previous.end() && IsSha256Text(it->second.sha256)) e.sha256 = it->second.sha256;
            } else {
                e.changed = true;
                e.version = version;
                fresh.push_back(&e);
            }
        }
        MakeServedFiles(fresh, temp, progress, done, total);
        summary.Changed = static_cast<int>(fresh.size());
        for (Entry& e : entries) {
            const AnsiString target = temp + "/" + e.remote;
            if (stat(target.c_str(), &st) != 0) throw Exception("Cannot write " + target);
            e.remoteSize = st.st_size;
            if (e.sha256.empty()) e.sha256 = Sha256OfFile(SystemPathFromNative(target));
            AnsiString modes, installedSums;
            for (const Source* m : e.members) {
                modes += (modes.empty() ? "" : ",") + OctalMode(m->mode);
                installedSums += (installedSums.empty() ? "" : ",") + m->sha256;
            }
            // Fields 6 to 8 come after the five that every updater reads.
            update3.Add(AnsiString(1, e.kind) + " " + e.remote + " " + e.local + " " + e.version + " " +
                        IntToStr(e.remoteSize) + " " + e.sha256 + " " + modes + " " + installedSums);
            manifest.Add(e.local + " " + e.sum + " " + e.version + " " + e.remote + " " + e.sha256);
            for (const Source* m : e.members) installed.Add(InstalledSumsLine({m->local, e.version, m->size, m->sha256}));
            summary.BytesOut += e.remoteSize;
        }
        if (o.Delta) {
            TDeltaWriter delta(previousFolder);
            TDeltaSummary made;
            update3[0] = update3[0] + delta.Write(DeltaEntriesOf(entries), temp, false, made);
            summary.DeltaIndexed = made.Indexed;
            summary.DeltaReused = made.Reused;
            summary.DeltaChunkBytes = made.NewChunkFileBytes;
        }
        update3.SaveToFile(SystemPathFromNative(temp + "/update3.dat"));
        KeepHistory(previousFolder, temp);
        if (!o.SecretKey.empty()) {
            summary.Serial = NextSerial(o);
            AnsiString comment = "timestamp:" + IntToStr(static_cast<int64_t>(time(nullptr))) +
                                 "\tfile:update3.dat\tserial:" + IntToStr(summary.Serial) +
                                 "\tcodepage:" + IntToStr(codePage);
            if (o.ExpiresDays > 0)
                comment += "\texpires:" + IntToStr(static_cast<int64_t>(time(nullptr)) + int64_t(o.ExpiresDays) * 86400);
            AnsiString list = ReadWholeFile(SystemPathFromNative(temp + "/update3.dat"));
            WriteWholeFile(SystemPathFromNative(temp + "/update3.dat.minisig"), SignMessage(key, list, comment));
        }
        manifest.SaveToFile(SystemPathFromNative(temp + "/" + kReleaseSums));
        installed.SaveToFile(SystemPathFromNative(temp + "/" + kInstalledSums));
        AnsiString old = o.OutDir + ".previous-" + IntToStr(getpid());
        bool hadOld = stat(o.OutDir.c_str(), &st) == 0;
        if (hadOld && rename(o.OutDir.c_str(), old.c_str()) != 0) throw Exception("Cannot replace " + o.OutDir);
        if (rename(temp.c_str(), o.OutDir.c_str()) != 0) {
            if (hadOld) rename(old.c_str(), o.OutDir.c_str());
            throw Exception("Cannot replace " + o.OutDir);
        }
        if (hadOld) RemoveTree(old);
    } catch (...) {
        RemoveTree(temp);
        throw;
    }
    return summary;
}
