#include "WexFTP.h"

#include <chrono>
#include <cstring>

using namespace Winsock;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number formed by the leading digits of a reply line (at most ten); 0
// when the line does not begin with a digit.
int LeadingNumber(const AnsiString& line) {
    int64_t v = 0;
    size_t i = 0;
    while (i < line.size() && i < 10 && IsDigit(line[i])) v = v * 10 + (line[i++] - '0');
    return (i > 0 && v <= 0x7FFFFFFF) ? static_cast<int>(v) : 0;
}

// A reply goes on while its last line begins with a blank or has "-" as its
// fourth character.
bool ContinuesReply(const AnsiString& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

bool Fails(int n) { return n > 300 && n < 600; }

}  // namespace

TWexFTP::TWexFTP(TComponent* AOwner) : TRimsock(AOwner) {
    Port = 21;
    DataConnection = nullptr;
    Vendor = 2411;
    OnDataReady = [](TObject*) {};
}

TWexFTP::~TWexFTP() { TRimsock::Cancel(); }

void TWexFTP::ReadReplyLines(AnsiString& Line) {
    while (ContinuesReply(Line)) {
        Line = ReadLn();
        ReportStatus(1, Line);
        // An empty line means the server closed in the middle of the reply.
        if (Line.empty()) break;
    }
}

void TWexFTP::Transaction(const AnsiString& Command, AnsiString& Reply) {
    TRimsock::Transaction(Command, Reply);
    AnsiString line = Reply;
    ReadReplyLines(line);
}

void TWexFTP::Abort() {
    if (DataConnection) {
        DataConnection->Cancel();
    } else if (TimedOut) {
        // The time-out ran out on the control connection itself (a server
        // that accepts but never greets or answers): end that wait too, or
        // the attempt would never end.
        TRimsock::Abort();
    }
}

void TWexFTP::LoginCheck(const AnsiString& Reply) {
    if (ReplyNumber > 400 && ReplyNumber < 600) {
        if (OnConnectionFailed) OnConnectionFailed(this);
        throw FTPException(Reply);
    }
}

void TWexFTP::Connect() {
    Canceled = false;
    if (Connected) return;
    ClearInput();
    TRimsock::Connect();
    try {
        AnsiString greeting = ReadLn();
        ReportStatus(1, greeting);
        ReplyNumber = LeadingNumber(greeting);
        AnsiString line = greeting;
        ReadReplyLines(line);
        if (ReplyNumber > 400) {
            if (OnConnectionFailed) OnConnectionFailed(this);
            throw FTPException(greeting);
        }
        AnsiString reply;
        if (FWAuthenticate) {
            Transaction("USER " + FWUserID, reply);
            LoginCheck(reply);
            if (ReplyNumber == 331) {
                ReportStatus(1, "PASS ");
                Transaction("PASS " + FWPassword, reply);
                LoginCheck(reply);
            }
        }
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        if (!Proxy.empty()) {
            switch (FirewallType) {
                case FTUser: Transaction("USER " + UserID + "@" + Host, reply); break;
                case FtOpen: Transaction("OPEN " + Host, reply); break;
                case FtSite: Transaction("SITE " + Host, reply); break;
            }
        }
        if (Proxy.empty() || FirewallType != FTUser) {
            ReportStatus(1, "USER " + UserID);
            Transaction("USER " + UserID, reply);
            LoginCheck(reply);
        }
        if (ReplyNumber == 331) {
            ReportStatus(1, "PASS ");  // never the password itself
            Transaction("PASS " + Password, reply);
            LoginCheck(reply);
        }
        // Files must travel byte for byte: without this the server's default
        // ASCII type rewrites line ends. A refusal leaves things as they were.
        int loginReply = ReplyNumber;
        Transaction("TYPE I", reply);
        ReplyNumber = loginReply;
        if (OnConnect) OnConnect(this);
    } catch (...) {
        try {
            Disconnect();
        } catch (...) {
        }
        ReportStatus(1, "Disconnected");
        throw;
    }
}

void TWexFTP::Disconnect() {
    Canceled = false;
    if (!Connected) return;
    ReportStatus(1, "QUIT");
    Vendor = 2411;
    std::exception_ptr failure;
    try {
        if (DataAvailable()) Read(0);
        AnsiString reply;
        Transaction("QUIT", reply);
        if (Fails(ReplyNumber)) throw FTPException(reply);
    } catch (...) {
        failure = std::current_exception();
    }
    TRimsock::Disconnect();
    if (failure) std::rethrow_exception(failure);
}

