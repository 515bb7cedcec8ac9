#include <gtest/gtest.h>

#include <thread>

#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "platform/Winsock.h"

using namespace testing_support;
using namespace Winsock;

namespace {

struct Events {
    std::vector<std::pair<int, int>> got;  // event, error
    int count(int event) const {
        int n = 0;
        for (auto& e : got) n += e.first == event;
        return n;
    }
    int errorOf(int event) const {
        for (auto& e : got) if (e.first == event) return e.second;
        return -1;
    }
};

LRESULT EventProc(HWND wnd, UINT, WPARAM, LPARAM l) {
    static_cast<Events*>(GetWindowOwner(wnd))->got.emplace_back(WSAGETSELECTEVENT(l), WSAGETSELECTERROR(l));
    return 0;
}

// A plain blocking loopback listener on a free port.
struct Listener {
    int fd;
    int port;
    Listener() { fd = ListenOnLoopback(4, port); }
    ~Listener() { CloseSocket(fd); }
    int acceptOne() { return AcceptOn(fd); }
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct AsyncSocket {
    Events ev;
    HWND wnd = CreateMessageWindow(EventProc, &ev);
    SOCKET s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    AsyncSocket() { WSAAsyncSelect(s, wnd, WM_USER + 101, 61); }
    ~AsyncSocket() {
        closesocket(s);
        DestroyWindow(wnd);
    }
};

}  // namespace

TEST(Winsock, ConnectToAClosedPortReportsRefusedThroughTheEvent) {
    AsyncSocket a;
    auto addr = Loopback(ClosedPort());
    int r = Winsock::connect(a.s, &addr);
    EXPECT_TRUE(r == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_CONNECT) == 1; }));
    EXPECT_EQ(a.ev.errorOf(FD_CONNECT), 10061);
    PumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(a.ev.count(FD_CLOSE), 0) << "a failed connect is not a close";
}

TEST(Winsock, ConnectReadAndCloseEventsFollowTheOriginalRules) {
    Listener l;
    AsyncSocket a;
    auto addr = Loopback(l.port);
    Winsock::connect(a.s, &addr);
    int peer = l.acceptOne();
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_CONNECT) == 1; }));
    EXPECT_EQ(a.ev.errorOf(FD_CONNECT), 0);

    SendBytes(peer, "abc", 3);
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_READ) == 1; }));
    // More data before any receive: no second read event.
    SendBytes(peer, "def", 3);
    PumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(a.ev.count(FD_READ), 1);
    char buf[16];
    EXPECT_EQ(Winsock::recv(a.s, buf, 2, MSG_PEEK_FLAG), 2);
    PumpUntil([] { return false; }, 0.05);
    EXPECT_EQ(a.ev.count(FD_READ), 1) << "a peek does not re-enable the read event";
    EXPECT_EQ(Winsock::recv(a.s, buf, 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_READ) == 2; })) << "data remains after the receive";
    EXPECT_EQ(Winsock::recv(a.s, buf, sizeof buf, 0), 4);

    // The peer closes with one byte unread: the byte is still there to read
    // before the end, and the close is reported once (on Windows only once
    // the byte has been read).
    SendBytes(peer, "z", 1);
    CloseSocket(peer);
    std::string rest;
    ASSERT_TRUE(PumpUntil([&] {
        const int n = Winsock::recv(a.s, buf, sizeof buf, 0);
        if (n > 0) rest.append(buf, n);
        return n == 0;
    }));
    EXPECT_EQ(rest, "z");
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_CLOSE) == 1; }));
    EXPECT_EQ(a.ev.errorOf(FD_CLOSE), 0);
    PumpUntil([] { return false; }, 0.05);
    EXPECT_EQ(a.ev.count(FD_CLOSE), 1);
}

