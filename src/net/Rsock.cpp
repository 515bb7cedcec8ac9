#include "Rsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/FileWriter.h"
#include "platform/StringList.h"

using namespace Winsock;

int WinsockUseCount = 0;

namespace {

struct ErrorRow {
    int number;
    const char* text;
};

const ErrorRow kErrorTable[] = {
    {10004, "Interrupted system call"}, {10009, "Bad file number"},
    {10013, "Permission denied"}, {10014, "Bad address"},
    {10022, "Invalid argument"}, {10024, "Too many open files"},
    {10035, "Operation would block"}, {10036, "Operation now in progress"},
    {10037, "Operation already in progress"}, {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"}, {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"}, {10042, "Bad protocol option"},
    {10043, "Protocol not supported"}, {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"}, {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"}, {10048, "Address already in use"},
    {10049, "Can't assign requested address"}, {10050, "Network is down"},
    {10051, "Network is unreachable"}, {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"}, {10054, "Connection reset by peer"},
    {10055, "No buffer space available"}, {10056, "Socket is already connected"},
    {10057, "Socket is not connected"}, {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"}, {10060, "Connection timed out"},
    {10061, "Connection refused"}, {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"}, {10064, "Host is down"},
    {10065, "No route to Host"}, {10066, "Directory not empty"},
    {10067, "Too many processes"}, {10068, "Too many users"},
    {10069, "Disc quota exceeded"}, {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"}, {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"}, {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"}, {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};


AnsiString VersionText(uint16_t v) { return IntToStr(v >> 8) + "." + IntToStr(v & 0xFF); }

}  // namespace

AnsiString ExtractField(const AnsiString& S, char D, int N) {
    AnsiString r;
    if (S.empty() || N < 1) return r;
    int count = 0;
    for (char c : S) {
        if (c == D) {
            if (++count == N) break;
        } else if (count == N - 1) {
            r += c;
        }
    }
    return r;
}

TRimsock::TRimsock(TComponent* AOwner) : TComponent(AOwner) {
    ReportStatus(8, "Create");
    NotifyWindow = CreateMessageWindow(SocketWndProc, this);
    Proxy.clear();
    LookupBuffer.reset(new char[1024]);
    Timer = new TThreadTimer(this);
    Timer->SetEnabled(false);
    Timer->SetOnTimer([this](TObject* s) { TimerTriggered(s); });
    TimeOut = 0;
    ReportLevel = 1;
    WinsockInfo.reset(new TStringList);
    Canceled = BeingDestroyed = Connected = false;
    try {
        InitWinsock();
    } catch (...) {
        // The destructor will not run: give back what was made so far.
        ReleaseHandles();
        throw;
    }
}

void TRimsock::ReleaseHandles() {
    delete Timer;
    Timer = nullptr;
    DestroyWindow(NotifyWindow);
    NotifyWindow = 0;
    if (SocketHandle != INVALID_SOCKET) closesocket(SocketHandle);
    SocketHandle = INVALID_SOCKET;
}

TRimsock::~TRimsock() {
    ReportStatus(8, "Destroy");
    // Virtual calls made here reach this class's own versions: a descendant's
    // destructor has already run its part.
    TRimsock::Abort();
    Cancel();
    CancelLookup();
    WinsockInfo.reset();
    delete Timer;
    Timer = nullptr;
    LookupBuffer.reset();
    DestroyWindow(NotifyWindow);
    NotifyWindow = 0;
    BeingDestroyed = true;
    CloseSocket();
    if (--WinsockUseCount == 0) WSACleanup();
}

void TRimsock::InitWinsock() {
    ReportStatus(8, "Initializing Winsock");
    bool ok = true;
    if (++WinsockUseCount == 1) {
        WSAStartup(0x0101, &WinsockData);
        WinsockInfo->Add("Version= " + VersionText(WinsockData.wVersion));
        WinsockInfo->Add("High Version= " + VersionText(WinsockData.wHighVersion));
        WinsockInfo->Add("Description= " + AnsiString(WinsockData.szDescription));
        WinsockInfo->Add("System= " + AnsiString(WinsockData.szSystemStatus));
        WinsockInfo->Add("Max Sockets= " + IntToStr(WinsockData.iMaxSockets));
        WinsockInfo->Add("Max Udp pack size= " + IntToStr(WinsockData.iMaxUdpDg));
    }
    SocketHandle = Winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (SocketHandle == INVALID_SOCKET || NotifyWindow == 0) {
        ok = false;
    } else {
        setsockopt_linger(SocketHandle, true, 0);
        if (WSAAsyncSelect(SocketHandle, NotifyWindow, SocketMessage, 61) != 0) ok = false;
    }
    if (!ok) {
        if (--WinsockUseCount == 0) WSACleanup();
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TRimsock::AskForNotifications() {
    WSAAsyncSelect(SocketHandle, NotifyWindow, SocketMessage, 61);
}

LRESULT TRimsock::SocketWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* owner = static_cast<TRimsock*>(GetWindowOwner(wnd));
    if (owner && msg >= SocketMessage) {
        TMessage m{msg, wParam, lParam, 0};
        owner->HandleSocketMessage(m);
        return m.Result;
    }
    return DefWindowProc(wnd, msg, wParam, lParam);
}

// A wait that finds nothing to do sleeps in the event loop until something
// arrives; the cap only bounds how long a missed flag could go unnoticed.
// Once the program is ending (the user confirmed the exit), every wait
// counts as cancelled, so nothing holds the process.
void TRimsock::LetEventsRun(bool block) {
    if (!Application->Terminated) {
        if (block) EventLoop::WaitForEvent(1.0);
        else EventLoop::ProcessMessages();
    }
    if (Application->Terminated) Canceled = true;
}

void TRimsock::WaitPass() { LetEventsRun(true); }

void TRimsock::ReportStatus(int Level, const AnsiString& Text) {
    try {
        if (Level <= ReportLevel) {
            LastStatus = Text;
            if (!BeingDestroyed && OnStatus) OnStatus(this, LastStatus);
        }
    } catch (...) {
    }
}

void TRimsock::Connect() {
    ReportStatus(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected");
    bool firstPass = true;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (e.Message == "Host Lookup Timed Out" || e.Message == "Host Lookup Canceled") throw;
        }
        if (RemoteAddr.sin_addr.s_addr != 0) break;
        if (firstPass && OnInvalidHost) {
            bool handled = false;
            OnInvalidHost(handled);
            firstPass = false;
            if (handled) continue;
        }
        throw ESockError("Null Remote Address");
    }
    RemoteAddr.sin_family = AF_INET;
    RemoteAddr.sin_port = htons(static_cast<uint16_t>((Proxy.empty() ? Port : ProxyPort) & 0xFFFF));
    AsyncDone = false;
    LastEventOk = true;
    ResetPeerState();
    if (Winsock::connect(SocketHandle, &RemoteAddr) != 0) {
        AnsiString msg;
        CheckError(WSAEWOULDBLOCK, msg);
    }
    TimerOn();
    // A peer that accepts and closes at once may have its connect and close
    // handled in one pass: Connected is then already false again.
    while (!(Connected || TimedOut || Canceled || !LastEventOk || PeerClosed)) WaitPass();
    TimerOff();
    if (Connected && !TimedOut && !Canceled && LastEventOk) return;
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed out");
    if (Canceled) throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TRimsock::CancelLookup() {
    if (LookupHandle) {
        WSACancelAsyncRequest(LookupHandle);
        LookupHandle = 0;
    }
}

void TRimsock::ResolveHost() {
    ReportStatus(8, "Resolve Host");
    AnsiString name = Proxy.empty() ? Host : Proxy;
    name = name.substr(0, sizeof Buffer - 1);
    memcpy(Buffer, name.c_str(), name.size() + 1);
    RemoteAddr.sin_addr.s_addr = Winsock::inet_addr(Buffer);
    if (RemoteAddr.sin_addr.s_addr != INADDR_NONE) return;
    RemoteAddr.sin_addr.s_addr = 0;
    TimerOn();
    AsyncDone = false;
    LastEventOk = true;
    CancelLookup();
    LookupHandle = WSAAsyncGetHostByName(NotifyWindow, LookupMessage, Buffer, LookupBuffer.get(), 1024);
    if (!LookupHandle) LastEventOk = false, AsyncDone = true;
    while (!(AsyncDone || TimedOut || Canceled)) WaitPass();
    TimerOff();
    // A lookup still outstanding is dropped, so its late answer writes nothing.
    CancelLookup();
    if (TimedOut) throw ESockError("Host Lookup Timed Out");
    if (Canceled) throw ESockError("Host Lookup Canceled");
    if (!LastEventOk) throw ESockError("Host Lookup Failed");
    auto* he = reinterpret_cast<hostent*>(LookupBuffer.get());
    memcpy(&RemoteAddr.sin_addr.s_addr, he->h_addr_list[0], 4);
    if (OnHostResolved) OnHostResolved(this);
}

void TRimsock::Disconnect() {
    ReportStatus(8, "Disconnecting");
    CloseSocket();
}

void TRimsock::CloseSocket() {
    ReportStatus(4, "Request Close Socket");
    Connected = false;
    if (SocketHandle == INVALID_SOCKET) return;
    // The descriptor is gone whatever close says; keeping its number would
    // close someone else's descriptor later.
    int closed = closesocket(SocketHandle);
    SocketHandle = INVALID_SOCKET;
    if (!BeingDestroyed) {
        SocketHandle = Winsock::socket(AF_INET, SOCK_STREAM, 0);
        AskForNotifications();
    }
    if (closed != 0) {
        AnsiString msg;
        CheckError(WSAEWOULDBLOCK, msg);
        return;
    }
    if (OnDisconnect && !BeingDestroyed && !FQuietClose) OnDisconnect(this);
}

void TRimsock::CloseQuietly() {
    FQuietClose = true;
    try {
        CloseSocket();
    } catch (...) {
    }
    FQuietClose = false;
}

void TRimsock::ResetPeerState() {
    PeerClosed = false;
    CloseError = 0;
}

int TRimsock::EffectiveTimeOut() const {
    if (TimeOut > 0 && IdleTimeOut > 0) return TimeOut < IdleTimeOut ? TimeOut : IdleTimeOut;
    return TimeOut > 0 ? TimeOut : (IdleTimeOut > 0 ? IdleTimeOut : 0);
}

void TRimsock::CheckConnection() {
    ReportStatus(8, "Checking Connection");
    bool firstPass = true;
    while (!Connected) {
        if (firstPass && OnConnectionRequired) {
            firstPass = false;
            bool handled = false;
            OnConnectionRequired(handled);
            if (handled) continue;
        }
        throw Exception("Not Connected");
    }
}

void TRimsock::Cancel() {
    ReportStatus(8, "Canceling");
    Canceled = true;
}

void TRimsock::Abort() {
    ReportStatus(8, "Abort");
    Cancel();
}

void TRimsock::TimerOn() {
    ReportStatus(8, "Timer On");
    TimedOut = false;
    if (!Timer) return;
    // Stop first, so that a running countdown starts again.
    Timer->SetEnabled(false);
    Timer->SetInterval(static_cast<unsigned>(EffectiveTimeOut()));
    Timer->SetEnabled(true);
}

void TRimsock::TimerOff() {
    ReportStatus(8, "Timer Off");
    if (Timer) Timer->SetEnabled(false);
}

void TRimsock::TimerTriggered(TObject*) {
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    AsyncDone = true;
    Abort();
}

void TRimsock::CheckError(int Ignore, AnsiString& Message) {
    Message.clear();
    LastError = WSAGetLastError();
    if (LastError != Ignore && LastError > 10000) {
        ErrorMessage(LastError, Message);
        if (OnError) OnError(this, static_cast<uint16_t>(LastError), Message);
        throw ESockError(Message);
    }
}

void TRimsock::ErrorMessage(int E, AnsiString& Text) {
    ReportStatus(8, "Looking Up Error Message" + Text);
    Text.clear();
    if (E == 0) return;
    for (const ErrorRow& row : kErrorTable) {
        if (row.number == 0) break;
        if (row.number == E) {
            Text = IntToStr(E) + ":" + row.text;
            return;
        }
    }
    Text = "Unknown Error No. " + IntToStr(E);
}

void TRimsock::SendBuffer(const char* P, int N) {
    ReportStatus(4, "Sending Buffer");
    TimerOn();
    try {
        if (!Canceled) {
            if (N == 0) N = static_cast<int>(strlen(P));
            int done = 0;
            while (done < N && !Canceled) {
                int r = Winsock::send(SocketHandle, P + done, N - done, 0);
                if (r == 0) break;
                if (r < 0) {
                    AnsiString msg;
                    CheckError(WSAEWOULDBLOCK, msg);
                    // The peer is not taking data yet: let the loop run (the
                    // time-out and a cancel can end this) until it has room.
                    WaitPass();
                    continue;
                }
                done += r;
            }
        }
        RaiseIfCanceled("Socket send aborted");
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
}

void TRimsock::RaiseIfCanceled(const char* text) {
    if (!Canceled) return;
    Canceled = false;
    throw EAbortError(text);
}

void TRimsock::Write(const AnsiString& S) {
    ReportStatus(8, "Write");
    size_t n = S.size() < 65536 ? S.size() : 65536;
    memcpy(Buffer, S.data(), n);
    Buffer[n] = '\0';
    SendBuffer(Buffer, 0);
}

void TRimsock::Writeln(const AnsiString& S) {
    ReportStatus(8, "Writeln");
    Write(S + "\r\n");
}

AnsiString TRimsock::Read(int N) {
    ReportStatus(8, "Read( " + IntToStr(N) + " )");
    AnsiString msg;
    if (N == 0) {
        int r = Winsock::recv(SocketHandle, Buffer, 65535, MSG_PEEK_FLAG);
        if (r < 0) {
            CheckError(WSAEWOULDBLOCK, msg);
            return "";
        }
        if (r == 0) return "";
        N = r;
    } else {
        do {
            int r = Winsock::recv(SocketHandle, Buffer, 65536, MSG_PEEK_FLAG);
            if (r >= N) break;
            if (r == 0) return "";
            if (r < 0) CheckError(WSAEWOULDBLOCK, msg);
            WaitPass();
        } while (!Canceled);
    }
    RaiseIfCanceled("Socket send aborted");
    AnsiString result(N, '\0');
    int got = Winsock::recv(SocketHandle, &result[0], N, 0);
    result.resize(got > 0 ? got : 0);
    return result;
}

AnsiString TRimsock::ReadLn() {
    ReportStatus(8, "ReadLn");
    TimerOn();
    AnsiString result;
    // Keeps at most kMaxLineLength bytes of the line; the rest is dropped.
    auto keep = [&result](const char* p, int n) {
        size_t room = kMaxLineLength - std::min(result.size(), kMaxLineLength);
        result.append(p, std::min(static_cast<size_t>(n), room));
    };
    try {
        int lineLength = -1;
        AnsiString msg;
        do {
            int r = Winsock::recv(SocketHandle, Buffer, 65536, MSG_PEEK_FLAG);
            if (r == 0) {  // the peer closed: a partial line is dropped
                result.clear();
                TimerOff();
                return result;
            }
            bool drained = true;
            if (r < 0) {
                LastError = WSAGetLastError();
                if (LastError == WSAENOTCONN) break;
                CheckError(WSAEWOULDBLOCK, msg);
            } else {
                const void* lf = memchr(Buffer, '\n', r);
                if (lf) {
                    lineLength = static_cast<int>(static_cast<const char*>(lf) - Buffer) + 1;
                    break;
                }
                int got = Winsock::recv(SocketHandle, Buffer, r, 0);
                if (got > 0) keep(Buffer, got);
                // A full buffer means more may be waiting already: read on
                // before sleeping, since no new arrival may come to wake us.
                drained = r < 65536;
            }
            LetEventsRun(drained);
        } while (!Canceled);
        RaiseIfCanceled("Socket readln aborted");
        if (lineLength > 0) {
            int got = Winsock::recv(SocketHandle, Buffer, lineLength, 0);
            if (got > 0) {
                bool cut = result.size() + got > kMaxLineLength;
                keep(Buffer, got);
                // A cut line still ends with its line end.
                if (cut) result.replace(result.size() - 1, 1, "\n");
            }
        }
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    return result;
}

bool TRimsock::DataAvailable() {
    ReportStatus(8, "Data Available");
    return Winsock::recv(SocketHandle, Buffer, 1, MSG_PEEK_FLAG) > 0;
}

void TRimsock::ClearInput() {
    ReportStatus(8, "Clearing Input");
    std::unique_ptr<char[]> scratch(new char[65536]);
    Winsock::recv(SocketHandle, scratch.get(), 65536, 0);
}

void TRimsock::Transaction(const AnsiString& Command, AnsiString& Reply) {
    ReportStatus(8, "Transaction");
    ReplyNumber = 0;
    Writeln(Command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        ReportStatus(1, LastReply);
        int64_t value = 0;
        size_t digits = 0;
        while (digits < LastReply.size() && digits < 10 && LastReply[digits] >= '0' && LastReply[digits] <= '9')
            value = value * 10 + (LastReply[digits++] - '0');
        if (digits > 0) ReplyNumber = value <= 0x7FFFFFFF ? static_cast<int>(value) : 0;
    }
    Reply = LastReply;
}

void TRimsock::CaptureFile(const AnsiString& FileName) {
    ReportStatus(8, "CaptureFile");
    BytesReceived = 0;
    ReceiveOverflow = false;
    CaptureStopped = false;
    TimerOn();
    try {
        // Straight to the disk in large blocks where the file system allows.
        TOutputFile file(FileName);
        file.Open(StartOffset);  // on a failure, what arrived stays for a download that goes on from it
        AnsiString msg;
        // Large blocks, one buffer: a fast link is read, written and
        // handed on a mebibyte at a time. The window and the idle timer
        // are seen to every few milliseconds, not at every block.
        if (!FCaptureBuffer) FCaptureBuffer.reset(new char[kCaptureBlock]);
        // Room for what arrives while a block is being inflated and
        // written: a sender that finds the window shut loses the time.
        Winsock::setsockopt_rcvbuf(SocketHandle, 4 << 20);
        char* const block = FCaptureBuffer.get();
        auto lastEvents = std::chrono::steady_clock::now(), lastTimer = lastEvents;
        while (!Canceled) {
            // Never more than one byte past what the caller can use.
            int64_t want = static_cast<int64_t>(kCaptureBlock);
            if (MaxReceive >= 0) want = std::min(want, std::max<int64_t>(MaxReceive - BytesReceived + 1, 1));
            int r = Winsock::recv(SocketHandle, block, static_cast<int>(want), 0);
            if (r > 0) {
                file.Write(block, static_cast<size_t>(r));
                BytesReceived += r;
                if (OnChunk) OnChunk(block, static_cast<size_t>(r));
                if (OnPacketRecvd) OnPacketRecvd(this);
                if (MaxReceive >= 0 && BytesReceived > MaxReceive) {
                    // More than the caller can use: stop now rather than
                    // fill the disk with what will be thrown away.
                    ReceiveOverflow = true;
                    break;
                }
                const auto now = std::chrono::steady_clock::now();
                if (now - lastTimer >= std::chrono::milliseconds(100)) {
                    TimerOn();
                    lastTimer = now;
                }
                if (now - lastEvents >= std::chrono::milliseconds(8)) {
                    LetEventsRun(false);
                    lastEvents = now;
                }
                continue;
            }
            if (r == 0) break;
            LastError = WSAGetLastError();
            if (LastError == WSAENOTCONN) {
                // The close notification got here first; a close that
                // carried an error (a reset) is still a failure.
                if (CloseError) {
                    WSASetLastError(CloseError);
                    CheckError(WSAEWOULDBLOCK, msg);
                }
                break;
            }
            CheckError(WSAEWOULDBLOCK, msg);
            if (StopCapture && StopCapture()) {
                CaptureStopped = true;
                break;
            }
            WaitPass();
        }
        file.Close(true);
        RaiseIfCanceled("Socket send aborted");
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
}

void TRimsock::HandleSocketMessage(TMessage& M) {
    LastEventOk = WSAGETSELECTERROR(M.LParam) == 0;
    try {
        int event = WSAGETSELECTEVENT(M.LParam);
        if (M.Msg == SocketMessage) {
            switch (event) {
                case FD_READ:
                    try {
                        if (OnDataReady) OnDataReady(this);
                    } catch (...) {
                    }
                    break;
                case FD_ACCEPT:
                    Connected = true;
                    if (OnAccept) OnAccept(this);
                    break;
                case FD_CONNECT:
                    if (LastEventOk) {
                        Connected = true;
                        if (OnConnect) OnConnect(this);
                    }
                    break;
                case FD_CLOSE:
                    PeerClosed = true;
                    if (!LastEventOk) CloseError = WSAGETSELECTERROR(M.LParam);
                    if (!DataAvailable()) CloseSocket();
                    break;
                default:
                    break;
            }
        } else if (M.Msg == LookupMessage) {
            if (static_cast<Winsock::HANDLE>(M.WParam) == LookupHandle) LookupHandle = 0;
            AsyncDone = true;
            if (event == FD_ACCEPT) Connected = true;
        }
    } catch (...) {
    }
}

void TRimsock::Listen(bool UseLookup) {
    ReportStatus(8, "Listening");
    RemoteAddr.sin_addr.s_addr = ListenAddress;
    RemoteAddr.sin_family = AF_INET;
    RemoteAddr.sin_port = htons(static_cast<uint16_t>(Port));
    AsyncDone = false;
    AnsiString msg;
    if (Winsock::bind(SocketHandle, &RemoteAddr) != 0) CheckError(0, msg);
    WSAAsyncSelect(SocketHandle, NotifyWindow, UseLookup ? LookupMessage : SocketMessage, FD_ACCEPT);
    if (Winsock::listen(SocketHandle, 1) != 0) CheckError(0, msg);
}

Winsock::SOCKET TRimsock::Accept() {
    ReportStatus(4, "Accepting");
    for (;;) {
        while (!AsyncDone && !Canceled) WaitPass();
        if (Canceled) throw ESockError("Accepting Canceled");
        if (!LastEventOk) throw ESockError("Error creating Data Connection");
        sockaddr_in peer{};
        SOCKET s = Winsock::accept(SocketHandle, &peer);
        if (s == INVALID_SOCKET) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {  // it went away again
                AsyncDone = false;
                continue;
            }
            AnsiString msg;
            CheckError(0, msg);
            throw ESockError("Error creating Data Connection");
        }
        if (AcceptFrom != 0 && peer.sin_addr.s_addr != AcceptFrom) {
            // Whoever saw our address on the network could connect first.
            ReportStatus(4, AnsiString("Refused a connection from ") + Winsock::inet_ntoa(peer.sin_addr));
            closesocket(s);
            AsyncDone = false;
            continue;
        }
        WSAAsyncSelect(s, NotifyWindow, SocketMessage, 61);
        RemoteAddr = peer;
        return s;
    }
}

AnsiString TRimsock::PortAddressText() {
    sockaddr_in local{};
    Winsock::getsockname(SocketHandle, &local);
    AnsiString text = Winsock::inet_ntoa(local.sin_addr);
    for (int i = 0; i < 3; ++i) {
        size_t dot = text.find('.');
        if (dot == AnsiString::npos) break;
        text[dot] = ',';
    }
    return text;
}

AnsiString TRimsock::PortNumberText() {
    sockaddr_in local{};
    Winsock::getsockname(SocketHandle, &local);
    int port = ntohs(local.sin_port);
    return "," + IntToStr(port / 256) + "," + IntToStr(port % 256);
}
