// The update run with no window: a plan as the start-up sequence leaves it,
// the servers in the sequence's order, and real mirrors in the states of a
// release day (one lacking a file, one already serving the next release).
#include <gtest/gtest.h>

#include <atomic>

#include "FtpServer.h"
#include "RunnerSupport.h"
#include "LoopbackPeer.h"
#include "NginxServer.h"
#include "app/UpdateLog.h"
#include "app/UpdatePlan.h"
#include "app/UpdateRunner.h"
#include "crypto/Sha256.h"
#include "publish/Publisher.h"
#include "release/UpdateEntry.h"

using namespace testing_support;

namespace {

// A release on its mirrors, the next one on another, and the plan of an
// empty application folder.
struct Plan {
    TempDir src, next, pub, pubNext, app, logs;
    TStringList installed, entries;
    std::string refused;  // a file the plan's own mirror lacks

    explicit Plan(bool parallel, int bigBytes = 0) {
        for (int i = 0; i < 12; ++i) WriteFile(src.file("f" + std::to_string(i) + ".bin"), Random(3000 + i, i));
        if (bigBytes > 0) WriteFile(src.file("big.bin"), Random(bigBytes, 99));
        WriteFile(next.file("f0.bin"), "the next release");
        for (auto [dir, out, version] : {std::tuple{&src, &pub, "2"}, std::tuple{&next, &pubNext, "3"}}) {
            TPublishOptions o;
            o.ReleaseDir = dir->path();
            o.OutDir = out->path();
            o.Version = version;
            if (!parallel) o.Connections = 1, o.Mirrors = "one";
            Publish(o);
        }
        refused = ServedName(pub.path(), "f3.bin");
        // What the sequence leaves: the plan's list in place, nothing installed.
        WriteFile(app.file("update3.dat"), ReadFile(pub.file("update3.dat")));
        WriteFile(app.file("update2.dat"), "KOVRAN\r\n");
        UpdateLog::Open(app.appFolder());
        installed.LoadFromFile(app.appFolder() + "update2.dat");
        installed.Add("");
        TStringList remote;
        remote.LoadFromFile(app.appFolder() + "update3.dat");
        for (const AnsiString& e : BuildUpdatePlan(remote.Lines(), installed.Lines()).Entries) entries.Add(e);
    }

    void SetUp(TUpdateRunner& run, const std::vector<int>& ports, const std::vector<std::string>& webMirrors = {}) {
        for (size_t i = 0; i < ports.size(); ++i)
            run.Servers.push_back("S" + std::to_string(i) + " 127.0.0.1 " + std::to_string(ports[i]) + " 3000 update");
        for (size_t i = 0; i < webMirrors.size(); ++i)
            run.Servers.push_back("W" + std::to_string(i) + " " + webMirrors[i] + " 0 3000 -");
        run.CurrentServerLine = run.Servers[0];
        PlanRunIn(run, app, installed);
    }

    static int Retrievals(const std::string& log, const std::string& name = "") {
        int n = 0;
        std::istringstream in(ReadFile(log));
        for (std::string l; std::getline(in, l);)
            n += l.rfind("RETR ", 0) == 0 && l.find("update3.dat") == std::string::npos &&
                 l.find(name) != std::string::npos;
        return n;
    }
};

}  // namespace

TEST(UpdateRunner, InstallsThePlanInOrderFromTheMirrorsThatServeItsListOneSessionOrPooled) {
    for (bool parallel : {false, true}) {
        SCOPED_TRACE(parallel ? "pooled" : "one session");
        Plan p(parallel);
        const std::string logA = p.logs.file("a"), logB = p.logs.file("b"), logC = p.logs.file("c");
        FtpServer a(p.pub.path(), "update", "x", {"--refuse", p.refused, "--log", logA});
        FtpServer b(p.pubNext.path(), "update", "x", {"--log", logB});
        FtpServer c(p.pub.path(), "update", "x", {"--log", logC});

        TUpdateRunner run;
        p.SetUp(run, {a.port(), b.port(), c.port()});
        std::vector<int> order;
        run.OnEntry = [&](int i, TEntryOutcome outcome) {
            order.push_back(i);
            EXPECT_EQ(outcome, TEntryOutcome::Installed) << i;
        };
        EXPECT_TRUE(run.Run(p.entries));

        ASSERT_EQ(order.size(), 12u);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(order[i], i);
        std::string expected = "KOVRAN\r\n\r\n";
        for (int i = 0; i < p.entries.Count(); ++i) {
            TUpdateEntry e = ParseUpdateEntry(p.entries[i]);
            expected += e.Local + " " + e.Version + "\r\n";
            EXPECT_EQ(ReadFile(p.app.file(e.Local)), ReadFile(p.src.file(e.Local))) << e.Local;
        }
        EXPECT_EQ(ReadFile(p.app.file("update2.dat")), expected);
        EXPECT_EQ(Plan::Retrievals(logB), 0);  // the next release's mirror: never asked for a file
        EXPECT_GE(Plan::Retrievals(logC, p.refused), 1);
        EXPECT_TRUE(Temporaries(p.app.path(), true).empty());
        EXPECT_NE(ReadFile(p.app.file("update.log")).find("in use for the run"), std::string::npos);
    }
}

