// Inflating gzip data as they arrive, by the rules of TGunzipReader: data
// without the gzip magic pass through unchanged, members that follow one
// another are inflated in turn, anything else after a member is ignored, and
// data cut short are told from whole ones. The output goes to the writer in
// blocks of a mebibyte (whole blocks are what disks and page caches write
// fastest); one buffer, allocated once.
#pragma once
#include <sys/types.h>
#include <zlib.h>

#include <functional>
#include <memory>

#include "platform/Classes.h"

class TGunzipStream {
public:
    // `write` takes each block of output; false when it could not be written.
    explicit TGunzipStream(std::function<bool(const char* data, size_t n)> write);
    ~TGunzipStream();
    TGunzipStream(const TGunzipStream&) = delete;
    TGunzipStream& operator=(const TGunzipStream&) = delete;

    // Back to the start of a new stream (the output already written stays
    // the writer's to discard).
    void Reset();
    // False once the data are damaged or the output could not be written;
    // what follows is then passed over.
    bool Feed(const char* data, size_t n);
    // Writes what is left; true when the data ended whole.
    bool Finish();
    // For data whose bytes a stronger hash checks whole (the list's
    // SHA-256): zlib's CRC and length checks of each member are left out,
    // a tenth of the time inflating takes.
    void SkipChecks();
    const AnsiString& Problem() const { return FProblem; }
    bool WriteFailed() const { return FWriteFailed; }

private:
    enum class TState { Start, Inflating, AfterMember, Passing, Done, Failed };
    ssize_t Inflate(const unsigned char* data, size_t n);
    bool Emit(const char* data, size_t n);
    bool Flush();
    bool Fail(const AnsiString& problem);

    std::function<bool(const char*, size_t)> FWrite;
    z_stream FStream{};
    std::unique_ptr<char[]> FOut;
    size_t FOutUsed = 0;
    TState FState = TState::Start;
    unsigned char FHeld = 0;  // a first byte, until the second tells whether a member starts
    bool FHolding = false;
    bool FWriteFailed = false;
    bool FSkipChecks = false;
    AnsiString FProblem;
    void Restart();
};
