#include "WexFTP.h"

#include "FtpReplies.h"

#include <chrono>
#include <cstring>

using namespace Winsock;

namespace {

bool Fails(int n) { return n > 300 && n < 600; }

// A refusal of PORT, RETR or NLST: 4xx/5xx, or no reply code at all.
bool Refused(const AnsiString& reply, int replyNumber) { return Fails(replyNumber) || ReplyCode(reply) < 0; }

const char kControlClosed[] = "The server closed the control connection\r\n";

}  // namespace

TWexFTP::TWexFTP(TComponent* AOwner) : TRimsock(AOwner) {
    Port = 21;
    DataConnection = nullptr;
    Vendor = 2411;
    OnDataReady = [](TObject*) {};
}

TWexFTP::~TWexFTP() { TRimsock::Cancel(); }

void TWexFTP::ReadReplyLines(AnsiString& Line, const std::function<void(const AnsiString&)>& each) {
    AnsiString code = Line.size() >= 4 && ReplyCode(Line) >= 0 && Line[3] == '-' ? Line.substr(0, 3) : "";
    auto goesOn = [&code](const AnsiString& l) {
        if (code.empty()) return ContinuesReply(l);
        bool last = l.compare(0, 3, code) == 0 && (l.size() == 3 || l[3] == ' ' || l[3] == '\r' || l[3] == '\n');
        return !last;
    };
    for (int lines = 0; goesOn(Line); ++lines) {
        if (lines >= kMaxReplyLines) throw FTPException("The server's reply does not end\r\n");
        Line = ReadLn();
        ReportStatus(1, Line);
        // An empty line means the server closed in the middle of the reply.
        if (Line.empty()) break;
        if (each) each(Line);
    }
}

void TWexFTP::Transaction(const AnsiString& Command, AnsiString& Reply) {
    TRimsock::Transaction(Command, Reply);
    AnsiString line = Reply;
    ReadReplyLines(line);
}

void TWexFTP::Abort() {
    if (DataConnection) DataConnection->Cancel();
    // When the time-out ran out, the control connection's own wait (a reply
    // that never comes) must end as well.
    if (TimedOut) TRimsock::Abort();
}

void TWexFTP::LoginFailed(const AnsiString& Reply) {
    if (OnConnectionFailed) OnConnectionFailed(this);
    throw FTPException(Reply.empty() ? AnsiString(kControlClosed) : Reply);
}

// The greeting: "120" (ready in a while) is followed by the real one; only a
// 2xx lets the login go on.
void TWexFTP::ReadGreeting() {
    for (int preliminary = 0;; ++preliminary) {
        AnsiString greeting = ReadLn();
        ReportStatus(1, greeting);
        ReplyNumber = LeadingNumber(greeting);
        AnsiString line = greeting;
        ReadReplyLines(line);
        int cls = ReplyClass(greeting);
        if (cls == 1 && preliminary < 10) continue;
        if (cls != 2) LoginFailed(greeting);
        break;
    }
    // Lines the server sent unasked would pair with the wrong command.
    if (DataAvailable()) Read(0);
}

// USER (unless a proxy form already carried it) and, when asked, PASS. Only
// 2xx after USER or after PASS means logged in; anything else fails.
void TWexFTP::LogIn(const AnsiString& User, const AnsiString& Pass, bool userAlreadySent) {
    AnsiString reply = LastReply;
    if (!userAlreadySent) {
        ReportStatus(1, "USER " + User);
        Transaction("USER " + User, reply);
    }
    if (ReplyCode(reply) == 331) {
        ReportStatus(1, "PASS ");  // never the password itself
        Transaction("PASS " + Pass, reply);
    }
    if (ReplyClass(reply) != 2) LoginFailed(reply);
}

