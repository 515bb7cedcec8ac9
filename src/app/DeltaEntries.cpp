#include "DeltaEntries.h"

#include <dirent.h>

#include <algorithm>

#include "UpdateLog.h"
#include "crypto/Sha256.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"

namespace {
// Below this a second request costs more than reading through the gap on
// almost any link; above it, a chunk file takes at most kSpansPerFile
// requests as long as no gap read through exceeds kMaxGapRead.
constexpr int64_t kFreeGap = 64 << 10, kMaxGapRead = 1 << 20;
constexpr size_t kSpansPerFile = 16;
// Files beside a missing one that may hold its chunks: of its kind, a few,
// looked for among the first names of its folder only, and only for a
// download large enough to be worth a look (a fresh install of many files
// must not read a growing folder once per file).
constexpr size_t kMaxSiblings = 2, kMaxNamesLookedAt = 4096;

AnsiString ExtensionOf(const AnsiString& name) {
    const size_t dot = name.rfind('.'), slash = name.find_last_of("/\\");
    return dot == AnsiString::npos || (slash != AnsiString::npos && dot < slash) ? AnsiString() : LowerCase(name.substr(dot));
}
}  // namespace

std::vector<TRangeSpan> SpansOf(const std::vector<TByteRange>& wanted) {
    std::vector<TRangeSpan> spans;
    for (size_t from = 0; from < wanted.size();) {
        size_t to = from + 1;
        while (to < wanted.size() && wanted[to].Remote == wanted[from].Remote) ++to;
        // The gaps of this file, and the largest one read through.
        std::vector<int64_t> gaps;
        for (size_t r = from + 1; r < to; ++r)
            gaps.push_back(wanted[r].Offset - (wanted[r - 1].Offset + wanted[r - 1].Length));
        int64_t readThrough = kFreeGap;
        if (gaps.size() >= kSpansPerFile) {
            std::vector<int64_t> sorted = gaps;
            // The smallest gaps that leave kSpansPerFile spans.
            const size_t kth = gaps.size() - kSpansPerFile;
            std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(kth), sorted.end());
            readThrough = std::max(readThrough, std::min(kMaxGapRead, sorted[kth]));
        }
        for (size_t r = from; r < to; ++r) {
            if (r == from || gaps[r - from - 1] > readThrough)
                spans.push_back({wanted[r].Remote, wanted[r].Offset, 0, r, r});
            TRangeSpan& s = spans.back();
            s.Length = wanted[r].Offset + wanted[r].Length - s.Offset;
            s.Last = r;
        }
        from = to;
    }
    return spans;
}

TDeltaEntries::TDeltaEntries(const TDeltaManifestFile& manifest, const AnsiString& appFolder, TTransferPool& pool)
    : FManifestFile(manifest), FAppFolder(appFolder), FPool(pool) {}

TDeltaEntries::~TDeltaEntries() { *FAlive = false; }

TDeltaInstall* TDeltaEntries::Made(int i) const {
    auto it = FMade.find(i);
    return it == FMade.end() ? nullptr : it->second.Install.get();
}

int64_t TDeltaEntries::FetchedFor(int i) const {
    auto it = FMade.find(i);
    return it == FMade.end() ? 0 : it->second.Fetched;
}

int64_t TDeltaEntries::Forget(int i) {
    auto it = FMade.find(i);
    if (it == FMade.end()) return 0;
    const int64_t listed = it->second.Listed;
    FMade.erase(it);  // a file never put in place goes with its temporary
    return listed;
}

// The entry's own file; when it is missing, files of its kind beside it.
bool TDeltaEntries::HasBytesToBuildOn(const TUpdateEntry& e, std::vector<AnsiString>& sources) const {
    const AnsiString target = FAppFolder + e.Local;
    sources = {target};
    if (IsRegularFile(target)) return true;
    const size_t slash = target.find_last_of('\\');
    const AnsiString folder = target.substr(0, slash + 1), extension = ExtensionOf(e.Local);
    if (extension.empty() || e.Size < kMinDeltaFileBytes) return false;
    DIR* dir = opendir(NativePath(folder).c_str());
    if (!dir) return false;
    size_t looked = 0;
    while (const dirent* d = readdir(dir)) {
        if (++looked > kMaxNamesLookedAt) break;
        const AnsiString name = d->d_name;
        if (d->d_type != DT_REG || IsTemporaryName(name) || name.find(kPartialMarker) != AnsiString::npos ||
            ExtensionOf(name) != extension)
            continue;
        sources.push_back(SystemPathFromNative(NativePath(folder) + name));
        if (sources.size() > kMaxSiblings) break;
    }
    closedir(dir);
    return sources.size() > 1;
}

