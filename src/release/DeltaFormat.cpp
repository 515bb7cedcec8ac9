#include "DeltaFormat.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <set>

#include "DeltaChunker.h"
#include "LineFields.h"
#include "RemoteName.h"
#include "UpdateEntry.h"
#include "crypto/Sha256.h"
#include "platform/StringList.h"

namespace {

const char kIndexMagic[] = "SKDI\x01";
const size_t kIndexMagicBytes = 5;
const unsigned kNewFile = 2, kCompressed = 1;

void PutVarint(AnsiString& out, uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>(0x80 | (v & 0x7F));
        v >>= 7;
    }
    out += static_cast<char>(v);
}

void PutBytes(AnsiString& out, const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }

void PutLe64(AnsiString& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i));
}

// Reads what the writers above wrote, never past the end; the first
// failure sticks and is told in words.
struct TCursor {
    const unsigned char* p;
    size_t left;
    AnsiString problem;
    bool Fail(const AnsiString& why) {
        if (problem.empty()) problem = why;
        return false;
    }
    bool Varint(uint64_t& v, uint64_t max, const char* what) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (left == 0) return Fail(AnsiString("cut short in ") + what);
            const unsigned char b = *p++;
            --left;
            // One spelling per number: no trailing zero groups, no bits past 64.
            if ((b == 0 && shift > 0) || (shift == 63 && b > 1)) return Fail(AnsiString("a number misspelt in ") + what);
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v <= max || Fail(AnsiString(what) + " out of range");
            if (shift == 63) break;
        }
        return Fail(AnsiString("a number too long in ") + what);
    }
    bool Bytes(void* out, size_t n, const char* what) {
        if (left < n) return Fail(AnsiString("cut short in ") + what);
        memcpy(out, p, n);
        p += n;
        left -= n;
        return true;
    }
    bool Le64(uint64_t& v, const char* what) {
        unsigned char b[8];
        if (!Bytes(b, 8, what)) return false;
        v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
        return true;
    }
};

AnsiString HexBytes(const unsigned char* p, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    AnsiString hex;
    for (size_t i = 0; i < n; ++i) {
        hex += kHex[p[i] >> 4];
        hex += kHex[p[i] & 15];
    }
    return hex;
}

bool HexToBytes(const AnsiString& hex, unsigned char* out) {
    for (size_t i = 0; i < hex.size() / 2; ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = hex[2 * i + k];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else return false;
        }
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

// A stored blob is never larger than its raw bytes (it is stored raw then),
// and zlib's header and check add little to a compressed one.
bool PlaceFits(const TBlobPlace& place, uint32_t length, const TChunkFileRef* file) {
    if (!file || place.Stored == 0 || place.Stored > length) return false;
    if (!place.Compressed && place.Stored != length) return false;
    return place.Offset >= 0 && place.Offset <= file->Size && place.Stored <= file->Size - place.Offset;
}

}  // namespace

TChunkId ChunkIdOf(const void* data, size_t n) {
    unsigned char digest[32];
    Sha256Raw(data, n, digest);
    TChunkId id;
    memcpy(id.data(), digest, id.size());
    return id;
}

AnsiString HexOf(const TChunkId& id) { return HexBytes(id.data(), id.size()); }

namespace {

// One deflate state per thread and level, reset between chunks: setting one
// up costs more than compressing a chunk of a few KiB at level 1.
class TDeflater {
public:
    explicit TDeflater(int level) : FReady(deflateInit(&FStream, level) == Z_OK) {}
    ~TDeflater() {
        if (FReady) deflateEnd(&FStream);
    }
    // False when zlib cannot (out of memory) or `out` cannot hold the result.
    bool Compress(const char* raw, size_t n, AnsiString& out) {
        if (!FReady || deflateReset(&FStream) != Z_OK) return false;
        FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw));
        FStream.avail_in = static_cast<uInt>(n);
        FStream.next_out = reinterpret_cast<Bytef*>(&out[0]);
        FStream.avail_out = static_cast<uInt>(out.size());
        if (deflate(&FStream, Z_FINISH) != Z_STREAM_END) return false;
        out.resize(out.size() - FStream.avail_out);
        return true;
    }

private:
    z_stream FStream{};
    bool FReady;
};

}  // namespace

AnsiString StoredFormOf(const char* raw, size_t n, bool& compressed, int level) {
    thread_local std::map<int, std::unique_ptr<TDeflater>> deflaters;
    std::unique_ptr<TDeflater>& deflater = deflaters[level];
    if (!deflater) deflater = std::make_unique<TDeflater>(level);
    AnsiString out(compressBound(static_cast<uLong>(n)), '\0');
    compressed = deflater->Compress(raw, n, out) && out.size() < n;
    return compressed ? out : AnsiString(raw, n);
}

