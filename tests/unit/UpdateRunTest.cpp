// Bringing in update-list entries without a window: a download function that
// copies from a folder stands in for the FTP server.
#include <gtest/gtest.h>

#include "InstallerHarness.h"
#include "TestSupport.h"
#include "release/PackArchive.h"
#include "app/Removals.h"
#include "app/Repair.h"
#include "app/UpdateRun.h"
#include "crypto/Sha256.h"
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
    EXPECT_EQ(Temporaries(t.app.path()), std::vector<std::string>());
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

// A file the release dropped goes only while it holds the bytes the earlier
// release installed; the player's changed copy and the updater's own files stay.
TEST(UpdateRun, ADroppedFileIsRemovedOnlyWhereItIsUnchanged) {
    Installer t;
    TSha256 h;
    h.Update("old", 3);
    const std::string sha = h.HexDigest();
    WriteFile(t.app.file("old.dll"), "old");
    WriteFile(t.app.file("mine.dll"), "new");  // same size, changed by the player
    WriteFile(t.app.file("isp0.dat"), "old");
    t.installed.SetText("KOVRAN\r\na.dll 6\r\nold.dll 3\r\n");
    const std::vector<AnsiString> list = {"h", "D - old.dll 3 3 " + sha, "D - mine.dll 3 3 " + sha,
                                          "D - isp0.dat 3 3 " + sha, "D - ..\\x 3 3 " + sha};
    TUpdatePlan plan;
    PlanRemovals(list, t.app.appFolder(), plan);
    EXPECT_EQ(plan.Names, std::vector<AnsiString>{"old.dll"});
    EXPECT_TRUE(BuildUpdatePlan(list, t.installed.Lines()).Entries.empty()) << "never planned by version";
    std::vector<AnsiString> removed;
    t.installer.RecordRemoval = [&](const AnsiString& local) { removed.push_back(local); };
    EXPECT_EQ(t.installer.Process(list[1]), TEntryOutcome::Removed);
    EXPECT_EQ(t.installer.Process(list[2]), TEntryOutcome::Kept);
    EXPECT_EQ(t.installer.Process(list[3]), TEntryOutcome::Refused);
    EXPECT_FALSE(Exists(t.app.file("old.dll")));
    EXPECT_EQ(ReadFile(t.app.file("mine.dll")), "new");
    EXPECT_EQ(removed, std::vector<AnsiString>{"old.dll"});
    EXPECT_TRUE(t.fetched.empty());
}

// The updater's bytes are public, so an unsigned list may name its files in
// any spelling: no install, pack member or removal touches one of them.
TEST(UpdateRun, NoEntryTouchesTheUpdatersOwnFilesHoweverItSpellsThem) {
    Installer t;
    TSha256 h;
    h.Update("own", 3);
    const std::string sha = h.HexDigest();
    for (const std::string& own : {std::string("skiff"), std::string("update.pub"), std::string("update2.dat"),
                                   std::string("update2.sums"), std::string(".skiff-lock"), std::string("upimg/0c.jpg"),
                                   std::string("update.serial"), ProgramFileName()})
        WriteFile(t.app.file(own), "own");
    WriteFile(t.server.file("x"), "new");
    std::vector<AnsiString> list{"h"};
    for (const std::string& name : {std::string(".\\skiff"), std::string("./update.pub"), std::string("UPDATE2.DAT"),
                                    std::string(".//update2.sums"), std::string(".skiff-lock"),
                                    std::string("Upimg\\0c.jpg"), ProgramFileName()}) {
        EXPECT_EQ(t.installer.Process("O x " + name + " 2 3"), TEntryOutcome::Refused) << name;
        list.push_back("D - " + name + " 1 3 " + sha);
        EXPECT_EQ(t.installer.Process(list.back()), TEntryOutcome::Refused) << name;
    }
    TUpdatePlan plan;
    PlanRemovals(list, t.app.appFolder(), plan);
    EXPECT_TRUE(plan.Names.empty());
    // Refused whole: the pack's other members belong with the one it may not write.
    TPackWriter w;
    w.AddBuffer("data\\a.bin", "map");
    w.AddBuffer(".\\update.serial", "9");
    w.Write(SystemPathFromNative(t.server.file("p.raw")));
    EXPECT_EQ(t.installer.Process("C p.gz p.pack 4 " + t.Gzipped("p.gz", ReadFile(t.server.file("p.raw")))),
              TEntryOutcome::Refused);
    EXPECT_FALSE(Exists(t.app.file("data/a.bin")));
    for (const char* own : {"skiff", "update.pub", "update2.dat", "update2.sums", ".skiff-lock", "upimg/0c.jpg",
                            "update.serial"})
        EXPECT_EQ(ReadFile(t.app.file(own)), "own") << own;
    EXPECT_EQ(t.fetched, std::vector<std::string>{"p.gz"}) << "refused before anything is downloaded";
    EXPECT_EQ(t.installed.Text(), "KOVRAN\r\na.dll 6\r\n");
    EXPECT_EQ(Temporaries(t.app.path(), true), std::vector<std::string>());
}

