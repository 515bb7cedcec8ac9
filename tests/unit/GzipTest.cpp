#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "TestSupport.h"
#include "gzip/Gzip.h"
#include "gzip/GunzipStream.h"
#include "platform/Dialogs.h"

using namespace testing_support;

namespace {

std::string GzipOf(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = data.size();
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Random(size_t n) {
    std::mt19937 rng(n);
    std::string s(n, 0);
    for (auto& c : s) c = static_cast<char>(rng() % 7 == 0 ? rng() : 'a');
    return s;
}

struct GzipTest : ::testing::Test {
    TempDir dir;
    TGzip gz{nullptr};
    std::vector<std::pair<TDialogKind, std::string>> dialogs;
    void SetUp() override {
        SetDialogHook([this](TDialogKind k, const AnsiString& t) { dialogs.emplace_back(k, t); return true; });
        gz.FileSource = dir.appFolder() + "src.gz";
        gz.FileDestination = dir.appFolder() + "out.bin";
    }
    void TearDown() override { SetDialogHook(nullptr); }
};

}  // namespace

TEST_F(GzipTest, DefaultsAreThoseOfTheStoredComponent) {
    TGzip fresh(nullptr);
    EXPECT_FALSE(fresh.DeleteSource);
    EXPECT_EQ(fresh.FileSource, "data.dat");
    EXPECT_EQ(fresh.FileDestination, "data.dat.gz");
    EXPECT_EQ(fresh.CompressionLevel, 6);
    EXPECT_EQ(fresh.CompressionType, Standard);
    EXPECT_TRUE(fresh.WindowOnError);
    EXPECT_EQ(fresh.ProgressStep, 0);
}

TEST_F(GzipTest, RoundTripOfSeveralSizes) {
    for (size_t n : {size_t(0), size_t(1), size_t(16384), size_t(16385), size_t(1) << 20}) {
        std::string data = Random(n);
        WriteFile(dir.file("src.gz"), GzipOf(data));
        EXPECT_EQ(gz.Decompress(), 0) << n;
        EXPECT_TRUE(ReadFile(dir.file("out.bin")) == data) << n;
    }
    // Compression and back.
    WriteFile(dir.file("plain"), Random(100000));
    for (TCompressionType t : {Standard, Filtered, HuffmanOnly}) {
        gz.FileSource = dir.appFolder() + "plain";
        gz.FileDestination = dir.appFolder() + "plain.gz";
        gz.CompressionType = t;
        ASSERT_EQ(gz.Compress(), 0);
        gz.FileSource = dir.appFolder() + "plain.gz";
        gz.FileDestination = dir.appFolder() + "again";
        ASSERT_EQ(gz.Decompress(), 0);
        EXPECT_TRUE(ReadFile(dir.file("again")) == ReadFile(dir.file("plain")));
    }
    EXPECT_TRUE(dialogs.empty());
}

TEST_F(GzipTest, DataWithoutGzipHeaderIsCopiedUnchanged) {
    WriteFile(dir.file("src.gz"), "plain text, not gzip\r\n");
    EXPECT_EQ(gz.Decompress(), 0);
    EXPECT_EQ(ReadFile(dir.file("out.bin")), "plain text, not gzip\r\n");
}

TEST_F(GzipTest, TruncatedOrCorruptStreamIsReportedAndKeepsTheSource) {
    std::string whole = GzipOf(Random(200000));
    WriteFile(dir.file("src.gz"), whole.substr(0, whole.size() / 2));
    gz.DeleteSource = true;
    EXPECT_EQ(gz.Decompress(), TGzip::ResultCorruptSource);
    EXPECT_TRUE(Exists(dir.file("src.gz"))) << "a failed copy deletes nothing";

    // A small stream that zlib reads in one go, cut inside its deflate data.
    std::string small = GzipOf(std::string(50000, 'c'));
    WriteFile(dir.file("src.gz"), small.substr(0, small.size() / 2));
    EXPECT_EQ(gz.Decompress(), TGzip::ResultCorruptSource);

    std::string corrupt = whole;
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt[corrupt.size() / 2 + 1] ^= 0x55;
    WriteFile(dir.file("src.gz"), corrupt);
    EXPECT_NE(gz.Decompress(), 0);
}

TEST_F(GzipTest, MissingSourceAndUncreatableDestination) {
    EXPECT_EQ(gz.Decompress(), 1);
    EXPECT_FALSE(Exists(dir.file("out.bin")));
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].first, TDialogKind::ErrorAbort);
    EXPECT_EQ(dialogs[0].second, "Can't open: " + gz.FileSource);

    WriteFile(dir.file("src.gz"), GzipOf("x"));
    gz.FileDestination = dir.appFolder() + "missing\\out.bin";
    gz.DeleteSource = true;
    EXPECT_EQ(gz.Decompress(), 2);
    EXPECT_EQ(dialogs.back().second, "Can't create: " + gz.FileDestination);
    EXPECT_TRUE(Exists(dir.file("src.gz")));

    gz.WindowOnError = false;
    dialogs.clear();
    EXPECT_EQ(gz.Decompress(), 2);
    EXPECT_TRUE(dialogs.empty()) << "silent with WindowOnError clear";
}

