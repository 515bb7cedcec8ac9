// libFuzzer target: a whole FTP session against a server whose every byte
// comes from the input, through the real event loop and socket layer on
// loopback. The input is a mode byte, then pieces: a header byte (the low
// 7 bits a length, the high bit: the data connection instead of the control
// connection) and that many bytes; the loop runs between pieces, so replies
// arrive split anywhere. Whatever comes (endless lines, wrong codes, data
// at the wrong time), nothing may crash, no more bytes may be taken than
// were asked for, and the session must end within its limits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "net/FtpSession.h"
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
    }
    port = listening;
    return fd;
}

void Pump(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do EventLoop::WaitForEvent(0.002);
    while (std::chrono::steady_clock::now() < until);
}

// The server's side: what the session sent, and the data connection to the
// port its PORT command named.
struct Server {
    int control = -1, data = -1;
    std::string heard;
    void Hear() {
        char b[4096];
        for (ssize_t n; control >= 0 && (n = ::recv(control, b, sizeof b, MSG_DONTWAIT)) > 0;) heard.append(b, n);
        const size_t at = heard.find("PORT ");
        if (data >= 0 || at == std::string::npos || heard.find('\n', at) == std::string::npos) return;
        int n[6] = {};
        if (sscanf(heard.c_str() + at, "PORT %d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6) return;
        data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(n[4] * 256 + n[5]));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(data, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ::close(data), data = -2;
        else fcntl(data, F_SETFL, fcntl(data, F_GETFL) | O_NONBLOCK);
    }
    ~Server() {
        if (control >= 0) ::close(control);
        if (data >= 0) ::close(data);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    int port = 0;
    const int listener = Listener(port);
    const uint8_t mode = bytes[0];
    TFtpSession session("127.0.0.1", port, "update", "x", 150);
    session.DataPath = TFtpSession::TDataPath::Active;
    session.TypeRequired = mode & 4;
    AnsiString memory;
    bool ended = false;
    const int64_t wanted = (mode & 1) ? 100 : -1;
    session.OnReady = [&] {
        if (ended) return;
        TFtpSession::TFetch f;
        f.Remote = "f";
        f.Listing = mode & 2;
        f.Memory = &memory;
        f.Length = wanted;
        f.EndsFile = wanted < 0;
        f.MaxBytes = wanted < 0 ? 1000 : -1;
        session.Fetch(f);
    };
    session.OnFetched = [&](TFtpSession::TEnd, const AnsiString&) { ended = true; };
    session.OnBroken = [&](const AnsiString&, bool) { ended = true; };
    session.Open();
    Server server;
    for (int i = 0; i < 50 && server.control < 0; ++i) {
        Pump(0.002);
        server.control = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
    if (server.control < 0) abort();  // the session never connected
    size_t sent = 0;
    for (size_t at = 1; at < size && !ended;) {
        const bool toData = bytes[at] & 0x80;
        const size_t n = std::min<size_t>(bytes[at] & 0x7f, size - at - 1);
        const int fd = toData ? server.data : server.control;
        if (fd >= 0) {
            const ssize_t w = ::send(fd, bytes + at + 1, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (toData && w > 0) sent += static_cast<size_t>(w);
        }
        at += 1 + n;
        Pump(0.001);
        server.Hear();
    }
    if (server.data >= 0) ::close(server.data), server.data = -1;
    // The session must end by itself now: within its silence limit of the
    // last step, the few seconds of a resync, or the quit it sends.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!ended && !session.Ready() && std::chrono::steady_clock::now() < until) {
        Pump(0.01);
        server.Hear();
    }
    if (!ended && !session.Ready()) abort();
    if (memory.size() > sent) abort();
    if (wanted >= 0 && static_cast<int64_t>(memory.size()) > wanted) abort();
    if (wanted < 0 && memory.size() > 1001) abort();
    session.Abandon();
    Pump(0.002);
    return 0;
}
