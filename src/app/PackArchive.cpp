#include "PackArchive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

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
    throw EInOutError("Damaged pack archive: " + why);
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
    size_t last = filePath.find_last_of("\\:");
    AnsiString folder = last == AnsiString::npos ? "" : filePath.substr(0, last + 1);
    if (folder.empty() || CreateDir(folder)) return true;
    for (size_t i = 0; i < folder.size(); ++i)
        if (folder[i] == '\\' && i + 1 >= 4) CreateDir(folder.substr(0, i + 1));
    return true;
}

void ExtractPack(const AnsiString& archivePath) { ExtractPackInto(archivePath, ApplicationFolder()); }

void ExtractPackInto(const AnsiString& archivePath, const AnsiString& baseFolder) {
    int fd = open(NativePath(archivePath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EInOutError("Cannot open pack archive \"" + archivePath + "\". " + strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < kPackBlockSize)
        throw EInOutError("Pack archive \"" + archivePath + "\" is shorter than its directory block");
    std::unique_ptr<char[]> block(new char[kPackBlockSize]);
    if (!ReadAt(fd, block.get(), kPackBlockSize, size - kPackBlockSize))
        throw EInOutError("Cannot read pack archive \"" + archivePath + "\". " + strerror(errno));
    std::vector<TPackMember> members = ReadPackDirectory(block.get(), size);

    for (const TPackMember& m : members) {
        if (!IsSafeRelativeName(m.Name)) continue;  // would leave the application folder
        AnsiString target = baseFolder + m.Name;
        MakeFileFolders(target);
        size_t length = static_cast<size_t>(m.End - m.Start);
        std::unique_ptr<char[]> data(new char[length ? length : 1]);
        AnsiString temp = TempNameBeside(target);
        int out = open(NativePath(temp).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0) continue;  // a target that cannot be created receives nothing
        bool ok = ReadAt(fd, data.get(), length, m.Start) && WriteAllBytes(out, data.get(), length);
        ok = close(out) == 0 && ok;
        if (!ok || !RenameFile(temp, target)) DeleteFile(temp);
    }
}

void TPackWriter::AddBuffer(const AnsiString& name, const AnsiString& data) {
    FMembers.push_back({name, data, "", false});
}

void TPackWriter::AddFile(const AnsiString& name, const AnsiString& path) {
    FMembers.push_back({name, "", path, true});
}

void TPackWriter::Write(const AnsiString& archivePath) const {
    if (FMembers.size() > static_cast<size_t>(kPackMaxMembers))
        throw EInOutError("A pack archive holds at most 100 members");
    std::unique_ptr<char[]> block(new char[kPackBlockSize]());
    PutInt32(block.get(), static_cast<int32_t>(FMembers.size()));
    AnsiString temp = TempNameBeside(archivePath);
    int out = open(NativePath(temp).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) throw EInOutError("Cannot create file \"" + archivePath + "\". " + strerror(errno));
    int64_t offset = 0;
    try {
        for (size_t i = 0; i < FMembers.size(); ++i) {
            const Member& m = FMembers[i];
            if (m.name.size() > static_cast<size_t>(kPackMaxName))
                throw EInOutError("Pack member name longer than 80 bytes: " + m.name);
            AnsiString data = m.fromFile ? ReadWholeFile(m.path) : m.data;
            if (offset + static_cast<int64_t>(data.size()) > INT32_MAX - kPackBlockSize)
                throw EInOutError("A pack archive must stay under 2 GiB");
            if (!WriteAllBytes(out, data.data(), data.size()))
                throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
            char* rec = block.get() + (i + 1) * kPackRecordSize;
            PutInt32(rec, static_cast<int32_t>(offset));
            PutInt32(rec + 4, static_cast<int32_t>(offset + data.size()));
            rec[8] = static_cast<char>(m.name.size());
            memcpy(rec + 9, m.name.data(), m.name.size());
            offset += static_cast<int64_t>(data.size());
        }
        if (!WriteAllBytes(out, block.get(), kPackBlockSize))
            throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
        if (close(out) != 0) {
            out = -1;
            throw EInOutError("Cannot write file \"" + archivePath + "\". " + strerror(errno));
        }
        out = -1;
        if (!RenameFile(temp, archivePath)) throw EInOutError("Cannot replace file \"" + archivePath + "\"");
    } catch (...) {
        if (out >= 0) close(out);
        DeleteFile(temp);
        throw;
    }
}
