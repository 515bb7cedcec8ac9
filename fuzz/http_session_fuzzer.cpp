// libFuzzer target: a whole HTTP session against a server whose every byte
// comes from the input, through the real event loop and socket layer on
// loopback. Every connection goes to one listener, set as the proxy for
// http and https, so that no redirection the input names can reach beyond
// loopback or look a name up. The input is a mode byte (which range, which
// limit), then pieces: a header byte (the low 7 bits a length; the high bit:
// the server drops its connection first) and that many bytes; the loop runs
// between pieces, so answers arrive split anywhere. Whatever comes, nothing
// may crash, no more bytes may be taken than were sent or asked for, and the
// session must end within its limits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/HttpSession.h"
#include "platform/Dialogs.h"
#include "platform/EventLoop.h"

// No window here: an error box would be an exception that got away.
void ShowErrorBox(const AnsiString&) { abort(); }

namespace {

int Listener(int& port) {
    static int fd = -1, listening = 0;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 8);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        listening = ntohs(a.sin_port);
        const std::string proxy = "http://127.0.0.1:" + std::to_string(listening);
        setenv("http_proxy", proxy.c_str(), 1);
        setenv("https_proxy", proxy.c_str(), 1);
        unsetenv("no_proxy");
        unsetenv("NO_PROXY");
    }
    port = listening;
    return fd;
}

void Pump(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do EventLoop::WaitForEvent(0.002);
    while (std::chrono::steady_clock::now() < until);
}

// The server's side: the connection the session made last; what it asked
// is read and dropped.
struct Server {
    int listener, connection = -1;
    void Take() {
        const int next = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (next < 0) return;
        if (connection >= 0) ::close(connection);
        connection = next;
    }
    void Hear() {
        char b[4096];
        while (connection >= 0 && ::recv(connection, b, sizeof b, MSG_DONTWAIT) > 0) {
        }
    }
    ~Server() {
        if (connection >= 0) ::close(connection);
        for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) ::close(fd);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    int port = 0;
    Server server{Listener(port)};
    const uint8_t mode = bytes[0];
    THttpSession session(mode & 8 ? "https://mirror.invalid/pub" : "http://mirror.invalid/pub", 150);
    AnsiString memory;
    bool ended = false;
    const int64_t offset = (mode & 2) ? 10 : 0, wanted = (mode & 1) ? 100 : -1;
    session.OnReady = [&] {
        if (ended) return;
        TFetchSession::TFetch f;
        f.Remote = "f";
        f.Memory = &memory;
        f.Offset = offset;
        f.Length = wanted;
        f.EndsFile = (mode & 4) ? wanted < 0 : true;
        f.RestartMayFail = mode & 16;
        f.MaxBytes = wanted < 0 ? 1000 : -1;
        session.Fetch(f);
    };
    session.OnFetched = [&](TFetchSession::TEnd, const AnsiString&) { ended = true; };
    session.OnBroken = [&](const AnsiString&, bool) { ended = true; };
    session.Open();
    for (int i = 0; i < 50 && server.connection < 0; ++i) {
        Pump(0.002);
        server.Take();
    }
    if (server.connection < 0) abort();  // the session never connected
    size_t sent = 0;
    for (size_t at = 1; at < size && !ended;) {
        if (bytes[at] & 0x80) {
            ::close(server.connection);
            server.connection = -1;
        }
        const size_t n = std::min<size_t>(bytes[at] & 0x7f, size - at - 1);
        if (server.connection >= 0) {
            const ssize_t w = ::send(server.connection, bytes + at + 1, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) sent += static_cast<size_t>(w);
        }
        at += 1 + n;
        Pump(0.001);
        server.Take();
        server.Hear();
    }
    // The session must end by itself now, within its silence limit.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!ended && std::chrono::steady_clock::now() < until) {
        Pump(0.01);
        server.Take();
        server.Hear();
    }
    if (!ended) abort();
    if (memory.size() > sent) abort();
    if (wanted >= 0 && static_cast<int64_t>(memory.size()) > wanted) abort();
    if (wanted < 0 && memory.size() > 1001) abort();
    session.Abandon();
    Pump(0.002);
    return 0;
}
