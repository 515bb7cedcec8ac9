// The FTP component against scripted servers, for replies that a real server
// won't produce. Each script answers the commands and records what it got.
#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "net/WexFTP.h"

using namespace testing_support;

namespace {

struct Client {
    std::vector<std::string> statuses;
    std::vector<std::string> events;
    TWexFTP ftp{nullptr};
    explicit Client(int port) {
        ftp.Host = "127.0.0.1";
        ftp.Port = port;
        ftp.UserID = "update";
        ftp.Password = "x";
        ftp.TimeOut = 5000;
        ftp.OnStatus = [this](TObject*, const AnsiString& s) { statuses.push_back(s); };
        ftp.OnConnectionFailed = [this](TObject*) { events.push_back("failed"); };
        ftp.OnConnect = [this](TObject*) { events.push_back("connect"); };
        ftp.OnTransactionStart = [this](TObject*) { events.push_back("start " + std::to_string(ftp.TransferSize)); };
        ftp.OnTransactionStop = [this](TObject*) { events.push_back("stop"); };
    }
    bool sawStatus(const std::string& s) const { return std::find(statuses.begin(), statuses.end(), s) != statuses.end(); }
};

std::string FtpErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const FTPException& e) {
        return e.Message;
    } catch (const Exception& e) {
        return "other: " + e.Message;
    }
    return "<none>";
}

}  // namespace

TEST(FtpLogin, MultiLineGreetingIsReadWholeAndThePasswordIsNeverReported) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        Login(fd, &log, "220-Welcome\r\n220-second line\r\n 220 led by a space\r\n220 ready\r\n");
        LoopbackPeer::Sleep(100);
    });
    Client c(peer.port());
    c.ftp.Password = "s3cret";
    c.ftp.Connect();
    EXPECT_EQ(c.events, (std::vector<std::string>{"connect"}));
    ASSERT_TRUE(peer.Finish());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"USER update", "PASS s3cret", "TYPE I"}));
    EXPECT_TRUE(c.sawStatus("USER update"));
    EXPECT_TRUE(c.sawStatus("PASS "));
    for (auto& s : c.statuses) EXPECT_EQ(s.find("s3cret"), std::string::npos) << s;
    EXPECT_TRUE(c.sawStatus(" 220 led by a space\r\n"));
}

TEST(FtpLogin, RefusedGreetingAndRefusedPasswordFailTheConnection) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        LoopbackPeer::Send(fd, "421 Too many users\r\n");
        if (log.Next(fd) == "QUIT") LoopbackPeer::Send(fd, "221 bye\r\n");
    });
    Client c(peer.port());
    EXPECT_EQ(FtpErrorOf([&] { c.ftp.Connect(); }), "421 Too many users\r\n");
    EXPECT_EQ(c.events, (std::vector<std::string>{"failed"}));
    EXPECT_TRUE(c.sawStatus("QUIT"));
    EXPECT_EQ(c.statuses.back(), "Disconnected");
    EXPECT_FALSE(c.ftp.Connected);
    ASSERT_TRUE(peer.Finish());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"QUIT"}));
}

TEST(FtpLogin, Reply230SkipsThePasswordAndOnly2xxMeansLoggedIn) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        LoopbackPeer::Send(fd, "220 hi\r\n");
        log.Next(fd);
        LoopbackPeer::Send(fd, "230 no password needed\r\n");
        log.Next(fd);
        LoopbackPeer::Send(fd, "200 ok\r\n");
        LoopbackPeer::Sleep(100);
    });
    Client c(peer.port());
    c.ftp.Connect();
    ASSERT_TRUE(peer.Finish());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"USER update", "TYPE I"}));

    // Neither 400 after USER nor 332/314 after PASS is a login.
    for (auto [user, pass] : {std::pair<std::string, std::string>{"400 odd\r\n", ""},
                              {"331 pw\r\n", "332 Need account for login.\r\n"},
                              {"331 pw\r\n", "314 odd\r\n"}}) {
        CommandLog log2;
        LoopbackPeer peer2([&](int fd) {
            LoopbackPeer::Send(fd, "220 hi\r\n");
            log2.Next(fd);
            LoopbackPeer::Send(fd, user);
            if (!pass.empty()) {
                log2.Next(fd);
                LoopbackPeer::Send(fd, pass);
            }
            if (log2.Next(fd) == "QUIT") LoopbackPeer::Send(fd, "221 bye\r\n");
        });
        Client c2(peer2.port());
        EXPECT_EQ(FtpErrorOf([&] { c2.ftp.Connect(); }), pass.empty() ? user : pass);
        EXPECT_EQ(c2.events, (std::vector<std::string>{"failed"}));
        EXPECT_FALSE(c2.ftp.Connected);
    }
}

