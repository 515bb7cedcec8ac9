// Runs that fetch over several mirrors and sessions at once, with the real
// windows and real servers: the installed tree and update2.dat are those of
// a run that fetched one file after another, whatever the mirrors do.
#include "UpdaterFixture.h"
#include "VsftpdServer.h"

#include <sys/resource.h>

#include <sstream>

#include "app/TransferPool.h"
#include "app/UpdateRun.h"
#include "crypto/Minisign.h"
#include "release/UpdateEntry.h"

using namespace testing_support;

namespace {

// 40 small files, a 20 MiB plain file (fetched in segments), a text file
// sent as gzip and a pack.
struct Release : TestRelease {
    std::string big = Random(20 << 20, 7);
    Release() {
        parallel = true;
        for (int i = 0; i < 40; ++i) Add("small/s" + std::to_string(i) + ".txt", Random(1000 + i, i));
        Add("big.bin", big);
        std::string text;
        for (int i = 0; i < 40000; ++i) text += "line " + std::to_string(i) + " of the text\n";
        Add("text.log", text);
        Add("data/a.bin", Random(3000, 99));
        Add("data/b.bin", Random(4000, 98));
        Publish("9", {{"data", "data"}}, {"*.txt", "*.bin"});
    }
    // update2.dat as a run that installed every entry in list order writes it.
    std::string Installed() const {
        std::istringstream lines(ReadFile(file("update3.dat")));
        std::string line, out = "KOVRAN\r\n\r\n";  // a list of no entries gets its empty line 1
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            TUpdateEntry e = ParseUpdateEntry(line);
            out += e.Local + " " + e.Version + "\r\n";
        }
        return out;
    }
};

struct ParallelFixture : UpdaterFixture {
    Release release;
    void Run(const std::vector<int>& ports, const std::string& user = "update") {
        ServerList(ports, 3000, user);
        WriteFile(app.file("isp1.dat"), "0\r\n");
        WriteFile(app.file("update2.dat"), "KOVRAN\r\n");
        Start("en_US.UTF-8");
        RunSequence();
        ASSERT_TRUE(Form1->Core->UpdateList);
        Form1->Button1Click(nullptr);
    }
    void ExpectTheWholeRelease() {
        EXPECT_EQ(ReadFile(app.file("update2.dat")), release.Installed());
        // The label ends with the whole run's bytes, not the last file's.
        if (Form1->Core->Runner->RunBytesPlanned() > 0) {
            int64_t listed = 0;
            std::istringstream lines(ReadFile(release.file("update3.dat")));
            std::string line;
            for (std::getline(lines, line); std::getline(lines, line);)
                listed += ParseUpdateEntry(line.substr(0, line.find('\r'))).Size;
            EXPECT_EQ(Form1->Label4->Caption(), std::to_string(listed) + " of " + std::to_string(listed) + " ");
        }
        for (const auto& f : std::filesystem::recursive_directory_iterator(release.src.path())) {
            if (!f.is_regular_file()) continue;
            const std::string rel = std::filesystem::relative(f.path(), release.src.path());
            EXPECT_EQ(ReadFile(app.file(rel)), ReadFile(f.path())) << rel;
        }
        EXPECT_TRUE(Temporaries(app.path(), true).empty());
        for (auto& d : dialogs) EXPECT_NE(d.first, TDialogKind::Message) << d.second;
        EXPECT_EQ(Form1->ExitCode, 0);
    }
    int Fetches(const ServerLog& log) const {  // RETR of release files
        int n = 0;
        for (auto& l : log.Lines()) n += l.rfind("RETR ", 0) == 0 && l.find("update3.dat") == std::string::npos;
        return n;
    }
};

}  // namespace