void TWexFTP::Connect() {
    Canceled = false;
    if (Connected) return;
    ClearInput();
    Step = "connect";
    TRimsock::Connect();
    try {
        Step = "greeting";
        ReadGreeting();
        Step = "login";
        if (FWAuthenticate) LogIn(FWUserID, FWPassword, false);
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        AnsiString reply;
        if (!Proxy.empty()) {
            switch (FirewallType) {
                case FTUser: Transaction("USER " + UserID + "@" + Host, reply); break;
                case FtOpen: Transaction("OPEN " + Host, reply); break;
                case FtSite: Transaction("SITE " + Host, reply); break;
            }
        }
        // Through a proxy with FTUser, the joined user-and-host command was the USER.
        LogIn(UserID, Password, !Proxy.empty() && FirewallType == FTUser);
        // Files must travel byte for byte: without this the server's default
        // ASCII type rewrites line ends. A refusal leaves things as they were.
        int loginReply = ReplyNumber;
        Transaction("TYPE I", reply);
        ReplyNumber = loginReply;
        if (OnConnect) OnConnect(this);
    } catch (...) {
        try {
            // A server that stopped answering gets no QUIT to wait for.
            if (TimedOut) TRimsock::Disconnect();
            else Disconnect();
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

int64_t TWexFTP::ParseByteCount(const AnsiString& Line) { return ::ParseByteCount(Line); }

bool TWexFTP::ParsePassivePort(const AnsiString& Reply, int& Port) { return ::ParsePassivePort(Reply, Port); }

bool TWexFTP::ApplyFailureRule(const AnsiString& Reply) {
    if (!OnFailure) throw FTPException(Reply);
    bool handled = false;
    OnFailure(handled, CtUpload);
    if (handled) return true;
    throw FTPException(Reply);
}

// True when the control connection tells that the transfer has failed: a
// whole 4xx/5xx line is waiting, or the connection has closed. The line is
// read (with the rest of its reply) only when FailLine is given.
bool TWexFTP::ControlReportsFailure(AnsiString* FailLine) {
    int r = Winsock::recv(SocketHandle, Buffer, 65536, MSG_PEEK_FLAG);
    if (r == 0 || (r < 0 && WSAGetLastError() != WSAEWOULDBLOCK) || !Connected) {
        if (FailLine) *FailLine = kControlClosed;
        return true;
    }
    if (r > 0 && memchr(Buffer, '\n', r) && (Buffer[0] == '4' || Buffer[0] == '5')) {
        if (FailLine) {
            *FailLine = ReadLn();
            ReportStatus(1, *FailLine);
            AnsiString line = *FailLine;
            ReadReplyLines(line);
            FAwaitingFinalReply = false;
        }
        return true;
    }
    return false;
}

// Waits, within the time-out, for the server's data connection. A reply on
// the control connection that ends the transfer (4xx or 5xx), or that
// connection closing, ends the wait instead: such a connection will never
// come. The control connection's timer runs meanwhile; its tick cancels both.
bool TWexFTP::AcceptDataConnection(AnsiString& FailLine) {
    TimerOn();
    try {
        while (!DataConnection->AsyncDone && !DataConnection->Canceled && !Canceled) {
            if (ControlReportsFailure(&FailLine)) {
                TimerOff();
                return false;
            }
            WaitPass();
        }
        SOCKET accepted = DataConnection->Accept();
        SOCKET listening = DataConnection->SocketHandle;
        DataConnection->SocketHandle = accepted;
        closesocket(listening);
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    return true;
}

void TWexFTP::OpenActiveDataConnection(AnsiString& Reply) {
    // Listen only where the server can reach us, and take the connection
    // only from the server we talk to.
    sockaddr_in local{}, peer{};
    Winsock::getsockname(SocketHandle, &local);
    Winsock::getpeername(SocketHandle, &peer);
    DataConnection->ListenAddress = local.sin_addr.s_addr;
    DataConnection->AcceptFrom = peer.sin_addr.s_addr;
    DataConnection->Port = 0;
    DataConnection->Listen(true);
    AnsiString command = "PORT " + PortAddressText() + DataConnection->PortNumberText();
    ReportStatus(1, command);
    Transaction(command, Reply);
}

// The transfer's final reply, read whole; its first line is returned. An
// empty text means the server closed the connection instead.
AnsiString TWexFTP::ReadFinalReply() {
    AnsiString first = ReadLn();
    ReportStatus(1, first);
    AnsiString line = first;
    if (!first.empty()) ReadReplyLines(line);
    FAwaitingFinalReply = false;
    return first;
}

// After a transfer that ended before its final reply was read, the control
// connection is out of step: ABOR, then NOOP, and read up to the NOOP's
// reply. A server that has already let a time-out run out, or does not
// answer now, is given up quietly (its late replies would pair with our next
// commands); the next operation then finds the component not connected.
void TWexFTP::Resynchronize(bool serverSilent) {
    FAwaitingFinalReply = false;
    Canceled = false;
    if (!Connected) return;
    if (serverSilent || TimedOut) {
        CloseQuietly();
        return;
    }
    try {
        Writeln("ABOR");
        Writeln("NOOP");
        for (int replies = 0; replies < 8; ++replies) {
            AnsiString first = ReadLn();
            ReportStatus(1, first);
            if (first.empty()) break;
            AnsiString line = first;
            ReadReplyLines(line);
            int code = ReplyCode(first);
            if (code == 200 || code == 500 || code == 502) return;
        }
    } catch (...) {
    }
    CloseQuietly();
}

// The data connection of one transfer, with the component's limits and, for
// a download, its block handlers.
void TWexFTP::NewDataConnection(bool forDownload) {
    delete DataConnection;
    DataConnection = new TRimsock(this);
    DataConnection->TimeOut = TimeOut;
    DataConnection->IdleTimeOut = IdleTimeOut;
    if (!forDownload) return;
    DataConnection->MaxReceive = SizeLimit;
    DataConnection->OnChunk = OnChunk;
    DataConnection->StopCapture = [this] { return ControlReportsFailure(nullptr); };
    if (OnPacketRecvd) DataConnection->OnPacketRecvd = OnPacketRecvd;
}

// Opens the data path of the next transfer: passive (PASV, then a connection
// to Host at the port the reply names, never to the address in it) or active
// (listen, PORT). With PassiveFallback, a PASV that the server refuses (5xx)
// or a passive connection that cannot be made switches this component to
// active mode for the rest of its session. Returns the refusing line, or an
// empty text when the path is open.
AnsiString TWexFTP::OpenDataPath(bool forDownload) {
    AnsiString reply;
    if (Passive) {
        Transaction("PASV", reply);
        int port = 0;
        if (ReplyClass(reply) == 2 && ParsePassivePort(reply, port)) {
            DataConnection->Host = Host;
            DataConnection->Port = port;
            try {
                DataConnection->Connect();
                return "";
            } catch (const ESockError&) {
                if (!PassiveFallback || TimedOut) throw;
            }
        } else if (!PassiveFallback || ReplyClass(reply) == 4) {
            return ReplyClass(reply) == 2 ? "The server's passive-mode reply names no port: " + reply : reply;
        }
        ReportStatus(1, "Passive mode does not work with this server; using active mode");
        Passive = false;
        NewDataConnection(forDownload);
    }
    OpenActiveDataConnection(reply);
    return Refused(reply, ReplyNumber) ? reply : AnsiString();
}

void TWexFTP::ReleaseDataConnection() {
    delete DataConnection;
    DataConnection = nullptr;
}

void TWexFTP::Download(const AnsiString& RemoteFile, const AnsiString& LocalFile) {
    Step = "download " + RemoteFile;
    try {
        Canceled = false;
        CheckConnection();
        std::lock_guard<std::recursive_mutex> lock(TransferLock);
        if (DataAvailable()) Read(0);
        NewDataConnection(true);
        RestartedAt = 0;
        bool succeeded = false;
        FAwaitingFinalReply = false;
        auto cleanUp = [&] {
            bool silent = TimedOut || (DataConnection && DataConnection->TimedOut);
            ReleaseDataConnection();
            if (FAwaitingFinalReply || (Canceled && silent)) {
                Resynchronize(silent);
            } else if (Canceled) {
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
                AnsiString reply = OpenDataPath(true);
                if (!reply.empty() && ApplyFailureRule(reply)) break;
                // A download cut short goes on where it stopped when the
                // server can restart there; anything but 350 means from 0.
                if (RestartAt > 0) {
                    Transaction("REST " + IntToStr(RestartAt), reply);
                    if (ReplyCode(reply) == 350) RestartedAt = RestartAt;
                }
                DataConnection->StartOffset = RestartedAt;
                ReportStatus(1, "RETR " + RemoteFile);
                TransferSize = 0;
                TRimsock::Transaction("RETR " + RemoteFile, reply);
                if (Refused(reply, ReplyNumber) && ApplyFailureRule(reply)) break;
                // A 1xx opens the transfer; a server may also answer with its
                // final 2xx at once.
                FAwaitingFinalReply = ReplyClass(reply) == 1;
                AnsiString line = reply;
                TransferSize = ParseByteCount(line);
                ReadReplyLines(line, [this](const AnsiString& l) {
                    if (TransferSize == 0) TransferSize = ParseByteCount(l);
                });
                // A count on the last line wins; a last line without one keeps
                // the count that an earlier line announced.
                if (int64_t last = ParseByteCount(line)) TransferSize = last;
                const int64_t announced = TransferSize;
                if (!Passive) {
                    AnsiString failLine;
                    if (!AcceptDataConnection(failLine) && ApplyFailureRule(failLine)) break;
                }
                if (OnTransactionStart) OnTransactionStart(this);
                if (OnChunksBegin) OnChunksBegin(RestartedAt);
                if (!Canceled && !TimedOut) DataConnection->CaptureFile(LocalFile.empty() ? RemoteFile : LocalFile);
                if (OnTransactionStop) OnTransactionStop(this);
                const bool overflow = DataConnection->ReceiveOverflow;
                DataConnection->CloseSocket();
                TransferSize = DataConnection->BytesReceived;
                ReportStatus(1, "Received " + IntToStr(TransferSize) + " Bytes");
                // More than the caller can use: it sees the size mismatch.
                if (overflow) break;
                // Fewer bytes than expected fail at once, unless they are all
                // that the server announced: then the file there has another
                // size, which the final reply confirms and the caller sees.
                const bool wholeAnnounced =
                    announced > 0 && (TransferSize == announced || RestartedAt + TransferSize == announced);
                if (ExpectedSize >= 0 && RestartedAt + TransferSize < ExpectedSize && !wholeAnnounced && !Canceled &&
                    !TimedOut &&
                    ApplyFailureRule("The transfer of " + RemoteFile + " ended after " +
                                     IntToStr(RestartedAt + TransferSize) + " of " + IntToStr(ExpectedSize) + " bytes\r\n"))
                    break;
                // Cancelled before the data were read: not a success.
                if (Canceled || TimedOut) throw EAbortError("Socket send aborted");
                AnsiString finalReply = FAwaitingFinalReply ? ReadFinalReply() : reply;
                if (ReplyClass(finalReply) != 2 &&
                    ApplyFailureRule(finalReply.empty() ? AnsiString(kControlClosed) : finalReply))
                    break;
                // A server may announce the whole size or what is left of it.
                if (announced > 0 && TransferSize < announced - RestartedAt &&
                    ApplyFailureRule("The transfer of " + RemoteFile + " ended after " + IntToStr(TransferSize) +
                                     " of " + IntToStr(announced) + " bytes\r\n"))
                    break;
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

// Reads the names until the server has closed the data connection. A name
// ends at CR, LF or CR LF, and a last name without a line end counts too.
// The control connection's timer limits every silence.
void TWexFTP::ReceiveNames() {
    TRimsock& data = *DataConnection;
    AnsiString name;
    int64_t bytes = 0, names = 0;
    bool afterCR = false;
    auto deliver = [&] {
        if (name.empty()) return;
        if (++names > kMaxListNames) throw FTPException("The name listing holds more than 1000000 names\r\n");
        AnsiString item;
        item.swap(name);
        if (OnListItem) OnListItem(item);
    };
    TimerOn();
    try {
        for (;;) {
            int r = Winsock::recv(data.SocketHandle, Buffer, 65536, 0);
            if (r > 0) {
                bytes += r;
                if (bytes > kMaxListBytes) throw FTPException("The name listing is larger than 64 MiB\r\n");
                for (int i = 0; i < r; ++i) {
                    char c = Buffer[i];
                    if (c == '\n' && afterCR) {
                        afterCR = false;
                        continue;
                    }
                    afterCR = c == '\r';
                    if (c == '\r' || c == '\n') deliver();
                    else if (name.size() < kMaxLineLength) name += c;
                }
                TimerOn();
                LetEventsRun(false);
                continue;
            }
            if (r == 0) break;
            int err = WSAGetLastError();
            if (err == WSAENOTCONN) {  // the close notification got here first
                if (data.CloseError) err = data.CloseError;
                else break;
            }
            if (err != WSAEWOULDBLOCK) {
                AnsiString msg;
                WSASetLastError(err);
                CheckError(WSAEWOULDBLOCK, msg);
            }
            if (data.Canceled || Canceled) {
                Canceled = false;
                throw EAbortError("Socket readln aborted");
            }
            WaitPass();
        }
        deliver();
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
}

void TWexFTP::NList() {
    Step = "listing";
    Canceled = false;
    CheckConnection();
    NewDataConnection(false);
    bool succeeded = false;
    FAwaitingFinalReply = false;
    auto cleanUp = [&] {
        bool silent = TimedOut || (DataConnection && DataConnection->TimedOut);
        ReleaseDataConnection();
        if (succeeded && OnSuccess) OnSuccess(CtNList);
        if (FAwaitingFinalReply || (Canceled && silent)) Resynchronize(silent);
        else if (Canceled) WaitForReply();
    };
    try {
        if (DataAvailable()) Read(0);
        AnsiString reply = OpenDataPath(false);
        if (!reply.empty()) throw FTPException(reply);
        ReportStatus(1, "NLST");
        Transaction("NLST", reply);
        if (Refused(reply, ReplyNumber)) throw FTPException(reply);
        FAwaitingFinalReply = ReplyClass(reply) == 1;
        TransferSize = ParseByteCount(reply);
        AnsiString failLine;
        if (!Passive && !AcceptDataConnection(failLine)) throw FTPException(failLine);
        if (OnTransactionStart) OnTransactionStart(this);
        // The list ends when the data connection has closed *and* the final
        // reply has come: a 226 may overtake the last names.
        if (!Canceled && !TimedOut) ReceiveNames();
        if (OnTransactionStop) OnTransactionStop(this);
        DataConnection->CloseSocket();
        TransferSize = DataConnection->BytesReceived;
        ReportStatus(1, "Received " + IntToStr(TransferSize) + " Bytes");
        if (Canceled || TimedOut) throw EAbortError("Socket readln aborted");
        AnsiString finalReply = FAwaitingFinalReply ? ReadFinalReply() : reply;
        if (ReplyClass(finalReply) != 2)
            throw FTPException(finalReply.empty() ? AnsiString(kControlClosed) : finalReply);
        succeeded = true;
    } catch (...) {
        cleanUp();
        throw;
    }
    cleanUp();
}

void TWexFTP::WaitForReply() {
    Canceled = false;
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(1.1e-5 * 86400));
    AnsiString got;
    for (;;) {
        got = Read(0);
        if (!got.empty()) break;
        double left = duration<double>(deadline - steady_clock::now()).count();
        if (left <= 0 || Application->Terminated) break;
        EventLoop::WaitForEvent(left);
    }
    ReportStatus(1, got);
}
