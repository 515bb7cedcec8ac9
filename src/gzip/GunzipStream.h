// Inflating gzip data as they arrive (a download) or as a file is read, by
// the one set of member rules: data without the gzip magic pass through
// unchanged (as zlib's gzread passes them), members that follow one another
// are inflated in turn, anything else after a member is ignored, and data
// cut short are told from whole ones (gzread takes a stream cut where a
// block of its output ends for a clean end, and would let a short file
// through). The output goes to the writer in blocks of a mebibyte (whole
// blocks are what disks and page caches write fastest); one buffer,
// allocated once.
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
    // Feeds file `fd` from where it stands in reads of `block` bytes, each
    // read's size told to `onRead`, and finishes; true when the data ended
    // whole. Reading stops after a last member. The caller closes fd.
    bool FeedFile(int fd, size_t block = 1 << 16, const std::function<void(size_t)>& onRead = {});
    // A member began: the data are gzip, not passed through.
    bool IsGzip() const { return FMember; }
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
    bool FMember = false;
    bool FWriteFailed = false;
    bool FSkipChecks = false;
    AnsiString FProblem;
    void Restart();
};

// Reads a gzip file to its end keeping none of the data but, when `tail` is
// given, their last `tailSize` bytes (and in `dataSize` their length); false
// with the reason ("is cut short", "is not gzip data", ...) when it is not whole.
bool GzipFileIsWhole(const AnsiString& nativePath, AnsiString& why, AnsiString* tail = nullptr,
                     size_t tailSize = 0, int64_t* dataSize = nullptr);
