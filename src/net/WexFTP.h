// TWexFTP: the client side of FTP (RFC 959): login (directly or through a
// proxy), name listing and downloads over a second connection in active
// ("PORT") or passive ("PASV") mode.
//
// Each operation is one operation of an FTP session (TFtpSession, the state
// machine the transfer pool drives too) and a wait for its end: the wait
// lets the program handle its events and blocks in the event loop while
// nothing is pending, and ends at the session's silence limit (the smaller
// of TimeOut and IdleTimeOut), on Cancel, or when the program is told to
// quit. The socket-component properties and events it inherits keep their
// meaning.
//
// Events, in the order a download raises them: OnTransactionStart (the
// announced size is in TransferSize), OnPacketRecvd per block (ReceivedCount
// is valid), OnTransactionStop, then again OnTransactionStop and OnSuccess.
// A failed download offers the failure to OnFailure, which may mark it
// handled; otherwise an FTPException carrying the server's reply line leaves
// Download.
//
// A download fails when the server refuses it, when fewer bytes arrive than
// the server announced, when the data connection is reset, and when the final
// reply is 4xx/5xx or never comes. A transfer cut short leaves the control
// connection in step (ABOR, NOOP, read up to the NOOP's reply) or closes it
// quietly when the server does not answer.
#pragma once
#include <memory>

#include "FtpSession.h"
#include "Rsock.h"

enum TCmdType : uint8_t {
    CtChangeDir, CtMakeDir, CtDelete, CtRemoveDir, CtList, CtRename, CtUploadRestore,
    CtDownloadRestore, CtDownload, CtUpload, CtUploadAppend, CtReInit, CtAllocate, CtNList,
    CtDoCommand
};

enum TFirewallType : uint8_t { FTUser = 0, FtOpen = 1, FtSite = 2 };

class FTPException : public Exception { using Exception::Exception; };

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TWexListItem = std::function<void(const AnsiString& Listing)>;

class TWexFTP : public TRimsock {
public:
    explicit TWexFTP(TComponent* AOwner);
    ~TWexFTP() override;

    void Connect() override;
    void Disconnect() override;
    void Transaction(const AnsiString& Command, AnsiString& Reply) override;
    void Abort() override;

    void Download(const AnsiString& RemoteFile, const AnsiString& LocalFile);
    void NList();
    int64_t ReceivedCount() const;
    static int64_t ParseByteCount(const AnsiString& Line);
    // The data port of a passive-mode reply: six numbers 0..255 joined by
    // commas anywhere after the reply code; false when there are none.
    static bool ParsePassivePort(const AnsiString& Reply, int& Port);
    void WaitForReply();

    // The largest download the caller can use (-1: no limit). A transfer that
    // goes past it stops at once; TransferSize then exceeds the limit.
    int64_t SizeLimit = -1;
    // With Passive: a PASV the server refuses or a passive connection that
    // cannot be made turns this component to active mode (Passive false)
    // for the rest of its session, and the transfer goes on.
    bool PassiveFallback = false;
    // Download asks the server to restart at this offset ("REST n"); after
    // a 350 the local file keeps its first RestartAt bytes and the rest is
    // appended. RestartedAt is the offset that was used (0: from the start).
    int64_t RestartAt = 0;
    int64_t RestartedAt = 0;
    // The size the caller expects (-1: none). A download whose data
    // connection closes before that many bytes (with RestartedAt) fails at
    // once, without waiting for a final reply that a broken server may never
    // send.
    int64_t ExpectedSize = -1;
    // What the component was doing last ("connect", "greeting", "login",
    // "listing", "download NAME"): the step a failure belongs to.
    AnsiString Step;
    // Handed to the data connection of each download: sees every block written.
    std::function<void(const char* data, size_t n)> OnChunk;
    // Called just before the data of a download arrive, with the offset of
    // the file they begin at (RestartedAt).
    std::function<void(int64_t offset)> OnChunksBegin;
    // Limits of one name listing; past them NList fails.
    static constexpr int64_t kMaxListNames = 1000000;
    static constexpr int64_t kMaxListBytes = 64 << 20;

    AnsiString UserID;
    AnsiString Password;
    int Vendor = 2411;
    bool ParseList = false;
    bool Passive = false;
    TFirewallType FirewallType = FTUser;
    AnsiString FWUserID;
    AnsiString FWPassword;
    bool FWAuthenticate = false;

    TNotifyEvent OnConnect;  // the login passed
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TWexListItem OnListItem;
    TUnsupportedEvent OnUnSupportedFunction;

    // Hands the logged-in, idle session over to another owner (the update
    // run's sessions go on where the plan's left off): the component is
    // disconnected then, with no word to anyone. Null when there is none.
    std::unique_ptr<TFtpSession> TakeSession();

private:
    void NewSession();
    // Runs the loop until `done` holds; false when cancelled (the session
    // is then closed).
    bool Await(const std::function<bool()>& done);
    // The data path and the silence limit of the next operation.
    void TakeSettings();
    void QuitAndWait();
    struct TFetchRun {
        bool Finished = false, Begun = false;  // not cancelled; the data began
        TFtpSession::TOutcome Outcome;
        TFtpSession::TFailure Failure;
        int64_t Received = 0;
    };
    // One fetch of the session and the wait for it; `onBegin` runs as the
    // data begin, `onBytes` after each block.
    TFetchRun RunFetch(const TFtpSession::TFetch& fetch, const std::function<void()>& onBegin,
                       const std::function<void()>& onBytes = {});
    [[noreturn]] void FailConnect(const TFtpSession::TFailure& failure, bool cancelled);
    // The session broke or was closed: Connected goes, and OnDisconnect
    // tells it unless `quiet` or the session never stood.
    void Dropped(bool quiet);
    // After an operation's wait: a session that broke on the way is let go.
    void AfterOperation();
    bool ApplyFailureRule(const AnsiString& Reply);
    [[noreturn]] void RaiseSocketError(int error);
    // A download's or listing's failure as the caller knows it: the
    // failure rule for what the server said, an exception for the rest.
    void ReportTransferFailure(bool listing, const TFtpSession::TFailure& failure, const AnsiString& why);

    static LRESULT NoticeProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

    std::unique_ptr<TFtpSession> FSession;
    // Sessions let go of while one of their handlers ran, freed later.
    std::vector<std::unique_ptr<TFtpSession>> FRetired;
    // Tells OnDisconnect of a session that broke between operations from
    // the loop's top, not from inside the session's handler, and frees the
    // retired sessions; made with the first session.
    HWND FNoticeWindow = 0;
    bool FLinked = false;       // the control connection stood
    bool FInOperation = false;  // a call of ours waits on the session
    int FLinesSeen = 0;
    // An exception of a handler that ran inside a session callback, where
    // it may not cross the event loop: the wait ends and raises it.
    std::exception_ptr FHandlerError;
};
