// A web mirror read as players' updaters read it, through libcurl: plain
// GETs with "Accept-Encoding: identity", sizes from a one-byte Range (which
// also tells whether the server sends ranges, as resumed and segmented
// downloads need), at most five redirections and never from https down to
// http, certificates checked against the system's store or
// TFtpSettings::Authorities(), proxies from the environment as curl reads
// them. Nothing is written: HTTP serves, FTP is for uploads.
//
// A web server cannot list a folder: only the names asked for are seen.
#pragma once
#include <curl/curl.h>

#include <memory>

#include "MirrorReader.h"
#include "MirrorsFtp.h"

class TWebSession : public TMirrorReader {
public:
    static constexpr int kMaxRedirects = 5;
    TWebSession(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings);
    ~TWebSession() override;
    TWebSession(const TWebSession&) = delete;
    TWebSession& operator=(const TWebSession&) = delete;

    void Download(const AnsiString& name, int64_t limit, TThen then) override;
    // Asks for the first byte alone: Size from Content-Range (206, or 416 for
    // an empty file), or from Content-Length when the server answers with
    // the whole file instead (NoRanges is then set, and no more is read).
    void SizeOf(const AnsiString& name, TThen then) override;
    void HashOf(const AnsiString& name, int64_t limit, TThen then) override;

    bool Ok() const override { return Code == CURLE_OK && FProblem.empty(); }
    AnsiString Failure() const override;
    AnsiString EarlyStep() const override;

    CURLcode Code = CURLE_OK;
    int Status = 0;          // of the last answer (after redirections)
    bool NoRanges = false;   // a one-byte Range was answered with the whole file

private:
    enum class TWant { Body, Size, Hash };
    void Begin(const AnsiString& name, TWant want, int64_t limit, TThen then);
    void Finish(CURLcode code) override;
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnWrite(char* data, size_t size, size_t count, void* self);

    TCurlRunner& FRunner;
    TMirror FMirror;
    TFtpSettings FSettings;
    CURL* FEasy;
    curl_slist* FHeaders = nullptr;
    TWant FWant = TWant::Body;
    AnsiString FName;
    int64_t FLimit = 0, FRead = 0;
    std::unique_ptr<TSha256> FHash;
    // Of the answer being read (a redirection starts them afresh).
    AnsiString FStatusLine, FEncoding, FContentRange, FLocation;
    bool FStoppedAtWill = false;  // the write callback ended a transfer whose bytes were not wanted
    AnsiString FProblem;          // a failure of ours, in the server's answer
    TThen FThen;
    char FError[CURL_ERROR_SIZE] = "";
};

// "bytes 0-0/1234" and "bytes */1234": the total, -1 when there is none.
int64_t TotalOfContentRange(const AnsiString& value);