bool OpenBlob(const char* stored, size_t n, bool compressed, uint32_t length, const TChunkId& id, AnsiString& raw) {
    if (!compressed) {
        if (n != length) return false;
        raw.assign(stored, n);
    } else {
        raw.assign(length, '\0');
        uLongf size = length;
        uLong used = static_cast<uLong>(n);
        if (length == 0 || uncompress2(reinterpret_cast<Bytef*>(&raw[0]), &size, reinterpret_cast<const Bytef*>(stored),
                                       &used) != Z_OK ||
            size != length || used != n)
            return false;
    }
    return ChunkIdOf(raw.data(), raw.size()) == id;
}

bool EndsGroup(const TChunkId& id, uint32_t chunksSoFar) {
    if (chunksSoFar >= kGroupMaxChunks) return true;
    const uint32_t word = static_cast<uint32_t>(id[0]) | id[1] << 8 | id[2] << 16 | static_cast<uint32_t>(id[3]) << 24;
    return chunksSoFar >= kGroupMinChunks && word % kGroupAverageChunks == 0;
}

void TWhatDigest::Add(const TChunkId& id, uint32_t length) {
    FBytes.append(reinterpret_cast<const char*>(id.data()), id.size());
    for (int i = 0; i < 4; ++i) FBytes += static_cast<char>(length >> (8 * i));
}

TChunkId TWhatDigest::Digest() const { return ChunkIdOf(FBytes.data(), FBytes.size()); }

bool ChunkFileIdOf(const AnsiString& name, uint64_t& id) {
    const AnsiString prefix = AnsiString(kDeltaChunkFileBase) + ".";
    if (name.size() != prefix.size() + 16 || name.compare(0, prefix.size(), prefix) != 0) return false;
    unsigned char b[8];
    if (!HexToBytes(name.substr(prefix.size()), b)) return false;
    id = 0;
    for (unsigned char c : b) id = id << 8 | c;
    return true;
}

const TChunkFileRef* TDeltaIndex::FileById(uint64_t id) const {
    for (const TChunkFileRef& f : Files)
        if (f.Id == id) return &f;
    return nullptr;
}

AnsiString EncodeGroupRecord(const std::vector<TChunkRecord>& chunks) {
    AnsiString out;
    uint64_t file = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const TChunkRecord& c = chunks[i];
        PutBytes(out, c.Id.data(), c.Id.size());
        PutVarint(out, c.Length);
        const bool newFile = i == 0 || c.Place.File != file;
        out += static_cast<char>((c.Place.Compressed ? kCompressed : 0) | (newFile ? kNewFile : 0));
        if (newFile) PutLe64(out, file = c.Place.File);
        PutVarint(out, static_cast<uint64_t>(c.Place.Offset));
        if (c.Place.Compressed) PutVarint(out, c.Place.Stored);
    }
    return out;
}

bool DecodeGroupRecord(const AnsiString& raw, const TGroupRef& group, const TDeltaIndex& index,
                       std::vector<TChunkRecord>& chunks, AnsiString& problem) {
    TCursor in{reinterpret_cast<const unsigned char*>(raw.data()), raw.size(), ""};
    chunks.clear();
    TWhatDigest what;
    int64_t bytes = 0;
    const TChunkFileRef* file = nullptr;
    for (uint32_t i = 0; i < group.Chunks && in.problem.empty(); ++i) {
        TChunkRecord c;
        uint64_t v = 0;
        unsigned char flags = 0;
        if (!in.Bytes(c.Id.data(), c.Id.size(), "a chunk id") || !in.Varint(v, kMaxChunkBytes, "a chunk length"))
            break;
        c.Length = static_cast<uint32_t>(v);
        if (c.Length == 0) {
            in.Fail("an empty chunk");
            break;
        }
        if (!in.Bytes(&flags, 1, "a chunk's flags")) break;
        if ((flags & ~(kCompressed | kNewFile)) || (i == 0 && !(flags & kNewFile))) {
            in.Fail("a chunk's flags unknown");
            break;
        }
        if (flags & kNewFile) {
            uint64_t id = 0;
            if (!in.Le64(id, "a chunk file id")) break;
            if (!(file = index.FileById(id))) {
                in.Fail("a chunk file the index does not name");
                break;
            }
        }
        c.Place.File = file->Id;
        c.Place.Compressed = flags & kCompressed;
        if (!in.Varint(v, static_cast<uint64_t>(file->Size), "a chunk's offset")) break;
        c.Place.Offset = static_cast<int64_t>(v);
        c.Place.Stored = c.Length;
        if (c.Place.Compressed) {
            if (!in.Varint(v, c.Length, "a chunk's stored length")) break;
            c.Place.Stored = static_cast<uint32_t>(v);
        }
        if (!PlaceFits(c.Place, c.Length, file)) {
            in.Fail("a chunk outside its chunk file");
            break;
        }
        what.Add(c.Id, c.Length);
        bytes += c.Length;
        chunks.push_back(c);
    }
    if (in.problem.empty() && in.left != 0) in.Fail("bytes after the last chunk");
    if (in.problem.empty() && (bytes != group.Bytes || what.Digest() != group.What))
        in.Fail("a group record that is not the group's");
    problem = in.problem.empty() ? AnsiString() : "group record: " + in.problem;
    return in.problem.empty();
}

