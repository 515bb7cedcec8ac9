// The delta form of a release: what lets an updater bring a changed file in
// by the chunks it lacks instead of the whole file. It lies beside the full
// files, which stay for every updater that cannot or will not use it.
//
// A list's header names the delta manifest ("delta=NAME,SIZE,SHA256", in
// the manner of "removals="), so the list's signature covers it and an
// updater built to the original format never sees it. The manifest names,
// for each entry that has one, its index (served name, size, SHA-256), and
// every chunk file those indexes use.
//
// Chunk files hold blobs back to back: the chunks of files (see
// DeltaChunker.h) and the group records below, each zlib-compressed when
// that makes it smaller. A blob is identified by the first 16 bytes of the
// SHA-256 of its raw bytes and stored once: a later release refers to the
// blobs of an earlier one's chunk files while these are published. A chunk
// file is named after its bytes ("delta-chunks.<16 hex digits>"); the 8
// bytes those digits spell are its id, by which records refer to it.
//
// An index lists its file as groups of chunks, cut where a chunk's id hits
// a pattern (so the groups, like the chunks, resynchronize after a change):
// per group, the digest of its chunk ids and lengths ("what"), and where
// its record lies. A record lists the group's chunks: id, length, place.
// An updater cuts its installed file the same way, so every group whose
// "what" it finds locally costs it nothing, not even its record: a one-byte
// change costs the index, one record and a chunk or two.
//
// Every reader here is bounded: sizes are capped, every field checked,
// and a blob is used only once its bytes hash to its id.
#pragma once
#include <array>
#include <map>
#include <vector>

#include "RemovalsFile.h"
#include "platform/Classes.h"

constexpr char kDeltaKey[] = "delta";
constexpr char kDeltaManifestHeader[] = "skiff-delta";
constexpr char kDeltaChunkFileBase[] = "delta-chunks";
constexpr int64_t kMaxDeltaManifestBytes = 16 << 20;
constexpr int64_t kMaxDeltaIndexBytes = 32 << 20;
constexpr int kMaxChunkFilesPerIndex = 65536;
constexpr int kMaxGroupsPerIndex = 1 << 20;
constexpr uint32_t kGroupMinChunks = 8, kGroupAverageChunks = 32, kGroupMaxChunks = 128;
constexpr uint32_t kMaxRecordBytes = 64 << 10;
// Files smaller than this travel whole: a delta would save little.
constexpr int64_t kMinDeltaFileBytes = 256 << 10;

using TChunkId = std::array<unsigned char, 16>;
TChunkId ChunkIdOf(const void* data, size_t n);
AnsiString HexOf(const TChunkId& id);

// Where a blob lies: the chunk file's id, the offset there, the bytes
// stored, and whether they are zlib data.
struct TBlobPlace {
    uint64_t File = 0;
    int64_t Offset = 0;
    uint32_t Stored = 0;
    bool Compressed = false;
};
// The stored form of raw bytes: compressed (at zlib's `level`) only when that is smaller.
AnsiString StoredFormOf(const char* raw, size_t n, bool& compressed, int level = 6);
// The raw bytes of a stored blob, false unless they are `length` bytes that
// hash to `id`.
bool OpenBlob(const char* stored, size_t n, bool compressed, uint32_t length, const TChunkId& id, AnsiString& raw);

struct TChunkRecord {
    TChunkId Id{};
    uint32_t Length = 0;
    TBlobPlace Place;
};

// Groups end after a chunk whose id hits the pattern (at least
// kGroupMinChunks chunks), or at kGroupMaxChunks, or at the file's end.
bool EndsGroup(const TChunkId& id, uint32_t chunksSoFar);
// The digest of a group's chunk ids and lengths.
class TWhatDigest {
public:
    void Add(const TChunkId& id, uint32_t length);
    TChunkId Digest() const;
private:
    AnsiString FBytes;
};

struct TChunkFileRef {
    uint64_t Id = 0;
    AnsiString Name;
    int64_t Size = 0;
};
// The id a chunk file's name spells; false for a name no publisher writes.
bool ChunkFileIdOf(const AnsiString& name, uint64_t& id);

struct TGroupRef {
    TChunkId What{};
    TChunkId Record{};       // the id of its record blob
    uint32_t Chunks = 0;
    int64_t Bytes = 0;        // of the file
    uint32_t RecordLength = 0;
    TBlobPlace Place;         // of the record
};

struct TDeltaIndex {
    int64_t FileSize = 0;
    AnsiString Sha256;  // of the file, 64 hex digits
    std::vector<TChunkFileRef> Files;
    std::vector<TGroupRef> Groups;
    const TChunkFileRef* FileById(uint64_t id) const;
};

AnsiString EncodeGroupRecord(const std::vector<TChunkRecord>& chunks);
AnsiString EncodeDeltaIndex(const TDeltaIndex& index);
// False, with the reason, for anything but a well-formed index within the limits.
bool DecodeDeltaIndex(const AnsiString& bytes, TDeltaIndex& index, AnsiString& problem);
// A group's record, checked against the group (count, bytes, "what") and
// the index (every chunk file it names, every place within that file).
bool DecodeGroupRecord(const AnsiString& raw, const TGroupRef& group, const TDeltaIndex& index,
                       std::vector<TChunkRecord>& chunks, AnsiString& problem);

// The manifest: per entry (by its remote name) its index, and the chunk files.
using TDeltaManifestFile = TRemovalsFile;  // name, size, SHA-256
struct TDeltaManifest {
    std::map<AnsiString, TDeltaManifestFile> Indexes;  // entry's remote name -> index file
    std::vector<TChunkFileRef> ChunkFiles;
};
AnsiString EncodeDeltaManifest(const TDeltaManifest& manifest);
bool DecodeDeltaManifest(const AnsiString& text, TDeltaManifest& manifest, AnsiString& problem);
// The manifest a list's header names; false when it names none.
bool DeclaredDeltaManifest(const AnsiString& header, TDeltaManifestFile& file);
AnsiString DeltaHeaderField(const TDeltaManifestFile& file);
