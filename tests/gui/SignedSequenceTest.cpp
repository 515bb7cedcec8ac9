// Signed releases with the real windows and real FTP servers: with update.pub
// in the application folder only a list signed by that key counts, a server
// with a bad list is passed over, and without a good list nothing is touched.
#include "UpdaterFixture.h"

#include <sys/stat.h>

#include <thread>

#include "app/Texts.h"
#include "release/ReleaseCheck.h"
#include "crypto/Minisign.h"
#include "crypto/Sha256.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A release with an executable launcher, signed with `key`.
struct SignedRelease : TestRelease {
    TempDir secrets;
    explicit SignedRelease(const TSecretKey& key, int64_t serial = 1, int expiresDays = 0, const std::string& a = "a",
                           const std::string& version = "7") {
        Add("portal.exe", "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/portal.ran\"\n");
        chmod(src.file("portal.exe").c_str(), 0755);
        Add("data/a.txt", a);
        WriteFile(secrets.file("k.key"), SecretKeyText(key));
        TPublishOptions o = Options(version);
        o.SecretKey = secrets.file("k.key");
        o.Serial = serial;
        o.ExpiresDays = expiresDays;
        ::Publish(o);
    }
};

// Relative path -> a digest of the bytes of every file in the folder (the
// updater's own log aside).
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(e.path(), root).string();
        if (e.is_regular_file() && name != "update.log") files[name] = Sha256OfFile(e.path().string());
    }
    return files;
}

struct SignedFixture : UpdaterFixture {
    TSecretKey key, otherKey;
    void SetUp() override {
        UpdaterFixture::SetUp();
        GenerateKey(key);
        GenerateKey(otherKey);
        WriteFile(app.file("update.pub"), PublicKeyText(key));
    }
    const std::string noValidList = "No server offers a valid update list";
};

}  // namespace

