// The socket calls of the original platform's socket library, over
// non-blocking POSIX sockets, keeping its error numbers and its window-message
// notifications.
//
// WSAAsyncSelect posts events to a window as a chosen message; wParam is the
// socket, lParam holds the event code in its low 16 bits and the error in its
// high 16 bits. Re-enabling follows the original: a read event is posted
// again only after a (consuming) receive, an accept event after accept, a
// close event once, a write event once there is room after a send that
// did not take everything. Events of a socket that was closed in between are dropped.
//
// Linux: POSIX sockets under epoll (Winsock.cpp). Windows: the system's own
// Winsock (win32/Winsock.cpp), its events brought to our windows and its
// error numbers passed through. Both share the host lookup (HostLookup.cpp).
#pragma once
#include "SocketAddress.h"

#include <cstdint>

#include "EventLoop.h"

namespace Winsock {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr long FD_READ = 1, FD_WRITE = 2, FD_OOB = 4, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32;
constexpr int MSG_PEEK_FLAG = 2;  // the original's MSG_PEEK

constexpr int WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014,
              WSAEINVAL = 10022, WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035,
              WSAEINPROGRESS = 10036, WSAEALREADY = 10037, WSAENOTSOCK = 10038,
              WSAEMSGSIZE = 10040, WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048,
              WSAEADDRNOTAVAIL = 10049, WSAENETDOWN = 10050, WSAENETUNREACH = 10051,
              WSAENETRESET = 10052, WSAECONNABORTED = 10053, WSAECONNRESET = 10054,
              WSAENOBUFS = 10055, WSAEISCONN = 10056, WSAENOTCONN = 10057,
              WSAESHUTDOWN = 10058, WSAETIMEDOUT = 10060, WSAECONNREFUSED = 10061,
              WSAEHOSTDOWN = 10064, WSAEHOSTUNREACH = 10065, WSAHOST_NOT_FOUND = 11001,
              WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003, WSANO_DATA = 11004;

int WSAGetLastError();
// The original's number for a POSIX errno value (Linux back end only).
int ErrnoToWsa(int err);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt_linger(SOCKET s, bool on, int seconds);
// The receive buffer, where net.core.rmem_max allows that many bytes; else
// the kernel keeps tuning it itself.
int setsockopt_rcvbuf(SOCKET s, int bytes);
int connect(SOCKET s, const sockaddr_in* addr);
int bind(SOCKET s, const sockaddr_in* addr);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr);
int send(SOCKET s, const void* buf, int len, int flags);  // never raises SIGPIPE
int recv(SOCKET s, void* buf, int len, int flags);        // flags: 0 or MSG_PEEK_FLAG
int getsockname(SOCKET s, sockaddr_in* addr);
int getpeername(SOCKET s, sockaddr_in* addr);
uint32_t inet_addr(const char* text);  // INADDR_NONE for text that is no dotted address
const char* inet_ntoa(in_addr a);

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events);

// Starts a name lookup on a worker thread (IPv4 addresses only). Its answer, a hostent laid out in
// `buf`, is written on the UI thread just before the message is delivered,
// and only if the request was not cancelled and the window still exists.
using HANDLE = intptr_t;
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
int WSACancelAsyncRequest(HANDLE h);

inline LPARAM WSAMAKESELECTREPLY(int event, int error) {
    return static_cast<LPARAM>((static_cast<uint32_t>(error) << 16) | (event & 0xFFFF));
}
inline int WSAGETSELECTEVENT(LPARAM l) { return LOWORD(l); }
inline int WSAGETSELECTERROR(LPARAM l) { return HIWORD(l); }

}  // namespace Winsock
