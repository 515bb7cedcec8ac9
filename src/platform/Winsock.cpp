#include "Winsock.h"

#include "HostLookup.h"

#include <cstdio>

#include <FL/Fl.H>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace Winsock {
namespace {

thread_local int tLastError = 0;

int SetError(int wsa) {
    tLastError = wsa;
    return SOCKET_ERROR;
}

// What the notifications of one socket need to know between events.
struct AsyncState {
    uint64_t generation = 0;
    HWND wnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool inEpoll = false;
    bool connectPending = false;
    bool connected = false;
    bool listening = false;
    bool readArmed = true;
    // A read event is in the queue, not yet handled: a handler that receives
    // several times (or a flood that keeps bytes pending) adds no second
    // one, so the queue holds at most one per socket whatever a peer sends.
    bool readQueued = false;
    bool acceptArmed = true;
    bool closePosted = false;
    // A send found the buffer full: a write event is posted once there is
    // room again, as the original posts FD_WRITE after a WSAEWOULDBLOCK.
    bool writeWanted = false;
    // Reading SO_ERROR clears it; a reset seen that way is kept here so that
    // the next receive still reports it instead of a clean end.
    int deferredError = 0;
};

std::map<int, AsyncState> gStates;
uint64_t gGeneration = 0;
int gEpoll = -1;

AsyncState* StateOf(int s) {
    auto it = gStates.find(s);
    return it == gStates.end() ? nullptr : &it->second;
}

// Posts an event unless the socket has been closed (or reused) by the time
// the message would be delivered.
void PostEvent(int s, const AsyncState& st, int event, int error) {
    if (!(st.mask & event) || !st.wnd) return;
    HWND wnd = st.wnd;
    UINT msg = st.msg;
    uint64_t gen = st.generation;
    PostTask([=] {
        AsyncState* now = StateOf(s);
        if (!now || now->generation != gen) return;
        if (event == FD_READ) now->readQueued = false;
        SendMessage(wnd, msg, static_cast<WPARAM>(s), WSAMAKESELECTREPLY(event, error));
    });
}

void PostRead(int s, AsyncState& st) {
    st.readArmed = false;
    if (st.readQueued || !(st.mask & FD_READ) || !st.wnd) return;
    st.readQueued = true;
    PostEvent(s, st, FD_READ, 0);
}

int PendingBytes(int s) {
    int n = 0;
    if (ioctl(s, FIONREAD, &n) != 0) return 0;
    return n;
}

int SocketError(int s) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

void PostReadAndClose(int s, AsyncState& st, uint32_t ev) {
    if (st.readArmed && PendingBytes(s) > 0 && (st.mask & FD_READ)) PostRead(s, st);
    if ((ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && !st.closePosted && (st.mask & FD_CLOSE)) {
        st.closePosted = true;
        int err = (ev & EPOLLERR) ? SocketError(s) : 0;
        if (err) st.deferredError = err;
        PostEvent(s, st, FD_CLOSE, err ? ErrnoToWsa(err) : 0);
    }
}

void Evaluate(int s, uint32_t ev) {
    AsyncState* st = StateOf(s);
    if (!st) return;
    if (st->listening) {
        if ((ev & EPOLLIN) && st->acceptArmed && (st->mask & FD_ACCEPT)) {
            st->acceptArmed = false;
            PostEvent(s, *st, FD_ACCEPT, 0);
        }
        return;
    }
    if (st->connectPending) {
        if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int err = SocketError(s);
        st->connectPending = false;
        st->connected = err == 0;
        PostEvent(s, *st, FD_CONNECT, err ? ErrnoToWsa(err) : 0);
        if (err) return;
    }
    if (!st->connected) return;
    PostReadAndClose(s, *st, ev);
    if ((ev & EPOLLOUT) && st->writeWanted && (st->mask & FD_WRITE)) {
        st->writeWanted = false;
        PostEvent(s, *st, FD_WRITE, 0);
    }
}

// Edge-triggered: every arrival of data, space or a close is one edge, so a
// wait that has already seen some pending bytes still wakes for new ones.
void OnEpollReady(int, void*) {
    epoll_event events[64];
    int n = epoll_wait(gEpoll, events, 64, 0);
    for (int i = 0; i < n; ++i) Evaluate(events[i].data.fd, events[i].events);
}

bool Watch(int s, AsyncState& st) {
    if (gEpoll < 0) {
        gEpoll = epoll_create1(EPOLL_CLOEXEC);
        if (gEpoll < 0) return false;
        Fl::add_fd(gEpoll, FL_READ, OnEpollReady);
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.fd = s;
    int r = epoll_ctl(gEpoll, st.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &ev);
    if (r == 0) st.inEpoll = true;
    return r == 0;
}

AsyncState& NewState(int s) {
    AsyncState& st = gStates[s];
    st = AsyncState{};
    st.generation = ++gGeneration;
    return st;
}

}  // namespace

int ErrnoToWsa(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAENOTSOCK;
        case EACCES: case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
        case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: return WSAECONNRESET;
        case ENOBUFS: case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case EPIPE: case ESHUTDOWN: return WSAESHUTDOWN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        default: return 10000 + err;  // outside the table: "Unknown Error No."
    }
}

int WSAGetLastError() { return tLastError; }

SOCKET socket(int af, int type, int protocol) {
    int s = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (s < 0) {
        SetError(ErrnoToWsa(errno));
        return INVALID_SOCKET;
    }
    NewState(s);
    return s;
}

int closesocket(SOCKET s) {
    AsyncState* st = StateOf(s);
    if (st && st->inEpoll) epoll_ctl(gEpoll, EPOLL_CTL_DEL, s, nullptr);
    gStates.erase(s);
    if (::close(s) != 0) return SetError(ErrnoToWsa(errno));
    return 0;
}

int setsockopt_linger(SOCKET s, bool on, int seconds) {
    linger l{on ? 1 : 0, seconds};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return SetError(ErrnoToWsa(errno));
    return 0;
}

int setsockopt_rcvbuf(SOCKET s, int bytes) {
    // A size set by hand ends the kernel's own tuning of the buffer, and the
    // system caps it at net.core.rmem_max (208 KiB on most desktops): asked
    // for more than the cap allows, the buffer is left to the kernel, which
    // grows it further on its own.
    static const long cap = [] {
        long v = 0;
        if (FILE* f = fopen("/proc/sys/net/core/rmem_max", "r")) {
            if (fscanf(f, "%ld", &v) != 1) v = 0;
            fclose(f);
        }
        return v;
    }();
    if (bytes > cap) return 0;
    if (::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return SetError(ErrnoToWsa(errno));
    return 0;
}

int connect(SOCKET s, const sockaddr_in* addr) {
    AsyncState* st = StateOf(s);
    int r = ::connect(s, reinterpret_cast<const sockaddr*>(addr), sizeof *addr);
    int err = r == 0 ? 0 : errno;
    if (!st) return r == 0 ? 0 : SetError(ErrnoToWsa(err));
    if (r == 0) {
        st->connected = true;
        PostEvent(s, *st, FD_CONNECT, 0);
        return 0;
    }
    if (err == EINPROGRESS) {
        st->connectPending = true;
        return SetError(WSAEWOULDBLOCK);
    }
    if (err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT) {
        // A non-blocking connect reports such outcomes through the event.
        PostEvent(s, *st, FD_CONNECT, ErrnoToWsa(err));
        return SetError(WSAEWOULDBLOCK);
    }
    return SetError(ErrnoToWsa(err));
}

int bind(SOCKET s, const sockaddr_in* addr) {
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s, reinterpret_cast<const sockaddr*>(addr), sizeof *addr) != 0)
        return SetError(ErrnoToWsa(errno));
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (::listen(s, backlog) != 0) return SetError(ErrnoToWsa(errno));
    if (AsyncState* st = StateOf(s)) {
        st->listening = true;
        st->acceptArmed = true;
        if (st->inEpoll) Watch(s, *st);  // a connection may already be waiting
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr) {
    socklen_t len = sizeof(sockaddr_in);
    int r = ::accept4(s, reinterpret_cast<sockaddr*>(addr), addr ? &len : nullptr,
                      SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    AsyncState* lst = StateOf(s);
    if (lst) {
        lst->acceptArmed = true;
        // Another connection already waiting gets its own event, as the
        // original posts one after each accept while any is pending.
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) && (lst->mask & FD_ACCEPT)) {
            lst->acceptArmed = false;
            PostEvent(s, *lst, FD_ACCEPT, 0);
        }
    }
    if (r < 0) {
        SetError(ErrnoToWsa(err));
        return INVALID_SOCKET;
    }
    AsyncState inherited = lst ? *lst : AsyncState{};
    AsyncState& st = NewState(r);
    st.connected = true;
    // An accepted socket takes over the listening socket's notifications.
    if (inherited.wnd) {
        st.wnd = inherited.wnd;
        st.msg = inherited.msg;
        st.mask = inherited.mask;
        Watch(r, st);
    }
    return r;
}