TEST(FtpLogin, ProxyFormsOfTheLogin) {
    struct Case {
        TFirewallType type;
        std::vector<std::string> expected;
    };
    for (const Case& k : {Case{FTUser, {"USER update@ftp.example", "PASS x", "TYPE I"}},
                          Case{FtSite, {"SITE ftp.example", "USER update", "PASS x", "TYPE I"}},
                          Case{FtOpen, {"OPEN ftp.example", "USER update", "PASS x", "TYPE I"}}}) {
        CommandLog log;
        LoopbackPeer peer([&](int fd) {
            LoopbackPeer::Send(fd, "220 proxy\r\n");
            for (;;) {
                std::string c = log.Next(fd);
                if (c.empty()) return;
                if (c.rfind("USER", 0) == 0) LoopbackPeer::Send(fd, "331 pw\r\n");
                else if (c.rfind("PASS", 0) == 0) LoopbackPeer::Send(fd, "230 in\r\n");
                else LoopbackPeer::Send(fd, "200 ok\r\n");
                if (c == "TYPE I") break;
            }
            LoopbackPeer::Sleep(50);
        });
        Client c(0);
        c.ftp.Host = "ftp.example";
        c.ftp.Proxy = "127.0.0.1";
        c.ftp.ProxyPort = peer.port();
        c.ftp.FirewallType = k.type;
        c.ftp.Connect();
        ASSERT_TRUE(peer.Finish());
        EXPECT_EQ(log.Lines(), k.expected) << "firewall type " << int(k.type);
    }
}

TEST(FtpLogin, ConnectedConnectAndUnconnectedDisconnectSendNothing) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        Login(fd, &log);
        for (std::string c; !(c = log.Next(fd)).empty();) LoopbackPeer::Send(fd, "221 bye\r\n");
    });
    Client c(peer.port());
    c.ftp.Connect();
    c.ftp.Connect();
    c.ftp.Disconnect();
    c.ftp.Disconnect();
    ASSERT_TRUE(peer.Finish());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"USER update", "PASS x", "TYPE I", "QUIT"}));
}

TEST(FtpLogin, ServerClosingMidReplyEndsTheReplyWithoutHanging) {
    LoopbackPeer peer([](int fd) { LoopbackPeer::Send(fd, "220-first of many\r\n"); });
    Client c(peer.port());
    c.ftp.TimeOut = 2000;
    EXPECT_ANY_THROW(c.ftp.Connect());
    EXPECT_FALSE(c.ftp.Connected);
}

TEST(FtpTransfer, PassiveModeConnectsToHostNotToTheAddressInTheReply) {
    int data = ListenOnLoopbackAt(5001, 1);
    if (data < 0) GTEST_SKIP() << "port 5001 is taken on this machine";
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        Login(fd, &log);
        log.Next(fd);
        LoopbackPeer::Send(fd, "227 Entering Passive Mode (10,9,8,7,19,137)\r\n");
        log.Next(fd);
        LoopbackPeer::Send(fd, "150 Opening BINARY connection for f.bin (1234 bytes)\r\n");
        int d = AcceptOn(data);
        LoopbackPeer::Send(d, std::string(1234, 'p'));
        CloseSocket(d);
        LoopbackPeer::Send(fd, "226 done\r\n");
        LoopbackPeer::Sleep(100);
    });
    TempDir dir;
    Client c(peer.port());
    c.ftp.Passive = true;
    c.ftp.Connect();
    c.ftp.Download("f.bin", dir.appFolder() + "f.bin");
    EXPECT_EQ(ReadFile(dir.file("f.bin")), std::string(1234, 'p'));
    EXPECT_EQ(c.events, (std::vector<std::string>{"connect", "start 1234", "stop", "stop"}));
    CloseSocket(data);
}

