#include "DeltaWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "Cores.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/DeltaChunker.h"
#include "release/RemoteName.h"

namespace {

struct TIdHash {
    size_t operator()(const TChunkId& id) const {
        size_t h;
        memcpy(&h, id.data(), sizeof h);
        return h;
    }
};

// A chunk file being written: blobs appended, hashed as they go, named
// after its bytes once complete. In a dry run only its size is kept.
class TBlobFile {
public:
    TBlobFile(const AnsiString& staging, bool dryRun) : FStaging(staging), FDry(dryRun) {
        if (dryRun) return;
        FFd = open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FFd < 0) throw Exception("Cannot write " + staging + ": " + strerror(errno));
    }
    ~TBlobFile() {
        if (FFd >= 0) close(FFd);
        if (!FDone && !FDry) unlink(FStaging.c_str());
    }
    int64_t Size() const { return FSize; }
    int64_t Append(const AnsiString& blob) {
        const int64_t at = FSize;
        FHash.Update(blob.data(), blob.size());
        FSize += static_cast<int64_t>(blob.size());
        // Written a mebibyte at a time: a blob is a few KiB.
        if (FFd >= 0) FBuffer += blob;
        if (FBuffer.size() >= (1 << 20)) Flush();
        return at;
    }
    // Puts the file in `out` under its name; false for an empty one, which is not published.
    bool Finish(const AnsiString& out) {
        Flush();
        if (FFd >= 0 && close(FFd) != 0) {
            FFd = -1;
            throw Exception("Cannot write " + FStaging + ": " + strerror(errno));
        }
        const bool wrote = FFd >= 0;
        FFd = -1;
        if (FSize == 0) return false;
        Ref.Name = ServedNameOf(kDeltaChunkFileBase, FHash.HexDigest(), "");
        ChunkFileIdOf(Ref.Name, Ref.Id);
        Ref.Size = FSize;
        if (wrote && rename(FStaging.c_str(), (out + "/" + Ref.Name).c_str()) != 0)
            throw Exception("Cannot write " + out + "/" + Ref.Name + ": " + strerror(errno));
        FDone = true;
        return true;
    }
    TChunkFileRef Ref;

private:
    void Flush() {
        if (FFd >= 0 && !WriteAllBytes(FFd, FBuffer.data(), FBuffer.size()))
            throw Exception("Cannot write " + FStaging + ": " + strerror(errno));
        FBuffer.clear();
    }
    AnsiString FStaging, FBuffer;
    int FFd = -1;
    int64_t FSize = 0;
    TSha256 FHash;
    bool FDry, FDone = false;
};

struct TFd {
    int fd = -1;
    TFd() = default;
    explicit TFd(int f) : fd(f) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd >= 0) close(fd);
    }
};

// New chunks go into files of at most this many bytes.
const int64_t kMaxChunkFileBytes = int64_t(1) << 30;
const int64_t kFastCompressionAbove = 64 << 20;

// Where a blob lies: in a published chunk file (Writer -1) or in one this
// release writes, whose id is known once it is complete.
struct TBlobAt {
    int Writer = -1;
    TBlobPlace Place;
};

AnsiString ReadBlobFrom(int fd, const TBlobPlace& place, const AnsiString& name) {
    AnsiString stored(place.Stored, '\0');
    if (pread(fd, &stored[0], stored.size(), place.Offset) != static_cast<ssize_t>(stored.size()))
        throw Exception("Cannot read " + name + ": cut short or unreadable");
    return stored;
}

// A published file goes on into the new folder: linked (neither copy is
// written again), copied across file systems.
void LinkInto(const AnsiString& from, const AnsiString& to, const AnsiString& name) {
    const AnsiString source = from + "/" + name, target = to + "/" + name;
    if (access(target.c_str(), F_OK) == 0 || link(source.c_str(), target.c_str()) == 0) return;
    std::error_code failed;
    if (!std::filesystem::copy_file(source, target, failed)) throw Exception("Cannot copy " + source);
}

}  // namespace