int send(SOCKET s, const void* buf, int len, int flags) {
    ssize_t r = ::send(s, buf, len, flags | MSG_NOSIGNAL);
    const int sendErr = errno;
    if ((r >= 0 && r < len) || (r < 0 && (sendErr == EAGAIN || sendErr == EWOULDBLOCK)))
        if (AsyncState* full = StateOf(s)) full->writeWanted = true;
    if (r < 0) {
        int err = sendErr;
        AsyncState* st = StateOf(s);
        // Linux answers a send on a socket that never connected with EPIPE;
        // the original says "not connected" there.
        if (err == EPIPE && st && !st->connected) return SetError(WSAENOTCONN);
        if (err == EPIPE && st && st->deferredError) err = st->deferredError;
        return SetError(ErrnoToWsa(err));
    }
    return static_cast<int>(r);
}

int recv(SOCKET s, void* buf, int len, int flags) {
    bool peek = flags & MSG_PEEK_FLAG;
    ssize_t r = ::recv(s, buf, len, peek ? MSG_PEEK : 0);
    int err = errno;
    if (!peek) {
        // A receive re-enables the read event; with data still pending it is
        // posted again at once, as the original does.
        if (AsyncState* st = StateOf(s)) {
            st->readArmed = true;
            if (st->connected && r > 0 && PendingBytes(s) > 0 && (st->mask & FD_READ)) PostRead(s, *st);
        }
    }
    if (r < 0) return SetError(ErrnoToWsa(err));
    if (r == 0 && len > 0) {
        AsyncState* st = StateOf(s);
        if (st && st->deferredError) return SetError(ErrnoToWsa(st->deferredError));
    }
    return static_cast<int>(r);
}

