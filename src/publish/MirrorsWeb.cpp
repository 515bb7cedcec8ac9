#include "MirrorsWeb.h"

#include <cstring>

#include "crypto/Sha256.h"

namespace {

// A served name as a URL path: each segment percent-encoded, the slashes kept.
AnsiString EscapedPath(CURL* easy, const AnsiString& name) {
    AnsiString out;
    size_t from = 0;
    while (true) {
        const size_t slash = name.find('/', from);
        const AnsiString segment = name.substr(from, slash == AnsiString::npos ? AnsiString::npos : slash - from);
        char* e = curl_easy_escape(easy, segment.data(), static_cast<int>(segment.size()));
        out += e ? e : "";
        curl_free(e);
        if (slash == AnsiString::npos) return out;
        out += '/';
        from = slash + 1;
    }
}

AnsiString Trimmed(const AnsiString& s) {
    const size_t first = s.find_first_not_of(" \t\r\n"), last = s.find_last_not_of(" \t\r\n");
    return first == AnsiString::npos ? AnsiString() : s.substr(first, last - first + 1);
}

// Controls become blanks: header values end up in messages.
AnsiString Shown(AnsiString s) {
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return s.size() > 200 ? s.substr(0, 200) + "..." : s;
}

bool Success(int status) { return status == 200 || status == 206; }

}  // namespace

int64_t TotalOfContentRange(const AnsiString& value) {
    const size_t slash = value.rfind('/');
    if (slash == AnsiString::npos) return -1;
    const AnsiString total = Trimmed(value.substr(slash + 1));
    if (total.empty() || total.size() > 18 || total.find_first_not_of("0123456789") != AnsiString::npos) return -1;
    return std::stoll(total);
}

TWebSession::TWebSession(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings)
    : FRunner(runner), FMirror(mirror), FSettings(settings), FEasy(curl_easy_init()) {
    if (!FEasy) throw Exception("libcurl could not start a transfer");
    FHeaders = curl_slist_append(FHeaders, "Accept-Encoding: identity");
}

TWebSession::~TWebSession() {
    if (FThen) FRunner.Remove(FEasy);
    curl_easy_cleanup(FEasy);
    curl_slist_free_all(FHeaders);
}

void TWebSession::Begin(const AnsiString& name, TWant want, int64_t limit, TThen then) {
    curl_easy_reset(FEasy);  // keeps the connection for the next request
    Code = CURLE_OK;
    Status = 0;
    Missing = false;
    Body.clear();
    Size = -1;
    Digest.clear();
    FWant = want;
    FName = name;
    FLimit = limit;
    FRead = 0;
    FHash = want == TWant::Hash ? std::make_unique<TSha256>() : nullptr;
    FStatusLine.clear(), FEncoding.clear(), FContentRange.clear(), FLocation.clear();
    FStoppedAtWill = false;
    FProblem.clear();
    FError[0] = 0;
    CURL* e = FEasy;
    const AnsiString url = FMirror.FolderUrl() + EscapedPath(e, name);
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    // As the updater: an https mirror never hands its players to plain http.
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, FMirror.Tls ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, FHeaders);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "skiff-publish/" SKIFF_VERSION);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, FError);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    const AnsiString authorities = FSettings.Authorities();
    if (!authorities.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, authorities.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, FSettings.ConnectSeconds);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, FSettings.StallSeconds);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    if (want == TWant::Size) curl_easy_setopt(e, CURLOPT_RANGE, "0-0");
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    FThen = std::move(then);
    FRunner.Add(e, *this);
}

void TWebSession::Download(const AnsiString& name, int64_t limit, TThen then) {
    Begin(name, TWant::Body, limit, std::move(then));
}

void TWebSession::SizeOf(const AnsiString& name, TThen then) { Begin(name, TWant::Size, 1, std::move(then)); }

void TWebSession::HashOf(const AnsiString& name, int64_t limit, TThen then) {
    Begin(name, TWant::Hash, limit, std::move(then));
}

