#include "ServedFile.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "crypto/Sha256.h"
#include "platform/FileSystem.h"

namespace {

const size_t kBlock = 1 << 20;

struct TFd {
    int fd;
    ~TFd() {
        if (fd >= 0) close(fd);
    }
};

// Data that deflate cannot shrink (already compressed, encrypted, random)
// cost it most of its time for nothing: a fast try on the first 64 KiB
// tells. The file is read again from its start afterwards.
bool LooksIncompressible(int fd) {
    const size_t kSample = 64 << 10;
    std::unique_ptr<char[]> sample(new char[kSample]), packed(new char[kSample + 1024]);
    ssize_t n = pread(fd, sample.get(), kSample, 0);
    if (n < static_cast<ssize_t>(kSample)) return false;  // small files: not worth the question
    z_stream z{};
    if (deflateInit(&z, 1) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(sample.get());
    z.avail_in = static_cast<uInt>(n);
    z.next_out = reinterpret_cast<Bytef*>(packed.get());
    z.avail_out = static_cast<uInt>(kSample + 1024);
    deflate(&z, Z_FINISH);
    const bool incompressible = z.total_out * 100 >= static_cast<uLong>(n) * 98;
    deflateEnd(&z);
    return incompressible;
}

}  // namespace

AnsiString WriteServedFile(const AnsiString& source, const AnsiString& target, bool compress, int level) {
    TFd in{OpenRegularForReadingNative(source)};
    if (in.fd < 0) throw Exception("Cannot read " + source + ": " + strerror(errno));
    TFd out{open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (out.fd < 0) throw Exception("Cannot write " + target + ": " + strerror(errno));
    std::unique_ptr<char[]> input(new char[kBlock]), output(new char[kBlock]);
    TSha256 hash;
    auto emit = [&](const char* p, size_t n) {
        hash.Update(p, n);
        if (!WriteAllBytes(out.fd, p, n)) throw Exception("Cannot write " + target + ": " + strerror(errno));
    };
    z_stream z{};
    if (compress && LooksIncompressible(in.fd)) level = 0;  // stored blocks: as small, many times faster
    if (compress && deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Exception("Cannot compress " + source + " (out of memory)");
    std::unique_ptr<z_stream, int (*)(z_stream*)> ender(compress ? &z : nullptr, deflateEnd);
    for (bool last = false; !last;) {
        ssize_t n = read(in.fd, input.get(), kBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Exception("Cannot read " + source + ": " + strerror(errno));
        last = n == 0;
        if (!compress) {
            emit(input.get(), static_cast<size_t>(n));
            continue;
        }
        z.next_in = reinterpret_cast<Bytef*>(input.get());
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = reinterpret_cast<Bytef*>(output.get());
            z.avail_out = static_cast<uInt>(kBlock);
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            emit(output.get(), kBlock - z.avail_out);
        } while (z.avail_out == 0);
    }
    if (close(out.fd) != 0) {
        out.fd = -1;
        throw Exception("Cannot write " + target + ": " + strerror(errno));
    }
    out.fd = -1;
    return hash.HexDigest();
}
