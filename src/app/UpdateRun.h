// Bringing in one entry of the update list: download, size check, install,
// record. Kept apart from the window so that tests can drive it with any
// download function.
//
// Installed files are never half-written: every file arrives under a
// temporary name beside its target (the download, the decompressed file,
// each member of a pack) and is renamed over the target only when complete
// and checked; a pack replaces its members only when all of them are ready.
// A replaced file keeps its mode. An entry is recorded only when everything
// it brings is in place; whatever fails leaves no temporary behind.
#pragma once
#include <functional>
#include <vector>

#include "platform/StringList.h"
#include "release/UpdateEntry.h"

enum class TEntryOutcome {
    Installed,        // in place and recorded
    FailedCheck,      // the bytes are not those the list's SHA-256 names; nothing recorded
    Incomplete,       // fewer bytes than listed arrived: kept, the next try goes on from there
    RetryFromStart,   // a continued download failed its check: dropped, the next try starts over
    DownloadFailed,   // no try brought the file (the run gave up on it)
    SizeMismatch,     // received a different number of bytes; nothing recorded
    NotDecompressed,  // damaged data: the gzip stream or the pack is broken; nothing recorded
    Refused,          // a name that would leave the application folder, holds control bytes or
                      // names one of the updater's own files (a pack: any member does); nothing written
    WriteFailed,      // the disk refused (full, read-only ...); nothing recorded
    UnknownKind,      // passed over
    Removed,          // a file the release dropped, unchanged here: deleted and its record removed
    Kept              // a file the release dropped but that was changed here: left alone
};
// True for the outcomes that leave the entry's file as it was although the
// entry was to be brought in.
inline bool IsFailure(TEntryOutcome o) {
    return o != TEntryOutcome::Installed && o != TEntryOutcome::UnknownKind && o != TEntryOutcome::Removed &&
           o != TEntryOutcome::Kept;
}
// True for the outcomes that another try may mend.
inline bool IsWorthAnotherTry(TEntryOutcome o) {
    return o == TEntryOutcome::Incomplete || o == TEntryOutcome::RetryFromStart;
}

// Where the download of an entry is kept between tries: beside its target,
// named after the entry (see TPartialFile); the native path, for cleaning up.
AnsiString PartialIdOf(const TUpdateEntry& e);
AnsiString PartialPathOf(const AnsiString& appFolder, const TUpdateEntry& e);

// Receives the downloaded bytes as they are written (for the hash).
using TChunkSink = std::function<void(const char* data, size_t n)>;

// One download: into LocalPath, which holds RestartAt bytes of an earlier
// try; the server may go on from there or start again.
struct TDownloadRequest {
    AnsiString Remote, LocalPath;
    int64_t Size = 0;       // as the list gives it
    int64_t RestartAt = 0;
    TChunkSink Sink;        // sees every block written
    // Called before the first block with the offset the data begin at
    // (RestartAt when the server went on from there, else 0).
    std::function<void(int64_t offset)> Begin;
};
struct TDownloadResult {
    int64_t Bytes = 0;      // now in LocalPath
    bool Resumed = false;   // the server went on from RestartAt
    // The server sent all it has and confirmed it: fewer bytes than listed
    // are then a file of another size, not a download to continue.
    bool Complete = false;
};

class TEntryInstaller {
public:
    AnsiString AppFolder;               // with its trailing backslash
    TStringList* Installed = nullptr;   // the installed versions list
    // Downloads as asked; raises on a failure (the partial download stays
    // for the next try). A download may stop as soon as it goes past Size.
    std::function<TDownloadResult(const TDownloadRequest&)> Download;
    // A signed list: an entry without a usable SHA-256 is a failed check.
    bool RequireHashes = false;
    // Forgets the installed versions list's line of a removed file (the
    // line stays in place until the list is saved, so that the indices of
    // other entries keep their meaning).
    std::function<void(const AnsiString& local)> RecordRemoval;
    // The entry is in place: the local names it installed (a pack's members
    // in directory order).
    std::function<void(const TUpdateEntry& e, const std::vector<AnsiString>& files)> OnInstalled;

    TEntryOutcome Process(const AnsiString& entry);
    // An entry whose file was made and checked whole by other means (its
    // delta form): `putInPlace(mode)` renames it over the target (raising
    // EInOutError when it cannot); then it is recorded as Process records.
    TEntryOutcome InstallMade(const AnsiString& entry, const std::function<void(int mode)>& putInPlace);
    // What went wrong with the last entry, for the operator (the system's
    // own message for a write failure, the sizes for a mismatch).
    AnsiString Detail;

private:
    void Record(const TUpdateEntry& e);
    TEntryOutcome Remove(const TUpdateEntry& e);
};
