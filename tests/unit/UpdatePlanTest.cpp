#include <gtest/gtest.h>

#include <random>
#include <set>

#include "TestSupport.h"
#include "app/ServerOrder.h"
#include "app/Texts.h"
#include "app/UpdatePlan.h"
#include "release/LineFields.h"

using Lines = std::vector<std::string>;

using namespace testing_support;

TEST(UpdatePlan, VersionsDecideByteByByte) {
    Lines installed = {"KOVRAN", "same.dll 105", "older.dll 105", "ten.dll 9", "nine.dll 10"};
    Lines remote = {"header", "E same.gz same.dll 105 10", "E older.gz older.dll 104 10",
                    "E ten.gz ten.dll 10 10", "E nine.gz nine.dll 9 10"};
    TUpdatePlan plan = BuildUpdatePlan(remote, installed);
    EXPECT_EQ(plan.Names, (Lines{"nine.dll"}));
    EXPECT_EQ(plan.Entries, (Lines{"U 4 E nine.gz nine.dll 9 10"}));
}

TEST(UpdatePlan, NamesMatchIgnoringCaseAndTheFirstInstalledLineDecides) {
    Lines installed = {"KOVRAN", "other 1", "client.exe 104", "CLIENT.EXE 1"};
    Lines remote = {"h", "E client.gz Client.EXE 105 512", "O new.txt data\\new.txt 1 3"};
    TUpdatePlan plan = BuildUpdatePlan(remote, installed);
    EXPECT_EQ(plan.Entries, (Lines{"U 2 E client.gz Client.EXE 105 512", "O new.txt data\\new.txt 1 3"}));
    EXPECT_EQ(plan.Names, (Lines{"Client.EXE", "data\\new.txt"}));
}

TEST(UpdatePlan, HeaderOnlyEmptyAndShortLists) {
    Lines remote = {"h", "E a.gz a 1 1", "O b b 1 1"};
    // A header-only update2.dat gets an empty line: everything is new.
    EXPECT_EQ(BuildUpdatePlan(remote, {"KOVRAN", ""}).Entries, (Lines{"E a.gz a 1 1", "O b b 1 1"}));
    EXPECT_TRUE(BuildUpdatePlan(remote, {}).Entries.empty()) << "an empty update2.dat plans nothing";
    EXPECT_TRUE(BuildUpdatePlan({"h"}, {"KOVRAN", ""}).Entries.empty());
    // Lines with too few fields are passed over on both sides.
    EXPECT_EQ(BuildUpdatePlan({"h", "E a.gz a", "O b b 2 1"}, {"K", "b", "b 1"}).Entries, (Lines{"U 2 O b b 2 1"}));
}

TEST(UpdatePlan, FastPlanEqualsThePairwisePlanOnRandomLists) {
    std::mt19937 rng(42);
    const char* names[] = {"a.dll", "A.DLL", "b.exe", "data\\c.bin", "D.txt", "d.TXT", "e"};
    const char* versions[] = {"1", "10", "9", "1.10", "1.9", "2", ""};
    for (int round = 0; round < 300; ++round) {
        Lines remote = {"header"}, installed;
        int nr = rng() % 12, ni = rng() % 10;
        for (int i = 0; i < nr; ++i)
            remote.push_back(std::string("E r ") + names[rng() % 7] + " " + versions[rng() % 6] + " 5");
        if (ni > 0) installed.push_back("KOVRAN");
        for (int i = 1; i < ni; ++i) {
            if (rng() % 8 == 0) installed.push_back("");
            else installed.push_back(std::string(names[rng() % 7]) + " " + versions[rng() % 7]);
        }
        if (installed.size() == 1) installed.push_back("");
        TUpdatePlan fast = BuildUpdatePlan(remote, installed), pairs = BuildUpdatePlanByPairs(remote, installed);
        ASSERT_EQ(fast.Entries, pairs.Entries) << "round " << round;
        ASSERT_EQ(fast.Names, pairs.Names);
    }
}

// A header of 150,000 fields was split field by field from its start each
// time: minutes of a frozen window. Now one pass.
TEST(UpdatePlan, AHugeHeaderIsReadInOnePass) {
    std::string header = "skiff-release 7";
    for (int i = 0; i < 150000; ++i) header += " x";
    const double t0 = CpuSeconds();
    EXPECT_EQ(DeclaredNamesCodePage(header + " codepage=950"), 950);
    EXPECT_EQ(BuildUpdatePlan({header, "O a a 2 1"}, {"KOVRAN", ""}).Entries.size(), 1u);
    EXPECT_LT(CpuSeconds() - t0, 1.0);
    EXPECT_EQ(DeclaredNamesCodePage("h codepage= codepage=x"), 0);
    EXPECT_EQ(DeclaredNamesCodePage("h codepag codepage=936"), 936);
}

TEST(ServerOrder, GeneratorReproducesItsSequence) {
    TRandomGenerator g(0);
    EXPECT_EQ(g.Next(0), 0u);
    EXPECT_EQ(g.State(), 1u);
    g.Seed(12345);
    std::vector<uint32_t> got;
    for (int i = 0; i < 4; ++i) got.push_back(g.Next(1000));
    // state: 12345*134775813+1 ... (mod 2^32), draw = state*1000 >> 32
    uint32_t s = 12345;
    for (int i = 0; i < 4; ++i) {
        s = s * 134775813u + 1u;
        EXPECT_EQ(got[i], static_cast<uint32_t>((uint64_t(s) * 1000) >> 32));
    }
    EXPECT_LT(ClockSeed(), 86400000u);
}

