// The delta form: releases published with --delta bring a file in from an
// older release byte for byte, by what the installed file lacks; whatever
// is wrong on either side ends in the full file's fallback, with the target
// untouched; an updater built to the original format sees full files only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "DeltaSupport.h"
#include "ReferenceReader.h"
#include "publish/Publisher.h"
#include "publish/ReleaseHistory.h"
#include "publish/Verify.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Three releases of big.bin (overwrites and an insertion each time), with
// keep.bin unchanged throughout and a small file that travels whole.
struct DeltaReleases {
    TempDir src, out;
    std::vector<std::string> big;  // big.bin of each release
    DeltaReleases() {
        std::string bytes = Words(1500 << 10, 1);
        WriteFile(src.file("keep.bin"), Words(400 << 10, 2));
        WriteFile(src.file("small.txt"), "small");
        for (int k = 1; k <= 3; ++k) {
            if (k > 1) {
                for (int i = 0; i < 3; ++i) bytes.replace(k * 100000 + i * 400000, 4096, Random(4096, k * 10 + i));
                bytes.insert(bytes.size() / 2, Random(20000, k));
            }
            big.push_back(bytes);
            WriteFile(src.file("big.bin"), bytes);
            TPublishOptions o;
            o.ReleaseDir = src.path();
            o.OutDir = Dir(k);
            o.Version = std::to_string(100 + k);
            o.CodePage = 65001;
            o.PlainGlobs = {"*.txt"};
            o.Delta = true;
            if (k > 1) o.Previous = Dir(k - 1);
            Publish(o);
        }
    }
    std::string Dir(int k) const { return out.file("r" + std::to_string(k)); }
    std::string Manifest(int k) const {
        const std::string list = ReadFile(Dir(k) + "/update3.dat");
        TDeltaManifestFile named;
        EXPECT_TRUE(DeclaredDeltaManifest(list.substr(0, list.find('\r')), named));
        return ReadFile(Dir(k) + "/" + std::string(named.Name));
    }
};

// A player's folder holding `bytes` as big.bin.
struct PlayerFolder {
    TempDir app;
    explicit PlayerFolder(const std::string& bytes) { WriteFile(app.file("big.bin"), bytes); }
    std::string Target() const { return app.file("big.bin"); }
    int Temporaries() const {
        int n = 0;
        for (auto& e : fs::directory_iterator(app.path())) n += IsTemporaryName(e.path().filename().string());
        return n;
    }
};

int64_t ServedSize(const std::string& pub, const std::string& local) {
    for (const std::string& line : ReferenceReader::Lines(ReadFile(pub + "/update3.dat")))
        if (ReferenceReader::Field(3, line) == local) return std::stoll(ReferenceReader::Field(5, line));
    return -1;
}

}  // namespace

