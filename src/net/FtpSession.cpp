#include "FtpSession.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FtpReplies.h"
#include "platform/FileSystem.h"
#include "platform/Winsock.h"

namespace {
constexpr UINT kControlMessage = WM_USER + 1, kDataMessage = WM_USER + 2, kLookupMessage = WM_USER + 3,
               kListenMessage = WM_USER + 4;
constexpr UINT kTickTimer = 1, kPassiveRetryTimer = 2;
constexpr long kEvents = Winsock::FD_READ | Winsock::FD_CONNECT | Winsock::FD_CLOSE;
constexpr size_t kBlock = 1 << 20;
constexpr int kMaxReplyLines = 10000;
constexpr int kMaxPreliminaryGreetings = 10;
constexpr int kMaxAbortReplies = 8, kMaxUnaskedReplies = 100;
// What one read event of the control connection may take before the loop
// gets its turn again (a server that floods it cannot hold the program).
constexpr int kControlBytesPerEvent = 64 << 10;
// Putting the control connection back in step after a cut transfer: a
// server that does not manage it within this is let go.
constexpr int kResyncMilliseconds = 5000;
// Passive ports all busy (425) is often a moment's state: PASV once more.
constexpr int kPassiveRetryMilliseconds = 1000;

int ClassOf(int code) { return code < 0 ? -1 : code / 100; }

// "h1,h2,h3,h4,p1,p2" for PORT.
AnsiString PortText(const sockaddr_in& a) {
    const uint32_t ip = ntohl(a.sin_addr.s_addr);
    const int port = ntohs(a.sin_port);
    return IntToStr((ip >> 24) & 255) + "," + IntToStr((ip >> 16) & 255) + "," + IntToStr((ip >> 8) & 255) + "," +
           IntToStr(ip & 255) + "," + IntToStr(port / 256) + "," + IntToStr(port % 256);
}

}  // namespace

TFtpSession::TFtpSession(const AnsiString& host, int port, const AnsiString& user, const AnsiString& password,
                         int idleMilliseconds)
    : TFetchSession(idleMilliseconds), FHost(host), FUser(user), FPassword(password), FPort(port),
      FBuffer(new char[kBlock]) {
    FWindow = CreateMessageWindow(&TFtpSession::WindowProc, this);
}

TFtpSession::~TFtpSession() {
    if (FLookupHandle) Winsock::WSACancelAsyncRequest(FLookupHandle);
    CloseData();
    if (FControl >= 0) Winsock::closesocket(FControl);
    if (FWindow) DestroyWindow(FWindow);
}

LRESULT TFtpSession::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<TFtpSession*>(GetWindowOwner(wnd));
    if (!self) return DefWindowProc(wnd, msg, wParam, lParam);
    self->HandleEvent(msg, wParam, lParam);
    return 0;
}

void TFtpSession::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    const int event = Winsock::WSAGETSELECTEVENT(lParam), error = Winsock::WSAGETSELECTERROR(lParam);
    const int socket = static_cast<int>(wParam);
    if (msg == kControlMessage && socket == FControl && FControl >= 0) OnControlEvent(event, error);
    else if (msg == kDataMessage && socket == FData && FData >= 0) OnDataEvent(event, error);
    else if (msg == kListenMessage && socket == FListen && FListen >= 0) OnListenEvent(event, error);
    else if (msg == kLookupMessage) OnLookup(error);
    else if (msg == WM_TIMER && wParam == kPassiveRetryTimer) RetryPassive();
    else if (msg == WM_TIMER) OnTick();
}

void TFtpSession::ArmTick() {
    const int idle = IdleMilliseconds;
    SetTimer(FWindow, kTickTimer, idle > 0 ? std::clamp(idle / 4, 25, 250) : 250);
}

void TFtpSession::Open() {
    if (FState != TState::Idle) return;
    if (Login.empty()) Login.push_back({"USER " + FUser, FPassword, false});
    FAddr.sin_family = AF_INET;
    FAddr.sin_port = htons(static_cast<uint16_t>(FPort));
    FAddr.sin_addr.s_addr = Winsock::inet_addr(FHost.c_str());
    ArmTick();
    Touch();
    if (FAddr.sin_addr.s_addr != INADDR_NONE) return StartConnect();
    FState = TState::Resolving;
    FLookup.reset(new char[1024]);
    FLookupHandle = Winsock::WSAAsyncGetHostByName(FWindow, kLookupMessage, FHost.c_str(), FLookup.get(), 1024);
    if (!FLookupHandle) {
        Fail(TFailure::TKind::Lookup, "");
        Break("the host name cannot be looked up", true);
    }
}

