#include "WexFTP.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "FtpReplies.h"
#include "platform/FileSystem.h"
#include "platform/FileWriter.h"

namespace {

const char kControlClosed[] = "The server closed the control connection\r\n";

using TKind = TFtpSession::TFailure::TKind;
using TPhase = TFtpSession::TFailure::TPhase;

// NLST's names, split at CR, LF or CR LF; a last name without a line end
// counts too. Past the limits the listing fails.
class TNameSplitter {
public:
    explicit TNameSplitter(const TWexListItem& deliver) : FDeliver(deliver) {}
    void Take(const char* p, size_t n) {
        FBytes += static_cast<int64_t>(n);
        if (FBytes > TWexFTP::kMaxListBytes) throw FTPException("The name listing is larger than 64 MiB\r\n");
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i];
            if (c == '\n' && FAfterCR) {
                FAfterCR = false;
                continue;
            }
            FAfterCR = c == '\r';
            if (c == '\r' || c == '\n') End();
            else if (FName.size() < TRimsock::kMaxLineLength) FName += c;
        }
    }
    void End() {
        if (FName.empty()) return;
        if (++FNames > TWexFTP::kMaxListNames) throw FTPException("The name listing holds more than 1000000 names\r\n");
        AnsiString item;
        item.swap(FName);
        if (FDeliver) FDeliver(item);
    }

private:
    const TWexListItem& FDeliver;
    AnsiString FName;
    int64_t FBytes = 0, FNames = 0;
    bool FAfterCR = false;
};

// Runs a handler of the caller inside a session callback: an exception may
// not cross the event loop, so the first one is kept for the wait's end.
template <class F>
bool Guarded(std::exception_ptr& error, F&& f) {
    if (error) return false;
    try {
        f();
        return true;
    } catch (...) {
        error = std::current_exception();
        return false;
    }
}

constexpr UINT kSessionDropped = WM_USER + 1;

}  // namespace

TWexFTP::TWexFTP(TComponent* AOwner) : TRimsock(AOwner) {
    Port = 21;
    Vendor = 2411;
}

TWexFTP::~TWexFTP() {
    FSession.reset();
    FRetired.clear();
    if (FNoticeWindow) DestroyWindow(FNoticeWindow);
    TRimsock::Cancel();
}

LRESULT TWexFTP::NoticeProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<TWexFTP*>(GetWindowOwner(wnd));
    if (!self || msg != kSessionDropped) return DefWindowProc(wnd, msg, wParam, lParam);
    auto& retired = self->FRetired;
    retired.erase(std::remove_if(retired.begin(), retired.end(), [](const auto& r) { return !r->Dispatching(); }),
                  retired.end());
    if (!retired.empty()) PostMessage(wnd, kSessionDropped, 0, 0);  // one still runs: later
    if (!self->FInOperation && self->FSession && self->FSession->Broken()) self->Dropped(false);
    return 0;
}

// A fresh session with this component's settings: where to connect, the
// login's form (firewall, proxy), the status lines.
void TWexFTP::NewSession() {
    const bool proxied = !Proxy.empty();
    // Made with the first session: a component that never connects (the
    // window's, between attempts) holds no window of its own.
    if (!FNoticeWindow) FNoticeWindow = CreateMessageWindow(&TWexFTP::NoticeProc, this);
    if (FSession && FSession->Dispatching()) {
        FRetired.push_back(std::move(FSession));
        PostMessage(FNoticeWindow, kSessionDropped, 0, 0);
    }
    FSession = std::make_unique<TFtpSession>(proxied ? Proxy : Host, proxied ? ProxyPort : Port, UserID, Password,
                                             EffectiveTimeOut());
    TFtpSession& s = *FSession;
    s.TypeRequired = false;  // a refusal leaves the server's type as it was
    if (FWAuthenticate) s.Login.push_back({"USER " + FWUserID, FWPassword, false});
    if (proxied && FirewallType == FtOpen) s.Login.push_back({"OPEN " + Host, "", true});
    if (proxied && FirewallType == FtSite) s.Login.push_back({"SITE " + Host, "", true});
    // Through a proxy with FTUser, the joined user-and-host command is the USER.
    s.Login.push_back({"USER " + UserID + (proxied && FirewallType == FTUser ? "@" + Host : AnsiString()), Password,
                       false});
    s.OnLine = [this](const AnsiString& line) {
        ++FLinesSeen;
        ReportStatus(1, line);
    };
    s.OnResolved = [this] {
        if (OnHostResolved) Guarded(FHandlerError, [this] { OnHostResolved(this); });
    };
    s.OnBroken = [this](const AnsiString&, bool) {
        // A call that waits tells the break itself; a break it did not see
        // (the session went while the program was idle, or just after the
        // call's end) is told from the loop.
        if (!FInOperation) Connected = false;
        PostMessage(FNoticeWindow, kSessionDropped, 0, 0);
    };
}