TDeltaHoldings ReadDeltaHoldings(const AnsiString& folder, const AnsiString& listText) {
    TDeltaHoldings held;
    TDeltaManifestFile named;
    if (!DeclaredDeltaManifest(listText.substr(0, listText.find_first_of("\r\n")), named)) return held;
    AnsiString problem;
    const AnsiString text = ReadWholeFile(SystemPathFromNative(folder + "/" + named.Name), kMaxDeltaManifestBytes);
    if (Sha256Of(text) != named.Sha256 || !DecodeDeltaManifest(text, held.Manifest, problem))
        throw Exception(folder + "/" + named.Name + " is not the delta manifest its list names " + problem);
    std::map<uint64_t, int> fds;
    struct TCloser {
        std::map<uint64_t, int>& fds;
        ~TCloser() {
            for (auto& f : fds) close(f.second);
        }
    } closer{fds};
    for (const TChunkFileRef& f : held.Manifest.ChunkFiles) {
        const int fd = OpenRegularForReadingNative(folder + "/" + f.Name);
        if (fd < 0) throw Exception("Cannot read " + folder + "/" + f.Name + ": " + strerror(errno));
        fds[f.Id] = fd;
    }
    for (const auto& [remote, file] : held.Manifest.Indexes) {
        const AnsiString path = folder + "/" + file.Name;
        const AnsiString bytes = ReadWholeFile(SystemPathFromNative(path), kMaxDeltaIndexBytes);
        TDeltaIndex& index = held.Indexes[remote];
        if (Sha256Of(bytes) != file.Sha256 || !DecodeDeltaIndex(bytes, index, problem))
            throw Exception(path + " is not the index its manifest names " + problem);
        std::vector<std::vector<TChunkRecord>>& records = held.Records[remote];
        for (const TGroupRef& g : index.Groups) {
            const TChunkFileRef* f = index.FileById(g.Place.File);
            if (!fds.count(f->Id)) throw Exception(path + " names a chunk file its manifest does not: " + f->Name);
            AnsiString raw;
            if (!OpenBlob(ReadBlobFrom(fds[f->Id], g.Place, f->Name).data(), g.Place.Stored, g.Place.Compressed,
                          g.RecordLength, g.Record, raw))
                throw Exception(folder + "/" + f->Name + " does not hold the record its index names");
            records.emplace_back();
            if (!DecodeGroupRecord(raw, g, index, records.back(), problem)) throw Exception(path + ": " + problem);
        }
    }
    return held;
}

struct TDeltaWriter::TState {
    AnsiString Previous;
    TDeltaHoldings Held;
    std::map<uint64_t, TChunkFileRef> Published;  // the previous release's chunk files
    std::unordered_map<TChunkId, TBlobAt, TIdHash> Chunks, Records;
    std::vector<std::unique_ptr<TBlobFile>> Writers;
    // After Write: the new form.
    std::map<AnsiString, TDeltaIndex> Indexes;
    std::map<AnsiString, int64_t> IndexBytes;
    std::map<AnsiString, std::vector<std::vector<TChunkRecord>>> GroupChunks;
    int64_t ManifestBytes = 0;
};

TDeltaWriter::TDeltaWriter(const AnsiString& previousFolder) : F(new TState) {
    F->Previous = previousFolder;
    if (previousFolder.empty()) return;
    const AnsiString list = ReadWholeFile(SystemPathFromNative(previousFolder + "/update3.dat"));
    F->Held = ReadDeltaHoldings(previousFolder, list);
    for (const TChunkFileRef& f : F->Held.Manifest.ChunkFiles) F->Published[f.Id] = f;
    for (const auto& [remote, index] : F->Held.Indexes) {
        const auto& records = F->Held.Records[remote];
        for (size_t g = 0; g < index.Groups.size(); ++g) {
            F->Records[index.Groups[g].Record] = {-1, index.Groups[g].Place};
            for (const TChunkRecord& c : records[g]) F->Chunks[c.Id] = {-1, c.Place};
        }
    }
}

TDeltaWriter::~TDeltaWriter() = default;

