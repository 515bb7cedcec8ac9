// Drives a THttpSession from a test: opens it and runs one fetch at a time,
// each a bounded pump of the event loop, keeping what the session told.
#pragma once
#include <string>

#include "TestSupport.h"
#include "net/HttpSession.h"

namespace testing_support {

struct HttpDriver {
    using TEnd = TFetchSession::TEnd;
    THttpSession session;
    bool ready = false, broken = false, login = false, fetched = false;
    TEnd end = TEnd::Failed;
    std::string why, data;

    explicit HttpDriver(const std::string& url, int idleMilliseconds = 5000) : session(url, idleMilliseconds) {
        session.OnReady = [this] { ready = true; };
        session.OnBroken = [this](const AnsiString& w, bool l) { broken = true, login = l, why = w; };
        session.OnFetched = [this](TEnd e, const AnsiString& w) { fetched = true, end = e, why = w; };
    }
    bool Open() {
        session.Open();
        PumpUntil([this] { return ready || broken; }, 10);
        return ready;
    }
    // Into `data` (cleared first) unless the fetch names a sink or a file.
    // False when the session broke instead of ending the fetch.
    bool Get(TFetchSession::TFetch f) {
        fetched = false;
        data.clear();
        if (f.Fd < 0 && !f.Sink && !f.Memory) f.Memory = &data;
        session.Fetch(f);
        PumpUntil([this] { return fetched || broken; }, 10);
        return fetched;
    }
    bool Get(const std::string& remote, int64_t offset = 0, int64_t length = -1, bool endsFile = true) {
        TFetchSession::TFetch f;
        f.Remote = remote;
        f.Offset = offset;
        f.Length = length;
        f.EndsFile = endsFile;
        return Get(f);
    }
};

}  // namespace testing_support
