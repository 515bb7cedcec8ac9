#include "PeerSockets.h"

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <filesystem>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testing_support {
namespace {

#ifdef _WIN32
using Native = SOCKET;
const int kNoSignal = 0;
void CloseNative(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
int NewSocket() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    return static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
}
#else
using Native = int;
const int kNoSignal = MSG_NOSIGNAL;
void CloseNative(int fd) { ::close(fd); }
int NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
#endif

Native N(int fd) { return static_cast<Native>(fd); }

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

int ListenOnLoopbackAt(int port, int backlog) {
    const int fd = NewSocket();
#ifndef _WIN32
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    sockaddr_in a = Loopback(port);
    if (::bind(N(fd), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(N(fd), backlog) != 0) {
        CloseNative(fd);
        return -1;
    }
    return fd;
}

int ListenOnLoopback(int backlog, int& port) {
    const int fd = ListenOnLoopbackAt(0, backlog);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(N(fd), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int AcceptOn(int listener) { return static_cast<int>(::accept(N(listener), nullptr, nullptr)); }

int ConnectToLoopback(int port, const char* source) {
    const int fd = NewSocket();
    if (source) {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        inet_pton(AF_INET, source, &s.sin_addr);
        ::bind(N(fd), reinterpret_cast<sockaddr*>(&s), sizeof s);
    }
    sockaddr_in a = Loopback(port);
    ::connect(N(fd), reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

int SendBytes(int fd, const void* data, size_t n) {
    return static_cast<int>(::send(N(fd), static_cast<const char*>(data), static_cast<int>(n), kNoSignal));
}

int ReceiveBytes(int fd, void* buf, size_t n) {
    return static_cast<int>(::recv(N(fd), static_cast<char*>(buf), static_cast<int>(n), 0));
}

void CloseSocket(int fd) { CloseNative(fd); }

void ResetAndClose(int fd) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(N(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    CloseNative(fd);
}

void ShutdownSocket(int fd) {
#ifdef _WIN32
    ::shutdown(N(fd), SD_BOTH);
#else
    ::shutdown(fd, SHUT_RDWR);
#endif
}

void EndSending(int fd) {
#ifdef _WIN32
    ::shutdown(N(fd), SD_SEND);
#else
    ::shutdown(fd, SHUT_WR);
#endif
}

void SetReceiveTimeout(int fd, int milliseconds) {
#ifdef _WIN32
    const DWORD tv = static_cast<DWORD>(milliseconds);
#else
    const timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
#endif
    setsockopt(N(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&tv), sizeof tv);
}

double ThreadCpuSeconds() {
#ifdef _WIN32
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;  // 100 ns units
    };
    return seconds(kernel) + seconds(user);
#else
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

#ifdef _WIN32
std::string HostPath(const std::string& path) {
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return "";
    char* name = unixName(std::filesystem::path(path).wstring().c_str());
    if (!name) return "";
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}
#endif

}  // namespace testing_support