AnsiString TDeltaWriter::Write(const std::vector<TDeltaEntry>& entries, const AnsiString& out, bool dryRun,
                               TDeltaSummary& summary) {
    TState& s = *F;
    TDeltaManifest manifest;
    std::set<uint64_t> usedPublished;
    auto keepIndexOf = [&](const TDeltaIndex& index) {
        for (const TChunkFileRef& f : index.Files)
            if (s.Published.count(f.Id)) usedPublished.insert(f.Id);
    };
    // Unchanged entries keep their index; the rest are cut anew.
    std::vector<const TDeltaEntry*> fresh;
    for (const TDeltaEntry& e : entries) {
        if (e.Size < kMinDeltaFileBytes) continue;
        auto held = s.Held.Indexes.find(e.Remote);
        if (e.Unchanged && held != s.Held.Indexes.end() && held->second.Sha256 == e.Sha256) {
            const TDeltaManifestFile& file = s.Held.Manifest.Indexes.at(e.Remote);
            if (!dryRun) LinkInto(s.Previous, out, file.Name);
            manifest.Indexes[e.Remote] = file;
            keepIndexOf(held->second);
            s.Indexes[e.Remote] = held->second;
            s.GroupChunks[e.Remote] = s.Held.Records[e.Remote];
            s.IndexBytes[e.Remote] = file.Size;
            ++summary.Reused;
        } else {
            fresh.push_back(&e);
        }
    }
    // Cut and hashed in one read, a file per core.
    std::vector<std::vector<TChunkRecord>> cut(fresh.size());
    std::vector<std::vector<int64_t>> offsets(fresh.size());
    OnEveryCore(fresh.size(), [&](size_t k) {
        const TDeltaEntry& e = *fresh[k];
        TFd in(OpenRegularForReadingNative(e.Native));
        if (in.fd < 0) throw Exception("Cannot read " + e.Native + ": " + strerror(errno));
        TChunkReader reader(in.fd);
        TSha256 whole;
        const unsigned char* data;
        size_t n;
        int64_t offset;
        while (reader.Next(data, n, offset)) {
            whole.Update(data, n);
            TChunkRecord c;
            c.Id = ChunkIdOf(data, n);
            c.Length = static_cast<uint32_t>(n);
            cut[k].push_back(c);
            offsets[k].push_back(offset);
        }
        if (reader.Failed()) throw Exception("Cannot read " + e.Native + ": " + strerror(errno));
        if (whole.HexDigest() != e.Sha256) throw Exception(e.Native + " changed while it was published");
    });
    // The chunks no published file holds, each once, in the order of the
    // files and their bytes: the chunk files come out the same whatever the
    // threads did, and a change's new chunks lie side by side in them.
    struct TNewChunk {
        size_t Entry;
        int64_t Offset;
        uint32_t Length;
        TChunkId Id;
    };
    std::vector<TNewChunk> news;
    {
        std::unordered_map<TChunkId, bool, TIdHash> seen;
        for (size_t k = 0; k < fresh.size(); ++k)
            for (size_t i = 0; i < cut[k].size(); ++i)
                if (!s.Chunks.count(cut[k][i].Id) && seen.emplace(cut[k][i].Id, true).second)
                    news.push_back({k, offsets[k][i], cut[k][i].Length, cut[k][i].Id});
    }
    // Compressed on every core, a window of batches at a time (bounded
    // memory), appended in order.
    std::vector<std::unique_ptr<TFd>> sources;
    for (const TDeltaEntry* e : fresh) {
        sources.push_back(std::make_unique<TFd>());
        sources.back()->fd = OpenRegularForReadingNative(e->Native);
        if (sources.back()->fd < 0) throw Exception("Cannot read " + e->Native + ": " + strerror(errno));
    }
    // A release whose new chunks are many (a first one: the whole file) is
    // compressed fast: those chunks are fetched again only by players who
    // lack the file, while a release's few new ones (what players on the
    // release before fetch) get zlib's usual effort.
    int64_t newBytes = 0;
    for (const TNewChunk& c : news) newBytes += c.Length;
    const int level = newBytes > kFastCompressionAbove ? 1 : 6;
    const size_t kBatch = 256, kWindow = 32 * kBatch;
    auto writerFor = [&](int64_t adding) {
        if (s.Writers.empty() || s.Writers.back()->Size() + adding > kMaxChunkFileBytes)
            s.Writers.push_back(std::make_unique<TBlobFile>(
                out + "/.staging-delta-" + IntToStr(static_cast<int64_t>(s.Writers.size())), dryRun));
        return static_cast<int>(s.Writers.size() - 1);
    };
    for (size_t first = 0; first < news.size(); first += kWindow) {
        const size_t count = std::min(kWindow, news.size() - first);
        std::vector<AnsiString> stored(count);
        std::vector<char> compressed(count);
        OnEveryCore((count + kBatch - 1) / kBatch, [&](size_t b) {
            AnsiString raw;
            for (size_t i = b * kBatch; i < std::min(count, (b + 1) * kBatch); ++i) {
                const TNewChunk& c = news[first + i];
                raw.resize(c.Length);
                if (pread(sources[c.Entry]->fd, &raw[0], c.Length, c.Offset) != static_cast<ssize_t>(c.Length) ||
                    ChunkIdOf(raw.data(), raw.size()) != c.Id)
                    throw Exception(fresh[c.Entry]->Native + " changed while it was published");
                bool packed = false;
                stored[i] = StoredFormOf(raw.data(), raw.size(), packed, level);
                compressed[i] = packed;
            }
        });
        for (size_t i = 0; i < count; ++i) {
            const int w = writerFor(static_cast<int64_t>(stored[i].size()));
            TBlobAt at{w, {0, 0, static_cast<uint32_t>(stored[i].size()), compressed[i] != 0}};
            at.Place.Offset = s.Writers[w]->Append(stored[i]);
            s.Chunks[news[first + i].Id] = at;
        }
    }
    sources.clear();
    std::vector<TChunkFileRef> made(s.Writers.size());
    for (size_t k = 0; k < s.Writers.size(); ++k)
        if (s.Writers[k]->Finish(out)) made[k] = s.Writers[k]->Ref;
    auto resolve = [&](const TBlobAt& at) {
        TBlobPlace place = at.Place;
        if (at.Writer >= 0) place.File = made[at.Writer].Id;
        return place;
    };
    // The groups' records, stored once like the chunks, in one more file.
    const int recordsWriter = static_cast<int>(s.Writers.size());
    s.Writers.push_back(std::make_unique<TBlobFile>(out + "/.staging-delta-records", dryRun));
    std::vector<TDeltaIndex> indexes(fresh.size());
    for (size_t k = 0; k < fresh.size(); ++k) {
        const TDeltaEntry& e = *fresh[k];
        TDeltaIndex& index = indexes[k];
        index.FileSize = e.Size;
        index.Sha256 = e.Sha256;
        auto& groups = s.GroupChunks[e.Remote];
        groups.clear();
        std::vector<TChunkRecord> group;
        TWhatDigest what;
        int64_t bytes = 0;
        for (size_t i = 0; i < cut[k].size(); ++i) {
            TChunkRecord c = cut[k][i];
            c.Place = resolve(s.Chunks.at(c.Id));
            group.push_back(c);
            what.Add(c.Id, c.Length);
            bytes += c.Length;
            if (!EndsGroup(c.Id, static_cast<uint32_t>(group.size())) && i + 1 != cut[k].size()) continue;
            TGroupRef g;
            g.What = what.Digest();
            g.Chunks = static_cast<uint32_t>(group.size());
            g.Bytes = bytes;
            const AnsiString raw = EncodeGroupRecord(group);
            g.Record = ChunkIdOf(raw.data(), raw.size());
            g.RecordLength = static_cast<uint32_t>(raw.size());
            auto known = s.Records.find(g.Record);
            if (known == s.Records.end()) {
                bool compressed = false;
                const AnsiString stored = StoredFormOf(raw.data(), raw.size(), compressed);
                TBlobAt at{recordsWriter, {0, 0, static_cast<uint32_t>(stored.size()), compressed}};
                at.Place.Offset = s.Writers[recordsWriter]->Append(stored);
                known = s.Records.emplace(g.Record, at).first;
            }
            index.Groups.push_back(g);  // its place is known once the records' file is complete
            groups.push_back(group);
            group.clear();
            what = TWhatDigest();
            bytes = 0;
        }
    }
    made.resize(s.Writers.size());
    if (s.Writers[recordsWriter]->Finish(out)) made[recordsWriter] = s.Writers[recordsWriter]->Ref;
    for (const TChunkFileRef& f : made)
        if (f.Id) summary.NewChunkFileBytes += f.Size;
    // Each index names the chunk files its chunks and records lie in.
    std::map<uint64_t, TChunkFileRef> allFiles = s.Published;
    for (const TChunkFileRef& f : made)
        if (f.Id) allFiles[f.Id] = f;
    for (size_t k = 0; k < fresh.size(); ++k) {
        const TDeltaEntry& e = *fresh[k];
        TDeltaIndex& index = indexes[k];
        std::set<uint64_t> used;
        for (TGroupRef& g : index.Groups) {
            const TBlobAt& at = s.Records.at(g.Record);
            g.Place = resolve(at);
            used.insert(g.Place.File);
        }
        for (const auto& group : s.GroupChunks[e.Remote])
            for (const TChunkRecord& c : group) used.insert(c.Place.File);
        for (uint64_t id : used) index.Files.push_back(allFiles.at(id));
        keepIndexOf(index);
        const AnsiString bytes = EncodeDeltaIndex(index);
        const AnsiString sha = Sha256Of(bytes);
        const TDeltaManifestFile file{ServedNameOf("delta-index", sha, ""), static_cast<int64_t>(bytes.size()), sha};
        if (!dryRun) WriteWholeFile(SystemPathFromNative(out + "/" + file.Name), bytes);
        manifest.Indexes[e.Remote] = file;
        s.Indexes[e.Remote] = index;
        s.IndexBytes[e.Remote] = file.Size;
        summary.IndexBytes += file.Size;
        ++summary.Indexed;
    }
    if (manifest.Indexes.empty()) return "";
    // The earlier chunk files still in use go on with this release.
    for (uint64_t id : usedPublished) {
        manifest.ChunkFiles.push_back(s.Published[id]);
        if (!dryRun) LinkInto(s.Previous, out, s.Published[id].Name);
    }
    for (const TChunkFileRef& f : made)
        if (f.Id) manifest.ChunkFiles.push_back(f);
    const AnsiString text = EncodeDeltaManifest(manifest);
    const AnsiString sha = Sha256Of(text);
    const TDeltaManifestFile file{ServedNameOf("delta-manifest", sha, ""), static_cast<int64_t>(text.size()), sha};
    if (!dryRun) WriteWholeFile(SystemPathFromNative(out + "/" + file.Name), text);
    s.ManifestBytes = file.Size;
    return " " + DeltaHeaderField(file);
}