int64_t TWexFTP::ReceivedCount() const { return DataConnection ? DataConnection->BytesReceived : 0; }

int64_t TWexFTP::ParseByteCount(const AnsiString& Line) {
    size_t pos = UpperCase(Line).find("BYTE");
    if (pos == AnsiString::npos) return 0;
    long i = static_cast<long>(pos) - 1;
    while (i >= 0 && !IsDigit(Line[i])) --i;
    if (i < 0) return 0;
    long end = i;
    while (i >= 0 && IsDigit(Line[i])) --i;
    int64_t v = 0;
    for (long k = i + 1; k <= end; ++k) {
        if (v > (INT64_MAX - 9) / 10) return 0;
        v = v * 10 + (Line[k] - '0');
    }
    return v;
}

bool TWexFTP::ApplyFailureRule(const AnsiString& Reply) {
    if (!OnFailure) throw FTPException(Reply);
    bool handled = false;
    OnFailure(handled, CtUpload);
    if (handled) return true;
    throw FTPException(Reply);
}

// Waits for the server's data connection. A reply on the control connection
// that ends the transfer (4xx or 5xx), or the control connection closing,
// ends the wait instead: such a connection will never come.
bool TWexFTP::AcceptOrControlReply(AnsiString& FailLine) {
    while (!DataConnection->AsyncDone && !DataConnection->Canceled) {
        int r = Winsock::recv(SocketHandle, Buffer, 65536, MSG_PEEK_FLAG);
        if (r == 0 || (r < 0 && WSAGetLastError() == WSAENOTCONN) || !Connected) {
            FailLine = "421 Control connection closed\r\n";
            return false;
        }
        if (r > 0 && memchr(Buffer, '\n', r) && (Buffer[0] == '4' || Buffer[0] == '5')) {
            FailLine = ReadLn();
            ReportStatus(1, FailLine);
            AnsiString line = FailLine;
            ReadReplyLines(line);
            return false;
        }
        EventLoop::WaitForEvent(1.0);
    }
    return true;
}

void TWexFTP::OpenActiveDataConnection(AnsiString& Reply) {
    DataConnection->Port = 0;
    DataConnection->Listen(true);
    AnsiString command = "PORT " + PortAddressText() + DataConnection->PortNumberText();
    Transaction(command, Reply);
}

void TWexFTP::TakeAcceptedSocket() {
    SOCKET accepted = DataConnection->Accept();
    SOCKET listening = DataConnection->SocketHandle;
    DataConnection->SocketHandle = accepted;
    closesocket(listening);
}

void TWexFTP::ReadFinalReply(AnsiString& Line) {
    if (!Canceled && !TimedOut) Line = ReadLn();
    ReportStatus(1, Line);
    if (!Canceled && !TimedOut) ReadReplyLines(Line);
}

void TWexFTP::ReleaseDataConnection() {
    delete DataConnection;
    DataConnection = nullptr;
}

