#include "WebPlanSession.h"

#include "platform/EventLoop.h"

namespace {
// However long a list takes to arrive, a run never waits on one for longer
// than this; the session's silence limit ends a stalled one much sooner.
const double kLongestListSeconds = 30 * 60;
}

TWebPlanSession::TWebPlanSession(const TServerLine& server, int silence)
    : FSession(std::make_unique<THttpSession>(server.Host, silence)), FTimeOut(server.TimeOut) {}

TWebPlanSession::~TWebPlanSession() {
    if (FSession) FSession->Abandon();
}

bool TWebPlanSession::Open(const std::function<bool()>& stopped, AnsiString& why) {
    bool broken = false;
    FSession->OnBroken = [&](const AnsiString& reason, bool) {
        broken = true;
        why = reason;
    };
    FSession->Open();
    const bool answered = EventLoop::WaitUntil(
        [&] { return broken || FSession->Ready() || stopped(); }, FTimeOut > 0 ? FTimeOut / 1000.0 : 30.0);
    FSession->OnBroken = nullptr;
    if (FSession->Ready()) return true;
    if (!answered && !stopped()) why = "no answer within " + IntToStr(FTimeOut) + " ms";
    return false;
}

AnsiString TWebPlanSession::Fetch(const AnsiString& remote, int64_t limit, const std::function<bool()>& stopped) {
    if (!FSession || !FSession->Ready()) throw EInOutError("The connection to the server is gone");
    AnsiString bytes, why;
    bool ended = false, broken = false;
    TFetchSession::TEnd end = TFetchSession::TEnd::Failed;
    FSession->OnFetched = [&](TFetchSession::TEnd e, const AnsiString& reason) {
        ended = true;
        end = e;
        why = reason;
    };
    FSession->OnBroken = [&](const AnsiString& reason, bool) {
        broken = true;
        if (why.empty()) why = reason;
    };
    TFetchSession::TFetch f;
    f.Remote = remote;
    f.Memory = &bytes;
    f.MaxBytes = limit;
    FSession->Fetch(f);
    EventLoop::WaitUntil([&] { return ended || broken || stopped(); }, kLongestListSeconds);
    FSession->OnFetched = nullptr;
    FSession->OnBroken = nullptr;
    if (ended && end == TFetchSession::TEnd::Done) return bytes;
    if (ended && end == TFetchSession::TEnd::Refused) throw EFileNotServed(remote + ": " + why);
    if (ended && end == TFetchSession::TEnd::Overflow)
        throw EInOutError("The server's " + remote + " is larger than any real one");
    if (stopped()) throw EInOutError("stopped");
    throw EInOutError(remote + ": " + (why.empty() ? AnsiString("no answer") : why));
}

TListDownload TWebPlanSession::Download(const std::function<bool()>& stopped) {
    return [this, stopped](const AnsiString& remote, int64_t limit) { return Fetch(remote, limit, stopped); };
}

std::unique_ptr<TFetchSession> TWebPlanSession::Take() {
    if (!FSession || !FSession->Ready()) return nullptr;
    return std::move(FSession);
}
