// Files and folders named in the system code page with backslashes, as the
// data files name them; each call turns the name into a native path.
//
// Every file the updater writes goes through this one door: temporaries are
// created exclusively and never through a link, under a name that marks them
// as ours; a finished file is renamed over its target and keeps the mode of
// the file it replaces; what was installed is flushed to disk before the
// installed versions list records it.
#pragma once
#include <cstdio>
#include <vector>

#include "Classes.h"

// Backslashes become slashes; the code-page bytes become the file system's
// UTF-8. Below the application folder, names are decoded with the names'
// code page (see SetNameCodePage); the rest with the system code page.
AnsiString NativePath(const AnsiString& systemPath);
// The reverse: a native UTF-8 path to the system code page with backslashes.
// A path that the system code page cannot hold comes back marked, so that
// NativePath gives it back unchanged.
AnsiString SystemPathFromNative(const AnsiString& nativePath);
// The code page of the names that a release lists (0: the system code page).
// It belongs to the release, not to the user who runs the updater.
void SetNameCodePage(int codePage);
int NameCodePage();
// A path as the user reads it in a message: native, in the display code page.
AnsiString ShownPath(const AnsiString& systemPath);

bool FileExists(const AnsiString& path);   // any kind of file
bool IsRegularFile(const AnsiString& path);
bool DirectoryExists(const AnsiString& path);
// Folders are made rwxr-xr-x less the umask, never group- or world-writable
// (not even under umask 002): like the files in them, which are capped the
// same way, they hold what is launched, and whoever may write the folder may
// replace those.
constexpr unsigned kFolderMode = 0755;
bool CreateDir(const AnsiString& path);    // one level; false when it fails
bool DeleteFile(const AnsiString& path);
bool RenameFile(const AnsiString& from, const AnsiString& to);  // replaces `to`
// All of `n` bytes at `offset` of an open file; false with errno set (ENOSPC
// for a write that made no progress).
bool WriteAllAt(int fd, const char* p, size_t n, int64_t offset);
int64_t FileSizeOf(const AnsiString& path);  // -1 when missing

// Whole-file helpers; failures raise EInOutError naming the file.
// `maxBytes` (-1: none) bounds what a file from outside may make us hold.
AnsiString ReadWholeFile(const AnsiString& path, int64_t maxBytes = -1);
void WriteWholeFile(const AnsiString& path, const AnsiString& data);
// Through a temporary, flushed, renamed over `path`, and the folder flushed:
// after a power cut the file is the old one or the new one.
void WriteWholeFileAtomic(const AnsiString& path, const AnsiString& data);

// Opens (creating or truncating) a file for writing, never through a
// symbolic link; -1 with errno set on failure.
int OpenForWriting(const AnsiString& path);
// Opens an existing regular file (never through a link), cuts it to `keep`
// bytes and positions at its end; -1 with errno set on failure.
int OpenForAppending(const AnsiString& path, int64_t keep);

// A temporary file beside `target`, created exclusively and never through a
// link, named "<target>.skiff-tmp-<random>". It is removed when the object
// goes unless it was put in place, and RemoveLiveTemporaries removes it when
// the program ends in between.
class TTempFile {
public:
    explicit TTempFile(const AnsiString& target);  // raises EInOutError
    // Takes charge of a complete file that exists already (a partial download).
    TTempFile(const AnsiString& target, const AnsiString& existing);
    ~TTempFile();
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    const AnsiString& Path() const { return FPath; }
    const AnsiString& Target() const { return FTarget; }
    // Renames the complete file over the target (a link there is replaced,
    // never written through). It gets `releaseMode` when the release gives
    // one (not -1); otherwise the mode of the regular file it replaces, or
    // 0666 minus the umask for a new file. Raises EInOutError.
    void PutInPlace(int releaseMode = -1);
    void Remove();

private:
    AnsiString FPath, FTarget;
    bool FLive = false;
};
// The download of one entry, kept between tries and between runs so that a
// broken download goes on where it stopped: "<target>.skiff-part-<id>",
// where the id names the entry (remote name, version, size), so that the
// bytes of another release are never continued. Created exclusively and
// reopened only as a regular file, never through a link.
class TPartialFile {
public:
    TPartialFile(const AnsiString& target, const AnsiString& id);  // raises EInOutError
    const AnsiString& Path() const { return FPath; }
    int64_t Size() const;  // the bytes already there
    void Truncate();       // start again from nothing
    void Discard();        // the bytes are of no use: removed
    // Renames the complete file over the target, as TTempFile::PutInPlace.
    void PutInPlace(int releaseMode = -1);

private:
    AnsiString FPath, FTarget;
};
extern const char kPartialMarker[];
// Removes the partial downloads below `folder` whose native paths are not
// in `keep` (those of a release that is no longer planned); returns how many.
int RemoveStalePartials(const AnsiString& folder, const std::vector<AnsiString>& keep);
// The native paths of the partial downloads below `folder`.
std::vector<AnsiString> PartialsBelow(const AnsiString& folder);

// Marks our temporaries, so that a later run can find what an interrupted one left.
extern const char kTempMarker[];
bool IsTemporaryName(const AnsiString& nativeName);
// Removes every temporary still open (the program is ending).
void RemoveLiveTemporaries();
// Removes the temporaries that an interrupted run left below `folder`
// (links to other folders are not followed); returns how many.
int RemoveLeftoverTemporaries(const AnsiString& folder);
// Asks the system to start writing a file's dirty pages to disk without
// waiting for it (large downloads call it as they go).
void StartWriteback(int fd);
// Makes every file installed since the last flush durable, so that a list
// saved next never records bytes that are not on disk: a few files (a
// large download, a small patch) with an fsync each and one per folder,
// which waits for nothing else on the disk; many files with one syncfs per
// file system that received them.
void FlushInstalledFiles();

// A name that stays below its base folder: it decodes in the names' code
// page, holds no control byte (NUL, CR, LF, ...), is not absolute, has no
// drive letter or stream, and no ".." part.
bool IsSafeRelativeName(const AnsiString& name);

// Writes all n bytes to a file descriptor (retrying short writes); false on failure.
bool WriteAllBytes(int fd, const char* p, size_t n);

// fopen on the native path.
FILE* OpenFile(const AnsiString& path, const char* mode);
// Opens an existing regular file for reading. Never waits: a FIFO or a
// device planted under the name is refused (EINVAL), not opened for good.
// -1 with errno set on failure.
int OpenRegularForReading(const AnsiString& path);
int OpenRegularForReadingNative(const AnsiString& nativePath);
// Opens a log for appending (created when missing): never through a
// symbolic link, never a FIFO or a device; -1 with errno set on failure.
int OpenForLogging(const AnsiString& path);