AnsiString EncodeDeltaIndex(const TDeltaIndex& index) {
    AnsiString out(kIndexMagic, kIndexMagicBytes);
    PutVarint(out, static_cast<uint64_t>(index.FileSize));
    unsigned char sha[32] = {};
    HexToBytes(index.Sha256, sha);
    PutBytes(out, sha, 32);
    PutVarint(out, index.Files.size());
    for (const TChunkFileRef& f : index.Files) {
        PutLe64(out, f.Id);
        PutVarint(out, static_cast<uint64_t>(f.Size));
        PutVarint(out, f.Name.size());
        out += f.Name;
    }
    PutVarint(out, index.Groups.size());
    std::map<uint64_t, size_t> fileNumber;
    for (size_t i = 0; i < index.Files.size(); ++i) fileNumber[index.Files[i].Id] = i;
    for (const TGroupRef& g : index.Groups) {
        PutBytes(out, g.What.data(), g.What.size());
        PutBytes(out, g.Record.data(), g.Record.size());
        PutVarint(out, g.Chunks);
        PutVarint(out, static_cast<uint64_t>(g.Bytes));
        PutVarint(out, g.RecordLength);
        PutVarint(out, fileNumber[g.Place.File]);
        PutVarint(out, static_cast<uint64_t>(g.Place.Offset));
        PutVarint(out, g.Place.Stored);
        out += static_cast<char>(g.Place.Compressed ? kCompressed : 0);
    }
    return out;
}

bool DecodeDeltaIndex(const AnsiString& bytes, TDeltaIndex& index, AnsiString& problem) {
    index = TDeltaIndex();
    TCursor in{reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), ""};
    auto done = [&](bool ok) {
        problem = ok ? AnsiString() : "delta index: " + in.problem;
        return ok;
    };
    if (bytes.size() > static_cast<size_t>(kMaxDeltaIndexBytes)) return done(in.Fail("larger than any index"));
    char magic[kIndexMagicBytes];
    if (!in.Bytes(magic, sizeof magic, "the header") || memcmp(magic, kIndexMagic, sizeof magic) != 0)
        return done(in.Fail("not an index of this format"));
    uint64_t v = 0, count = 0;
    const uint64_t kMaxFile = uint64_t(1) << 46;  // 64 TiB
    if (!in.Varint(v, kMaxFile, "the file size")) return done(false);
    index.FileSize = static_cast<int64_t>(v);
    unsigned char sha[32];
    if (!in.Bytes(sha, 32, "the file's SHA-256")) return done(false);
    index.Sha256 = HexBytes(sha, 32);
    if (!in.Varint(count, kMaxChunkFilesPerIndex, "the chunk file count")) return done(false);
    std::set<uint64_t> ids;
    for (uint64_t i = 0; i < count; ++i) {
        TChunkFileRef f;
        uint64_t size = 0, length = 0, id = 0;
        if (!in.Le64(f.Id, "a chunk file id") || !in.Varint(size, kMaxFile, "a chunk file size") ||
            !in.Varint(length, 255, "a chunk file name"))
            return done(false);
        f.Size = static_cast<int64_t>(size);
        f.Name.resize(length);
        if (!in.Bytes(&f.Name[0], length, "a chunk file name")) return done(false);
        if (!ChunkFileIdOf(f.Name, id) || id != f.Id || !ids.insert(id).second)
            return done(in.Fail("a chunk file name no publisher writes"));
        index.Files.push_back(f);
    }
    if (!in.Varint(count, kMaxGroupsPerIndex, "the group count")) return done(false);
    // Every group costs at least 40 bytes of the index: a count that the
    // bytes cannot hold is refused before anything is reserved for it.
    if (count > in.left / 40) return done(in.Fail("more groups than bytes"));
    index.Groups.reserve(count);
    int64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        TGroupRef g;
        uint64_t chunks = 0, groupBytes = 0, recordLength = 0, file = 0, offset = 0, stored = 0;
        unsigned char flags = 0;
        if (!in.Bytes(g.What.data(), g.What.size(), "a group") || !in.Bytes(g.Record.data(), g.Record.size(), "a group") ||
            !in.Varint(chunks, kGroupMaxChunks, "a group's chunk count") ||
            !in.Varint(groupBytes, uint64_t(kGroupMaxChunks) * kMaxChunkBytes, "a group's size") ||
            !in.Varint(recordLength, kMaxRecordBytes, "a group's record length") ||
            !in.Varint(file, index.Files.empty() ? 0 : index.Files.size() - 1, "a group's chunk file") ||
            !in.Varint(offset, kMaxFile, "a group's offset") || !in.Varint(stored, kMaxRecordBytes, "a group's record") ||
            !in.Bytes(&flags, 1, "a group's flags"))
            return done(false);
        // No chunk but a file's last is shorter than the cut's minimum: the
        // chunks a reader may hold stay in proportion to the file.
        if (index.Files.empty() || chunks == 0 || groupBytes < (chunks - 1) * TChunkSizes().Min + 1 ||
            flags > kCompressed)
            return done(in.Fail("a group that cannot be"));
        g.Chunks = static_cast<uint32_t>(chunks);
        g.Bytes = static_cast<int64_t>(groupBytes);
        g.RecordLength = static_cast<uint32_t>(recordLength);
        g.Place = {index.Files[file].Id, static_cast<int64_t>(offset), static_cast<uint32_t>(stored), flags == kCompressed};
        if (!PlaceFits(g.Place, g.RecordLength, &index.Files[file]))
            return done(in.Fail("a group record outside its chunk file"));
        total += g.Bytes;
        index.Groups.push_back(g);
    }
    if (in.left != 0) return done(in.Fail("bytes after the last group"));
    if (total != index.FileSize) return done(in.Fail("groups that do not add up to the file"));
    return done(true);
}

