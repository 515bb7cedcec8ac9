#include <gtest/gtest.h>

#include <chrono>

#include "LoopbackPeer.h"
#include "TestSupport.h"
#include "net/Rsock.h"

using namespace testing_support;

namespace {

struct Component {
    // Declared before the component, so they outlive its last status report.
    std::vector<std::string> statuses;
    int resolved = 0, failed = 0, errors = 0, disconnects = 0;
    uint16_t lastErrno = 0;
    std::string lastErrmsg;
    TRimsock sock{nullptr};
    Component(int port, const std::string& host = "127.0.0.1") {
        sock.Host = host;
        sock.Port = port;
        sock.ReportLevel = 8;
        sock.OnStatus = [this](TObject*, const AnsiString& s) { statuses.push_back(s); };
        sock.OnHostResolved = [this](TObject*) { ++resolved; };
        sock.OnConnectionFailed = [this](TObject*) { ++failed; };
        sock.OnDisconnect = [this](TObject*) { ++disconnects; };
        sock.OnError = [this](TObject*, uint16_t e, const AnsiString& m) {
            ++errors;
            lastErrno = e;
            lastErrmsg = m;
        };
    }
    int count(const std::string& status) const {
        return static_cast<int>(std::count(statuses.begin(), statuses.end(), status));
    }
};

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "<no exception>";
}

}  // namespace

TEST(RsockConnect, DottedAddressNeedsNoLookupButANameIsResolved) {
    LoopbackPeer peer([](int) { LoopbackPeer::Sleep(50); }, 2);
    Component byAddress(peer.port());
    byAddress.sock.Connect();
    EXPECT_TRUE(byAddress.sock.Connected);
    EXPECT_EQ(byAddress.resolved, 0);
    EXPECT_EQ(MessageOf([&] { byAddress.sock.Connect(); }), "Already connected");

    Component byName(peer.port(), "localhost");
    byName.sock.TimeOut = 5000;
    byName.sock.Connect();
    EXPECT_TRUE(byName.sock.Connected);
    EXPECT_EQ(byName.resolved, 1);
}