// The server sent all it has and confirmed it, but fewer bytes than listed:
// a file of another size, not a download to continue next time.
TEST(UpdateRun, ACompleteDownloadOfAnotherSizeLeavesNoPartialFile) {
    Installer t;
    WriteFile(t.server.file("x.txt"), "short");
    auto copy = t.installer.Download;
    t.installer.Download = [&](const TDownloadRequest& r) {
        TDownloadResult got = copy(r);
        got.Complete = true;
        return got;
    };
    EXPECT_EQ(t.installer.Process("O x.txt x.txt 1 100"), TEntryOutcome::SizeMismatch);
    EXPECT_EQ(Temporaries(t.app.path(), true), std::vector<std::string>());
}

// The record spares a second hash of what did not change, and never hides
// a change: a file rewritten with the same size is hashed again.
TEST(UpdateRun, TheInstalledRecordIsTrustedOnlyForUnchangedFiles) {
    TempDir app;
    WriteFile(app.file("a.bin"), "aaaa");
    {
        TInstalledRecord record(app.appFolder(), true);
        record.NoteInstalled("a.bin", std::string(64, 'f'));  // what the run says it put there
        record.Save();
    }
    TInstalledRecord again(app.appFolder(), true);
    EXPECT_EQ(again.Sha256Of("a.bin"), std::string(64, 'f')) << "unchanged: taken from the record";
    WriteFile(app.file("a.bin"), "bbbb");
    EXPECT_EQ(again.Sha256Of("a.bin"), Sha256OfFile(app.file("a.bin")));
    TInstalledRecord repair(app.appFolder(), false);
    EXPECT_EQ(repair.Sha256Of("a.bin"), Sha256OfFile(app.file("a.bin")));
    EXPECT_EQ(repair.Sha256Of("missing.bin"), "");
}

// --repair hashes every file again, and judges a pack by the members this
// updater installed from it: twice in a row after a full install it plans
// nothing, and a damaged member plans its pack.
TEST(UpdateRun, RepairJudgesAPackByItsMembersEveryTime) {
    TempDir app;
    WriteFile(app.file("m1.bin"), "one");
    WriteFile(app.file("m2.bin"), "two");
    {
        TInstalledRecord record(app.appFolder(), true);
        record.NotePackMembers("data.pack", {"m1.bin", "m2.bin"});
        record.Save();
    }
    const std::vector<AnsiString> list = {"h", "C data.pack.gz data.pack 1 9 " + std::string(64, 'a') + " 0644,0644 " +
                                                    Sha256Of("one") + "," + Sha256Of("two")};
    const std::vector<AnsiString> installed = {"KOVRAN", "data.pack 1"};
    auto planned = [&] {
        TInstalledRecord repair(app.appFolder(), false);
        TUpdatePlan plan;
        PlanRepairs(list, installed, repair, plan);
        repair.Save();
        return plan.Names;
    };
    EXPECT_TRUE(planned().empty());
    EXPECT_TRUE(planned().empty()) << "the record the first repair saved still names the members";
    WriteFile(app.file("m2.bin"), "tw0");
    EXPECT_EQ(planned(), std::vector<AnsiString>{"data.pack"});
}

