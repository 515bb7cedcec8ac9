// The update run on bad links, with the real windows and real (misbehaving)
// FTP servers: a broken download goes on where it stopped, on the same server
// or on the next one that serves the same list.
#include "UpdaterFixture.h"

#include <fstream>
#include <random>

#include "app/UpdateRun.h"

using namespace testing_support;

namespace {

const size_t kBig = 2 << 20;

// A release with a 2 MiB plain file and a small one.
struct Release : TestRelease {
    std::string big = std::string(kBig, '\0');
    explicit Release(const std::string& version = "5") {
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
        Add("big.bin", big);
        Add("small.txt", "small " + version);
        Publish(version, {}, {"*.bin", "*.txt"});
    }
};

struct RunFixture : UpdaterFixture {
    int silence = 0;  // the servers' allowed silence (ms), when shortened
    double idleBeforeStart = 0;  // seconds the plan stays on the screen
    void RunAll(const std::vector<int>& ports) {
        ServerList(ports, silence ? silence : 3000);
        WriteFile(app.file("isp1.dat"), "0\r\n");  // the first server first
        Start("en_US.UTF-8");
        if (silence) Form1->Core->LoggedInSilence = silence;
        RunSequence();
        if (idleBeforeStart) PumpUntil([] { return false; }, idleBeforeStart);
        ASSERT_TRUE(Form1->Button1->Enabled) << (dialogs.empty() ? "" : dialogs[0].second);
        Form1->Button1Click(nullptr);
    }
    void ExpectInstalled(const Release& r) {
        EXPECT_EQ(ReadFile(app.file("big.bin")), r.big);
        EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
        EXPECT_EQ(Temporaries(app.path(), true), std::vector<std::string>());
    }
};

// Four plain files, a.bin first in the list, over an installed a.bin.
struct FourFiles : RunFixture, TestRelease {
    void SetUp() override {
        RunFixture::SetUp();
        std::string a(65536, '\0');
        std::mt19937 noise(5);
        for (auto& c : a) c = static_cast<char>(noise());
        Add("a.bin", a);
        for (std::string n : {"b", "c", "d"}) Add(n + ".txt", "new " + n);
        Publish("7", {}, {"*.bin", "*.txt"});
        WriteFile(app.file("update2.dat"), "KOVRAN\r\na.bin 1\r\n");
        WriteFile(app.file("a.bin"), "old a");
        silence = 700;
    }
    // The only server misbehaves with `fault` on every download of a.bin:
    // the others still come in from it.
    void OnlyTheFirstFails(const char* fault) {
        ServerLog log;
        FtpServer server(root(), "update", "x", {fault, served("a.bin"), "--log", log.path});
        RunAll({server.port()});
        EXPECT_EQ(ReadFile(app.file("a.bin")), "old a");
        EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\na.bin 1\r\nb.txt 7\r\nc.txt 7\r\nd.txt 7\r\n");
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_NE(dialogs[0].second.find("a.bin"), std::string::npos) << dialogs[0].second;
        EXPECT_EQ(dialogs[0].second.find(".txt"), std::string::npos) << dialogs[0].second;
        ASSERT_EQ(Form1->ListBox1->Items.Count(), 1);
        EXPECT_EQ(Form1->ListBox1->Items[0], "a.bin");
        EXPECT_LE(log.Count("RETR " + served("a.bin")), 3);
        EXPECT_EQ(ReadFile(app.file("update.log")).find("left for the rest of the run"), std::string::npos);
        EXPECT_EQ(Temporaries(app.path()), std::vector<std::string>());
    }
};

}  // namespace

TEST_F(FourFiles, AFileWhoseDataGoesSilentFailsAlone) { OnlyTheFirstFails("--stall"); }
TEST_F(FourFiles, AFileWhoseDataIsResetFailsAlone) { OnlyTheFirstFails("--reset"); }
TEST_F(FourFiles, AFileThatComesShortFailsAlone) { OnlyTheFirstFails("--short"); }

// The server closes the session while the plan is on the screen: Start
// logs in again and brings everything, with no box.
TEST_F(FourFiles, ASessionTheServerClosedWhileThePlanWasShownIsOpenedAgain) {
    FtpServer server(root(), "update", "x", {"--idle", "1"});
    idleBeforeStart = 2;
    RunAll({server.port()});
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\na.bin 7\r\nb.txt 7\r\nc.txt 7\r\nd.txt 7\r\n");
    EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
}

// Three files in a row broken by the only server: it is left for the rest
// of the run, the fourth is not asked of it, and the log says why.
TEST_F(FourFiles, AServerThatFailsThreeFilesInARowIsLeft) {
    ServerLog log;
    FtpServer server(root(), "update", "x",
                     {"--stall", served("a.bin") + "," + served("b.txt") + "," + served("c.txt"), "--log", log.path});
    RunAll({server.port()});
    EXPECT_EQ(log.Count("RETR " + served("d.txt")), 0);
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\na.bin 1\r\n");
    EXPECT_EQ(Form1->ListBox1->Items.Count(), 4);
    const std::string text = ReadFile(app.file("update.log"));
    EXPECT_NE(text.find("Server0 (127.0.0.1:" + std::to_string(server.port()) +
                        "): left for the rest of the run: it failed 3 files in a row"),
              std::string::npos) << text;
}

