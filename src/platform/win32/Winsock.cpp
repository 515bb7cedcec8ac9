// Winsock.h on Windows: the system's Winsock itself (SystemSockets.cpp),
// with its error numbers passed through. Its WSAAsyncSelect posts to the
// event loop's hidden message window (MessageWindow.h); from there each
// event goes to the window and message the caller chose, as a message sent
// to our window (EventLoop.h).
//
// What this adds to the system's rules, so that both back ends keep the
// promises of Winsock.h:
// - every socket has a message of its own, taken in turn from a range of
//   sixteen thousand: the system reuses a closed socket's handle at once,
//   and an event of the closed one still queued must not reach the new one;
//   events of a socket closed in between are dropped;
// - a write event only once a send found no room (the system also posts
//   one when a connection is made, which no caller asked for), and a read
//   event only after a receive that consumed (the system also re-enables it
//   after a peek);
// - the close event may come only once every byte before it has been read
//   (Linux's comes with the last bytes);
// - a socket handle fits in our int SOCKET: the system keeps handles below
//   2^24 and they are shared with 32-bit programs.
#include "Winsock.h"

#include <cstdio>
#include <map>

#include "HostLookup.h"
#include "MessageWindow.h"
#include "SystemSockets.h"

namespace Winsock {
namespace {

struct SocketState {
    HWND wnd = 0;
    UINT msg = 0;
    long mask = 0;
    unsigned systemMessage = 0;
    // An accepted socket: the listening socket's message, which its events
    // come as until it selects its own.
    unsigned inheritedMessage = 0;
    bool writeWanted = false;
    // A read event was handed on and no receive has consumed since: the
    // system posts another after a peek, which Winsock.h promises not to.
    bool readDelivered = false;
};

std::map<SOCKET, SocketState> gSockets;  // UI thread only
unsigned gNextMessage = 0;

SocketState& NewState(SOCKET s) {
    SocketState& st = gSockets[s];
    st = SocketState{};
    st.systemMessage = kFirstSocketMessage + gNextMessage;
    gNextMessage = (gNextMessage + 1) % kSocketMessageCount;
    return st;
}

void OnSocketMessage(unsigned msg, uintptr_t socket, intptr_t lParam) {
    const auto s = static_cast<SOCKET>(socket);
    auto it = gSockets.find(s);
    if (it == gSockets.end()) return;
    SocketState& st = it->second;
    if (msg != st.systemMessage && msg != st.inheritedMessage) return;  // of an earlier socket with this handle
    const int event = WSAGETSELECTEVENT(lParam), error = WSAGETSELECTERROR(lParam);
    if (!(st.mask & event) || !st.wnd) return;
    if (event == FD_WRITE) {
        if (!st.writeWanted) return;
        st.writeWanted = false;
    }
    if (event == FD_READ) {
        if (st.readDelivered) return;
        st.readDelivered = true;
    }
    SendMessage(st.wnd, st.msg, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(event, error));
}

int AddressCall(int (*call)(intptr_t, void*, int*), SOCKET s, sockaddr_in* addr) {
    int len = sizeof *addr;
    return call(s, addr, &len) == 0 ? 0 : SOCKET_ERROR;
}

}  // namespace

int WSAGetLastError() { return SystemSockets::LastError(); }

int SetLastSocketError(int wsa) {
    SystemSockets::SetLastError(wsa);
    return SOCKET_ERROR;
}

SOCKET socket(int af, int type, int protocol) {
    const intptr_t s = SystemSockets::Socket(af, type, protocol);
    if (s < 0) return INVALID_SOCKET;
    NewState(static_cast<SOCKET>(s));
    return static_cast<SOCKET>(s);
}

int closesocket(SOCKET s) {
    gSockets.erase(s);
    return SystemSockets::Close(s) == 0 ? 0 : SOCKET_ERROR;
}

int setsockopt_linger(SOCKET s, bool on, int seconds) {
    return SystemSockets::SetLinger(s, on, seconds) == 0 ? 0 : SOCKET_ERROR;
}

// Windows tunes each connection's receive window itself (up to 16 MiB); a
// size set by hand would end that.
int setsockopt_rcvbuf(SOCKET, int) { return 0; }

int connect(SOCKET s, const sockaddr_in* addr) {
    return SystemSockets::Connect(s, addr, sizeof *addr) == 0 ? 0 : SOCKET_ERROR;
}

int bind(SOCKET s, const sockaddr_in* addr) {
    return SystemSockets::Bind(s, addr, sizeof *addr) == 0 ? 0 : SOCKET_ERROR;
}

int listen(SOCKET s, int backlog) { return SystemSockets::Listen(s, backlog) == 0 ? 0 : SOCKET_ERROR; }

SOCKET accept(SOCKET s, sockaddr_in* addr) {
    sockaddr_in scratch{};
    int len = sizeof scratch;
    const intptr_t a = SystemSockets::Accept(s, addr ? addr : &scratch, &len);
    if (a < 0) return INVALID_SOCKET;
    auto listener = gSockets.find(s);
    const SocketState inherited = listener == gSockets.end() ? SocketState{} : listener->second;
    SocketState& st = NewState(static_cast<SOCKET>(a));
    // The system gives an accepted socket the listening socket's selection.
    st.wnd = inherited.wnd;
    st.msg = inherited.msg;
    st.mask = inherited.mask;
    st.inheritedMessage = inherited.systemMessage;
    if (st.wnd) SystemSockets::SelectEvents(a, st.systemMessage, st.mask);
    return static_cast<SOCKET>(a);
}

// The system re-enables the write event only after a send that failed
// with WSAEWOULDBLOCK, not after one that took part of the bytes: the rest
// is offered until the system says so, and the caller learns what it took.
int send(SOCKET s, const void* buf, int len, int) {
    int taken = 0;
    for (;;) {
        const int r = SystemSockets::Send(s, static_cast<const char*>(buf) + taken, len - taken);
        const bool full = r < 0 && SystemSockets::LastError() == WSAEWOULDBLOCK;
        if (r > 0) taken += r;
        if (r > 0 && taken < len) continue;
        auto it = gSockets.find(s);
        if (full && it != gSockets.end()) it->second.writeWanted = true;
        if (r < 0 && taken == 0) return SOCKET_ERROR;
        return taken;  // an error after some bytes shows at the next call
    }
}

int recv(SOCKET s, void* buf, int len, int flags) {
    const bool peek = flags & MSG_PEEK_FLAG;
    if (!peek) {
        auto it = gSockets.find(s);
        if (it != gSockets.end()) it->second.readDelivered = false;
    }
    return SystemSockets::Receive(s, buf, len, peek);
}

int getsockname(SOCKET s, sockaddr_in* addr) { return AddressCall(SystemSockets::LocalAddress, s, addr); }
int getpeername(SOCKET s, sockaddr_in* addr) { return AddressCall(SystemSockets::PeerAddress, s, addr); }

uint32_t inet_addr(const char* text) { return SystemSockets::InetAddr(text); }

const char* inet_ntoa(in_addr a) {
    static thread_local char text[16];
    const uint32_t ip = ntohl(a.s_addr);
    snprintf(text, sizeof text, "%u.%u.%u.%u", (ip >> 24) & 255, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
    return text;
}

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events) {
    auto it = gSockets.find(s);
    if (it == gSockets.end()) return SetLastSocketError(WSAENOTSOCK);
    SetSocketMessageHandler(OnSocketMessage);
    SocketState& st = it->second;
    st.wnd = wnd;
    st.msg = msg;
    st.mask = events;
    return SystemSockets::SelectEvents(s, st.systemMessage, events) == 0 ? 0 : SOCKET_ERROR;
}

int ResolveIPv4(const AnsiString& name, std::vector<uint32_t>& addresses) {
    return SystemSockets::ResolveIPv4(name.c_str(), addresses);
}

}  // namespace Winsock
