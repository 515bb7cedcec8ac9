// The operator's checks: every problem of a release named at once, a dry run
// that writes nothing, `verify` finding what an updater would stumble on, and
// the starter kit refusing what would leave users stranded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestSupport.h"
#include "release/PackArchive.h"
#include "crypto/Minisign.h"
#include "gzip/Gzip.h"
#include "platform/FileSystem.h"
#include "publish/Kit.h"
#include "publish/Publisher.h"
#include "publish/Verify.h"
#include "publish/Json.h"
#include "app/UpdateLog.h"
#include "platform/Printable.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TPublishOptions Options(const TempDir& rel, const TempDir& out) {
    TPublishOptions o;
    o.ReleaseDir = rel.path();
    o.OutDir = out.file("pub");
    o.Version = "1";
    o.Packs = {{"data", "data"}};
    o.PlainGlobs = {"*.txt"};
    return o;
}

std::string RefusalOf(const TPublishOptions& o) {
    try {
        Publish(o);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "accepted";
}

// A small release with every kind of entry.
void WriteRelease(const TempDir& rel) {
    WriteFile(rel.file("bin/client.exe"), std::string(50000, 'c'));
    WriteFile(rel.file("readme.txt"), "one");
    WriteFile(rel.file("data/maps/a.bin"), "a");
    WriteFile(rel.file("data/b.bin"), "b");
}

bool Mentions(const TVerifyReport& r, const std::string& words) {
    for (const AnsiString& p : r.Problems)
        if (p.find(words) != AnsiString::npos) return true;
    return false;
}

// Rewrites field `field` of the update3.dat line whose first field is `local`.
void EditListField(const std::string& pub, const std::string& local, int field, const std::string& value) {
    std::string list = ReadFile(pub + "/update3.dat"), out;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream words(line);
        for (std::string w; words >> w;) f.push_back(w);
        if (f.size() > 2 && f[2] == local) {
            f[field - 1] = value;
            line.clear();
            for (const std::string& w : f) line += (line.empty() ? "" : " ") + w;
            line += "\r";
        }
        out += line + "\n";
    }
    WriteFile(pub + "/update3.dat", out);
}

}  // namespace

TEST(PublishProblems, EveryBadNameIsReportedAtOnceAndNothingIsWritten) {
    TempDir rel, out;
    WriteFile(rel.file("good.txt"), "g");
    WriteFile(rel.file("with blank.txt"), "a");
    WriteFile(rel.file("back\\slash.txt"), "a");
    WriteFile(rel.file("drive:colon.txt"), "a");
    WriteFile(rel.file("bell\a.txt"), "a");
    ASSERT_EQ(symlink("good.txt", rel.file("link.txt").c_str()), 0);
    mkfifo(rel.file("pipe").c_str(), 0644);
    WriteFile(rel.file("Update.pub"), "a key of its own");
    WriteFile(rel.file("upimg/0c.jpg"), "a skin");
    WriteFile(rel.file("data/m.bin"), "m");
    std::string longName;  // 60 characters: 120 bytes in Big5, 360 in the served name
    for (int i = 0; i < 60; ++i) longName += "\xE8\xAA\xAA";
    WriteFile(rel.file(longName + ".txt"), "a");
    TPublishOptions o = Options(rel, out);
    o.CodePage = 950;
    o.Packs = {{"nowhere", "maps"}, {"data", "my data"}, {"data", "maps/data"}};
    std::string refusal = RefusalOf(o);
    for (const char* words : {"with blank.txt: holds a blank", "back\\slash.txt: holds a backslash",
                              "drive:colon.txt: holds a colon", ".txt: holds a control character",
                              "link.txt: is a symbolic link", "pipe: is not a regular file",
                              "nowhere: the --pack folder does not exist", "Update.pub: is one of the updater's own",
                              "upimg/0c.jpg: is one of the updater's own", "NAME my data: holds a blank",
                              "NAME maps/data: holds a slash", ".txt: its served name would be 384 bytes long",
                              "(12 problems)"})
        EXPECT_NE(refusal.find(words), std::string::npos) << words << " in: " << refusal;
    EXPECT_FALSE(Exists(out.file("pub")));
}

TEST(PublishProblems, PlainFilesArePublishedAsCopiesNotTiedToTheRelease) {
    TempDir rel, out;
    WriteRelease(rel);
    Publish(Options(rel, out));
    std::ofstream(rel.file("readme.txt"), std::ios::binary | std::ios::trunc) << "edited in place";
    EXPECT_EQ(ReadFile(out.file("pub/" + ServedName(out.file("pub"), "readme.txt"))), "one");
    EXPECT_TRUE(VerifyRelease(out.file("pub"), "").Ok());
}