TEST_F(RunFixture, ADroppedDownloadGoesOnWhereItStoppedOnTheSameServer) {
    Release release;
    ServerLog log;
    FtpServer server(release.root(), "update", "x", {"--drop-after", "1048576", "--log", log.path});
    RunAll({server.port()});
    ExpectInstalled(release);
    EXPECT_EQ(log.Count("REST 1048576"), 1);
    // Every byte once, but for at most one block sent twice.
    EXPECT_LE(log.BytesSent(), static_cast<int64_t>(kBig + 16384));
}

TEST_F(RunFixture, AServerThatDiesMidDownloadIsReplacedByTheNextFromTheSameByte) {
    Release release;
    ServerLog dyingLog, nextLog;
    FtpServer dying(release.root(), "update", "x", {"--die-after", "1048576", "--log", dyingLog.path});
    FtpServer next(release.root(), "update", "x", {"--log", nextLog.path});
    RunAll({dying.port(), next.port()});
    ExpectInstalled(release);
    EXPECT_EQ(nextLog.Count("REST "), 1) << "the second server went on from the first one's bytes\n"
                                         << ReadFile(app.file("update.log"));
    EXPECT_LE(nextLog.BytesSent(), static_cast<int64_t>(kBig - 1048576 + 16384));
}

TEST_F(RunFixture, AServerThatCannotRestartSendsTheFileFromTheStart) {
    Release release;
    ServerLog log;
    FtpServer server(release.root(), "update", "x", {"--drop-after", "1048576", "--no-rest", "--log", log.path});
    RunAll({server.port()});
    ExpectInstalled(release);
    EXPECT_EQ(log.Count("RETR big.bin"), 2);
}

TEST_F(RunFixture, AServerWithAnotherListIsNeverUsedForTheRun) {
    Release release, other("6");
    ServerLog otherLog, goodLog;
    FtpServer dying(release.root(), "update", "x", {"--die-after", "1048576"});
    FtpServer different(other.root(), "update", "x", {"--log", otherLog.path});
    FtpServer good(release.root(), "update", "x", {"--log", goodLog.path});
    RunAll({dying.port(), different.port(), good.port()});
    ExpectInstalled(release);
    EXPECT_EQ(otherLog.Count("RETR big.bin"), 0);
    EXPECT_EQ(goodLog.Count("RETR big.bin"), 1);
}

TEST_F(RunFixture, AFileOneServerRefusesComesFromAnother) {
    Release release;
    ServerLog refusingLog, goodLog;
    FtpServer refusing(release.root(), "update", "x", {"--refuse", release.served("big.bin"), "--log", refusingLog.path});
    FtpServer good(release.root(), "update", "x", {"--log", goodLog.path});
    RunAll({refusing.port(), good.port()});
    ExpectInstalled(release);
    EXPECT_EQ(refusingLog.Count("RETR big.bin"), 1) << "a refused file is asked of the next server at once";
    EXPECT_EQ(goodLog.Count("RETR big.bin"), 1);
}

TEST_F(RunFixture, APartialDownloadOfAnEarlierStartIsContinuedButOneOfAnotherReleaseIsNot) {
    Release release;
    TStringList list;
    list.LoadFromFile(SystemPathFromNative(release.root() + "/update3.dat"));
    TUpdateEntry big = ParseUpdateEntry(list[1].find("big.bin") != std::string::npos ? list[1] : list[2]);
    // What a killed run left: the first half of this release's big.bin.
    WriteFile(PartialPathOf(app.appFolder(), big), release.big.substr(0, kBig / 2));
    // ... and what an older release's run left.
    TUpdateEntry older = big;
    older.Version = "4";
    WriteFile(PartialPathOf(app.appFolder(), older), std::string(1000, 'o'));
    ServerLog log;
    FtpServer server(release.root(), "update", "x", {"--log", log.path});
    RunAll({server.port()});
    ExpectInstalled(release);
    EXPECT_EQ(log.Count("REST " + std::to_string(kBig / 2)), 1);
    EXPECT_EQ(log.BytesSent(), static_cast<int64_t>(kBig / 2));
    EXPECT_FALSE(Exists(PartialPathOf(app.appFolder(), older)));
}

