// Our releases read by an updater built to the original format, and our
// updater held against it. Over a sequence of releases made with every
// publisher option (the delta form too), a player who updates at each release, one who starts
// afresh and one who skipped a release each install exactly the release in
// one run and then find nothing to update, in both updaters; ours ends with
// the same tree and update2.dat, less the files the releases dropped, which
// only ours removes.
#include "ReferenceReader.h"
#include "UpdaterFixture.h"

#include <map>
#include <set>

#include "crypto/Minisign.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/RemovalsFile.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kGong = "\xE5\x8A\x9F", kDragon = "\xE9\xBE\x8D";  // 功 (Big5 A5 5C) and 龍

// Releases 1 to 4 of one client, each published with the one before as its
// previous release, signed, with --remove-dropped and other header keys.
struct Sequence {
    TempDir src, out;
    TSecretKey key;
    int codePage, count = 0;
    explicit Sequence(int cp) : codePage(cp) {
        GenerateKey(key);
        WriteFile(out.file("k.key"), SecretKeyText(key));
    }
    std::string Dir(int k) const { return out.file("r" + std::to_string(k)); }
    // An 80-byte member name in the names' code page, after every other member.
    std::string LongMember() const {
        std::string name = "data/";
        for (int i = 0; i < (codePage == 950 ? 37 : 25); ++i) name += kDragon;
        return codePage == 950 ? name + "x" : name;
    }
    void Next() {
        const int k = ++count;
        if (k == 1) {
            WriteFile(src.file("\xE8\xAA\xAA\xE6\x98\x8E.txt"), "notes");  // 說明.txt
            WriteFile(src.file(kGong + "\xE8\x83\xBD/\xE8\xA8\xB1" + kGong + ".dat"), Random(5000, 2));
            WriteFile(src.file("drop.dll"), "dropped by release 2");
            for (int i = 0; i < 98; ++i) WriteFile(src.file("data/m" + std::to_string(10 + i)), std::to_string(i));
            WriteFile(src.file("data/" + kGong + ".bin"), "member");  // 99 members
        }
        if (k <= 2) {
            WriteFile(src.file("bin/client.exe"), Random(30000, k));
            WriteFile(src.file("readme.txt"), "readme " + std::to_string(k));
        }
        if (k == 2) {
            fs::remove(src.file("drop.dll"));
            WriteFile(src.file(LongMember()), "the hundredth");  // 100 members: cut at 99
        }
        // A file large enough for the delta form, changed in the middle.
        if (k == 1 || k == 3) WriteFile(src.file("media/big.dat"), Random(150000, 7) + Random(200000, k));
        if (k == 3) {
            fs::remove(src.file(LongMember()));
            fs::remove(src.file("data/m15"));
            for (int i = 0; i < 3; ++i) WriteFile(src.file("data/n" + std::to_string(i)), "new");  // 101
            WriteFile(src.file(kGong + "\xE8\x83\xBD/\xE8\xA8\xB1" + kGong + ".dat"), Random(5000, 3));
        }
        TPublishOptions o;
        o.ReleaseDir = src.path();
        o.OutDir = Dir(k);
        o.Version = std::to_string(100 + k);
        if (k > 1) o.Previous = Dir(k - 1);
        o.Packs = {{"data", "data"}};
        o.PlainGlobs = {"*.txt"};
        o.CodePage = codePage;
        o.SecretKey = out.file("k.key");
        o.RemoveDropped = true;
        o.Delta = k >= 2;  // a delta form from release 2 on, which neither updater uses yet
        if (k == 2) o.Connections = 1, o.Mirrors = "one";
        if (k == 3) o.Connections = 3;
        ::Publish(o);
        if (o.Delta) EXPECT_NE(ReadFile(Dir(k) + "/update3.dat").find(" delta="), std::string::npos);
    }
    // The files release `count` dropped, as the player's paths (UTF-8).
    std::set<std::string> Dropped() const {
        TStringList list;
        list.LoadFromFile(SystemPathFromNative(Dir(count) + "/update3.dat"));
        TRemovalsFile file;
        std::set<std::string> names;
        if (!DeclaredRemovalsFile(list[0], file)) return names;
        TStringList removals;
        removals.LoadFromFile(SystemPathFromNative(Dir(count) + "/" + file.Name));
        for (int i = 1; i < removals.Count(); ++i) {
            std::string name = CodePageToUtf8(GetField(3, removals[i]), codePage);
            std::replace(name.begin(), name.end(), '\\', '/');
            names.insert(name);
        }
        return names;
    }
};

