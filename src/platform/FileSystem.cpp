#include "FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "CodePage.h"
#include "System.h"

AnsiString NativePath(const AnsiString& systemPath) {
    AnsiString p = CodePageToUtf8(systemPath, SystemCodePage());
    for (char& c : p) if (c == '\\') c = '/';
    return p;
}

AnsiString SystemPathFromNative(const AnsiString& nativePath) {
    AnsiString p;
    if (!TryUtf8ToCodePage(nativePath, SystemCodePage(), p)) p = nativePath;
    for (char& c : p) if (c == '/') c = '\\';
    return p;
}

bool FileExists(const AnsiString& path) {
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0;
}

bool IsRegularFile(const AnsiString& path) {
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const AnsiString& path) {
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const AnsiString& path) { return mkdir(NativePath(path).c_str(), 0777) == 0; }

bool DeleteFile(const AnsiString& path) { return unlink(NativePath(path).c_str()) == 0; }

bool RenameFile(const AnsiString& from, const AnsiString& to) {
    return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

int64_t FileSizeOf(const AnsiString& path) {
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0) return -1;
    return st.st_size;
}

FILE* OpenFile(const AnsiString& path, const char* mode) {
    return fopen(NativePath(path).c_str(), mode);
}

static AnsiString ErrorText() { return strerror(errno); }

AnsiString ReadWholeFile(const AnsiString& path) {
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EInOutError("Cannot open file \"" + path + "\". " + ErrorText());
    AnsiString data;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            AnsiString e = ErrorText();
            close(fd);
            throw EInOutError("Cannot read file \"" + path + "\". " + e);
        }
        if (n == 0) break;
        data.append(buf, n);
    }
    close(fd);
    return data;
}

bool WriteAllBytes(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

static void WriteAll(int fd, const AnsiString& data, const AnsiString& path) {
    if (!WriteAllBytes(fd, data.data(), data.size()))
        throw EInOutError("Cannot write file \"" + path + "\". " + ErrorText());
}

void WriteWholeFile(const AnsiString& path, const AnsiString& data) {
    int fd = open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw EInOutError("Cannot create file \"" + path + "\". " + ErrorText());
    try {
        WriteAll(fd, data, path);
    } catch (...) {
        close(fd);
        throw;
    }
    if (close(fd) != 0) throw EInOutError("Cannot write file \"" + path + "\". " + ErrorText());
}

AnsiString TempNameBeside(const AnsiString& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".part" + IntToStr(getpid()) + "-" + IntToStr(counter++);
}

void WriteWholeFileAtomic(const AnsiString& path, const AnsiString& data) {
    AnsiString tmp = TempNameBeside(path);
    int fd = open(NativePath(tmp).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw EInOutError("Cannot create file \"" + path + "\". " + ErrorText());
    try {
        WriteAll(fd, data, path);
        if (fsync(fd) != 0 || close(fd) != 0) {
            fd = -1;
            throw EInOutError("Cannot write file \"" + path + "\". " + ErrorText());
        }
        fd = -1;
        if (!RenameFile(tmp, path))
            throw EInOutError("Cannot replace file \"" + path + "\". " + ErrorText());
    } catch (...) {
        if (fd >= 0) close(fd);
        DeleteFile(tmp);
        throw;
    }
}

bool IsSafeRelativeName(const AnsiString& name) {
    if (name.empty()) return false;
    if (name[0] == '\\' || name[0] == '/') return false;
    if (name.find(':') != AnsiString::npos) return false;  // drive letters and streams
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == AnsiString::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}
