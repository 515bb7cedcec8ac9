// How much CPU a network wait costs while nothing arrives: a socket connected
// to a silent loopback peer, waited on for 2 seconds through the event loop.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/EventLoop.h"
#include "platform/Winsock.h"

static double CpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int main() {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(l, 1);
    socklen_t len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);

    HWND w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; }, nullptr);
    Winsock::SOCKET s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    Winsock::WSAAsyncSelect(s, w, WM_USER + 101, 61);
    Winsock::connect(s, &a);
    int peer = ::accept(l, nullptr, nullptr);

    auto start = std::chrono::steady_clock::now();
    double cpu0 = CpuSeconds();
    char b;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        if (Winsock::recv(s, &b, 1, Winsock::MSG_PEEK_FLAG) > 0) break;
        EventLoop::WaitForEvent(0.5);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = CpuSeconds() - cpu0;
    printf("event-loop wait on a silent socket: wall %.3f s, cpu %.4f s, %.2f%% of a core (target < 2%%)\n",
           wall, cpu, 100 * cpu / wall);
    ::close(peer);
    ::close(l);
    return 0;
}
