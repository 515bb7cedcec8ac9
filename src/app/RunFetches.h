// The run's side of the transfer pool: which entries it fetches, how far
// ahead of the installs, and when the run may go on with an entry. The run
// goes through its list in order and asks Before(i) (hand the pool what is
// due, wait for entry i) and After(i) (done with it).
//
// Every download of the run goes through the pool; an entry that needs none
// (a removal, a name that is refused, a file of no bytes) is the run's
// alone. The pool gets a bounded stretch ahead of the run (entries and
// bytes: what is fetched ahead waits on the disk).
//
// A list whose header names a delta form has its entries taken up by
// TDeltaEntries first, in order: the pool gets no entry while the one
// before it is still being made from its delta, and none that was made.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "DeltaEntries.h"
#include "TransferPool.h"
#include "platform/StringList.h"
#include "release/LineFields.h"

class TRunFetches {
public:
    static constexpr int kEntriesAhead = 2000;
    static constexpr int64_t kBytesAhead = int64_t(1) << 30;

    // The sessions the list's header allows ("connections=N",
    // "mirrors=one|all"; a header with neither key asks for one session on
    // the plan's server, as the updaters it was written for fetch).
    TRunFetches(const TStringList& entries, const AnsiString& header, const AnsiString& appFolder,
                const std::vector<AnsiString>& servers, const AnsiString& listSha, const AnsiString& signature,
                const TTransferPool::TSettings& base, bool requireHashes);

    // Before the run takes entry `i`: what is due goes to the pool, and the
    // wait lasts until the pool has the entry's bytes, is bringing them in
    // segments (the run takes them as they come), or gave up on it.
    void Before(int i, const std::function<bool()>& leaving);
    void After(int i, bool installed);

    // Whether the entry is downloaded at all (it is then parsed into `e`).
    bool Fetched(const AnsiString& entry, TUpdateEntry& e) const;
    // Every planned download's bytes: a made entry's are those its delta
    // fetched, and what the delta form fetched in vain counts too.
    int64_t TotalBytes() const {
        return FTotal + (FDelta ? FDelta->FetchedBytes() - FDelta->MadeListedBytes() : 0);
    }
    // Made from its delta form (the run puts it in place), or null.
    TDeltaInstall* Made(int i) const { return FDelta ? FDelta->Made(i) : nullptr; }
    // The bytes an installed entry counts for in the run's figures.
    int64_t RunBytesOf(int i, int64_t listed) const { return Made(i) ? FDelta->FetchedFor(i) : listed; }
    // The delta form's bytes that made no entry (the manifest, deltas given up).
    int64_t DeltaOverheadBytes() const { return FDelta ? FDelta->FetchedBytes() - FDelta->MadeFetchedBytes() : 0; }
    const TTransferPool& Pool() const { return *FPool; }
    TTransferPool& Pool() { return *FPool; }

private:
    void Feed(int i);

    const TStringList& FEntries;
    // Its callbacks need the pool: it goes after the pool.
    std::unique_ptr<TDeltaEntries> FDelta;
    std::unique_ptr<TTransferPool> FPool;
    bool FRequireHashes;
    int FNext = 0, FRunAt = 0;
    int64_t FAhead = 0, FTotal = 0;
};
