// The main window under a virtual display: language modes, skins, the exit
// question, the launcher and the skin error.
#include "UpdaterFixture.h"

#include <fstream>

#include "app/Texts.h"
#include "platform/CodePage.h"
#include "platform/Display.h"
#include "publish/Kit.h"

using namespace testing_support;

namespace {

void SaveScreenshot(TForm* form, const std::string& name) {
    std::vector<uint8_t> px = ReadWindowPixels(form->Window(), 0, 0, form->Width(), form->Height());
    if (px.empty()) return;
    std::filesystem::create_directories("artifacts");
    std::string ppm = "artifacts/" + name + ".ppm";
    std::ofstream f(ppm, std::ios::binary);
    f << "P6\n" << form->Width() << " " << form->Height() << "\n255\n";
    f.write(reinterpret_cast<const char*>(px.data()), static_cast<std::streamsize>(px.size()));
    f.close();
    if (system(("convert " + ppm + " artifacts/" + name + ".png 2>/dev/null && rm -f " + ppm).c_str()) != 0) {
    }
}

const char kHeadingT[] = "\xE9\x9C\x80\xE8\xA6\x81\xE6\x9B\xB4\xE6\x96\xB0\xE7\x9A\x84\xE7\xA8\x8B\xE5\xBC\x8F     ";
const char kConnectingT[] = "\xE9\x80\xA3\xE7\xB7\x9A\xE4\xB8\xAD...";
const char kConnectingS[] = "\xE8\xBF\x9E\xE7\xBA\xBF\xE4\xB8\xAD...";

}  // namespace

TEST_F(UpdaterFixture, EachLocaleShowsItsModeTextsAndSkins) {
    struct Case { const char* lang; char mode; const char* suffix; const char* heading; const char* connecting; };
    const Case cases[] = {
        {"zh_TW.UTF-8", 't', "c", kHeadingT, kConnectingT},
        {"zh_CN.UTF-8", 's', "s", kHeadingT, kConnectingS},  // these characters are the same in GB2312
        {"zh_HK.UTF-8", 's', "s", kHeadingT, kConnectingS},
        {"en_US.UTF-8", 'n', "c", "files to be updated     ", "connecting..."},
    };
    ServerList({1});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lang);
        Start(c.lang);
        EXPECT_EQ(Form1->LanguageMode, c.mode);
        EXPECT_EQ(Form1->Width(), 628);
        EXPECT_EQ(Form1->Height(), 479);
        EXPECT_EQ(Form1->Left(), (Screen->Width() - 628) / 2);
        EXPECT_EQ(Form1->Top(), (Screen->Height() - 479) / 2);
        EXPECT_EQ(Form1->Label1->CaptionUtf8(), c.heading);
        EXPECT_EQ(Form1->Image1->PictureName, app.appFolder() + "upimg\\0" + c.suffix + ".jpg");
        EXPECT_EQ(Form1->Image4->PictureName, app.appFolder() + "upimg\\3-1" + c.suffix + ".jpg");
        EXPECT_EQ(Form1->Label4->Caption(), "0% ");
        EXPECT_EQ(Form1->Label4->Top(), 328);
        EXPECT_TRUE(Form1->FirstResizeFlag);
        Form1->Label3->SetCaption(Localized(TText::Connecting, Form1->LanguageMode));
        Form1->CentreLabel(Form1->Label3);
        Form1->Label3->Show();
        EXPECT_EQ(Form1->Label3->CaptionUtf8(), c.connecting);
        EXPECT_EQ(Form1->Label3->Left(), (628 - Form1->Label3->Width()) / 2);
        Form1->FirstResizeFlag = false;  // the sequence has tests of its own
        Form1->Show();
        ASSERT_TRUE(PumpUntil([] { return Form1->Visible(); }));
        PumpUntil([] { return false; }, 0.3);
        SaveScreenshot(Form1, std::string("main-") + c.lang);
        // Pressing and releasing the exit picture swaps its skin and back.
        Form1->Image4MouseDown(Form1->Image4, mbRight, 0, 1, 1);
        EXPECT_EQ(Form1->Image4->PictureName, app.appFolder() + "upimg\\3-2" + c.suffix + ".jpg");
        Form1->Image4MouseUp(Form1->Image4, mbRight, 0, 1, 1);
        EXPECT_EQ(Form1->Image4->PictureName, app.appFolder() + "upimg\\3-1" + c.suffix + ".jpg");
        CloseWindows();
    }
}