// What a release installed in a folder: path (UTF-8) -> bytes; the
// updaters' own files aside.
std::map<std::string, std::string> Tree(const std::string& root, int codePage) {
    static const std::set<std::string> own = {"update2.dat", "update3.dat", "update3.dat.minisig", "update3.removals",
                                              "update.pub", "update.serial", "update.log", "update2.sums",
                                              "isp0.dat", "isp1.dat"};
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        if (e.is_regular_file() && !own.count(rel) && rel.rfind("upimg/", 0) != 0)
            files[codePage == 950 ? std::string(CodePageToUtf8(rel, 950)) : rel] = ReadFile(e.path().string());
    }
    return files;
}

struct Player {
    TempDir ours, theirs;
};

struct ReferenceFixture : UpdaterFixture {
    // A start of our updater in `folder` that runs the plan when there is one;
    // false when it found nothing to update.
    bool OurStart(const TempDir& folder, const Sequence& s, int port) {
        if (!Exists(folder.file("upimg"))) fs::copy(SKIFF_ASSETS_DIR "/upimg", folder.file("upimg"));
        WriteFile(folder.file("isp0.dat"), "North 127.0.0.1 " + std::to_string(port) + " 3000 update\r\nend\r\n");
        WriteFile(folder.file("update.pub"), PublicKeyText(s.key));
        SetApplicationFolderForTesting(folder.appFolder());
        CloseWindows();
        Start("en_US.UTF-8");
        RunSequence();
        Form1->CompleteCheck();
        EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
        dialogs.clear();
        if (!Form1->Button1->Enabled) {
            EXPECT_EQ(Form1->Label3->Caption(), "No files updateing needed");
            return false;
        }
        Form1->Button1Click(nullptr);
        EXPECT_EQ(Form1->ExitCode, 0) << ReadFile(folder.file("update.log"));
        return true;
    }

    // One start of each updater on release `s.count`, then a second that
    // must find nothing to update; the two folders then agree.
    void Play(Player& p, const Sequence& s, int port) {
        const std::string release = "release " + std::to_string(s.count);
        ReferenceReader reference;
        reference.app = p.theirs.path();
        reference.pub = s.Dir(s.count);
        reference.dbcs = s.codePage == 950;
        reference.Run(reference.Plan());
        EXPECT_TRUE(reference.Plan().empty()) << release;
        OurStart(p.ours, s, port);
        EXPECT_FALSE(OurStart(p.ours, s, port)) << release;
        // Every file of the release, in both.
        // Ours writes names in UTF-8 whatever the list's code page; theirs as the list has them.
        const auto theirs = Tree(p.theirs.path(), s.codePage), ours = Tree(p.ours.path(), 65001);
        for (const auto& [name, bytes] : Tree(s.src.path(), 65001)) {
            EXPECT_EQ(theirs.count(name) ? theirs.at(name) : "missing", bytes) << release << ": " << name;
            EXPECT_EQ(ours.count(name) ? ours.at(name) : "missing", bytes) << release << ": " << name;
        }
        // The same tree and update2.dat but for what only ours removes.
        const std::set<std::string> dropped = s.Dropped();
        auto expected = theirs;
        for (const std::string& name : dropped) expected.erase(name);
        EXPECT_EQ(ours, expected) << release;
        std::string installed;
        for (const std::string& line : ReferenceReader::Lines(ReadFile(p.theirs.file("update2.dat")))) {
            std::string name = CodePageToUtf8(ReferenceReader::Field(1, line), s.codePage);
            std::replace(name.begin(), name.end(), '\\', '/');
            if (!dropped.count(name)) installed += line + "\r\n";
        }
        EXPECT_EQ(ReadFile(p.ours.file("update2.dat")), installed) << release;
    }
};

}  // namespace

TEST_F(ReferenceFixture, EveryPlayerOfEveryReleaseEndsWithNothingToUpdateInBothUpdaters) {
    for (int codePage : {950, 65001}) {
        SCOPED_TRACE("code page " + std::to_string(codePage));
        Sequence s(codePage);
        Player updating, skipping;
        for (int k = 1; k <= 4; ++k) {
            s.Next();
            FtpServer server(s.Dir(k));
            Player fresh;
            Play(fresh, s, server.port());
            Play(updating, s, server.port());
            if (k != 2) Play(skipping, s, server.port());
        }
    }
}
