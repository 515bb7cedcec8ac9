// libFuzzer target: the delta form's readers, on bytes as a mirror may
// serve them. The first byte picks the reader (an index, then a group
// record of the first group of a fixed index; a manifest; a blob), the rest
// is its input. Nothing may crash, read out of bounds or allocate beyond
// the limits, and whatever an index reader accepts must encode back to the
// same bytes (so no two readings of one index can differ).
#include <cstdint>
#include <cstdlib>

#include "release/DeltaFormat.h"

namespace {

// A well-formed index of one chunk file and one group, for the records.
const TDeltaIndex& FixedIndex() {
    static const TDeltaIndex index = [] {
        TDeltaIndex i;
        i.FileSize = 20000;
        i.Sha256 = AnsiString(64, 'a');
        TChunkFileRef f;
        f.Name = "delta-chunks.0123456789abcdef";
        ChunkFileIdOf(f.Name, f.Id);
        f.Size = 1 << 20;
        i.Files.push_back(f);
        TGroupRef g;
        g.Chunks = 3;
        g.Bytes = 20000;
        g.RecordLength = 100;
        g.Place = {f.Id, 0, 100, false};
        i.Groups.push_back(g);
        return i;
    }();
    return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const AnsiString bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    AnsiString problem;
    switch (data[0] % 4) {
        case 0: {
            TDeltaIndex index;
            if (DecodeDeltaIndex(bytes, index, problem) && EncodeDeltaIndex(index) != bytes) abort();
            break;
        }
        case 1: {
            std::vector<TChunkRecord> chunks;
            TGroupRef group = FixedIndex().Groups[0];
            TWhatDigest what;
            // Whatever the group's "what", the reader must stay in bounds.
            group.What = what.Digest();
            DecodeGroupRecord(bytes, group, FixedIndex(), chunks, problem);
            if (chunks.size() > group.Chunks) abort();
            break;
        }
        case 2: {
            TDeltaManifest manifest;
            DecodeDeltaManifest(bytes, manifest, problem);
            TDeltaManifestFile file;
            DeclaredDeltaManifest(bytes, file);
            break;
        }
        case 3: {
            AnsiString raw;
            const uint32_t length = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) * 97u;
            OpenBlob(bytes.data(), bytes.size(), true, length, TChunkId{}, raw);
            break;
        }
    }
    return 0;
}