TEST_F(SignedFixture, ASignedReleaseInstallsItsModesAndTheLauncherStarts) {
    SignedRelease release(key);
    FtpServer server(release.root());
    ServerList({server.port()});
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(Form1->Button1->Enabled) << (dialogs.empty() ? "" : dialogs[0].second);
    Form1->Button1Click(nullptr);
    EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
    struct stat st;
    ASSERT_EQ(stat(app.file("portal.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(ReadFile(app.file("update.serial")), "1\r\n");
    // The run's sessions have ended: the launch closes the window and ends the program.
    Form1->Image3Click(nullptr);
    EXPECT_TRUE(Application->Terminated);
    EXPECT_TRUE(PumpUntil([&] { return ReadFile(app.file("portal.ran")) == "1\n"; }));
}

TEST_F(SignedFixture, AServerWithABadListIsPassedOverForOneWithAGoodList) {
    SignedRelease bad(key), good(key);
    std::string list = ReadFile(bad.file("update3.dat"));
    list[list.size() - 3] ^= 1;  // one flipped byte, the signature as it was
    WriteFile(bad.file("update3.dat"), list);
    FtpServer tampered(bad.root()), genuine(good.root());
    ServerList({tampered.port(), genuine.port()});
    WriteFile(app.file("isp1.dat"), "0\r\n");  // the tampered one first
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(Form1->ConnectedFlag);
    EXPECT_EQ(Form1->Core->Session()->Port, genuine.port());
    EXPECT_EQ(ReadFile(app.file("update3.dat")), ReadFile(good.file("update3.dat")));
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("data/a.txt")), "a");
}

TEST_F(SignedFixture, WithoutAValidListNothingInTheFolderIsTouched) {
    WriteFile(app.file("update.serial"), "5\r\n");
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nportal.exe 1\r\n");
    WriteFile(app.file("portal.exe"), "old");
    struct Case {
        const char* what;
        std::function<void(SignedRelease&)> spoil;
        int64_t serial;
        int expires;
        bool otherKey;
        TText told = TText::ListUnverified;  // what the player reads
    };
    const std::vector<Case> cases = {
        {"a flipped byte in the list", [](SignedRelease& r) {
             std::string l = ReadFile(r.file("update3.dat"));
             l[10] ^= 1;
             WriteFile(r.file("update3.dat"), l);
         }, 6, 0, false},
        {"no signature", [](SignedRelease& r) { fs::remove(r.file("update3.dat.minisig")); }, 6, 0, false},
        {"a lower serial (rollback)", [](SignedRelease&) {}, 4, 0, false, TText::ListOlder},
        {"another key", [](SignedRelease&) {}, 6, 0, true},
        {"an expired list", [this](SignedRelease& r) {
             WriteFile(r.file("update3.dat.minisig"),
                       SignMessage(key, ReadFile(r.file("update3.dat")), "serial:6\texpires:1000000000"));
         }, 6, 0, false, TText::ListExpired},
        {"an altered trusted comment", [](SignedRelease& r) {
             std::string s = ReadFile(r.file("update3.dat.minisig"));
             s.replace(s.find("serial:6"), 8, "serial:7");
             WriteFile(r.file("update3.dat.minisig"), s);
         }, 6, 0, false},
    };
    const auto before = Snapshot(app.path());
    for (const Case& k : cases) {
        SignedRelease release(k.otherKey ? otherKey : key, k.serial, k.expires);
        k.spoil(release);
        FtpServer server(release.root());
        ServerList({server.port()});
        CloseWindows();
        dialogs.clear();
        Start("en_US.UTF-8");
        RunSequence();
        EXPECT_FALSE(Form1->ConnectedFlag) << k.what;
        EXPECT_EQ(Form1->Label3->Caption(), noValidList) << k.what;
        ASSERT_EQ(dialogs.size(), 1u) << k.what;
        EXPECT_EQ(dialogs[0].second, noValidList + "\n" + Localized(k.told, 'n')) << k.what;
        auto after = Snapshot(app.path());
        after.erase("isp0.dat");
        auto expected = before;
        expected.erase("isp0.dat");
        expected["isp1.dat"] = after["isp1.dat"];
        EXPECT_EQ(after, expected) << k.what;
    }
    // The log names the file that was missing, not the list.
    EXPECT_NE(ReadFile(app.file("update.log")).find(": update3.dat.minisig refused: 550"), std::string::npos);
}

TEST_F(SignedFixture, AKeyThatCannotBeReadStopsEverythingWithoutFallingBack) {
    SignedRelease release(key);
    FtpServer server(release.root());
    ServerList({server.port()});
    WriteFile(app.file("update.pub"), "untrusted comment: damaged\nnot base64 at all\n");
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(Form1->Core->ServerIndex, -1) << "no server was even tried";
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].second, "The public key \"" + app.path() + "/update.pub\" cannot be used: The public key is not valid base64");
    EXPECT_FALSE(Exists(app.file("update3.dat")));
    // A key that is not there only when it is truly missing: a dangling link
    // or a FIFO stops here too, and the FIFO does not hold the window.
    for (bool fifo : {false, true}) {
        fs::remove(app.file("update.pub"));
        if (fifo) ASSERT_EQ(mkfifo(app.file("update.pub").c_str(), 0600), 0);
        else fs::create_symlink(app.file("gone.pub"), app.file("update.pub"));
        CloseWindows();
        dialogs.clear();
        Start("en_US.UTF-8");
        RunSequence();
        EXPECT_EQ(Form1->Core->ServerIndex, -1) << fifo;
        ASSERT_EQ(dialogs.size(), 1u) << fifo;
        EXPECT_NE(dialogs[0].second.find("cannot be used"), std::string::npos) << dialogs[0].second;
    }
}

// A mirror caught between renaming its new list into place and renaming the
// new signature after it: the pair is fetched once more 2 s later.
TEST_F(SignedFixture, AListCaughtBetweenItsUploadAndItsSignatureIsAskedAgain) {
    SignedRelease release(key, 3);
    const std::string signature = ReadFile(release.file("update3.dat.minisig"));
    WriteFile(release.file("update3.dat.minisig"), SignMessage(key, "an older list", "serial:2"));
    FtpServer server(release.root());
    ServerList({server.port()});
    std::thread uploader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        WriteFile(release.file("update3.dat.minisig"), signature);
    });
    Start("en_US.UTF-8");
    RunSequence();
    uploader.join();
    ASSERT_TRUE(Form1->Button1->Enabled) << (dialogs.empty() ? "" : dialogs[0].second);
    EXPECT_NE(ReadFile(app.file("update.log")).find("do not match; asking again in 2 s"), std::string::npos);
}

