// The publisher: a release round-trips through the plan and the installer,
// unchanged files keep their versions, and bad input writes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "InstallerHarness.h"
#include "app/Removals.h"
#include "app/UpdatePlan.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "publish/Publisher.h"
#include "release/LineFields.h"
#include "release/RemovalsFile.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TPublishOptions Options(const std::string& rel, const std::string& out, const std::string& version) {
    TPublishOptions o;
    o.ReleaseDir = rel;
    o.OutDir = out;
    o.Version = version;
    o.Packs = {{"data", "data"}};
    o.PlainGlobs = {"*.txt"};
    return o;
}

// Plans against update2.dat in `app` and installs from `pub`; returns the local names planned.
std::vector<AnsiString> PlanAndInstall(const TempDir& app, const std::string& pub) {
    TStringList remote, installed;
    remote.LoadFromFile(SystemPathFromNative(pub + "/update3.dat"));
    if (Exists(app.file("update2.dat"))) installed.LoadFromFile(SystemPathFromNative(app.file("update2.dat")));
    else installed.SetText("KOVRAN\r\n");
    if (installed.Count() == 1) installed.Add("");
    TUpdatePlan plan = BuildUpdatePlan(remote.Lines(), installed.Lines());
    TEntryInstaller in;
    in.AppFolder = app.appFolder();
    in.Installed = &installed;
    in.Download = CopyFrom(pub);
    for (const AnsiString& e : plan.Entries) EXPECT_EQ(in.Process(e), TEntryOutcome::Installed) << e;
    installed.SaveToFile(SystemPathFromNative(app.file("update2.dat")));
    return plan.Names;
}

}  // namespace

TEST(Publisher, ReleaseRoundTripsAndASecondReleasePlansOnlyTheChangedFile) {
    TempDir rel, out, app;
    WriteFile(rel.file("bin/client.exe"), std::string(100000, 'c'));
    WriteFile(rel.file("readme.txt"), "one");
    for (int i = 0; i < 130; ++i) WriteFile(rel.file("data/m" + std::to_string(i) + ".bin"), std::to_string(i));
    TPublishSummary s = Publish(Options(rel.path(), out.file("pub"), "10"));
    EXPECT_EQ(s.Files, 132);
    EXPECT_EQ(s.Entries, 4);  // E, O and two packs (130 members > 100)
    EXPECT_EQ(PlanAndInstall(app, out.file("pub")).size(), 4u);
    for (auto& e : fs::recursive_directory_iterator(rel.path())) {
        if (!e.is_regular_file()) continue;
        std::string relName = fs::relative(e.path(), rel.path()).string();
        EXPECT_EQ(ReadFile(app.file(relName)), ReadFile(e.path().string())) << relName;
    }
    WriteFile(rel.file("readme.txt"), "two");
    TPublishOptions second = Options(rel.path(), out.file("pub"), "11");
    second.Previous = out.file("pub");
    EXPECT_EQ(Publish(second).Changed, 1);
    std::vector<AnsiString> planned = PlanAndInstall(app, out.file("pub"));
    ASSERT_EQ(planned.size(), 1u);
    EXPECT_EQ(planned[0], "readme.txt");
    EXPECT_EQ(ReadFile(app.file("readme.txt")), "two");
    // Byte order and numeric order must agree: "9" after "11" passes the one
    // and "100" the other, and each is refused with the way out.
    WriteFile(rel.file("readme.txt"), "three");
    for (const char* wrong : {"9", "100"}) {
        second.Version = wrong;
        try {
            Publish(second);
            ADD_FAILURE() << wrong << " was published";
        } catch (const Exception& e) {
            EXPECT_NE(e.Message.find("byte order"), std::string::npos) << e.Message;
            EXPECT_NE(e.Message.find("0009, 0010"), std::string::npos) << e.Message;
        }
    }
    second.Version = "12";
    EXPECT_NO_THROW(Publish(second));
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find("readme.txt 12"), std::string::npos);  // still usable
    // A short number at the first release warns that its width must stay.
    TempDir first;
    EXPECT_FALSE(Publish(Options(rel.path(), first.file("pub"), "1")).Warnings.empty());

    // Random bytes do not shrink as gzip: they are served as they are, and
    // stay so when republished unchanged.
    TempDir media, mediaOut;
    WriteFile(media.file("movie.bik"), Random(300000, 5));
    TPublishOptions once = Options(media.path(), mediaOut.file("pub"), "0001");
    once.Packs.clear();
    Publish(once);
    const std::string list = ReadFile(mediaOut.file("pub/update3.dat"));
    EXPECT_NE(list.find("\nO movie.bik."), std::string::npos) << list;
    TPublishOptions again = once;
    again.Version = "0002";
    again.Previous = mediaOut.file("pub");
    EXPECT_EQ(Publish(again).Changed, 0);
    EXPECT_EQ(ReadFile(mediaOut.file("pub/update3.dat")).substr(list.find('\n')), list.substr(list.find('\n')));
}

