// Installs that keep what the client needs and touch nothing else: modes,
// names in the release's code page, links, full disks and temporaries.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "FtpServer.h"
#include "InstallerHarness.h"
#include "release/LineFields.h"
#include "release/PackArchive.h"
#include "app/UpdatePlan.h"
#include "net/WexFTP.h"
#include "platform/CodePage.h"
#include "platform/System.h"
#include "publish/Publisher.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

int ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

int DefaultMode() {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<int>(0644 & ~mask);
}

// Relative native path -> bytes (folders end with "/"), for comparing trees.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        tree[rel + (e.is_directory() ? "/" : "")] = e.is_directory() ? "" : ReadFile(e.path().string());
    }
    return tree;
}

// Sets the locale variables for the duration of a scope.
struct Locale {
    explicit Locale(const char* name) { setenv("LC_ALL", name, 1); }
    ~Locale() { unsetenv("LC_ALL"); }
};

// Names in the code page declared by a list, as the updater uses them.
struct NamesCodePage {
    explicit NamesCodePage(int cp) { SetNameCodePage(cp); }
    ~NamesCodePage() {
        SetNameCodePage(0);
        SetApplicationFolderForTesting("");
    }
};

// A small tmpfs, for a disk that fills up; unmounted at the end.
struct SmallDisk {
    TempDir dir;
    bool mounted = false;
    std::string why;  // when it could not be mounted
    explicit SmallDisk(const char* size) {
        mounted = mount("tmpfs", dir.path().c_str(), "tmpfs", 0, ("size=" + std::string(size)).c_str()) == 0;
        if (!mounted) why = std::string("cannot mount a tmpfs (needs root): ") + strerror(errno);
    }
    ~SmallDisk() {
        if (mounted) umount2(dir.path().c_str(), MNT_DETACH);
    }
};

}  // namespace

TEST(InstallSafety, ReplacedFilesKeepTheirModeAndNewFilesGetTheDefault) {
    Installer t;
    for (const char* name : {"a.dll", "b.bin", "data/m.bin"}) {
        WriteFile(t.app.file(name), "old");
        chmod(t.app.file(name).c_str(), 0755);
    }
    std::string gz = t.Gzipped("a.gz", "new a");
    EXPECT_EQ(t.installer.Process("U 1 E a.gz a.dll 7 " + gz), TEntryOutcome::Installed);
    WriteFile(t.server.file("b"), "new b");
    EXPECT_EQ(t.installer.Process("O b b.bin 7 5"), TEntryOutcome::Installed);
    TPackWriter w;
    w.AddBuffer("data\\m.bin", "new m");
    w.AddBuffer("data\\fresh.bin", "fresh");
    w.Write(SystemPathFromNative(t.server.file("p.raw")));
    std::string packed = t.Gzipped("p.gz", ReadFile(t.server.file("p.raw")));
    EXPECT_EQ(t.installer.Process("C p.gz p.pack 7 " + packed), TEntryOutcome::Installed);

    for (const char* name : {"a.dll", "b.bin", "data/m.bin"}) EXPECT_EQ(ModeOf(t.app.file(name)), 0755) << name;
    EXPECT_EQ(ReadFile(t.app.file("data/m.bin")), "new m");
    EXPECT_EQ(ModeOf(t.app.file("data/fresh.bin")), DefaultMode());
}

// Release files from a FAT or SMB folder (0777) or made under umask 002
// (0664): installed with their execute bits only, less the user's umask;
// the folders made for them likewise.
TEST(InstallSafety, NoInstalledFileOrFolderIsWritableForOtherUsers) {
    Installer t;
    WriteFile(t.server.file("portal"), "launcher");
    WriteFile(t.server.file("lib"), "library");
    for (mode_t mask : {002, 022, 077}) {
        const std::string folder = "lib" + std::to_string(mask);
        mode_t old = umask(mask);
        EXPECT_EQ(t.installer.Process("O portal portal.exe 7 8 - 0777"), TEntryOutcome::Installed);
        EXPECT_EQ(t.installer.Process("O lib " + folder + "\\sub\\lib.so 7 7 - 0666"), TEntryOutcome::Installed);
        umask(old);
        EXPECT_EQ(ModeOf(t.app.file("portal.exe")), mask == 077 ? 0700 : 0755);
        EXPECT_EQ(ModeOf(t.app.file(folder + "/sub/lib.so")), mask == 077 ? 0600 : 0644);
        for (const std::string& made : {folder, folder + "/sub"})
            EXPECT_EQ(ModeOf(t.app.file(made)), mask == 077 ? 0700 : 0755) << made << " under umask " << mask;
    }
}

