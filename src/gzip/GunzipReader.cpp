#include "GunzipReader.h"

#include "platform/FileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kInputSize = 1 << 16;
}

TGunzipReader::TGunzipReader(int fd) : FFd(fd), FIn(new unsigned char[kInputSize]) {
    FStream.next_in = FIn.get();
    if (inflateInit2(&FStream, 15 + 16) != Z_OK) Fail("cannot be read (out of memory)");
}

TGunzipReader::~TGunzipReader() { inflateEnd(&FStream); }

ssize_t TGunzipReader::Fail(const AnsiString& problem) {
    FState = TState::Failed;
    FProblem = problem;
    return -1;
}

// Tops the input up to at least `want` bytes (fewer at the end of the file).
bool TGunzipReader::Fill(size_t want) {
    if (FStream.avail_in >= want || FEof) return true;
    memmove(FIn.get(), FStream.next_in, FStream.avail_in);
    FStream.next_in = FIn.get();
    while (FStream.avail_in < want && !FEof) {
        ssize_t n = read(FFd, FIn.get() + FStream.avail_in, kInputSize - FStream.avail_in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) FEof = true;
        FStream.avail_in += static_cast<uInt>(n);
    }
    return true;
}

bool TGunzipReader::AtGzipMagic() const {
    return FStream.avail_in >= 2 && FStream.next_in[0] == 0x1F && FStream.next_in[1] == 0x8B;
}

ssize_t TGunzipReader::Read(char* buffer, size_t size) {
    if (FState == TState::Failed) return -1;
    if (FState == TState::Done || size == 0) return 0;
    if (FState == TState::Start) {
        if (!Fill(2)) return Fail("cannot be read");
        FPassing = !AtGzipMagic();
        FState = FPassing ? TState::Passing : TState::Inflating;
    }
    if (FState == TState::Passing) {
        if (!Fill(1)) return Fail("cannot be read");
        if (FStream.avail_in == 0) {
            FState = TState::Done;
            return 0;
        }
        size_t n = std::min<size_t>(size, FStream.avail_in);
        memcpy(buffer, FStream.next_in, n);
        FStream.next_in += n;
        FStream.avail_in -= static_cast<uInt>(n);
        return static_cast<ssize_t>(n);
    }
    size = std::min<size_t>(size, 1u << 30);
    FStream.next_out = reinterpret_cast<Bytef*>(buffer);
    FStream.avail_out = static_cast<uInt>(size);
    // The buffer is filled whole when the data allow: writes of whole blocks
    // are markedly cheaper than the odd sizes where input buffers end.
    while (FStream.avail_out > 0) {
        if (FStream.avail_in == 0) {
            if (!Fill(1)) return Fail("cannot be read");
            if (FStream.avail_in == 0) return Fail("is cut short");
        }
        int ret = inflate(&FStream, Z_NO_FLUSH);
        if (ret == Z_STREAM_END) {
            if (!Fill(2)) return Fail("cannot be read");
            if (AtGzipMagic()) {
                inflateReset(&FStream);
            } else {
                FState = TState::Done;
                break;
            }
        } else if (ret == Z_BUF_ERROR && FStream.avail_in == 0) {
            continue;  // wants more input
        } else if (ret != Z_OK) {
            return Fail(AnsiString("is damaged (") + (FStream.msg ? FStream.msg : "bad data") + ")");
        }
    }
    return static_cast<ssize_t>(size - FStream.avail_out);
}

bool GzipFileIsWhole(const AnsiString& nativePath, AnsiString& why, AnsiString* tail, size_t tailSize,
                     int64_t* dataSize) {
    int fd = OpenRegularForReadingNative(nativePath);
    if (fd < 0) {
        why = "cannot be opened";
        return false;
    }
    TGunzipReader reader(fd);
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    ssize_t n;
    int64_t total = 0;
    if (tail) tail->clear();
    while ((n = reader.Read(buffer.get(), 1 << 16)) > 0) {
        total += n;
        if (!tail) continue;
        tail->append(buffer.get(), static_cast<size_t>(n));
        if (tail->size() > tailSize) tail->erase(0, tail->size() - tailSize);
    }
    if (dataSize) *dataSize = total;
    close(fd);
    if (n == 0 && !reader.IsGzip()) {
        why = "is not gzip data";
        return false;
    }
    why = reader.Problem();
    return n == 0;
}