TEST(PublishDryRun, NamesEveryChangeAgainstThePreviousReleaseAndWritesNothing) {
    TempDir rel, out;
    WriteRelease(rel);
    Publish(Options(rel, out));
    const std::string before = ReadFile(out.file("pub/update3.dat"));
    WriteFile(rel.file("readme.txt"), "two");
    WriteFile(rel.file("news.txt"), "new");
    fs::remove(rel.file("bin/client.exe"));
    TPublishOptions o = Options(rel, out);
    o.Version = "2";
    o.Previous = out.file("pub");
    o.DryRun = true;
    TPublishSummary s = Publish(o);
    EXPECT_EQ(s.AddedNames, std::vector<AnsiString>{"news.txt"});
    EXPECT_EQ(s.ChangedNames, std::vector<AnsiString>{"readme.txt"});
    EXPECT_EQ(s.UnchangedNames, std::vector<AnsiString>{"data.pack"});
    EXPECT_EQ(s.RemovedNames, std::vector<AnsiString>{"bin\\client.exe"});
    EXPECT_EQ(ReadFile(out.file("pub/update3.dat")), before);
    int entries = 0;
    for (auto& e : fs::directory_iterator(out.path())) entries += e.path().filename() != "pub";
    EXPECT_EQ(entries, 0) << "a dry run left a folder beside the output";
}

TEST(Verify, FindsMissingShortDamagedAndUnsafeFiles) {
    TempDir rel, out;
    WriteRelease(rel);
    Publish(Options(rel, out));
    const std::string pub = out.file("pub");
    TVerifyReport good = VerifyRelease(pub, "");
    EXPECT_TRUE(good.Ok()) << good.Problems[0];
    EXPECT_EQ(good.Entries, 3);

    const std::string readme = ServedName(pub, "readme.txt"), client = ServedName(pub, "bin\\client.exe");
    fs::remove(pub + "/" + readme);
    // A gzip file cut short, with the list made to match it: only the data tell.
    std::string gz = ReadFile(pub + "/" + client);
    WriteFile(pub + "/" + client, gz.substr(0, gz.size() / 2));
    EditListField(pub, "bin\\client.exe", 5, std::to_string(gz.size() / 2));
    EditListField(pub, "bin\\client.exe", 6, "-");
    // A pack whose size the list gets wrong.
    EditListField(pub, "data.pack", 5, "12");
    // A removals file that the header names and the folder lacks.
    std::string list = ReadFile(pub + "/update3.dat");
    WriteFile(pub + "/update3.dat", list.insert(list.find('\r'), " removals=r.0123456789abcdef,9," + std::string(64, 'a')));
    TVerifyReport bad = VerifyRelease(pub, "");
    EXPECT_TRUE(Mentions(bad, "r.0123456789abcdef: the removals file is missing"));
    EXPECT_FALSE(bad.Ok());
    EXPECT_TRUE(Mentions(bad, "readme.txt: " + readme + " is missing"));
    EXPECT_TRUE(Mentions(bad, "bin\\client.exe: " + client + " is cut short")) << ::testing::PrintToString(bad.Problems);
    EXPECT_TRUE(Mentions(bad, "data.pack: " + ServedName(pub, "data.pack") + " has"));
    EXPECT_TRUE(Mentions(bad, "the list says 12"));

    // Packs the publisher would never make: a member leaving the folder or
    // naming an updater's own file, and gzip data too short to hold a
    // directory; and an entry naming one.
    auto addPack = [&](const std::string& remote, const std::string& archive) {
        WriteFile(out.file("raw"), archive);
        TGzip gzip(nullptr);
        gzip.WindowOnError = false;
        gzip.FileSource = SystemPathFromNative(out.file("raw"));
        gzip.FileDestination = SystemPathFromNative(pub + "/" + remote);
        ASSERT_EQ(gzip.Compress(), 0);
        std::ofstream(pub + "/update3.dat", std::ios::app)
            << "C " << remote << " " << remote << " 1 " << fs::file_size(pub + "/" + remote) << "\r\n";
    };
    TPackWriter writer;
    writer.AddBuffer("..\\outside.txt", "x");
    writer.AddBuffer(".\\update.pub", "a key of its own");
    writer.Write(SystemPathFromNative(out.file("evil.raw")));
    EditListField(pub, "bin\\client.exe", 3, "./UPDATE2.DAT");
    addPack("evil.gz", ReadFile(out.file("evil.raw")));
    addPack("short.gz", "not a pack");
    TVerifyReport packs = VerifyRelease(pub, "");
    EXPECT_TRUE(Mentions(packs, "evil.gz: the member \"..\\outside.txt\" is not safe")) << ::testing::PrintToString(packs.Problems);
    EXPECT_TRUE(Mentions(packs, "short.gz: the pack is shorter than its directory"));
    EXPECT_TRUE(Mentions(packs, "evil.gz: the member \".\\update.pub\" is one of the updater's own files"));
    EXPECT_TRUE(Mentions(packs, "./UPDATE2.DAT: one of the updater's own files"));

    EditListField(pub, "data.pack", 3, "..\\..\\evil");
    TVerifyReport unsafe = VerifyRelease(pub, "");
    EXPECT_TRUE(Mentions(unsafe, "would leave the application folder")) << ::testing::PrintToString(unsafe.Problems);
    fs::remove(pub + "/update3.dat");
    EXPECT_TRUE(Mentions(VerifyRelease(pub, ""), "update3.dat: missing"));
    // A list larger than any updater takes is read no further than that.
    std::ofstream(pub + "/update3.dat").close();
    fs::resize_file(pub + "/update3.dat", (64 << 20) + 1);
    TVerifyReport huge = VerifyRelease(pub, "");
    ASSERT_EQ(huge.Problems.size(), 1u);
    EXPECT_NE(huge.Problems[0].find("too large"), std::string::npos) << huge.Problems[0];
}