TEST(Publisher, BadInputIsRefusedAndWritesNothing) {
    TempDir rel, out;
    auto refused = [&](const TPublishOptions& o, const char* words) {
        try {
            Publish(o);
            ADD_FAILURE() << "accepted: " << words;
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
        EXPECT_FALSE(Exists(out.file("pub")));
    };
    refused(Options(rel.file("missing"), out.file("pub"), "1"), "does not exist");
    WriteFile(rel.file("a.txt"), "a");
    refused(Options(rel.path(), rel.file("inside"), "1"), "inside the release folder");
    WriteFile(rel.file("with blank.txt"), "a");
    refused(Options(rel.path(), out.file("pub"), "1"), "blank");
    fs::remove(rel.file("with blank.txt"));
    WriteFile(rel.file("data/" + std::string(90, 'n')), "a");
    refused(Options(rel.path(), out.file("pub"), "1"), "longer than 80");
    fs::remove_all(rel.file("data"));
    WriteFile(rel.file("data/m.bin"), "m");
    setenv("LANG", "en_US.UTF-8", 1);
    WriteFile(rel.file("\xE8\xAA\xAA.txt"), "a");  // 說 has no place in code page 1252
    refused(Options(rel.path(), out.file("pub"), "1"), "code page");
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_NO_THROW(Publish(Options(rel.path(), out.file("pub"), "1")));
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find("\xBB\xA1.txt"), std::string::npos);  // Big5 local name
    TPublishOptions named = Options(rel.path(), out.file("pub"), "2");
    named.Packs = {{"data", "\xE8\xAA\xAA"}};
    EXPECT_NO_THROW(Publish(named));
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find(" \xBB\xA1.pack "), std::string::npos);  // so is a pack's
    unsetenv("LANG");
}

// Served names follow the bytes: a changed file gets a new name and the old
// one stays in the folder with the list that names it, so a mirror that
// still serves the older list never has its file overwritten.
TEST(Publisher, AChangedFileGetsANewNameAndTheOldListKeepsItsFiles) {
    TempDir rel, out;
    WriteFile(rel.file("docs/page1.txt"), "one");
    WriteFile(rel.file("bin/client.exe"), "client");
    WriteFile(rel.file("data/m.bin"), "m");
    const std::string pub = out.file("pub");
    Publish(Options(rel.path(), pub, "10"));
    const std::string first = ServedName(pub, "docs\\page1.txt"), client = ServedName(pub, "bin\\client.exe");
    EXPECT_EQ(first, "docs~page1.txt." + std::string(Sha256OfFile(SystemPathFromNative(pub + "/" + first))).substr(0, 16));
    WriteFile(rel.file("docs/page1.txt"), "two");
    TPublishOptions second = Options(rel.path(), pub, "11");
    second.Previous = pub;
    Publish(second);
    EXPECT_NE(ServedName(pub, "docs\\page1.txt"), first);
    EXPECT_EQ(ServedName(pub, "bin\\client.exe"), client);
    EXPECT_EQ(ReadFile(pub + "/" + first), "one");
    EXPECT_EQ(ReadFile(pub + "/releases/000002.update3.dat"), ReadFile(pub + "/update3.dat"));
    EXPECT_NE(ReadFile(pub + "/releases/000001.update3.dat").find(first), std::string::npos);
}

// A pack of 100 members whose last name is 80 bytes long would lose that
// name's last byte in an updater that reads 8988 bytes of the directory.
TEST(Publisher, TheHundredthMemberOfAPackNeverHasAnEightyByteName) {
    TempDir rel, out;
    for (int i = 0; i < 99; ++i) WriteFile(rel.file("data/m" + std::to_string(100 + i)), "m");
    WriteFile(rel.file("data/z" + std::string(74, 'z')), "last");  // "data\z..." is 80 bytes
    EXPECT_EQ(Publish(Options(rel.path(), out.file("pub"), "1")).Entries, 2);
    // The two parts have names of their own, so an unchanged release changes neither.
    EXPECT_NE(ServedName(out.file("pub"), "data-1.pack"), ServedName(out.file("pub"), "data-2.pack"));
    TPublishOptions again = Options(rel.path(), out.file("pub"), "2");
    again.Previous = out.file("pub");
    EXPECT_EQ(Publish(again).Changed, 0);
}