std::unique_ptr<TFtpSession> TWexFTP::TakeSession() {
    if (!Connected || !FSession || !FSession->Ready() || FSession->Dispatching() || FInOperation) return nullptr;
    std::unique_ptr<TFtpSession> session = std::move(FSession);
    session->OnLine = nullptr;
    session->OnResolved = nullptr;
    session->OnBroken = nullptr;
    session->OnReady = nullptr;
    session->OnFetched = nullptr;
    session->OnClosed = nullptr;
    session->OnCommand = nullptr;
    session->OnDataBegin = nullptr;
    session->OnBytes = nullptr;
    Connected = false;
    FLinked = false;
    return session;
}

bool TWexFTP::Await(const std::function<bool()>& done) {
    FInOperation = true;
    FHandlerError = nullptr;
    // What the loop runs meanwhile may throw: the session, whose callbacks
    // know the caller's locals, goes before the exception leaves.
    auto giveUp = [this] {
        FInOperation = false;
        FSession->Abandon();
        Dropped(true);
    };
    // The deadline is the session's: its silence limit, counted from the
    // last command or block, breaks it, and a broken session ends `done`.
    // Once the program is told to quit, every wait counts as cancelled.
    bool finished = false;
    try {
        EventLoop::WaitUntil([&] {
            finished = done();
            return finished || FHandlerError || Canceled || Application->Terminated;
        });
    } catch (...) {
        giveUp();
        throw;
    }
    if (FHandlerError) {
        giveUp();
        std::rethrow_exception(std::exchange(FHandlerError, nullptr));
    }
    if (!finished) {
        Canceled = false;
        giveUp();
        return false;
    }
    FInOperation = false;
    // The loop may have run the notice of a break while the wait still ran
    // (a server that closes right after its last reply): told again from
    // the loop, unless the caller has told the break itself by then.
    if (FSession->Broken()) PostMessage(FNoticeWindow, kSessionDropped, 0, 0);
    return true;
}

void TWexFTP::TakeSettings() {
    using TPath = TFtpSession::TDataPath;
    FSession->DataPath = !Passive ? TPath::Active : PassiveFallback ? TPath::PassiveThenActive : TPath::Passive;
    FSession->IdleMilliseconds = EffectiveTimeOut();
}

void TWexFTP::QuitAndWait() {
    bool closed = false;
    FSession->OnClosed = [&closed] { closed = true; };
    TakeSettings();
    FSession->Quit(false);
    Await([&] { return closed; });
    FSession->OnClosed = nullptr;
}

TWexFTP::TFetchRun TWexFTP::RunFetch(const TFtpSession::TFetch& fetch, const std::function<void()>& onBegin,
                                     const std::function<void()>& onBytes) {
    TFtpSession& s = *FSession;
    TFetchRun run;
    bool ended = false;
    s.OnDataBegin = [&] {
        run.Begun = true;
        if (onBegin) onBegin();
    };
    s.OnBytes = [&](int64_t) {
        if (onBytes) onBytes();
    };
    s.OnFetched = [&](TFtpSession::TEnd, const AnsiString&) { ended = true; };
    TakeSettings();
    s.Fetch(fetch);
    run.Finished = Await([&] { return ended || s.Broken(); });
    s.OnDataBegin = nullptr, s.OnBytes = nullptr, s.OnFetched = nullptr;
    // The session's word, taken before any handler runs (one may replace it).
    run.Outcome = s.Outcome();
    run.Failure = s.Failure();
    run.Received = s.Received();
    if (!s.Passive()) Passive = false;  // the mode that worked is kept
    if (run.Finished) AfterOperation();
    return run;
}

void TWexFTP::Dropped(bool quiet) {
    Connected = false;
    if (!FLinked) return;
    FLinked = false;
    if (!quiet && !BeingDestroyed && OnDisconnect) OnDisconnect(this);
}

void TWexFTP::AfterOperation() {
    if (!FSession->Broken()) return;
    // A server that fell silent, or that went while the connection was put
    // back in step after a transfer, is let go quietly.
    Dropped(FSession->Failure().Kind == TKind::Silence || FSession->BrokeInResync());
}

void TWexFTP::RaiseSocketError(int error) {
    AnsiString message;
    ErrorMessage(error, message);
    LastError = error;
    if (OnError) OnError(this, static_cast<uint16_t>(error), message);
    throw ESockError(message);
}

