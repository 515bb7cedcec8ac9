// The run with a release published --delta: a player on the release before
// fetches the chunks it lacks through the pool, from FTP or web mirrors;
// whatever a mirror gets wrong ends in the full file, installed as ever;
// a fresh player never asks for the delta form at all.
#include <gtest/gtest.h>

#include "DeltaSupport.h"
#include "FtpServer.h"
#include "RunnerSupport.h"
#include "NginxServer.h"
#include "app/UpdateLog.h"
#include "app/UpdatePlan.h"
#include "app/UpdateRunner.h"
#include "crypto/Sha256.h"
#include "publish/Publisher.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Release 1 and release 2 (big.bin changed in a few places, under `name2`
// then; small.txt anew), and a player holding release 1 or nothing.
struct DeltaPlayer {
    TempDir src, r1, r2, app, logs;
    std::string big2, name2;
    TStringList installed, entries;

    explicit DeltaPlayer(bool onRelease1, const std::string& renamed = "big.bin") : name2(renamed) {
        std::string big = Words(3 << 20, 5);
        for (auto [out, version] : {std::pair{&r1, "101"}, std::pair{&r2, "102"}}) {
            fs::remove(src.file("big.bin"));
            WriteFile(src.file(out == &r1 ? "big.bin" : name2), big);
            WriteFile(src.file("small.txt"), std::string("small of ") + version);
            WriteFile(src.file("a.txt"), std::string("first of ") + version);
            TPublishOptions o;
            o.ReleaseDir = src.path();
            o.OutDir = out->path();
            o.Version = version;
            o.CodePage = 65001;
            o.Delta = true;
            if (out == &r2) o.Previous = r1.path();
            Publish(o);
            if (out == &r1 && onRelease1) {
                WriteFile(app.file("big.bin"), big);
                WriteFile(app.file("small.txt"), "small of 101");
                WriteFile(app.file("a.txt"), "first of 101");
            }
            for (int i = 0; i < 3; ++i) big.replace(300000 + i * 900000, 4096, Random(4096, i));
            big.insert(big.size() / 2, Random(20000, 9));
        }
        big2 = ReadFile(src.file(name2));
        std::string record = "KOVRAN\r\n";
        std::istringstream lines(ReadFile(r1.file("update3.dat")));
        std::string line;
        for (std::getline(lines, line); onRelease1 && std::getline(lines, line);) {
            TUpdateEntry e = ParseUpdateEntry(line.substr(0, line.find('\r')));
            record += e.Local + " " + e.Version + "\r\n";
        }
        WriteFile(app.file("update2.dat"), record);
        WriteFile(app.file("update3.dat"), ReadFile(r2.file("update3.dat")));
        UpdateLog::Open(app.appFolder());
        installed.LoadFromFile(app.appFolder() + "update2.dat");
        if (!onRelease1) installed.Add("");  // as the sequence leaves an empty folder's list
        TStringList remote;
        remote.LoadFromFile(app.appFolder() + "update3.dat");
        for (const AnsiString& e : BuildUpdatePlan(remote.Lines(), installed.Lines()).Entries) entries.Add(e);
    }

    void SetUp(TUpdateRunner& run, const std::string& server) {
        run.Servers = {server};
        run.CurrentServerLine = server;
        PlanRunIn(run, app, installed);
    }
    // Every file ends as release 2 has it, recorded, with nothing left over.
    void Run(const std::string& server) {
        TUpdateRunner run;
        SetUp(run, server);
        std::vector<TEntryOutcome> outcomes;
        run.OnEntry = [&](int, TEntryOutcome o) { outcomes.push_back(o); };
        ASSERT_TRUE(run.Run(entries));
        EXPECT_EQ(outcomes, std::vector<TEntryOutcome>(entries.Count(), TEntryOutcome::Installed)) << Log();
        EXPECT_TRUE(ReadFile(app.file(name2)) == big2);
        EXPECT_EQ(ReadFile(app.file("small.txt")), "small of 102");
        EXPECT_NE(ReadFile(app.file("update2.dat")).find(name2 + " 102"), std::string::npos);
        EXPECT_TRUE(Temporaries(app.path(), true).empty());
        EXPECT_EQ(run.RunBytesDone(), run.RunBytesPlanned());  // the window's figures end whole
        planned = run.RunBytesPlanned();
    }
    std::string FtpLine(const FtpServer& s) const { return "S 127.0.0.1 " + std::to_string(s.port()) + " 3000 update"; }
    std::string Log() const { return ReadFile(app.file("update.log")); }
    int64_t ServedBig() const { return static_cast<int64_t>(fs::file_size(r2.file(ServedName(r2.path(), name2)))); }
    int64_t planned = 0;
};

// The bytes an FTP mirror's log says it sent, of files whose names hold `fragment`.
int64_t SentBytes(const std::string& log, const std::string& fragment = "") {
    int64_t n = 0;
    std::istringstream in(ReadFile(log));
    for (std::string kind, name, bytes; in >> kind;) {
        if (kind == "SENT" && in >> name >> bytes && name.find(fragment) != std::string::npos) n += std::stoll(bytes);
        std::getline(in, kind);
    }
    return n;
}

}  // namespace