TEST_F(ParallelFixture, EveryMirrorWithThePlansListServesAndTheOtherListIsNeverUsed) {
    TestRelease other;
    other.parallel = true;
    other.Add("big.bin", "another release");
    other.Publish("8", {}, {"*.bin"});
    ServerLog a, b, c;
    FtpServer first(release.root(), "update", "x", {"--log", a.path}),
        second(release.root(), "update", "x", {"--log", b.path}),
        stale(other.root(), "update", "x", {"--log", c.path});
    Run({first.port(), second.port(), stale.port()});
    ExpectTheWholeRelease();
    EXPECT_GT(Fetches(a), 0);
    EXPECT_GT(Fetches(b), 0);
    EXPECT_EQ(Fetches(c), 0);
    // The big file came in segments, from both mirrors.
    EXPECT_GT(a.Count("REST ") + b.Count("REST "), 2);
    EXPECT_NE(ReadFile(app.file("update.log")).find("left for the rest of the run: it serves another update3.dat"),
              std::string::npos);
}

// The run takes a segmented entry's bytes as they come; when every mirror
// refuses it, it fails alone and the rest installs.
TEST_F(ParallelFixture, ASegmentedEntryNoMirrorServesFailsAloneAndTheRestInstalls) {
    const std::string big = release.served("big.bin");
    FtpServer a(release.root(), "update", "x", {"--refuse", big}), b(release.root(), "update", "x", {"--refuse", big});
    Run({a.port(), b.port()});
    EXPECT_FALSE(Exists(app.file("big.bin")));
    EXPECT_EQ(ReadFile(app.file("small/s39.txt")), ReadFile(release.src.file("small/s39.txt")));
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitFailedEntries);
    EXPECT_TRUE(Temporaries(app.path()).empty());
    EXPECT_NE(ReadFile(app.file("update.log")).find("big.bin: not installed: no try brought it"),
              std::string::npos);
}

// A large gzip entry comes in segments too, and is inflated whole.
TEST_F(ParallelFixture, ALargeGzipEntryComesInSegmentsFromEveryMirror) {
    // Six bits a byte: a quarter smaller as gzip, still past the segments' threshold.
    std::string big = Random(12 << 20, 5);
    for (char& c : big) c = static_cast<char>('0' + (c & 63));
    release.Add("big.dat", big);
    release.Publish("9", {{"data", "data"}}, {"*.txt", "*.bin"});
    ServerLog a, b;
    FtpServer first(release.root(), "update", "x", {"--log", a.path}),
        second(release.root(), "update", "x", {"--log", b.path});
    Run({first.port(), second.port()});
    ExpectTheWholeRelease();
    const std::string gz = release.served("big.dat");
    ASSERT_EQ(gz.substr(gz.size() - 3), ".gz");
    for (const ServerLog* log : {&a, &b}) {
        int ranges = 0;
        for (auto& l : log->Lines()) ranges += l.rfind("SENT " + gz, 0) == 0;
        EXPECT_GT(ranges, 0) << gz;
    }
}

// Release day: one mirror crawls. Once the others have nothing left, they
// fetch the rest of its pieces instead of waiting for them.
TEST_F(ParallelFixture, AFasterMirrorTakesOverTheRestOfASlowOnesPiece) {
    FtpServer a(release.root(), "update", "x", {"20000000", "--threaded"}),
        b(release.root(), "update", "x", {"20000000", "--threaded"}),
        slow(release.root(), "update", "x", {"1000000", "--threaded"});
    Run({a.port(), b.port(), slow.port()});
    ExpectTheWholeRelease();
    EXPECT_NE(ReadFile(app.file("update.log")).find("the rest of a slow fetch from server Server2"), std::string::npos);
}

