// TRimsock: what every socket component of this program shares: where to
// connect, the time-outs, the status trace, the events and the error texts.
// The connections themselves are an FTP session's (TFtpSession), which never
// waits; a component's blocking-style operations are one session operation
// and a wait for its end (EventLoop::WaitUntil), so there is one socket
// implementation, not two.
//
// A wait lets the program handle its events and blocks in the event loop
// while nothing is pending, so the window stays live and an idle wait uses
// no CPU; it ends on Canceled (Cancel or Abort, also from any handler that
// runs during the wait), and every wait counts as cancelled once the program
// is told to quit.
//
// Status texts go to OnStatus at level 1 (protocol lines), 4 (socket life
// events) and 8 (operation trace) when the level is within ReportLevel.
#pragma once
#include <cstdint>

#include "platform/EventLoop.h"

class ESockError : public Exception { using Exception::Exception; };
class EAbortError : public ESockError { using ESockError::ESockError; };

using TOnErrorEvent = std::function<void(TObject* Sender, uint16_t Errno, const AnsiString& Errmsg)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnStatus = std::function<void(TObject* Sender, const AnsiString& Status)>;

class TRimsock : public TComponent {
public:
    explicit TRimsock(TComponent* AOwner) : TComponent(AOwner) {}
    ~TRimsock() override;

    // Each returns when done or raises (ESockError, EAbortError, ...).
    virtual void Connect() = 0;
    virtual void Disconnect() = 0;
    virtual void Transaction(const AnsiString& Command, AnsiString& Reply) = 0;
    virtual void Abort();

    // Raises "Not Connected" unless connected; OnConnectionRequired may
    // connect first (it is asked once).
    void CheckConnection();
    void Cancel();
    void ReportStatus(int Level, const AnsiString& Text);
    // The text of a socket error: "10061:Connection refused", "Unknown
    // Error No. N", or empty for 0.
    void ErrorMessage(int E, AnsiString& Text);
    // The time-out that the waits use: the smaller positive one of TimeOut
    // and IdleTimeOut, 0 when neither is set.
    int EffectiveTimeOut() const;

    // Events (assigned = non-empty).
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    THandlerEvent OnConnectionRequired;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;

    bool Canceled = false;
    bool BeingDestroyed = false;
    int LastError = 0;
    int TimeOut = 0;  // milliseconds; 0 = none
    // A second limit on a silence, in milliseconds (0 = none): every wait
    // uses the smaller of the two. A caller that sets a very long TimeOut
    // for whole transfers keeps a stalled peer from holding a wait forever.
    int IdleTimeOut = 0;
    int ReportLevel = 1;
    AnsiString LastStatus;
    AnsiString Proxy;
    int ProxyPort = 0;
    bool TimedOut = false;
    int Port = 0;
    int64_t TransferSize = 0;  // for the FTP layer; the core never reads it
    // Reply and list lines longer than this are cut; the rest of such a line
    // is read and dropped, so a peer cannot make a line use more memory.
    static constexpr size_t kMaxLineLength = 8192;
    AnsiString Host;
    AnsiString LastReply;
    int ReplyNumber = 0;
    bool Connected = false;
};