// Files a release drops are named for removal with the bytes the earlier
// release installed (also when the earlier folder kept no installed.sums),
// in a removals file the list's header names, never in a line of the list:
// an updater built to the original format would list such a line at every
// start. They are carried on until a release brings them back, and the
// "D" lines of a list published before are carried on the same way.
TEST(Publisher, DroppedFilesGoToTheRemovalsFileAndAreCarriedOn) {
    TempDir rel, out, app;
    const std::string pub = out.file("pub");
    WriteFile(rel.file("old.dll"), "old library");
    WriteFile(rel.file("notes.txt"), "notes");
    WriteFile(rel.file("data/gone.bin"), "member");
    WriteFile(rel.file("data/kept.bin"), "kept");
    Publish(Options(rel.path(), pub, "10"));
    fs::remove(pub + "/installed.sums");  // as an older publisher left it
    const std::string sha = Sha256Of("earlier");
    WriteFile(pub + "/update3.dat", ReadFile(pub + "/update3.dat") + "D - earlier.dll 9 7 " + sha + "\r\n");
    fs::remove(rel.file("old.dll"));
    fs::remove(rel.file("notes.txt"));
    fs::remove(rel.file("data/gone.bin"));
    TPublishOptions o = Options(rel.path(), pub, "11");
    o.Previous = pub;
    o.RemoveDropped = true;
    EXPECT_EQ(Publish(o).Removals, 4);
    TStringList list;
    list.LoadFromFile(SystemPathFromNative(pub + "/update3.dat"));
    for (const AnsiString& line : list.Lines()) EXPECT_NE(GetField(1, line), "D") << line;
    TRemovalsFile file;
    ASSERT_TRUE(DeclaredRemovalsFile(list[0], file)) << list[0];
    const std::string removals = ReadFile(pub + "/" + file.Name);
    EXPECT_NE(removals.find("D - old.dll 10 11 " + Sha256Of("old library")), std::string::npos) << removals;
    EXPECT_NE(removals.find("D - notes.txt 10 5 " + Sha256Of("notes")), std::string::npos);
    EXPECT_NE(removals.find("D - data\\gone.bin 10 6 " + Sha256Of("member")), std::string::npos);
    EXPECT_NE(removals.find("D - earlier.dll 9 7 " + sha), std::string::npos);
    // The updater plans them from the file it fetched, only while it is the one named.
    WriteFile(app.file("old.dll"), "old library");
    WriteFile(app.file("update3.removals"), removals);
    TUpdatePlan plan;
    PlanRemovals(list.Lines(), app.appFolder(), plan);
    EXPECT_EQ(plan.Names, std::vector<AnsiString>{"old.dll"});
    WriteFile(app.file("update3.removals"), removals + "D - x 1 1 " + sha + "\r\n");
    plan = {};
    PlanRemovals(list.Lines(), app.appFolder(), plan);
    EXPECT_TRUE(plan.Names.empty());
    WriteFile(rel.file("notes.txt"), "notes again");
    o.Version = "12";
    o.RemoveDropped = false;
    EXPECT_EQ(Publish(o).Removals, 3);  // carried on, but notes.txt is back
    list.LoadFromFile(SystemPathFromNative(pub + "/update3.dat"));
    ASSERT_TRUE(DeclaredRemovalsFile(list[0], file));
    EXPECT_EQ(ReadFile(pub + "/" + file.Name).find("D - notes.txt"), std::string::npos);
}

TEST(Publisher, GroupOrWorldWritableFilesArePublishedWithoutThoseBits) {
    TempDir rel, out;
    WriteFile(rel.file("portal.exe"), "launcher");
    WriteFile(rel.file("data/m.bin"), "m");
    chmod(rel.file("portal.exe").c_str(), 0777);
    TPublishSummary s = Publish(Options(rel.path(), out.file("pub"), "0001"));
    ASSERT_EQ(s.Warnings.size(), 1u);
    EXPECT_NE(s.Warnings[0].find("portal.exe"), std::string::npos);
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find(" portal.exe 0001 "), std::string::npos);
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find(" 0755 "), std::string::npos);
    // A name Windows cannot hold is published, with a word for the vendor.
    WriteFile(rel.file("data/aux.txt"), "a");
    s = Publish(Options(rel.path(), out.file("pub"), "0002"));
    ASSERT_EQ(s.Warnings.size(), 2u);
    EXPECT_NE(s.Warnings[1].find("names Windows cannot hold (data/aux.txt)"), std::string::npos) << s.Warnings[1];
}
