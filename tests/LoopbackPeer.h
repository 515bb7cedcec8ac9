// A loopback peer for socket tests: listens on 127.0.0.1 at a free port and
// runs a script on its own thread with each accepted connection. Blocking
// calls there are fine: the component under test runs on the test's thread.
// Below it, what the scripted FTP servers share.
#pragma once
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PeerSockets.h"
#ifndef _WIN32
// The tests that run on Linux only use the calls themselves too.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testing_support {

// A port of 127.0.0.1 on which nothing listens.
inline int ClosedPort() {
    int port;
    CloseSocket(ListenOnLoopback(1, port));
    return port;
}

class LoopbackPeer {
public:
    using Script = std::function<void(int fd)>;
    explicit LoopbackPeer(Script script, int connections = 1) : script_(std::move(script)) {
        listen_ = ListenOnLoopback(8, port_);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                int fd = AcceptOn(listen_);
                if (fd < 0) return;
                SetReceiveTimeout(fd, 10000);  // a broken test must not hang the peer
                script_(fd);
                CloseSocket(fd);
            }
            std::lock_guard<std::mutex> l(m_);
            finished_ = true;
            done_.notify_all();
        });
    }
    ~LoopbackPeer() {
        ShutdownSocket(listen_);
        CloseSocket(listen_);
        thread_.join();
    }
    int port() const { return port_; }
    // Waits (10 s at most) until the script has run for every connection;
    // what it wrote is then the test's to read.
    bool Finish() {
        std::unique_lock<std::mutex> l(m_);
        return done_.wait_for(l, std::chrono::seconds(10), [this] { return finished_; });
    }

    static void Send(int fd, const std::string& s) { SendBytes(fd, s.data(), s.size()); }
    static std::string ReadLine(int fd) {
        std::string line;
        char c;
        while (ReceiveBytes(fd, &c, 1) == 1) {
            line += c;
            if (c == '\n') break;
        }
        return line;
    }
    // A line without its line end ("" once the other side has closed).
    static std::string Line(int fd) {
        std::string c = ReadLine(fd);
        while (!c.empty() && (c.back() == '\n' || c.back() == '\r')) c.pop_back();
        return c;
    }
    static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

private:
    Script script_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable done_;
    bool finished_ = false;
};

// The commands a scripted server read, for the test to check while the
// script runs.
class CommandLog {
public:
    // Reads a command, logs it and returns it without its line end.
    std::string Next(int fd) {
        std::string c = LoopbackPeer::Line(fd);
        std::lock_guard<std::mutex> l(m_);
        if (!c.empty()) lines_.push_back(c);
        return c;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> l(m_);
        return lines_;
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (auto& s : Lines()) n += s.rfind(prefix, 0) == 0;
        return n;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

// The usual login of a scripted FTP server: the greeting, USER -> 331, PASS
// -> 230, TYPE I -> 200 (the commands go to `log` when there is one).
inline void Login(int fd, CommandLog* log = nullptr, const std::string& greeting = "220 fake\r\n") {
    for (const std::string& reply : {greeting, std::string("331 password please\r\n"), std::string("230 in\r\n")}) {
        LoopbackPeer::Send(fd, reply);
        log ? log->Next(fd) : LoopbackPeer::Line(fd);
    }
    LoopbackPeer::Send(fd, "200 binary\r\n");
}

// Connects to the address of a "PORT h1,h2,h3,h4,p1,p2" command (on
// 127.0.0.1), from the address `source` when given.
inline int ConnectToPort(const std::string& portCommand, const char* source = nullptr) {
    int n[6] = {};
    sscanf(portCommand.c_str(), "PORT %d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]);
    return ConnectToLoopback(n[4] * 256 + n[5], source);
}

}  // namespace testing_support
