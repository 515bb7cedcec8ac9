#include "DeltaChunker.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

const size_t kBlock = 1 << 20;

// 256 fixed pseudo-random words (splitmix64 from a fixed seed): every
// publisher and updater must cut the same bytes at the same places.
std::array<uint64_t, 256> MakeGear() {
    std::array<uint64_t, 256> gear{};
    uint64_t x = 0x736b696666646c74ull;
    for (uint64_t& g : gear) {
        uint64_t z = (x += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        g = z ^ (z >> 31);
    }
    return gear;
}
const std::array<uint64_t, 256> kGear = MakeGear();

int Log2(uint32_t v) {
    int bits = 0;
    while ((1u << (bits + 1)) <= v) ++bits;
    return bits;
}

// The hash shifts left, so its top bits depend on the last 64 bytes and its
// low bits on the last few only: the patterns test the top bits.
uint64_t TopBits(int bits) { return bits <= 0 ? 0 : ~uint64_t(0) << (64 - bits); }

}  // namespace

size_t CutPoint(const unsigned char* p, size_t n, const TChunkSizes& s) {
    if (n <= s.Min) return n;
    const int bits = Log2(s.Average);
    const uint64_t strict = TopBits(bits + 2), loose = TopBits(bits - 2);
    const size_t normal = std::min<size_t>(n, s.Average), end = std::min<size_t>(n, s.Max);
    // The hash covers 64 bytes: starting it 64 bytes before Min gives the
    // values it would have had from the chunk's start.
    size_t i = s.Min > 64 ? s.Min - 64 : 0;
    uint64_t h = 0;
    for (; i < s.Min; ++i) h = (h << 1) + kGear[p[i]];
    for (; i < normal; ++i) {
        h = (h << 1) + kGear[p[i]];
        if (!(h & strict)) return i + 1;
    }
    for (; i < end; ++i) {
        h = (h << 1) + kGear[p[i]];
        if (!(h & loose)) return i + 1;
    }
    return end;
}

TChunkReader::TChunkReader(int fd, const TChunkSizes& sizes)
    : FFd(fd), FSizes(sizes), FBuffer(new unsigned char[kBlock + sizes.Max]) {}

bool TChunkReader::Next(const unsigned char*& data, size_t& n, int64_t& offset) {
    if (FFailed) return false;
    if (FEnd - FStart < FSizes.Max && !FAtEnd) {
        // Keep the rest at the front and fill up behind it, one read.
        memmove(FBuffer.get(), FBuffer.get() + FStart, FEnd - FStart);
        FEnd -= FStart;
        FStart = 0;
        while (!FAtEnd && FEnd < FSizes.Max) {
            ssize_t got = read(FFd, FBuffer.get() + FEnd, kBlock + FSizes.Max - FEnd);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                FFailed = true;
                return false;
            }
            if (got == 0) FAtEnd = true;
            FEnd += static_cast<size_t>(got);
            if (FEnd - FStart >= FSizes.Max) break;
        }
    }
    if (FStart == FEnd) return false;
    n = CutPoint(FBuffer.get() + FStart, FEnd - FStart, FSizes);
    data = FBuffer.get() + FStart;
    offset = FOffset;
    FStart += n;
    FOffset += static_cast<int64_t>(n);
    return true;
}