int64_t TDeltaWriter::FetchEstimate(const TDeltaHoldings& held, const std::vector<TEstimateEntry>& entries) const {
    const TState& s = *F;
    int64_t total = 0;
    bool manifest = false;
    for (const TEstimateEntry& e : entries) {
        if (!e.HeldRemote.empty() && e.HeldRemote == e.Remote) continue;
        auto mine = s.Indexes.find(e.Remote);
        auto theirs = held.Indexes.find(e.HeldRemote);
        if (mine == s.Indexes.end() || theirs == held.Indexes.end()) {
            total += e.FullSize;
            continue;
        }
        manifest = true;
        std::set<TChunkId> whats, ids;
        for (const TGroupRef& g : theirs->second.Groups) whats.insert(g.What);
        for (const auto& group : held.Records.at(e.HeldRemote))
            for (const TChunkRecord& c : group) ids.insert(c.Id);
        int64_t cost = s.IndexBytes.at(e.Remote);
        const auto& groups = s.GroupChunks.at(e.Remote);
        for (size_t g = 0; g < mine->second.Groups.size(); ++g) {
            if (whats.count(mine->second.Groups[g].What)) continue;
            cost += mine->second.Groups[g].Place.Stored;
            for (const TChunkRecord& c : groups[g])
                if (ids.insert(c.Id).second) cost += c.Place.Stored;
        }
        total += std::min(cost, e.FullSize);
    }
    return total + (manifest ? s.ManifestBytes : 0);
}
