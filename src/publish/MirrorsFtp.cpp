#include "MirrorsFtp.h"

#include <cstdlib>
#include <cstring>

#include "crypto/Sha256.h"
#include "platform/StringList.h"

namespace {

int ReplyCodeOf(const AnsiString& reply) {
    if (reply.size() < 3 || !isdigit(static_cast<unsigned char>(reply[0])) ||
        !isdigit(static_cast<unsigned char>(reply[1])) || !isdigit(static_cast<unsigned char>(reply[2])))
        return 0;
    return std::stoi(reply.substr(0, 3));
}

AnsiString Escaped(CURL* easy, const AnsiString& name) {
    char* e = curl_easy_escape(easy, name.data(), static_cast<int>(name.size()));
    AnsiString out = e ? e : "";
    curl_free(e);
    return out;
}

}  // namespace

AnsiString TFtpSettings::Authorities() const {
    if (!CaFile.empty()) return CaFile;
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
        if (const char* v = getenv(name); v && *v) return v;
    return "";
}

TMirrorSession::TMirrorSession(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings)
    : FRunner(runner), FMirror(mirror), FSettings(settings), FEasy(curl_easy_init()) {
    if (!FEasy) throw Exception("libcurl could not start a transfer");
}

TMirrorSession::~TMirrorSession() {
    if (FThen) FRunner.Remove(FEasy);
    curl_easy_cleanup(FEasy);
    curl_slist_free_all(FCommands);
    if (FUploadFile) fclose(FUploadFile);
}

// Every request starts afresh from the same settings; a reset keeps the
// handle's live connection, so the requests of a mirror share one.
void TMirrorSession::Begin(const AnsiString& url, TThen then) {
    curl_easy_reset(FEasy);
    Code = CURLE_OK;
    Missing = false;
    Body.clear();
    Size = -1;
    Sent = 0;
    Digest.clear();
    FRead = 0;
    FHash.reset();
    Reply.clear();
    LastCommand.clear();
    FError[0] = 0;
    CURL* e = FEasy;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, FError);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    if (FMirror.HasPassword) {
        curl_easy_setopt(e, CURLOPT_PASSWORD, FMirror.Password.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
        if (!FSettings.NetrcFile.empty()) curl_easy_setopt(e, CURLOPT_NETRC_FILE, FSettings.NetrcFile.c_str());
    }
    curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(FMirror.Tls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    if (FMirror.Tls) {
        long version = CURL_SSLVERSION_TLSv1_2;
        // libcurl before 8.9 may cut the end of an upload's TLS 1.3 data
        // connection (servers answer 426); TLS 1.2 has no such trouble.
        if (curl_version_info(CURLVERSION_NOW)->version_num < 0x080900) version |= CURL_SSLVERSION_MAX_TLSv1_2;
        curl_easy_setopt(e, CURLOPT_SSLVERSION, version);
    }
    const AnsiString authorities = FSettings.Authorities();
    if (!authorities.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, authorities.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, FSettings.ConnectSeconds);
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, FSettings.StallSeconds);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, FSettings.StallSeconds);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    // Nothing reaches stdout: what a request keeps, it asks for itself.
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnDiscard);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnDiscard);
    // The conversation is watched for the server's replies; nothing is printed.
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, this);
    FThen = std::move(then);
    FRunner.Add(e, *this);
}

void TMirrorSession::Finish(CURLcode code) {
    Code = code;
    Missing = code == CURLE_REMOTE_FILE_NOT_FOUND || NoFolder();
    curl_off_t length = -1;
    if (curl_easy_getinfo(FEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) Size = length;
    if (FHash && code == CURLE_OK) Digest = FHash->HexDigest();
    FHash.reset();
    if (FUploadFile) fclose(FUploadFile);
    FUploadFile = nullptr;
    curl_slist_free_all(FCommands);
    FCommands = nullptr;
    TThen then = std::move(FThen);
    FThen = nullptr;
    then();
}

void TMirrorSession::List(TThen then) {
    Begin(FMirror.FolderUrl(), std::move(then));
    FLimit = int64_t(512) << 20;
    curl_easy_setopt(FEasy, CURLOPT_CUSTOMREQUEST, "MLSD");
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
}

void TMirrorSession::ListNames(TThen then) {
    Begin(FMirror.FolderUrl(), std::move(then));
    FLimit = int64_t(512) << 20;
    curl_easy_setopt(FEasy, CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
}

void TMirrorSession::SizeOf(const AnsiString& name, TThen then) {
    Begin(FMirror.FolderUrl() + Escaped(FEasy, name), std::move(then));
    curl_easy_setopt(FEasy, CURLOPT_NOBODY, 1L);
}

void TMirrorSession::Download(const AnsiString& name, int64_t limit, TThen then) {
    Begin(FMirror.FolderUrl() + Escaped(FEasy, name), std::move(then));
    FLimit = limit;
    curl_easy_setopt(FEasy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
}

void TMirrorSession::HashOf(const AnsiString& name, int64_t limit, TThen then) {
    Begin(FMirror.FolderUrl() + Escaped(FEasy, name), std::move(then));
    FLimit = limit;
    FHash = std::make_unique<TSha256>();
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, OnHash);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
}

void TMirrorSession::Upload(const AnsiString& localPath, const AnsiString& name, int64_t size, int64_t resumeFrom,
                         TThen then) {
    Begin(FMirror.FolderUrl() + Escaped(FEasy, name), std::move(then));
    FUploadFile = fopen(localPath.c_str(), "rb");
    if (!FUploadFile) {
        // Ends at once through the read callback's abort, like any other failure.
        snprintf(FError, sizeof FError, "%s could not be read: %s", localPath.c_str(), strerror(errno));
    }
    CURL* e = FEasy;
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, OnRead);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, OnSeek);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    // libcurl skips the bytes the server holds (through the seek) and appends the rest.
    if (resumeFrom > 0) curl_easy_setopt(e, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resumeFrom));
    curl_easy_setopt(e, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
}

