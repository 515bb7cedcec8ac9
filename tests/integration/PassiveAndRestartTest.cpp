// Passive mode with its fallback to active, and downloads that go on where
// they stopped (REST): against scripted servers for the refusals, and against
// real pyftpdlib and vsftpd servers for the happy paths.
#include <gtest/gtest.h>

#include "FtpServer.h"
#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "VsftpdServer.h"
#include "net/WexFTP.h"

using namespace testing_support;
using Peer = LoopbackPeer;

namespace {

std::string PasvReply(int port) {
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")\r\n";
}

// Answers a RETR with "hello" over an active data connection.
void ServeActive(int fd, CommandLog& log, const std::string& port) {
    log.Next(fd);  // RETR
    Peer::Send(fd, "150 Opening (5 bytes)\r\n");
    int d = ConnectToPort(port);
    Peer::Send(d, "hello");
    ::close(d);
    Peer::Send(fd, "226 done\r\n");
}

// Answers a PASV (just read) and the RETR after it with `data` over a
// passive data connection.
void ServePassive(int fd, CommandLog& log, const std::string& data) {
    int dataPort;
    int l = ListenOnLoopback(1, dataPort);
    Peer::Send(fd, PasvReply(dataPort));
    log.Next(fd);  // RETR
    int d = ::accept(l, nullptr, nullptr);
    Peer::Send(fd, "150 Opening (" + std::to_string(data.size()) + " bytes)\r\n");
    Peer::Send(d, data);
    ::close(d);
    ::close(l);
    Peer::Send(fd, "226 done\r\n");
}

TWexFTP* Client(TWexFTP& ftp, int port, const std::string& user = "update") {
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = user;
    ftp.Password = "x";
    ftp.TimeOut = 3000;
    ftp.Passive = true;
    ftp.PassiveFallback = true;
    return &ftp;
}

}  // namespace

TEST(PassiveMode, ARefusedPasvAnUnreachablePortOrPortsBusyTwiceFallBackToActiveForTheSession) {
    enum { kRefused, kUnreachable, kBusy };
    for (int how : {kRefused, kUnreachable, kBusy}) {
        CommandLog log;
        Peer peer([&](int fd) {
            Login(fd, &log);
            log.Next(fd);  // PASV
            if (how == kRefused) {
                Peer::Send(fd, "502 Command not implemented\r\n");
            } else if (how == kUnreachable) {
                Peer::Send(fd, PasvReply(ClosedPort()));
            } else {
                Peer::Send(fd, "425 Can't open passive connection\r\n");
                log.Next(fd);  // asked once more after a moment
                Peer::Send(fd, "425 Can't open passive connection\r\n");
            }
            std::string port = log.Next(fd);
            Peer::Send(fd, "200 PORT ok\r\n");
            ServeActive(fd, log, port);
            port = log.Next(fd);  // the second download goes straight to PORT
            Peer::Send(fd, "200 PORT ok\r\n");
            ServeActive(fd, log, port);
            log.Next(fd);
        });
        TempDir dir;
        TWexFTP ftp(nullptr);
        Client(ftp, peer.port())->Connect();
        ftp.Download("f", dir.appFolder() + "f");
        EXPECT_EQ(ReadFile(dir.file("f")), "hello");
        EXPECT_FALSE(ftp.Passive) << "the mode that worked is kept";
        ftp.Download("f", dir.appFolder() + "g");
        EXPECT_EQ(ReadFile(dir.file("g")), "hello");
        EXPECT_EQ(log.Count("PASV"), how == kBusy ? 2 : 1);
    }
}

// Passive ports all taken is a moment's state: the same session asks again.
TEST(PassiveMode, PortsBusyForAMomentAreAskedAgainInPassiveMode) {
    CommandLog log;
    Peer peer([&](int fd) {
        Login(fd, &log);
        log.Next(fd);
        Peer::Send(fd, "425 Can't open passive connection\r\n");
        log.Next(fd);
        ServePassive(fd, log, "busy");
        log.Next(fd);
    });
    TempDir dir;
    TWexFTP ftp(nullptr);
    Client(ftp, peer.port())->Connect();
    ftp.Download("f", dir.appFolder() + "f");
    EXPECT_EQ(ReadFile(dir.file("f")), "busy");
    EXPECT_TRUE(ftp.Passive);
    EXPECT_EQ(log.Count("PASV"), 2);
    EXPECT_EQ(log.Count("PORT"), 0);
}

TEST(PassiveMode, AServerThatCannotReachUsStillServesInPassiveMode) {
    // A NAT in front of us: every active transfer is answered 425.
    CommandLog log;
    Peer peer([&](int fd) {
        Login(fd, &log);
        for (std::string c; !(c = log.Next(fd)).empty();) {
            if (c.rfind("PORT", 0) == 0) {
                Peer::Send(fd, "200 PORT ok\r\n");
            } else if (c == "PASV") {
                ServePassive(fd, log, "list");
            } else {
                Peer::Send(fd, "425 Can't open data connection.\r\n");
            }
        }
    });
    TempDir dir;
    TWexFTP ftp(nullptr);
    Client(ftp, peer.port())->Connect();
    ftp.Download("f", dir.appFolder() + "f");
    EXPECT_EQ(ReadFile(dir.file("f")), "list");
    EXPECT_TRUE(ftp.Passive);
    EXPECT_EQ(log.Count("PORT"), 0);
}