TEST(RsockConnect, NullAddressAndTheOneRetryOfOnInvalidHost) {
    Component c(21, "0.0.0.0");
    EXPECT_EQ(MessageOf([&] { c.sock.Connect(); }), "Null Remote Address");

    int asked = 0;
    c.sock.OnInvalidHost = [&](bool& handled) { ++asked; handled = true; };
    c.statuses.clear();
    EXPECT_EQ(MessageOf([&] { c.sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(c.count("Resolve Host"), 2) << "exactly one more resolution";

    // A handler that mends the host gets its connection.
    LoopbackPeer peer([](int) { LoopbackPeer::Sleep(50); });
    Component m(peer.port(), "0.0.0.0");
    m.sock.OnInvalidHost = [&](bool& handled) { m.sock.Host = "127.0.0.1"; handled = true; };
    m.sock.Connect();
    EXPECT_TRUE(m.sock.Connected);
}

TEST(RsockConnect, RefusedConnectionFailsAndSocketErrorsGoThroughOnError) {
    Component c(ClosedPort());
    EXPECT_EQ(MessageOf([&] { c.sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(c.failed, 1);
    EXPECT_FALSE(c.sock.Connected);
    EXPECT_FALSE(c.sock.LastEventOk);

    // The refusal as a call's error: OnError first, then the exception.
    Winsock::WSASetLastError(10061);
    AnsiString msg;
    EXPECT_EQ(MessageOf([&] { c.sock.CheckError(10035, msg); }), "10061:Connection refused");
    EXPECT_EQ(c.errors, 1);
    EXPECT_EQ(c.lastErrno, 10061);
    EXPECT_EQ(c.lastErrmsg, "10061:Connection refused");
    Winsock::WSASetLastError(10035);
    EXPECT_NO_THROW(c.sock.CheckError(10035, msg));
    Winsock::WSASetLastError(9999);
    EXPECT_NO_THROW(c.sock.CheckError(10035, msg));
}

TEST(RsockConnect, SilentPeerTimesOut) {
    // A listener whose accept queue is full drops further SYNs.
    int port;
    int l = ListenOnLoopback(0, port);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    LoopbackPeer::Sleep(50);
    Component c(ntohs(a.sin_port));
    c.sock.TimeOut = 300;
    EXPECT_EQ(MessageOf([&] { c.sock.Connect(); }), "Connection Timed out");
    EXPECT_EQ(c.failed, 1);
    for (int f : fillers) ::close(f);
    ::close(l);
}

TEST(RsockLines, LinesArriveWholeWhateverThePackets) {
    LoopbackPeer peer([](int fd) {
        LoopbackPeer::Send(fd, "first\r\nsecond\n");
        LoopbackPeer::Sleep(30);
        LoopbackPeer::Send(fd, "spl");
        LoopbackPeer::Sleep(30);
        LoopbackPeer::Send(fd, "it li");
        LoopbackPeer::Sleep(30);
        LoopbackPeer::Send(fd, "ne\r\nrest");
        LoopbackPeer::Sleep(100);
    });
    Component c(peer.port());
    c.sock.Connect();
    EXPECT_EQ(c.sock.ReadLn(), "first\r\n");
    EXPECT_EQ(c.sock.ReadLn(), "second\n");
    EXPECT_EQ(c.sock.ReadLn(), "split line\r\n");
    EXPECT_EQ(c.sock.Read(4), "rest");
    EXPECT_EQ(c.sock.Read(0), "") << "nothing pending";
}

TEST(RsockLines, TransactionReturnsTheReplyLineAndItsNumber) {
    LoopbackPeer peer([](int fd) {
        if (LoopbackPeer::ReadLine(fd) == "NOOP\r\n") LoopbackPeer::Send(fd, "220 ready\r\n");
        if (LoopbackPeer::ReadLine(fd) == "HELP\r\n") LoopbackPeer::Send(fd, "Hello there\r\n");
        LoopbackPeer::Sleep(50);
    });
    Component c(peer.port());
    c.sock.Connect();
    AnsiString reply;
    c.sock.Transaction("NOOP", reply);
    EXPECT_EQ(reply, "220 ready\r\n");
    EXPECT_EQ(c.sock.ReplyNumber, 220);
    EXPECT_EQ(c.count("220 ready\r\n"), 1) << "the reply is reported at level 1";
    c.sock.Transaction("HELP", reply);
    EXPECT_EQ(reply, "Hello there\r\n");
    EXPECT_EQ(c.sock.ReplyNumber, 0);
}

TEST(RsockCancel, CancelBeforeWriteSendsNothingAndClearsTheFlag) {
    std::string got = "unset";
    LoopbackPeer peer([&](int fd) { got = LoopbackPeer::ReadLine(fd); });
    Component c(peer.port());
    c.sock.Connect();
    c.sock.Cancel();
    EXPECT_EQ(MessageOf([&] { c.sock.Write("lost\r\n"); }), "Socket send aborted");
    EXPECT_FALSE(c.sock.Canceled);
    c.sock.Writeln("kept");
    c.sock.Disconnect();
    ASSERT_TRUE(peer.Finish());
    EXPECT_EQ(got, "kept\r\n");
}

TEST(RsockCancel, TimeOutAndCancelFromAHandlerEndAWait) {
    LoopbackPeer peer([](int fd) { LoopbackPeer::ReadLine(fd); }, 1);
    Component c(peer.port());
    c.sock.Connect();
    c.sock.TimeOut = 200;
    EXPECT_EQ(MessageOf([&] { c.sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_TRUE(c.sock.TimedOut);

    // A handler that runs inside the wait (here another timer) cancels it.
    c.sock.TimeOut = 0;
    TThreadTimer other(nullptr);
    other.SetInterval(100);
    other.SetOnTimer([&](TObject*) { c.sock.Cancel(); other.SetEnabled(false); });
    EXPECT_EQ(MessageOf([&] { c.sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_FALSE(c.sock.Canceled);
    c.sock.Writeln("bye");
}

TEST(RsockCapture, TimeOutLimitsASilenceNotTheWholeTransfer) {
    TempDir dir;
    LoopbackPeer steady([](int fd) {
        for (int i = 0; i < 8; ++i) {
            LoopbackPeer::Send(fd, std::string(1000, 'a' + i));
            LoopbackPeer::Sleep(60);
        }
    });
    Component c(steady.port());
    c.sock.Connect();
    c.sock.TimeOut = 250;
    int packets = 0;
    c.sock.OnPacketRecvd = [&](TObject*) { ++packets; };
    c.sock.CaptureFile(dir.appFolder() + "steady.bin");
    EXPECT_EQ(c.sock.BytesReceived, 8000);
    EXPECT_EQ(ReadFile(dir.file("steady.bin")).size(), 8000u);
    EXPECT_GE(packets, 1);

    LoopbackPeer stalling([](int fd) {
        LoopbackPeer::Send(fd, "part");
        LoopbackPeer::Sleep(1000);
    });
    Component s(stalling.port());
    s.sock.Connect();
    s.sock.TimeOut = 200;
    EXPECT_EQ(MessageOf([&] { s.sock.CaptureFile(dir.appFolder() + "stall.bin"); }), "Socket send aborted");
    EXPECT_EQ(s.sock.BytesReceived, 4);
    EXPECT_EQ(MessageOf([&] { s.sock.CaptureFile(dir.appFolder() + "no\\such\\dir\\x"); }).find("Cannot create"), 0u);
}

TEST(RsockClose, CloseWithPendingDataWaitsForTheReadAndTheComponentCanConnectAgain) {
    LoopbackPeer peer([](int fd) { LoopbackPeer::Send(fd, "x"); }, 2);
    Component c(peer.port());
    c.sock.Connect();
    PumpUntil([] { return false; }, 0.2);  // the close notification arrives meanwhile
    EXPECT_TRUE(c.sock.Connected) << "one byte pending keeps the socket open";
    EXPECT_EQ(c.sock.Read(1), "x");
    EXPECT_EQ(c.sock.ReadLn(), "") << "then the read meets the close";
    c.sock.Disconnect();
    EXPECT_EQ(c.disconnects, 1);
    EXPECT_FALSE(c.sock.Connected);
    c.sock.Connect();
    EXPECT_TRUE(c.sock.Connected);
    EXPECT_EQ(c.sock.Read(1), "x");
}

TEST(RsockClose, PeerCloseWithNothingPendingClosesAndAWaitingReadEndsQuietly) {
    LoopbackPeer peer([](int) { LoopbackPeer::Sleep(100); });
    Component c(peer.port());
    c.sock.Connect();
    EXPECT_EQ(c.sock.ReadLn(), "");
    ASSERT_TRUE(PumpUntil([&] { return !c.sock.Connected; }));
    EXPECT_EQ(c.disconnects, 1);
}

TEST(RsockPassive, ListenAcceptAndThePortTexts) {
    TRimsock listener(nullptr);
    listener.Port = 0;
    listener.Listen(true);
    AnsiString portText = listener.PortNumberText();
    int hi = std::stoi(ExtractField(portText, ',', 2)), lo = std::stoi(ExtractField(portText, ',', 3));
    int port = hi * 256 + lo;
    EXPECT_GT(port, 0) << "the system picked a port";

    Component client(port);
    client.sock.Connect();
    EXPECT_EQ(client.sock.PortAddressText(), "127,0,0,1");
    Winsock::SOCKET s = listener.Accept();
    EXPECT_NE(s, Winsock::INVALID_SOCKET);
    Winsock::closesocket(s);

    TRimsock fixed(nullptr);
    fixed.Port = ClosedPort();
    fixed.Listen(false);
    EXPECT_EQ(fixed.PortNumberText(), "," + std::to_string(fixed.Port / 256) + "," + std::to_string(fixed.Port % 256));
    TRimsock low(nullptr);
    low.Port = 255;
    low.Listen(false);
    if (getuid() == 0) {
        EXPECT_EQ(low.PortNumberText(), ",0,255");
    }
}

TEST(RsockPassive, AcceptAfterCancelLeavesTheListeningSocketAlone) {
    TRimsock listener(nullptr);
    listener.Listen(true);
    Winsock::SOCKET before = listener.SocketHandle;
    listener.Cancel();
    EXPECT_EQ(MessageOf([&] { listener.Accept(); }), "Accepting Canceled");
    EXPECT_TRUE(listener.Canceled) << "the flag stays set";
    EXPECT_EQ(listener.SocketHandle, before);
    listener.Canceled = false;
    AnsiString portText = listener.PortNumberText();
    Component client(std::stoi(ExtractField(portText, ',', 2)) * 256 + std::stoi(ExtractField(portText, ',', 3)));
    client.sock.Connect();
    EXPECT_NE(listener.Accept(), Winsock::INVALID_SOCKET);
}

TEST(RsockTimer, StoppedTimersNeverTickAndTheSameIntervalKeepsTheCountdown) {
    int ticks = 0;
    TThreadTimer zero(nullptr), none(nullptr), off(nullptr);
    zero.SetOnTimer([&](TObject*) { ++ticks; });
    zero.SetInterval(0);
    none.SetInterval(10);
    off.SetInterval(10);
    off.SetOnTimer([&](TObject*) { ++ticks; });
    off.SetEnabled(false);
    PumpUntil([] { return false; }, 0.15);
    EXPECT_EQ(ticks, 0);

    // A countdown started again would tick a whole interval after the second
    // SetInterval at the earliest; the one that goes on, 300 ms after it.
    TThreadTimer t(nullptr);
    t.SetInterval(1000);
    std::chrono::steady_clock::time_point again, at;
    t.SetOnTimer([&](TObject*) { if (at == again) at = std::chrono::steady_clock::now(); });
    PumpUntil([] { return false; }, 0.7);
    again = at = std::chrono::steady_clock::now();
    t.SetInterval(1000);  // unchanged: the countdown goes on
    ASSERT_TRUE(PumpUntil([&] { return at != again; }, 3));
    EXPECT_LT(at - again, std::chrono::milliseconds(1000));
}

TEST(RsockTexts, ExtractFieldAndErrorMessages) {
    AnsiString pasv = "227 Entering Passive Mode (10,0,0,1,4,1)";
    EXPECT_EQ(ExtractField(pasv, ',', 5), "4");
    EXPECT_EQ(ExtractField(pasv, ',', 6), "1)");
    EXPECT_EQ(ExtractField(pasv, ',', 1), "227 Entering Passive Mode (10");
    EXPECT_EQ(ExtractField("a,,b", ',', 2), "");
    EXPECT_EQ(ExtractField("a,b", ',', 0), "");
    EXPECT_EQ(ExtractField("", ',', 1), "");

    TRimsock s(nullptr);
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

TEST(RsockLife, WinsockIsStartedByTheFirstComponentOnly) {
    int before = WinsockUseCount;
    {
        TRimsock a(nullptr);
        EXPECT_EQ(WinsockUseCount, before + 1);
        if (before == 0) {
            ASSERT_EQ(a.WinsockInfo->Count(), 6);
            EXPECT_EQ((*a.WinsockInfo)[0], "Version= 1.1");
        }
        TRimsock b(nullptr);
        EXPECT_EQ(b.WinsockInfo->Count(), 0);
    }
    EXPECT_EQ(WinsockUseCount, before);
}