AnsiString EncodeDeltaManifest(const TDeltaManifest& manifest) {
    TStringList lines;
    lines.Add(kDeltaManifestHeader);
    for (const auto& [remote, file] : manifest.Indexes)
        lines.Add("I " + remote + " " + file.Name + " " + IntToStr(file.Size) + " " + file.Sha256);
    for (const TChunkFileRef& f : manifest.ChunkFiles) lines.Add("F " + f.Name + " " + IntToStr(f.Size));
    return lines.Text();
}

bool DecodeDeltaManifest(const AnsiString& text, TDeltaManifest& manifest, AnsiString& problem) {
    manifest = TDeltaManifest();
    problem.clear();
    if (text.size() > static_cast<size_t>(kMaxDeltaManifestBytes)) problem = "larger than any manifest";
    TStringList lines;
    if (problem.empty()) lines.SetText(text);
    if (problem.empty() && (lines.Count() == 0 || GetField(1, lines[0]) != kDeltaManifestHeader))
        problem = "not a delta manifest";
    for (int i = 1; problem.empty() && i < lines.Count(); ++i) {
        const std::vector<AnsiString> f = SplitFields(lines[i]);
        try {
            if (f.size() == 5 && f[0] == "I" && IsSafeRemoteName(f[1]) && IsSafeRemoteName(f[2]) &&
                IsSha256Text(f[4]) && StrToInt64(f[3]) > 0 && StrToInt64(f[3]) <= kMaxDeltaIndexBytes) {
                manifest.Indexes[f[1]] = {f[2], StrToInt64(f[3]), LowerCase(f[4])};
                continue;
            }
            TChunkFileRef ref;
            if (f.size() == 3 && f[0] == "F" && ChunkFileIdOf(f[1], ref.Id) && StrToInt64(f[2]) >= 0) {
                ref.Name = f[1];
                ref.Size = StrToInt64(f[2]);
                manifest.ChunkFiles.push_back(ref);
                continue;
            }
        } catch (const EConvertError&) {
        }
        problem = "line " + IntToStr(i + 1) + " is not a manifest line";
    }
    if (!problem.empty()) problem = "delta manifest: " + problem;
    return problem.empty();
}

bool DeclaredDeltaManifest(const AnsiString& header, TDeltaManifestFile& file) {
    return DeclaredSideFile(header, kDeltaKey, file);
}

AnsiString DeltaHeaderField(const TDeltaManifestFile& file) { return SideFileHeaderField(kDeltaKey, file); }
