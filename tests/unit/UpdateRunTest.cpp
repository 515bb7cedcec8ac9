// Bringing in update-list entries without a window: a download function that
// copies from a folder stands in for the FTP server.
#include <gtest/gtest.h>

#include "InstallerHarness.h"
#include "TestSupport.h"
#include "release/PackArchive.h"
#include "app/UpdateRun.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

using namespace testing_support;


TEST(UpdateRun, ChangedEntryReplacesItsLineAndNewEntryAppends) {
    Installer t;
    std::string size = t.Gzipped("a.gz", "new a");
    EXPECT_EQ(t.installer.Process("U 1 E a.gz a.dll 7 " + size), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(t.app.file("a.dll")), "new a");
    EXPECT_FALSE(Exists(t.app.file("a.gz")));  // the gzip file is deleted after decompression
    WriteFile(t.server.file("b.txt"), "plain b");
    EXPECT_EQ(t.installer.Process("O b.txt sub\\b.txt 3 7"), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(t.app.file("sub/b.txt")), "plain b");
    EXPECT_EQ(t.installed.Text(), "KOVRAN\r\na.dll 7\r\nsub\\b.txt 3\r\n");
}

TEST(UpdateRun, SizeMismatchAndBrokenGzipLeaveTheOldFileAndRecordNothing) {
    Installer t;
    WriteFile(t.app.file("a.dll"), "old a");
    std::string size = t.Gzipped("a.gz", "new a");
    // Fewer bytes than listed: kept for the next try to go on from.
    EXPECT_EQ(t.installer.Process("U 1 E a.gz a.dll 7 999"), TEntryOutcome::Incomplete);
    EXPECT_FALSE(Exists(t.app.file("a.gz")));
    EXPECT_EQ(std::filesystem::file_size(PartialPathOf(t.app.appFolder(), ParseUpdateEntry("U 1 E a.gz a.dll 7 999"))),
              std::stoul(size));
    WriteFile(t.server.file("b.txt"), "plain b");
    EXPECT_EQ(t.installer.Process("O b.txt a.dll 3 3"), TEntryOutcome::SizeMismatch);
    const std::string bad = "\x1f\x8b this is not deflate data";
    WriteFile(t.server.file("bad.gz"), bad);
    EXPECT_EQ(t.installer.Process("U 1 E bad.gz a.dll 7 " + std::to_string(bad.size())),
              TEntryOutcome::NotDecompressed);
    EXPECT_EQ(ReadFile(t.app.file("a.dll")), "old a");
    EXPECT_EQ(t.installed.Text(), "KOVRAN\r\na.dll 6\r\n");
    for (auto& e : std::filesystem::directory_iterator(t.app.path()))
        EXPECT_FALSE(IsTemporaryName(e.path().filename().string())) << e.path();
}

TEST(UpdateRun, PackEntryUnpacksAndLeavesNoTraceOfThePack) {
    Installer t;
    TPackWriter w;
    w.AddBuffer("data\\maps\\a.bin", "map");
    w.AddBuffer("data\\b.txt", "bee");
    w.Write(SystemPathFromNative(t.server.file("p.raw")));
    std::string packed = t.Gzipped("p.gz", ReadFile(t.server.file("p.raw")));
    EXPECT_EQ(t.installer.Process("C p.gz p.pack 4 " + packed), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(t.app.file("data/maps/a.bin")), "map");
    EXPECT_EQ(ReadFile(t.app.file("data/b.txt")), "bee");
    EXPECT_FALSE(Exists(t.app.file("p.gz")));
    EXPECT_FALSE(Exists(t.app.file("p.pack")));
    EXPECT_EQ(t.installed[2], "p.pack 4");
}

TEST(UpdateRun, UnsafeNamesUnknownKindsAndBadNumbers) {
    Installer t;
    for (const char* entry : {"O x ..\\up.txt 1 1", "O x \\abs.txt 1 1", "O x c:\\w.txt 1 1", "E x\x01.gz a 1 1",
                              "O x a\\..\\..\\b 1 1"})
        EXPECT_EQ(t.installer.Process(entry), TEntryOutcome::Refused) << entry;
    EXPECT_TRUE(t.fetched.empty());  // refused before anything is downloaded
    // A remote name is only sent to the server: a path there is the server's business.
    t.installer.Process("O ..\\pub\\x.txt x.txt 1 1");
    EXPECT_EQ(t.fetched.size(), 1u);
    EXPECT_EQ(t.installer.Process("Z x y 1 1"), TEntryOutcome::UnknownKind);
    EXPECT_EQ(t.installer.Process("e x y 1 1"), TEntryOutcome::UnknownKind);  // kinds are case-sensitive
    EXPECT_THROW(t.installer.Process("O x y 1 12k"), EConvertError);
    EXPECT_THROW(t.installer.Process("U one O x y 1 1"), EConvertError);
    TUpdateEntry big = ParseUpdateEntry("E big.gz big.bin 2 3221225472");
    EXPECT_EQ(big.Size, 3221225472LL);  // sizes over 2 GiB
    EXPECT_EQ(t.installed.Text(), "KOVRAN\r\na.dll 6\r\n");
}