TEST(DeltaTest, OlderReleasesAssembleByteExactAndTheOriginalFormatSeesFullFilesOnly) {
    DeltaReleases r;
    // A player on each earlier release, and one whose file is gone.
    for (int from : {1, 2}) {
        PlayerFolder player(r.big[from - 1]);
        DeltaRun run = RunDelta(r.Dir(3), "big.bin", player.Target());
        ASSERT_EQ(run.end, TDeltaStep::Done) << run.problem;
        EXPECT_EQ(ReadFile(player.Target()), r.big[2]);
        EXPECT_LT(run.fetched, ServedSize(r.Dir(3), "big.bin") / 2) << "from release " << from;
        EXPECT_EQ(player.Temporaries(), 0);
    }
    // Without the file, every chunk is fetched; more than the full file
    // (chunks compress apart) is not worth it when the caller says so.
    PlayerFolder fresh("");
    fs::remove(fresh.Target());
    const int64_t full = ServedSize(r.Dir(3), "big.bin");
    DeltaRun capped = RunDelta(r.Dir(3), "big.bin", fresh.Target(), {}, [full](TDeltaStep, TDeltaInstall& i) {
        i.FallBackAbove(full);
        return true;
    });
    EXPECT_EQ(capped.end, TDeltaStep::FallBack);
    EXPECT_NE(capped.problem.find("full file is smaller"), std::string::npos) << capped.problem;
    EXPECT_FALSE(fs::exists(fresh.Target()));
    EXPECT_EQ(RunDelta(r.Dir(3), "big.bin", fresh.Target()).end, TDeltaStep::Done);
    EXPECT_EQ(ReadFile(fresh.Target()), r.big[2]);
    // The unchanged file keeps its index; the small one has none; every
    // file the manifest names (chunk files of release 1 too) is published
    // and kept in the history.
    const std::string m2 = r.Manifest(2), m3 = r.Manifest(3);
    auto indexLine = [](const std::string& manifest, const std::string& local) {
        for (const std::string& line : ReferenceReader::Lines(manifest))
            if (ReferenceReader::Field(2, line).rfind(local + ".", 0) == 0) return line;
        return std::string();
    };
    EXPECT_NE(indexLine(m3, "keep.bin"), "");
    EXPECT_EQ(indexLine(m3, "keep.bin"), indexLine(m2, "keep.bin"));
    EXPECT_EQ(indexLine(m3, "small.txt"), "");
    for (const AnsiString& name : ServedNamesIn(r.Dir(3), ReadFile(r.Dir(3) + "/update3.dat")))
        EXPECT_TRUE(fs::exists(r.Dir(3) + "/" + std::string(name))) << name;
    EXPECT_TRUE(VerifyRelease(r.Dir(3), "").Ok());
    // An updater built to the original format installs the full files and
    // then finds nothing to do; no line it reads names the delta form.
    TempDir theirs;
    ReferenceReader reference;
    reference.app = theirs.path();
    reference.pub = r.Dir(3);
    reference.Run(reference.Plan());
    EXPECT_EQ(ReadFile(theirs.file("big.bin")), r.big[2]);
    EXPECT_EQ(ReadFile(theirs.file("keep.bin")), ReadFile(r.src.file("keep.bin")));
    EXPECT_TRUE(reference.Plan().empty());
    for (const std::string& line : ReferenceReader::Lines(ReadFile(r.Dir(3) + "/update3.dat")))
        EXPECT_EQ(ReferenceReader::Field(2, line).find("delta"), std::string::npos) << line;
    // The dry run tells what a player on each earlier release fetches.
    TPublishOptions o;
    o.ReleaseDir = r.src.path();
    o.OutDir = r.out.file("r4");
    o.Previous = r.Dir(3);
    o.Version = "104";
    o.CodePage = 65001;
    o.Delta = o.DryRun = true;
    WriteFile(r.src.file("big.bin"), r.big[2] + "more");
    const auto fetches = Publish(o).PlayerFetches;
    ASSERT_EQ(fetches.size(), 3u);
    EXPECT_EQ(fetches[0].Version, "103");
    EXPECT_GT(fetches[0].Delta, 0);
    EXPECT_LT(fetches[0].Delta * 4, fetches[0].Full);
    EXPECT_LT(fetches[0].Delta, fetches[2].Delta);
}

