// FTP with the mirrors, all through libcurl: each mirror has one session, a
// libcurl easy handle whose requests run one after another so that they
// share its connection; the sessions of all mirrors run side by side on one
// TCurlRunner in this one thread.
//
// A request is started with what to do when it ends; the session's outcome
// fields (Code, Reply, ...) then describe it. Server replies are kept for the
// messages; the password is never kept (the PASS command is recorded masked).
#pragma once
#include <curl/curl.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "MirrorReader.h"
#include "Mirrors.h"

struct TFtpSettings {
    AnsiString NetrcFile;        // empty: libcurl's default, ~/.netrc
    AnsiString CaFile;           // empty: the system's certificate authorities (ftps://)
    long ConnectSeconds = 20;    // to connect, and to log in
    long StallSeconds = 60;      // a transfer or a reply that makes no progress for this long fails
    // CaFile, else $CURL_CA_BUNDLE, else $SSL_CERT_FILE, as curl's own tool
    // reads them; empty: libcurl's default store.
    AnsiString Authorities() const;
};

class TSha256;

class TMirrorSession : public TMirrorReader {
public:
    TMirrorSession(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings);
    ~TMirrorSession();
    TMirrorSession(const TMirrorSession&) = delete;
    TMirrorSession& operator=(const TMirrorSession&) = delete;

    // The folder's machine-readable listing (MLSD) into Body.
    void List(TThen then);
    // The names in the folder (NLST) into Body, one a line.
    void ListNames(TThen then);
    // The size of a file (SIZE) into Size; Missing when the server has no such file.
    void SizeOf(const AnsiString& name, TThen then) override;
    void Download(const AnsiString& name, int64_t limit, TThen then) override;
    void HashOf(const AnsiString& name, int64_t limit, TThen then) override;
    // A local file of `size` bytes stored as `name`; with `resumeFrom` > 0
    // only its bytes from there on are appended (APPE) to what the server holds.
    void Upload(const AnsiString& localPath, const AnsiString& name, int64_t size, int64_t resumeFrom, TThen then);
    // Commands sent in the mirror's folder (after the CWD), in order; the
    // first one that fails ends the request unless it starts with "*".
    void Commands(const std::vector<AnsiString>& commands, TThen then);

    const TMirror& Mirror() const { return FMirror; }
    bool Ok() const override { return Code == CURLE_OK; }
    // The request failed because the server does not know the command
    // (500, 502, 504) or its parameters (501).
    bool NotUnderstood() const;
    // The folder could not be entered (CWD refused; it may not exist yet).
    bool NoFolder() const { return Code == CURLE_REMOTE_ACCESS_DENIED && LastCommand.rfind("CWD ", 0) == 0; }
    // What went wrong, for people: the command and the server's reply to it
    // when it refused, else libcurl's words ("Failed to connect to ...").
    AnsiString Failure() const override;
    AnsiString EarlyStep() const override;

    CURLcode Code = CURLE_OK;
    int64_t Sent = 0;           // bytes of the current or last upload sent so far
    AnsiString Reply;           // the server's last reply line
    AnsiString LastCommand;     // the last command sent (PASS masked)

private:
    void Begin(const AnsiString& url, TThen then);
    void Finish(CURLcode code) override;
    static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
    static size_t OnDiscard(char* data, size_t size, size_t count, void* self);
    static size_t OnWrite(char* data, size_t size, size_t count, void* self);
    static size_t OnHash(char* data, size_t size, size_t count, void* self);
    static size_t OnRead(char* data, size_t size, size_t count, void* self);
    static int OnSeek(void* self, curl_off_t offset, int origin);

    TCurlRunner& FRunner;
    TMirror FMirror;
    TFtpSettings FSettings;
    CURL* FEasy;
    curl_slist* FCommands = nullptr;
    FILE* FUploadFile = nullptr;
    int64_t FLimit = 0, FRead = 0;
    std::unique_ptr<TSha256> FHash;
    TThen FThen;
    char FError[CURL_ERROR_SIZE] = "";
};

// The files of an MLSD listing ("type=file;size=12; name") with their sizes
// (-1 when the line gives none).
std::map<AnsiString, int64_t> ParseMlsd(const AnsiString& listing);
// The names of an NLST listing.
std::vector<AnsiString> ParseNameList(const AnsiString& listing);
