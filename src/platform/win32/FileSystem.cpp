// The file rules of FileSystem.h on Windows: every name through the Unicode
// calls with the "\\?\" prefix (any folder name, any length), descriptors
// of the C runtime over handles opened with every share mode (a file may be
// renamed or removed while it is open, as on Linux), links never written
// through, and a finished file renamed over its target by MoveFileExW.
#include "FileSystem.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include <windows.h>
#include <bcrypt.h>
#undef DeleteFile

#include "WideNames.h"

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD AttributesOf(const AnsiString& path) { return GetFileAttributesW(WidePath(NativePath(path)).c_str()); }

// A descriptor of the C runtime for a handle to a regular file; anything
// else (a folder, a device, a pipe, a link itself) is closed and refused.
int DescriptorOf(HANDLE h, int flags, bool refuseLink) {
    if (h == INVALID_HANDLE_VALUE) return FailWithLastError(-1);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (refuseLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(h);
        errno = refuseLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : EINVAL;
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

HANDLE Open(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

AnsiString ErrorText() { return strerror(errno); }

}  // namespace

bool FileExists(const AnsiString& path) { return AttributesOf(path) != INVALID_FILE_ATTRIBUTES; }

bool IsRegularFile(const AnsiString& path) {
    DWORD a = AttributesOf(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

bool DirectoryExists(const AnsiString& path) {
    DWORD a = AttributesOf(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDir(const AnsiString& path) { return CreateDirectoryW(WidePath(NativePath(path)).c_str(), nullptr) != 0; }

bool DeleteFile(const AnsiString& path) { return DeleteFileW(WidePath(NativePath(path)).c_str()) != 0; }

bool WriteAllAt(int fd, const char* p, size_t n, int64_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return errno = EBADF, false;
    while (n > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
        DWORD wrote = 0;
        const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
        if (!WriteFile(h, p, ask, &wrote, &at)) return FailWithLastError(false);
        if (wrote == 0) return errno = ENOSPC, false;
        p += wrote, n -= wrote, offset += wrote;
    }
    return true;
}

// A target that is read-only would refuse the rename; Linux replaces it.
static bool ReplaceWith(const std::wstring& from, const std::wstring& to) {
    DWORD a = GetFileAttributesW(to.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(to.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameFile(const AnsiString& from, const AnsiString& to) {
    return ReplaceWith(WidePath(NativePath(from)), WidePath(NativePath(to))) || FailWithLastError(false);
}

int64_t FileSizeOf(const AnsiString& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(WidePath(NativePath(path)).c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>(static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
}

FILE* OpenFile(const AnsiString& path, const char* mode) {
    return _wfopen(WidePath(NativePath(path)).c_str(), WideFromUtf8(mode).c_str());
}

int OpenRegularForReadingNative(const AnsiString& nativePath) {
    return DescriptorOf(Open(WidePath(nativePath), GENERIC_READ, OPEN_EXISTING), _O_RDONLY, false);
}

int OpenRegularForReading(const AnsiString& path) { return OpenRegularForReadingNative(NativePath(path)); }

int OpenForLogging(const AnsiString& path) {
    return DescriptorOf(Open(WidePath(NativePath(path)), FILE_APPEND_DATA, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT),
                        _O_WRONLY | _O_APPEND, true);
}

AnsiString ReadWholeFile(const AnsiString& path, int64_t maxBytes) {
    int fd = OpenRegularForReading(path);
    if (fd < 0) throw EInOutError("Cannot open file \"" + ShownPath(path) + "\". " + ErrorText());
    AnsiString data;
    char buf[65536];
    for (;;) {
        int n = _read(fd, buf, sizeof buf);
        if (n < 0) {
            AnsiString e = ErrorText();
            _close(fd);
            throw EInOutError("Cannot read file \"" + path + "\". " + e);
        }
        if (n == 0) break;
        data.append(buf, n);
        if (maxBytes >= 0 && static_cast<int64_t>(data.size()) > maxBytes) {
            _close(fd);
            throw EInOutError("The file \"" + path + "\" is larger than " + IntToStr(maxBytes) + " bytes");
        }
    }
    _close(fd);
    return data;
}

bool WriteAllBytes(int fd, const char* p, size_t n) {
    while (n > 0) {
        const unsigned ask = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
        int w = _write(fd, p, ask);
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void WriteWholeFile(const AnsiString& path, const AnsiString& data) {
    int fd = OpenForWriting(path);
    if (fd < 0) throw EInOutError("Cannot create file \"" + path + "\". " + ErrorText());
    if (!WriteAllBytes(fd, data.data(), data.size())) {
        AnsiString e = ErrorText();
        _close(fd);
        throw EInOutError("Cannot write file \"" + path + "\". " + e);
    }
    if (_close(fd) != 0) throw EInOutError("Cannot write file \"" + path + "\". " + ErrorText());
}

int OpenForWriting(const AnsiString& path) {
    int fd = DescriptorOf(Open(WidePath(NativePath(path)), GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT),
                          _O_WRONLY, true);
    if (fd >= 0 && _chsize_s(fd, 0) != 0) {
        int err = errno;
        _close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int OpenForAppending(const AnsiString& path, int64_t keep) {
    int fd = DescriptorOf(Open(WidePath(NativePath(path)), GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT),
                          _O_WRONLY, true);
    if (fd < 0) return -1;
    if (_chsize_s(fd, keep) != 0 || _lseeki64(fd, keep, SEEK_SET) != keep) {
        int err = errno;
        _close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// ---- temporaries ----

const char kTempMarker[] = ".skiff-tmp-";

namespace {

std::set<AnsiString>& LiveTemporaries() {
    static auto* live = new std::set<AnsiString>;
    return *live;
}
std::mutex gTemporariesLock;
void NoteLive(const AnsiString& native) {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    LiveTemporaries().insert(native);
}
void ForgetLive(const AnsiString& native) {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    LiveTemporaries().erase(native);
}

// The files installed since the last flush. Windows has no call that
// flushes one file system for a user who is not an administrator, so each
// file is flushed on its own.
std::vector<AnsiString>& DirtyFiles() {
    static auto* files = new std::vector<AnsiString>;
    return *files;
}

AnsiString RandomSuffix() {
    uint64_t r = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        r = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
    char b[20];
    snprintf(b, sizeof b, "%012llx", static_cast<unsigned long long>(r & 0xFFFFFFFFFFFFull));
    return b;
}

bool FlushFile(const std::wstring& path) {
    HANDLE h = Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool flushed = FlushFileBuffers(h) != 0;
    CloseHandle(h);
    return flushed;
}

}  // namespace

bool IsTemporaryName(const AnsiString& nativeName) { return nativeName.find(kTempMarker) != AnsiString::npos; }

TTempFile::TTempFile(const AnsiString& target) : FTarget(target) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        AnsiString candidate = target + kTempMarker + RandomSuffix();
        AnsiString native = NativePath(candidate);
        // CREATE_NEW: exclusive, and a link under the name counts as taken.
        HANDLE h = Open(WidePath(native), GENERIC_WRITE, CREATE_NEW);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            FPath = candidate;
            FLive = true;
            NoteLive(native);
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            errno = ErrnoOfLastError();
            throw EInOutError("Cannot create file \"" + ShownPath(candidate) + "\". " + ErrorText());
        }
    }
    throw EInOutError("Cannot create a temporary file beside \"" + ShownPath(target) + "\".");
}

TTempFile::TTempFile(const AnsiString& target, const AnsiString& existing) : FPath(existing), FTarget(target) {
    FLive = true;
    NoteLive(NativePath(FPath));
}

TTempFile::~TTempFile() { Remove(); }

void TTempFile::Remove() {
    if (!FLive) return;
    AnsiString native = NativePath(FPath);
    DeleteFileW(WidePath(native).c_str());
    ForgetLive(native);
    FLive = false;
}

// Windows files have no mode bits to carry: the release's execute bits
// mean nothing there, and a file is runnable by its name.
void TTempFile::PutInPlace(int /*releaseMode*/) {
    AnsiString from = NativePath(FPath), to = NativePath(FTarget);
    if (!ReplaceWith(WidePath(from), WidePath(to))) {
        errno = ErrnoOfLastError();
        throw EInOutError("Cannot replace file \"" + ShownPath(FTarget) + "\". " + ErrorText());
    }
    ForgetLive(from);
    FLive = false;
    DirtyFiles().push_back(to);
}

void StartWriteback(int) {}  // the system's lazy writer starts on its own

// ---- partial downloads ----

const char kPartialMarker[] = ".skiff-part-";

TPartialFile::TPartialFile(const AnsiString& target, const AnsiString& id)
    : FPath(target + kPartialMarker + id), FTarget(target) {
    const std::wstring wide = WidePath(NativePath(FPath));
    HANDLE h = Open(wide, GENERIC_WRITE, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        int fd = DescriptorOf(Open(wide, GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT), _O_WRONLY, true);
        if (fd >= 0) {
            _close(fd);
            return;
        }
    } else if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return;
    } else {
        errno = ErrnoOfLastError();
    }
    throw EInOutError("Cannot create file \"" + ShownPath(FPath) + "\". " + ErrorText());
}

int64_t TPartialFile::Size() const { return std::max<int64_t>(FileSizeOf(FPath), 0); }

void TPartialFile::Truncate() {
    int fd = OpenForAppending(FPath, 0);
    if (fd < 0) throw EInOutError("Cannot write file \"" + ShownPath(FPath) + "\". " + ErrorText());
    _close(fd);
}

void TPartialFile::Discard() { DeleteFileW(WidePath(NativePath(FPath)).c_str()); }

void TPartialFile::PutInPlace(int releaseMode) {
    TTempFile adopted(FTarget, FPath);
    adopted.PutInPlace(releaseMode);
}

namespace {

// Every regular file below `folder` (native), links and junctions not followed.
void ForEachFile(const AnsiString& folder, const std::function<void(const AnsiString& path, const AnsiString& name)>& each) {
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW((WidePath(folder) + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) return;
    std::vector<AnsiString> subfolders;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        const AnsiString utf8 = Utf8FromWide(name), path = folder + "/" + utf8;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) subfolders.push_back(path);
        else each(path, utf8);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    for (const AnsiString& sub : subfolders) ForEachFile(sub, each);
}

AnsiString NativeFolder(const AnsiString& folder) {
    AnsiString native = NativePath(folder);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return native;
}

bool RemoveNative(const AnsiString& native) { return DeleteFileW(WidePath(native).c_str()) != 0; }

}  // namespace

std::vector<AnsiString> PartialsBelow(const AnsiString& folder) {
    std::vector<AnsiString> found;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const AnsiString& name) {
        if (name.find(kPartialMarker) != AnsiString::npos) found.push_back(path);
    });
    return found;
}

int RemoveStalePartials(const AnsiString& folder, const std::vector<AnsiString>& keep) {
    const std::set<AnsiString> kept(keep.begin(), keep.end());
    int removed = 0;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const AnsiString& name) {
        if (name.find(kPartialMarker) != AnsiString::npos && !kept.count(path) && RemoveNative(path)) ++removed;
    });
    return removed;
}

void RemoveLiveTemporaries() {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    for (const AnsiString& native : LiveTemporaries()) RemoveNative(native);
    LiveTemporaries().clear();
}

int RemoveLeftoverTemporaries(const AnsiString& folder) {
    int removed = 0;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const AnsiString& name) {
        if (IsTemporaryName(name) && RemoveNative(path)) ++removed;
    });
    return removed;
}

void FlushInstalledFiles() {
    for (const AnsiString& path : DirtyFiles()) FlushFile(WidePath(path));
    DirtyFiles().clear();
}

void WriteWholeFileAtomic(const AnsiString& path, const AnsiString& data) {
    TTempFile temp(path);
    int fd = OpenForWriting(temp.Path());
    if (fd < 0) throw EInOutError("Cannot create file \"" + ShownPath(path) + "\". " + ErrorText());
    // The bytes on the disk before the name moves, so that after a power
    // cut the file is the old one or the new one.
    bool written = WriteAllBytes(fd, data.data(), data.size()) &&
                   (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) || FailWithLastError(false));
    AnsiString error = ErrorText();
    if (_close(fd) != 0 && written) {
        written = false;
        error = ErrorText();
    }
    if (!written) throw EInOutError("Cannot write file \"" + ShownPath(path) + "\". " + error);
    temp.PutInPlace();
    DirtyFiles().pop_back();  // flushed already; the rename was written through
}
