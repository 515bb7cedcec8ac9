// Content-defined chunking for the delta form of a release: a file is cut
// where a rolling (gear) hash of its last 64 bytes hits a pattern, so a cut
// depends on the bytes around it only and an insertion or an overwrite
// moves the cuts near it alone. The publisher and the updater cut alike,
// so the chunks of an installed file are found again in a new release.
//
// Cuts are normalized (a stricter pattern before the average size, a looser
// one after), which keeps sizes close to the average; no chunk is shorter
// than Min (but the file's last) or longer than Max.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

struct TChunkSizes {
    uint32_t Min = 1 << 10, Average = 4 << 10, Max = 32 << 10;
};
constexpr uint32_t kMaxChunkBytes = 64 << 10;  // what any index may declare

// The length of the chunk that starts at p, of the n bytes there; `n` must
// hold Max bytes unless the file ends within them.
size_t CutPoint(const unsigned char* p, size_t n, const TChunkSizes& sizes = {});

// Cuts a file as it is read, a block at a time: each Next does at most one
// read of a mebibyte, so a caller on the event loop returns to it between.
class TChunkReader {
public:
    // `fd` stays the caller's; reading starts where it stands.
    explicit TChunkReader(int fd, const TChunkSizes& sizes = {});
    // The next chunk: its bytes (valid until the next call) and its offset
    // in the file. False at the end of the file, or when it cannot be read
    // (Failed() tells).
    bool Next(const unsigned char*& data, size_t& n, int64_t& offset);
    bool Failed() const { return FFailed; }

private:
    int FFd;
    TChunkSizes FSizes;
    std::unique_ptr<unsigned char[]> FBuffer;
    size_t FStart = 0, FEnd = 0;
    int64_t FOffset = 0;  // of FBuffer[FStart] in the file
    bool FAtEnd = false, FFailed = false;
};
