#include "FtpSession.h"

#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FtpReplies.h"
#include "platform/FileSystem.h"
#include "platform/Winsock.h"

namespace {
constexpr UINT kControlMessage = WM_USER + 1, kDataMessage = WM_USER + 2, kLookupMessage = WM_USER + 3;
constexpr UINT kTickTimer = 1;
constexpr long kEvents = Winsock::FD_READ | Winsock::FD_CONNECT | Winsock::FD_CLOSE;
constexpr size_t kBlock = 1 << 20;
constexpr int kMaxReplyLines = 10000;

}  // namespace

TFtpSession::TFtpSession(const AnsiString& host, int port, const AnsiString& user, const AnsiString& password,
                         int idleMilliseconds)
    : FHost(host), FUser(user), FPassword(password), FPort(port), FIdleMs(idleMilliseconds),
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
    const int event = Winsock::WSAGETSELECTEVENT(lParam), error = Winsock::WSAGETSELECTERROR(lParam);
    if (msg == kControlMessage && static_cast<int>(wParam) == self->FControl) self->OnControlEvent(event, error);
    else if (msg == kDataMessage && static_cast<int>(wParam) == self->FData) self->OnDataEvent(event, error);
    else if (msg == kLookupMessage) self->OnLookup(error);
    else if (msg == WM_TIMER) self->OnTick();
    return 0;
}

void TFtpSession::Open() {
    if (FState != TState::Idle) return;
    FAddr.sin_family = AF_INET;
    FAddr.sin_port = htons(static_cast<uint16_t>(FPort));
    FAddr.sin_addr.s_addr = Winsock::inet_addr(FHost.c_str());
    SetTimer(FWindow, kTickTimer, 250);
    Touch();
    if (FAddr.sin_addr.s_addr != INADDR_NONE) return StartConnect();
    FState = TState::Resolving;
    FLookup.reset(new char[1024]);
    FLookupHandle = Winsock::WSAAsyncGetHostByName(FWindow, kLookupMessage, FHost.c_str(), FLookup.get(), 1024);
    if (!FLookupHandle) Break("the host name cannot be looked up", true);
}

void TFtpSession::OnLookup(int error) {
    FLookupHandle = 0;
    if (FState != TState::Resolving) return;
    if (error != 0) return Break("the host name \"" + FHost + "\" is not known", true);
    memcpy(&FAddr.sin_addr.s_addr, reinterpret_cast<hostent*>(FLookup.get())->h_addr_list[0], 4);
    StartConnect();
}

void TFtpSession::StartConnect() {
    FControl = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (FControl < 0 || Winsock::WSAAsyncSelect(FControl, FWindow, kControlMessage, kEvents) != 0)
        return Break("no socket", true);
    FState = TState::Connecting;
    Touch();
    if (Winsock::connect(FControl, &FAddr) != 0 && Winsock::WSAGetLastError() != Winsock::WSAEWOULDBLOCK)
        Break("the connection cannot be made", true);
}

void TFtpSession::OnTick() {
    const bool waiting = FState != TState::Ready && FState != TState::Idle && FState != TState::Broken;
    if (!waiting) return;
    auto silent = std::chrono::steady_clock::now() - FLastActivity;
    if (FState == TState::Quitting && silent > std::chrono::seconds(2)) return Closed();
    if (silent > std::chrono::milliseconds(FIdleMs))
        Break("nothing arrived for " + IntToStr((FIdleMs + 999) / 1000) + " s",
              FState <= TState::Type);
}

void TFtpSession::OnControlEvent(int event, int error) {
    if (FState == TState::Broken) return;
    if (event == Winsock::FD_CONNECT) {
        if (error != 0) return Break("the connection was refused", true);
        FState = TState::Greeting;
        Touch();
        return;
    }
    if (event == Winsock::FD_READ) return ReadControl();
    if (event == Winsock::FD_CLOSE) {
        ReadControl();  // the last reply may come with the close
        if (FState == TState::Quitting) return Closed();
        if (FState != TState::Broken) Break("the server closed the connection", FState <= TState::Type);
    }
}

