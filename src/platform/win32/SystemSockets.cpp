#include "SystemSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "MessageWindow.h"

namespace SystemSockets {

bool Start() {
    // Once, on whichever thread comes first (the lookups' workers too); never
    // undone: the sockets live until the process ends.
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) WSASetLastError(started);
    return started == 0;
}

int LastError() { return WSAGetLastError(); }
void SetLastError(int error) { WSASetLastError(error); }

intptr_t Socket(int af, int type, int protocol) {
    if (!Start()) return -1;
    const SOCKET s = ::socket(af, type, protocol);
    if (s == INVALID_SOCKET) return -1;
    // A program started later (the client's launcher) must not hold our
    // connections open.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<intptr_t>(s);
}

int Close(intptr_t s) { return ::closesocket(static_cast<SOCKET>(s)); }

int SetLinger(intptr_t s, bool on, int seconds) {
    linger l{static_cast<u_short>(on ? 1 : 0), static_cast<u_short>(seconds)};
    return ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

int Connect(intptr_t s, const void* addr, int len) {
    return ::connect(static_cast<SOCKET>(s), static_cast<const sockaddr*>(addr), len);
}

int Bind(intptr_t s, const void* addr, int len) {
    // Never SO_REUSEADDR here: on Windows it lets another program take over
    // a port that is in use.
    return ::bind(static_cast<SOCKET>(s), static_cast<const sockaddr*>(addr), len);
}

int Listen(intptr_t s, int backlog) { return ::listen(static_cast<SOCKET>(s), backlog); }

intptr_t Accept(intptr_t s, void* addr, int* len) {
    const SOCKET a = ::accept(static_cast<SOCKET>(s), static_cast<sockaddr*>(addr), len);
    if (a == INVALID_SOCKET) return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(a), HANDLE_FLAG_INHERIT, 0);
    return static_cast<intptr_t>(a);
}

int Send(intptr_t s, const void* buf, int len) {
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(buf), len, 0);
}

int Receive(intptr_t s, void* buf, int len, bool peek) {
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), len, peek ? MSG_PEEK : 0);
}

int LocalAddress(intptr_t s, void* addr, int* len) {
    return ::getsockname(static_cast<SOCKET>(s), static_cast<sockaddr*>(addr), len);
}

int PeerAddress(intptr_t s, void* addr, int* len) {
    return ::getpeername(static_cast<SOCKET>(s), static_cast<sockaddr*>(addr), len);
}

uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

int SelectEvents(intptr_t s, unsigned msg, long events) {
    return ::WSAAsyncSelect(static_cast<SOCKET>(s), static_cast<HWND>(MessageWindowHandle()), msg, events);
}

int ResolveIPv4(const char* name, std::vector<uint32_t>& addresses) {
    if (!Start()) return WSAGetLastError();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int r = ::getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0) return r;  // WSAHOST_NOT_FOUND, WSATRY_AGAIN, ...: the original's numbers
    for (addrinfo* p = res; p; p = p->ai_next)
        addresses.push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(res);
    return 0;
}

}  // namespace SystemSockets
