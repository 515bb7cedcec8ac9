// One FTP session (RFC 959) as a state machine on socket and timer events:
// it never waits itself, so many sessions share the one event loop. The
// transfer pool keeps a few per mirror; the FTP component (TWexFTP) keeps
// one and waits on it, which gives its blocking-style calls.
//
// Open connects and logs in: the greeting (a 1xx is followed by the real
// one), the login steps (USER and PASS, or a proxy's forms), TYPE I; OnReady
// follows, or OnBroken. Fetch, while Ready, brings a file, a range of it or
// a name listing over a data connection: passive (PASV, a connection to the
// host we talk to at the port the reply names) or active (a listening socket
// where the server can reach us, PORT, the server's connection taken only
// from the server's address), REST when the range starts past byte 0, then
// RETR or NLST. A fetch that ends before the server's final reply (a range
// that ends before the file does, a size limit, a failure of ours) puts the
// control connection back in step: the data connection is closed, then ABOR
// and, once ABOR has its final reply, NOOP; everything up to the NOOP's 200
// is the transfer's and the abort's. A 4xx to PASV (passive ports all busy)
// is asked once more after a moment; with PassiveThenActive a second one, a
// 5xx or a passive connection that cannot be made turns the session active.
// OnFetched tells how the fetch ended; the session is Ready again after it,
// unless it broke.
//
// A reply is due within the idle time-out from the command that asked for
// it (a reply that trickles in does not restart the count), data within it
// from the last block; a cut transfer is put back in step (ABOR, its final
// reply, then NOOP) within a few seconds. Missing any of these, a closed or
// reset connection, a reply line longer than kMaxReplyLine, or a reply out
// of step ends the session:
// OnBroken, and the session stays dead. Failure() then tells what happened
// in terms the component turns into its errors. Callbacks may call Fetch;
// they must not destroy the session (let it go on a later pass of the loop).
#pragma once
#include "platform/SocketAddress.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "FetchSession.h"
#include "platform/Classes.h"
#include "platform/EventLoop.h"

class TFtpSession : public TFetchSession {
public:
    // One command of the login. A USER-like step wants a 2xx, or a 331 and
    // then a 2xx to PASS; a proxy's OPEN or SITE step takes any reply.
    struct TLoginStep {
        AnsiString Command;
        AnsiString Password;
        bool AnyReply = false;
    };
    enum class TDataPath { Passive, Active, PassiveThenActive };
    // The fetch, its ends and its outcome are every session's (FetchSession.h).
    using TFetch = TFetchSession::TFetch;
    using TEnd = TFetchSession::TEnd;
    using TOutcome = TFetchSession::TOutcome;
    // What ended the last operation, for the component's words.
    struct TFailure {
        enum class TKind { None, Reply, Closed, Silence, Socket, Lookup, NoConnection, Local, Text };
        TKind Kind = TKind::None;
        AnsiString Line;        // Reply: the server's line as it came (with its line end); Text, Local: the words
        int Error = 0;          // Socket: the socket error number
        // Where it happened: looking up the host, connecting, the greeting,
        // the login, or later.
        enum class TPhase { Lookup, Connect, Greeting, Login, Session };
        TPhase Phase = TPhase::Session;
    };

    TFtpSession(const AnsiString& host, int port, const AnsiString& user, const AnsiString& password,
                int idleMilliseconds);
    ~TFtpSession() override;

    // Before Open: the login steps (by default USER and PASS), whether a
    // refused TYPE I ends the session, and the data path.
    std::vector<TLoginStep> Login;
    bool TypeRequired = true;
    TDataPath DataPath = TDataPath::Passive;

    void Open() override;
    // REST when Offset is above 0; with RestartMayFail a REST the server
    // does not take (no 350) means from byte 0, which RestartedAt() tells.
    // A range that does not end the file is cut off with ABOR.
    void Fetch(const TFetch& fetch) override;
    // One command and its whole reply (OnCommand), while Ready.
    void Command(const AnsiString& command);
    // Ends the session politely (QUIT) and calls OnClosed once the server
    // has closed it, so that the server counts the session gone (or, with
    // untilClosed false, once it has answered); a session that is neither
    // Ready nor refused at the login is closed at once.
    void Quit(bool untilClosed = true) override;
    // Closes everything now, with no word to anyone.
    void Abandon() override;
    bool Ready() const override { return FState == TState::Ready; }
    bool Broken() const override { return FState == TState::Broken; }
    bool Closing() const { return FState == TState::Quitting; }
    // Inside one of this session's handlers (a callback runs): the session
    // may not be destroyed now.
    const TFailure& Failure() const { return FFailure; }
    const TOutcome& Outcome() const override { return FOutcome; }
    // The session broke while it put the control connection back in step
    // after a fetch (ABOR, NOOP).
    bool BrokeInResync() const { return FBrokeInResync; }
    // The last fetch, of a range to the file's end, failed because the
    // server's file has another size: it confirmed fewer bytes, or sent more.
    bool OtherSize() const { return FOtherSize; }
    // Of the current or last fetch: the size the server announced (0: none),
    // the offset the server restarted at, the bytes that arrived.
    int64_t Announced() const { return FAnnounced; }
    int64_t RestartedAt() const { return FRestartedAt; }
    int64_t Received() const { return FReceived; }
    // True while passive mode is in use (PassiveThenActive turns to active
    // for good after the first PASV that fails).
    bool Passive() const { return DataPath != TDataPath::Active; }

