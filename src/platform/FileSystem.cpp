#include "FileSystem.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "CodePage.h"
#include "System.h"

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

bool CreateDir(const AnsiString& path) { return mkdir(NativePath(path).c_str(), kFolderMode) == 0; }

bool DeleteFile(const AnsiString& path) { return unlink(NativePath(path).c_str()) == 0; }

bool WriteAllAt(int fd, const char* p, size_t n, int64_t offset) {
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, offset);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w, n -= static_cast<size_t>(w), offset += w;
    }
    return true;
}

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

// Opened with O_NONBLOCK so that a FIFO cannot hold the window; kept only
// when it is a regular file, and then made blocking again.
static int KeepRegular(int fd) {
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int OpenRegularForReadingNative(const AnsiString& nativePath) {
    return KeepRegular(open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

int OpenRegularForReading(const AnsiString& path) { return OpenRegularForReadingNative(NativePath(path)); }

int OpenForLogging(const AnsiString& path) {
    return KeepRegular(
        open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
}

AnsiString ReadWholeFile(const AnsiString& path, int64_t maxBytes) {
    int fd = OpenRegularForReading(path);
    if (fd < 0) throw EInOutError("Cannot open file \"" + ShownPath(path) + "\". " + ErrorText());
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
        if (maxBytes >= 0 && static_cast<int64_t>(data.size()) > maxBytes) {
            close(fd);
            throw EInOutError("The file \"" + path + "\" is larger than " + IntToStr(maxBytes) + " bytes");
        }
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
    int fd = OpenForWriting(path);
    if (fd < 0) throw EInOutError("Cannot create file \"" + path + "\". " + ErrorText());
    try {
        WriteAll(fd, data, path);
    } catch (...) {
        close(fd);
        throw;
    }
    if (close(fd) != 0) throw EInOutError("Cannot write file \"" + path + "\". " + ErrorText());
}

int OpenForWriting(const AnsiString& path) {
    const AnsiString native = NativePath(path);
    int fd = KeepRegular(open(native.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd >= 0 && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int OpenForAppending(const AnsiString& path, int64_t keep) {
    int fd = KeepRegular(open(NativePath(path).c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) return -1;
    if (ftruncate(fd, keep) != 0 || lseek(fd, keep, SEEK_SET) != keep) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// ---- temporaries ----

const char kTempMarker[] = ".skiff-tmp-";

namespace {

// Native paths of the temporaries still open, for an exit in between.
std::set<AnsiString>& LiveTemporaries() {
    static auto* live = new std::set<AnsiString>;
    return *live;
}
// The publisher makes temporaries on every core at once.
std::mutex gTemporariesLock;
void NoteLive(const AnsiString& native) {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    LiveTemporaries().insert(native);
}
void ForgetLive(const AnsiString& native) {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    LiveTemporaries().erase(native);
}

// Folders (by file system) that received installed files since the last flush.
std::map<dev_t, AnsiString>& DirtyFileSystems() {
    static auto* dirty = new std::map<dev_t, AnsiString>;
    return *dirty;
}

AnsiString RandomSuffix() {
    static std::mutex lock;  // temporaries are made on several threads
    std::lock_guard<std::mutex> hold(lock);
    // Seeded from the kernel directly: std::random_device would tie the
    // shipped updater to a newer glibc than the desktops it runs on.
    static std::mt19937_64 generator([] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) seed = time(nullptr) ^ getpid();
        return seed;
    }());
    char b[20];
    snprintf(b, sizeof b, "%012llx", static_cast<unsigned long long>(generator() & 0xFFFFFFFFFFFFull));
    return b;
}

mode_t UserMask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

// An installed file keeps execute bits and nothing beyond rw-r--r--, less the
// user's umask: a release made on a FAT or SMB folder (0777) or under umask
// 002 must not leave the launcher writable for other users.
mode_t SafeMode(mode_t mode) { return mode & 0755 & ~UserMask(); }

mode_t DefaultMode() { return SafeMode(0644); }

AnsiString FolderOf(const AnsiString& nativePath) {
    size_t slash = nativePath.rfind('/');
    return slash == AnsiString::npos ? AnsiString(".") : slash == 0 ? AnsiString("/") : nativePath.substr(0, slash);
}

// The files installed since the last flush, while they are few enough to
// be synced one by one (beyond that, a syncfs is cheaper).
const size_t kFilesSyncedOneByOne = 64;
std::vector<AnsiString>& DirtyFiles() {
    static auto* files = new std::vector<AnsiString>;
    return *files;
}

// The publisher installs files on every core: the records are locked.
std::mutex gDirtyLock;

void NoteInstalled(const AnsiString& nativePath) {
    AnsiString folder = FolderOf(nativePath);
    struct stat st;
    const bool known = stat(folder.c_str(), &st) == 0;
    std::lock_guard<std::mutex> hold(gDirtyLock);
    if (known) DirtyFileSystems().emplace(st.st_dev, folder);
    if (DirtyFiles().size() <= kFilesSyncedOneByOne) DirtyFiles().push_back(nativePath);
}

void SyncFolder(const AnsiString& nativeFolder) {
    int fd = open(nativeFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool IsTemporaryName(const AnsiString& nativeName) { return nativeName.find(kTempMarker) != AnsiString::npos; }

TTempFile::TTempFile(const AnsiString& target) : FTarget(target) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        AnsiString candidate = target + kTempMarker + RandomSuffix();
        AnsiString native = NativePath(candidate);
        int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            FPath = candidate;
            FLive = true;
            NoteLive(native);
            return;
        }
        if (errno != EEXIST)
            throw EInOutError("Cannot create file \"" + ShownPath(candidate) + "\". " + ErrorText());
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
    unlink(native.c_str());
    ForgetLive(native);
    FLive = false;
}

void TTempFile::PutInPlace(int releaseMode) {
    AnsiString from = NativePath(FPath), to = NativePath(FTarget);
    struct stat st;
    mode_t mode;
    if (releaseMode >= 0) mode = SafeMode(static_cast<mode_t>(releaseMode));
    else if (lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = SafeMode(st.st_mode);
    else mode = DefaultMode();
    if (chmod(from.c_str(), mode) != 0 || rename(from.c_str(), to.c_str()) != 0)
        throw EInOutError("Cannot replace file \"" + ShownPath(FTarget) + "\". " + ErrorText());
    ForgetLive(from);
    FLive = false;
    NoteInstalled(to);
    // Let the disk start on it now, so that the flush before the list is
    // saved has little left to wait for.
    int fd = KeepRegular(open(to.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd >= 0) {
        StartWriteback(fd);
        close(fd);
    }
}

void StartWriteback(int fd) { sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

// ---- partial downloads ----

const char kPartialMarker[] = ".skiff-part-";

TPartialFile::TPartialFile(const AnsiString& target, const AnsiString& id)
    : FPath(target + kPartialMarker + id), FTarget(target) {
    AnsiString native = NativePath(FPath);
    int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) fd = KeepRegular(open(native.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) throw EInOutError("Cannot create file \"" + ShownPath(FPath) + "\". " + ErrorText());
    close(fd);
}

int64_t TPartialFile::Size() const {
    struct stat st;
    return lstat(NativePath(FPath).c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

void TPartialFile::Truncate() {
    int fd = OpenForAppending(FPath, 0);
    if (fd < 0) throw EInOutError("Cannot write file \"" + ShownPath(FPath) + "\". " + ErrorText());
    close(fd);
}

void TPartialFile::Discard() { unlink(NativePath(FPath).c_str()); }

void TPartialFile::PutInPlace(int releaseMode) {
    // The same steps as a temporary's, on a name that is not random.
    TTempFile adopted(FTarget, FPath);
    adopted.PutInPlace(releaseMode);
}

namespace {

// Every regular file below `folder` (a native path), by its directory
// entries alone: no stat of each file, so a folder of tens of thousands of
// files is read in a few milliseconds. Links are not followed.
void ForEachFile(const AnsiString& folder, const std::function<void(const AnsiString& path, const char* name)>& each) {
    DIR* d = opendir(folder.c_str());
    if (!d) return;
    std::vector<AnsiString> subfolders;
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        AnsiString path = folder + "/" + name;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR) subfolders.push_back(path);
        else if (type == DT_REG) each(path, name);
    }
    closedir(d);
    for (const AnsiString& sub : subfolders) ForEachFile(sub, each);
}

AnsiString NativeFolder(const AnsiString& folder) {
    AnsiString native = NativePath(folder);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return native;
}

}  // namespace

std::vector<AnsiString> PartialsBelow(const AnsiString& folder) {
    std::vector<AnsiString> found;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const char* name) {
        if (strstr(name, kPartialMarker)) found.push_back(path);
    });
    return found;
}

int RemoveStalePartials(const AnsiString& folder, const std::vector<AnsiString>& keep) {
    const std::set<AnsiString> kept(keep.begin(), keep.end());
    int removed = 0;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const char* name) {
        if (strstr(name, kPartialMarker) && !kept.count(path) && unlink(path.c_str()) == 0) ++removed;
    });
    return removed;
}

void RemoveLiveTemporaries() {
    std::lock_guard<std::mutex> hold(gTemporariesLock);
    for (const AnsiString& native : LiveTemporaries()) unlink(native.c_str());
    LiveTemporaries().clear();
}

int RemoveLeftoverTemporaries(const AnsiString& folder) {
    int removed = 0;
    ForEachFile(NativeFolder(folder), [&](const AnsiString& path, const char* name) {
        if (IsTemporaryName(name) && unlink(path.c_str()) == 0) ++removed;
    });
    return removed;
}

void FlushInstalledFiles() {
    std::vector<AnsiString> files;
    std::map<dev_t, AnsiString> fileSystems;
    {
        std::lock_guard<std::mutex> hold(gDirtyLock);
        files.swap(DirtyFiles());
        fileSystems.swap(DirtyFileSystems());
    }
    if (files.size() <= kFilesSyncedOneByOne) {
        std::set<AnsiString> folders;
        for (const AnsiString& path : files) {
            int fd = KeepRegular(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (fd >= 0) {
                fsync(fd);
                close(fd);
            }
            // The renames, and the folders a release may have created on the
            // way (a folder that is already on disk costs next to nothing).
            for (AnsiString f = FolderOf(path); f.size() > 1 && folders.insert(f).second;) f = FolderOf(f);
        }
        for (const AnsiString& folder : folders) SyncFolder(folder);
    } else {
        for (const auto& entry : fileSystems) {
            int fd = open(entry.second.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) continue;
            syncfs(fd);
            close(fd);
        }
    }
}

void WriteWholeFileAtomic(const AnsiString& path, const AnsiString& data) {
    TTempFile temp(path);
    int fd = OpenForWriting(temp.Path());
    if (fd < 0) throw EInOutError("Cannot create file \"" + ShownPath(path) + "\". " + ErrorText());
    bool written = WriteAllBytes(fd, data.data(), data.size()) && fsync(fd) == 0;
    AnsiString error = ErrorText();
    if (close(fd) != 0 && written) {
        written = false;
        error = ErrorText();
    }
    if (!written) throw EInOutError("Cannot write file \"" + ShownPath(path) + "\". " + error);
    temp.PutInPlace();
    SyncFolder(FolderOf(NativePath(path)));
}