void TFtpSession::OnLookup(int error) {
    FLookupHandle = 0;
    if (FState != TState::Resolving) return;
    if (error != 0) {
        Fail(TFailure::TKind::Lookup, "");
        return Break("the host name \"" + FHost + "\" is not known", true);
    }
    memcpy(&FAddr.sin_addr.s_addr, reinterpret_cast<hostent*>(FLookup.get())->h_addr_list[0], 4);
    if (OnResolved) OnResolved();
    if (FState == TState::Resolving) StartConnect();
}

void TFtpSession::StartConnect() {
    FControl = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    FState = TState::Connecting;
    Touch();
    if (FControl < 0 || Winsock::WSAAsyncSelect(FControl, FWindow, kControlMessage, kEvents) != 0) {
        Fail(TFailure::TKind::NoConnection, "");
        return Break("no socket", true);
    }
    if (Winsock::connect(FControl, &FAddr) != 0 && Winsock::WSAGetLastError() != Winsock::WSAEWOULDBLOCK) {
        Fail(TFailure::TKind::NoConnection, "");
        Break("the connection cannot be made", true);
    }
}

void TFtpSession::OnTick() {
    const bool waiting = FState != TState::Ready && FState != TState::Idle && FState != TState::Broken;
    if (!waiting) return;
    auto silent = std::chrono::steady_clock::now() - FLastActivity;
    if (FState == TState::Quitting) {
        // A server that does not let go is let go of.
        const int cap = IdleMilliseconds > 0 ? std::min(IdleMilliseconds, 2000) : 2000;
        if (silent > std::chrono::milliseconds(cap)) Closed();
        return;
    }
    // A cut transfer gets a few seconds to be put back in step, whatever
    // the limit for transfers: the session is only of use if it manages.
    int limit = IdleMilliseconds;
    if (FState == TState::Aborting) limit = limit > 0 ? std::min(limit, kResyncMilliseconds) : kResyncMilliseconds;
    if (limit > 0 && silent > std::chrono::milliseconds(limit)) {
        Fail(TFailure::TKind::Silence, "");
        Break("nothing arrived for " + IntToStr((limit + 999) / 1000) + " s", FState <= TState::Type);
    }
}

void TFtpSession::OnControlEvent(int event, int error) {
    if (FState == TState::Broken) {
        // A session refused at the login keeps its connection for a QUIT,
        // unless the server closes it first.
        if (event == Winsock::FD_CLOSE && FControl >= 0) {
            Winsock::closesocket(FControl);
            FControl = -1;
        }
        return;
    }
    if (event == Winsock::FD_CONNECT) {
        if (error != 0) {
            Fail(TFailure::TKind::NoConnection, "", error);
            return Break("the connection was refused", true);
        }
        Winsock::getpeername(FControl, &FPeer);
        FState = TState::Greeting;
        Touch();
        return;
    }
    if (event == Winsock::FD_READ) return ReadControl();
    if (event == Winsock::FD_CLOSE) {
        ReadControl();  // the last reply may come with the close
        if (FState == TState::Quitting) return Closed();
        if (FState == TState::Broken) return;
        Fail(TFailure::TKind::Closed, "");
        // A server that dies mid-file closes both connections at once; the
        // bytes already on their way over the data connection are taken
        // first, so that the next try goes on after them.
        if (FState == TState::Transfer && FData >= 0 && FDataBegun && !FControlGone) {
            FControlGone = true;
            PostMessage(FWindow, kDataMessage, FData, Winsock::FD_READ);
            return;
        }
        Break("the server closed the connection", FState <= TState::Type);
    }
}

