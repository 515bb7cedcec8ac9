// A loopback peer for socket tests: listens on 127.0.0.1 at a free port and
// runs a script on its own thread with each accepted connection. Blocking
// calls there are fine: the component under test runs on the test's thread.
#pragma once
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace testing_support {

// A socket listening on 127.0.0.1 at a port the system picks.
inline int ListenOnLoopback(int backlog, int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

class LoopbackPeer {
public:
    using Script = std::function<void(int fd)>;
    explicit LoopbackPeer(Script script, int connections = 1) : script_(std::move(script)) {
        listen_ = ListenOnLoopback(8, port_);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                int fd = ::accept(listen_, nullptr, nullptr);
                if (fd < 0) return;
                timeval tv{10, 0};  // a broken test must not hang the peer
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                script_(fd);
                ::close(fd);
            }
        });
    }
    ~LoopbackPeer() {
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
    }
    int port() const { return port_; }

    static void Send(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
    static std::string ReadLine(int fd) {
        std::string line;
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n') break;
        }
        return line;
    }
    static void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

private:
    Script script_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace testing_support