TDeltaEntries::TWay TDeltaEntries::Way(int i, const TUpdateEntry& e) {
    if (Made(i)) return TWay::Made;
    if (Pending(i)) return TWay::Pending;
    if (i == FGivenUp) return TWay::Full;  // asked again once its delta was given up
    if (FWork || FManifestState == TManifest::Failed || (e.Kind != "E" && e.Kind != "O")) return TWay::Full;
    // The made file is checked whole against the installed bytes' SHA-256.
    const AnsiString sha = !e.InstalledSha256.empty() ? e.InstalledSha256[0] : e.Kind == "O" ? e.Sha256 : "";
    if (!IsSha256Text(sha) || (e.Kind == "O" && e.Size < kMinDeltaFileBytes)) return TWay::Full;
    if (FManifestState == TManifest::Have && !FManifest.Indexes.count(e.Remote)) return TWay::Full;
    std::vector<AnsiString> sources;
    if (!HasBytesToBuildOn(e, sources)) return TWay::Full;
    FWork = std::make_unique<TWork>();
    FWork->Index = i;
    FWork->E = e;
    FWork->Sha256 = sha;
    FSources = std::move(sources);
    FPool.HoldSessions(true);
    if (FManifestState == TManifest::Unasked) FetchManifest();
    else if (FManifestState == TManifest::Have) FetchIndex();
    return TWay::Pending;
}

void TDeltaEntries::FetchManifest() {
    FManifestState = TManifest::Asked;
    if (FManifestFile.Size > kMaxDeltaManifestBytes || FManifestFile.Size <= 0) {
        // Told from the loop, as a fetch's end is.
        std::weak_ptr<bool> alive = FAlive;
        PostTask([this, alive] {
            if (!alive.expired()) ManifestArrived(false, "the header gives it a size no publisher writes");
        });
        return;
    }
    TTransferPool::TSideFetch f;
    f.Remote = FManifestFile.Name;
    f.Length = FManifestFile.Size;
    f.EndsFile = true;
    f.Sink = [this](int64_t, const char* data, size_t n) {
        FManifestBytes.append(data, n);
        FFetched += static_cast<int64_t>(n);
        return true;
    };
    std::weak_ptr<bool> alive = FAlive;
    f.OnEnd = [this, alive](bool fetched, const AnsiString& why) {
        if (!alive.expired()) ManifestArrived(fetched, why);
    };
    FPool.FetchSide(std::move(f));
}

void TDeltaEntries::ManifestArrived(bool fetched, const AnsiString& why) {
    AnsiString problem = why;
    if (fetched && (static_cast<int64_t>(FManifestBytes.size()) != FManifestFile.Size ||
                    Sha256Of(FManifestBytes) != LowerCase(FManifestFile.Sha256)))
        fetched = false, problem = "it is not the one the list's header names";
    else if (fetched && !DecodeDeltaManifest(FManifestBytes, FManifest, problem))
        fetched = false;
    FManifestBytes.clear();
    FManifestBytes.shrink_to_fit();
    if (!fetched) {
        FManifestState = TManifest::Failed;
        UpdateLog::Write("delta form not used: its manifest " + FManifestFile.Name + " cannot be used (" + problem + ")");
        return Decide(false, "");
    }
    FManifestState = TManifest::Have;
    if (!FWork) return;
    if (!FManifest.Indexes.count(FWork->E.Remote)) return Decide(false, "");
    FetchIndex();
}

void TDeltaEntries::FetchIndex() {
    const TDeltaManifestFile& index = FManifest.Indexes.at(FWork->E.Remote);
    if (index.Size <= 0 || index.Size > kMaxDeltaIndexBytes || index.Size >= FWork->E.Size)
        return Decide(false, "its index is no smaller than the full file");
    TTransferPool::TSideFetch f;
    f.Remote = index.Name;
    f.Length = index.Size;
    f.EndsFile = true;
    TWork* work = FWork.get();
    f.Sink = [this, work](int64_t, const char* data, size_t n) {
        work->IndexBytes.append(data, n);
        work->Fetched += static_cast<int64_t>(n);
        FFetched += static_cast<int64_t>(n);
        return true;
    };
    std::weak_ptr<bool> alive = FAlive;
    f.OnEnd = [this, alive](bool fetched, const AnsiString& why) {
        if (!alive.expired()) IndexArrived(fetched, why);
    };
    FPool.FetchSide(std::move(f));
}

