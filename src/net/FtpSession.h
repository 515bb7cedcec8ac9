// One FTP session (RFC 959) as a state machine on socket and timer events:
// it never waits itself, so many sessions share the one event loop. The
// transfer pool keeps a few per mirror.
//
// Open connects and logs in (USER, PASS, TYPE I); OnReady follows, or
// OnBroken. Fetch, while Ready, brings a file or a range of it in passive
// mode: PASV, the data connection, REST when the range starts past byte 0,
// RETR. A range that ends before the file does is ended after its bytes:
// the data connection is closed, then ABOR and NOOP put the control
// connection back in step (everything up to the NOOP's 200 is the transfer's
// and the abort's). OnFetched tells how the fetch ended; the session is
// Ready again after a fetch that was done or refused.
//
// Any silence longer than the idle time-out while a reply or data is due,
// a closed or reset connection, or a reply out of step ends the session:
// OnBroken, and the session stays dead. Callbacks may call Fetch; they must
// not destroy the session (let it go on a later pass of the loop).
#pragma once
#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <memory>

#include "platform/Classes.h"
#include "platform/EventLoop.h"

class TFtpSession {
public:
    struct TFetch {
        AnsiString Remote;
        int Fd = -1;                    // the bytes go here, from Offset on (pwrite) ...
        AnsiString* Memory = nullptr;   // ... or here
        int64_t Offset = 0;             // REST when above 0
        int64_t Length = -1;            // the bytes wanted; -1: all the server has
        bool EndsFile = true;           // the range runs to the file's end: no abort needed
        int64_t MaxBytes = -1;          // with Length -1: more than this fails the fetch
    };
    enum class TEnd { Done, Refused, Failed };

    TFtpSession(const AnsiString& host, int port, const AnsiString& user, const AnsiString& password,
                int idleMilliseconds);
    ~TFtpSession();
    TFtpSession(const TFtpSession&) = delete;
    TFtpSession& operator=(const TFtpSession&) = delete;

    void Open();
    void Fetch(const TFetch& fetch);
    // Ends a Ready session politely (QUIT) and calls OnClosed once the server
    // has closed it, so that the server counts the session gone; any other
    // session is closed at once.
    void Quit();
    std::function<void()> OnClosed;
    bool Ready() const { return FState == TState::Ready; }
    bool Broken() const { return FState == TState::Broken; }

    std::function<void()> OnReady;
    // Done: Length bytes (or all the server had) arrived and the server
    // confirmed them. Refused: a 5xx reply to REST or RETR. Failed: a 4xx,
    // fewer or more bytes than wanted, a local write that failed.
    std::function<void(TEnd end, const AnsiString& why)> OnFetched;
    // `login`: the server refused the login or the connection (a limit of
    // sessions, a wrong user), as opposed to a session that broke later.
    std::function<void(const AnsiString& why, bool login)> OnBroken;
    std::function<void(int64_t bytes)> OnBytes;  // each block of data written

    static constexpr int64_t kMaxReplyLine = 8192;

private:
    enum class TState {
        Idle, Resolving, Connecting, Greeting, User, Pass, Type, Ready,
        Passive, DataConnecting, Restart, Retrieve, Transfer, Aborting, Quitting, Broken
    };
    static LRESULT WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void OnControlEvent(int event, int error);
    void OnDataEvent(int event, int error);
    void OnLookup(int error);
    void OnTick();
    void StartConnect();
    void ReadControl();
    void OnReply(int code, const AnsiString& text);
    void Send(const AnsiString& command, TState next);
    void ReadData();
    void DataEnded();
    void MaybeFinish();
    void EndFetch(TEnd end, const AnsiString& why);
    void Break(const AnsiString& why, bool login = false);
    void CloseData();
    void Closed();
    void Touch() { FLastActivity = std::chrono::steady_clock::now(); }

    AnsiString FHost, FUser, FPassword;
    int FPort;
    int FIdleMs;
    HWND FWindow = 0;
    int FControl = -1, FData = -1;
    sockaddr_in FAddr{};
    std::unique_ptr<char[]> FLookup;
    intptr_t FLookupHandle = 0;
    TState FState = TState::Idle;
    AnsiString FLineBuffer, FReplyText;
    int FReplyCode = -1;
    bool FMultiLine = false, FLineTooLong = false;
    TFetch FFetch;
    int64_t FReceived = 0;
    bool FDataClosed = false, FFinalReply = false, FQuiet = false;
    int FFinalCode = 0;
    AnsiString FFinalText;
    std::unique_ptr<char[]> FBuffer;
    std::chrono::steady_clock::time_point FLastActivity;
};
