#include "DeltaInstall.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "DeltaChunker.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"

namespace {

const int64_t kSliceBytes = 16 << 20;  // read or written per Step

enum class TPhase { Scan, Records, AwaitRecords, ReadRecords, Chunks, AwaitChunks, Assemble, Done, FallBack };

struct TIdHash {
    size_t operator()(const TChunkId& id) const {
        size_t h;
        memcpy(&h, id.data(), sizeof h);
        return h;
    }
};

// Bytes of an installed file: which source, where, how many.
struct TLocalSpan {
    int Source = 0;
    int64_t Offset = 0, Length = 0;
};

// A blob asked for: its place in a chunk file, raw length, and where its
// bytes land in the spool of fetched ranges.
struct TBlobWanted {
    TChunkId Id{};
    TBlobPlace Place;
    uint32_t Length = 0;
    int64_t SpoolAt = -1;
};

struct TFd {
    int fd = -1;
    ~TFd() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

bool ReadAt(int fd, char* p, size_t n, int64_t offset) {
    while (n > 0) {
        ssize_t got = pread(fd, p, n, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

}  // namespace

struct TDeltaInstall::TState {
    AnsiString Target, Sha256, Problem;
    int64_t Gap = 0;
    TDeltaIndex Index;
    TPhase Phase = TPhase::Scan;
    // The installed files and their scan.
    std::vector<AnsiString> Sources;
    std::vector<std::unique_ptr<TFd>> SourceFds;
    size_t Scanning = 0;
    std::unique_ptr<TChunkReader> Reader;
    TWhatDigest What;
    uint32_t GroupChunks = 0;
    int64_t GroupStart = 0, GroupBytes = 0;
    std::unordered_map<TChunkId, TLocalSpan, TIdHash> LocalChunks, LocalGroups;
    // Per group of the index: found whole locally, or its chunks from its record.
    std::vector<std::optional<TLocalSpan>> GroupLocal;
    std::vector<std::vector<TChunkRecord>> GroupRecords;
    // Fetching.
    std::vector<TByteRange> Wanted;
    std::vector<int64_t> WantedSpoolAt, Received;
    std::unordered_map<TChunkId, TBlobWanted, TIdHash> Blobs;
    std::unique_ptr<TTempFile> Spool;
    TFd SpoolWrite, SpoolRead;
    int64_t SpoolEnd = 0, FetchBytes = 0, LocalBytes = 0, Limit = -1;
    int FetchRanges = 0;
    bool DeliveryFailed = false;
    // Assembling.
    std::unique_ptr<TTempFile> Output;
    TFd Out;
    std::unique_ptr<TSha256> Hash;
    size_t NextGroup = 0;
    int64_t Written = 0;

    TDeltaStep FallBack(const AnsiString& why) {
        Phase = TPhase::FallBack;
        if (Problem.empty()) Problem = why;
        Out.Close();
        Output.reset();
        SpoolWrite.Close();
        SpoolRead.Close();
        Spool.reset();
        return TDeltaStep::FallBack;
    }
    TDeltaStep Scan();
    TDeltaStep PlanRecords();
    TDeltaStep ReadRecords();
    TDeltaStep PlanChunks();
    TDeltaStep AskFor(std::vector<TBlobWanted> blobs, TPhase awaiting);
    bool BlobBytes(const TChunkId& id, AnsiString& raw);
    TDeltaStep Assemble();
};

TDeltaInstall::TDeltaInstall(const AnsiString& target, const AnsiString& index, const TDeltaManifestFile& indexFile,
                             const AnsiString& installedSha256, int64_t mergeGap)
    : F(new TState) {
    F->Target = target;
    F->Sha256 = LowerCase(installedSha256);
    F->Gap = std::max<int64_t>(0, mergeGap);
    F->Sources.push_back(target);
    AnsiString problem;
    if (static_cast<int64_t>(index.size()) != indexFile.Size || Sha256Of(index) != indexFile.Sha256)
        F->FallBack("the index is not the one the delta manifest names");
    else if (!DecodeDeltaIndex(index, F->Index, problem))
        F->FallBack(problem);
    else if (F->Index.Sha256 != F->Sha256)
        F->FallBack("the index is of other bytes than the list's");
}

TDeltaInstall::~TDeltaInstall() = default;

void TDeltaInstall::AddLocalSource(const AnsiString& path) { F->Sources.push_back(path); }
void TDeltaInstall::FallBackAbove(int64_t bytes) { F->Limit = bytes; }

const std::vector<TByteRange>& TDeltaInstall::Wanted() const { return F->Wanted; }
const AnsiString& TDeltaInstall::Problem() const { return F->Problem; }
int64_t TDeltaInstall::FetchBytes() const { return F->FetchBytes; }
int TDeltaInstall::FetchRanges() const { return F->FetchRanges; }
int64_t TDeltaInstall::LocalBytes() const { return F->LocalBytes; }

TDeltaStep TDeltaInstall::Step() {
    switch (F->Phase) {
        case TPhase::Scan: return F->Scan();
        case TPhase::Records: return F->PlanRecords();
        case TPhase::ReadRecords: return F->ReadRecords();
        case TPhase::Chunks: return F->PlanChunks();
        case TPhase::Assemble: return F->Assemble();
        case TPhase::AwaitRecords:
        case TPhase::AwaitChunks: return TDeltaStep::Fetch;
        case TPhase::Done: return TDeltaStep::Done;
        case TPhase::FallBack: return TDeltaStep::FallBack;
    }
    return TDeltaStep::FallBack;
}

// Cuts the installed files as the publisher cut, a slice at a time: every
// chunk and every group found is noted by its hash (the first place wins).
TDeltaStep TDeltaInstall::TState::Scan() {
    for (int64_t done = 0; done < kSliceBytes;) {
        if (Scanning == Sources.size()) {
            Reader.reset();
            Phase = TPhase::Records;
            return TDeltaStep::Working;
        }
        if (!Reader) {
            SourceFds.push_back(std::make_unique<TFd>());
            SourceFds.back()->fd = OpenRegularForReading(Sources[Scanning]);
            if (SourceFds.back()->fd < 0) {  // missing or unreadable: it holds nothing for us
                ++Scanning;
                continue;
            }
            Reader = std::make_unique<TChunkReader>(SourceFds.back()->fd);
            What = TWhatDigest();
            GroupChunks = 0;
            GroupStart = GroupBytes = 0;
        }
        const unsigned char* data;
        size_t n;
        int64_t offset;
        if (!Reader->Next(data, n, offset)) {
            if (GroupChunks > 0) LocalGroups.emplace(What.Digest(), TLocalSpan{int(Scanning), GroupStart, GroupBytes});
            Reader.reset();
            ++Scanning;
            continue;
        }
        const TChunkId id = ChunkIdOf(data, n);
        LocalChunks.emplace(id, TLocalSpan{int(Scanning), offset, int64_t(n)});
        What.Add(id, static_cast<uint32_t>(n));
        GroupBytes += static_cast<int64_t>(n);
        if (EndsGroup(id, ++GroupChunks)) {
            LocalGroups.emplace(What.Digest(), TLocalSpan{int(Scanning), GroupStart, GroupBytes});
            What = TWhatDigest();
            GroupChunks = 0;
            GroupStart = offset + static_cast<int64_t>(n);
            GroupBytes = 0;
        }
        done += static_cast<int64_t>(n);
    }
    return TDeltaStep::Working;
}

TDeltaStep TDeltaInstall::TState::PlanRecords() {
    GroupLocal.assign(Index.Groups.size(), std::nullopt);
    GroupRecords.assign(Index.Groups.size(), {});
    std::vector<TBlobWanted> records;
    for (size_t g = 0; g < Index.Groups.size(); ++g) {
        const TGroupRef& group = Index.Groups[g];
        auto local = LocalGroups.find(group.What);
        if (local != LocalGroups.end() && local->second.Length == group.Bytes) GroupLocal[g] = local->second;
        else records.push_back({group.Record, group.Place, group.RecordLength, -1});
    }
    LocalGroups.clear();
    if (records.empty()) {
        Phase = TPhase::Chunks;
        return TDeltaStep::Working;
    }
    return AskFor(records, TPhase::AwaitRecords);
}

// The blobs as ranges of their chunk files: sorted by file and offset,
// those closer than the gap in one range. Their bytes go to the spool.
TDeltaStep TDeltaInstall::TState::AskFor(std::vector<TBlobWanted> blobs, TPhase awaiting) {
    std::sort(blobs.begin(), blobs.end(), [](const TBlobWanted& a, const TBlobWanted& b) {
        return a.Place.File != b.Place.File ? a.Place.File < b.Place.File : a.Place.Offset < b.Place.Offset;
    });
    try {
        if (!Spool) {
            Spool = std::make_unique<TTempFile>(Target);
            SpoolWrite.fd = OpenForWriting(Spool->Path());
            SpoolRead.fd = OpenRegularForReading(Spool->Path());
            if (SpoolWrite.fd < 0 || SpoolRead.fd < 0)
                return FallBack("Cannot write file \"" + ShownPath(Spool->Path()) + "\". " + strerror(errno));
        }
    } catch (const EInOutError& e) {
        return FallBack(e.Message);
    }
    Wanted.clear();
    WantedSpoolAt.clear();
    for (TBlobWanted& b : blobs) {
        const int64_t end = b.Place.Offset + b.Place.Stored;
        const AnsiString& remote = Index.FileById(b.Place.File)->Name;
        if (Wanted.empty() || Wanted.back().Remote != remote ||
            b.Place.Offset > Wanted.back().Offset + Wanted.back().Length + Gap) {
            Wanted.push_back({remote, b.Place.Offset, 0});
            WantedSpoolAt.push_back(SpoolEnd);
        }
        TByteRange& r = Wanted.back();
        // A blob that overlaps the range's end (never in a published file) still lies within it.
        r.Length = std::max(r.Length, end - r.Offset);
        b.SpoolAt = WantedSpoolAt.back() + (b.Place.Offset - r.Offset);
        SpoolEnd = WantedSpoolAt.back() + r.Length;
        Blobs[b.Id] = b;
    }
    for (const TByteRange& r : Wanted) FetchBytes += r.Length;
    FetchRanges += static_cast<int>(Wanted.size());
    if (Limit >= 0 && FetchBytes > Limit) return FallBack("the full file is smaller than the chunks it lacks");
    Received.assign(Wanted.size(), 0);
    DeliveryFailed = false;
    Phase = awaiting;
    return TDeltaStep::Fetch;
}

void TDeltaInstall::Deliver(size_t range, int64_t at, const char* data, size_t n) {
    TState& s = *F;
    if ((s.Phase != TPhase::AwaitRecords && s.Phase != TPhase::AwaitChunks) || range >= s.Wanted.size() || at < 0 ||
        at + static_cast<int64_t>(n) > s.Wanted[range].Length) {
        s.DeliveryFailed = true;
        return;
    }
    if (!WriteAllAt(s.SpoolWrite.fd, data, n, s.WantedSpoolAt[range] + at)) {
        s.FallBack("Cannot write file \"" + ShownPath(s.Spool->Path()) + "\". " + strerror(errno));
        return;
    }
    s.Received[range] += static_cast<int64_t>(n);
}

void TDeltaInstall::Fetched(bool complete) {
    TState& s = *F;
    if (s.Phase != TPhase::AwaitRecords && s.Phase != TPhase::AwaitChunks) return;
    for (size_t r = 0; r < s.Wanted.size(); ++r) complete = complete && s.Received[r] >= s.Wanted[r].Length;
    if (!complete || s.DeliveryFailed) {
        s.FallBack("the chunk files' ranges did not all arrive");
        return;
    }
    s.Wanted.clear();
    s.Phase = s.Phase == TPhase::AwaitRecords ? TPhase::ReadRecords : TPhase::Assemble;
}

bool TDeltaInstall::TState::BlobBytes(const TChunkId& id, AnsiString& raw) {
    auto b = Blobs.find(id);
    if (b == Blobs.end()) return false;
    AnsiString stored(b->second.Place.Stored, '\0');
    return ReadAt(SpoolRead.fd, &stored[0], stored.size(), b->second.SpoolAt) &&
           OpenBlob(stored.data(), stored.size(), b->second.Place.Compressed, b->second.Length, id, raw);
}

TDeltaStep TDeltaInstall::TState::ReadRecords() {
    AnsiString raw, problem;
    for (size_t g = 0; g < Index.Groups.size(); ++g) {
        if (GroupLocal[g]) continue;
        if (!BlobBytes(Index.Groups[g].Record, raw)) return FallBack("a group record was served wrong");
        if (!DecodeGroupRecord(raw, Index.Groups[g], Index, GroupRecords[g], problem)) return FallBack(problem);
    }
    Phase = TPhase::Chunks;
    return TDeltaStep::Working;
}

TDeltaStep TDeltaInstall::TState::PlanChunks() {
    std::vector<TBlobWanted> chunks;
    std::unordered_map<TChunkId, bool, TIdHash> asked;
    for (size_t g = 0; g < Index.Groups.size(); ++g)
        for (const TChunkRecord& c : GroupRecords[g])
            if (!LocalChunks.count(c.Id) && asked.emplace(c.Id, true).second)
                chunks.push_back({c.Id, c.Place, c.Length, -1});
    if (chunks.empty()) {
        Phase = TPhase::Assemble;
        return TDeltaStep::Working;
    }
    return AskFor(chunks, TPhase::AwaitChunks);
}

// The new file, group after group, a slice at a time; every chunk checked
// as it is read, the whole against the list.
TDeltaStep TDeltaInstall::TState::Assemble() {
    try {
        if (!Output) {
            Output = std::make_unique<TTempFile>(Target);
            Out.fd = OpenForWriting(Output->Path());
            if (Out.fd < 0) return FallBack("Cannot write file \"" + ShownPath(Output->Path()) + "\". " + strerror(errno));
            Hash = std::make_unique<TSha256>();
        }
    } catch (const EInOutError& e) {
        return FallBack(e.Message);
    }
    auto emit = [this](const char* p, size_t n) {
        Hash->Update(p, n);
        if (!WriteAllAt(Out.fd, p, n, Written)) return false;
        Written += static_cast<int64_t>(n);
        return true;
    };
    const AnsiString cannotWrite = "Cannot write file \"" + ShownPath(Output->Path()) + "\". ";
    const AnsiString changed = "an installed file changed while it was read";
    AnsiString bytes, raw;
    for (int64_t done = 0; done < kSliceBytes && NextGroup < Index.Groups.size(); ++NextGroup) {
        const TGroupRef& group = Index.Groups[NextGroup];
        if (const std::optional<TLocalSpan>& local = GroupLocal[NextGroup]) {
            // Found by the digest of its chunks: cut again as it is read.
            bytes.resize(static_cast<size_t>(local->Length));
            if (!ReadAt(SourceFds[local->Source]->fd, &bytes[0], bytes.size(), local->Offset)) return FallBack(changed);
            TWhatDigest what;
            const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
            for (size_t at = 0; at < bytes.size();) {
                const size_t n = CutPoint(p + at, bytes.size() - at);
                what.Add(ChunkIdOf(p + at, n), static_cast<uint32_t>(n));
                at += n;
            }
            if (what.Digest() != group.What) return FallBack(changed);
            if (!emit(bytes.data(), bytes.size())) return FallBack(cannotWrite + strerror(errno));
            LocalBytes += local->Length;
            done += local->Length;
            continue;
        }
        for (const TChunkRecord& c : GroupRecords[NextGroup]) {
            auto local = LocalChunks.find(c.Id);
            if (local != LocalChunks.end()) {
                bytes.resize(c.Length);
                if (!ReadAt(SourceFds[local->second.Source]->fd, &bytes[0], c.Length, local->second.Offset) ||
                    ChunkIdOf(bytes.data(), c.Length) != c.Id)
                    return FallBack(changed);
                if (!emit(bytes.data(), c.Length)) return FallBack(cannotWrite + strerror(errno));
                LocalBytes += c.Length;
            } else {
                if (!BlobBytes(c.Id, raw)) return FallBack("a chunk was served wrong");
                if (!emit(raw.data(), raw.size())) return FallBack(cannotWrite + strerror(errno));
            }
            done += c.Length;
        }
    }
    if (NextGroup < Index.Groups.size()) return TDeltaStep::Working;
    if (close(Out.fd) != 0) {
        Out.fd = -1;
        return FallBack(cannotWrite + strerror(errno));
    }
    Out.fd = -1;
    if (Written != Index.FileSize || Hash->HexDigest() != Sha256)
        return FallBack("the assembled file is not the list's");
    SpoolWrite.Close();
    SpoolRead.Close();
    Spool.reset();
    SourceFds.clear();
    Phase = TPhase::Done;
    return TDeltaStep::Done;
}

void TDeltaInstall::PutInPlace(int mode) {
    if (F->Phase != TPhase::Done || !F->Output) throw EInOutError("The delta install is not complete");
    F->Output->PutInPlace(mode);
}
