#include <gtest/gtest.h>

#include "TestSupport.h"
#include "release/PackArchive.h"

using namespace testing_support;

namespace {

// An archive laid out by hand: data, then the 8989-byte directory block.
struct RawPack {
    std::string data;
    std::string block = std::string(8989, '\0');
    void put(int at, int32_t v) {
        for (int i = 0; i < 4; ++i) block[at + i] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
    }
    void count(int32_t n) { put(0, n); }
    void member(int i, int32_t start, int32_t end, const std::string& name, int nameLength = -1) {
        int rec = i * kPackRecordSize;
        put(rec, start);
        put(rec + 4, end);
        block[rec + 8] = static_cast<char>(nameLength < 0 ? name.size() : nameLength);
        block.replace(rec + 9, name.size(), name);
    }
    std::string bytes() const { return data + block; }
};

size_t FileCount(const std::string& dir) {
    size_t n = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir)) n += e.is_regular_file();
    return n;
}

struct PackTest : ::testing::Test {
    TempDir app;
    std::string archive() { return app.appFolder() + "pack.bin"; }
    void write(const RawPack& p) { WriteFile(app.file("pack.bin"), p.bytes()); }
};

}  // namespace

TEST_F(PackTest, WriterAndExtractionRoundTripWithFolders) {
    TPackWriter w;
    w.AddBuffer("data\\maps\\a.bin", "map data");
    w.AddBuffer("empty.txt", "");
    WriteFile(app.file("src.txt"), "from a file");
    w.AddFile("copy.txt", app.appFolder() + "src.txt");
    w.Write(archive());
    EXPECT_EQ(ReadFile(app.file("pack.bin")).size(), 8u + 11 + 8989);
    ExtractPackInto(archive(), app.appFolder());
    EXPECT_EQ(ReadFile(app.file("data/maps/a.bin")), "map data");
    EXPECT_TRUE(Exists(app.file("empty.txt")));
    EXPECT_EQ(ReadFile(app.file("empty.txt")), "");
    EXPECT_EQ(ReadFile(app.file("copy.txt")), "from a file");
    EXPECT_TRUE(Exists(app.file("pack.bin"))) << "the caller deletes the archive";
}

TEST_F(PackTest, CountZeroOrABareBlockExtractsNothing) {
    RawPack p;
    write(p);
    EXPECT_EQ(ReadFile(app.file("pack.bin")).size(), 8989u);
    ExtractPackInto(archive(), app.appFolder());
    EXPECT_EQ(FileCount(app.path()), 1u);
    p.count(-3);
    write(p);
    ExtractPackInto(archive(), app.appFolder());
    EXPECT_EQ(FileCount(app.path()), 1u);
}

TEST_F(PackTest, LaterSameNameWinsAndRangesMayOverlap) {
    RawPack p;
    p.data = "abcdefgh";
    p.count(3);
    p.member(1, 0, 4, "x.txt");
    p.member(2, 2, 6, "x.txt");
    p.member(3, 1, 8, "y.txt");
    write(p);
    ExtractPackInto(archive(), app.appFolder());
    EXPECT_EQ(ReadFile(app.file("x.txt")), "cdef");
    EXPECT_EQ(ReadFile(app.file("y.txt")), "bcdefgh");
}

TEST_F(PackTest, DamagedArchivesWriteNothing) {
    struct Case {
        const char* what;
        std::function<void(RawPack&)> damage;
    };
    std::vector<Case> cases = {
        {"count above 100", [](RawPack& p) { p.count(101); }},
        {"name length above 80", [](RawPack& p) { p.member(2, 0, 1, "b", 81); }},
        {"negative length", [](RawPack& p) { p.member(2, 3, 1, "b"); }},
        {"negative start", [](RawPack& p) { p.member(2, -1, 1, "b"); }},
        {"end past the archive", [](RawPack& p) { p.member(2, 0, 100000, "b"); }},
    };
    for (auto& c : cases) {
        RawPack p;
        p.data = "abcd";
        p.count(2);
        p.member(1, 0, 2, "first.txt");
        p.member(2, 0, 2, "b");
        c.damage(p);
        write(p);
        EXPECT_THROW(ExtractPackInto(archive(), app.appFolder()), EInOutError) << c.what;
        EXPECT_FALSE(Exists(app.file("first.txt"))) << c.what << ": nothing before the check";
    }
    WriteFile(app.file("pack.bin"), std::string(100, 'x'));
    EXPECT_THROW(ExtractPackInto(archive(), app.appFolder()), EInOutError) << "shorter than the block";
    EXPECT_THROW(ExtractPackInto(app.appFolder() + "none.bin", app.appFolder()), EInOutError);
}

TEST_F(PackTest, NamesThatWouldLeaveTheFolderAreSkipped) {
    TempDir outside;
    std::string base = app.appFolder() + "client\\";
    std::filesystem::create_directories(app.file("client"));
    TPackWriter w;
    w.AddBuffer("..\\escaped.txt", "bad");
    w.AddBuffer("sub\\..\\..\\escaped2.txt", "bad");
    w.AddBuffer("\\tmp\\abs.txt", "bad");
    w.AddBuffer("/tmp/abs2.txt", "bad");
    w.AddBuffer("C:\\drive.txt", "bad");
    w.AddBuffer("good.txt", "good");
    w.Write(archive());
    ExtractPackInto(archive(), base);
    EXPECT_EQ(ReadFile(app.file("client/good.txt")), "good");
    EXPECT_FALSE(Exists(app.file("escaped.txt")));
    EXPECT_FALSE(Exists(app.file("escaped2.txt")));
    EXPECT_FALSE(Exists("/tmp/abs.txt"));
    EXPECT_EQ(FileCount(app.path()), 2u) << "only the archive and good.txt";
}

TEST_F(PackTest, MakeFileFoldersCreatesEveryLevel) {
    std::string target = app.appFolder() + "a\\b\\c\\file.bin";
    EXPECT_TRUE(MakeFileFolders(target));
    EXPECT_TRUE(std::filesystem::is_directory(app.file("a/b/c")));
    EXPECT_TRUE(MakeFileFolders(target)) << "existing folders are fine";
    EXPECT_TRUE(MakeFileFolders("plain-name"));
}

TEST_F(PackTest, WriterRefusesWhatTheFormatCannotHold) {
    TPackWriter w;
    w.AddBuffer(std::string(81, 'n'), "x");
    EXPECT_THROW(w.Write(archive()), EInOutError);
    EXPECT_FALSE(Exists(app.file("pack.bin")));
    TPackWriter many;
    for (int i = 0; i < 101; ++i) many.AddBuffer("f" + std::to_string(i), "");
    EXPECT_THROW(many.Write(archive()), EInOutError);
}
