// The FTP component against servers that misbehave as real ones do on bad
// days. Every case must end with the right outcome, use next to no CPU while
// it waits, and keep memory bounded. A wait that does not end at its
// time-out lasts until the script gives up (10 s): a ceiling of 5 s tells it
// from a slow, busy machine. A busy wait costs about as much CPU as the wait
// lasts (half a second and more here); a real one, next to none.
#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "net/FtpSession.h"
#include "net/WexFTP.h"

using namespace testing_support;

namespace {

using Peer = LoopbackPeer;

// Waits until the client closes the control connection (or 10 s pass), so
// that a script never ends a case before the client has.
void UntilClosed(int fd) {
    char b[4096];
    while (ReceiveBytes(fd, b, sizeof b) > 0) {
    }
}

// PORT accepted, RETR (or NLST) read: returns the PORT command.
std::string PortThenRetr(int fd) {
    std::string port = Peer::Line(fd);
    Peer::Send(fd, "200 PORT ok\r\n");
    Peer::Line(fd);
    return port;
}

std::string UpToRetr(int fd) {
    Login(fd);
    return PortThenRetr(fd);
}

void ResetClose(int fd) { ResetAndClose(fd); }

const double kEnds = 5.0, kIdleCpu = 0.25;

struct Outcome {
    std::string error = "<none>";
    double wall = 0, cpu = 0;
};

Outcome Measure(const std::function<void()>& f) {
    Outcome o;
    double cpu0 = ThreadCpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    try {
        f();
    } catch (const Exception& e) {
        o.error = e.Message;
    }
    o.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.cpu = ThreadCpuSeconds() - cpu0;
    return o;
}

struct Client {
    TWexFTP ftp{nullptr};
    std::vector<std::string> names;
    int successes = 0;
    explicit Client(int port, int timeOut = 1000) {
        ftp.Host = "127.0.0.1";
        ftp.Port = port;
        ftp.UserID = "update";
        ftp.Password = "x";
        ftp.TimeOut = timeOut;
        ftp.OnListItem = [this](const AnsiString& n) { names.push_back(n); };
        ftp.OnSuccess = [this](TCmdType) { ++successes; };
    }
};

// Counts the loop's timer ticks while it lives: the window's own timers
// and paints run the same way, so ticks during a wait mean a live window.
struct Heartbeat {
    int ticks = 0;
    HWND wnd = CreateMessageWindow(&Heartbeat::Proc, this);
    Heartbeat() { SetTimer(wnd, 1, 50); }
    ~Heartbeat() { DestroyWindow(wnd); }
    static LRESULT Proc(HWND w, UINT msg, WPARAM, LPARAM) {
        if (msg == WM_TIMER) ++static_cast<Heartbeat*>(GetWindowOwner(w))->ticks;
        return 0;
    }
};

}  // namespace

