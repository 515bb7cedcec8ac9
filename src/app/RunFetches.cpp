#include "RunFetches.h"

#include "crypto/Sha256.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/OwnFiles.h"
#include "release/RemoteName.h"

std::unique_ptr<TRunFetches> TRunFetches::For(const TStringList& entries, const AnsiString& header,
                                              const AnsiString& appFolder, const std::vector<AnsiString>& servers,
                                              const AnsiString& listSha, const AnsiString& signature,
                                              const TTransferPool::TSettings& base, bool requireHashes) {
    const TTransferLimits limits = DeclaredTransferLimits(header);
    if (limits.Connections == 1 && !limits.AllMirrors) return nullptr;
    TTransferPool::TSettings settings = base;
    settings.Connections = limits.Connections;
    settings.AllMirrors = limits.AllMirrors;
    auto pool = std::make_unique<TTransferPool>(appFolder, servers, listSha, signature, settings);
    return std::unique_ptr<TRunFetches>(
        new TRunFetches(entries, std::move(pool), limits.AllMirrors ? servers.size() : 1, requireHashes));
}

TRunFetches::TRunFetches(const TStringList& entries, std::unique_ptr<TTransferPool> pool, size_t mirrors,
                         bool requireHashes)
    : FEntries(entries), FPool(std::move(pool)), FMirrors(mirrors), FRequireHashes(requireHashes) {
    // A glance at each line, not a full parse: a list may hold a million.
    for (int i = 0; i < entries.Count(); ++i) {
        const AnsiString kind = GetField(1, entries[i]);
        if (kind != "E" && kind != "O" && kind != "C") continue;
        try {
            FTotal += StrToInt64(GetField(5, entries[i]));
        } catch (const EConvertError&) {
        }
    }
    FPool->Start();
}

TRunFetches::TWay TRunFetches::WayOf(const AnsiString& entry, TUpdateEntry& e) const {
    try {
        e = ParseUpdateEntry(entry);
    } catch (const EConvertError&) {
        return TWay::None;  // the run reports it
    }
    if (IsRemovalKind(e.Kind) || !IsKnownKind(e.Kind) || !IsSafeRemoteName(e.Remote) || !IsSafeRelativeName(e.Local) ||
        IsUpdatersOwnFile(e.Local, ProgramFileName()) || (FRequireHashes && !IsSha256Text(e.Sha256)))
        return TWay::None;
    // With one mirror, a large entry is hashed (and inflated) while it
    // arrives on the run's own session, straight to the disk: on one link
    // that beats segments read back after. Several mirrors fetch it in
    // segments, gzip and packs too: inflating from the disk afterwards costs
    // a fraction of what the mirrors' limits per connection cost one session.
    const bool streamed = e.Size >= FPool->Settings().SegmentFrom && FMirrors < 2;
    return e.Size == 0 || streamed ? TWay::Own : TWay::Pooled;
}

void TRunFetches::Feed(int i) {
    while (FNext < FEntries.Count()) {
        const bool due = FNext == i;
        if (!due && (FNext - i >= kEntriesAhead || FAhead >= kBytesAhead)) return;
        TUpdateEntry e;
        const TWay way = WayOf(FEntries[FNext], e);
        if (way == TWay::Own) {
            if (due) FOwn = FNext++;
            return;
        }
        ++FNext;
        if (way == TWay::None) continue;
        // The pool takes over from the run's own session, at the start and
        // after each entry the run fetched itself: a server that allows one
        // session per user gives it to the pool.
        if (!FPoolsTurn && BeforePoolFetches) BeforePoolFetches();
        FPoolsTurn = true;
        FPool->Add(FNext - 1, e);
        FAhead += e.Size;
    }
}

void TRunFetches::Before(int i, const std::function<bool()>& leaving) {
    Feed(i);
    const bool pooled = FPool->Has(i);
    if (!pooled && i != FOwn) return;
    // An entry coming in segments is taken as its bytes come.
    if (pooled)
        while (!FPool->Settled(i) && !FPool->Streams(i) && !leaving()) EventLoop::WaitForEvent(0.25);
    if (!pooled || FPool->GivenUp(i)) MakeRoom(leaving);
}

// The run's own session needs the pool's gone first: a server that takes
// one session per user would turn it away. The pool ends its sessions once
// the stretch it has is done.
void TRunFetches::MakeRoom(const std::function<bool()>& leaving) {
    while (!FPool->Quiet() && !leaving()) EventLoop::WaitForEvent(0.25);
    FPoolsTurn = false;
}

void TRunFetches::After(int i, bool installed) { FAhead -= FPool->Done(i, installed); }
