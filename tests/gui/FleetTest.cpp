// Release day with the real windows: three writable mirrors in different
// states (the new release, the old one, one half-uploaded) while the vendor
// pushes one release after another with skiff-publish, and players start at
// random moments. Every run must end with every file of one release, an
// update2.dat that says exactly that, and no entry that failed because of
// the push.
#include "UpdaterFixture.h"

#include <atomic>
#include <random>
#include <thread>

#include "crypto/Minisign.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/UpdateEntry.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const int kReleases = 6;

std::string Publisher() { return std::string(SKIFF_TOOL_DIR) + "/skiff-publish"; }

// Releases 1..6 of one client, each published with the one before as its
// previous release: a few files change each time, one is dropped.
struct Releases {
    TempDir src, out;
    TSecretKey key;
    std::string Dir(int k) const { return out.file("r" + std::to_string(k)); }
    Releases() {
        GenerateKey(key);
        WriteFile(out.file("k.key"), SecretKeyText(key));
        for (int k = 1; k <= kReleases; ++k) {
            for (int f = 0; f < 12; ++f)  // a third of the files change with each release
                if ((k == 1 || f % 3 == k % 3) && !(f == 11 && k >= 3))
                    WriteFile(src.file("data/f" + std::to_string(f) + ".bin"),
                              std::string(40000 + f * 1000, static_cast<char>('a' + (k * 7 + f) % 26)));
            WriteFile(src.file("big.bin"), std::string(1 << 20, static_cast<char>('0' + k)));
            WriteFile(src.file("readme.txt"), "release " + std::to_string(k));
            if (k == 3) fs::remove(src.file("data/f11.bin"));
            std::string cmd = Publisher() + " --release-version " + std::to_string(100 + k) + " --serial " +
                              std::to_string(k) + " --plain '*.txt' --pack data=data --remove-dropped --sign " +
                              out.file("k.key") + (k > 1 ? " --previous " + Dir(k - 1) : "") + " " + src.path() +
                              " " + Dir(k) + " > /dev/null";
            if (std::system(cmd.c_str()) != 0) throw std::runtime_error("publish " + std::to_string(k));
            // What a player of release k has: its files, by local name.
            files[k] = {};
            for (auto& e : fs::recursive_directory_iterator(src.path()))
                if (e.is_regular_file())
                    files[k][fs::relative(e.path(), src.path()).string()] = ReadFile(e.path().string());
        }
    }
    std::map<int, std::map<std::string, std::string>> files;
};

struct Mirror {
    TempDir root;
    std::unique_ptr<FtpServer> server;
    explicit Mirror(const std::string& from = "") {
        if (!from.empty())
            for (auto& e : fs::directory_iterator(from))
                if (e.is_regular_file()) fs::copy(e.path(), root.file(e.path().filename().string()));
        server = std::make_unique<FtpServer>(root.path(), "update", "x", std::vector<std::string>{"--writable"});
    }
};

}  // namespace

TEST_F(UpdaterFixture, PlayersDuringPushesGetOneReleaseWholeEveryTime) {
    Releases releases;
    // New, old, and half-uploaded: release 1's list with some of release 2's files.
    Mirror fresh(releases.Dir(2)), old(releases.Dir(1)), half(releases.Dir(1));
    for (auto& e : fs::directory_iterator(releases.Dir(2)))
        if (e.path().filename().string().find("data") == 0) fs::copy(e.path(), half.root.file(e.path().filename().string()), fs::copy_options::skip_existing);
    std::string mirrors;
    for (Mirror* m : {&fresh, &old, &half})
        mirrors += "ftp://update:x@127.0.0.1:" + std::to_string(m->server->port()) + "/\n";
    WriteFile(releases.out.file("mirrors"), mirrors);

    // The vendor: releases 2 to 6 pushed to every mirror, one after another.
    std::atomic<bool> pushing{true};
    std::atomic<int> pushFailures{0};
    std::thread vendor([&] {
        std::mt19937 pause(7);
        for (int k = 2; k <= kReleases; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + pause() % 900));
            std::string cmd = Publisher() + " push " + releases.Dir(k) + " --mirrors " + releases.out.file("mirrors") +
                              " > /dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) ++pushFailures;
        }
        pushing = false;
    });

    ServerList({fresh.server->port(), old.server->port(), half.server->port()});
    WriteFile(app.file("isp1.dat"), "3\r\n");  // "Other": the servers in random order
    WriteFile(app.file("update.pub"), PublicKeyText(releases.key));
    std::mt19937 random(11);
    int runs = 0;
    std::set<int> seen;  // the releases that players met: the fleet was in flux
    for (; runs < 20 || pushing; ++runs) {
        ASSERT_LT(runs, 200) << "the pushes never ended";
        if (runs % 2 == 0) {  // a fresh player; the others update what the last run left
            for (auto& e : fs::directory_iterator(app.path())) {
                const std::string name = e.path().filename().string();
                if (name != "upimg" && name != "isp0.dat" && name != "isp1.dat" && name != "update.pub") fs::remove_all(e.path());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
        CloseWindows();
        dialogs.clear();
        Start("en_US.UTF-8");
        RunSequence();
        ASSERT_TRUE(Form1->Core->RemoteList) << "run " << runs << ": " << (dialogs.empty() ? "" : dialogs[0].second);
        if (Form1->Button1->Enabled) Form1->Button1Click(nullptr);
        EXPECT_EQ(Form1->ExitCode, 0) << "run " << runs << ": " << ReadFile(app.file("update.log"));
        EXPECT_TRUE(dialogs.empty()) << "run " << runs << ": " << dialogs[0].second;
        // The release the run planned from, and every one of its files in place.
        TStringList list;
        list.LoadFromFile(app.appFolder() + "update3.dat");
        const int k = std::stoi(GetField(2, list[0])) - 100;
        ASSERT_TRUE(k >= 1 && k <= kReleases) << list[0];
        seen.insert(k);
        for (const auto& [name, bytes] : releases.files[k])
            EXPECT_EQ(ReadFile(app.file(name)), bytes) << "run " << runs << ", release " << k << ": " << name;
        EXPECT_FALSE(Exists(app.file("data/f11.bin")) && k >= 3) << "run " << runs << ": a dropped file stayed";
        // update2.dat names each entry at the list's version, nothing else.
        TStringList installed;
        installed.LoadFromFile(app.appFolder() + "update2.dat");
        std::map<std::string, std::string> recorded, listed;
        for (int i = 1; i < installed.Count(); ++i)
            if (!GetField(1, installed[i]).empty()) recorded[GetField(1, installed[i])] = GetField(2, installed[i]);
        for (int i = 1; i < list.Count(); ++i)
            if (IsKnownKind(GetField(1, list[i]))) listed[GetField(3, list[i])] = GetField(4, list[i]);
        EXPECT_EQ(recorded, listed) << "run " << runs;
    }
    vendor.join();
    EXPECT_EQ(pushFailures, 0);
    EXPECT_GE(runs, 20);
    EXPECT_GE(seen.size(), 3u);
}
