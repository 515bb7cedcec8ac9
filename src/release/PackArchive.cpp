#include "PackArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "OwnFiles.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

namespace {

int32_t GetInt32(const char* p) {
    uint32_t v = static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8 |
                 static_cast<uint8_t>(p[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(p[3])) << 24;
    return static_cast<int32_t>(v);
}

void PutInt32(char* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

[[noreturn]] void Damaged(const AnsiString& why) {
    throw EDamagedPack("Damaged pack archive: " + why);
}

bool ReadAt(int fd, char* p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t r = pread(fd, p, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}


}  // namespace

std::vector<TPackMember> ReadPackDirectory(const char* block, int64_t archiveSize) {
    int32_t count = GetInt32(block);
    std::vector<TPackMember> members;
    if (count <= 0) return members;
    if (count > kPackMaxMembers) Damaged("it names " + IntToStr(count) + " members (at most 100)");
    for (int i = 1; i <= count; ++i) {
        const char* rec = block + i * kPackRecordSize;
        TPackMember m;
        m.Start = GetInt32(rec);
        m.End = GetInt32(rec + 4);
        int nameLength = static_cast<uint8_t>(rec[8]);
        if (nameLength > kPackMaxName) Damaged("member " + IntToStr(i) + " has a name of " + IntToStr(nameLength) + " bytes");
        if (m.End < m.Start) Damaged("member " + IntToStr(i) + " has a negative length");
        if (m.Start < 0 || m.End > archiveSize) Damaged("member " + IntToStr(i) + " lies outside the archive");
        m.Name.assign(rec + 9, nameLength);
        members.push_back(std::move(m));
    }
    return members;
}

bool MakeFileFolders(const AnsiString& filePath) {
    // Split the decoded path: in a double-byte code page the byte 0x5C may
    // be the second half of a character, not a separator.
    AnsiString native = NativePath(filePath);
    size_t last = native.rfind('/');
    if (last == AnsiString::npos || last == 0) return true;
    AnsiString folder = native.substr(0, last);
    if (mkdir(folder.c_str(), kFolderMode) == 0 || errno == EEXIST) return true;
    for (size_t i = native.find('/', 1); i != AnsiString::npos && i <= last; i = native.find('/', i + 1))
        mkdir(native.substr(0, i).c_str(), kFolderMode);  // most failures only mean it exists
    return true;
}

void ExtractPack(const AnsiString& archivePath) { ExtractPackInto(archivePath, ApplicationFolder()); }

namespace {

// Copies `length` bytes at `at` of the archive into `out` through a bounded
// buffer, however large the member.
bool CopyRange(int archive, int64_t at, int64_t length, int out) {
    static const size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    while (length > 0) {
        size_t n = static_cast<size_t>(std::min<int64_t>(length, kChunk));
        if (!ReadAt(archive, buffer.get(), n, at) || !WriteAllBytes(out, buffer.get(), n)) return false;
        at += static_cast<int64_t>(n);
        length -= static_cast<int64_t>(n);
    }
    return true;
}

}  // namespace

std::vector<AnsiString> ExtractPackInto(const AnsiString& archivePath, const AnsiString& baseFolder,
                                        const std::vector<int>& modes) {
    int fd = OpenRegularForReading(archivePath);
    if (fd < 0) throw EInOutError("Cannot open pack archive \"" + ShownPath(archivePath) + "\". " + strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < kPackBlockSize)
        throw EDamagedPack("Pack archive \"" + ShownPath(archivePath) + "\" is shorter than its directory block");
    std::unique_ptr<char[]> block(new char[kPackBlockSize]);
    if (!ReadAt(fd, block.get(), kPackBlockSize, size - kPackBlockSize))
        throw EInOutError("Cannot read pack archive \"" + ShownPath(archivePath) + "\". " + strerror(errno));
    std::vector<TPackMember> members = ReadPackDirectory(block.get(), size);
    for (const TPackMember& m : members)
        if (IsSafeRelativeName(m.Name) && IsUpdatersOwnFile(m.Name, ProgramFileName()))
            throw EOwnFileMember("The pack's member \"" + ShownPath(baseFolder + m.Name) +
                                 "\" is one of the updater's own files");

    // Every member is written to a temporary first; only when all are
    // complete do they replace their targets, so a full disk leaves the old
    // members as they were.
    std::vector<std::unique_ptr<TTempFile>> staged;
    std::vector<int> stagedModes;
    for (size_t i = 0; i < members.size(); ++i) {
        const TPackMember& m = members[i];
        if (!IsSafeRelativeName(m.Name)) continue;  // would leave the application folder
        AnsiString target = baseFolder + m.Name;
        MakeFileFolders(target);
        // A later member of the same name wins: it replaces the earlier one.
        for (auto& s : staged)
            if (s && s->Target() == target) s.reset();
        staged.push_back(std::make_unique<TTempFile>(target));
        stagedModes.push_back(i < modes.size() ? modes[i] : -1);
        int out = OpenForWriting(staged.back()->Path());
        bool ok = out >= 0 && CopyRange(fd, m.Start, static_cast<int64_t>(m.End) - m.Start, out);
        int err = errno;
        if (out >= 0 && close(out) != 0 && ok) ok = false, err = errno;
        if (!ok)
            throw EInOutError("Cannot write file \"" + ShownPath(target) + "\". " + strerror(err));
    }
    for (size_t i = 0; i < staged.size(); ++i)
        if (staged[i]) staged[i]->PutInPlace(stagedModes[i]);
    std::vector<AnsiString> names;
    for (const TPackMember& m : members) names.push_back(m.Name);
    return names;
}

void TPackWriter::AddBuffer(const AnsiString& name, const AnsiString& data) {
    FMembers.push_back({name, data, "", false});
}

void TPackWriter::AddFile(const AnsiString& name, const AnsiString& path) {
    FMembers.push_back({name, "", path, true});
}

// Streams a member file into the archive; returns the bytes written.
static int64_t AppendFile(int out, const AnsiString& path, const AnsiString& archivePath) {
    int in = OpenRegularForReading(path);
    if (in < 0) throw EInOutError("Cannot open file \"" + ShownPath(path) + "\". " + strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&in, [](int* f) { close(*f); });
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    int64_t total = 0;
    for (;;) {
        ssize_t n = read(in, buffer.get(), 1 << 20);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError("Cannot read file \"" + path + "\". " + strerror(errno));
        if (n == 0) return total;
        if (!WriteAllBytes(out, buffer.get(), static_cast<size_t>(n)))
            throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
        total += n;
        if (total > INT32_MAX - kPackBlockSize) throw EInOutError("A pack archive must stay under 2 GiB");
    }
}

void TPackWriter::Write(const AnsiString& archivePath) const {
    if (FMembers.size() > static_cast<size_t>(kPackMaxMembers))
        throw EInOutError("A pack archive holds at most 100 members");
    std::unique_ptr<char[]> block(new char[kPackBlockSize]());
    PutInt32(block.get(), static_cast<int32_t>(FMembers.size()));
    TTempFile temp(archivePath);
    int out = OpenForWriting(temp.Path());
    if (out < 0) throw EInOutError("Cannot create file \"" + archivePath + "\". " + strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&out, [](int* f) { if (*f >= 0) close(*f); });
    int64_t offset = 0;
    for (size_t i = 0; i < FMembers.size(); ++i) {
        const Member& m = FMembers[i];
        if (m.name.size() > static_cast<size_t>(kPackMaxName))
            throw EInOutError("Pack member name longer than 80 bytes: " + m.name);
        int64_t length;
        if (m.fromFile) {
            length = AppendFile(out, m.path, archivePath);
        } else {
            length = static_cast<int64_t>(m.data.size());
            if (!WriteAllBytes(out, m.data.data(), m.data.size()))
                throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
        }
        if (offset + length > INT32_MAX - kPackBlockSize) throw EInOutError("A pack archive must stay under 2 GiB");
        char* rec = block.get() + (i + 1) * kPackRecordSize;
        PutInt32(rec, static_cast<int32_t>(offset));
        PutInt32(rec + 4, static_cast<int32_t>(offset + length));
        rec[8] = static_cast<char>(m.name.size());
        memcpy(rec + 9, m.name.data(), m.name.size());
        offset += length;
    }
    if (!WriteAllBytes(out, block.get(), kPackBlockSize))
        throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
    int closed = close(out);
    out = -1;
    if (closed != 0) throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
    temp.PutInPlace();
}