    // OnFetched's ends here: Done, Length bytes (or all the server had)
    // arrived and the server confirmed them; Refused, a 5xx reply to REST or
    // RETR; Failed, a 4xx, fewer or more bytes than wanted, a local write
    // that failed.
    std::function<void()> OnResolved;  // the host name was looked up
    std::function<void(int code, const AnsiString& firstLine)> OnCommand;
    std::function<void()> OnDataBegin;           // the data are about to flow
    // Every command sent (a password never) and every reply line received.
    std::function<void(const AnsiString& line)> OnLine;

    static constexpr int64_t kMaxReplyLine = 8192;

private:
    enum class TState {
        Idle, Resolving, Connecting, Greeting, Login, Password, Type, Ready, Commanding,
        Port, Passive, PassiveWait, DataConnecting, Restart, Retrieve, Transfer, Aborting, Quitting, Broken
    };
    static LRESULT WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnControlEvent(int event, int error);
    void OnDataEvent(int event, int error);
    void OnListenEvent(int event, int error);
    void OnLookup(int error);
    void OnTick();
    void StartConnect();
    void ReadControl();
    void OnReply(int code, const AnsiString& first);
    void OnTransferReply(int code, const AnsiString& first);
    void Refuse(const AnsiString& first, const AnsiString& why);
    void NextLoginStep();
    void Send(const AnsiString& command, TState next, const AnsiString& shown = "");
    // What every operation starts with: a clean failure, the tick at the
    // current silence limit, and no unasked lines left to pair with it.
    void BeginOperation();
    void OpenDataPath();
    void OpenActive();
    void OpenPassiveData(int port);
    void TurnActive();
    void RetryPassive();
    void SendRetrieve();
    void BeginData();
    void ReadData();
    void DataEnded();
    void MaybeFinish();
    void Settle(TEnd end, const AnsiString& why);
    void EndFetch(TEnd end, const AnsiString& why);
    void Fail(TFailure::TKind kind, const AnsiString& line, int error = 0);
    void Break(const AnsiString& why, bool login = false, bool keepControl = false);
    void ArmTick();
    void DropPendingInput();
    void CloseData();
    void Closed();
    // A wait begins (a command sent, a connection made) or the data move:
    // the silence limit counts from here. Bytes of a reply that has not
    // ended are no such step.
    void Touch() { FLastActivity = std::chrono::steady_clock::now(); }
    bool TransferState() const { return FState >= TState::Port && FState <= TState::Aborting; }

    AnsiString FHost, FUser, FPassword;
    int FPort;
    HWND FWindow = 0;
    int FControl = -1, FData = -1, FListen = -1;
    sockaddr_in FAddr{}, FPeer{};
    std::unique_ptr<char[]> FLookup;
    intptr_t FLookupHandle = 0;
    TState FState = TState::Idle;
    size_t FStep = 0;
    int FPreliminaries = 0;
    AnsiString FLineBuffer, FReplyFirst;
    int FReplyCode = -1, FReplyLines = 0;
    bool FMultiLine = false;
    TFetch FFetch;
    int64_t FReceived = 0, FAnnounced = 0, FRestartedAt = 0;
    bool FDataClosed = false, FFinalReply = false, FDataBegun = false, FQuiet = false, FQuitUntilClosed = true;
    // The control connection closed while the data connection still brings
    // bytes: they are taken to the data's end, then the session counts as broken.
    bool FControlGone = false;
    bool FDataCloseSeen = false, FBrokeInResync = false, FOtherSize = false;  // the server closed the data connection; read it to its end
    int FFinalCode = 0, FAbortReplies = 0, FPassiveRetries = 0, FUnasked = 0;
    bool FNoopSent = false;  // ABOR has had its final reply
    AnsiString FFinalText;
    int64_t FReplyCount = 0;  // the first byte count among a reply's lines
    TOutcome FOutcome;
    TFailure FFailure;
    int FInputGeneration = 0;
    std::unique_ptr<char[]> FBuffer;
    std::chrono::steady_clock::time_point FLastActivity;
    // Events that came while a handler of this session ran (a callback that
    // let the loop run): replayed once it is done.
};
