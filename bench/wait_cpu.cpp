// How much CPU a network wait costs while nothing arrives: a socket connected
// to a silent loopback peer, waited on for 2 seconds through the event loop.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "BenchSupport.h"
#include "platform/EventLoop.h"
#include "platform/Winsock.h"

int main() {
    int port;
    int l = bench::ListenLoopback(port, 1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    HWND w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; }, nullptr);
    Winsock::SOCKET s = Winsock::socket(AF_INET, SOCK_STREAM, 0);
    Winsock::WSAAsyncSelect(s, w, WM_USER + 101, 61);
    Winsock::connect(s, &a);
    int peer = ::accept(l, nullptr, nullptr);

    auto start = std::chrono::steady_clock::now();
    double cpu0 = bench::CpuOf(RUSAGE_SELF);
    char b;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        if (Winsock::recv(s, &b, 1, Winsock::MSG_PEEK_FLAG) > 0) break;
        EventLoop::WaitForEvent(0.5);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = bench::CpuOf(RUSAGE_SELF) - cpu0;
    printf("event-loop wait on a silent socket: wall %.3f s, cpu %.4f s, %.2f%% of a core (target < 2%%)\n",
           wall, cpu, 100 * cpu / wall);
    ::close(peer);
    ::close(l);
    return 0;
}
