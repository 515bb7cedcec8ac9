// The publisher: a release round-trips through the plan and the installer,
// unchanged files keep their versions, and bad input writes nothing.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "app/UpdatePlan.h"
#include "app/UpdateRun.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "publish/Publisher.h"

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
    TGzip gzip(nullptr);
    gzip.DeleteSource = true;
    gzip.WindowOnError = false;
    TEntryInstaller in;
    in.AppFolder = app.appFolder();
    in.Gzip = &gzip;
    in.Installed = &installed;
    in.Download = [&](const TDownloadRequest& r) -> TDownloadResult {
        std::string data = ReadFile(pub + "/" + r.Remote);
        WriteWholeFile(r.LocalPath, data);
        if (r.Sink) r.Sink(data.data(), data.size());
        return {static_cast<int64_t>(data.size()), false};
    };
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
    second.Version = "9";  // "9" > "11" by byte order, so this one passes ...
    WriteFile(rel.file("readme.txt"), "three");
    EXPECT_NO_THROW(Publish(second));
    second.Version = "100";  // ... and "100" < "9" is refused
    WriteFile(rel.file("readme.txt"), "four");
    EXPECT_THROW(Publish(second), Exception);
    EXPECT_NE(ReadFile(out.file("pub/update3.dat")).find("readme.txt 9"), std::string::npos);  // still usable
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
    unsetenv("LANG");
}