// The player leaves while the pool fetches: the window saves what is in,
// and the run, waiting further up the stack, stops without touching the
// lists the window let go (the sanitizer build would see it).
TEST_F(ParallelFixture, LeavingWhileThePoolFetchesStopsTheRunAndRecordsOnlyWhatIsIn) {
    FtpServer a(release.root(), "update", "x", {"5000000", "--threaded"}),
        b(release.root(), "update", "x", {"5000000", "--threaded"});
    confirmAnswer = true;
    std::function<void()> poke = [&] {
        const TRunFetches* f = Form1->Core->Runner ? Form1->Core->Runner->Fetches() : nullptr;
        if (f && f->Pool().BytesDone() > (6 << 20)) Form1->Button4Click(nullptr);
        else PostTask(poke);
    };
    PostTask(poke);
    try {
        Run({a.port(), b.port()});
    } catch (const HaltSignal&) {
    }
    ASSERT_TRUE(Form1->AbortFlag);
    std::istringstream lines(ReadFile(app.file("update2.dat")));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "KOVRAN\r");
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.empty() || name == "\r") continue;
        std::string path = name;
        std::replace(path.begin(), path.end(), '\\', '/');
        EXPECT_EQ(ReadFile(app.file(path)), ReadFile(release.src.file(path))) << name;
    }
    EXPECT_TRUE(Temporaries(app.path()).empty());
}

TEST_F(ParallelFixture, AMirrorThatDiesMidRunAndOneThatLacksAFileLeaveTheRunWhole) {
    // A copy of the release without one of its files: that mirror refuses it.
    TempDir partial;
    std::filesystem::copy(release.root(), partial.file("pub"), std::filesystem::copy_options::recursive);
    std::filesystem::remove(partial.file("pub/" + release.served("big.bin")));
    FtpServer whole(release.root()), lacking(partial.file("pub")),
        dying(release.root(), "update", "x", {"--die-after", std::to_string(1 << 20)});
    Run({dying.port(), lacking.port(), whole.port()});
    ExpectTheWholeRelease();
    const std::string log = ReadFile(app.file("update.log"));
    EXPECT_NE(log.find("big.bin: server Server1 (127.0.0.1:" + std::to_string(lacking.port()) + ") refused it: 550"), std::string::npos) << log;
    EXPECT_NE(log.find("server Server0 (127.0.0.1:" + std::to_string(dying.port()) + "): left for the rest of the run"),
              std::string::npos) << log;
}

TEST_F(ParallelFixture, AServerThatTakesOneSessionPerUserIsAskedForNoSecond) {
    ServerLog log;
    FtpServer only(release.root(), "update", "x", {"--max-per-ip", "1", "--log", log.path});
    Run({only.port()});
    ExpectTheWholeRelease();
    EXPECT_NE(ReadFile(app.file("update.log")).find("takes 1 sessions"), std::string::npos);
}

// A file the only server refuses fails alone on a server that allows one
// session: that refusal is no reason to leave the server, whose later large
// entry still comes.
TEST_F(ParallelFixture, AFileThePoolGaveUpOnCostsNoLaterEntryOnAOneSessionServer) {
    release.Add("zz.bin", Random(9 << 20, 3));
    release.Publish("9", {{"data", "data"}}, {"*.txt", "*.bin"});
    const std::string broken = release.served("small\\s3.txt");
    ASSERT_FALSE(broken.empty());
    FtpServer only(release.root(), "update", "x", {"--max-per-ip", "1", "--refuse", broken});
    Run({only.port()});
    EXPECT_EQ(ReadFile(app.file("zz.bin")), ReadFile(release.src.file("zz.bin")));
    EXPECT_FALSE(Exists(app.file("small/s3.txt")));
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitFailedEntries);
}

// The only mirror dies early: the entries handed to the pool after it left
// (those past a large one) fail like the others, and
// the run ends with its failure box instead of waiting for them.
TEST_F(ParallelFixture, EntriesAfterTheLastMirrorLeftFailInsteadOfWaiting) {
    TestRelease r;
    r.parallel = true;
    r.Add("a.bin", Random(64 << 10, 1));
    r.Add("m.bin", Random(9 << 20, 2));
    for (int i = 0; i < 3; ++i) r.Add("n" + std::to_string(i) + ".txt", Random(2000, 3 + i));
    r.Publish("9", {}, {"*.bin", "*.txt"});
    FtpServer dying(r.root(), "update", "x", {"--die-after", "32768"});
    Run({dying.port()});
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitFailedEntries);
    EXPECT_FALSE(Exists(app.file("n2.txt")));
}

