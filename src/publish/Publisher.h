// Making an FTP-ready release from a folder of installed files: update3.dat
// and the remote files it names ("E" gzip files, "O" plain copies, "C" packs
// of at most 100 members), keeping the version and remote file of every
// entry whose bytes did not change since the previous release.
#pragma once
#include <functional>
#include <map>
#include <vector>

#include "platform/Classes.h"
#include "release/RemoteName.h"

struct TPublishOptions {
    AnsiString ReleaseDir, OutDir;  // native paths
    AnsiString Previous;            // a previous OUT_DIR or its update3.dat; empty for none
    AnsiString Version;             // empty: the current UTC time, yyyymmddhhmmss
    std::vector<std::pair<AnsiString, AnsiString>> Packs;  // release sub-folder -> pack name
    std::vector<AnsiString> PlainGlobs;                    // matched against the local name with '/'
    // Files installed when missing and then left to the player (the header's
    // "owned=", see release/PlayerOwned.h); matched as PlainGlobs are.
    std::vector<AnsiString> PlayerOwnedGlobs;
    // The code page of the names in update3.dat and in packs (0: the system
    // code page); the header declares it, so every updater maps the names
    // to the same files whatever its user's locale.
    int CodePage = 0;
    // Signing (update3.dat.minisig beside update3.dat) with a minisign
    // secret key file; empty: the release is not signed.
    AnsiString SecretKey;
    // The key's password: the first line of this file, else asked through
    // AskPassword (the terminal); an unprotected key needs neither.
    AnsiString PasswordFile;
    std::function<AnsiString()> AskPassword;
    int ExpiresDays = 0;   // 0: the signature does not expire
    int64_t Serial = 0;    // 0: one more than the previous release's, and at least the UTC time in seconds
    bool DryRun = false;   // work out what would change, write nothing
    // Name the files that the previous release installed and this one drops
    // ("D" entries), so that updaters remove them where they are unchanged.
    bool RemoveDropped = false;
    // Publish without SecretKey although the previous release is signed.
    bool UnsignedOverSigned = false;
    // What the list lets updaters do with the mirrors: sessions per mirror
    // (0: the default, 2) and "one" or "all" mirrors at once (empty: the
    // default, all). Both are always written to the header.
    int Connections = 0;
    AnsiString Mirrors;
    // Write the delta form beside the full files (see release/DeltaFormat.h);
    // with DryRun, tell what a player on each of the last releases would fetch.
    bool Delta = false;
};

constexpr int64_t kMaxSerial = (int64_t(1) << 53) - 1;

struct TPublishSummary {
    int Files = 0, Entries = 0, Changed = 0;
    int64_t BytesIn = 0, BytesOut = 0;
    int64_t Serial = 0;  // of a signed release; 0 when unsigned
    int Removals = 0;    // "D" entries in the list
    std::vector<AnsiString> Warnings;  // what was published otherwise than it was found
    // Local names (in UTF-8) of the entries against the previous release
    // (all added without one).
    std::vector<AnsiString> AddedNames, ChangedNames, UnchangedNames, RemovedNames;
    // With Delta: files indexed anew and indexes kept, the new chunk files' bytes.
    int DeltaIndexed = 0, DeltaReused = 0;
    int64_t DeltaChunkBytes = 0;
    // With Delta and DryRun: per earlier release (its version, newest
    // first), the bytes a player on it would fetch through the delta form
    // and without it (the changed entries' full files; in a dry run those
    // made anew count their installed size).
    struct TPlayerFetch {
        AnsiString Version;
        int64_t Delta = 0, Full = 0;
    };
    std::vector<TPlayerFetch> PlayerFetches;
};

// Progress: bytes done of all bytes, and the file being worked on.
using TPublishProgress = std::function<void(int64_t done, int64_t total, const AnsiString& current)>;

// Raises Exception with a message for the user on bad input, every problem of
// the release at once (nothing is written then), and on failures (the
// previous OUT_DIR stays as it was).
TPublishSummary Publish(const TPublishOptions& options, const TPublishProgress& progress = {});