// A dying mirror followed by one that serves another release: the second is
// let go as soon as its list differs, and no later entry is fetched from it.
TEST_F(RunFixture, AServerWithAnotherListIsLetGoAndNeverAskedForAFile) {
    Release release, other("6");
    ServerLog otherLog;
    FtpServer dying(release.root(), "update", "x", {"--die-after", "1048576"});
    FtpServer different(other.root(), "update", "x", {"--log", otherLog.path});
    RunAll({dying.port(), different.port()});
    EXPECT_EQ(otherLog.Count("RETR "), 1) << "only its update3.dat";
    EXPECT_FALSE(Exists(app.file("small.txt")));
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\n\r\n");
    const std::string log = ReadFile(app.file("update.log"));
    EXPECT_NE(log.find("Server1 (127.0.0.1:" + std::to_string(different.port()) + "): serves another update3.dat"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("on server Server1"), std::string::npos) << "no try is blamed on the server that sent nothing";
    EXPECT_EQ(Form1->ListBox1->Items.Count(), 2);  // both left for Start to try again
}

// A file not yet on the only mirror (a release still being uploaded): Start
// tries it again once it is there, and an idle server that closes the
// connection afterwards raises no box.
TEST_F(RunFixture, StartAfterAFailedEntryBringsItOnceTheMirrorHasCaughtUp) {
    Release release;
    const std::string served = release.root() + "/" + ServedName(release.root(), "small.txt");
    const std::string held = ReadFile(served);
    std::filesystem::remove(served);
    FtpServer server(release.root());
    RunAll({server.port()});
    ASSERT_EQ(dialogs.size(), 1u);  // what was not installed, after the run
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 1);
    EXPECT_EQ(Form1->Label3->Caption(), "1 file not updated: press Start to retry");
    ASSERT_TRUE(Form1->Button1->Enabled);
    WriteFile(served, held);
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("small.txt")), "small 5");
    EXPECT_EQ(Form1->ListBox1->Items.Count(), 0);
    EXPECT_EQ(Form1->ListBox2->Items.Count(), 2);
    EXPECT_EQ(Form1->ExitCode, 0);
    server.Stop();
    EXPECT_TRUE(PumpUntil([&] { return !Form1->ConnectedFlag; }));
    EXPECT_EQ(dialogs.size(), 1u);
}

// Bad bytes kept from an earlier start, then a cut: the resumed download
// fails its check, and the one flaky mirror still gets a try from byte 0.
TEST_F(RunFixture, AResumedDownloadThatFailsItsCheckIsFetchedAfreshFromTheSameServer) {
    Release release;
    TStringList list;
    list.LoadFromFile(SystemPathFromNative(release.root() + "/update3.dat"));
    TUpdateEntry big = ParseUpdateEntry(list[1].find("big.bin") != std::string::npos ? list[1] : list[2]);
    WriteFile(PartialPathOf(app.appFolder(), big), std::string(kBig / 2, 'x'));
    ServerLog log;
    FtpServer server(release.root(), "update", "x", {"--drop-at", std::to_string(kBig * 3 / 4), "--log", log.path});
    RunAll({server.port()});
    ExpectInstalled(release);
    EXPECT_EQ(log.Count("RETR big.bin"), 3);
}

// A gzip file and a pack, inflated as they arrive, cut three times: each
// try goes on from the bytes kept, which are fed through the stream again,
// and both install byte for byte.
TEST_F(RunFixture, StreamedGzipAndPackEntriesCutAndResumedInstallWhole) {
    TestRelease r;
    std::string text, member;
    for (int i = 0; i < 60000; ++i) text += "line " + std::to_string(i * 7919 % 100003) + "\n";
    std::mt19937 noise(3);
    for (size_t i = 0; i < 600000; ++i) member += static_cast<char>(noise());
    r.Add("text.log", text);
    r.Add("data/m.bin", member);
    r.Add("data/n.txt", "small member");
    r.Publish("5", {{"data", "data"}});
    // Each offset cuts the first download that reaches it: two for the gzip
    // file, then one in the (larger) pack beyond the gzip file's end.
    const int64_t gz = static_cast<int64_t>(std::filesystem::file_size(r.file(r.served("text.log"))));
    const int64_t pack = static_cast<int64_t>(std::filesystem::file_size(r.file(r.served("data.pack"))));
    ASSERT_GT(pack, gz + 1000);
    const std::string cuts = std::to_string(gz / 3) + "," + std::to_string(gz * 2 / 3) + "," + std::to_string((gz + pack) / 2);
    ServerLog log;
    FtpServer server(r.root(), "update", "x", {"--drop-at", cuts, "--log", log.path});
    RunAll({server.port()});
    EXPECT_EQ(ReadFile(app.file("text.log")), text);
    EXPECT_EQ(ReadFile(app.file("data/m.bin")), member);
    EXPECT_EQ(ReadFile(app.file("data/n.txt")), "small member");
    EXPECT_TRUE(dialogs.empty()) << ReadFile(app.file("update.log"));
    EXPECT_EQ(log.Count("REST "), 3);
    EXPECT_EQ(Temporaries(app.path(), true), std::vector<std::string>());
}