TEST_F(UpdaterFixture, ExitQuestionNoChangesNothingYesEndsWithoutWritingTheList) {
    ServerList({1});
    Start("en_US.UTF-8");
    confirmAnswer = false;
    Form1->Button4Click(nullptr);
    EXPECT_EQ(CountDialogs(TDialogKind::Confirm, "Are you sure to exit ?"), 1u);
    EXPECT_FALSE(Form1->AbortFlag);
    EXPECT_FALSE(Application->Terminated);
    confirmAnswer = true;
    Form1->Button4Click(nullptr);
    EXPECT_TRUE(Form1->AbortFlag);
    EXPECT_TRUE(Application->Terminated);
    EXPECT_EQ(Form1->Label3->Caption(), "please wait...");
    EXPECT_FALSE(Exists(app.file("update2.dat")));
}

TEST_F(UpdaterFixture, MissingSkinIsReportedAndTheSequenceNeverStarts) {
    ServerList({1});
    std::filesystem::remove(app.file("upimg/2-1c.jpg"));
    Start("zh_TW.UTF-8");
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].first, TDialogKind::Error);
    EXPECT_NE(dialogs[0].second.find("2-1c.jpg"), std::string::npos);
    EXPECT_FALSE(Form1->FirstResizeFlag);
    Form1->FormResize(Form1);  // does nothing: no dialog, no attempt
    EXPECT_EQ(Form1->Core->ServerIndex, -1);
    EXPECT_FALSE(Form2->Modal());
}

TEST_F(UpdaterFixture, LaunchPictureStartsPortalWithOneFromTheApplicationFolder) {
    // The application folder has a blank in its path, and a program "My"
    // waits at the prefix where a split at the blank would land.
    const std::string folder = app.file("My Games/client");
    std::filesystem::create_directories(folder);
    std::filesystem::copy(app.file("upimg"), folder + "/upimg");
    SetApplicationFolderForTesting(app.appFolder() + "My Games\\client\\");
    WriteFile(app.file("My"), "#!/bin/sh\ntouch \"" + app.file("My.ran") + "\"\n");
    chmod(app.file("My").c_str(), 0755);
    WriteFile(folder + "/portal.exe", "#!/bin/sh\necho \"$0 $1 $(pwd)\" > \"$(dirname \"$0\")/portal.ran\"\n");
    chmod((folder + "/portal.exe").c_str(), 0755);
    ServerList({1});
    Start("en_US.UTF-8");
    ASSERT_EQ(chdir("/"), 0);  // whatever the current directory is
    Form1->Show();
    Form1->Image3Click(nullptr);
    EXPECT_FALSE(Form1->Visible());
    EXPECT_TRUE(Application->Terminated);
    ASSERT_TRUE(PumpUntil([&] { return Exists(folder + "/portal.ran") && !ReadFile(folder + "/portal.ran").empty(); }));
    EXPECT_EQ(ReadFile(folder + "/portal.ran"), folder + "/portal.exe 1 " + folder + "\n");
    EXPECT_FALSE(Exists(app.file("My.ran")));
}

TEST_F(UpdaterFixture, ALauncherThatCannotStartIsReportedAndTheWindowStays) {
    ServerList({1});
    Start("en_US.UTF-8");
    Form1->Show();
    Form1->Image3Click(nullptr);  // no portal.exe at all
    EXPECT_TRUE(Form1->Visible());
    EXPECT_FALSE(Application->Terminated);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].second,
              "The client could not be started: \"" + app.path() + "/portal.exe\": No such file or directory.");

    dialogs.clear();
    WriteFile(app.file("portal.exe"), "#!/bin/sh\n");
    chmod(app.file("portal.exe").c_str(), 0644);  // not executable
    Form1->Image3Click(nullptr);
    EXPECT_TRUE(Form1->Visible());
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].second,
              "The client could not be started: \"" + app.path() + "/portal.exe\": Permission denied.");
}

// A kit's server names (UTF-8 in the vendor's list) reach the dialog as the
// release's code page spells them, for players in that language.
TEST_F(UpdaterFixture, KitServerNamesReachTheDialogInTheReleasesCodePage) {
    WriteFile(app.file("isp0.dat"), ServerListForKit("\xE5\x8C\x97\xE5\x8D\x80 127.0.0.1 21 5000 u\n", 950));
    Start("zh_TW.UTF-8");
    ASSERT_EQ(Form2->ListBox1->Items.Count(), 2);  // the server and "Other"
    EXPECT_EQ(DisplayToUtf8(Form2->ListBox1->Items[0]), "\xE5\x8C\x97\xE5\x8D\x80");
}
