#include "GunzipStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

namespace {
constexpr size_t kOutSize = 1 << 20;
constexpr unsigned char kMagic0 = 0x1F, kMagic1 = 0x8B;
}  // namespace

TGunzipStream::TGunzipStream(std::function<bool(const char*, size_t)> write)
    : FWrite(std::move(write)), FOut(new char[kOutSize]) {
    if (inflateInit2(&FStream, 15 + 16) != Z_OK) Fail("cannot be read (out of memory)");
}

TGunzipStream::~TGunzipStream() { inflateEnd(&FStream); }

void TGunzipStream::Restart() {
    inflateReset(&FStream);
    if (FSkipChecks) inflateValidate(&FStream, 0);
}

void TGunzipStream::SkipChecks() {
    FSkipChecks = true;
    inflateValidate(&FStream, 0);
}

void TGunzipStream::Reset() {
    Restart();
    FOutUsed = 0;
    FState = TState::Start;
    FHolding = false;
    FMember = false;
    FWriteFailed = false;
    FProblem.clear();
}

bool TGunzipStream::Fail(const AnsiString& problem) {
    FState = TState::Failed;
    FProblem = problem;
    return false;
}

bool TGunzipStream::Flush() {
    if (FOutUsed == 0) return true;
    bool ok = FWrite(FOut.get(), FOutUsed);
    FOutUsed = 0;
    if (!ok) {
        FWriteFailed = true;
        return Fail("cannot be written");
    }
    return true;
}

bool TGunzipStream::Emit(const char* data, size_t n) {
    while (n > 0) {
        size_t room = std::min(n, kOutSize - FOutUsed);
        memcpy(FOut.get() + FOutUsed, data, room);
        FOutUsed += room, data += room, n -= room;
        if (FOutUsed == kOutSize && !Flush()) return false;
    }
    return true;
}

// Inflates until the input is used up or a member ends; the bytes used, or
// -1 when the data are damaged or the output cannot be written.
ssize_t TGunzipStream::Inflate(const unsigned char* data, size_t n) {
    FStream.next_in = const_cast<unsigned char*>(data);
    FStream.avail_in = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    const size_t given = FStream.avail_in;
    while (FStream.avail_in > 0) {
        FStream.next_out = reinterpret_cast<Bytef*>(FOut.get() + FOutUsed);
        FStream.avail_out = static_cast<uInt>(kOutSize - FOutUsed);
        int ret = inflate(&FStream, Z_NO_FLUSH);
        FOutUsed = kOutSize - FStream.avail_out;
        if (FOutUsed == kOutSize && !Flush()) return -1;
        if (ret == Z_STREAM_END) {
            // Another member may follow; its first two bytes tell.
            FState = TState::AfterMember;
            Restart();
            break;
        }
        if (ret == Z_BUF_ERROR && FStream.avail_in == 0) break;
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            Fail(AnsiString("is damaged (") + (FStream.msg ? FStream.msg : "bad data") + ")");
            return -1;
        }
    }
    return static_cast<ssize_t>(given - FStream.avail_in);
}

bool TGunzipStream::Feed(const char* data, size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    while (n > 0) {
        switch (FState) {
            case TState::Failed:
                return false;
            case TState::Done:
                return true;  // what follows a last member is not ours
            case TState::Passing:
                return Emit(reinterpret_cast<const char*>(p), n);
            case TState::Inflating: {
                ssize_t used = Inflate(p, n);
                if (used < 0) return false;
                p += used, n -= static_cast<size_t>(used);
                continue;
            }
            case TState::Start:
            case TState::AfterMember: {
                if (!FHolding) {
                    FHeld = *p++, --n, FHolding = true;
                    continue;
                }
                const bool member = FHeld == kMagic0 && *p == kMagic1;
                FHolding = false;
                if (!member && FState == TState::AfterMember) {
                    FState = TState::Done;
                    return true;
                }
                FState = member ? TState::Inflating : TState::Passing;
                FMember = FMember || member;
                const char held = static_cast<char>(FHeld);
                if (member ? Inflate(&FHeld, 1) < 0 : !Emit(&held, 1)) return false;
                continue;
            }
        }
    }
    return true;
}

bool TGunzipStream::Finish() {
    if (FState == TState::Failed) return false;
    if (FHolding) {  // one byte in all: no gzip magic, so it passes
        FHolding = false;
        if (FState == TState::Start) {
            const char held = static_cast<char>(FHeld);
            if (!Emit(&held, 1)) return false;
        }
        FState = TState::Done;
    }
    if (FState == TState::Inflating) return Fail("is cut short");
    return Flush();
}

bool TGunzipStream::FeedFile(int fd, size_t block, const std::function<void(size_t)>& onRead) {
    std::unique_ptr<char[]> buffer(new char[block]);
    while (FState != TState::Done) {
        const ssize_t n = read(fd, buffer.get(), block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("cannot be read");
        if (n == 0) break;
        if (!Feed(buffer.get(), static_cast<size_t>(n))) return false;
        if (onRead) onRead(static_cast<size_t>(n));
    }
    return Finish();
}

bool GzipFileIsWhole(const AnsiString& nativePath, AnsiString& why, AnsiString* tail, size_t tailSize,
                     int64_t* dataSize) {
    int fd = OpenRegularForReadingNative(nativePath);
    if (fd < 0) {
        why = "cannot be opened";
        return false;
    }
    int64_t total = 0;
    if (tail) tail->clear();
    TGunzipStream stream([&](const char* p, size_t n) {
        total += static_cast<int64_t>(n);
        if (!tail) return true;
        if (n >= tailSize) return tail->assign(p + n - tailSize, tailSize), true;
        tail->append(p, n);
        if (tail->size() > tailSize) tail->erase(0, tail->size() - tailSize);
        return true;
    });
    const bool whole = stream.FeedFile(fd);
    close(fd);
    if (dataSize) *dataSize = total;
    if (whole && !stream.IsGzip()) {
        why = "is not gzip data";
        return false;
    }
    why = stream.Problem();
    return whole;
}