void TDeltaEntries::IndexArrived(bool fetched, const AnsiString& why) {
    if (!fetched) return Decide(false, "its index cannot be fetched: " + why);
    TWork& work = *FWork;
    const AnsiString target = FAppFolder + work.E.Local;
    work.Install = std::make_unique<TDeltaInstall>(target, work.IndexBytes, FManifest.Indexes.at(work.E.Remote),
                                                   work.Sha256);
    for (size_t s = 1; s < FSources.size(); ++s) work.Install->AddLocalSource(FSources[s]);
    work.IndexBytes.clear();
    work.IndexBytes.shrink_to_fit();
    Pump();
}

// A step at a time, the loop having its turn between: a scan or an
// assembly reads some mebibytes per step.
void TDeltaEntries::PostPump() {
    std::weak_ptr<bool> alive = FAlive;
    PostTask([this, alive] {
        if (!alive.expired()) Pump();
    });
}

void TDeltaEntries::Pump() {
    if (!FWork || !FWork->Install) return;
    TDeltaInstall& install = *FWork->Install;
    switch (install.Step()) {
        case TDeltaStep::Working: return PostPump();
        case TDeltaStep::Fetch: return FetchRanges();
        case TDeltaStep::Done: return Decide(true, "");
        case TDeltaStep::FallBack: return Decide(false, install.Problem());
    }
}

void TDeltaEntries::FetchRanges() {
    TWork& work = *FWork;
    const std::vector<TByteRange>& wanted = work.Install->Wanted();
    const std::vector<TRangeSpan> spans = SpansOf(wanted);
    int64_t bytes = work.Fetched;
    for (const TRangeSpan& s : spans) bytes += s.Length;
    // The full file is then the cheaper way (what was fetched is spent).
    if (bytes > work.E.Size) return Decide(false, "the chunks it lacks come to more bytes than the full file");
    work.Outstanding = static_cast<int>(spans.size());
    work.Requests += work.Outstanding;
    work.Failed = false;
    TDeltaInstall* install = work.Install.get();
    TWork* at = &work;
    for (const TRangeSpan& span : spans) {
        TTransferPool::TSideFetch f;
        f.Remote = span.Remote;
        f.Offset = span.Offset;
        f.Length = span.Length;
        // The span's bytes go to the ranges it covers; those between are dropped.
        auto next = std::make_shared<size_t>(span.First);
        f.Sink = [this, at, install, span, next, &wanted](int64_t from, const char* data, size_t n) {
            at->Fetched += static_cast<int64_t>(n);
            FFetched += static_cast<int64_t>(n);
            const int64_t begin = span.Offset + from, end = begin + static_cast<int64_t>(n);
            for (size_t& r = *next; r <= span.Last; ++r) {
                const TByteRange& range = wanted[r];
                const int64_t lo = std::max(begin, range.Offset), hi = std::min(end, range.Offset + range.Length);
                if (hi > lo) install->Deliver(r, lo - range.Offset, data + (lo - begin), static_cast<size_t>(hi - lo));
                if (range.Offset + range.Length > end) break;  // more of it in the next block
            }
            return true;
        };
        std::weak_ptr<bool> alive = FAlive;
        f.OnEnd = [this, alive](bool fetched, const AnsiString& why) {
            if (!alive.expired()) RangeEnded(fetched, why);
        };
        FPool.FetchSide(std::move(f));
    }
}

void TDeltaEntries::RangeEnded(bool fetched, const AnsiString& why) {
    TWork& work = *FWork;
    if (!fetched && !work.Failed) work.Failed = true, work.Why = why;
    if (--work.Outstanding > 0) return;
    work.Install->Fetched(!work.Failed);
    if (work.Failed) return Decide(false, "a chunk file's range cannot be fetched: " + work.Why);
    PostPump();
}

void TDeltaEntries::Decide(bool made, const AnsiString& why) {
    if (FWork) {
        TWork& work = *FWork;
        if (made) {
            TMade& m = FMade[work.Index];
            m.Install = std::move(work.Install);
            m.Fetched = work.Fetched;
            m.Listed = work.E.Size;
            FMadeFetched += m.Fetched;
            FMadeListed += m.Listed;
            UpdateLog::Write(work.E.Local + ": made from its delta form: " + IntToStr(m.Fetched) + " bytes fetched in " +
                             IntToStr(work.Requests) + " requests, " + IntToStr(m.Install->LocalBytes()) +
                             " bytes from installed files (the full file: " + IntToStr(work.E.Size) + ")");
        } else if (!why.empty()) {
            UpdateLog::Write(work.E.Local + ": fetched in full, not by its delta form: " + why);
        }
        if (!made) FGivenUp = work.Index;
        FWork.reset();  // a delta given up takes its temporaries with it
    }
    std::weak_ptr<bool> alive = FAlive;
    PostTask([this, alive] {
        if (alive.expired()) return;
        if (OnDecided) OnDecided();
        if (!FWork) FPool.HoldSessions(false);
    });
}