TEST(Winsock, RecvWithNothingPendingWouldBlockAndSendToAClosedPeerRaisesNoSignal) {
    Listener l;
    AsyncSocket a;
    auto addr = Loopback(l.port);
    Winsock::connect(a.s, &addr);
    int peer = l.acceptOne();
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_CONNECT) == 1; }));
    char buf[8];
    EXPECT_EQ(Winsock::recv(a.s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ResetAndClose(peer);
    ASSERT_TRUE(PumpUntil([&] { return a.ev.count(FD_CLOSE) == 1; }));
    std::string big(1 << 16, 'x');
    int r = 0;
    for (int i = 0; i < 4 && r != SOCKET_ERROR; ++i) r = Winsock::send(a.s, big.data(), big.size(), 0);
    EXPECT_EQ(r, SOCKET_ERROR);
    EXPECT_TRUE(WSAGetLastError() == WSAECONNRESET || WSAGetLastError() == WSAESHUTDOWN) << WSAGetLastError();
}

TEST(Winsock, ListeningSocketGetsTheAcceptEvent) {
    Events ev;
    HWND wnd = CreateMessageWindow(EventProc, &ev);
    SOCKET s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    WSAAsyncSelect(s, wnd, WM_USER + 102, FD_ACCEPT);
    sockaddr_in any = Loopback(0);
    ASSERT_EQ(Winsock::bind(s, &any), 0);
    ASSERT_EQ(Winsock::listen(s, 1), 0);
    sockaddr_in local{};
    Winsock::getsockname(s, &local);
    int c = ConnectToLoopback(ntohs(local.sin_port));
    ASSERT_TRUE(PumpUntil([&] { return ev.count(FD_ACCEPT) == 1; }));
    sockaddr_in peer{};
    SOCKET a = Winsock::accept(s, &peer);
    EXPECT_NE(a, INVALID_SOCKET);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    CloseSocket(c);
    closesocket(a);
    closesocket(s);
    DestroyWindow(wnd);
}

TEST(Winsock, HostLookupAnswersOnTheUiThread) {
    Events ev;
    HWND wnd = CreateMessageWindow(EventProc, &ev);
    alignas(8) char buf[1024];
    HANDLE h = WSAAsyncGetHostByName(wnd, WM_USER + 102, "localhost", buf, sizeof buf);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(PumpUntil([&] { return ev.got.size() == 1; }));
    EXPECT_EQ(ev.got[0].second, 0);
    auto* he = reinterpret_cast<hostent*>(buf);
    uint32_t addr;
    memcpy(&addr, he->h_addr_list[0], 4);
    EXPECT_EQ(addr, htonl(INADDR_LOOPBACK));

    ev.got.clear();
    WSAAsyncGetHostByName(wnd, WM_USER + 102, "no such host!", buf, sizeof buf);
    ASSERT_TRUE(PumpUntil([&] { return ev.got.size() == 1; }, 30));
    EXPECT_GT(ev.got[0].second, 11000);
    DestroyWindow(wnd);
}

TEST(Winsock, CancelledLookupWritesNothing) {
    Events ev;
    HWND wnd = CreateMessageWindow(EventProc, &ev);
    auto* buf = new char[1024];
    memset(buf, 0x5A, 1024);
    HANDLE h = WSAAsyncGetHostByName(wnd, WM_USER + 102, "localhost", buf, 1024);
    EXPECT_EQ(WSACancelAsyncRequest(h), 0);
    // A second lookup tells when the worker threads have answered.
    alignas(8) char other[1024];
    WSAAsyncGetHostByName(wnd, WM_USER + 102, "localhost", other, sizeof other);
    ASSERT_TRUE(PumpUntil([&] { return ev.got.size() == 1; }));
    PumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(ev.got.size(), 1u);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(buf[i], 0x5A);
    delete[] buf;
    DestroyWindow(wnd);
}

// A send that the socket cannot take whole arms one write event, posted
// once the peer has read and there is room again; none comes before.
TEST(Winsock, WriteEventFollowsASendThatFoundNoRoom) {
    Listener l;
    Events ev;
    HWND wnd = CreateMessageWindow(EventProc, &ev);
    SOCKET s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(s, wnd, WM_USER + 101, FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    sockaddr_in a = Loopback(l.port);
    Winsock::connect(s, &a);
    const int peer = l.acceptOne();
    ASSERT_TRUE(PumpUntil([&] { return ev.count(FD_CONNECT) == 1; }));
    const std::string block(1 << 16, 'x');
    int sent = 0;
    for (int i = 0; i < 100000 && (sent = Winsock::send(s, block.data(), static_cast<int>(block.size()), 0)) ==
                                      static_cast<int>(block.size());
         ++i) {
    }
    ASSERT_TRUE(sent < static_cast<int>(block.size()));
    EventLoop::ProcessMessages();
    EXPECT_EQ(ev.count(FD_WRITE), 0);  // the peer reads nothing yet: no room
    std::thread reader([peer] {
        char b[65536];
        while (ReceiveBytes(peer, b, sizeof b) > 0) {
        }
    });
    EXPECT_TRUE(PumpUntil([&] { return ev.count(FD_WRITE) == 1; }));
    closesocket(s);
    reader.join();
    CloseSocket(peer);
    DestroyWindow(wnd);
}