TEST(InstallSafety, AReleasePublishedInBig5InstallsTheSameTreeInEveryLocale) {
    TempDir release, pub;
    // 功 and 許 end in the byte 0x5C in Big5: no separator, no stray folder.
    WriteFile(release.file("\xE5\x8A\x9F.txt"), "gong");                          // 功.txt
    WriteFile(release.file("\xE8\xA8\xB1/\xE8\xAA\xAA\xE6\x98\x8E.txt"), "shuo");  // 許/說明.txt
    WriteFile(release.file("pk/\xE5\x8A\x9F"), "member named gong");             // pk/功
    WriteFile(release.file("pk/\xE5\x9C\xB0/\xE8\xA8\xB1.bin"), "xu");            // pk/地/許.bin
    {
        Locale zhTW("zh_TW.UTF-8");
        TPublishOptions o;
        o.ReleaseDir = release.path();
        o.OutDir = pub.path() + "/out";
        o.Version = "2";
        o.Packs = {{"pk", "pk"}};
        o.PlainGlobs = {"*/*.txt"};
        Publish(o);
    }
    TStringList remote;
    remote.LoadFromFile(pub.appFolder() + "out\\update3.dat");
    ASSERT_EQ(DeclaredNamesCodePage(remote[0]), 950) << remote[0];

    for (const char* locale : {"en_US.UTF-8", "C", "zh_CN.UTF-8"}) {
        Locale l(locale);
        Installer t;
        SetApplicationFolderForTesting(t.app.appFolder());
        NamesCodePage names(DeclaredNamesCodePage(remote[0]));
        t.installed.SetText("KOVRAN\r\n\r\n");
        t.installer.Download = CopyFrom(pub.file("out"));
        TUpdatePlan plan = BuildUpdatePlan(remote.Lines(), t.installed.Lines());
        for (const AnsiString& e : plan.Entries) EXPECT_EQ(t.installer.Process(e), TEntryOutcome::Installed) << e;
        EXPECT_EQ(Tree(t.app.path()), Tree(release.path())) << locale;
    }
}

TEST(InstallSafety, NamesWithControlBytesOrBytesOutsideTheirCodePageAreRefused) {
    Installer t;
    for (std::string entry : {std::string("O x a\tb.txt 1 1"), std::string("O x a\rb 1 1"), std::string("O x\001 a 1 1"),
                              std::string("O x a\0b 1 1", 11)})
        EXPECT_EQ(t.installer.Process(entry), TEntryOutcome::Refused) << entry;
    EXPECT_TRUE(t.fetched.empty());

    // A member "x\0..." would reach the system as "x"; "..\0" as the parent.
    TPackWriter w;
    w.AddBuffer("x", "the real x");
    w.AddBuffer(std::string("x\0evil", 6), "evil");
    w.AddBuffer(std::string("..\0", 3), "up");
    w.Write(SystemPathFromNative(t.server.file("p.raw")));
    std::string packed = t.Gzipped("p.gz", ReadFile(t.server.file("p.raw")));
    EXPECT_EQ(t.installer.Process("C p.gz p.pack 1 " + packed), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(t.app.file("x")), "the real x");

    // Korean names: a bad pair at the very end no longer runs the converter
    // past its input; such a name is refused.
    SetApplicationFolderForTesting(t.app.appFolder());
    NamesCodePage korean(949);
    EXPECT_EQ(CodePageToUtf8("ab\xA2\xE8", 949).substr(0, 2), "ab");
    EXPECT_FALSE(IsSafeRelativeName("ab\xA2\xE8"));
    EXPECT_EQ(t.installer.Process("O x ab\xA2\xE8 1 1"), TEntryOutcome::Refused);
}

TEST(InstallSafety, NothingIsWrittenThroughALinkThatTheUpdaterDidNotMake) {
    Installer t;
    TempDir elsewhere;
    WriteFile(elsewhere.file("victim"), "precious");

    // A link planted where a temporary lives is never written through.
    {
        TTempFile temp(t.app.appFolder() + "a.dll");
        ASSERT_EQ(unlink(NativePath(temp.Path()).c_str()), 0);
        ASSERT_EQ(symlink(elsewhere.file("victim").c_str(), NativePath(temp.Path()).c_str()), 0);
        EXPECT_EQ(OpenForWriting(temp.Path()), -1);
    }
    // A link at a target is replaced by the file, not written through.
    ASSERT_EQ(symlink(elsewhere.file("victim").c_str(), t.app.file("b.bin").c_str()), 0);
    WriteFile(t.server.file("b"), "new b");
    EXPECT_EQ(t.installer.Process("O b b.bin 7 5"), TEntryOutcome::Installed);
    EXPECT_FALSE(fs::is_symlink(t.app.file("b.bin")));
    EXPECT_EQ(ReadFile(t.app.file("b.bin")), "new b");
    EXPECT_EQ(ReadFile(elsewhere.file("victim")), "precious");

    // A folder the user moved elsewhere and linked is followed as before.
    fs::create_directories(elsewhere.file("data"));
    ASSERT_EQ(symlink(elsewhere.file("data").c_str(), t.app.file("data").c_str()), 0);
    WriteFile(t.server.file("c"), "moved");
    EXPECT_EQ(t.installer.Process("O c data\\c.bin 7 5"), TEntryOutcome::Installed);
    EXPECT_EQ(ReadFile(elsewhere.file("data/c.bin")), "moved");
}

