// libFuzzer target: what an HTTP server answers, fed to the response-head
// reader and then to the chunked decoder in pieces whose sizes the input's
// first bytes choose, as a connection would deliver them. Nothing may crash;
// no more bytes may be taken than were given, body spans stay inside the
// piece they came from, the head stays within its bounds, and the framing
// fields parse to values that make sense; the base-address splitter and the
// redirection resolver get the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/HttpReplies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // Piece sizes cycle through the first four bytes (0 means 1).
    const uint8_t splits[4] = {data[0], data[1], data[2], data[3]};
    const char* text = reinterpret_cast<const char*>(data + 4);
    const size_t n = size - 4;
    auto piece = [&](size_t k, size_t left) { return std::min<size_t>(left, splits[k % 4] ? splits[k % 4] : 1); };

    THttpHeadReader head;
    size_t at = 0, k = 0;
    THttpHeadReader::TResult r = THttpHeadReader::TResult::More;
    while (at < n && r == THttpHeadReader::TResult::More) {
        const size_t len = piece(k++, n - at);
        size_t used = 0;
        r = head.Feed(text + at, len, used);
        if (used > len) abort();
        if (r == THttpHeadReader::TResult::More && used != len) abort();
        at += used;
    }
    if (head.Fields.size() > THttpHeadReader::kMaxFields) abort();
    if (r != THttpHeadReader::TResult::Done) return 0;
    if (head.Status < 100 || head.Status > 999) abort();

    int64_t length = -1;
    if (const AnsiString* cl = head.Field("content-length"))
        if (ParseContentLength(*cl, length) && length < 0) abort();
    TContentRange range;
    if (const AnsiString* cr = head.Field("content-range"))
        if (ParseContentRange(*cr, range) && range.First >= 0 &&
            (range.Last < range.First || (range.Total >= 0 && range.Last >= range.Total)))
            abort();
    bool other = false;
    EndsChunked(head.Joined("transfer-encoding"), other);
    HasToken(head.Joined("connection"), "close");
    RangeValidator(head);
    THttpUrl from, to;
    AnsiString why;
    SplitHttpUrl("http://mirror.example/base", from, why);
    from.Path = RequestTarget(from.Path, "dir/file name");
    if (const AnsiString* location = head.Field("location"))
        if (ResolveLocation(from, *location, to, why) && (to.Host.empty() || to.Path.empty() || to.Path[0] != '/'))
            abort();
    if (SplitHttpUrl(head.Reason, to, why) && (to.Host.empty() || to.Port < 0 || to.Port > 65535)) abort();

    // The rest as a chunked body.
    THttpChunkDecoder chunks;
    size_t body = 0;
    while (at < n) {
        const size_t len = piece(k++, n - at);
        size_t off = 0;
        while (off < len) {
            size_t used = 0, spanLength = 0;
            const char* span = nullptr;
            const auto step = chunks.Next(text + at + off, len - off, used, span, spanLength);
            if (used > len - off) abort();
            if (step == THttpChunkDecoder::TStep::Data) {
                if (span < text + at + off || span + spanLength > text + at + off + used) abort();
                body += spanLength;
            }
            off += used;
            if (step == THttpChunkDecoder::TStep::Done || step == THttpChunkDecoder::TStep::Bad) {
                at = n;
                break;
            }
            if (step == THttpChunkDecoder::TStep::More && off != len) abort();
            if (used == 0) abort();  // no progress
        }
        if (at < n) at += len;
    }
    if (body > n) abort();
    return 0;
}