int getsockname(SOCKET s, sockaddr_in* addr) {
    socklen_t len = sizeof *addr;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(addr), &len) != 0)
        return SetError(ErrnoToWsa(errno));
    return 0;
}

int getpeername(SOCKET s, sockaddr_in* addr) {
    socklen_t len = sizeof *addr;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(addr), &len) != 0)
        return SetError(ErrnoToWsa(errno));
    return 0;
}

uint32_t inet_addr(const char* text) {
    in_addr a;
    if (::inet_aton(text, &a) == 0) return INADDR_NONE;
    return a.s_addr;
}

const char* inet_ntoa(in_addr a) { return ::inet_ntoa(a); }

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long events) {
    AsyncState* st = StateOf(s);
    if (!st) return SetError(WSAENOTSOCK);
    int fl = fcntl(s, F_GETFL);
    if (fl < 0 || fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0) return SetError(ErrnoToWsa(errno));
    st->wnd = wnd;
    st->msg = msg;
    st->mask = events;
    st->readArmed = true;
    st->readQueued = false;
    st->acceptArmed = true;
    if (!Watch(s, *st)) return SetError(ErrnoToWsa(errno));
    return 0;
}

int SetLastSocketError(int wsa) { return SetError(wsa); }

int ResolveIPv4(const AnsiString& name, std::vector<uint32_t>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int r = getaddrinfo(name.c_str(), nullptr, &hints, &res);
    switch (r) {
        case 0: break;
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA: return WSANO_DATA;
#endif
        default: return WSANO_RECOVERY;
    }
    for (addrinfo* p = res; p; p = p->ai_next)
        addresses.push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return 0;
}

}  // namespace Winsock
