// Reads the data of a gzip file in pieces through zlib's inflate and tells a
// whole stream from one cut short. (gzread takes a stream cut where a block
// of its output ends for a clean end, and would let a short file through.)
// Like gzread, data without the gzip magic pass through unchanged, members
// that follow one another are read in turn, and anything else after a member
// is ignored.
#pragma once
#include <sys/types.h>
#include <zlib.h>

#include <memory>

#include "platform/Classes.h"

class TGunzipReader {
public:
    explicit TGunzipReader(int fd);  // the caller keeps and closes fd
    ~TGunzipReader();
    TGunzipReader(const TGunzipReader&) = delete;
    TGunzipReader& operator=(const TGunzipReader&) = delete;

    // Bytes placed in `buffer` (> 0), 0 at the end of whole data, -1 when the
    // data are damaged, cut short or cannot be read (Problem() says which).
    ssize_t Read(char* buffer, size_t size);
    const AnsiString& Problem() const { return FProblem; }
    bool IsGzip() const { return !FPassing; }

private:
    enum class TState { Start, Inflating, Passing, Done, Failed };
    bool Fill(size_t want);
    bool AtGzipMagic() const;
    ssize_t Fail(const AnsiString& problem);

    int FFd;
    z_stream FStream{};
    std::unique_ptr<unsigned char[]> FIn;
    bool FEof = false;
    bool FPassing = false;  // no gzip magic: the data pass as they are
    TState FState = TState::Start;
    AnsiString FProblem;
};

// Reads a gzip file to its end keeping none of the data but, when `tail` is
// given, their last `tailSize` bytes (and in `dataSize` their length); false
// with the reason ("is cut short", ...) when it is not whole.
bool GzipFileIsWhole(const AnsiString& nativePath, AnsiString& why, AnsiString* tail = nullptr,
                     size_t tailSize = 0, int64_t* dataSize = nullptr);
