// Drives a THttpSession from a test: opens it and runs one fetch at a time,
// each a bounded pump of the event loop, keeping what the session told.
#pragma once
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

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

namespace testing_support {

// Sets environment variables for the scope of a test (the session reads
// its proxies when it is made), and takes them away again.
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, std::string>> vars) {
        for (auto& v : vars) {
#ifdef _WIN32
            _putenv_s(v.first, v.second.c_str());
#else
            setenv(v.first, v.second.c_str(), 1);
#endif
            names_.push_back(v.first);
        }
    }
    ~ScopedEnv() {
#ifdef _WIN32
        for (const char* n : names_) _putenv_s(n, "");  // an empty value takes it away
#else
        for (const char* n : names_) unsetenv(n);
#endif
    }

private:
    std::vector<const char*> names_;
};

}  // namespace testing_support
