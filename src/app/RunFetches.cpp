#include "RunFetches.h"

#include "crypto/Sha256.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/OwnFiles.h"
#include "release/RemoteName.h"

namespace {
TTransferPool::TSettings WithLimits(TTransferPool::TSettings settings, const AnsiString& header) {
    const TTransferLimits limits = DeclaredTransferLimits(header);
    settings.Connections = limits.Connections;
    settings.AllMirrors = limits.AllMirrors;
    return settings;
}
}  // namespace

TRunFetches::TRunFetches(const TStringList& entries, const AnsiString& header, const AnsiString& appFolder,
                         const std::vector<AnsiString>& servers, const AnsiString& listSha,
                         const AnsiString& signature, const TTransferPool::TSettings& base, bool requireHashes)
    : FEntries(entries),
      FPool(std::make_unique<TTransferPool>(appFolder, servers, listSha, signature, WithLimits(base, header))),
      FRequireHashes(requireHashes) {
    // A glance at each line, not a full parse: a list may hold a million.
    for (int i = 0; i < entries.Count(); ++i) {
        // A changed file's line ("U <index> <line>") holds its fields two on.
        const int at = GetField(1, entries[i]) == "U" ? 2 : 0;
        const AnsiString kind = GetField(1 + at, entries[i]);
        if (kind != "E" && kind != "O" && kind != "C") continue;
        try {
            FTotal += StrToInt64(GetField(5 + at, entries[i]));
        } catch (const EConvertError&) {
        }
    }
    TDeltaManifestFile manifest;
    if (DeclaredDeltaManifest(header, manifest)) {
        FDelta = std::make_unique<TDeltaEntries>(manifest, appFolder, *FPool);
        FDelta->OnDecided = [this] { Feed(FRunAt); };
    }
}

bool TRunFetches::Fetched(const AnsiString& entry, TUpdateEntry& e) const {
    try {
        e = ParseUpdateEntry(entry);
    } catch (const EConvertError&) {
        return false;  // the run reports it
    }
    return !IsRemovalKind(e.Kind) && IsKnownKind(e.Kind) && IsSafeRemoteName(e.Remote) &&
           IsSafeRelativeName(e.Local) && !IsUpdatersOwnFile(e.Local, ProgramFileName()) &&
           (!FRequireHashes || IsSha256Text(e.Sha256)) && e.Size > 0;
}

void TRunFetches::Feed(int i) {
    FRunAt = i;
    for (; FNext < FEntries.Count(); ++FNext) {
        if (FNext != i && (FNext - i >= kEntriesAhead || FAhead >= kBytesAhead)) return;
        TUpdateEntry e;
        if (!Fetched(FEntries[FNext], e)) continue;
        const TDeltaEntries::TWay way = FDelta ? FDelta->Way(FNext, e) : TDeltaEntries::TWay::Full;
        if (way == TDeltaEntries::TWay::Pending) return;  // fed on once it is decided
        if (way == TDeltaEntries::TWay::Full) FPool->Add(FNext, e);
        FAhead += e.Size;
    }
}

void TRunFetches::Before(int i, const std::function<bool()>& leaving) {
    Feed(i);
    FPool->Start();
    if (FDelta && FDelta->Pending(i)) {
        EventLoop::WaitUntil([&] { return !FDelta->Pending(i) || leaving(); });
        Feed(i);  // given up: the full file
    }
    if (!FPool->Has(i)) return;
    // An entry coming in segments is taken as its bytes come.
    EventLoop::WaitUntil([&] { return FPool->Settled(i) || FPool->Streams(i) || leaving(); });
}

void TRunFetches::After(int i, bool installed) {
    if (Made(i)) FAhead -= FDelta->Forget(i);
    else FAhead -= FPool->Done(i, installed);
}