void TMirrorSession::Commands(const std::vector<AnsiString>& commands, TThen then) {
    Begin(FMirror.FolderUrl(), std::move(then));
    for (const AnsiString& c : commands) FCommands = curl_slist_append(FCommands, c.c_str());
    curl_easy_setopt(FEasy, CURLOPT_NOBODY, 1L);
    // After the transfer, that is after the CWD into the folder, so that the
    // names are the folder's on a fresh connection and a reused one alike.
    curl_easy_setopt(FEasy, CURLOPT_POSTQUOTE, FCommands);
}

bool TMirrorSession::NotUnderstood() const {
    int code = ReplyCodeOf(Reply);
    return !Ok() && (code == 500 || code == 501 || code == 502 || code == 504);
}

AnsiString TMirrorSession::EarlyStep() const {
    switch (Code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_WEIRD_SERVER_REPLY: return "connect";
        case CURLE_OPERATION_TIMEDOUT: return Reply.empty() ? "connect" : "";
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: return "TLS";
        case CURLE_LOGIN_DENIED: return "login";
        default: return "";
    }
}

AnsiString TMirrorSession::Failure() const {
    if (Ok()) return "";
    if (ReplyCodeOf(Reply) >= 400)
        return (LastCommand.empty() ? "" : LastCommand + ": ") + Reply +
               (Code == CURLE_LOGIN_DENIED && !FMirror.HasPassword ? " (the password was looked up in the netrc file)"
                                                                   : "");
    return FError[0] ? AnsiString(FError) : AnsiString(curl_easy_strerror(Code));
}

int TMirrorSession::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
    auto* s = static_cast<TMirrorSession*>(self);
    TStringList lines;
    lines.SetText(AnsiString(data, size));
    for (AnsiString line : lines.Lines()) {
        for (char& c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
        if (line.empty()) continue;
        if (type == CURLINFO_HEADER_IN) {
            s->Reply = line;
        } else {
            // The password never leaves libcurl.
            s->LastCommand = UpperCase(line.substr(0, 5)) == "PASS " ? AnsiString("PASS ****") : line;
        }
    }
    return 0;
}

size_t TMirrorSession::OnDiscard(char*, size_t size, size_t count, void*) { return size * count; }

size_t TMirrorSession::OnWrite(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<TMirrorSession*>(self);
    size_t n = size * count;
    if (static_cast<int64_t>(s->Body.size() + n) > s->FLimit) {
        snprintf(s->FError, sizeof s->FError, "more than %lld bytes", static_cast<long long>(s->FLimit));
        return 0;
    }
    s->Body.append(data, n);
    return n;
}

size_t TMirrorSession::OnHash(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<TMirrorSession*>(self);
    size_t n = size * count;
    if (s->FRead + static_cast<int64_t>(n) > s->FLimit) {
        snprintf(s->FError, sizeof s->FError, "more than %lld bytes", static_cast<long long>(s->FLimit));
        return 0;
    }
    s->FRead += static_cast<int64_t>(n);
    s->FHash->Update(data, n);
    return n;
}

size_t TMirrorSession::OnRead(char* data, size_t size, size_t count, void* self) {
    auto* s = static_cast<TMirrorSession*>(self);
    if (!s->FUploadFile) return CURL_READFUNC_ABORT;
    size_t n = fread(data, 1, size * count, s->FUploadFile);
    if (n == 0 && ferror(s->FUploadFile)) return CURL_READFUNC_ABORT;
    s->Sent += static_cast<int64_t>(n);
    return n;
}

int TMirrorSession::OnSeek(void* self, curl_off_t offset, int origin) {
    auto* s = static_cast<TMirrorSession*>(self);
    if (!s->FUploadFile || fseeko(s->FUploadFile, offset, origin) != 0) return CURL_SEEKFUNC_CANTSEEK;
    return CURL_SEEKFUNC_OK;
}

std::map<AnsiString, int64_t> ParseMlsd(const AnsiString& listing) {
    std::map<AnsiString, int64_t> files;
    TStringList lines;
    lines.SetText(listing);
    for (const AnsiString& line : lines.Lines()) {
        size_t space = line.find(' ');
        if (space == AnsiString::npos) continue;
        AnsiString facts = LowerCase(line.substr(0, space)) + ";";
        if (facts.find("type=file;") != 0 && facts.find(";type=file;") == AnsiString::npos) continue;
        int64_t size = -1;
        size_t at = facts.find("size=") == 0 ? 0 : facts.find(";size=");
        if (at != AnsiString::npos) {
            at = facts.find('=', at) + 1;
            AnsiString digits = facts.substr(at, facts.find(';', at) - at);
            if (!digits.empty() && digits.size() < 19 && digits.find_first_not_of("0123456789") == AnsiString::npos)
                size = std::stoll(digits);
        }
        files[line.substr(space + 1)] = size;
    }
    return files;
}

std::vector<AnsiString> ParseNameList(const AnsiString& listing) {
    TStringList lines;
    lines.SetText(listing);
    std::vector<AnsiString> names;
    for (const AnsiString& line : lines.Lines()) {
        // Some servers answer NLST with paths; the folder's own names are wanted.
        AnsiString name = line.substr(line.find_last_of('/') == AnsiString::npos ? 0 : line.find_last_of('/') + 1);
        if (!name.empty() && name != "." && name != "..") names.push_back(name);
    }
    return names;
}
