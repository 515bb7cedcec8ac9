// libFuzzer target: the gzip stream on any bytes a mirror may send, fed as
// a download arrives, in blocks of random sizes. It must end (whole, damaged
// or cut short) without crashing or running away, and read the bytes the
// same however they are split.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <random>

#include "gzip/GunzipStream.h"

namespace {

struct TRead {
    bool whole = false;
    uLong crc = crc32(0, nullptr, 0);
    size_t size = 0;
    AnsiString problem;
};

TRead* gRead = nullptr;

bool Take(const char* p, size_t n) {
    gRead->crc = crc32(gRead->crc, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n));
    gRead->size += n;
    return gRead->size <= (size_t(64) << 20);  // a bomb: far past anything the inputs can be
}

// Made once and Reset for each input, as a download that starts again is:
// a mebibyte of output buffer per input would be most of the fuzzer's time.
TGunzipStream& Stream(bool skipChecks) {
    static TGunzipStream streams[2] = {TGunzipStream(Take), TGunzipStream(Take)};
    static const bool once = (streams[1].SkipChecks(), true);
    (void)once;
    streams[skipChecks].Reset();
    return streams[skipChecks];
}

// `seed` 0 feeds the bytes in one block.
TRead ReadInBlocks(const uint8_t* data, size_t size, uint32_t seed, bool skipChecks) {
    TRead r;
    gRead = &r;
    TGunzipStream& stream = Stream(skipChecks);
    std::minstd_rand split(seed);
    for (size_t at = 0; at < size;) {
        const size_t k = seed == 0 ? size - at : std::min<size_t>(size - at, 1 + split() % 4096);
        stream.Feed(reinterpret_cast<const char*>(data) + at, k);
        at += k;
    }
    r.whole = stream.Finish();
    r.problem = stream.Problem();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The splits come from the bytes themselves, so the seed corpus stays
    // plain gzip files and every input replays the same way.
    const uint32_t seed = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size))) | 1;
    const bool skipChecks = (seed >> 1) & 1;
    const TRead whole = ReadInBlocks(data, size, 0, skipChecks);
    const TRead split = ReadInBlocks(data, size, seed, skipChecks);
    if (whole.whole != split.whole || whole.crc != split.crc || whole.size != split.size ||
        whole.problem != split.problem)
        abort();
    return 0;
}