TEST(Restart, ThreeFiftyAppendsAnythingElseStartsOver) {
    for (bool accepted : {true, false}) {
        CommandLog log;
        Peer peer([&](int fd) {
            Login(fd, &log);
            log.Next(fd);  // PASV
            int dataPort;
            int l = ListenOnLoopback(1, dataPort);
            Peer::Send(fd, PasvReply(dataPort));
            log.Next(fd);  // REST 5
            Peer::Send(fd, accepted ? "350 Restarting at 5.\r\n" : "502 Command not implemented.\r\n");
            log.Next(fd);  // RETR
            int d = ::accept(l, nullptr, nullptr);
            Peer::Send(fd, "150 Opening\r\n");
            Peer::Send(d, accepted ? " world" : "hello world");
            ::close(d);
            ::close(l);
            Peer::Send(fd, "226 done\r\n");
            log.Next(fd);
        });
        TempDir dir;
        WriteFile(dir.file("f"), "helloXXX");  // five good bytes, three of a broken end
        TWexFTP ftp(nullptr);
        Client(ftp, peer.port())->Connect();
        ftp.RestartAt = 5;
        ftp.Download("f", dir.appFolder() + "f");
        EXPECT_EQ(ReadFile(dir.file("f")), "hello world");
        EXPECT_EQ(ftp.RestartedAt, accepted ? 5 : 0);
        EXPECT_EQ(ftp.RestartedAt + ftp.TransferSize, 11);
    }
}

TEST(RealServers, PassiveDownloadsAndRestartsWithPyftpdlibAndVsftpd) {
    TempDir root;
    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 11));
    WriteFile(root.file("big.bin"), data);
    FtpServer pyftpd(root.path());
    std::unique_ptr<VsftpdServer> vsftpd;
    chmod(root.path().c_str(), 0755);  // vsftpd lists only a folder that others may read
    if (VsftpdServer::Available()) vsftpd = std::make_unique<VsftpdServer>(root.path());
    struct Server {
        const char* name;
        int port;
        const char* user;
    };
    std::vector<Server> servers{{"pyftpdlib", pyftpd.port(), "update"}};
    if (vsftpd) servers.push_back({"vsftpd", vsftpd->port(), "anonymous"});
    for (const Server& s : servers) {
        TempDir dir;
        TWexFTP ftp(nullptr);
        Client(ftp, s.port, s.user)->Connect();
        ftp.Download("big.bin", dir.appFolder() + "whole");
        EXPECT_TRUE(ftp.Passive) << s.name;
        EXPECT_EQ(ReadFile(dir.file("whole")), data) << s.name;
        WriteFile(dir.file("half"), data.substr(0, data.size() / 2) + "garbage past the break");
        ftp.RestartAt = static_cast<int64_t>(data.size() / 2);
        ftp.Download("big.bin", dir.appFolder() + "half");
        EXPECT_EQ(ftp.RestartedAt, static_cast<int64_t>(data.size() / 2)) << s.name;
        EXPECT_EQ(ftp.TransferSize, static_cast<int64_t>(data.size() - data.size() / 2)) << s.name;
        EXPECT_TRUE(ReadFile(dir.file("half")) == data) << s.name;
        std::vector<std::string> names;
        ftp.OnListItem = [&](const AnsiString& n) { names.push_back(n); };
        ftp.NList();
        EXPECT_EQ(names, std::vector<std::string>{"big.bin"}) << s.name;
    }
    if (!vsftpd) GTEST_SKIP() << "vsftpd is not installed; only pyftpdlib was tried";
}

// The component's wait is the one event loop: sessions of the pool, in
// either mode, go on and finish while it waits for a slow server.
TEST(RealServers, SessionsRunToTheirEndWhileTheComponentWaits) {
    TempDir root;
    const std::string data(1 << 20, 's');
    WriteFile(root.file("big.bin"), data);
    FtpServer pyftpd(root.path());
    std::vector<std::unique_ptr<TFtpSession>> sessions;
    std::vector<AnsiString> got(2);
    int done = 0;
    for (auto path : {TFtpSession::TDataPath::Passive, TFtpSession::TDataPath::Active}) {
        sessions.push_back(std::make_unique<TFtpSession>("127.0.0.1", pyftpd.port(), "update", "x", 3000));
        TFtpSession& s = *sessions.back();
        s.DataPath = path;
        AnsiString* into = &got[sessions.size() - 1];
        s.OnReady = [&s, into] {
            TFtpSession::TFetch f;
            f.Remote = "big.bin";
            f.Memory = into;
            s.OnReady = nullptr;
            s.Fetch(f);
        };
        s.OnFetched = [&done](TFtpSession::TEnd end, const AnsiString&) { done += end == TFtpSession::TEnd::Done; };
    }
    Peer slow([](int fd) {
        Login(fd);
        Peer::Line(fd);  // PASV
        int dataPort;
        int l = ListenOnLoopback(1, dataPort);
        Peer::Send(fd, PasvReply(dataPort));
        Peer::Line(fd);  // RETR
        int d = ::accept(l, nullptr, nullptr);
        Peer::Sleep(600);
        Peer::Send(fd, "150 Opening (2 bytes)\r\n");
        Peer::Send(d, "ok");
        ::close(d);
        ::close(l);
        Peer::Send(fd, "226 done\r\n");
        Peer::Line(fd);
    });
    TempDir dir;
    TWexFTP ftp(nullptr);
    Client(ftp, slow.port())->Connect();
    for (auto& s : sessions) s->Open();
    ftp.Download("f", dir.appFolder() + "f");
    EXPECT_EQ(done, 2) << "both sessions ended while the component waited";
    EXPECT_TRUE(got[0] == data && got[1] == data);
    EXPECT_EQ(ReadFile(dir.file("f")), "ok");
}
