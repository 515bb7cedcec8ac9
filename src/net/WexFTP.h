// TWexFTP: the client side of FTP (RFC 959) over TRimsock: login (directly
// or through a proxy), name listing and downloads over a second connection
// in active ("PORT") or passive ("PASV") mode.
//
// Events, in the order a download raises them: OnTransactionStart (the
// announced size is in TransferSize), OnPacketRecvd per block (Sender is the
// data connection; ReceivedCount is valid), OnTransactionStop, then again
// OnTransactionStop and OnSuccess. A failed download offers the failure to
// OnFailure, which may mark it handled; otherwise an FTPException carrying
// the server's reply line leaves Download.
#pragma once
#include <mutex>

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

    // Reads the continuation lines of a reply whose last line read is Line.
    void ReadReplyLines(AnsiString& Line);
    void Download(const AnsiString& RemoteFile, const AnsiString& LocalFile);
    void NList();
    int64_t ReceivedCount() const;
    static int64_t ParseByteCount(const AnsiString& Line);
    void WaitForReply();

    AnsiString UserID;
    AnsiString Password;
    int Vendor = 2411;
    bool ParseList = false;
    bool Passive = false;
    TFirewallType FirewallType = FTUser;
    AnsiString FWUserID;
    AnsiString FWPassword;
    bool FWAuthenticate = false;

    TNotifyEvent OnConnect;  // the login passed (hides the socket core's)
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TWexListItem OnListItem;
    TUnsupportedEvent OnUnSupportedFunction;

    TRimsock* DataConnection = nullptr;

private:
    void LoginCheck(const AnsiString& Reply);
    bool ApplyFailureRule(const AnsiString& Reply);
    bool AcceptOrControlReply(AnsiString& FailLine);
    void OpenActiveDataConnection(AnsiString& Reply);
    void TakeAcceptedSocket();
    void ReadFinalReply(AnsiString& Line);
    void ReleaseDataConnection();

    std::recursive_mutex TransferLock;
};
