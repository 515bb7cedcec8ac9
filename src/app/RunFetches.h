// The run's side of the transfer pool: which entries go through it, how far
// ahead of the installs it may fetch, and when the run may go on with an
// entry. The run goes through its list in order and asks Before(i) (hand
// the pool what is due, wait for entry i) and After(i) (done with it).
//
// An entry comes in one of three ways: through the pool (a large one in
// segments from several mirrors); on the run's own session (a large entry
// when there is one mirror, hashed and inflated while it arrives; a file of
// no bytes); or with no fetch at all (a removal, a name that is refused).
// The pool gets a bounded stretch ahead of the run (entries and bytes: what
// is fetched ahead waits on the disk) and never runs past an entry the run
// fetches itself. Before the run's own tries (such an entry, or one the pool
// gave up on) the pool ends its sessions, so that a server that takes one
// session per user has it free for the run; the run lets its own go when the
// pool starts again.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "TransferPool.h"
#include "platform/StringList.h"
#include "release/LineFields.h"

class TRunFetches {
public:
    enum class TWay { Pooled, Own, None };
    static constexpr int kEntriesAhead = 2000;
    static constexpr int64_t kBytesAhead = int64_t(1) << 30;

    // Null when the list's header asks for one session on one mirror: the
    // run then fetches every entry itself, as runs always did.
    static std::unique_ptr<TRunFetches> For(const TStringList& entries, const AnsiString& header,
                                            const AnsiString& appFolder, const std::vector<AnsiString>& servers,
                                            const AnsiString& listSha, const AnsiString& signature,
                                            const TTransferPool::TSettings& base, bool requireHashes);

    // Before the run takes entry `i`: what is due goes to the pool, and the
    // wait lasts until the pool has the entry's bytes, is bringing them in
    // segments (the run takes them as they come), or left it to the run (an
    // entry of the run's own: until the pool's sessions have ended).
    void Before(int i, const std::function<bool()>& leaving);
    void After(int i, bool installed);
    // The run is about to log in for tries of its own (an entry the pool
    // brought did not install): the pool's sessions end first.
    void MakeRoom(const std::function<bool()>& leaving);

    TWay WayOf(const AnsiString& entry, TUpdateEntry& e) const;
    int64_t TotalBytes() const { return FTotal; }  // every planned download's bytes
    const TTransferPool& Pool() const { return *FPool; }
    TTransferPool& Pool() { return *FPool; }

    // Before the pool's sessions start, and again when they start after the
    // run has fetched an entry itself: the run lets its own session go.
    std::function<void()> BeforePoolFetches;

private:
    TRunFetches(const TStringList& entries, std::unique_ptr<TTransferPool> pool, size_t mirrors, bool requireHashes);
    void Feed(int i);

    const TStringList& FEntries;
    std::unique_ptr<TTransferPool> FPool;
    size_t FMirrors;
    bool FRequireHashes, FPoolsTurn = false;
    int FNext = 0, FOwn = -1;
    int64_t FAhead = 0, FTotal = 0;
};
