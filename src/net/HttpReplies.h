// Reading what an HTTP/1.1 server sends (RFC 9110, 9112), apart from any
// connection, so that it can be tested and fuzzed alone: the response head
// (status line and header fields, bounded in line length, count and total
// size), the framing and range fields, the chunked transfer coding as an
// incremental decoder, and the mirrors' base addresses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/Classes.h"

// A mirror's base address, "http://host[:port][/path]" or https; an IPv6
// literal in brackets. Port 0: the scheme's own (80, 443). Path: what
// precedes every file name, without a trailing slash ("" for the root).
struct THttpUrl {
    bool Https = false;
    AnsiString Host;  // without the brackets of an IPv6 literal
    int Port = 0;
    AnsiString Path;
    int EffectivePort() const { return Port ? Port : (Https ? 443 : 80); }
    bool Ipv6() const { return Host.find(':') != AnsiString::npos; }
    // "host" or "host:port" as the Host field wants it (brackets again for IPv6).
    AnsiString Authority() const;
    bool SameOrigin(const THttpUrl& other) const;
};
// False, with the reason, for anything else (another scheme, user names,
// a query or fragment, a bad port).
bool SplitHttpUrl(const AnsiString& text, THttpUrl& url, AnsiString& why);
// The request target for `remote` under the base path: "/" joins them, and
// bytes outside the path's own characters are percent-encoded.
AnsiString RequestTarget(const AnsiString& basePath, const AnsiString& remote);
// Where a Location field sends a request made to `from` (Path there is the
// whole request target): an absolute address, "//host/..", "/path" or a
// path relative to the target's folder.
bool ResolveLocation(const THttpUrl& from, const AnsiString& location, THttpUrl& to, AnsiString& why);

// The response head, fed as it arrives in pieces of any size. Lines end at
// LF (a CR before it is dropped); the head ends at the first empty line.
class THttpHeadReader {
public:
    static constexpr size_t kMaxLine = 8192, kMaxFields = 100, kMaxHead = 64 << 10;
    enum class TResult { More, Done, Bad };
    // Takes bytes up to the end of the head; `used` tells how many, so the
    // rest is the body's. After Done or Bad it takes nothing more.
    TResult Feed(const char* data, size_t n, size_t& used);
    void Reset() { *this = THttpHeadReader{}; }

    int Status = 0;    // 100..999
    int Minor = 1;     // HTTP/1.Minor
    AnsiString Reason;
    std::vector<std::pair<AnsiString, AnsiString>> Fields;  // names in lower case, values trimmed
    AnsiString Why;    // Bad: what was wrong
    // The first field of that (lower-case) name, or nullptr.
    const AnsiString* Field(const char* name) const;
    // Every field of that name joined by ", ", as a list field reads.
    AnsiString Joined(const char* name) const;

private:
    TResult Line(const AnsiString& line);
    TResult Refuse(const AnsiString& why);
    AnsiString FLine;
    size_t FTotal = 0;
    bool FStatusSeen = false;
    TResult FResult = TResult::More;
};

// Content-Length: decimal digits (a list of equal values is the same
// value); false for anything else or more than 18 digits.
bool ParseContentLength(const AnsiString& value, int64_t& length);
// Content-Range of a 206 ("bytes a-b/n", n may be "*": Total -1) or of a
// 416 ("bytes */n": First and Last -1).
struct TContentRange {
    int64_t First = -1, Last = -1, Total = -1;
};
bool ParseContentRange(const AnsiString& value, TContentRange& range);
// Whether a Transfer-Encoding list ends with "chunked"; `other` is set when
// it names any coding besides (which we do not speak).
bool EndsChunked(const AnsiString& transferEncoding, bool& other);
// Whether the Connection field (joined) has the token (lower case).
bool HasToken(const AnsiString& list, const char* token);
// A validator for If-Range: a strong ETag, else Last-Modified, else "".
AnsiString RangeValidator(const THttpHeadReader& head);

// The chunked transfer coding, decoded as it arrives: each call takes some
// input and may hand back one span of body bytes inside it. Chunk-size lines
// and trailers are bounded; the body itself is as long as the chunks say.
class THttpChunkDecoder {
public:
    static constexpr size_t kMaxSizeLine = 1024, kMaxTrailer = 16 << 10;
    enum class TStep {
        Data,  // [span, span + spanLength) is body; call again with the rest
        More,  // all of the input was taken; more is needed
        Done,  // the last chunk and the trailer are in; `used` bytes were the coding's
        Bad    // not the chunked coding (Why says how)
    };
    TStep Next(const char* data, size_t n, size_t& used, const char*& span, size_t& spanLength);
    AnsiString Why;

private:
    enum class TState { Size, Data, DataEnd, Trailer, Done, Bad };
    TStep Refuse(const char* why);
    TState FState = TState::Size;
    AnsiString FLine;
    uint64_t FLeft = 0;
    size_t FTrailer = 0;
};
