// What status asks of a mirror, whichever protocol it speaks: a small file
// whole, a file's size, and a file's SHA-256 read through without keeping
// its bytes. One request at a time; the outcome fields describe the last
// one when its `then` runs.
#pragma once
#include <functional>

#include "CurlRunner.h"
#include "platform/Classes.h"

class TMirrorReader : public TCurlRequest {
public:
    using TThen = std::function<void()>;
    // A file into Body, at most `limit` bytes; Missing when there is none.
    virtual void Download(const AnsiString& name, int64_t limit, TThen then) = 0;
    // The size of a file into Size; Missing when there is none.
    virtual void SizeOf(const AnsiString& name, TThen then) = 0;
    // The SHA-256 of a file's bytes into Digest, reading at most `limit`
    // bytes (more is a failure); Missing when there is none.
    virtual void HashOf(const AnsiString& name, int64_t limit, TThen then) = 0;

    virtual bool Ok() const = 0;
    // What went wrong, for people: the server's reply or libcurl's words.
    virtual AnsiString Failure() const = 0;
    // Where a failure happened when it was before the request itself:
    // "connect", "TLS" or "login"; empty otherwise.
    virtual AnsiString EarlyStep() const = 0;

    bool Missing = false;
    AnsiString Body;
    int64_t Size = -1;
    AnsiString Digest;
};