TEST(DeltaRun, APlayerOnTheReleaseBeforeFetchesOnlyTheChunksItLacksOverFtpAndHttp) {
    {
        DeltaPlayer p(true);
        const std::string log = p.logs.file("ftp");
        FtpServer ftp(p.r2.path(), "update", "x", {"--log", log});
        p.Run(p.FtpLine(ftp));
        const int64_t sent = SentBytes(log) - SentBytes(log, "update3.dat");
        EXPECT_EQ(SentBytes(log, ServedName(p.r2.path(), "big.bin")), 0);
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent * 5, p.ServedBig()) << sent << " of " << p.ServedBig();
        EXPECT_LE(p.planned, sent);  // what the window counts came (a server may send past a range)
        EXPECT_NE(p.Log().find("big.bin: made from its delta form"), std::string::npos) << p.Log();
    }
    if (!NginxServer::Available()) return;
    DeltaPlayer p(true);
    const std::string log = p.logs.file("web");
    NginxServer web(p.r2.path(), {}, "access_log " + log + ";");
    p.Run("W http://127.0.0.1:" + std::to_string(web.port()) + "/ 0 3000 -");
    EXPECT_NE(ReadFile(log).find("\" 206 "), std::string::npos) << "ranges over HTTP";
    EXPECT_EQ(ReadFile(log).find(ServedName(p.r2.path(), "big.bin")), std::string::npos);
    EXPECT_LT(p.planned * 5, p.ServedBig());
}

// A file new to the player, whose chunks lie in a file of its kind beside it.
TEST(DeltaRun, ANewFileIsMadeFromAFileOfItsKindBesideIt) {
    DeltaPlayer p(true, "big2.bin");
    const std::string log = p.logs.file("ftp");
    FtpServer ftp(p.r2.path(), "update", "x", {"--log", log});
    p.Run(p.FtpLine(ftp));
    EXPECT_EQ(SentBytes(log, ServedName(p.r2.path(), "big2.bin")), 0);
    EXPECT_NE(p.Log().find("big2.bin: made from its delta form"), std::string::npos) << p.Log();
}

// Chunk files missing, or served with damaged bytes: the full file, with
// the reason in the log.
TEST(DeltaRun, AMirrorLackingOrDamagingTheChunkFilesGivesTheFullFile) {
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "missing");
        DeltaPlayer p(true);
        for (auto& f : fs::directory_iterator(p.r2.path())) {
            if (f.path().filename().string().rfind("delta-chunks", 0) != 0) continue;
            if (!damaged) fs::remove(f.path());
            else {
                std::string bytes = ReadFile(f.path());
                for (size_t at = 0; at < bytes.size(); at += 997) bytes[at] ^= 0x55;
                WriteFile(f.path(), bytes);
            }
        }
        const std::string log = p.logs.file("ftp");
        FtpServer ftp(p.r2.path(), "update", "x", {"--log", log});
        p.Run(p.FtpLine(ftp));
        EXPECT_EQ(SentBytes(log, ServedName(p.r2.path(), "big.bin")), p.ServedBig());
        EXPECT_NE(p.Log().find("big.bin: fetched in full, not by its delta form: "), std::string::npos) << p.Log();
    }
}

TEST(DeltaRun, AFreshPlayerGetsTheFullFilesAndNeverAsksForTheDeltaForm) {
    DeltaPlayer p(false);
    const std::string log = p.logs.file("ftp");
    FtpServer ftp(p.r2.path(), "update", "x", {"--log", log});
    p.Run(p.FtpLine(ftp));
    EXPECT_EQ(ReadFile(log).find("RETR delta"), std::string::npos);
    EXPECT_EQ(SentBytes(log, ServedName(p.r2.path(), "big.bin")), p.ServedBig());
}

// The window closes after the first entry, while big.bin's delta may be
// anywhere on its way: the old file stays, unrecorded as new, and nothing
// of the delta is left behind.
TEST(DeltaRun, ARunLeftMidwayLeavesTheOldFileAndNoTemporaries) {
    DeltaPlayer p(true);
    FtpServer ftp(p.r2.path());
    TUpdateRunner run;
    p.SetUp(run, p.FtpLine(ftp));
    run.OnEntry = [&](int, TEntryOutcome) { run.Close(); };
    EXPECT_FALSE(run.Run(p.entries));
    EXPECT_NE(ReadFile(p.app.file("big.bin")), p.big2);
    EXPECT_EQ(ReadFile(p.app.file("update2.dat")).find("big.bin 102"), std::string::npos);
    EXPECT_TRUE(Temporaries(p.app.path()).empty());
}

// Ranges of one chunk file: close ones share a request, far ones do not,
// and however many there are a file takes few requests (unless its gaps
// are too large to read through); other files are never joined.
TEST(DeltaRun, RangesOfAChunkFileGoInFewRequests) {
    std::vector<TByteRange> wanted{{"a", 0, 100}, {"a", 100 + (64 << 10), 100}, {"a", 5 << 20, 100}, {"b", 0, 100}};
    std::vector<TRangeSpan> spans = SpansOf(wanted);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].Length, 200 + (64 << 10));
    EXPECT_EQ(spans[0].Last, 1u);
    EXPECT_EQ(spans[2].Remote, "b");
    wanted.clear();
    for (int i = 0; i < 200; ++i) wanted.push_back({"a", int64_t(i) * (200 << 10), 1000});
    EXPECT_LE(SpansOf(wanted).size(), 16u);
    for (auto& r : wanted) r.Offset *= 10;  // 2 MiB gaps: each range alone
    EXPECT_EQ(SpansOf(wanted).size(), 200u);
}
