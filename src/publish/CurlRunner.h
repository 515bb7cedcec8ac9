// The one libcurl multi handle on which the publisher's requests to every
// mirror, FTP and web alike, run side by side in this one thread. A request
// is an easy handle of a TCurlRequest: started with Add, it ends in the
// request's Finish, which may start the next one.
#pragma once
#include <curl/curl.h>

#include <functional>

class TCurlRunner;

class TCurlRequest {
public:
    virtual ~TCurlRequest() = default;

protected:
    friend class TCurlRunner;
    // Called once per request, from Run, when libcurl is done with it.
    virtual void Finish(CURLcode code) = 0;
};

class TCurlRunner {
public:
    TCurlRunner();
    ~TCurlRunner();
    TCurlRunner(const TCurlRunner&) = delete;
    TCurlRunner& operator=(const TCurlRunner&) = delete;
    // `easy` runs for `request` until Run hands its end to request.Finish.
    void Add(CURL* easy, TCurlRequest& request);
    // Takes back a request still running (its owner goes before it ends).
    void Remove(CURL* easy);
    // Runs the started requests, and those their endings start, until none
    // is left; `tick` is called at least every `tickSeconds` meanwhile.
    void Run(const std::function<void()>& tick, double tickSeconds = 0.2);

private:
    CURLM* FMulti;
    int FActive = 0;
};