TEST(Verify, ChecksTheSignatureWithTheKeyAndFindsATamperedList) {
    TempDir rel, out, keys;
    WriteRelease(rel);
    TSecretKey key, other;
    GenerateKey(key);
    GenerateKey(other);
    WriteFile(keys.file("k.key"), SecretKeyText(key));
    WriteFile(keys.file("k.pub"), PublicKeyText(key));
    WriteFile(keys.file("other.pub"), PublicKeyText(other));
    TPublishOptions o = Options(rel, out);
    o.SecretKey = keys.file("k.key");
    Publish(o);
    const std::string pub = out.file("pub");
    TVerifyReport r = VerifyRelease(pub, keys.file("k.pub"));
    EXPECT_TRUE(r.Ok() && r.Signed && r.SignatureChecked);
    EXPECT_TRUE(Mentions(VerifyRelease(pub, keys.file("other.pub")), "update3.dat.minisig"));

    // One changed byte of the list: a size that still matches nothing.
    std::string list = ReadFile(pub + "/update3.dat");
    list[list.find(" 1 ") + 1] = '2';
    WriteFile(pub + "/update3.dat", list);
    TVerifyReport tampered = VerifyRelease(pub, keys.file("k.pub"));
    EXPECT_FALSE(tampered.SignatureChecked);
    EXPECT_TRUE(Mentions(tampered, "update3.dat.minisig"));
    fs::remove(pub + "/update3.dat.minisig");
    EXPECT_TRUE(Mentions(VerifyRelease(pub, keys.file("k.pub")), "missing, but a key was given"));
}

TEST(Kit, ServerListIsCheckedLineByLineWrittenInTheReleasesCodePageAndEndsWithTheSentinel) {
    EXPECT_EQ(ServerListForKit("A 127.0.0.1 21 5000 update\nB ftp.example 2121 9000 mirror\n", 1252),
              "A 127.0.0.1 21 5000 update\r\nB ftp.example 2121 9000 mirror\r\nend\r\n");
    EXPECT_EQ(ServerListForKit("A h 21 5000 u\r\nend\r\nignored after the end\r\n", 1252), "A h 21 5000 u\r\nend\r\n");
    // UTF-8 in, the release's code page out: the dialog reads it so.
    EXPECT_EQ(ServerListForKit("\xE5\x8C\x97\xE5\x8D\x80 h 21 5000 u\n", 950), "\xA5\x5F\xB0\xCF h 21 5000 u\r\nend\r\n");
    try {
        ServerListForKit("A h 21 5000 u\nB h port 5000 u\nC h 21\nD h 21 0 u\nE h 70000 5000 u\nNorth Hall h 21 5000 u\n"
                         "\xF0\x9F\x8E\xAE h 21 5000 u\n",
                         950);
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        for (const char* words :
             {"line 2 of the server list: the port \"port\"", "line 3 of the server list: 3 fields, give five",
              "line 4 of the server list: the time-out \"0\"", "line 5 of the server list: the port",
              "line 6 of the server list: 6 fields, give five: name host port time-out user (blanks part fields: a "
              "name cannot hold one)",
              "line 7 of the server list: the name \"\xF0\x9F\x8E\xAE\" cannot be written in"})
            EXPECT_NE(e.Message.find(words), std::string::npos) << words << " in: " << e.Message;
        EXPECT_EQ(e.Message.find("line 1 "), std::string::npos);
    }
    EXPECT_THROW(ServerListForKit("end\n", 1252), Exception);
    // A web mirror's port is its address's own; web mirrors alone serve players too.
    EXPECT_EQ(ServerListForKit("A h 21 5000 u\nW https://cdn.example/game/ 0 5000 -\n", 1252),
              "A h 21 5000 u\r\nW https://cdn.example/game/ 0 5000 -\r\nend\r\n");
    EXPECT_EQ(ServerListForKit("W https://cdn.example/game/ 0 5000 -\n", 1252),
              "W https://cdn.example/game/ 0 5000 -\r\nend\r\n");
}

