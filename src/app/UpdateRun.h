// Bringing in one entry of the update list: download, size check, install,
// record. Kept apart from the window so that tests can drive it with any
// download function.
//
// Installed files are never half-written: a plain file is downloaded to a
// temporary name beside its target, a gzip file is decompressed to one, and
// each is renamed over the target only when complete and checked. A failed
// decompression records nothing, so the next start lists the file again.
#pragma once
#include <functional>

#include "gzip/Gzip.h"
#include "platform/StringList.h"

// The fields of an update-list entry, whichever of the two shapes it has.
struct TUpdateEntry {
    bool Changed = false;  // "U <index> <line>"
    int Index = 0;         // line of the installed versions list (changed entries)
    AnsiString Kind, Remote, Local, Version;
    int64_t Size = 0;
};
// Raises EConvertError when the index or the size is not an integer.
TUpdateEntry ParseUpdateEntry(const AnsiString& entry);

enum class TEntryOutcome {
    Installed,        // recorded
    SizeMismatch,     // received a different number of bytes; nothing recorded
    NotDecompressed,  // the gzip component failed (and said so); nothing recorded
    Refused,          // a name that would leave the application folder
    UnknownKind       // passed over
};

class TEntryInstaller {
public:
    AnsiString AppFolder;               // with its trailing backslash
    TGzip* Gzip = nullptr;              // DeleteSource set by the owner
    TStringList* Installed = nullptr;   // the installed versions list
    // Downloads `remote` into the file `localPath` and returns the number of
    // bytes received; raises on failure. `size` is the size the list gives:
    // a download may stop as soon as it goes past it.
    std::function<int64_t(const AnsiString& remote, const AnsiString& localPath, int64_t size)> Download;

    TEntryOutcome Process(const AnsiString& entry);

private:
    void Record(const TUpdateEntry& e);
    bool DecompressTo(const AnsiString& source, const AnsiString& target);
};