TEST(ServerOrder, ChosenServerFirstSentinelLastOtherVariesWithTheSeed) {
    Lines isp0 = {"A 127.0.0.1 21 900 u", "B 127.0.0.1 22 900 u", "C 127.0.0.1 23 900 u", "end"};
    for (uint32_t seed = 0; seed < 50; ++seed) {
        TRandomGenerator g(seed * 7919);
        Lines chosen = BuildServerOrder(isp0, 1, g);
        ASSERT_EQ(chosen.size(), 4u);
        EXPECT_EQ(chosen.front(), isp0[1]);
        EXPECT_EQ(chosen.back(), "end");
    }
    std::set<std::string> firsts;
    for (uint32_t seed = 0; seed < 50; ++seed) {
        TRandomGenerator g(seed * 104729);
        Lines other = BuildServerOrder(isp0, 3, g);
        EXPECT_EQ(other.back(), "end");
        EXPECT_EQ(std::set<std::string>(other.begin(), other.end()).size(), 4u);
        firsts.insert(other.front());
    }
    EXPECT_EQ(firsts.size(), 3u) << "with Other every server can come first; never the sentinel";
    TRandomGenerator g(1);
    EXPECT_EQ(BuildServerOrder({"end"}, 0, g), (Lines{"end"})) << "no server at all";
}

TEST(Texts, LanguageModesAndRemainingCounts) {
    EXPECT_EQ(LanguageModeOf(0x0404), 't');
    for (uint32_t id : {0x0804u, 0x0C04u, 0x1004u, 0x1404u}) EXPECT_EQ(LanguageModeOf(id), 's') << std::hex << id;
    for (uint32_t id : {0x0409u, 0x0411u, 0x0412u, 0u, 0x10000u}) EXPECT_EQ(LanguageModeOf(id), 'n') << std::hex << id;
    EXPECT_EQ(ImageSuffixOf('t'), "c");
    EXPECT_EQ(ImageSuffixOf('s'), "s");
    EXPECT_EQ(ImageSuffixOf('n'), "c");

    std::string text;
    ASSERT_TRUE(RemainingCountText(1, 'n', text));
    EXPECT_EQ(text, "1file remain to be updated");
    RemainingCountText(3, 'n', text);
    EXPECT_EQ(text, "3files remain to be updated");
    RemainingCountText(0, 'n', text);
    EXPECT_EQ(text, "0files remain to be updated");
    RemainingCountText(2, 't', text);
    EXPECT_EQ(text, "\xC1\xD9\xA6\xB3" "2" "\xAD\xD3\xC0\xC9\xAE\xD7\xBB\xDD\xAD\x6E\xA7\xF3\xB7\x73");
    RemainingCountText(3, 's', text);
    EXPECT_EQ(text, "\xBB\xB9\xD3\xD0" "3" "\xB8\xF6\xB5\xB5\xB0\xB8\xD0\xE8\xD2\xAA\xB8\xFC\xD0\xC2");
    EXPECT_FALSE(RemainingCountText(3, 'x', text));

    EXPECT_EQ(Localized(TText::NothingToUpdate, 'n'), "No files updateing needed");
    EXPECT_EQ(Localized(TText::ToUpdateHeading, 'n'), "files to be updated     ");
    EXPECT_EQ(Localized(TText::Disconnected, 't'), "\xB3s\xBDu\xA4\xA4\xC2_");
    EXPECT_EQ(Localized(TText::Disconnected, 's'), "\xC1\xAC\xCF\xDF\xD6\xD0\xB6\xCF") << "GB2312 of the simplified form";
    // Boxes with a path and the system's words: those stay as they are in
    // every mode, the rest is the mode's own text (無法啟動遊戲 / 无法启动游戏).
    EXPECT_EQ(Localized(TText::ClientNotStarted, 'n', "/g/portal.exe", "Permission denied"),
              "The client could not be started: \"/g/portal.exe\": Permission denied.");
    EXPECT_EQ(Localized(TText::ClientNotStarted, 't', "/g/\xA7\x5C", "x").substr(0, 12),
              "\xB5L\xAAk\xB1\xD2\xB0\xCA\xB9" "C\xC0\xB8");
    EXPECT_NE(Localized(TText::ClientNotStarted, 't', "/g/\xA7\x5C", "x").find("\"/g/\xA7\x5C\""), std::string::npos);
    EXPECT_EQ(Localized(TText::ClientNotStarted, 's', "/p", "x").substr(0, 4), "\xCE\xDE\xB7\xA8") << "无法";
    for (TText box : {TText::ServerListUnreadable, TText::KeyUnusable, TText::LauncherNotRepaired})
        EXPECT_NE(Localized(box, 't', "p", "w"), Localized(box, 'n', "p", "w"));
}

TEST(Texts, TheFailureBoxNamesTenEntriesAndCountsTheRest) {
    std::vector<TFailedEntry> failed;
    for (int i = 0; i < 13; ++i) failed.push_back({"f" + std::to_string(i), TFailReason::Damaged});
    failed[12].Reason = TFailReason::Write;
    AnsiString text = FailedEntriesText(failed, 'n');
    EXPECT_EQ(text.substr(0, text.find('\n')), "13 files could not be updated:");
    EXPECT_NE(text.find("\nf9 - damaged data\n"), std::string::npos);
    EXPECT_EQ(text.find("f10"), std::string::npos);
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), "and 3 more");
}