TEST(DeltaTest, DamageOnEitherSideFallsBackOrFetchesMoreAndNeverTouchesTheTarget) {
    DeltaReleases r;
    const std::string pub = r.Dir(3);
    DeltaRun clean;
    {
        PlayerFolder player(r.big[1]);
        clean = RunDelta(pub, "big.bin", player.Target());
        ASSERT_EQ(clean.end, TDeltaStep::Done);
    }
    // An installed file cut short or damaged: what it still holds is used.
    std::string cut = r.big[1].substr(0, r.big[1].size() / 2), damaged = r.big[1];
    damaged.replace(300000, 50000, Random(50000, 9));
    for (const std::string& installed : {cut, damaged}) {
        PlayerFolder player(installed);
        DeltaRun run = RunDelta(pub, "big.bin", player.Target());
        ASSERT_EQ(run.end, TDeltaStep::Done) << run.problem;
        EXPECT_EQ(ReadFile(player.Target()), r.big[2]);
        EXPECT_GT(run.fetched, clean.fetched);
    }
    // A chunk or record served wrong, ranges cut short, an installed file
    // that changes between the scan and the assembly: the full file then.
    struct Case {
        const char* name;
        RangeTamper tamper;
        StepHook hook;
        const char* problem;
    };
    std::string changeAt;
    const std::vector<Case> cases = {
        {"wrong byte", [](const TByteRange&, std::string& b) { b[b.size() / 2] ^= 1; }, {}, "served wrong"},
        {"short range", [](const TByteRange&, std::string& b) { b.pop_back(); }, {}, "did not all arrive"},
        {"changed while read", {},
         [&changeAt](TDeltaStep step, TDeltaInstall&) {
             if (step == TDeltaStep::Fetch && !changeAt.empty()) {  // once
                 std::string bytes = ReadFile(changeAt);
                 bytes[bytes.size() - 1000] ^= 1;
                 WriteFile(changeAt, bytes);
                 changeAt.clear();
             }
             return true;
         },
         "changed while it was read"}};
    for (const Case& c : cases) {
        PlayerFolder player(r.big[1]);
        changeAt = player.Target();
        const std::string before = ReadFile(player.Target());
        DeltaRun run = RunDelta(pub, "big.bin", player.Target(), c.tamper, c.hook);
        EXPECT_EQ(run.end, TDeltaStep::FallBack) << c.name;
        EXPECT_NE(run.problem.find(c.problem), std::string::npos) << c.name << ": " << run.problem;
        if (!c.hook) EXPECT_EQ(ReadFile(player.Target()), before) << c.name;
        EXPECT_EQ(player.Temporaries(), 0) << c.name;
    }
    // An index that is not the one its manifest names, and one cut short
    // anywhere: refused before anything is read or written.
    const std::string list = ReadFile(pub + "/update3.dat");
    TDeltaManifest manifest;
    AnsiString problem;
    ASSERT_TRUE(DecodeDeltaManifest(r.Manifest(3), manifest, problem));
    const std::string remote = ReferenceReader::Field(2, ReferenceReader::Lines(list)[1]);
    const TDeltaManifestFile& named = manifest.Indexes.at(remote);
    const std::string index = ReadFile(pub + "/" + std::string(named.Name));
    std::string tampered = index;
    tampered[40] ^= 1;
    PlayerFolder player(r.big[1]);
    TDeltaInstall wrong(player.Target(), tampered, named, ReferenceReader::Field(8, ReferenceReader::Lines(list)[1]));
    EXPECT_EQ(wrong.Step(), TDeltaStep::FallBack);
    EXPECT_NE(std::string(wrong.Problem()).find("not the one the delta manifest names"), std::string::npos);
    TDeltaIndex decoded;
    for (size_t n = 0; n < index.size(); ++n)
        EXPECT_FALSE(DecodeDeltaIndex(index.substr(0, n), decoded, problem)) << n;
    EXPECT_TRUE(DecodeDeltaIndex(index, decoded, problem)) << problem;
    // verify tells a published folder whose delta form is damaged.
    WriteFile(pub + "/" + std::string(named.Name), tampered);
    EXPECT_FALSE(VerifyRelease(pub, "").Ok());
}

TEST(DeltaTest, AKillBetweenStagesLeavesTheTargetAndTemporariesThatTheNextStartRemoves) {
    DeltaReleases r;
    for (TDeltaStep killAt : {TDeltaStep::Fetch, TDeltaStep::Done}) {
        PlayerFolder player(r.big[1]);
        const pid_t child = fork();
        if (child == 0) {
            RunDelta(r.Dir(3), "big.bin", player.Target(), {}, [killAt](TDeltaStep step, TDeltaInstall&) {
                if (step == killAt) raise(SIGKILL);
                return true;
            });
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(ReadFile(player.Target()), r.big[1]);
        EXPECT_GE(player.Temporaries(), 1);
        RemoveLeftoverTemporaries(player.app.appFolder());
        EXPECT_EQ(player.Temporaries(), 0);
        EXPECT_EQ(RunDelta(r.Dir(3), "big.bin", player.Target()).end, TDeltaStep::Done);
        EXPECT_EQ(ReadFile(player.Target()), r.big[2]);
    }
}