// Lines end at LF and are kept as they came, line end included. Each read
// event takes a bounded number of bytes (more pending brings another event
// after the loop's other work), and bytes alone are no progress: a reply is
// due within the silence limit from the command that asked for it, however
// it trickles in. A line longer than any server's ends the session.
void TFtpSession::ReadControl() {
    char chunk[4096];
    for (int taken = 0; taken < kControlBytesPerEvent;) {
        if (FControl < 0) return;
        const int n = Winsock::recv(FControl, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        taken += n;
        const int generation = FInputGeneration;
        for (int i = 0; i < n; ++i) {
            if (FState == TState::Broken || generation != FInputGeneration) return;
            if (chunk[i] != '\n') {
                if (FLineBuffer.size() >= kMaxReplyLine - 1) {
                    Fail(TFailure::TKind::Text, "The server's reply line is too long\r\n");
                    return Break("reply line too long", FState <= TState::Type);
                }
                FLineBuffer += chunk[i];
                continue;
            }
            AnsiString line;
            line.swap(FLineBuffer);
            line += '\n';
            if (OnLine) OnLine(line);
            if (FReplyCode == -1) {
                FReplyCode = ReplyCode(line);
                FReplyFirst = line;
                FReplyLines = 0;
                FReplyCount = ParseByteCount(line);
                if (FReplyCode < 0) {
                    // Not FTP: a reply of its own, which no state takes.
                    FReplyCode = -1;
                    OnReply(-1, line);
                    continue;
                }
                FMultiLine = line.size() > 3 && line[3] == '-';
            } else if (FReplyCount == 0) {
                FReplyCount = ParseByteCount(line);
            }
            if (++FReplyLines > kMaxReplyLines) {
                Fail(TFailure::TKind::Text, "The server's reply does not end\r\n");
                return Break("the server's reply does not end");
            }
            if (!EndsReply(FReplyCode, FMultiLine, line)) continue;
            // A count on the last line wins; one without keeps an earlier count.
            if (int64_t last = ParseByteCount(line)) FReplyCount = last;
            const int replyCode = FReplyCode;
            FReplyCode = -1;
            OnReply(replyCode, FReplyFirst);
        }
    }
}

// Lines the server sent unasked would pair with the wrong command.
void TFtpSession::DropPendingInput() {
    ++FInputGeneration;
    FLineBuffer.clear();
    FReplyCode = -1;
    char scratch[4096];
    for (int taken = 0, n = 0; taken < kControlBytesPerEvent && FControl >= 0 &&
                               (n = Winsock::recv(FControl, scratch, sizeof scratch, 0)) > 0;
         taken += n) {
    }
}

void TFtpSession::Send(const AnsiString& command, TState next, const AnsiString& shown) {
    FState = next;
    Touch();
    if (OnLine) OnLine(shown.empty() ? command : shown);
    const AnsiString line = command + "\r\n";
    if (Winsock::send(FControl, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
        Fail(TFailure::TKind::Socket, "", Winsock::WSAGetLastError());
        Break("the command could not be sent", FState <= TState::Type);
    }
}

void TFtpSession::NextLoginStep() {
    if (FStep < Login.size()) return Send(Login[FStep].Command, TState::Login);
    Send("TYPE I", TState::Type);
}

// The server said no at the greeting or the login: the control connection
// stays for the QUIT a polite client sends.
void TFtpSession::Refuse(const AnsiString& first, const AnsiString& why) {
    Fail(TFailure::TKind::Reply, first);
    Break(why + ": " + first.substr(0, first.find_last_not_of("\r\n") + 1), true, true);
}

void TFtpSession::OnReply(int code, const AnsiString& first) {
    const int cls = ClassOf(code);
    switch (FState) {
        case TState::Greeting:
            if (cls == 1 && ++FPreliminaries <= kMaxPreliminaryGreetings) return;
            if (cls != 2) return Refuse(first, "the server turned the session away");
            DropPendingInput();
            FStep = 0;
            return NextLoginStep();
        case TState::Login:
            if (Login[FStep].AnyReply || cls == 2) {
                ++FStep;
                return NextLoginStep();
            }
            if (code != 331) return Refuse(first, "the login was refused");
            return Send("PASS " + Login[FStep].Password, TState::Password, "PASS ");
        case TState::Password:
            if (cls != 2) return Refuse(first, "the login was refused");
            ++FStep;
            return NextLoginStep();
        case TState::Type:
            if (cls != 2 && TypeRequired) return Refuse(first, "binary mode was refused");
            FState = TState::Ready;
            if (OnReady) OnReady();
            return;
        case TState::Commanding:
            FState = TState::Ready;
            if (OnCommand) OnCommand(code, first);
            return;
        case TState::Port:
            if (cls == 1 || cls == 2) return SendRetrieve();
            Fail(TFailure::TKind::Reply, first);
            CloseData();
            return EndFetch(cls == 5 ? TEnd::Refused : TEnd::Failed, first);
        case TState::Passive: {
            int port = 0;
            if (code == 227 && ParsePassivePort(first, port)) return OpenPassiveData(port);
            if (cls == 4 && FPassiveRetries++ == 0) {
                FState = TState::PassiveWait;
                Touch();
                SetTimer(FWindow, kPassiveRetryTimer,
                         IdleMilliseconds > 0 ? std::min(kPassiveRetryMilliseconds, IdleMilliseconds / 2)
                                              : kPassiveRetryMilliseconds);
                return;
            }
            if (DataPath == TDataPath::PassiveThenActive) return TurnActive();
            if (cls == 2) Fail(TFailure::TKind::Text, "The server's passive-mode reply names no port: " + first);
            else Fail(TFailure::TKind::Reply, first);
            return EndFetch(TEnd::Failed, "passive mode was refused: " + first);
        }
        case TState::Restart:
            if (code == 350) {
                FRestartedAt = FFetch.Offset;
            } else if (!FFetch.RestartMayFail) {
                Fail(TFailure::TKind::Reply, first);
                CloseData();
                return EndFetch(cls == 5 ? TEnd::Refused : TEnd::Failed, "REST: " + first);
            } else if (FFetch.Offset > 0) {
                // The file comes from byte 0: it is written from there.
                if (FFetch.Length >= 0) FFetch.Length += FFetch.Offset;
                FFetch.Offset = 0;
            }
            return Send(FFetch.Listing ? AnsiString("NLST") : "RETR " + FFetch.Remote, TState::Retrieve);
        case TState::Retrieve:
        case TState::Transfer:
            return OnTransferReply(code, first);
        case TState::Aborting:
            // ABOR first gets its own final reply (a 426 or 451 of the cut
            // transfer may come before it); only then NOOP, whose 200 comes
            // last: the session is in step again. A NOOP sent with the ABOR
            // is dropped by some servers while they abort.
            if (!FNoopSent) {
                if (cls == 2 || (cls == 5 && code != 551 && code != 552)) {
                    FNoopSent = true;
                    return Send("NOOP", TState::Aborting);
                }
            } else if (code == 200) {
                FState = TState::Ready;
                return EndFetch(FOutcome.End, FOutcome.Why);
            }
            if (++FAbortReplies > kMaxAbortReplies) {
                Fail(TFailure::TKind::Text, "The server does not answer NOOP\r\n");
                Break("the server does not answer NOOP");
            }
            return;
        case TState::Quitting:
            if (!FQuitUntilClosed) Closed();
            return;
        default:
            // A line the server sent unasked; a server that keeps talking
            // out of turn is no server to work with.
            if (++FUnasked > kMaxUnaskedReplies) {
                Fail(TFailure::TKind::Text, "The server sends replies nobody asked for\r\n");
                Break("the server sends replies nobody asked for");
            }
            return;
    }
}

void TFtpSession::OnTransferReply(int code, const AnsiString& first) {
    const int cls = ClassOf(code);
    if (cls == 1) {
        if (FState == TState::Retrieve) {
            Touch();  // the data are due from now
            FState = TState::Transfer;
            FAnnounced = FReplyCount;
            if (FData >= 0) BeginData();
        }
        return;
    }
    if (cls == 2) {
        FFinalReply = true, FFinalCode = code, FFinalText = first;
        if (FState == TState::Retrieve) {
            // A server may answer with its final reply at once; the data may
            // still be on their way.
            FState = TState::Transfer;
            FAnnounced = FReplyCount;
            if (FData >= 0) BeginData();
        }
        return MaybeFinish();
    }
    // A refusal, or the transfer failed: nothing more comes of it.
    FFinalReply = true;
    Fail(TFailure::TKind::Reply, first);
    CloseData();
    EndFetch(cls == 5 ? TEnd::Refused : TEnd::Failed, first);
}

void TFtpSession::BeginOperation() {
    FFailure = TFailure{};
    FUnasked = 0;
    ArmTick();
    DropPendingInput();
}

void TFtpSession::Fetch(const TFetch& fetch) {
    if (FState != TState::Ready) return;
    FFetch = fetch;
    FReceived = FAnnounced = FRestartedAt = 0;
    FDataClosed = FFinalReply = FDataBegun = FDataCloseSeen = FOtherSize = FControlGone = false;
    FFinalCode = FAbortReplies = FPassiveRetries = 0;
    FOutcome = TOutcome{};
    BeginOperation();
    OpenDataPath();
}

void TFtpSession::Command(const AnsiString& command) {
    if (FState != TState::Ready) return;
    BeginOperation();
    Send(command, TState::Commanding);
}

void TFtpSession::OpenDataPath() {
    if (DataPath == TDataPath::Active) return OpenActive();
    Send("PASV", TState::Passive);
}

void TFtpSession::RetryPassive() {
    KillTimer(FWindow, kPassiveRetryTimer);
    if (FState == TState::PassiveWait) Send("PASV", TState::Passive);
}

void TFtpSession::TurnActive() {
    if (OnLine) OnLine("Passive mode does not work with this server; using active mode");
    DataPath = TDataPath::Active;
    CloseData();
    OpenActive();
}

void TFtpSession::OpenPassiveData(int port) {
    FData = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (FData < 0 || Winsock::WSAAsyncSelect(FData, FWindow, kDataMessage, kEvents) != 0) {
        Fail(TFailure::TKind::Socket, "", Winsock::WSAGetLastError());
        CloseData();
        return EndFetch(TEnd::Failed, "no socket for the data connection");
    }
    sockaddr_in data = FAddr;  // the data go to the host we talk to, whatever the reply names
    data.sin_port = htons(static_cast<uint16_t>(port));
    FState = TState::DataConnecting;
    if (Winsock::connect(FData, &data) != 0 && Winsock::WSAGetLastError() != Winsock::WSAEWOULDBLOCK)
        OnDataEvent(Winsock::FD_CONNECT, Winsock::WSAECONNREFUSED);
}

// Listens where the server can reach us (the address our control connection
// leaves from) and tells the server that place.
void TFtpSession::OpenActive() {
    sockaddr_in local{};
    Winsock::getsockname(FControl, &local);
    local.sin_port = 0;
    FListen = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (FListen < 0 || Winsock::bind(FListen, &local) != 0 || Winsock::listen(FListen, 1) != 0 ||
        Winsock::WSAAsyncSelect(FListen, FWindow, kListenMessage, Winsock::FD_ACCEPT) != 0) {
        Fail(TFailure::TKind::Socket, "", Winsock::WSAGetLastError());
        CloseData();
        return EndFetch(TEnd::Failed, "no socket to listen on");
    }
    Winsock::getsockname(FListen, &local);
    Send("PORT " + PortText(local), TState::Port);
}

void TFtpSession::SendRetrieve() {
    if (FFetch.Offset > 0) return Send("REST " + IntToStr(FFetch.Offset), TState::Restart);
    Send(FFetch.Listing ? AnsiString("NLST") : "RETR " + FFetch.Remote, TState::Retrieve);
}

void TFtpSession::OnListenEvent(int event, int) {
    if (event != Winsock::FD_ACCEPT || !TransferState()) return;
    sockaddr_in peer{};
    const int s = Winsock::accept(FListen, &peer);
    if (s < 0) return;  // it went away again
    if (peer.sin_addr.s_addr != FPeer.sin_addr.s_addr) {
        // Whoever saw our address on the network could connect first.
        if (OnLine) OnLine(AnsiString("Refused a connection from ") + Winsock::inet_ntoa(peer.sin_addr));
        Winsock::closesocket(s);
        return;
    }
    Winsock::closesocket(FListen);
    FListen = -1;
    FData = s;
    // Closed only once read to its end (or cut on purpose), it ends with a
    // reset, as the socket layer's connections always did: the server, which
    // closes first, then keeps no TIME_WAIT per file, and its connects to us
    // stay fast (2,000 small files over vsftpd: 1 s, not 3 to 10 s).
    Winsock::setsockopt_linger(FData, true, 0);
    Winsock::WSAAsyncSelect(FData, FWindow, kDataMessage, kEvents);
    Touch();
    if (FState == TState::Transfer) BeginData();
}

void TFtpSession::OnDataEvent(int event, int error) {
    if (FState == TState::Broken || !TransferState()) return;
    if (event == Winsock::FD_CONNECT) {
        if (FState != TState::DataConnecting) return;
        if (error != 0) {
            if (DataPath == TDataPath::PassiveThenActive) return TurnActive();
            Fail(TFailure::TKind::NoConnection, "", error);
            CloseData();
            return EndFetch(TEnd::Failed, "the data connection was refused");
        }
        Touch();
        return SendRetrieve();
    }
    if (event == Winsock::FD_READ) return ReadData();
    if (event == Winsock::FD_CLOSE) {
        if (error != 0) {
            Fail(TFailure::TKind::Socket, "", error);
            return Settle(TEnd::Failed, "the data connection was reset");
        }
        FDataCloseSeen = true;
        ReadData();
    }
}

// The data are read only once the server has said they come (1xx), so the
// caller learns the announced size first.
void TFtpSession::BeginData() {
    if (FDataBegun) return;
    FDataBegun = true;
    Touch();
    // Room for what arrives while a block is being handled: a sender that
    // finds the window shut loses the time.
    Winsock::setsockopt_rcvbuf(FData, 4 << 20);
    if (OnDataBegin) OnDataBegin();
    if (FData >= 0 && FState == TState::Transfer) PostMessage(FWindow, kDataMessage, FData, Winsock::FD_READ);
}

void TFtpSession::ReadData() {
    // A fast link is read a block after another for a few milliseconds;
    // then the loop sees to the rest (a read event follows while bytes are
    // pending), so other sessions and the window get their turn.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(8);
    while (FData >= 0 && FDataBegun && FState == TState::Transfer) {
        // Up to the range's end, or one byte past a limit, so that a file
        // longer than listed (or than can be used) is seen.
        int64_t room = kBlock;
        if (FFetch.Length >= 0) room = std::min(room, FFetch.Length - FReceived + (FFetch.EndsFile ? 1 : 0));
        if (FFetch.MaxBytes >= 0) room = std::min(room, std::max<int64_t>(FFetch.MaxBytes - FReceived + 1, 1));
        const int n = Winsock::recv(FData, FBuffer.get(), static_cast<int>(room), 0);
        if (n < 0) {
            const int error = Winsock::WSAGetLastError();
            if (error == Winsock::WSAEWOULDBLOCK) return;
            if (error == Winsock::WSAENOTCONN) return DataEnded();
            Fail(TFailure::TKind::Socket, "", error);
            return Settle(TEnd::Failed, "the data connection was reset");
        }
        if (n == 0) return DataEnded();
        Touch();
        if (FFetch.Length >= 0 && FReceived + n > FFetch.Length) {
            FOtherSize = FFetch.EndsFile;
            return Settle(TEnd::Failed, "the server sent more bytes than listed");
        }
        AnsiString why;
        if (FFetch.Memory) {
            FFetch.Memory->append(FBuffer.get(), static_cast<size_t>(n));
        } else if (FFetch.Sink) {
            if (!FFetch.Sink(FBuffer.get(), static_cast<size_t>(n), why)) {
                Fail(TFailure::TKind::Local, why);
                return Settle(TEnd::Failed, why);
            }
        } else if (!WriteAllAt(FFetch.Fd, FBuffer.get(), static_cast<size_t>(n), FFetch.Offset + FReceived)) {
            why = AnsiString("the file cannot be written: ") + strerror(errno);
            Fail(TFailure::TKind::Local, why);
            return Settle(TEnd::Failed, why);
        }
        FReceived += n;
        if (OnBytes) OnBytes(n);
        if (FState != TState::Transfer) return;
        if (FFetch.MaxBytes >= 0 && FReceived > FFetch.MaxBytes)
            return Settle(TEnd::Overflow, "the server sent more than " + IntToStr(FFetch.MaxBytes) + " bytes");
        // The range is in: the rest of the file is not wanted.
        if (!FFetch.EndsFile && FReceived == FFetch.Length) return Settle(TEnd::Done, "");
        if (!FDataCloseSeen && std::chrono::steady_clock::now() >= until) return;
    }
}

void TFtpSession::DataEnded() {
    CloseData();
    FDataClosed = true;
    if (FControlGone) return Break("the server closed the connection", false);
    Touch();  // the final reply is due from now
    // Fewer bytes than the caller knows the file has end the fetch now,
    // unless they are all that the server announced: then the file there
    // has another size, which the final reply confirms and the caller sees.
    const int64_t have = FRestartedAt + FReceived;
    const bool wholeAnnounced = FAnnounced > 0 && (FReceived == FAnnounced || have == FAnnounced);
    if (FFetch.Expected >= 0 && have < FFetch.Expected && !wholeAnnounced) {
        const AnsiString why = "The transfer of " + FFetch.Remote + " ended after " + IntToStr(have) + " of " +
                               IntToStr(FFetch.Expected) + " bytes\r\n";
        Fail(TFailure::TKind::Text, why);
        return Settle(TEnd::Failed, why);
    }
    MaybeFinish();
}

void TFtpSession::MaybeFinish() {
    if (!FDataClosed || !FFinalReply || FState != TState::Transfer) return;
    if (FFetch.Length >= 0 && FReceived != FFetch.Length) {
        FOtherSize = FFetch.EndsFile;  // all there was, as the server confirmed
        return EndFetch(TEnd::Failed, IntToStr(FReceived) + " of " + IntToStr(FFetch.Length) + " bytes arrived");
    }
    // A server may announce the whole size or what is left of it.
    if (FAnnounced > 0 && FReceived < FAnnounced - FRestartedAt) {
        const AnsiString why = "The transfer of " + FFetch.Remote + " ended after " + IntToStr(FReceived) + " of " +
                               IntToStr(FAnnounced) + " bytes\r\n";
        Fail(TFailure::TKind::Text, why);
        return EndFetch(TEnd::Failed, why);
    }
    EndFetch(TEnd::Done, "");
}

// The fetch ends before the server's final reply: the data connection goes,
// and ABOR and NOOP put the control connection back in step.
void TFtpSession::Settle(TEnd end, const AnsiString& why) {
    CloseData();
    if (FControlGone) return Break("the server closed the connection", false);
    FOutcome = TOutcome{true, end, why};
    if (FFinalReply) return EndFetch(end, why);
    FAbortReplies = 0;
    FNoopSent = false;
    Send("ABOR", TState::Aborting);
}

void TFtpSession::EndFetch(TEnd end, const AnsiString& why) {
    CloseData();
    FOutcome = TOutcome{true, end, why};
    if (FState != TState::Broken) FState = TState::Ready;
    if (OnFetched) OnFetched(end, why);
}

void TFtpSession::Fail(TFailure::TKind kind, const AnsiString& line, int error) {
    if (FFailure.Kind != TFailure::TKind::None) return;  // the first cause is the one to tell
    FFailure.Kind = kind;
    FFailure.Line = line;
    FFailure.Error = error;
    FFailure.Phase = FState == TState::Resolving    ? TFailure::TPhase::Lookup
                     : FState == TState::Connecting ? TFailure::TPhase::Connect
                     : FState == TState::Greeting   ? TFailure::TPhase::Greeting
                     : FState <= TState::Type       ? TFailure::TPhase::Login
                                                    : TFailure::TPhase::Session;
}

void TFtpSession::Quit(bool untilClosed) {
    FQuitUntilClosed = untilClosed;
    const bool refusedButOpen = FState == TState::Broken && FControl >= 0;
    if (FState != TState::Ready && !refusedButOpen) {
        Abandon();
        if (OnClosed) OnClosed();
        return;
    }
    FQuiet = true;
    ArmTick();
    Send("QUIT", TState::Quitting);
    if (FState == TState::Broken) Closed();  // the connection was gone already
}

void TFtpSession::Abandon() {
    FQuiet = true;  // no word of a break: the caller wanted the end
    if (FFailure.Kind == TFailure::TKind::None && FState != TState::Broken) {
        Fail(TFailure::TKind::None, "");  // only where it was
    }
    Break("");
    if (FControl >= 0) Winsock::closesocket(FControl);
    FControl = -1;
}

void TFtpSession::Break(const AnsiString& why, bool login, bool keepControl) {
    if (FState == TState::Broken) return;
    FBrokeInResync = FState == TState::Aborting;
    FState = TState::Broken;
    if (FLookupHandle) Winsock::WSACancelAsyncRequest(FLookupHandle);
    FLookupHandle = 0;
    CloseData();
    if (!keepControl && FControl >= 0) Winsock::closesocket(FControl);
    if (!keepControl) FControl = -1;
    KillTimer(FWindow, kTickTimer);
    if (OnBroken && !FQuiet) OnBroken(why, login);
}

// The server has let a quitting session go (or took too long to).
void TFtpSession::Closed() {
    FQuiet = true;
    FState = TState::Idle;  // so that Break below closes what is left
    Break("");
    if (FControl >= 0) Winsock::closesocket(FControl);
    FControl = -1;
    if (OnClosed) OnClosed();
}

void TFtpSession::CloseData() {
    if (FWindow) KillTimer(FWindow, kPassiveRetryTimer);
    if (FData >= 0) Winsock::closesocket(FData);
    if (FListen >= 0) Winsock::closesocket(FListen);
    FData = FListen = -1;
}
