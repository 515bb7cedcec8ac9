#include "HttpReplies.h"

#include <cctype>
#include <cstring>

namespace {

bool IsTokenChar(char c) {
    return isalnum(static_cast<unsigned char>(c)) || strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

AnsiString Trim(const AnsiString& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == AnsiString::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// Up to 18 decimal digits and nothing else.
bool ParseDecimal(const AnsiString& s, int64_t& v) {
    if (s.empty() || s.size() > 18) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    return true;
}

bool StartsNoCase(const AnsiString& s, const char* prefix) {
    const size_t n = strlen(prefix);
    return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

}  // namespace

AnsiString THttpUrl::Authority() const {
    const AnsiString host = Ipv6() ? "[" + Host + "]" : Host;
    return Port ? host + ":" + IntToStr(Port) : host;
}

bool THttpUrl::SameOrigin(const THttpUrl& o) const {
    return Https == o.Https && EffectivePort() == o.EffectivePort() && LowerCase(Host) == LowerCase(o.Host);
}

namespace {

// A base address (no query; no trailing slash kept) or, for a redirection,
// a whole request target (a query kept, a fragment dropped).
bool SplitUrl(const AnsiString& text, THttpUrl& url, AnsiString& why, bool target) {
    url = THttpUrl{};
    size_t at;
    if (StartsNoCase(text, "http://")) at = 7;
    else if (StartsNoCase(text, "https://")) at = 8, url.Https = true;
    else return why = "the address is neither http:// nor https://", false;
    const size_t slash = text.find('/', at);
    const AnsiString authority = text.substr(at, slash == AnsiString::npos ? AnsiString::npos : slash - at);
    AnsiString path = slash == AnsiString::npos ? "" : text.substr(slash);
    if (authority.find('@') != AnsiString::npos) return why = "user names in the address are not supported", false;
    if (authority.find_first_of("?#") != AnsiString::npos) return why = "the address names no host", false;
    if (target) {
        const size_t fragment = path.find('#');
        if (fragment != AnsiString::npos) path.erase(fragment);
        if (path.empty() || path[0] != '/') path = "/" + path;
    } else if (path.find_first_of("?#") != AnsiString::npos) {
        return why = "the address has a query or a fragment, which file names cannot follow", false;
    }
    for (char c : text)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return why = "the address has blanks or controls", false;
    AnsiString port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == AnsiString::npos) return why = "the IPv6 address has no closing bracket", false;
        url.Host = authority.substr(1, close - 1);
        if (url.Host.empty() || url.Host.find_first_not_of("0123456789abcdefABCDEF:.") != AnsiString::npos)
            return why = "the IPv6 address is not one", false;
        const AnsiString rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return why = "something follows the IPv6 address", false;
        if (!rest.empty()) port = rest.substr(1);
    } else {
        const size_t colon = authority.find(':');
        url.Host = authority.substr(0, colon);
        if (colon != AnsiString::npos) port = authority.substr(colon + 1);
        if (url.Host.find_first_of("[]") != AnsiString::npos) return why = "the host name is not one", false;
    }
    if (url.Host.empty()) return why = "the address names no host", false;
    if (!port.empty()) {
        int64_t p = 0;
        if (!ParseDecimal(port, p) || p < 1 || p > 65535) return why = "the port is not a number from 1 to 65535", false;
        url.Port = static_cast<int>(p);
    }
    while (!target && !path.empty() && path.back() == '/') path.pop_back();
    url.Path = path;
    return true;
}

}  // namespace

bool SplitHttpUrl(const AnsiString& text, THttpUrl& url, AnsiString& why) { return SplitUrl(text, url, why, false); }

AnsiString RequestTarget(const AnsiString& basePath, const AnsiString& remote) {
    static const char* kHex = "0123456789ABCDEF";
    AnsiString target = basePath + "/";
    size_t i = 0;
    while (i < remote.size() && remote[i] == '/') ++i;
    for (; i < remote.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(remote[i]);
        // The unreserved characters and the separators a path keeps as they
        // are; everything else (blanks, '%', '?', '#', bytes of any code
        // page) travels encoded.
        if (isalnum(c) || strchr("-._~/!$&'()*+,;=:@", c)) {
            target += static_cast<char>(c);
        } else {
            target += '%';
            target += kHex[c >> 4];
            target += kHex[c & 15];
        }
    }
    return target;
}

bool ResolveLocation(const THttpUrl& from, const AnsiString& location, THttpUrl& to, AnsiString& why) {
    const AnsiString loc = Trim(location);
    if (loc.empty()) return why = "the redirection names no address", false;
    if (StartsNoCase(loc, "http://") || StartsNoCase(loc, "https://")) return SplitUrl(loc, to, why, true);
    if (loc.find("://") != AnsiString::npos && loc.find("://") < loc.find('/'))
        return why = "the redirection leads to another kind of address: " + loc, false;
    if (loc.compare(0, 2, "//") == 0) return SplitUrl((from.Https ? "https:" : "http:") + loc, to, why, true);
    for (char c : loc)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return why = "the redirection has blanks or controls", false;
    to = from;
    AnsiString path = loc;
    const size_t cut = path.find_first_of("#");
    if (cut != AnsiString::npos) path.erase(cut);
    if (path.empty()) path = from.Path.empty() ? AnsiString("/") : from.Path;
    if (path[0] != '/') {
        const size_t folder = from.Path.rfind('/');
        path = (folder == AnsiString::npos ? AnsiString("/") : from.Path.substr(0, folder + 1)) + path;
    }
    to.Path = path;
    return true;
}

const AnsiString* THttpHeadReader::Field(const char* name) const {
    for (auto& f : Fields)
        if (f.first == name) return &f.second;
    return nullptr;
}

AnsiString THttpHeadReader::Joined(const char* name) const {
    AnsiString all;
    for (auto& f : Fields) {
        if (f.first != name) continue;
        if (!all.empty()) all += ", ";
        all += f.second;
    }
    return all;
}

THttpHeadReader::TResult THttpHeadReader::Refuse(const AnsiString& why) {
    Why = why;
    return FResult = TResult::Bad;
}

THttpHeadReader::TResult THttpHeadReader::Feed(const char* data, size_t n, size_t& used) {
    used = 0;
    while (FResult == TResult::More && used < n) {
        const char c = data[used++];
        if (++FTotal > kMaxHead) return Refuse("the response head is longer than " + IntToStr(kMaxHead) + " bytes");
        if (c != '\n') {
            if (FLine.size() >= kMaxLine) return Refuse("a line of the response head is too long");
            FLine += c;
            continue;
        }
        if (!FLine.empty() && FLine.back() == '\r') FLine.pop_back();
        AnsiString line;
        line.swap(FLine);
        if (Line(line) != TResult::More) return FResult;
    }
    return FResult;
}

THttpHeadReader::TResult THttpHeadReader::Line(const AnsiString& line) {
    if (!FStatusSeen) {
        // "HTTP/1.x SSS reason"; the reason may be empty.
        if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !isdigit(static_cast<unsigned char>(line[7])) ||
            line[8] != ' ' || !isdigit(static_cast<unsigned char>(line[9])) ||
            !isdigit(static_cast<unsigned char>(line[10])) || !isdigit(static_cast<unsigned char>(line[11])) ||
            (line.size() > 12 && line[12] != ' '))
            return Refuse("the server's answer is no HTTP/1 response: " + line.substr(0, 80));
        FStatusSeen = true;
        Minor = line[7] - '0';
        Status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
        if (Status < 100) return Refuse("the status " + line.substr(9, 3) + " is no HTTP status");
        Reason = line.size() > 13 ? line.substr(13) : "";
        return TResult::More;
    }
    if (line.empty()) return FResult = TResult::Done;
    if (line[0] == ' ' || line[0] == '\t') return Refuse("the response head has a folded line");
    const size_t colon = line.find(':');
    if (colon == AnsiString::npos || colon == 0) return Refuse("a line of the response head is no field");
    for (size_t i = 0; i < colon; ++i)
        if (!IsTokenChar(line[i])) return Refuse("a field name of the response head has a character no name has");
    if (Fields.size() >= kMaxFields) return Refuse("the response head has more than " + IntToStr(kMaxFields) + " fields");
    Fields.emplace_back(LowerCase(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    return TResult::More;
}

bool ParseContentLength(const AnsiString& value, int64_t& length) {
    // "5, 5" from a proxy that joined two equal fields is still 5.
    bool any = false;
    size_t at = 0;
    while (at <= value.size()) {
        const size_t comma = value.find(',', at);
        const AnsiString one = Trim(value.substr(at, comma == AnsiString::npos ? AnsiString::npos : comma - at));
        int64_t v;
        if (!ParseDecimal(one, v) || (any && v != length)) return false;
        length = v;
        any = true;
        if (comma == AnsiString::npos) break;
        at = comma + 1;
    }
    return any;
}

bool ParseContentRange(const AnsiString& value, TContentRange& r) {
    r = TContentRange{};
    const AnsiString v = Trim(value);
    if (!StartsNoCase(v, "bytes ")) return false;
    const AnsiString rangeAndTotal = Trim(v.substr(6));
    const size_t slash = rangeAndTotal.find('/');
    if (slash == AnsiString::npos) return false;
    const AnsiString range = rangeAndTotal.substr(0, slash), total = rangeAndTotal.substr(slash + 1);
    if (total != "*" && !ParseDecimal(total, r.Total)) return false;
    if (range == "*") return r.Total >= 0;  // 416: only the size
    const size_t dash = range.find('-');
    if (dash == AnsiString::npos || !ParseDecimal(range.substr(0, dash), r.First) ||
        !ParseDecimal(range.substr(dash + 1), r.Last))
        return false;
    return r.First <= r.Last && (r.Total < 0 || r.Last < r.Total);
}

bool EndsChunked(const AnsiString& te, bool& other) {
    other = false;
    bool last = false;
    size_t at = 0;
    while (at <= te.size()) {
        const size_t comma = te.find(',', at);
        AnsiString coding = LowerCase(Trim(te.substr(at, comma == AnsiString::npos ? AnsiString::npos : comma - at)));
        const size_t semi = coding.find(';');
        if (semi != AnsiString::npos) coding = Trim(coding.substr(0, semi));
        if (!coding.empty()) {
            last = coding == "chunked";
            if (!last && coding != "identity") other = true;
        }
        if (comma == AnsiString::npos) break;
        at = comma + 1;
    }
    return last;
}

bool HasToken(const AnsiString& list, const char* token) {
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        if (LowerCase(Trim(list.substr(at, comma == AnsiString::npos ? AnsiString::npos : comma - at))) == token)
            return true;
        if (comma == AnsiString::npos) break;
        at = comma + 1;
    }
    return false;
}

AnsiString RangeValidator(const THttpHeadReader& head) {
    // A weak ETag ("W/...") may not be used to combine ranges.
    if (const AnsiString* etag = head.Field("etag"))
        if (etag->size() >= 2 && (*etag)[0] == '"' && etag->back() == '"') return *etag;
    if (const AnsiString* modified = head.Field("last-modified")) return *modified;
    return "";
}

THttpChunkDecoder::TStep THttpChunkDecoder::Refuse(const char* why) {
    Why = why;
    FState = TState::Bad;
    return TStep::Bad;
}

THttpChunkDecoder::TStep THttpChunkDecoder::Next(const char* data, size_t n, size_t& used, const char*& span,
                                                 size_t& spanLength) {
    used = 0;
    span = nullptr;
    spanLength = 0;
    while (used < n) {
        switch (FState) {
            case TState::Data: {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(FLeft, n - used));
                span = data + used;
                spanLength = take;
                used += take;
                FLeft -= take;
                if (FLeft == 0) FState = TState::DataEnd;
                return TStep::Data;
            }
            case TState::Done: return TStep::Done;
            case TState::Bad: return TStep::Bad;
            default: break;
        }
        const char c = data[used++];
        if (c != '\n') {
            const size_t cap = FState == TState::Trailer ? kMaxTrailer : kMaxSizeLine;
            if (FLine.size() >= cap || (FState == TState::Trailer && FTrailer + FLine.size() >= kMaxTrailer))
                return Refuse(FState == TState::Trailer ? "the chunked body's trailer is too long"
                                                        : "a chunk-size line is too long");
            FLine += c;
            continue;
        }
        if (!FLine.empty() && FLine.back() == '\r') FLine.pop_back();
        AnsiString line;
        line.swap(FLine);
        if (FState == TState::DataEnd) {
            if (!line.empty()) return Refuse("a chunk does not end where its size says");
            FState = TState::Size;
        } else if (FState == TState::Trailer) {
            FTrailer += line.size() + 1;
            if (line.empty()) {
                FState = TState::Done;
                return TStep::Done;
            }
        } else {
            // hex digits, then blanks, chunk extensions after ';'.
            size_t i = 0;
            uint64_t size = 0;
            for (; i < line.size() && isxdigit(static_cast<unsigned char>(line[i])); ++i) {
                if (i >= 15) return Refuse("a chunk size is too large");
                const char h = static_cast<char>(tolower(static_cast<unsigned char>(line[i])));
                size = size * 16 + static_cast<uint64_t>(h <= '9' ? h - '0' : h - 'a' + 10);
            }
            if (i == 0) return Refuse("a chunk-size line has no size");
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i < line.size() && line[i] != ';') return Refuse("a chunk-size line has more than a size");
            if (size == 0) {
                FState = TState::Trailer;
            } else {
                FLeft = size;
                FState = TState::Data;
            }
        }
    }
    return FState == TState::Done ? TStep::Done : TStep::More;
}