// An unsigned (or attacked) run left a planted launcher and library whose
// versions update2.dat records as current: the next signed start plans
// them again, and a launcher changed after the run is put right before it
// starts. Only the genuine launcher ever runs.
TEST_F(SignedFixture, PlantedFilesAreRepairedAndOnlyTheGenuineLauncherRuns) {
    SignedRelease release(key);
    FtpServer server(release.root());
    ServerList({server.port()});
    const std::string planted = "#!/bin/sh\necho planted > \"$(dirname \"$0\")/portal.ran\"\n";
    WriteFile(app.file("portal.exe"), planted);
    chmod(app.file("portal.exe").c_str(), 0755);
    WriteFile(app.file("data/a.txt"), "b");  // same size, other bytes
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nportal.exe 7\r\ndata\\a.txt 7\r\n");
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(PumpUntil([] { return !Form1->Core->Check; })) << "the check of what is installed runs after the plan";
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 2) << "both planted files are planned again";
    EXPECT_TRUE(Form1->Button1->Enabled);
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("data/a.txt")), "a");
    EXPECT_NE(ReadFile(app.file("portal.exe")), planted);
    // Planted again after the run: checked and repaired before the launch.
    WriteFile(app.file("portal.exe"), planted);
    Form1->Image3Click(nullptr);
    EXPECT_TRUE(PumpUntil([&] { return ReadFile(app.file("portal.ran")) == "1\n"; }));
    EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
    // The next start finds everything as the release names it.
    CloseWindows();
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(PumpUntil([] { return !Form1->Core->Check; }));
    EXPECT_EQ(Form1->ListBox1->Items.Count(), 0);
    EXPECT_TRUE(Form1->Image3->Visible());
    EXPECT_TRUE(Exists(app.file("update2.sums")));
}

// A player locked out reads what happened and what to do in the language
// of the desktop, every character of it.
TEST_F(SignedFixture, ALockedOutPlayerIsToldInPlainWordsInEveryMode) {
    SignedRelease release(key, 6, 0);
    WriteFile(release.file("update3.dat.minisig"),
              SignMessage(key, ReadFile(release.file("update3.dat")), "serial:6\texpires:1000000000"));
    FtpServer server(release.root());
    ServerList({server.port()});
    for (const char* lang : {"en_US.UTF-8", "zh_TW.UTF-8", "zh_CN.UTF-8"}) {
        CloseWindows();
        dialogs.clear();
        Start(lang);
        RunSequence();
        ASSERT_EQ(dialogs.size(), 1u) << lang;
        const char mode = GetLanguageMode()[0];
        EXPECT_EQ(dialogs[0].second,
                  Localized(TText::NoValidList, mode) + "\n" + Localized(TText::ListExpired, mode)) << lang;
        const std::string shown = DisplayToUtf8(dialogs[0].second);
        EXPECT_EQ(shown.find('?'), std::string::npos) << lang << ": " << shown;
    }
}

// The chosen mirror is stale: its release comes in whole, then the window
// says a newer one is on the servers, and Start brings it in.
TEST_F(SignedFixture, AStaleMirrorsReleaseIsFollowedByTheNewerOneOnStart) {
    SignedRelease older(key, 1), newer(key, 2, 0, "b", "8");
    FtpServer stale(older.root()), fresh(newer.root());
    ServerList({stale.port(), fresh.port()});
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(Form1->Button1->Enabled) << (dialogs.empty() ? "" : dialogs[0].second);
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("update.serial")), "1\r\n");
    ASSERT_TRUE(PumpUntil([] { return Form1->Button1->Enabled; }));
    EXPECT_EQ(Form1->Label3->Caption(), Localized(TText::NewerRelease, 'n'));
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("data/a.txt")), "b");
    EXPECT_EQ(ReadFile(app.file("update.serial")), "2\r\n");
    EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
}