TEST_F(ParallelFixture, TheListsConnectionsKeyIsHonoured) {
    TPublishOptions o = release.Options("9");
    o.Packs = {{"data", "data"}};
    o.PlainGlobs = {"*.txt", "*.bin"};
    o.Connections = 1;  // all mirrors, one session each
    ::Publish(o);
    FtpServer only(release.root(), "update", "x", {"--max-per-ip", "1"});
    Run({only.port()});
    ExpectTheWholeRelease();
    EXPECT_EQ(ReadFile(app.file("update.log")).find("takes 1 sessions"), std::string::npos);
}

// A list written to the original format (five fields, no header keys) is
// fetched as the updaters it was written for fetch it: over the plan's one
// session, from one server.
TEST_F(ParallelFixture, AListWithoutHeaderKeysIsFetchedOverOneSessionFromOneServer) {
    std::istringstream lines(ReadFile(release.file("update3.dat")));
    std::string line, list = "KOVRAN\r\n";
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string f[5];
        for (std::string& field : f) fields >> field;
        list += f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + "\r\n";
    }
    WriteFile(release.file("update3.dat"), list);
    ServerLog log;
    FtpServer a(release.root(), "update", "x", {"--log", log.path}), b(release.root(), "update", "x", {"--log", log.path});
    Run({a.port(), b.port()});
    ExpectTheWholeRelease();
    EXPECT_EQ(log.Count("USER "), 1) << ReadFile(app.file("update.log"));
}

// A run killed while the big file came in segments left some of them
// recorded: the next run fetches only the others.
TEST_F(ParallelFixture, ASegmentedDownloadGoesOnWithTheSegmentsNotRecorded) {
    std::istringstream lines(ReadFile(release.file("update3.dat")));
    std::string line;
    TUpdateEntry big;
    while (std::getline(lines, line))
        if (line.find("big.bin") != std::string::npos) big = ParseUpdateEntry(line.substr(0, line.find('\r')));
    const std::string partial = app.file("big.bin" + std::string(kPartialMarker) + PartialIdOf(big));
    std::string kept = release.big;
    std::fill(kept.begin() + (4 << 20), kept.end(), 'x');  // only the first 4 MiB are good
    std::fill(kept.begin() + (12 << 20), kept.begin() + (13 << 20), '\0');
    std::copy(release.big.begin() + (12 << 20), release.big.begin() + (13 << 20), kept.begin() + (12 << 20));
    WriteFile(TTransferPool::SegmentPathOf(partial), kept);
    WriteFile(TTransferPool::RangesPathOf(partial), "0 4194304\n12582912 1048576\n5000000 7");  // a cut last line
    ServerLog log;
    FtpServer server(release.root(), "update", "x", {"--log", log.path}),
        other(release.root(), "update", "x", {"--log", log.path});
    Run({server.port(), other.port()});
    ExpectTheWholeRelease();
    for (auto& l : log.Lines()) {
        if (l.rfind("REST ", 0) != 0) continue;
        const long long at = std::stoll(l.substr(5));
        EXPECT_FALSE(at < (4 << 20) || (at >= (12 << 20) && at < (13 << 20))) << l;
    }
}