size_t TWebSession::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<TWebSession*>(self);
    const size_t n = size * count;
    const AnsiString line = Trimmed(AnsiString(data, n));
    if (line.compare(0, 5, "HTTP/") == 0) {
        s->FStatusLine = Shown(line);
        s->FEncoding.clear(), s->FContentRange.clear();
        s->FRead = 0;  // the bytes that count are those of this answer
        const size_t blank = line.find(' ');
        s->Status = blank == AnsiString::npos ? 0 : atoi(line.c_str() + blank + 1);
        return n;
    }
    const size_t colon = line.find(':');
    if (colon == AnsiString::npos) return n;
    const AnsiString field = LowerCase(Trimmed(line.substr(0, colon))), value = Shown(Trimmed(line.substr(colon + 1)));
    if (field == "content-encoding") s->FEncoding = value;
    else if (field == "content-range") s->FContentRange = value;
    else if (field == "location") s->FLocation = value;
    return n;
}

size_t TWebSession::OnWrite(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<TWebSession*>(self);
    const size_t n = size * count;
    // The page of a refusal or a redirection is not the file: read past,
    // within bounds.
    if (!Success(s->Status)) {
        s->FRead += static_cast<int64_t>(n);
        if (s->FRead <= (int64_t(1) << 20)) return n;
        s->FStoppedAtWill = true;
        return 0;
    }
    if (s->FWant == TWant::Size && s->Status == 200) {
        // The whole file for a one-byte range: its length was in the head.
        s->NoRanges = s->FStoppedAtWill = true;
        return 0;
    }
    if (s->FRead + static_cast<int64_t>(n) > s->FLimit) {
        if (s->FWant == TWant::Size)
            snprintf(s->FError, sizeof s->FError, "the server sent more than the one byte asked of %s",
                     s->FName.c_str());
        else
            snprintf(s->FError, sizeof s->FError, "%s has more than %lld bytes", s->FName.c_str(),
                     static_cast<long long>(s->FLimit));
        return 0;
    }
    s->FRead += static_cast<int64_t>(n);
    if (s->FWant == TWant::Body) s->Body.append(data, n);
    if (s->FWant == TWant::Hash) s->FHash->Update(data, n);
    return n;
}

void TWebSession::Finish(CURLcode code) {
    if (code == CURLE_WRITE_ERROR && FStoppedAtWill) code = CURLE_OK;
    Code = code;
    if (code == CURLE_OK) {
        const AnsiString what = FName + " (" + FStatusLine + ")";
        if (Status == 404 || Status == 410) {
            Missing = true;
        } else if (FWant == TWant::Size && Status == 416) {
            // The only range an empty file cannot give: its total is still said.
            Size = TotalOfContentRange(FContentRange);
            if (Size != 0) FProblem = "the server refused a one-byte range of " + what;
        } else if (!Success(Status)) {
            FProblem = FStatusLine.empty() ? "no answer for " + FName : what;
        } else if (!FEncoding.empty() && LowerCase(FEncoding) != "identity") {
            // Players' updaters ask for the bytes as they are and refuse any other.
            FProblem = "the server sends " + FName + " compressed (Content-Encoding: " + FEncoding +
                       "): players' updaters refuse it";
        } else if (FWant == TWant::Size && Status == 206) {
            Size = TotalOfContentRange(FContentRange);
            if (Size < 0) FProblem = "no total size in the range of " + what + " (Content-Range: " + FContentRange + ")";
        } else if (FWant == TWant::Size) {
            curl_off_t length = -1;
            curl_easy_getinfo(FEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            Size = length;
            if (Size < 0) FProblem = "no size for " + what;
        } else if (FWant == TWant::Hash) {
            Digest = FHash->HexDigest();
        }
    }
    FHash.reset();
    TThen then = std::move(FThen);
    FThen = nullptr;
    then();
}

AnsiString TWebSession::Failure() const {
    if (!FProblem.empty()) return FProblem;
    if (Code == CURLE_OK) return "";
    const AnsiString words = FError[0] ? AnsiString(FError) : AnsiString(curl_easy_strerror(Code));
    switch (Code) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return "the server's certificate is refused: " + words;
        case CURLE_TOO_MANY_REDIRECTS:
            return "more than " + IntToStr(kMaxRedirects) + " redirections for " + FName;
        case CURLE_UNSUPPORTED_PROTOCOL:
            if (!FLocation.empty())
                return (FMirror.Tls ? "refused a redirection from https down to " : "refused a redirection to ") +
                       FLocation;
            return words;
        default: return words;
    }
}

AnsiString TWebSession::EarlyStep() const {
    if (!FProblem.empty()) return "";
    switch (Code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING: return Status ? "" : "connect";
        case CURLE_OPERATION_TIMEDOUT: return Status ? "" : "connect";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: return "TLS";
        default: return "";
    }
}
