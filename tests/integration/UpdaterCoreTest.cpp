// The updater's core with no window and no display: the start-up sequence
// over servers in the states a player meets (one down, one without a list,
// one with the signed release), the plan, the check of what is installed,
// the run, and the launcher's check before a launch.
#include <gtest/gtest.h>

#include "FtpServer.h"
#include "LoopbackPeer.h"
#include "NginxServer.h"
#include "ReferenceReader.h"
#include "app/UpdateLog.h"
#include "app/UpdaterCore.h"
#include "crypto/Minisign.h"
#include "publish/Publisher.h"

using namespace testing_support;

namespace {

struct CoreRelease {
    TempDir src, pub, empty, app, secrets;
    TSecretKey key;
    CoreRelease() {
        WriteFile(src.file("portal.exe"), "the launcher");
        WriteFile(src.file("data/a.txt"), Random(5000, 1));
        GenerateKey(key);
        WriteFile(secrets.file("k.key"), SecretKeyText(key));
        PublishTo(pub.path(), "7", 3);
        WriteFile(app.file("update.pub"), PublicKeyText(key));
        UpdateLog::Open(app.appFolder());
    }
    void PublishTo(const std::string& out, const std::string& version, int64_t serial,
                   std::vector<AnsiString> owned = {}) const {
        TPublishOptions o;
        o.PlayerOwnedGlobs = std::move(owned);
        o.ReleaseDir = src.path();
        o.OutDir = out;
        o.Version = version;
        o.SecretKey = secrets.file("k.key");
        o.Serial = serial;
        Publish(o);
    }
    static std::string Line(int port) { return "S 127.0.0.1 " + std::to_string(port) + " 3000 update"; }
    void Prepare(TUpdaterCore& core, const std::vector<int>& ports) const {
        std::vector<AnsiString> lines;
        for (int port : ports) lines.push_back(Line(port));
        PrepareLines(core, lines);
    }
    void PrepareLines(TUpdaterCore& core, std::vector<AnsiString> lines) const {
        core.AppFolder = app.appFolder();
        core.LoggedInSilence = 3000;
        lines.push_back("end");
        ASSERT_TRUE(core.LoadKey()) << core.KeyProblem;
        core.OrderServers(lines, 0, 1);
    }
};

void CheckAll(TUpdaterCore& core, std::vector<AnsiString>& names) {
    while (!core.CheckSlice(1.0, names)) {
    }
}

}  // namespace

TEST(UpdaterCore, PassesOverServersWithoutAGoodListThenPlansRunsAndGuardsTheLauncher) {
    CoreRelease r;
    FtpServer noList(r.empty.path()), good(r.pub.path());
    TUpdaterCore core;
    // The chosen server is down, the next has no list: the order keeps the
    // choice first and shuffles the rest, so both others are met in some order.
    r.Prepare(core, {ClosedPort(), noList.port(), good.port()});
    ASSERT_EQ(core.FindList(), TUpdaterCore::TFound::List);
    EXPECT_EQ(core.Taken.Serial, 3);
    EXPECT_EQ(core.CurrentServerLine, CoreRelease::Line(good.port()));
    std::vector<AnsiString> names = core.MakePlan();
    CheckAll(core, names);
    ASSERT_EQ(names.size(), 2u);
    std::vector<int> failed;
    std::vector<int> seen;
    ASSERT_TRUE(core.Run([&](int i, TEntryOutcome) { seen.push_back(i); }, failed));
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(seen, (std::vector<int>{0, 1}));
    EXPECT_EQ(ReadFile(r.app.file("data/a.txt")), ReadFile(r.src.file("data/a.txt")));
    EXPECT_EQ(ReadFile(r.app.file("update.serial")), "3\r\n");
    EXPECT_TRUE(core.InstalledClientChecksOut());

    // A launcher changed behind the updater's back is put right before the launch.
    WriteFile(r.app.file("portal.exe"), "something else");
    EXPECT_FALSE(core.InstalledClientChecksOut());
    EXPECT_EQ(core.CheckLauncher(), TUpdaterCore::TLauncher::AsReleased);
    EXPECT_EQ(ReadFile(r.app.file("portal.exe")), "the launcher");
    // With the mirror gone it cannot be, and the launch is refused.
    good.Stop();
    WriteFile(r.app.file("portal.exe"), "something else");
    EXPECT_EQ(core.CheckLauncher(), TUpdaterCore::TLauncher::NotRepaired);
    EXPECT_TRUE(core.Close());
}

TEST(UpdaterCore, NamesTheFileARefusedListLacksAndStopsAtOnceWhenAsked) {
    CoreRelease r;
    std::filesystem::remove(r.pub.file("update3.dat.minisig"));
    FtpServer unsigned_(r.pub.path());
    TUpdaterCore core;
    r.Prepare(core, {unsigned_.port()});
    EXPECT_EQ(core.FindList(), TUpdaterCore::TFound::NoValidList);
    EXPECT_EQ(core.Taken.RefusedFile, "update3.dat.minisig");
    EXPECT_EQ(core.Taken.Problem, TText::ListUnverified);
    EXPECT_FALSE(std::filesystem::exists(r.app.file("update3.dat"))) << "a refused list is never put in place";

    TUpdaterCore stopped;
    r.Prepare(stopped, {unsigned_.port()});
    stopped.Stop();
    EXPECT_EQ(stopped.FindList(), TUpdaterCore::TFound::Stopped);
    EXPECT_EQ(stopped.ServerIndex, -1) << "no server is tried once the player left";
}