void TWexFTP::Connect() {
    Canceled = false;
    if (Connected) return;
    TimedOut = false;
    if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
        bool handled = false;
        OnAuthenticationNeeded(handled);
    }
    for (bool firstPass = true;; firstPass = false) {
        Step = "connect";
        NewSession();
        bool ready = false;
        FSession->OnReady = [&ready] { ready = true; };
        FSession->Open();
        const bool finished = Await([&] { return ready || FSession->Broken(); });
        FSession->OnReady = nullptr;
        if (ready) break;
        const TFtpSession::TFailure failure = FSession->Failure();
        // A name that cannot be looked up may be mended by the handler once.
        if (finished && failure.Phase == TPhase::Lookup && failure.Kind == TKind::Lookup && firstPass &&
            OnInvalidHost) {
            bool handled = false;
            OnInvalidHost(handled);
            if (handled) continue;
        }
        FailConnect(failure, !finished);
    }
    FLinked = true;
    Connected = FSession->Ready();
    Step = "login";
    if (OnConnect) OnConnect(this);
}

// The connection or the login failed: the error the caller knows for it,
// after a QUIT to a server that is still there.
void TWexFTP::FailConnect(const TFtpSession::TFailure& failure, bool cancelled) {
    switch (failure.Phase) {
        case TPhase::Lookup:
            if (cancelled) throw ESockError("Host Lookup Canceled");
            if (failure.Kind == TKind::Silence) throw ESockError("Host Lookup Timed Out");
            throw ESockError("Null Remote Address");
        case TPhase::Connect:
            if (OnConnectionFailed) OnConnectionFailed(this);
            if (cancelled) throw ESockError("Connection Canceled");
            if (failure.Kind == TKind::Silence) {
                TimedOut = true;
                throw ESockError("Connection Timed out");
            }
            throw ESockError("Connection Failed");
        default:
            break;
    }
    Step = failure.Phase == TPhase::Greeting ? "greeting" : "login";
    FLinked = !cancelled;
    std::exception_ptr error;
    try {
        if (cancelled || failure.Kind == TKind::Silence) {
            TimedOut = !cancelled;
            throw EAbortError("Socket readln aborted");
        }
        if (OnConnectionFailed) OnConnectionFailed(this);
        if (failure.Kind == TKind::Socket) RaiseSocketError(failure.Error);
        throw FTPException(failure.Kind == TKind::Closed ? AnsiString(kControlClosed) : failure.Line);
    } catch (...) {
        error = std::current_exception();
    }
    // A server that said no gets its QUIT; one that stopped answering, none.
    if (!cancelled && failure.Kind != TKind::Silence) QuitAndWait();
    Dropped(false);
    ReportStatus(1, "Disconnected");
    std::rethrow_exception(error);
}

void TWexFTP::Disconnect() {
    Canceled = false;
    if (!Connected || !FSession) return;
    Vendor = 2411;
    QuitAndWait();
    Dropped(false);
}

void TWexFTP::Transaction(const AnsiString& Command, AnsiString& Reply) {
    Canceled = false;
    CheckConnection();
    ReplyNumber = 0;
    bool answered = false;
    FSession->OnCommand = [&](int, const AnsiString& first) {
        answered = true;
        LastReply = first;
    };
    TakeSettings();
    FSession->Command(Command);
    const bool finished = Await([&] { return answered || FSession->Broken(); });
    FSession->OnCommand = nullptr;
    if (!finished) throw EAbortError("Socket readln aborted");
    AfterOperation();
    if (!answered) {
        TimedOut = FSession->Failure().Kind == TKind::Silence;
        if (TimedOut) throw EAbortError("Socket readln aborted");
        LastReply.clear();
    }
    ReplyNumber = LeadingNumber(LastReply);
    Reply = LastReply;
}

void TWexFTP::Abort() { Cancel(); }

int64_t TWexFTP::ReceivedCount() const { return FSession ? FSession->Received() : 0; }

int64_t TWexFTP::ParseByteCount(const AnsiString& Line) { return ::ParseByteCount(Line); }

bool TWexFTP::ParsePassivePort(const AnsiString& Reply, int& Port) { return ::ParsePassivePort(Reply, Port); }

bool TWexFTP::ApplyFailureRule(const AnsiString& Reply) {
    if (!OnFailure) throw FTPException(Reply);
    bool handled = false;
    OnFailure(handled, CtUpload);
    if (handled) return true;
    throw FTPException(Reply);
}

// After a transfer that did not end well: the failure rule for what the
// server said (a listing raises it), an exception for the rest.
void TWexFTP::ReportTransferFailure(bool listing, const TFtpSession::TFailure& f, const AnsiString& why) {
    auto told = [&](const AnsiString& text) {
        if (listing) throw FTPException(text);
        ApplyFailureRule(text);
    };
    switch (f.Kind) {
        case TKind::Reply:
        case TKind::Text:
            return told(f.Line);
        case TKind::Closed:
            return told(kControlClosed);
        case TKind::Socket: {
            // Mostly the data connection's, whose errors were never the
            // component's OnError.
            AnsiString message;
            ErrorMessage(f.Error, message);
            LastError = f.Error;
            throw ESockError(message);
        }
        case TKind::NoConnection:
            throw ESockError("Connection Failed");
        case TKind::Silence:
            TimedOut = true;
            throw EAbortError(listing ? "Socket readln aborted" : "Socket send aborted");
        default:
            return told(why.empty() ? AnsiString(kControlClosed) : why);
    }
}