TEST(Kit, RefusesWhatWouldStrandItsUsersAndLeavesNoHalfKit) {
    TempDir work;
    WriteFile(work.file("servers"), "A 127.0.0.1 21 5000 update\n");
    WriteFile(work.file("bad.pub"), "untrusted comment: x\nnot a key\n");
    WriteFile(work.file("icon.jpg"), "\xFF\xD8\xFF not a png");
    TKitOptions o;
    o.ServersFile = work.file("servers");
    o.Output = work.file("kit.tar.gz");
    o.ToolFolder = SKIFF_TOOL_DIR;
    auto refused = [&](TKitOptions k, const char* words) {
        try {
            MakeKit(k);
            ADD_FAILURE() << "accepted: " << words;
        } catch (const Exception& e) {
            EXPECT_NE(e.Message.find(words), std::string::npos) << e.Message;
        }
        EXPECT_FALSE(Exists(k.Output));
        EXPECT_FALSE(Exists(k.Output + ".part"));
    };
    TKitOptions k = o;
    k.Name = "../escape";
    refused(k, "must be letters");
    k = o;
    k.KeyFile = work.file("bad.pub");
    refused(k, "The public key is not valid base64");
    k = o;
    TSecretKey key;
    GenerateKey(key);
    WriteFile(work.file("good.pub"), PublicKeyText(key));
    k.KeyFile = work.file("good.pub");
    refused(k, "needs --release");  // without a serial any older release would pass
    k = o;
    k.IconFile = work.file("icon.jpg");
    refused(k, "not a PNG");
    k = o;
    k.ToolFolder = work.path();
    refused(k, "not where it should be");
    MakeKit(o);
    EXPECT_TRUE(Exists(o.Output));
}

// What a server or a list says reaches the log, a terminal and JSON without
// its control characters, and JSON stays valid UTF-8; a FIFO or a link
// planted as the log neither blocks nor is written through.
TEST(ServerText, ControlCharactersAreWrittenOutAndJsonStaysValid) {
    EXPECT_EQ(Printable("550 \x1B]0;owned\x07 \x1B[2J ok\x7F \xC2\x9B" "1m \xE8\xAA\xAA"),
              "550 \\x1B]0;owned\\x07 \\x1B[2J ok\\x7F \\x9B1m \xE8\xAA\xAA");
    EXPECT_EQ(JsonString("a\x01\xC2\x85\xFF\xED\xA0\x80z\"\xE8\xAA\xAA"),
              "\"a\\u0001\\u0085\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\\\"\xE8\xAA\xAA\"");
    TempDir app;
    UpdateLog::Open(app.appFolder());
    UpdateLog::Write("server: 421 bye\r\n2026-01-01 00:00:00 forged line \x1B[2J");
    const std::string log = ReadFile(app.file("update.log"));
    EXPECT_NE(log.find("421 bye  2026-01-01 00:00:00 forged line \\x1B[2J\n"), std::string::npos) << log;
    // A name in the release's code page (Big5 \xBB\xA1 is 說) is written as UTF-8.
    SetNameCodePage(950);
    UpdateLog::Write("data\\\xBB\xA1.txt: installed");
    SetNameCodePage(0);
    EXPECT_NE(ReadFile(app.file("update.log")).find("data\\\xE8\xAA\xAA.txt: installed"), std::string::npos);
    fs::remove(app.file("update.log"));
    ASSERT_EQ(mkfifo(app.file("update.log").c_str(), 0600), 0);
    UpdateLog::Write("no reader: must not block");
    fs::remove(app.file("update.log"));
    TempDir elsewhere;
    fs::create_symlink(elsewhere.file("victim"), app.file("update.log"));
    UpdateLog::Write("not through a link");
    EXPECT_FALSE(Exists(elsewhere.file("victim")));
    UpdateLog::Open("");
}