// A vendor whose mirrors are all web servers: the plan, the run and the
// launcher's check come over HTTPS alone; a web server without the release
// is passed over.
TEST(UpdaterCore, WebMirrorsAloneServeThePlanAndTheRun) {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    CoreRelease r;
    TestCertificates certs;
    const std::string cert = certs.Server("mirror", "IP:127.0.0.1");
    setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
    NginxServer empty(r.empty.path()), web(r.pub.path(), {{cert, TestCertificates::KeyOf(cert)}});
    TUpdaterCore core;
    r.PrepareLines(core, {"Empty http://127.0.0.1:" + std::to_string(empty.port()) + "/ 0 3000 -",
                                            "CDN https://127.0.0.1:" + std::to_string(web.tlsPort()) + "/ 0 3000 -"});
    ASSERT_EQ(core.FindList(), TUpdaterCore::TFound::List) << ReadFile(r.app.file("update.log"));
    EXPECT_EQ(core.ServerIndex, 1);
    std::vector<AnsiString> names = core.MakePlan();
    CheckAll(core, names);
    std::vector<int> failed;
    ASSERT_TRUE(core.Run({}, failed));
    unsetenv("SSL_CERT_FILE");
    EXPECT_TRUE(failed.empty()) << ReadFile(r.app.file("update.log"));
    EXPECT_EQ(ReadFile(r.app.file("data/a.txt")), ReadFile(r.src.file("data/a.txt")));
    EXPECT_EQ(core.CheckLauncher(), TUpdaterCore::TLauncher::AsReleased);
    EXPECT_NE(ReadFile(r.app.file("update.log")).find("Empty (http://127.0.0.1:" + std::to_string(empty.port()) +
                                                      "/): serves no update3.dat"),
              std::string::npos);
}

// A player whose chosen mirror is stale installs what it serves, whole, then
// learns from another mirror's signature that a newer release exists, and
// Start (PlanNewer) brings it in.
TEST(UpdaterCore, AStaleMirrorsPlayerLearnsOfTheNewerReleaseAndGetsIt) {
    CoreRelease r;
    TempDir next;
    WriteFile(r.src.file("data/a.txt"), "release 8");
    r.PublishTo(next.path(), "8", 4);
    FtpServer stale(r.pub.path()), fresh(next.path());
    TUpdaterCore core;
    r.Prepare(core, {stale.port(), fresh.port()});
    ASSERT_EQ(core.FindList(), TUpdaterCore::TFound::List);
    ASSERT_EQ(core.Taken.Serial, 3);
    std::vector<AnsiString> names = core.MakePlan();
    CheckAll(core, names);
    std::vector<int> failed;
    ASSERT_TRUE(core.Run({}, failed));
    EXPECT_EQ(ReadFile(r.app.file("update.serial")), "3\r\n");
    core.LookForNewer();
    ASSERT_TRUE(core.NewerSeen());
    EXPECT_EQ(core.NewerSerial(), 4);
    ASSERT_EQ(core.PlanNewer(), TUpdaterCore::TFound::List);
    EXPECT_EQ(core.CurrentServerLine, CoreRelease::Line(fresh.port()));
    names = core.MakePlan();
    CheckAll(core, names);
    ASSERT_TRUE(core.Run({}, failed));
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(ReadFile(r.app.file("data/a.txt")), "release 8");
    EXPECT_EQ(ReadFile(r.app.file("update.serial")), "4\r\n");
    core.LookForNewer();
    EXPECT_FALSE(core.NewerSeen()) << "an older release elsewhere is no news";
}

// A file the player owns is installed when missing, then neither replaced by
// a later release nor repaired; an updater built to the original format
// installs it as any file.
TEST(UpdaterCore, AFileThePlayerOwnsIsInstalledOnceAndThenLeftAlone) {
    CoreRelease r;
    TempDir first, second;
    WriteFile(r.src.file("settings.ini"), "volume=5");
    r.PublishTo(first.path(), "8", 4, {"settings.ini"});
    WriteFile(r.src.file("settings.ini"), "volume=7");
    r.PublishTo(second.path(), "9", 5, {"settings.ini"});
    ReferenceReader reference;
    TempDir theirs;
    reference.app = theirs.path();
    reference.pub = second.path();
    reference.Run(reference.Plan());
    EXPECT_EQ(ReadFile(theirs.file("settings.ini")), "volume=7");

    auto start = [&](const std::string& pub, bool repair) {
        FtpServer server(pub);
        TUpdaterCore core;
        core.ForceRepair = repair;
        r.Prepare(core, {server.port()});
        EXPECT_EQ(core.FindList(), TUpdaterCore::TFound::List);
        std::vector<AnsiString> names = core.MakePlan();
        CheckAll(core, names);
        std::vector<int> failed;
        EXPECT_TRUE(core.Run({}, failed));
        EXPECT_TRUE(failed.empty());
        core.Close();
    };
    start(first.path(), false);
    EXPECT_EQ(ReadFile(r.app.file("settings.ini")), "volume=5");
    WriteFile(r.app.file("settings.ini"), "volume=11, the player's");
    start(second.path(), false);
    start(second.path(), true);
    EXPECT_EQ(ReadFile(r.app.file("settings.ini")), "volume=11, the player's");
    EXPECT_EQ(ReadFile(r.app.file("data/a.txt")), ReadFile(r.src.file("data/a.txt")));
    std::filesystem::remove(r.app.file("settings.ini"));
    start(second.path(), false);
    EXPECT_EQ(ReadFile(r.app.file("settings.ini")), "volume=7") << "missing again: installed again";
}