// Web mirrors (HTTP and HTTPS) serve the run beside an FTP one, a large
// file in segments from both kinds: the plan's FTP session, adopted by the
// run, takes the first piece, and its server is too slow to take them all.
// A web mirror with another list serves nothing.
TEST(UpdateRunner, WebAndFtpMirrorsServeOneRunTogether) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    Plan p(true, 24 << 20);
    TestCertificates certs;
    const std::string cert = certs.Server("mirror", "IP:127.0.0.1");
    setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
    const std::string ftpLog = p.logs.file("ftp"), webLog = p.logs.file("web");
    FtpServer ftp(p.pub.path(), "update", "x", {"--log", ftpLog, "2000000"});
    NginxServer web(p.pub.path(), {{cert, TestCertificates::KeyOf(cert)}}, "access_log " + webLog + ";"),
        other(p.pubNext.path());
    TUpdateRunner run;
    p.SetUp(run, {ftp.port()},
            {"http://127.0.0.1:" + std::to_string(web.port()) + "/", "https://127.0.0.1:" + std::to_string(web.tlsPort()),
             "http://127.0.0.1:" + std::to_string(other.port()) + "/"});
    auto plan = std::make_unique<TFtpSession>("127.0.0.1", ftp.port(), "update", "x", 3000);
    bool ready = false;
    plan->OnReady = [&] { ready = true; };
    plan->Open();
    ASSERT_TRUE(PumpUntil([&] { return ready; }, 30));
    run.PlanSession = std::move(plan);
    EXPECT_TRUE(run.Run(p.entries));
    unsetenv("SSL_CERT_FILE");
    for (int i = 0; i < p.entries.Count(); ++i) {
        const AnsiString local = ParseUpdateEntry(p.entries[i]).Local;
        EXPECT_EQ(ReadFile(p.app.file(local)), ReadFile(p.src.file(local))) << local;
    }
    const std::string log = ReadFile(p.app.file("update.log")), served = ReadFile(webLog);
    EXPECT_NE(log.find("W2 (http://127.0.0.1:" + std::to_string(other.port()) + "/): left for the rest of the run"),
              std::string::npos) << log;
    const std::string big = ServedName(p.pub.path(), "big.bin");
    EXPECT_GE(Plan::Retrievals(ftpLog, big), 1) << "segments over FTP";
    EXPECT_NE(served.find(big + " HTTP/1.1\" 206"), std::string::npos) << "and over HTTP";
}

// A kind this updater does not know is passed over with no server asked,
// one session or pooled.
TEST(UpdateRunner, AnUnknownKindIsPassedOverWithoutAServer) {
    for (bool parallel : {false, true}) {
        Plan p(parallel);
        const std::string log = p.logs.file(parallel ? "pooled" : "one");
        FtpServer a(p.pub.path(), "update", "x", {"--log", log});
        TUpdateRunner run;
        p.SetUp(run, {a.port()});
        TStringList entries;
        entries.Add("X x.bin x.bin 1 10");
        std::vector<TEntryOutcome> outcomes;
        run.OnEntry = [&](int, TEntryOutcome outcome) { outcomes.push_back(outcome); };
        EXPECT_TRUE(run.Run(entries));
        EXPECT_EQ(outcomes, std::vector<TEntryOutcome>{TEntryOutcome::UnknownKind});
        EXPECT_EQ(ReadFile(log).find("USER"), std::string::npos) << ReadFile(log);
    }
}

TEST(UpdateRunner, CloseEndsTheRunWhereItIsAndRecordsNothingMore) {
    Plan p(false);
    FtpServer a(p.pub.path());
    TUpdateRunner run;
    p.SetUp(run, {a.port()});
    int seen = 0;
    run.OnEntry = [&](int, TEntryOutcome) {
        if (++seen == 3) run.Close();
    };
    EXPECT_FALSE(run.Run(p.entries));
    EXPECT_EQ(seen, 3);
    EXPECT_FALSE(Exists(p.app.file(ParseUpdateEntry(p.entries[3]).Local)));
    EXPECT_EQ(ReadFile(p.app.file("update2.dat")), "KOVRAN\r\n");  // the window saves what was done
}

// A mirror whose greeting trickles in, a byte at a time and never a line
// end, costs each of the pool's sessions its silence limit; then the pool
// leaves it, while the other mirror serves everything.
TEST(TransferPool, AMirrorWhoseGreetingNeverEndsIsLeftAfterItsLimit) {
    Plan plan(true);
    FtpServer good(plan.pub.path());
    std::atomic<bool> stop{false};
    LoopbackPeer trickle(
        [&](int fd) {
            LoopbackPeer::Send(fd, "220-");
            while (!stop && ::send(fd, "x", 1, MSG_NOSIGNAL) == 1) LoopbackPeer::Sleep(100);
        },
        2);
    TTransferPool::TSettings settings;
    settings.Connections = 1;
    settings.IdleMilliseconds = 500;
    settings.Password = "x";
    const std::vector<AnsiString> servers{"S0 127.0.0.1 " + std::to_string(good.port()) + " 3000 update",
                                          "S1 127.0.0.1 " + std::to_string(trickle.port()) + " 3000 update"};
    TTransferPool pool(plan.app.appFolder(), servers, Sha256Of(ReadFile(plan.app.file("update3.dat"))), "", settings);
    std::string log;
    pool.Log = [&](const AnsiString& text) { log += text + "\n"; };
    for (int i = 0; i < plan.entries.Count(); ++i) pool.Add(i, ParseUpdateEntry(plan.entries[i]));
    pool.Start();
    const std::string leaving = "server S1 (127.0.0.1:" + std::to_string(trickle.port()) + "): left for the rest of the run";
    const bool left = PumpUntil([&] { return log.find(leaving) != std::string::npos; }, 30);
    stop = true;
    EXPECT_TRUE(left) << log;
    EXPECT_TRUE(PumpUntil([&] { return pool.Idle(); }, 30)) << log;
    for (int i = 0; i < plan.entries.Count(); ++i) EXPECT_FALSE(pool.GivenUp(i)) << i;
}