TEST(FtpTransfer, MultiLinePreliminaryReplyAndAnnouncedSize) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        Login(fd, &log);
        std::string port = log.Next(fd);
        LoopbackPeer::Send(fd, "200 PORT ok\r\n");
        log.Next(fd);
        LoopbackPeer::Send(fd, "150-Here it comes (777 bytes)\r\n more words\r\n150 go\r\n");
        int d = ConnectToPort(port);
        LoopbackPeer::Send(d, std::string(777, 'h'));
        CloseSocket(d);
        LoopbackPeer::Send(fd, "226-done\r\n226 really\r\n");
        LoopbackPeer::Sleep(100);
    });
    TempDir dir;
    Client c(peer.port());
    int successes = 0;
    c.ftp.OnSuccess = [&](TCmdType t) { successes += t == CtUpload; };
    c.ftp.Connect();
    c.ftp.Download("f", dir.appFolder() + "f");
    EXPECT_EQ(c.events, (std::vector<std::string>{"connect", "start 777", "stop", "stop"}));
    EXPECT_EQ(c.ftp.TransferSize, 777) << "after the transfer: the bytes received";
    EXPECT_EQ(successes, 1);
    EXPECT_TRUE(c.sawStatus("226 really\r\n")) << "the final reply is read to its end";
}

TEST(FtpTransfer, RefusedDataConnectionAfter150FailsInsteadOfHanging) {
    CommandLog log;
    LoopbackPeer peer([&](int fd) {
        Login(fd, &log);
        log.Next(fd);
        LoopbackPeer::Send(fd, "200 PORT ok\r\n");
        log.Next(fd);
        LoopbackPeer::Send(fd, "150 Opening\r\n");
        LoopbackPeer::Sleep(50);
        LoopbackPeer::Send(fd, "425 Can't open data connection.\r\n");
        LoopbackPeer::Sleep(300);
    });
    TempDir dir;
    Client c(peer.port());
    c.ftp.Connect();
    int failures = 0;
    c.ftp.OnFailure = [&](bool&, TCmdType t) { failures += t == CtUpload; };
    EXPECT_EQ(FtpErrorOf([&] { c.ftp.Download("f", dir.appFolder() + "f"); }), "425 Can't open data connection.\r\n");
    EXPECT_EQ(failures, 2) << "the failure rule and the outer guard";
    EXPECT_FALSE(Exists(dir.file("f")));
}

// Byte counts as servers word them, with the numbers that are none.
TEST(FtpTransfer, ParseByteCountTakesTheLastNumberBeforeBytes) {
    const std::pair<const char*, int64_t> cases[] = {
        {"150 Opening BINARY mode data connection for f (2241 bytes)", 2241},
        {"150 Opening file2.bin 2048 (1024 bytes)", 1024},
        {"150 Opening (3221225472 BYTES)", 3221225472LL},
        {"150 bytes follow", 150},  // the reply number stands before BYTE
        {"150 Opening data connection", 0},
        {"150 Opening (0 bytes)", 0},
        {"150 Opening (-1 bytes)", 0},
        {"150 91566.2 kbytes to download", 0},
        {"Bytes follow", 0},
        {"150 (99999999999999999999999 bytes)", 0}};
    for (auto& [reply, count] : cases) EXPECT_EQ(TWexFTP::ParseByteCount(reply), count) << reply;
    TWexFTP idle(nullptr);
    EXPECT_EQ(idle.ReceivedCount(), 0);
}

// A socket error reaches the caller as the number and the table's text.
TEST(FtpTransfer, SocketErrorTextsComeFromTheTable) {
    TWexFTP s(nullptr);
    AnsiString text;
    s.ErrorMessage(10061, text);
    EXPECT_EQ(text, "10061:Connection refused");
    s.ErrorMessage(11004, text);
    EXPECT_EQ(text, "11004:Valid name, no data record of requested type");
    s.ErrorMessage(10001, text);
    EXPECT_EQ(text, "Unknown Error No. 10001");
    s.ErrorMessage(0, text);
    EXPECT_EQ(text, "");
}

TEST(WexFtpScripted, SilentServerEndsTheLoginAtTheTimeOut) {
    // Accepts the connection (into its backlog) but never greets.
    int port;
    int silent = ListenOnLoopback(4, port);
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.TimeOut = 300;
    ftp.UserID = "u";
    ftp.Password = "p";
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(ftp.Connect(), EAbortError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // bounded, not hung
    EXPECT_TRUE(ftp.TimedOut);
    close(silent);
}