void TWexFTP::Download(const AnsiString& RemoteFile, const AnsiString& LocalFile) {
    try {
        Canceled = false;
        CheckConnection();
        std::lock_guard<std::recursive_mutex> lock(TransferLock);
        if (DataAvailable()) Read(0);
        DataConnection = new TRimsock(this);
        DataConnection->TimeOut = TimeOut;
        if (OnPacketRecvd) DataConnection->OnPacketRecvd = OnPacketRecvd;
        bool succeeded = false;
        auto cleanUp = [&] {
            ReleaseDataConnection();
            if (Canceled) {
                Canceled = false;
                AnsiString ignored;
                try {
                    Transaction("ABOR", ignored);
                } catch (...) {
                }
            }
            if (succeeded && OnSuccess) OnSuccess(CtUpload);
        };
        try {
            do {
                AnsiString reply;
                if (Passive) {
                    Transaction("PASV", reply);
                    if (ReplyNumber > 499 && ApplyFailureRule(reply)) break;
                    // The address in the reply is ignored: the data connection
                    // goes to the server we already talk to.
                    AnsiString f6 = ExtractField(reply, ',', 6);
                    f6 = f6.substr(0, f6.find(')'));
                    int port = StrToInt(f6) + 256 * StrToInt(ExtractField(reply, ',', 5));
                    DataConnection->Host = Host;
                    DataConnection->Port = port;
                    DataConnection->Connect();
                } else {
                    OpenActiveDataConnection(reply);
                    if (Fails(ReplyNumber) && ApplyFailureRule(reply)) break;
                }
                ReportStatus(1, "RETR " + RemoteFile);
                TransferSize = 0;
                TRimsock::Transaction("RETR " + RemoteFile, reply);
                if (Fails(ReplyNumber) && ApplyFailureRule(reply)) break;
                AnsiString line = reply;
                TransferSize = ParseByteCount(line);
                while (ContinuesReply(line)) {
                    line = ReadLn();
                    ReportStatus(1, line);
                    if (TransferSize == 0) TransferSize = ParseByteCount(line);
                    if (line.empty()) break;
                }
                // A count on the last line wins; a last line without one keeps
                // the count that an earlier line announced.
                if (int64_t last = ParseByteCount(line)) TransferSize = last;
                if (!Passive) {
                    AnsiString failLine;
                    if (!AcceptOrControlReply(failLine)) {
                        if (ApplyFailureRule(failLine)) break;
                    }
                    TakeAcceptedSocket();
                }
                if (OnTransactionStart) OnTransactionStart(this);
                if (!Canceled && !TimedOut) DataConnection->CaptureFile(LocalFile.empty() ? RemoteFile : LocalFile);
                if (OnTransactionStop) OnTransactionStop(this);
                DataConnection->CloseSocket();
                TransferSize = DataConnection->BytesReceived;
                ReportStatus(1, "Received " + IntToStr(TransferSize) + " Bytes");
                ReadFinalReply(line);
                if (OnTransactionStop) OnTransactionStop(this);
                succeeded = true;
            } while (false);
        } catch (...) {
            cleanUp();
            throw;
        }
        cleanUp();
    } catch (...) {
        bool handled = false;
        if (OnFailure) OnFailure(handled, CtUpload);
        if (handled) return;
        throw;
    }
}

void TWexFTP::NList() {
    Canceled = false;
    CheckConnection();
    DataConnection = new TRimsock(this);
    DataConnection->TimeOut = TimeOut;
    bool succeeded = false;
    auto cleanUp = [&] {
        ReleaseDataConnection();
        if (succeeded && OnSuccess) OnSuccess(CtNList);
        if (Canceled) WaitForReply();
    };
    try {
        if (DataAvailable()) Read(0);
        DataConnection->Port = 0;
        DataConnection->Listen(true);
        AnsiString command = "PORT " + PortAddressText() + DataConnection->PortNumberText();
        ReportStatus(1, command);
        AnsiString reply;
        Transaction(command, reply);
        if (Fails(ReplyNumber)) throw FTPException(reply);
        ReportStatus(1, "NLST");
        Transaction("NLST", reply);
        if (Fails(ReplyNumber)) throw FTPException(reply);
        TransferSize = ParseByteCount(reply);
        AnsiString failLine;
        if (!AcceptOrControlReply(failLine)) throw FTPException(failLine);
        TakeAcceptedSocket();
        if (OnTransactionStart) OnTransactionStart(this);
        if (!Canceled && !TimedOut) {
            do {
                if (DataConnection->DataAvailable()) {
                    AnsiString line = DataConnection->ReadLn();
                    if (line.size() > 2)
                        line.resize(line.size() - (line[line.size() - 2] == '\r' ? 2 : 1));
                    if (OnListItem) OnListItem(line);
                } else {
                    EventLoop::WaitForEvent(1.0);
                }
            } while ((DataConnection->Connected && !DataAvailable()) || DataConnection->DataAvailable());
        }
        if (OnTransactionStop) OnTransactionStop(this);
        DataConnection->CloseSocket();
        TransferSize = DataConnection->BytesReceived;
        ReportStatus(1, "Received " + IntToStr(TransferSize) + " Bytes");
        AnsiString line = reply;
        ReadFinalReply(line);
        succeeded = true;
    } catch (...) {
        cleanUp();
        throw;
    }
    cleanUp();
}

void TWexFTP::WaitForReply() {
    Canceled = false;
    auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(1.1e-5 * 86400);
    AnsiString got;
    for (;;) {
        got = Read(0);
        if (!got.empty()) break;
        auto left = limit - (std::chrono::steady_clock::now() - start);
        if (left.count() <= 0) break;
        EventLoop::WaitForEvent(left.count());
    }
    ReportStatus(1, got);
}
