// The HTTP session against a real nginx, over http and https: whole files,
// ranges, a resume into a file and a name with a blank, all on one kept
// connection, and through a proxy's CONNECT tunnel; a certificate for
// another host and a redirection from https down to http are refused with
// words that say so.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>

#include <mutex>

#include "HttpDriver.h"
#include "NginxServer.h"

using namespace testing_support;

namespace {

// A proxy's tunnel: reads the CONNECT head, connects to 127.0.0.1:`port`
// and carries bytes both ways until one side closes (10 s of quiet at most).
std::string Tunnel(int fd, int port) {
    std::string head;
    for (std::string line; !(line = LoopbackPeer::Line(fd)).empty();) head += line + "\n";
    int up = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return head;
    LoopbackPeer::Send(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    pollfd p[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
    char b[16384];
    while (::poll(p, 2, 10000) > 0) {
        const int from = (p[0].revents & (POLLIN | POLLHUP)) ? 0 : 1;
        const ssize_t n = ::recv(p[from].fd, b, sizeof b, 0);
        if (n <= 0 || ::send(p[1 - from].fd, b, n, MSG_NOSIGNAL) != n) break;
    }
    ::close(up);
    return head;
}

}  // namespace

TEST(HttpNginx, WholeFilesRangesAndResumeOverHttpAndHttps) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    using TEnd = TFetchSession::TEnd;
    TempDir root, out;
    const std::string a = Random(300000, 7), b = "small file";
    WriteFile(root.file("a.bin"), a);
    WriteFile(root.file("sub dir/b.bin"), b);
    TestCertificates certs;
    const std::string good = certs.Server("good", "IP:127.0.0.1,DNS:localhost");
    const std::string wrong = certs.Server("wrong", "DNS:elsewhere.example");
    setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
    NginxServer nginx(root.path(), {{good, TestCertificates::KeyOf(good)}, {wrong, TestCertificates::KeyOf(wrong)}},
                      "location = /down { return 302 http://127.0.0.1:@PORT@/a.bin; }");

    for (const std::string& base : {"http://127.0.0.1:" + std::to_string(nginx.port()),
                                   "https://localhost:" + std::to_string(nginx.tlsPort(0)) + "/"}) {
        SCOPED_TRACE(base);
        HttpDriver d(base);
        ASSERT_TRUE(d.Open()) << d.why;
        ASSERT_TRUE(d.Get("a.bin")) << d.why;
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(d.data == a);
        EXPECT_EQ(d.session.Announced(), 300000);
        ASSERT_TRUE(d.Get("a.bin", 1000, 5000, false)) << d.why;
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(d.data == a.substr(1000, 5000));
        // The rest of a file whose first 100,000 bytes are in.
        WriteFile(out.file("a.part"), a.substr(0, 100000));
        const int fd = ::open(out.file("a.part").c_str(), O_WRONLY);
        TFetchSession::TFetch f;
        f.Remote = "a.bin";
        f.Fd = fd;
        f.Offset = 100000;
        f.Expected = 300000;
        ASSERT_TRUE(d.Get(f)) << d.why;
        ::close(fd);
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_TRUE(ReadFile(out.file("a.part")) == a);
        ASSERT_TRUE(d.Get("sub dir/b.bin")) << d.why;
        EXPECT_EQ(d.data, b);
        ASSERT_TRUE(d.Get("none.bin"));
        EXPECT_EQ(d.end, TEnd::Refused) << d.why;
        EXPECT_EQ(d.session.Connections(), 1);
        if (base.rfind("https", 0) == 0) {
            ASSERT_TRUE(d.Get("down"));
            EXPECT_EQ(d.end, TEnd::Failed);
            EXPECT_NE(d.why.find("from https down to http"), std::string::npos) << d.why;
        }
    }

    // Through a proxy's tunnel, the certificate still checked for localhost.
    {
        std::mutex m;
        std::string connect;
        LoopbackPeer proxy([&](int fd) {
            const std::string head = Tunnel(fd, nginx.tlsPort(0));
            std::lock_guard<std::mutex> l(m);
            connect = head;
        });
        ScopedEnv env({{"https_proxy", "http://127.0.0.1:" + std::to_string(proxy.port())}});
        HttpDriver p("https://localhost:" + std::to_string(nginx.tlsPort(0)));
        ASSERT_TRUE(p.Open()) << p.why;
        ASSERT_TRUE(p.Get("a.bin", 0, 1000, false)) << p.why;
        EXPECT_EQ(p.end, TEnd::Done) << p.why;
        EXPECT_TRUE(p.data == a.substr(0, 1000));
        p.session.Abandon();
        ASSERT_TRUE(proxy.Finish());
        std::lock_guard<std::mutex> l(m);
        EXPECT_EQ(connect.rfind("CONNECT localhost:" + std::to_string(nginx.tlsPort(0)) + " HTTP/1.1\n", 0), 0u)
            << connect;
    }

    HttpDriver w("https://localhost:" + std::to_string(nginx.tlsPort(1)));
    EXPECT_FALSE(w.Open());
    EXPECT_TRUE(w.broken && w.login);
    EXPECT_NE(w.why.find("is not trusted: hostname mismatch"), std::string::npos) << w.why;
    unsetenv("SSL_CERT_FILE");
}
