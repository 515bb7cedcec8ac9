// The HTTP session against scripted servers doing what a real one will not:
// ranges answered wrongly or not at all, a kept connection closed between
// requests, redirections in a loop, heads that never end, stalls. The
// parsers' corner cases come first.
#include <gtest/gtest.h>

#include <mutex>

#include "HttpDriver.h"
#include "LoopbackPeer.h"
#include "net/HttpReplies.h"

using namespace testing_support;

namespace {

using Peer = LoopbackPeer;
using TEnd = TFetchSession::TEnd;

// The requests a scripted server read, for the test to check.
class Requests {
public:
    // Reads one request head (up to its empty line), keeps it and returns it
    // with "\n" line ends.
    std::string Next(int fd) {
        std::string head;
        for (std::string line; !(line = Peer::Line(fd)).empty();) head += line + "\n";
        std::lock_guard<std::mutex> l(m_);
        all_.push_back(head);
        return head;
    }
    std::vector<std::string> All() const {
        std::lock_guard<std::mutex> l(m_);
        return all_;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> all_;
};

void UntilClosed(int fd) {
    char b[4096];
    while (ReceiveBytes(fd, b, sizeof b) > 0) {
    }
}

std::string Url(const Peer& peer) { return "http://127.0.0.1:" + std::to_string(peer.port()) + "/pub"; }

}  // namespace

TEST(HttpReplies, AddressesRangesAndLengthsParse) {
    THttpUrl u;
    AnsiString why;
    ASSERT_TRUE(SplitHttpUrl("HTTPS://[::1]:8443/pub/", u, why));
    EXPECT_TRUE(u.Https && u.Ipv6());
    EXPECT_EQ(u.Host, "::1");
    EXPECT_EQ(u.Authority(), "[::1]:8443");
    EXPECT_EQ(u.Path, "/pub");
    ASSERT_TRUE(SplitHttpUrl("http://mirror.example", u, why));
    EXPECT_EQ(u.EffectivePort(), 80);
    EXPECT_EQ(u.Path, "");
    for (const char* bad : {"ftp://h/", "http://user@h/", "http://h:0/", "http://h:99999/", "http://h/?q", "http:///x",
                            "http://[::1/", "http://h /"})
        EXPECT_FALSE(SplitHttpUrl(bad, u, why)) << bad;
    EXPECT_EQ(RequestTarget("/pub", "/dir/a b%?.dat"), "/pub/dir/a%20b%25%3F.dat");
    EXPECT_EQ(RequestTarget("", "\xa4\xa4.dat"), "/%A4%A4.dat");

    THttpUrl from, to;
    ASSERT_TRUE(SplitHttpUrl("https://a.example/pub", from, why));
    from.Path = "/pub/dir/f.dat";
    ASSERT_TRUE(ResolveLocation(from, "g.dat", to, why));
    EXPECT_EQ(to.Path, "/pub/dir/g.dat");
    ASSERT_TRUE(ResolveLocation(from, "//b.example:81/x?t=1#frag", to, why));
    EXPECT_TRUE(to.Https);
    EXPECT_EQ(to.Authority(), "b.example:81");
    EXPECT_EQ(to.Path, "/x?t=1");
    EXPECT_FALSE(ResolveLocation(from, "gopher://c/", to, why));

    TContentRange r;
    EXPECT_TRUE(ParseContentRange("bytes 0-9/10", r) && r.First == 0 && r.Last == 9 && r.Total == 10);
    EXPECT_TRUE(ParseContentRange("bytes */42", r) && r.First == -1 && r.Total == 42);
    EXPECT_TRUE(ParseContentRange("bytes 5-9/*", r) && r.Total == -1);
    for (const char* bad : {"bytes 5-4/10", "bytes 0-10/10", "items 0-1/2", "bytes 0-/10", "bytes */*"})
        EXPECT_FALSE(ParseContentRange(bad, r)) << bad;
    int64_t n = 0;
    EXPECT_TRUE(ParseContentLength("5, 5", n) && n == 5);
    for (const char* bad : {"5, 6", "-1", "", "1e3", "1234567890123456789"})
        EXPECT_FALSE(ParseContentLength(bad, n)) << bad;
}

// No Range support (200), a wrong Content-Range, a refusal, a right range
// whose validator goes with the next range, and a chunked body split at
// every byte: each fetch ends as it should, and a fetch that failed costs
// only its connection.
TEST(HttpScripted, RangesAsTheServerAnswersThem) {
    Requests requests;
    int connection = 0;
    Peer peer(
        [&](int fd) {
            switch (connection++) {
                case 0:
                    requests.Next(fd);
                    Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789");
                    break;
                case 1:
                    requests.Next(fd);
                    Peer::Send(fd, "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-3/10\r\nContent-Length: 4\r\n\r\n0123");
                    break;
                default: {
                    requests.Next(fd);
                    Peer::Send(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope");
                    requests.Next(fd);
                    Peer::Send(fd, "HTTP/1.1 206 Partial\r\nContent-Range: bytes 2-4/10\r\nETag: \"v1\"\r\n"
                                   "Content-Length: 3\r\n\r\n234");
                    requests.Next(fd);
                    Peer::Send(fd, "HTTP/1.1 206 Partial\r\nContent-Range: bytes 5-9/10\r\n"
                                   "Transfer-Encoding: chunked\r\n\r\n");
                    for (char c : std::string("2;x=y\r\n56\r\n3\r\n789\r\n0\r\nTrailer: t\r\n\r\n")) {
                        Peer::Send(fd, std::string(1, c));
                        Peer::Sleep(1);
                    }
                }
            }
            UntilClosed(fd);
        },
        3);
    {
        HttpDriver d(Url(peer));
        ASSERT_TRUE(d.Open()) << d.why;
        ASSERT_TRUE(d.Get("f", 5, 5, false));
        EXPECT_EQ(d.end, TEnd::Failed);
        EXPECT_NE(d.why.find("does not send ranges"), std::string::npos) << d.why;
        ASSERT_TRUE(d.Get("f", 3, 4, false));
        EXPECT_EQ(d.end, TEnd::Failed);
        EXPECT_NE(d.why.find("Content-Range: bytes 0-3/10"), std::string::npos) << d.why;
        ASSERT_TRUE(d.Get("missing"));
        EXPECT_EQ(d.end, TEnd::Refused) << d.why;
        ASSERT_TRUE(d.Get("f", 2, 3, false));
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_EQ(d.data, "234");
        EXPECT_EQ(d.session.Validator("f"), "\"v1\"");
        ASSERT_TRUE(d.Get("f", 5));
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_EQ(d.data, "56789");
        EXPECT_EQ(d.session.Announced(), 10);
        EXPECT_EQ(d.session.Connections(), 3);
        EXPECT_FALSE(d.broken);
    }
    ASSERT_TRUE(peer.Finish());
    const auto all = requests.All();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_NE(all[0].find("GET /pub/f HTTP/1.1\nHost: 127.0.0.1:"), std::string::npos) << all[0];
    EXPECT_NE(all[0].find("Range: bytes=5-9\n"), std::string::npos);
    EXPECT_NE(all[0].find("Accept-Encoding: identity\n"), std::string::npos);
    EXPECT_EQ(all[2].find("Range:"), std::string::npos);
    EXPECT_EQ(all[3].find("If-Range:"), std::string::npos);
    EXPECT_NE(all[4].find("Range: bytes=5-\nIf-Range: \"v1\"\n"), std::string::npos) << all[4];
}

// The server lets a kept connection go as the next request arrives, then
// cuts a body short: the request goes again on a new connection, and the
// short body fails its fetch without ending the session.
TEST(HttpScripted, KeptConnectionClosedBetweenRequestsIsMadeAgain) {
    int connection = 0;
    Peer peer(
        [&](int fd) {
            Requests r;
            r.Next(fd);
            if (connection++ == 0) {
                // Let go as the next request comes, before any byte of its answer.
                Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
                r.Next(fd);
                return;
            }
            Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ndef");
            r.Next(fd);
            Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nghi");
        },
        2);
    HttpDriver d(Url(peer));
    ASSERT_TRUE(d.Open()) << d.why;
    ASSERT_TRUE(d.Get("a"));
    EXPECT_EQ(d.data, "abc");
    ASSERT_TRUE(d.Get("b")) << d.why;
    EXPECT_EQ(d.end, TEnd::Done) << d.why;
    EXPECT_EQ(d.data, "def");
    EXPECT_EQ(d.session.Connections(), 2);
    ASSERT_TRUE(d.Get("c")) << d.why;
    EXPECT_EQ(d.end, TEnd::Failed);
    EXPECT_NE(d.why.find("after 3 bytes"), std::string::npos) << d.why;
    EXPECT_TRUE(d.session.Ready());
    ASSERT_TRUE(peer.Finish());
}

// A redirection with a body is followed on the same connection; a loop of
// them ends the fetch after five.
TEST(HttpScripted, RedirectionsAreFollowedFiveTimesAtMost) {
    Requests requests;
    Peer peer([&](int fd) {
        requests.Next(fd);
        Peer::Send(fd, "HTTP/1.1 302 Found\r\nLocation: /other/b\r\nContent-Length: 5\r\n\r\nmoved");
        requests.Next(fd);
        Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        for (int i = 0; i < 6; ++i) {
            requests.Next(fd);
            Peer::Send(fd, "HTTP/1.1 301 Moved\r\nLocation: loop\r\nContent-Length: 0\r\n\r\n");
        }
        UntilClosed(fd);
    });
    {
        HttpDriver d(Url(peer));
        ASSERT_TRUE(d.Open()) << d.why;
        ASSERT_TRUE(d.Get("a"));
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_EQ(d.data, "ok");
        ASSERT_TRUE(d.Get("loop"));
        EXPECT_EQ(d.end, TEnd::Failed);
        EXPECT_NE(d.why.find("more than 5 redirections"), std::string::npos) << d.why;
        EXPECT_EQ(d.session.Connections(), 1);
    }
    ASSERT_TRUE(peer.Finish());
    const auto all = requests.All();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[1].rfind("GET /other/b HTTP/1.1\n", 0), 0u) << all[1];
    EXPECT_EQ(all[7].rfind("GET /pub/loop HTTP/1.1\n", 0), 0u) << all[7];
}

// Answers that never end, or are no HTTP, end the session with words that
// say why, within the silence limit or the head's bounds.
TEST(HttpScripted, AnswersThatNeverEndBreakTheSession) {
    auto flood = [](int fd, const std::string& unit) {
        for (int i = 0; i < 100000; ++i)
            if (SendBytes(fd, unit.data(), unit.size()) <= 0) return;
    };
    struct Case {
        const char* what;
        std::function<void(int)> answer;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"endless header fields",
         [&](int fd) { Peer::Send(fd, "HTTP/1.1 200 OK\r\n"); flood(fd, "X-Filler: aaaaaaaa\r\n"); }, "more than 100 fields"},
        {"an endless header line", [&](int fd) { Peer::Send(fd, "HTTP/1.1 200 OK\r\nX: "); flood(fd, "aaaaaaaa"); },
         "too long"},
        {"a head that never ends", [](int fd) { Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"); },
         "nothing arrived"},
        {"a stall after the head",
         [](int fd) { Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"); }, "nothing arrived"},
        {"no HTTP", [](int fd) { Peer::Send(fd, "SSH-2.0-OpenSSH\r\n\r\n"); }, "not HTTP"},
        {"a broken chunk", [](int fd) { Peer::Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"); },
         "chunked body is broken"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer([&](int fd) {
            Requests r;
            r.Next(fd);
            c.answer(fd);
            UntilClosed(fd);
        });
        HttpDriver d(Url(peer), 300);
        ASSERT_TRUE(d.Open()) << d.why;
        EXPECT_FALSE(d.Get("f"));
        EXPECT_TRUE(d.broken);
        EXPECT_FALSE(d.login);
        EXPECT_NE(d.why.find(c.why), std::string::npos) << d.why;
        d.session.Abandon();
        ASSERT_TRUE(peer.Finish());
    }
}

// Plain http through a proxy takes the whole address in the request line
// (the proxy's address without a scheme, as curl reads it); a host that
// no_proxy names goes direct; https asks the proxy for a tunnel.
TEST(HttpScripted, PlainHttpGoesThroughTheProxyUnlessNoProxyNamesTheHost) {
    Requests viaProxy, direct;
    auto answer = [](Requests& log) {
        return [&log](int fd) {
            log.Next(fd);
            Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            UntilClosed(fd);
        };
    };
    Peer proxy(answer(viaProxy)), origin(answer(direct));
    ScopedEnv env({{"http_proxy", "127.0.0.1:" + std::to_string(proxy.port())},
                   {"no_proxy", "localhost, .example.org,127.0.0.1"}});
    for (const std::string& base : {std::string("http://files.mirror.invalid:8080/pub"), Url(origin)}) {
        HttpDriver d(base);
        ASSERT_TRUE(d.Open()) << d.why;
        ASSERT_TRUE(d.Get("f"));
        EXPECT_EQ(d.end, TEnd::Done) << d.why;
        EXPECT_EQ(d.data, "ok");
    }
    ASSERT_TRUE(proxy.Finish() && origin.Finish());

#ifdef _WIN32
    // The Windows build has no TLS: an https mirror is turned away at once,
    // saying why, whatever proxy is set.
    {
        ScopedEnv tls({{"https_proxy", "127.0.0.1:" + std::to_string(ClosedPort())}});
        HttpDriver d("https://files.mirror.invalid/pub", 300);
        EXPECT_FALSE(d.Open());
        EXPECT_TRUE(d.broken && d.login);
        EXPECT_NE(d.why.find("no TLS library"), std::string::npos) << d.why;
        EXPECT_FALSE(d.Get("f")) << "a broken session fetches nothing";
    }
#else
    // A proxy that never answers CONNECT costs the silence limit, no more.
    Requests tunnel;
    Peer silent([&](int fd) {
        tunnel.Next(fd);
        UntilClosed(fd);
    });
    {
        ScopedEnv tls({{"https_proxy", "127.0.0.1:" + std::to_string(silent.port())}});
        HttpDriver d("https://files.mirror.invalid/pub", 300);
        EXPECT_FALSE(d.Open());
        EXPECT_TRUE(d.broken && d.login);
        EXPECT_NE(d.why.find("nothing arrived"), std::string::npos) << d.why;
    }
    ASSERT_TRUE(silent.Finish());
    EXPECT_EQ(tunnel.All().at(0).rfind("CONNECT files.mirror.invalid:443 HTTP/1.1\n", 0), 0u);
#endif
    ASSERT_EQ(viaProxy.All().size(), 1u);
    EXPECT_EQ(viaProxy.All()[0].rfind("GET http://files.mirror.invalid:8080/pub/f HTTP/1.1\n"
                                      "Host: files.mirror.invalid:8080\n", 0), 0u) << viaProxy.All()[0];
    ASSERT_EQ(direct.All().size(), 1u);
    EXPECT_EQ(direct.All()[0].rfind("GET /pub/f HTTP/1.1\n", 0), 0u) << direct.All()[0];
}