void TWexFTP::Download(const AnsiString& RemoteFile, const AnsiString& LocalFile) {
    Step = "download " + RemoteFile;
    try {
        Canceled = false;
        TimedOut = false;
        CheckConnection();
        RestartedAt = 0;
        TransferSize = 0;
        TOutputFile file(LocalFile.empty() ? RemoteFile : LocalFile);
        std::exception_ptr localError;
        TFtpSession::TFetch f;
        f.Remote = RemoteFile;
        f.Offset = RestartAt > 0 ? RestartAt : 0;
        f.RestartMayFail = true;  // anything but 350 means from byte 0
        f.MaxBytes = SizeLimit;
        f.Expected = ExpectedSize;
        f.Sink = [&](const char* p, size_t n, AnsiString& why) {
            const bool ok = Guarded(localError, [&] {
                file.Write(p, n);
                if (OnChunk) OnChunk(p, n);
            });
            if (!ok) why = "the download cannot be kept";
            return ok;
        };
        const TFetchRun run = RunFetch(
            f,
            [&] {
                RestartedAt = FSession->RestartedAt();
                TransferSize = FSession->Announced();
                Guarded(localError, [&] {
                    file.Open(RestartedAt);
                    if (OnTransactionStart) OnTransactionStart(this);
                    if (OnChunksBegin) OnChunksBegin(RestartedAt);
                });
            },
            [&] {
                if (OnPacketRecvd) Guarded(localError, [&] { OnPacketRecvd(this); });
            });
        if (run.Begun) {
            file.Close(!localError);
            if (OnTransactionStop) OnTransactionStop(this);
            TransferSize = run.Received;
            ReportStatus(1, "Received " + IntToStr(TransferSize) + " Bytes");
        }
        if (localError) std::rethrow_exception(localError);
        if (!run.Finished) throw EAbortError("Socket send aborted");
        const TFtpSession::TOutcome& o = run.Outcome;
        // More than the caller can use: it sees the size mismatch.
        if (o.Decided && o.End == TFtpSession::TEnd::Overflow) return;
        if (!o.Decided || o.End != TFtpSession::TEnd::Done) {
            ReportTransferFailure(false, run.Failure, o.Why);
            return;  // handled by OnFailure
        }
        if (OnTransactionStop) OnTransactionStop(this);
        if (OnSuccess) OnSuccess(CtUpload);
    } catch (...) {
        bool handled = false;
        if (OnFailure) OnFailure(handled, CtUpload);
        if (handled) return;
        throw;
    }
}

void TWexFTP::NList() {
    Step = "listing";
    Canceled = false;
    TimedOut = false;
    CheckConnection();
    TransferSize = 0;
    TNameSplitter names(OnListItem);
    std::exception_ptr localError;
    TFtpSession::TFetch f;
    f.Listing = true;
    f.Sink = [&](const char* p, size_t n, AnsiString& why) {
        const bool ok = Guarded(localError, [&] { names.Take(p, n); });
        if (!ok) why = "the listing cannot be kept";
        return ok;
    };
    const TFetchRun run = RunFetch(f, [&] {
        TransferSize = FSession->Announced();
        if (OnTransactionStart) Guarded(localError, [&] { OnTransactionStart(this); });
    });
    if (run.Begun) {
        if (OnTransactionStop) OnTransactionStop(this);
        // Names are read as lines, which the byte count of a download does
        // not see: a listing reports none.
        TransferSize = 0;
        ReportStatus(1, "Received 0 Bytes");
    }
    if (localError) std::rethrow_exception(localError);
    if (!run.Finished) throw EAbortError("Socket readln aborted");
    const TFtpSession::TOutcome& o = run.Outcome;
    if (!o.Decided || o.End != TFtpSession::TEnd::Done) return ReportTransferFailure(true, run.Failure, o.Why);
    names.End();
    if (OnSuccess) OnSuccess(CtNList);
}

// Waits about a second (1.1e-5 of a day) for anything the server says (the
// session reports it as it comes).
void TWexFTP::WaitForReply() {
    Canceled = false;
    const int seen = FLinesSeen;
    EventLoop::WaitUntil([&] { return FLinesSeen != seen || Application->Terminated; }, 1.1e-5 * 86400);
}
