#include "DroppedFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "ReleaseHistory.h"
#include "crypto/Sha256.h"
#include "gzip/GunzipStream.h"
#include "gzip/Gzip.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/PackArchive.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"

namespace {

struct TFd {
    int fd;
    explicit TFd(const AnsiString& path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd < 0) throw Exception("Cannot read " + path);
    }
    ~TFd() { close(fd); }
};

// The installed bytes of an "E" entry: its gzip data, inflated as they are read.
void HashGunzipped(const AnsiString& served, TInstalledFile& f) {
    TFd in(served);
    TSha256 hash;
    TGunzipStream stream([&](const char* p, size_t n) {
        hash.Update(p, n);
        f.Size += static_cast<int64_t>(n);
        return true;
    });
    if (!stream.FeedFile(in.fd, 1 << 20)) throw Exception(served + ": " + stream.Problem());
    f.Sha256 = hash.HexDigest();
}

// The members of a "C" entry, each hashed from its range of the archive.
void HashPackMembers(const AnsiString& served, const TUpdateEntry& e, const AnsiString& scratch,
                     std::vector<TInstalledFile>& out) {
    const AnsiString archive = scratch + "/pack.tmp";
    TGzip gzip(nullptr);
    gzip.WindowOnError = false;
    gzip.FileSource = SystemPathFromNative(served);
    gzip.FileDestination = SystemPathFromNative(archive);
    if (gzip.Decompress() != TGzip::ResultOk) throw Exception(served + ": the pack cannot be decompressed");
    struct Remove {
        AnsiString path;
        ~Remove() { unlink(path.c_str()); }
    } cleanup{archive};
    TFd in(archive);
    off_t size = lseek(in.fd, 0, SEEK_END);
    if (size < kPackBlockSize) throw Exception(served + ": the pack is shorter than its directory");
    std::unique_ptr<char[]> block(new char[kPackBlockSize]);
    if (pread(in.fd, block.get(), kPackBlockSize, size - kPackBlockSize) != kPackBlockSize)
        throw Exception("Cannot read " + archive);
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (const TPackMember& m : ReadPackDirectory(block.get(), size)) {
        TInstalledFile f{m.Name, e.Version, m.End - m.Start, ""};
        TSha256 hash;
        for (int64_t at = m.Start; at < m.End;) {
            ssize_t n = pread(in.fd, buffer.get(), static_cast<size_t>(std::min<int64_t>(1 << 20, m.End - at)), at);
            if (n <= 0) throw Exception("Cannot read " + archive);
            hash.Update(buffer.get(), static_cast<size_t>(n));
            at += n;
        }
        f.Sha256 = hash.HexDigest();
        out.push_back(f);
    }
}

}  // namespace

AnsiString InstalledSumsLine(const TInstalledFile& f) {
    return f.Local + " " + f.Version + " " + IntToStr(f.Size) + " " + f.Sha256;
}

bool ParseInstalledSumsLine(const AnsiString& line, TInstalledFile& f) {
    f.Local = GetField(1, line);
    f.Version = GetField(2, line);
    f.Sha256 = GetField(4, line);
    try {
        f.Size = StrToInt64(GetField(3, line));
    } catch (const EConvertError&) {
        return false;
    }
    return !f.Local.empty() && !f.Version.empty() && IsSha256Text(f.Sha256);
}

std::vector<TInstalledFile> InstalledFilesOf(const AnsiString& folder, const AnsiString& scratch) {
    std::vector<TInstalledFile> files;
    TStringList lines;
    const AnsiString sums = folder + "/" + kInstalledSums;
    if (FileExists(SystemPathFromNative(sums))) {
        lines.LoadFromFile(SystemPathFromNative(sums));
        for (const AnsiString& line : lines.Lines()) {
            TInstalledFile f;
            if (ParseInstalledSumsLine(line, f)) files.push_back(f);
        }
        return files;
    }
    lines.LoadFromFile(SystemPathFromNative(folder + "/update3.dat"));
    for (int i = 1; i < lines.Count(); ++i) {
        TUpdateEntry e;
        try {
            e = ParseUpdateEntry(lines[i]);
        } catch (const EConvertError&) {
            continue;
        }
        if (!IsKnownKind(e.Kind)) continue;
        const AnsiString served = folder + "/" + e.Remote;
        if (e.Kind == "C") {
            HashPackMembers(served, e, scratch, files);
            continue;
        }
        TInstalledFile f{e.Local, e.Version, 0, ""};
        if (e.Kind == "E") {
            HashGunzipped(served, f);
        } else {
            f.Size = FileSizeOf(SystemPathFromNative(served));
            f.Sha256 = Sha256OfFile(SystemPathFromNative(served));
        }
        files.push_back(f);
    }
    return files;
}

std::vector<AnsiString> RemovalLines(const AnsiString& previousFolder, const std::set<AnsiString>& kept,
                                     bool addDropped, const AnsiString& scratch) {
    std::vector<AnsiString> out;
    std::set<AnsiString> named;
    TStringList previous;
    previous.LoadFromFile(SystemPathFromNative(previousFolder + "/update3.dat"));
    // Carried on from the previous release: the "D" lines of a list made
    // before removals had a file of their own, and its removals file.
    std::vector<AnsiString> earlier;
    for (int i = 1; i < previous.Count(); ++i)
        if (IsRemovalKind(GetField(1, previous[i]))) earlier.push_back(previous[i]);
    TRemovalsFile file;
    if (previous.Count() > 0 && DeclaredRemovalsFile(previous[0], file)) {
        const AnsiString path = previousFolder + "/" + file.Name;
        const std::vector<AnsiString> lines = RemovalLinesOf(ReadWholeFile(SystemPathFromNative(path)), file);
        if (lines.empty()) throw Exception(path + ": is not the removals file that the previous update3.dat names");
        earlier.insert(earlier.end(), lines.begin(), lines.end());
    }
    for (const AnsiString& line : earlier) {
        AnsiString local = GetField(3, line);
        if (kept.count(LowerCase(local)) || named.count(LowerCase(local))) continue;
        named.insert(LowerCase(local));
        out.push_back(line);
    }
    if (!addDropped) return out;
    for (const TInstalledFile& f : InstalledFilesOf(previousFolder, scratch)) {
        if (kept.count(LowerCase(f.Local)) || named.count(LowerCase(f.Local))) continue;
        named.insert(LowerCase(f.Local));
        out.push_back(AnsiString(kRemovalKind) + " " + kNoRemoteFile + " " + f.Local + " " + f.Version + " " +
                      IntToStr(f.Size) + " " + f.Sha256);
    }
    return out;
}
