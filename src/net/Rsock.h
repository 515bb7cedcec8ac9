// TRimsock: one TCP stream socket with blocking-style operations for a
// single-threaded windowed program.
//
// Every wait (connect, lookup, read, line, capture, accept) lets the program
// handle its events, and blocks in the event loop while nothing is pending,
// so the window stays live and an idle wait uses no CPU. A wait ends on the
// flags that the handlers set: Connected, LastEventOk and AsyncDone (socket
// notifications), TimedOut (the time-out timer) and Canceled (Cancel or
// Abort, also from any handler that runs during the wait).
//
// Status texts go to OnStatus at level 1 (protocol lines), 4 (socket life
// events) and 8 (operation trace) when the level is within ReportLevel.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <memory>

#include "ThreadTimer.h"
#include "platform/StringList.h"
#include "platform/Winsock.h"

class ESockError : public Exception { using Exception::Exception; };
class EAbortError : public ESockError { using ESockError::ESockError; };

using TOnErrorEvent = std::function<void(TObject* Sender, uint16_t Errno, const AnsiString& Errmsg)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnStatus = std::function<void(TObject* Sender, const AnsiString& Status)>;

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

constexpr UINT SocketMessage = 1125;  // events of the component's socket
constexpr UINT LookupMessage = 1126;  // host lookup done; accept of Listen(true)

// Live socket components; the socket library is started at 0 -> 1.
extern int WinsockUseCount;

// Field N (from 1) of S split at D; N < 1 or an empty S gives "".
AnsiString ExtractField(const AnsiString& S, char D, int N);

class TRimsock : public TComponent {
public:
    explicit TRimsock(TComponent* AOwner);
    ~TRimsock() override;

    virtual Winsock::SOCKET Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual void Transaction(const AnsiString& Command, AnsiString& Reply);
    virtual void Abort();

    void CheckConnection();
    void Cancel();
    void SendBuffer(const char* P, int N);
    void Write(const AnsiString& S);
    void Writeln(const AnsiString& S);
    AnsiString Read(int N);
    AnsiString ReadLn();
    void CaptureFile(const AnsiString& FileName);
    bool DataAvailable();
    void ClearInput();
    void CloseSocket();
    void ReportStatus(int Level, const AnsiString& Text);
    void CheckError(int Ignore, AnsiString& Message);
    void ErrorMessage(int E, AnsiString& Text);
    void Listen(bool UseLookup);
    AnsiString PortAddressText();
    AnsiString PortNumberText();
    void HandleSocketMessage(TMessage& M);
    // The time-out that the waits use: the smaller positive one of TimeOut
    // and IdleTimeOut, 0 when neither is set.
    int EffectiveTimeOut() const;
    // Closes the socket without OnDisconnect (the caller gave up on it).
    void CloseQuietly();

    // Events (assigned = non-empty).
    TNotifyEvent OnDataReady;
    TNotifyEvent OnAccept;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    THandlerEvent OnConnectionRequired;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;

    std::unique_ptr<TStringList> WinsockInfo;
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
    TThreadTimer* Timer = nullptr;
    bool LastEventOk = true;
    bool TimedOut = false;
    int Port = 0;
    int64_t TransferSize = 0;   // for the FTP layer; the core never reads it
    int64_t BytesReceived = 0;  // written by the current or last CaptureFile
    // CaptureFile stops as soon as more than this many bytes arrived (-1: no
    // limit) and sets ReceiveOverflow; the caller's size check then fails.
    int64_t MaxReceive = -1;
    bool ReceiveOverflow = false;
    // CaptureFile keeps the first StartOffset bytes of the file and appends
    // (a transfer that restarts where an earlier one stopped).
    int64_t StartOffset = 0;
    // Asked on every idle pass of CaptureFile; true ends the capture early
    // (for instance when the control connection reports a failed transfer).
    std::function<bool()> StopCapture;
    bool CaptureStopped = false;
    // Sees every block that CaptureFile writes, in order (a hash of the file
    // can so be taken as it arrives).
    std::function<void(const char* data, size_t n)> OnChunk;
    // The peer has closed its side (set by the close notification, also
    // while data is still pending) and the error that close carried.
    bool PeerClosed = false;
    int CloseError = 0;
    // Listen binds to this address (network order; INADDR_ANY by default)
    // and Accept takes connections only from AcceptFrom (0: from anyone);
    // any other is closed and the wait goes on.
    uint32_t ListenAddress = 0;
    uint32_t AcceptFrom = 0;
    // Reply and list lines longer than this are cut; the rest of such a line
    // is read and dropped, so a peer cannot make a line use more memory.
    static constexpr size_t kMaxLineLength = 8192;
    bool AsyncDone = false;
    Winsock::WSADATA WinsockData{};
    sockaddr_in RemoteAddr{};
    AnsiString Host;
    AnsiString LastReply;
    int ReplyNumber = 0;
    Winsock::SOCKET SocketHandle = Winsock::INVALID_SOCKET;
    HWND NotifyWindow = 0;
    bool Connected = false;

protected:
    char Buffer[65540];
    // CaptureFile's block, made at its first use.
    static constexpr size_t kCaptureBlock = 1 << 20;
    std::unique_ptr<char[]> FCaptureBuffer;
    void TimerOn();
    void TimerOff();
    void ResetPeerState();
    // One pass of a wait (blocking while nothing is pending, or not).
    void LetEventsRun(bool block);
    void WaitPass();

private:
    static LRESULT SocketWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void InitWinsock();
    void ResolveHost();
    void TimerTriggered(TObject* Sender);
    void AskForNotifications();
    void CancelLookup();
    void ReleaseHandles();
    bool FQuietClose = false;
    // Clears Canceled and raises EAbortError(text) when it was set.
    void RaiseIfCanceled(const char* text);

    std::unique_ptr<char[]> LookupBuffer;
    Winsock::HANDLE LookupHandle = 0;
};
