// One file brought in by its delta form (see DeltaFormat.h), without a
// window and without a connection: the caller (the run's transfer pool)
// fetches the byte ranges this asks for and delivers their bytes.
//
// The installed files given (the entry's own file first) are cut as the
// publisher cut, so the chunks and groups they hold are known by hash; a
// group found whole costs nothing, its record included. Then the records
// of the other groups are fetched, then the chunks that no installed file
// holds, each time as a few ranges of chunk files (blobs closer than the
// merge gap share a range). The new file is assembled into a temporary
// beside the target from local and fetched chunks, each checked against
// its hash as it is read (and inflated when stored compressed), then
// checked whole against the list's SHA-256 of the installed bytes. Only
// then may it be put in place.
//
// Whatever goes wrong (an index that is not the manifest's, a record or a
// chunk served wrong, ranges that never came, an installed file that
// changed while it was read, a full disk) ends in FallBack, with the
// reason: the caller fetches the full file as before. The temporaries
// (fetched ranges, the new file) are TTempFiles: never the target, removed
// when this object goes, and by the start-up clean-up after a kill; a
// rerun starts over.
#pragma once
#include <memory>
#include <vector>

#include "DeltaFormat.h"

struct TByteRange {
    AnsiString Remote;  // a chunk file's served name
    int64_t Offset = 0, Length = 0;
};

enum class TDeltaStep {
    Working,   // more to do: call Step again (after the event loop had its turn)
    Fetch,     // fetch Wanted(), Deliver its bytes, then call Fetched
    Done,      // the new file is complete and checked: PutInPlace
    FallBack   // the delta form cannot make the file: fetch the full one (Problem says why)
};

class TDeltaInstall {
public:
    // `target`: the file to make (a system path in the application folder);
    // `index`: the entry's index as fetched, `indexFile` what the manifest
    // says of it; `installedSha256`: the list's SHA-256 of the installed
    // bytes. Blobs closer than `mergeGap` bytes are fetched in one range.
    TDeltaInstall(const AnsiString& target, const AnsiString& index, const TDeltaManifestFile& indexFile,
                  const AnsiString& installedSha256, int64_t mergeGap = 16 << 10);
    ~TDeltaInstall();
    TDeltaInstall(const TDeltaInstall&) = delete;
    TDeltaInstall& operator=(const TDeltaInstall&) = delete;

    // Another installed file that may hold chunks of the new one (before the first Step).
    void AddLocalSource(const AnsiString& path);
    // Fall back as soon as the ranges to fetch come to more than `bytes`
    // (the full file's served size: no use fetching more by pieces).
    void FallBackAbove(int64_t bytes);
    // A slice of work of at most a few mebibytes read or written.
    TDeltaStep Step();
    // While Step says Fetch: the ranges wanted, sorted, none overlapping.
    const std::vector<TByteRange>& Wanted() const;
    // Bytes of Wanted()[range] from `at` within it, in any order and split.
    void Deliver(size_t range, int64_t at, const char* data, size_t n);
    // The ranges were all delivered; false: some could not be fetched.
    void Fetched(bool complete);
    // After Done: the new file over the target, with `mode` (-1: the old file's).
    void PutInPlace(int mode = -1);
    const AnsiString& Problem() const;
    // All bytes of the ranges asked for so far, and their number.
    int64_t FetchBytes() const;
    int FetchRanges() const;
    // The bytes the new file takes from installed files.
    int64_t LocalBytes() const;

private:
    struct TState;
    std::unique_ptr<TState> F;
};
