// A web mirror as the server the plan is made from: its session opened and
// the list's files fetched whole into memory, each a wait on the loop with
// the line's deadlines (as the FTP component waits); then the session goes
// to the run's pool as its first, so that a vendor whose mirrors are all
// web servers (a CDN) serves players with no FTP server at all.
#pragma once
#include <functional>
#include <memory>

#include "RunSession.h"
#include "ServerLine.h"
#include "net/HttpSession.h"

// The server answered that the file is not there (404, 410, 403).
class EFileNotServed : public EInOutError { using EInOutError::EInOutError; };

class TWebPlanSession {
public:
    // `silence`: how long the server may stay silent once it answered (ms).
    TWebPlanSession(const TServerLine& server, int silence);
    ~TWebPlanSession();
    // Connects (and shakes hands) within the line's time-out; false, with
    // `why`, when it cannot, or when `stopped` says so.
    bool Open(const std::function<bool()>& stopped, AnsiString& why);
    // Downloads through this session; raises EFileNotServed for a file the
    // server does not have, EInOutError for any other failure.
    TListDownload Download(const std::function<bool()>& stopped);
    // For the run's pool, once the list is taken.
    std::unique_ptr<TFetchSession> Take();

private:
    AnsiString Fetch(const AnsiString& remote, int64_t limit, const std::function<bool()>& stopped);
    std::unique_ptr<THttpSession> FSession;
    int FTimeOut;
};