// Signed: the sessions check the signature too; a mirror whose signature is
// not the plan's serves no file.
TEST_F(ParallelFixture, ASignedReleaseComesOverTheMirrorsWhoseSignatureIsThePlans) {
    TSecretKey key;
    GenerateKey(key);
    TempDir secrets, odd;
    WriteFile(secrets.file("k.key"), SecretKeyText(key));
    TPublishOptions o = release.Options("9");
    o.Packs = {{"data", "data"}};
    o.PlainGlobs = {"*.txt", "*.bin"};
    o.SecretKey = secrets.file("k.key");
    ::Publish(o);
    WriteFile(app.file("update.pub"), PublicKeyText(key));
    std::filesystem::copy(release.root(), odd.file("pub"), std::filesystem::copy_options::recursive);
    WriteFile(odd.file("pub/update3.dat.minisig"), "caught between two renames\n");
    ServerLog c;
    FtpServer a(release.root()), b(release.root()), other(odd.file("pub"), "update", "x", {"--log", c.path});
    Run({a.port(), b.port(), other.port()});
    ExpectTheWholeRelease();
    EXPECT_EQ(Fetches(c), 0);
    EXPECT_NE(ReadFile(app.file("update.log")).find("serves another update3.dat signature"),
              std::string::npos);
}

// A player's session may allow 1,024 descriptors; a release may change more
// files: the pool holds one per fetch in flight, not one per entry.
TEST_F(ParallelFixture, ManyEntriesNeedNoDescriptorEach) {
    const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    rlimit before;
    getrlimit(RLIMIT_NOFILE, &before);
    rlimit tight = before;
    tight.rlim_cur = open + 30;  // fewer than the release's 44 entries
    FtpServer a(release.root()), b(release.root());
    setrlimit(RLIMIT_NOFILE, &tight);
    Run({a.port(), b.port()});
    setrlimit(RLIMIT_NOFILE, &before);
    ExpectTheWholeRelease();
    EXPECT_EQ(ReadFile(app.file("update.log")).find("not fetched ahead"), std::string::npos);
}

// vsftpd answers an abort after a range in its own words (426, then 226).
TEST_F(ParallelFixture, SegmentsEndCleanlyOnVsftpd) {
    if (!VsftpdServer::Available()) GTEST_SKIP() << "SKIPPED: vsftpd is not installed";
    VsftpdServer a(release.root()), b(release.root());
    Run({a.port(), b.port()}, "anonymous");
    ExpectTheWholeRelease();
    EXPECT_EQ(ReadFile(app.file("update.log")).find(": try "), std::string::npos);
}

// Mirrors that will not do passive mode (refused, or ports that refuse the
// connection) serve through PORT in every session, several per mirror.
TEST_F(ParallelFixture, MirrorsWithoutPassiveModeServeTheWholeReleaseThroughPort) {
    ServerLog a, b;
    FtpServer refusing(release.root(), "anonymous", "x", {"--no-pasv", "--log", a.path});
    FtpServer unreachable(release.root(), "anonymous", "x", {"--pasv-unreachable", "--log", b.path});
    std::unique_ptr<VsftpdServer> noPasv;
    std::vector<int> ports{refusing.port(), unreachable.port()};
    if (VsftpdServer::Available()) {
        noPasv = std::make_unique<VsftpdServer>(release.root(), false);
        ports.push_back(noPasv->port());
    }
    Run(ports, "anonymous");
    ExpectTheWholeRelease();
    const std::string log = ReadFile(app.file("update.log"));
    EXPECT_EQ(log.find("left for the rest of the run"), std::string::npos) << log;
    EXPECT_GT(a.Count("PORT ") + b.Count("PORT "), 4) << "the pool's sessions too, through PORT";
}

// Release day: a push renames a newer list in between the plan and Start.
// The plan's server still has the planned files, and the run fetches them
// as a run on the plan's own session would.
TEST_F(ParallelFixture, AListPushedBetweenThePlanAndStartLeavesTheRunWhole) {
    FtpServer server(release.root());
    ServerList({server.port()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\n");
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(Form1->Core->UpdateList);
    WriteFile(release.file("update3.dat"), "skiff-release 10 codepage=1252\r\nO new.bin new.bin 10 1\r\n");
    Form1->Button1Click(nullptr);
    WriteFile(release.file("update3.dat"), ReadFile(app.file("update3.dat")));  // for the expectations
    ExpectTheWholeRelease();
}