// Lines end at LF (a CR before it goes); an overlong line keeps its first
// kMaxReplyLine bytes and the rest is dropped as it arrives.
void TFtpSession::ReadControl() {
    char chunk[4096];
    int n = Winsock::recv(FControl, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    Touch();
    for (int i = 0; i < n && FState != TState::Broken; ++i) {
        if (chunk[i] != '\n') {
            if (FLineBuffer.size() < kMaxReplyLine) FLineBuffer += chunk[i];
            continue;
        }
        AnsiString line;
        line.swap(FLineBuffer);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (FReplyCode < 0) {
            FReplyCode = ReplyCode(line);
            if (FReplyCode < 0) return Break("the server's reply is not FTP: " + line);
            FMultiLine = line.size() > 3 && line[3] == '-';
            FReplyText = line;
            FLineTooLong = false;
        } else {
            FReplyText = line;
        }
        const bool ends = FMultiLine ? line.size() >= 4 && line.compare(0, 3, IntToStr(FReplyCode)) == 0 && line[3] == ' '
                                     : !ContinuesReply(line);
        if (!ends) continue;
        const int code = FReplyCode;
        FReplyCode = -1;
        OnReply(code, FReplyText);
    }
}

void TFtpSession::Send(const AnsiString& command, TState next) {
    FState = next;
    Touch();
    const AnsiString line = command + "\r\n";
    if (Winsock::send(FControl, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
        Break("the command could not be sent");
}

void TFtpSession::OnReply(int code, const AnsiString& text) {
    const int cls = code / 100;
    switch (FState) {
        case TState::Greeting:
            if (cls == 1) return;
            if (cls != 2) return Break("the server turned the session away: " + text, true);
            return Send("USER " + FUser, TState::User);
        case TState::User:
            if (cls == 2) return Send("TYPE I", TState::Type);
            if (cls != 3) return Break("the login was refused: " + text, true);
            return Send("PASS " + FPassword, TState::Pass);
        case TState::Pass:
            if (cls != 2) return Break("the login was refused: " + text, true);
            return Send("TYPE I", TState::Type);
        case TState::Type:
            if (cls != 2) return Break("binary mode was refused: " + text, true);
            FState = TState::Ready;
            if (OnReady) OnReady();
            return;
        case TState::Passive: {
            int port = 0;
            if (code != 227 || !ParsePassivePort(text, port)) return Break("passive mode was refused: " + text);
            FData = Winsock::socket(AF_INET, SOCK_STREAM, 0);
            if (FData < 0 || Winsock::WSAAsyncSelect(FData, FWindow, kDataMessage, kEvents) != 0)
                return Break("no socket for the data connection");
            sockaddr_in data = FAddr;  // the data go to the host we logged in to, whatever the reply names
            data.sin_port = htons(static_cast<uint16_t>(port));
            FState = TState::DataConnecting;
            if (Winsock::connect(FData, &data) != 0 && Winsock::WSAGetLastError() != Winsock::WSAEWOULDBLOCK)
                Break("the data connection cannot be made");
            return;
        }
        case TState::Restart:
            if (code != 350) {
                CloseData();
                return EndFetch(cls == 5 ? TEnd::Refused : TEnd::Failed, "REST: " + text);
            }
            return Send("RETR " + FFetch.Remote, TState::Retrieve);
        case TState::Retrieve:
        case TState::Transfer:
            if (cls == 1) {
                FState = TState::Transfer;
                return;
            }
            if (FState == TState::Retrieve && cls != 2) {
                CloseData();
                return EndFetch(cls == 5 ? TEnd::Refused : TEnd::Failed, text);
            }
            FFinalReply = true, FFinalCode = code, FFinalText = text;
            FState = TState::Transfer;
            return MaybeFinish();
        case TState::Aborting:
            // Whatever the transfer and the abort said, the NOOP's answer
            // comes last: the session is in step again.
            if (code == 200) {
                FState = TState::Ready;
                EndFetch(TEnd::Done, "");
            }
            return;
        default:
            return;  // a line the server sent unasked
    }
}

void TFtpSession::Fetch(const TFetch& fetch) {
    if (FState != TState::Ready) return;
    FFetch = fetch;
    FReceived = 0;
    FDataClosed = FFinalReply = false;
    FFinalCode = 0;
    Send("PASV", TState::Passive);
}

void TFtpSession::Quit() {
    if (FState != TState::Ready) {
        FQuiet = true;  // no word of a break: the caller wanted the end
        Break("");
        if (OnClosed) OnClosed();
        return;
    }
    Send("QUIT", TState::Quitting);
}

void TFtpSession::OnDataEvent(int event, int error) {
    if (FState == TState::Broken) return;
    if (event == Winsock::FD_CONNECT) {
        if (error != 0) return Break("the data connection was refused");
        Touch();
        if (FFetch.Offset > 0) return Send("REST " + IntToStr(FFetch.Offset), TState::Restart);
        return Send("RETR " + FFetch.Remote, TState::Retrieve);
    }
    if (event == Winsock::FD_READ) return ReadData();
    if (event == Winsock::FD_CLOSE) {
        if (error != 0) return Break("the data connection was reset");
        while (FData >= 0 && FState != TState::Broken && !FDataClosed) ReadData();
    }
}

void TFtpSession::ReadData() {
    if (FData < 0) return;
    // Up to the range's end; one byte more for a range to the file's end, so
    // that a file longer than listed is seen.
    size_t room = kBlock;
    if (FFetch.Length >= 0)
        room = static_cast<size_t>(std::min<int64_t>(kBlock, FFetch.Length - FReceived + (FFetch.EndsFile ? 1 : 0)));
    int n = Winsock::recv(FData, FBuffer.get(), static_cast<int>(room), 0);
    if (n < 0) {
        if (Winsock::WSAGetLastError() == Winsock::WSAEWOULDBLOCK) return;
        return Break("the data connection was reset");
    }
    if (n == 0) return DataEnded();
    Touch();
    if (FFetch.Length >= 0 && FReceived + n > FFetch.Length) {
        CloseData();
        return EndFetch(TEnd::Failed, "the server sent more bytes than listed");
    }
    if (FFetch.MaxBytes >= 0 && FReceived + n > FFetch.MaxBytes) {
        CloseData();
        return Break("the server sent more than " + IntToStr(FFetch.MaxBytes) + " bytes");
    }
    if (FFetch.Memory) {
        FFetch.Memory->append(FBuffer.get(), static_cast<size_t>(n));
    } else if (!WriteAllAt(FFetch.Fd, FBuffer.get(), static_cast<size_t>(n), FFetch.Offset + FReceived)) {
        const AnsiString why = AnsiString("the file cannot be written: ") + strerror(errno);
        Break(why);
        return;
    }
    FReceived += n;
    if (OnBytes) OnBytes(n);
    if (!FFetch.EndsFile && FReceived == FFetch.Length) {
        // The range is in: the rest of the file is not wanted.
        CloseData();
        Send("ABOR\r\nNOOP", TState::Aborting);
    }
}

void TFtpSession::DataEnded() {
    CloseData();
    FDataClosed = true;
    MaybeFinish();
}

void TFtpSession::MaybeFinish() {
    if (!FDataClosed || !FFinalReply || FState != TState::Transfer) return;
    FState = TState::Ready;
    if (FFinalCode / 100 != 2) return EndFetch(FFinalCode / 100 == 5 ? TEnd::Refused : TEnd::Failed, FFinalText);
    if (FFetch.Length >= 0 && FReceived != FFetch.Length)
        return EndFetch(TEnd::Failed, IntToStr(FReceived) + " of " + IntToStr(FFetch.Length) + " bytes arrived");
    EndFetch(TEnd::Done, "");
}

void TFtpSession::EndFetch(TEnd end, const AnsiString& why) {
    if (FState != TState::Broken) FState = TState::Ready;
    if (OnFetched) OnFetched(end, why);
}

void TFtpSession::Break(const AnsiString& why, bool login) {
    if (FState == TState::Broken) return;
    FState = TState::Broken;
    CloseData();
    if (FControl >= 0) Winsock::closesocket(FControl);
    FControl = -1;
    KillTimer(FWindow, kTickTimer);
    if (OnBroken && !FQuiet) OnBroken(why, login);
}

// The server has let a quitting session go (or took too long to).
void TFtpSession::Closed() {
    FQuiet = true;
    Break("");
    if (OnClosed) OnClosed();
}

void TFtpSession::CloseData() {
    if (FData >= 0) Winsock::closesocket(FData);
    FData = -1;
}
