// The delta form of a release (see release/DeltaFormat.h), written beside
// its full files: each file of at least kMinDeltaFileBytes is cut into
// chunks (read once: cut and hashed in one pass), the chunks that no
// earlier release still published holds are stored in new chunk files,
// and the file gets an index. A file whose entry is unchanged keeps the
// previous release's index, read nowhere again.
#pragma once
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "release/DeltaFormat.h"

struct TDeltaEntry {
    AnsiString Remote;  // the entry's served name: the manifest's key
    AnsiString Native;  // the installed file, in the release folder
    int64_t Size = 0;
    AnsiString Sha256;  // of the installed bytes
    bool Unchanged = false;
};

struct TDeltaSummary {
    int Indexed = 0, Reused = 0;
    int64_t NewChunkFileBytes = 0, IndexBytes = 0;
};

// What a published delta form holds: its manifest and indexes, and where
// each chunk and record blob lies.
struct TDeltaHoldings {
    TDeltaManifest Manifest;
    std::map<AnsiString, TDeltaIndex> Indexes;  // entry's remote name -> its index
    std::map<AnsiString, std::vector<std::vector<TChunkRecord>>> Records;  // the same -> each group's chunks
};
// The delta form of the list `listText` published in `folder` (none when its
// header names none); raises Exception when it is there but damaged.
TDeltaHoldings ReadDeltaHoldings(const AnsiString& folder, const AnsiString& listText);

class TDeltaWriter {
public:
    // Learns the blobs of the previous release (its folder; empty for none).
    explicit TDeltaWriter(const AnsiString& previousFolder);
    ~TDeltaWriter();
    // Writes the delta form of `entries` into `out` (the release being
    // made, which holds the previous folder's files already or gets them
    // linked); returns the header field that names the manifest ("" when no
    // entry has one). With `dryRun` nothing is written, and the new indexes
    // and records are kept for FetchEstimate.
    AnsiString Write(const std::vector<TDeltaEntry>& entries, const AnsiString& out, bool dryRun,
                     TDeltaSummary& summary);
    // After Write: the bytes that a player on an earlier release would
    // fetch, by the blobs alone (the ranges' gaps aside): for each entry
    // whose served name is not the one the player holds, the manifest, the
    // entry's index, the records of the groups it lacks and the chunks it
    // lacks; the full file for an entry without an index here or there.
    struct TEstimateEntry {
        AnsiString Remote, HeldRemote;  // HeldRemote empty: the player has no such file
        int64_t FullSize = 0;
    };
    int64_t FetchEstimate(const TDeltaHoldings& held, const std::vector<TEstimateEntry>& entries) const;

private:
    struct TState;
    std::unique_ptr<TState> F;
};