TEST(InstallSafety, TemporariesAreRemovedWhateverHappens) {
    TempDir app;
    WriteFile(app.file("sub/old.bin.skiff-tmp-0123456789ab"), "left by a killed run");
    WriteFile(app.file("keep.bin"), "mine");
    EXPECT_EQ(RemoveLeftoverTemporaries(app.appFolder()), 1);
    EXPECT_TRUE(Temporaries(app.path()).empty());
    EXPECT_TRUE(Exists(app.file("keep.bin")));

    auto live = std::make_unique<TTempFile>(app.appFolder() + "big.bin");
    std::string path = NativePath(live->Path());
    EXPECT_TRUE(Exists(path));
    RemoveLiveTemporaries();  // the program ends mid-download
    EXPECT_FALSE(Exists(path));
    live.reset();
}

TEST(InstallSafety, AFullDiskFailsTheEntryRecordsNothingAndLeavesNoTemporary) {
    SmallDisk disk("1m");
    if (!disk.mounted) {  // said where the test command's output shows it, not only in the log
        fprintf(stderr, "SKIPPED: the full-disk install test: %s\n", disk.why.c_str());
        GTEST_SKIP() << disk.why;
    }
    Installer t;
    t.installer.AppFolder = disk.dir.appFolder();
    WriteFile(disk.dir.file("data/m1.bin"), "old m1");
    const std::string big(2 << 20, 'b');

    // A real download that the disk cannot take.
    WriteFile(t.server.file("big.bin"), big);
    FtpServer server(t.server.path());
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.UserID = "update";
    ftp.Password = "x";
    ftp.TimeOut = 5000;
    ftp.Connect();
    auto viaFtp = [&](const TDownloadRequest& r) {
        ftp.SizeLimit = r.Size;
        ftp.OnChunk = r.Sink;
        ftp.OnChunksBegin = r.Begin;
        ftp.RestartAt = r.RestartAt;
        ftp.Download(r.Remote, r.LocalPath);
        return TDownloadResult{ftp.RestartedAt + ftp.TransferSize, ftp.RestartedAt > 0};
    };
    t.installer.Download = viaFtp;
    EXPECT_EQ(t.installer.Process("O big.bin big.bin 2 " + std::to_string(big.size())), TEntryOutcome::WriteFailed);
    EXPECT_NE(t.installer.Detail.find("No space left on device"), std::string::npos) << t.installer.Detail;

    // A small gzip file whose contents do not fit.
    t.Gzipped("big.gz", big);
    EXPECT_EQ(t.installer.Process("E big.gz big.bin 2 " + std::to_string(fs::file_size(t.server.file("big.gz")))),
              TEntryOutcome::WriteFailed);

    // A pack whose second member does not fit leaves the first as it was.
    TPackWriter w;
    w.AddBuffer("data\\m1.bin", "new m1");
    w.AddBuffer("data\\m2.bin", big);
    w.Write(SystemPathFromNative(t.server.file("p.raw")));
    std::string packed = t.Gzipped("p.gz", ReadFile(t.server.file("p.raw")));
    EXPECT_EQ(t.installer.Process("C p.gz p.pack 2 " + packed), TEntryOutcome::WriteFailed);

    EXPECT_EQ(ReadFile(disk.dir.file("data/m1.bin")), "old m1");
    EXPECT_FALSE(Exists(disk.dir.file("big.bin")));
    EXPECT_TRUE(Temporaries(disk.dir.path()).empty());
    EXPECT_EQ(t.installed.Text(), "KOVRAN\r\na.dll 6\r\n");
    EXPECT_TRUE(ftp.Connected) << "a local failure leaves the session usable";

    // The list itself cannot be saved on a full disk: a clear error.
    WriteFile(disk.dir.file("filler"), std::string(1 << 20, 'f'));
    EXPECT_THROW(WriteWholeFileAtomic(disk.dir.appFolder() + "update2.dat", "KOVRAN\r\n"), EInOutError);
    EXPECT_TRUE(Temporaries(disk.dir.path()).empty());
}

TEST(InstallSafety, AChangedEntryNeverReplacesTheHeaderAndRemoteULinesArePassedOver) {
    Installer t;
    WriteFile(t.server.file("b"), "b");
    EXPECT_EQ(t.installer.Process("U 0 O b b.txt 7 1"), TEntryOutcome::Installed);
    EXPECT_EQ(t.installed[0], "KOVRAN");
    EXPECT_EQ(t.installed[2], "b.txt 7");
    TUpdatePlan plan = BuildUpdatePlan({"head", "U 0 O x evil 9 1", "O b b.txt 8 1"}, {"KOVRAN", "b.txt 7"});
    EXPECT_EQ(plan.Names, (std::vector<AnsiString>{"b.txt"}));
    // An entry of another kind is passed over whatever its numbers hold.
    EXPECT_EQ(t.installer.Process("Z x y 1 12k"), TEntryOutcome::UnknownKind);
}