// Replies that never end, or end only in trickles, cost at most the limit
// from the command that asked for them; the loop keeps running meanwhile.
TEST(FtpHostile, NoReplyHoldsTheProgramPastItsLimit) {
    struct Case {
        const char* what;
        bool login;  // the case is in the greeting
        std::function<void(int)> script;
    };
    auto flood = [](int fd, const std::string& unit) {
        for (int i = 0; i < 4096; ++i)
            if (SendBytes(fd, unit.data(), unit.size()) <= 0) return;
    };
    const std::vector<Case> cases = {
        {"an endless greeting", true, [&](int fd) { flood(fd, std::string(4096, 'g')); UntilClosed(fd); }},
        {"a greeting of endless lines", true, [&](int fd) { flood(fd, "220-welcome\r\n"); UntilClosed(fd); }},
        {"a greeting dribbled a byte at a time", true,
         [](int fd) {
             Peer::Send(fd, "220-");
             for (int i = 0; i < 40 && SendBytes(fd, "x", 1) == 1; ++i) Peer::Sleep(250);
         }},
        {"a 150 without its line end", false,
         [&](int fd) {
             UpToRetr(fd);
             flood(fd, "150 " + std::string(4096, 'o'));
             UntilClosed(fd);
         }},
        {"control bytes without end in the middle of a silent transfer", false,
         [&](int fd) {
             std::string port = UpToRetr(fd);
             Peer::Send(fd, "150 Opening (100 bytes)\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "some");
             for (int i = 0; i < 40 && SendBytes(fd, "z", 1) == 1; ++i) Peer::Sleep(250);
             CloseSocket(d);
         }},
    };
    for (const Case& k : cases) {
        Peer peer(k.script);
        TempDir dir;
        Client c(peer.port(), 1000);
        Heartbeat beat;
        Outcome o = Measure([&] {
            c.ftp.Connect();
            if (!k.login) c.ftp.Download("f", dir.appFolder() + "f");
        });
        EXPECT_NE(o.error, "<none>") << k.what;
        EXPECT_LT(o.wall, 3.0) << k.what;
        if (o.wall > 0.3) EXPECT_GT(beat.ticks, 0) << k.what;
        EXPECT_EQ(c.successes, 0) << k.what;
    }
}

// A range of a longer file ends with ABOR; NOOP goes only once ABOR has its
// final reply (a server may drop a NOOP that comes while it aborts), and a
// server that never answers it costs the resync deadline, not the limit.
TEST(FtpHostile, ARangeEndsWithAborItsReplyThenNoop) {
    for (bool answersNoop : {true, false}) {
        CommandLog log;
        Peer peer([&](int fd) {
            Login(fd, &log);
            std::string port = log.Next(fd);  // PORT
            Peer::Send(fd, "200 PORT ok\r\n");
            log.Next(fd);  // RETR
            Peer::Send(fd, "150 Opening (100000 bytes)\r\n");
            int d = ConnectToPort(port);
            Peer::Send(d, std::string(100000, 'r'));
            CloseSocket(d);
            log.Next(fd);  // ABOR
            // Anything that came with the ABOR is dropped, as that server does.
            SetReceiveTimeout(fd, 200);
            char b[256];
            if (ReceiveBytes(fd, b, sizeof b) > 0) log.Next(fd);
            SetReceiveTimeout(fd, 10000);
            Peer::Send(fd, "426 Transfer aborted\r\n226 ABOR successful\r\n");
            if (log.Next(fd) == "NOOP" && answersNoop) Peer::Send(fd, "200 NOOP ok\r\n");
            UntilClosed(fd);
        });
        TFtpSession session("127.0.0.1", peer.port(), "update", "x", 60000);
        session.DataPath = TFtpSession::TDataPath::Active;
        TempDir dir;
        AnsiString got;
        bool ended = false;
        TFtpSession::TEnd end = TFtpSession::TEnd::Failed;
        session.OnReady = [&] {
            if (ended) return;
            TFtpSession::TFetch f;
            f.Remote = "f";
            f.Memory = &got;
            f.Length = 1000;
            f.EndsFile = false;
            session.Fetch(f);
        };
        session.OnFetched = [&](TFtpSession::TEnd e, const AnsiString&) { end = e, ended = true; };
        session.OnBroken = [&](const AnsiString&, bool) { ended = true; };
        session.Open();
        const auto t0 = std::chrono::steady_clock::now();
        while (!ended && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
            EventLoop::WaitForEvent(0.1);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(got.size(), 1000u);
        EXPECT_EQ(session.Outcome().End, TFtpSession::TEnd::Done) << "the range is all in either way";
        if (answersNoop) {
            EXPECT_EQ(end, TFtpSession::TEnd::Done);
            EXPECT_TRUE(session.Ready());
            EXPECT_LT(took, 3.0);
        } else {
            EXPECT_TRUE(session.Broken() && session.BrokeInResync());
            EXPECT_LT(took, 8.0) << "the resync deadline, not the minute of the limit";
        }
        const std::vector<std::string> sent = log.Lines();
        ASSERT_GE(sent.size(), 6u);
        EXPECT_EQ(sent[3].substr(0, 4), "PORT");
        EXPECT_EQ(sent[4], "RETR f");
        EXPECT_EQ(sent[5], "ABOR");
        EXPECT_EQ(log.Count("NOOP"), 1) << "no NOOP together with the ABOR";
    }
}

TEST(FtpHostile, EveryWaitEndsWithinTheTimeOutWithoutBusyWaiting) {
    struct Case {
        const char* what;
        bool listing;
        std::function<void(int)> script;
    };
    const std::vector<Case> cases = {
        {"a server that never answers PORT", false, [](int fd) { Login(fd); UntilClosed(fd); }},
        {"a server that sends the file but never the 226", false,
         [](int fd) {
             std::string port = UpToRetr(fd);
             Peer::Send(fd, "150 Opening (5 bytes)\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "hello");
             CloseSocket(d);
             UntilClosed(fd);
         }},
        {"150 and 226 with no data connection and nothing else", false,
         [](int fd) {
             UpToRetr(fd);
             Peer::Send(fd, "150 Opening\r\n226 Transfer complete\r\n");
             UntilClosed(fd);
         }},
        {"silence after 150", false,
         [](int fd) {
             UpToRetr(fd);
             Peer::Send(fd, "150 Opening\r\n");
             UntilClosed(fd);
         }},
        {"a data connection that stays open and silent", false,
         [](int fd) {
             std::string port = UpToRetr(fd);
             Peer::Send(fd, "150 Opening\r\n");
             int d = ConnectToPort(port);
             UntilClosed(fd);
             CloseSocket(d);
         }},
        {"a RETR answered 2xx and nothing else", false,
         [](int fd) {
             UpToRetr(fd);
             Peer::Send(fd, "226 done already\r\n");
             UntilClosed(fd);
         }},
        {"an NLST data connection kept open", true,
         [](int fd) {
             std::string port = UpToRetr(fd);
             Peer::Send(fd, "150 Here comes the list\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "update3.dat\r\n");
             Peer::Send(fd, "226 done\r\n");
             UntilClosed(fd);
             CloseSocket(d);
         }},
        {"an NLST whose data connection closes without a 226", true,
         [](int fd) {
             std::string port = UpToRetr(fd);
             Peer::Send(fd, "150 Here comes the list\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "update3.dat\r\n");
             CloseSocket(d);
             UntilClosed(fd);
         }},
    };
    for (const Case& k : cases) {
        Peer peer(k.script);
        TempDir dir;
        Client c(peer.port(), 500);
        c.ftp.Connect();
        Outcome o = Measure([&] {
            if (k.listing) c.ftp.NList();
            else c.ftp.Download("f", dir.appFolder() + "f");
        });
        EXPECT_NE(o.error, "<none>") << k.what;
        EXPECT_LT(o.wall, kEnds) << k.what;
        EXPECT_LT(o.cpu, kIdleCpu) << k.what;
        EXPECT_EQ(c.successes, 0) << k.what;
    }
}

TEST(FtpHostile, ASilenceLimitEndsAStalledTransferDespiteAHugeTimeOut) {
    Peer peer([](int fd) {
        std::string port = UpToRetr(fd);
        Peer::Send(fd, "150 Opening (200000 bytes)\r\n");
        int d = ConnectToPort(port);
        Peer::Send(d, std::string(100000, 'x'));
        UntilClosed(fd);
        CloseSocket(d);
    });
    TempDir dir;
    Client c(peer.port());
    c.ftp.Connect();
    c.ftp.TimeOut = 50000000;
    c.ftp.IdleTimeOut = 500;
    Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
    EXPECT_EQ(o.error, "Socket send aborted");
    EXPECT_LT(o.wall, kEnds);
    EXPECT_LT(o.cpu, kIdleCpu);
}

TEST(FtpHostile, WaitForReplyGivesUpAfterAboutASecond) {
    Peer peer([](int fd) {
        Login(fd);
        UntilClosed(fd);
    });
    Client c(peer.port(), 0);
    c.ftp.Connect();
    Outcome o = Measure([&] { c.ftp.WaitForReply(); });
    EXPECT_EQ(o.error, "<none>");
    EXPECT_GT(o.wall, 0.8);
    EXPECT_LT(o.wall, kEnds);
    EXPECT_LT(o.cpu, kIdleCpu);
}

TEST(FtpHostile, AResetIsAnErrorNeverACleanEnd) {
    // Three tries: the reset must win however the events fall.
    for (int run = 0; run < 3; ++run) {
        Peer peer([](int fd) {
            std::string port = UpToRetr(fd);
            Peer::Send(fd, "150 Opening (3000000 bytes)\r\n");
            int d = ConnectToPort(port);
            Peer::Send(d, std::string(128 * 1024, 'r'));
            Peer::Sleep(50);
            ResetClose(d);
            Peer::Send(fd, "426 Connection reset\r\n");
            for (std::string l; !(l = Peer::Line(fd)).empty();)
                if (l == "NOOP") Peer::Send(fd, "200 NOOP ok\r\n");
        });
        TempDir dir;
        Client c(peer.port());
        std::vector<uint16_t> errors;
        c.ftp.Connect();
        Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
        EXPECT_TRUE(o.error == "10054:Connection reset by peer" || o.error == "426 Connection reset\r\n") << o.error;
        EXPECT_EQ(c.successes, 0);
    }
}

TEST(FtpHostile, ATransferCutShortIsAFailure) {
    struct Case {
        const char* finalReply;
        std::string expected;
    };
    for (const Case& k : {Case{"426 Connection closed; transfer aborted.\r\n", "426 Connection closed; transfer aborted.\r\n"},
                          Case{"226 Transfer complete\r\n", "The transfer of f ended after 100000 of 200000 bytes\r\n"}}) {
        Peer peer([&](int fd) {
            std::string port = UpToRetr(fd);
            Peer::Send(fd, "150 Opening (200000 bytes)\r\n");
            int d = ConnectToPort(port);
            Peer::Send(d, std::string(100000, 'c'));
            CloseSocket(d);
            Peer::Send(fd, k.finalReply);
            UntilClosed(fd);
        });
        TempDir dir;
        Client c(peer.port());
        c.ftp.Connect();
        Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
        EXPECT_EQ(o.error, k.expected);
        EXPECT_EQ(c.successes, 0);
        EXPECT_TRUE(c.ftp.Connected) << "the control connection stays usable";
    }
}

TEST(FtpHostile, ARefusalOrAFailureAtAnyStepIsReportedWithTheServersLine) {
    struct Case {
        const char* what;
        bool passive;
        std::function<void(int)> afterLogin;
        std::string expected;
    };
    auto passiveData = [](int fd, int& listener) {
        int port;
        listener = ListenOnLoopback(1, port);
        Peer::Line(fd);
        Peer::Send(fd, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                           std::to_string(port % 256) + ")\r\n");
        return AcceptOn(listener);
    };
    const std::vector<Case> cases = {
        {"500 Illegal PORT command", false,
         [](int fd) {
             Peer::Line(fd);
             Peer::Send(fd, "500 Illegal PORT command.\r\n");
             UntilClosed(fd);
         },
         "500 Illegal PORT command.\r\n"},
        {"550 on RETR", false,
         [](int fd) {
             PortThenRetr(fd);
             Peer::Send(fd, "550 No such file.\r\n");
             UntilClosed(fd);
         },
         "550 No such file.\r\n"},
        {"150 then 421", false,
         [](int fd) {
             PortThenRetr(fd);
             Peer::Send(fd, "150 Opening\r\n");
             Peer::Sleep(30);
             Peer::Send(fd, "421-Service closing\r\n421 Bye\r\n");
             UntilClosed(fd);
         },
         "421-Service closing\r\n"},
        {"passive: 150 then 426 on an open data connection", true,
         [&](int fd) {
             int l;
             int d = passiveData(fd, l);
             Peer::Line(fd);
             Peer::Send(fd, "150 Opening\r\n");
             Peer::Sleep(30);
             Peer::Send(fd, "426 Transfer aborted\r\n");
             UntilClosed(fd);
             CloseSocket(d);
             CloseSocket(l);
         },
         "426 Transfer aborted\r\n"},
        {"passive: a refused PASV", true,
         [](int fd) {
             Peer::Line(fd);
             Peer::Send(fd, "502 PASV not implemented\r\n");
             UntilClosed(fd);
         },
         "502 PASV not implemented\r\n"},
        {"passive: a PASV reply with a number over 255", true,
         [](int fd) {
             Peer::Line(fd);
             Peer::Send(fd, "227 Entering Passive Mode (127,0,0,1,300,1)\r\n");
             UntilClosed(fd);
         },
         "The server's passive-mode reply names no port: 227 Entering Passive Mode (127,0,0,1,300,1)\r\n"},
        {"an announced size over 2 GiB with a small file", false,
         [](int fd) {
             std::string port = PortThenRetr(fd);
             Peer::Send(fd, "150 Opening (3221225472 bytes)\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "small");
             CloseSocket(d);
             Peer::Send(fd, "226 done\r\n");
             UntilClosed(fd);
         },
         "The transfer of f ended after 5 of 3221225472 bytes\r\n"},
        {"a greeting-like reply with no code", false,
         [](int fd) {
             PortThenRetr(fd);
             Peer::Send(fd, "HTTP/1.1 400 Bad Request\r\n");
             UntilClosed(fd);
         },
         "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Case& k : cases) {
        Peer peer([&](int fd) {
            Login(fd);
            k.afterLogin(fd);
        });
        TempDir dir;
        Client c(peer.port());
        c.ftp.Passive = k.passive;
        c.ftp.Connect();
        Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
        EXPECT_EQ(o.error, k.expected) << k.what;
        EXPECT_LT(o.wall, kEnds) << k.what;
        EXPECT_EQ(c.successes, 0) << k.what;
    }
}

TEST(FtpHostile, GoodTransfersInOddShapesStillSucceed) {
    struct Case {
        const char* what;
        bool passive;
        std::function<void(int)> afterLogin;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"an empty file", false,
         [](int fd) {
             std::string port = PortThenRetr(fd);
             Peer::Send(fd, "150 Opening (0 bytes)\r\n");
             CloseSocket(ConnectToPort(port));
             Peer::Send(fd, "226 done\r\n");
             UntilClosed(fd);
         },
         ""},
        {"passive: 226 sent together with 150 before any data", true,
         [](int fd) {
             int port;
             int l = ListenOnLoopback(1, port);
             Peer::Line(fd);
             Peer::Send(fd, "227 =127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + "\r\n");
             int d = AcceptOn(l);
             Peer::Line(fd);
             Peer::Send(fd, "150 Opening (11 bytes)\r\n226 Transfer complete\r\n");
             Peer::Sleep(50);
             Peer::Send(d, "hello world");
             CloseSocket(d);
             CloseSocket(l);
             UntilClosed(fd);
         },
         "hello world"},
        {"a size of 91566.2 kbytes is no byte count", false,
         [](int fd) {
             std::string port = PortThenRetr(fd);
             Peer::Send(fd, "150 91566.2 kbytes to download\r\n");
             int d = ConnectToPort(port);
             Peer::Send(d, "abc");
             CloseSocket(d);
             Peer::Send(fd, "226 done\r\n");
             UntilClosed(fd);
         },
         "abc"},
    };
    for (const Case& k : cases) {
        Peer peer([&](int fd) {
            Login(fd);
            k.afterLogin(fd);
        });
        TempDir dir;
        Client c(peer.port());
        c.ftp.Passive = k.passive;
        c.ftp.Connect();
        Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
        EXPECT_EQ(o.error, "<none>") << k.what;
        EXPECT_EQ(ReadFile(dir.file("f")), k.bytes) << k.what;
        EXPECT_EQ(c.successes, 1) << k.what;
    }
}

TEST(FtpHostile, AListingKeepsEveryNameWhateverItsLineEnds) {
    Peer peer([](int fd) {
        std::string port = UpToRetr(fd);
        Peer::Send(fd, "150 Here comes the list\r\n");
        int d = ConnectToPort(port);
        Peer::Send(d, "a.gz\r\nb.gz\nc.gz\rd.gz\r\n\r\n  lead.gz\r\n..\r\n/etc/passwd\r\nx\r\n");
        // The final reply overtakes the last name, which has no line end.
        Peer::Send(fd, "226 Transfer complete\r\n");
        Peer::Sleep(100);
        Peer::Send(d, "update3.dat");
        CloseSocket(d);
        UntilClosed(fd);
    });
    Client c(peer.port());
    c.ftp.Connect();
    Outcome o = Measure([&] { c.ftp.NList(); });
    EXPECT_EQ(o.error, "<none>");
    EXPECT_EQ(c.names, (std::vector<std::string>{"a.gz", "b.gz", "c.gz", "d.gz", "  lead.gz", "..", "/etc/passwd", "x",
                                                 "update3.dat"}));
    EXPECT_EQ(c.successes, 1);

    // An empty listing refused without a data connection fails at once.
    for (const char* refusal : {"450 No files found\r\n", "550 No files found\r\n"}) {
        Peer empty([&](int fd) {
            Login(fd);
            PortThenRetr(fd);
            Peer::Send(fd, refusal);
            UntilClosed(fd);
        });
        Client e(empty.port(), 20000);  // waited for, the time-out would show
        e.ftp.Connect();
        Outcome r = Measure([&] { e.ftp.NList(); });
        EXPECT_EQ(r.error, refusal);
        EXPECT_LT(r.wall, kEnds);
    }
}

TEST(FtpHostile, MemoryStaysBoundedWhateverTheServerSends) {
    // An 8 MiB reply line ends the session once it passes 8 KiB.
    Peer longLine([](int fd) {
        Login(fd, nullptr, "220 " + std::string(8 << 20, 'x') + "\r\n");
        UntilClosed(fd);
    });
    Client c(longLine.port(), 5000);
    size_t longest = 0;
    c.ftp.OnStatus = [&](TObject*, const AnsiString& s) { longest = std::max(longest, s.size()); };
    Outcome l = Measure([&] { c.ftp.Connect(); });
    EXPECT_EQ(l.error, "The server's reply line is too long\r\n");
    EXPECT_FALSE(c.ftp.Connected);
    EXPECT_LE(longest, 8192u);

    // A download that goes past the size the caller can use stops at once.
    Peer flood([](int fd) {
        std::string port = UpToRetr(fd);
        Peer::Send(fd, "150 Opening (10 bytes)\r\n");
        int d = ConnectToPort(port);
        std::string chunk(1 << 20, 'f');
        for (int i = 0; i < 64; ++i)
            if (SendBytes(d, chunk.data(), chunk.size()) <= 0) break;
        CloseSocket(d);
        for (std::string l; !(l = Peer::Line(fd)).empty();)
            if (l == "ABOR") Peer::Send(fd, "426 aborted\r\n226 ABOR ok\r\n");
            else if (l == "NOOP") Peer::Send(fd, "200 NOOP ok\r\n");
        UntilClosed(fd);
    });
    TempDir dir;
    Client f(flood.port(), 5000);
    f.ftp.Connect();
    f.ftp.SizeLimit = 10;
    Outcome o = Measure([&] { f.ftp.Download("f", dir.appFolder() + "f"); });
    EXPECT_EQ(o.error, "<none>");
    EXPECT_GT(f.ftp.TransferSize, 10) << "the caller's size check sees the mismatch";
    EXPECT_LE(std::filesystem::file_size(dir.file("f")), 11u) << "one byte past the limit tells";
    EXPECT_TRUE(f.ftp.Connected) << "ABOR and NOOP brought the control connection back in step";

    // A listing past a million names fails.
    Peer names([](int fd) {
        std::string port = UpToRetr(fd);
        Peer::Send(fd, "150 Here comes the list\r\n");
        int d = ConnectToPort(port);
        std::string many;
        for (int i = 0; i < 1000001; ++i) many += "n\n";
        SendBytes(d, many.data(), many.size());
        CloseSocket(d);
        Peer::Send(fd, "226 done\r\n");
        for (std::string l; !(l = Peer::Line(fd)).empty();)
            if (l == "NOOP") Peer::Send(fd, "200 NOOP ok\r\n");
    });
    Client n(names.port(), 5000);
    n.ftp.Connect();
    Outcome r = Measure([&] { n.ftp.NList(); });
    EXPECT_EQ(r.error, "The name listing holds more than 1000000 names\r\n");
}

TEST(FtpHostile, TheActiveDataConnectionIsTakenOnlyFromTheServer) {
    Peer peer([](int fd) {
        std::string port = UpToRetr(fd);
        // Someone who saw the PORT command connects first, from elsewhere.
        int intruder = ConnectToPort(port, "127.0.0.2");
        Peer::Send(intruder, "evil bytes");
        Peer::Sleep(100);
        Peer::Send(fd, "150 Opening (4 bytes)\r\n");
        int d = ConnectToPort(port);
        Peer::Send(d, "good");
        CloseSocket(d);
        Peer::Send(fd, "226 done\r\n");
        CloseSocket(intruder);
        UntilClosed(fd);
    });
    TempDir dir;
    Client c(peer.port());
    c.ftp.Connect();
    Outcome o = Measure([&] { c.ftp.Download("f", dir.appFolder() + "f"); });
    EXPECT_EQ(o.error, "<none>");
    EXPECT_EQ(ReadFile(dir.file("f")), "good");
}

TEST(FtpHostile, RepliesGreetingsAndLoginsOfEveryKind) {
    struct Case {
        const char* what;
        std::function<void(int)> script;
        bool loggedIn;
    };
    auto rest = [](int fd) {  // after the greeting
        Login(fd, nullptr, "");
        UntilClosed(fd);
    };
    const std::vector<Case> cases = {
        {"a multi-line reply whose middle lines carry no code",
         [&](int fd) {
             Peer::Send(fd, "123-First line\r\nSecond line\r\n234 A line beginning with numbers\r\n123 The last line\r\n");
             Peer::Send(fd, "220 ready\r\n");
             rest(fd);
         },
         true},
        {"120 then 220", [&](int fd) {
             Peer::Send(fd, "120 Ready in 1 minute\r\n");
             Peer::Sleep(100);
             Peer::Send(fd, "220 Ready now\r\n");
             rest(fd);
         },
         true},
        {"a reply dribbled one byte at a time", [&](int fd) {
             for (char ch : std::string("220 slow but sure\r\n")) {
                 Peer::Send(fd, std::string(1, ch));
                 Peer::Sleep(5);
             }
             rest(fd);
         },
         true},
        {"a NUL inside a reply", [&](int fd) {
             Peer::Send(fd, std::string("220 hi\0there\r\n", 14));
             rest(fd);
         },
         true},
        {"230 straight after the greeting", [&](int fd) {
             Peer::Send(fd, "220 hi\r\n230 you are in already\r\n");
             rest(fd);
         },
         true},
        {"a 421 greeting of two lines, then close",
         [](int fd) { Peer::Send(fd, "421-Too many users\r\n421 Try later\r\n"); }, false},
        {"a greeting that is not FTP", [](int fd) {
             Peer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
             UntilClosed(fd);
         },
         false},
    };
    for (const Case& k : cases) {
        Peer peer(k.script);
        Client c(peer.port());
        Outcome o = Measure([&] { c.ftp.Connect(); });
        EXPECT_EQ(c.ftp.Connected, k.loggedIn) << k.what << ": " << o.error;
        EXPECT_LT(o.wall, kEnds) << k.what;
        EXPECT_LT(o.cpu, kIdleCpu) << k.what;
    }
}

TEST(FtpHostile, PassiveRepliesInTheirWildForms) {
    int port = -1;
    EXPECT_TRUE(TWexFTP::ParsePassivePort("227 Entering Passive Mode (10,0,0,1,4,51)\r\n", port));
    EXPECT_EQ(port, 4 * 256 + 51);
    EXPECT_TRUE(TWexFTP::ParsePassivePort("227 Entering Passive Mode 127,0,0,1,4,52\r\n", port));
    EXPECT_EQ(port, 1076);
    EXPECT_TRUE(TWexFTP::ParsePassivePort("227 =127,0,0,1,0,21", port));
    EXPECT_EQ(port, 21);
    EXPECT_FALSE(TWexFTP::ParsePassivePort("227 Entering Passive Mode (127,0,0,1,300,1)\r\n", port));
    EXPECT_FALSE(TWexFTP::ParsePassivePort("227 Entering Passive Mode (127,0,0,1,4)\r\n", port));
    EXPECT_FALSE(TWexFTP::ParsePassivePort("227 Entering Passive Mode (127,0,0,1,4,)\r\n", port));  // no sixth
    EXPECT_FALSE(TWexFTP::ParsePassivePort("227 (99999999999,0,0,1,4,1)\r\n", port));
    EXPECT_FALSE(TWexFTP::ParsePassivePort("227\r\n", port));
}

TEST(FtpHostile, ASessionDroppedWhileIdleIsToldOnceAndACancelOrAQuitEndsATransferAtOnce) {
    // The server lets an idle session go: the component notices without
    // being asked, and says so once, from the loop rather than mid-event.
    Peer idle([](int fd) { Login(fd); });
    Client c(idle.port());
    int disconnects = 0;
    c.ftp.OnDisconnect = [&](TObject*) { ++disconnects; };
    c.ftp.Connect();
    EventLoop::WaitUntil([&] { return disconnects > 0; }, 10);
    EXPECT_FALSE(c.ftp.Connected);
    EXPECT_EQ(disconnects, 1);
    EXPECT_THROW(c.ftp.Download("f", "f"), Exception);  // "Not Connected": nothing is sent

    // A cancel from a handler that runs inside the wait, or the program
    // told to quit, ends a transfer that the server keeps trickling (until
    // it is let go, far past the cancel) long before any time-out would.
    for (bool quit : {false, true}) {
        Peer trickle([](int fd) {
            std::string port = UpToRetr(fd);
            Peer::Send(fd, "150 Opening (100000 bytes)\r\n");
            int d = ConnectToPort(port);
            for (int i = 0; i < 1500 && SendBytes(d, "x", 1) == 1; ++i) Peer::Sleep(20);
            CloseSocket(d);
            UntilClosed(fd);
        });
        TempDir dir;
        Client t(trickle.port(), 20000);
        t.ftp.Connect();
        HWND timer = CreateMessageWindow(
            [](HWND w, UINT msg, WPARAM, LPARAM) -> LRESULT {
                if (msg != WM_TIMER || !KillTimer(w, 1)) return 0;
                if (auto* ftp = static_cast<TWexFTP*>(GetWindowOwner(w))) ftp->Cancel();
                else Application->Terminate();
                return 0;
            },
            quit ? nullptr : &t.ftp);
        SetTimer(timer, 1, 200);
        Outcome o = Measure([&] { t.ftp.Download("f", dir.appFolder() + "f"); });
        DestroyWindow(timer);
        Application->Terminated = false;
        EXPECT_EQ(o.error, "Socket send aborted") << "quit " << quit << ": not the short transfer's end";
        EXPECT_FALSE(t.ftp.Connected) << "a cancelled session is let go (quit " << quit << ")";
    }
}

TEST(FtpHostile, ARefusedLoginEndsAtOnceWhetherTheServerClosesOrResets) {
    for (bool reset : {false, true}) {
        Peer peer([reset](int fd) {
            Peer::Send(fd, "220 hi\r\n");
            Peer::Line(fd);
            Peer::Send(fd, "530 Not logged in.\r\n");
            if (reset) ResetClose(fd);
            else CloseSocket(fd);
        });
        Client c(peer.port(), 5000);
        Outcome o = Measure([&] { c.ftp.Connect(); });
        EXPECT_EQ(o.error, "530 Not logged in.\r\n") << "reset " << reset;
        EXPECT_LT(o.wall, 1.0) << "no QUIT waits on a connection that is gone (reset " << reset << ")";
        EXPECT_FALSE(c.ftp.Connected);
    }
}
