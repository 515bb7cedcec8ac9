// Small helpers for the benchmarks: clocks, CPU time, peak memory, and
// running a shell command with its own CPU time measured.
#pragma once
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A listening socket on 127.0.0.1 at a free port.
inline int ListenLoopback(int& port, int backlog = 2) {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(l, backlog);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return l;
}

inline double CpuOf(int who) {
    rusage u;
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline long PeakRssKiB() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

struct Measured {
    double wall, cpu;
};

// Runs a shell command; its wall time and the CPU time of its processes.
inline Measured RunCommand(const std::string& cmd) {
    double cpu0 = CpuOf(RUSAGE_CHILDREN), t0 = Now();
    int rc = system(cmd.c_str());
    if (rc != 0) fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
    return {Now() - t0, CpuOf(RUSAGE_CHILDREN) - cpu0};
}

inline void Report(const char* what, Measured ours, Measured theirs, const char* them) {
    printf("%-28s skiff %.3f s (cpu %.3f s) | %s %.3f s (cpu %.3f s) | time ratio %.2f, cpu ratio %.2f\n",
           what, ours.wall, ours.cpu, them, theirs.wall, theirs.cpu, ours.wall / theirs.wall,
           theirs.cpu > 0 ? ours.cpu / theirs.cpu : 0.0);
}

}  // namespace bench

// Shared libraries of this system, by name, up to `size` bytes: code and
// tables that compress as a client's files do, the same at every run here.
inline std::string BaseBytes(size_t size) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator("/usr/lib/x86_64-linux-gnu"))
        if (!e.is_symlink() && e.is_regular_file() && e.path().string().find(".so") != std::string::npos)
            names.push_back(e.path());
    std::sort(names.begin(), names.end());
    std::string bytes;
    for (const std::string& n : names) {
        if (bytes.size() >= size) break;
        std::ifstream in(n, std::ios::binary);
        bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bytes.resize(size);
    return bytes;
}