TEST_F(GzipTest, DeleteSourceAfterASuccessfulCopy) {
    WriteFile(dir.file("src.gz"), GzipOf("payload"));
    gz.DeleteSource = true;
    EXPECT_EQ(gz.Decompress(), 0);
    EXPECT_FALSE(Exists(dir.file("src.gz")));
    EXPECT_EQ(ReadFile(dir.file("out.bin")), "payload");
}

TEST_F(GzipTest, ProgressOnlyWithAStep) {
    std::vector<int> seen;
    gz.OnProgress = [&](TObject*) { seen.push_back(gz.ProgressPercent); };
    WriteFile(dir.file("src.gz"), Random(300000));  // not gzip: sizes match 1:1
    EXPECT_EQ(gz.Decompress(), 0);
    EXPECT_TRUE(seen.empty());
    gz.ProgressStep = 10;
    EXPECT_EQ(gz.Decompress(), 0);
    ASSERT_GE(seen.size(), 10u);
    EXPECT_EQ(seen.front(), 0);
    // Each report is at least one step after the last, but for the one at the very end.
    for (size_t i = 1; i + 1 < seen.size(); ++i) EXPECT_GE(seen[i] - seen[i - 1], 10) << i;
    EXPECT_EQ(seen.back(), 100);
}

TEST_F(GzipTest, AFileCutAnywhereIsFoundAndMembersAreReadInTurnLikeGzread) {
    // Cut at every byte of a stream whose data fill whole output blocks.
    const std::string data = std::string(50000, 'c') + Random(3000);
    const std::string whole = GzipOf(data);
    AnsiString why;
    for (size_t cut = 1; cut < whole.size(); ++cut) {
        WriteFile(dir.file("cut.gz"), whole.substr(0, cut));
        ASSERT_FALSE(GzipFileIsWhole(dir.file("cut.gz"), why)) << "cut at " << cut;
    }
    WriteFile(dir.file("cut.gz"), whole);
    EXPECT_TRUE(GzipFileIsWhole(dir.file("cut.gz"), why)) << why;

    // Two members, then bytes that are not a member: read as gzread would.
    WriteFile(dir.file("src.gz"), GzipOf("first ") + GzipOf("second") + "trailing");
    EXPECT_EQ(gz.Decompress(), 0);
    EXPECT_EQ(ReadFile(dir.file("out.bin")), "first second");
    WriteFile(dir.file("plain"), "no magic");
    EXPECT_FALSE(GzipFileIsWhole(dir.file("plain"), why));
    EXPECT_EQ(why, "is not gzip data");
}

// The stream reads downloads as they arrive and files as they are read:
// however the data are split into blocks, members are read in turn, what
// follows a last member is ignored, data without magic pass, cuts are found.
TEST_F(GzipTest, TheStreamReadsTheSameInBlocksOfAnySize) {
    const std::string big = Random(3 << 20);
    struct Case {
        std::string input, output;
        bool whole;
    };
    const std::vector<Case> cases = {{GzipOf("first ") + GzipOf("second") + "trailing", "first second", true},
                                     {GzipOf(big), big, true},
                                     {"no magic at all", "no magic at all", true},
                                     {"x", "x", true},
                                     {"", "", true},
                                     {GzipOf(big).substr(0, 70000), "", false}};
    std::mt19937 split(5);
    for (const Case& c : cases) {
        for (int round = 0; round < 3; ++round) {
            std::string out;
            TGunzipStream stream([&out](const char* p, size_t k) { return out.append(p, k), true; });
            for (size_t at = 0; at < c.input.size();) {
                size_t k = std::min(c.input.size() - at, static_cast<size_t>(1 + split() % (round == 0 ? 3 : 200000)));
                stream.Feed(c.input.data() + at, k);
                at += k;
            }
            EXPECT_EQ(stream.Finish(), c.whole) << c.input.size() << " " << stream.Problem();
            if (c.whole) {
                EXPECT_TRUE(out == c.output) << c.input.size();
            }
        }
    }
}

// Data a SHA-256 checks whole may leave out the members' CRC and length
// checks; a stream cut short is still told, checks or not.
TEST_F(GzipTest, TheStreamSkipsOnlyTheCrcWhenAskedAndAlwaysTellsACut) {
    std::string bad = GzipOf("first ") + GzipOf("second");
    bad[bad.size() - 5] ^= 1;  // the second member's CRC
    for (bool skip : {false, true}) {
        for (const std::string& input : {bad, bad.substr(0, bad.size() - 9)}) {
            std::string out;
            TGunzipStream stream([&out](const char* p, size_t k) { return out.append(p, k), true; });
            if (skip) stream.SkipChecks();
            stream.Feed(input.data(), input.size());
            const bool cut = input.size() < bad.size();
            EXPECT_EQ(stream.Finish(), skip && !cut) << skip << cut << " " << stream.Problem();
            if (skip && !cut) {
                EXPECT_EQ(out, "first second");
            }
        }
    }
}
