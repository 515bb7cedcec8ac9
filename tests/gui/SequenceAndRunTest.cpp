// Server choice, connection sequence, plan and update run against real
// pyftpdlib servers on 127.0.0.1, with the real windows.
#include "UpdaterFixture.h"

#include <fstream>

#include <fcntl.h>

#include <iterator>
#include <sstream>
#include <unistd.h>

#include "LoopbackPeer.h"
#include "platform/FileSystem.h"
#include "app/Texts.h"
#include "textconv/CVCode.h"

using namespace testing_support;

namespace {

const std::string kDisconnectedBox =
    "Disconnected\nNo server could be reached. Please check your Internet connection and start the updater again.";

// An entry line of update3.dat with another size (field 5).
std::string WithSize(const std::string& line, const std::string& size) {
    std::istringstream in(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(in), {}};
    fields[4] = size;
    std::string out;
    for (auto& f : fields) out += (out.empty() ? "" : " ") + f;
    return out;
}

// A release with an "E", an "O" and a "C" entry, published into `out`.
struct Release : TestRelease {
    std::string client = Random(200000, 1);
    Release(const std::string& version = "200") {
        Add("bin/client.exe", client);
        Add("readme.txt", "new readme\r\n");
        Add("data/maps/a.bin", Random(5000, 2));
        Add("data/b.txt", "b");
        Publish(version, {{"data", "data"}}, {"*.txt"});
    }
};

}  // namespace

TEST_F(UpdaterFixture, FirstServerRefusesSecondLacksListThirdPlansAndTheRunInstalls) {
    Release release;
    TempDir empty;
    FtpServer withoutList(empty.path()), withList(release.root());
    ServerList({ClosedPort(), withoutList.port(), withList.port()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nreadme.txt 100\r\nbin\\client.exe 200\r\n");
    WriteFile(app.file("isp1.dat"), "1\r\n");  // the server without the list is tried first
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_TRUE(Form1->ConnectedFlag);
    EXPECT_EQ(Form1->Core->Session()->Port, withList.port());
    EXPECT_GE(Form1->Core->ServerIndex, 1);  // it moved on from the chosen server
    EXPECT_EQ(ReadFile(app.file("isp1.dat")), "1\r\n");
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 2);
    EXPECT_EQ(Form1->ListBox1->Items[0], "readme.txt");
    EXPECT_EQ(Form1->ListBox1->Items[1], "data.pack");
    EXPECT_EQ(Form1->Label3->Caption(), "2files remain to be updated");
    EXPECT_TRUE(Form1->Button1->Enabled);
    EXPECT_EQ((*Form1->Core->UpdateList)[0].substr(0, 4), "U 1 ");

    Form1->Image2MouseUp(Form1->Image2, mbLeft, 0, 1, 1);  // release on the start picture
    EXPECT_FALSE(Form1->Button1->Enabled);
    EXPECT_EQ(ReadFile(app.file("readme.txt")), "new readme\r\n") << ReadFile(app.file("update.log"));
    EXPECT_EQ(ReadFile(app.file("data/maps/a.bin")), Random(5000, 2));
    EXPECT_EQ(ReadFile(app.file("data/b.txt")), "b");
    EXPECT_FALSE(Exists(app.file("data.pack")));
    EXPECT_FALSE(Exists(app.file(ServedName(release.root(), "data.pack"))));
    EXPECT_FALSE(Exists(app.file("bin/client.exe")));  // unchanged: not planned, not fetched
    EXPECT_EQ(ReadFile(app.file("update2.dat")),
              "KOVRAN\r\nreadme.txt 200\r\nbin\\client.exe 200\r\ndata.pack 200\r\n");
    EXPECT_EQ(Form1->Label3->Caption(), "0files remain to be updated");
    EXPECT_EQ(Form1->ListBox2->Items.Count(), 2);
    EXPECT_TRUE(Form1->Image3->Visible());
    EXPECT_EQ(dialogs.size(), 0u) << dialogs[0].second;
}

TEST_F(UpdaterFixture, NewFolderInstallsEverythingAndTheNextStartHasNothingToDo) {
    Release release;
    FtpServer server(release.root());
    ServerList({server.port()});
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\n");
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 3);  // every file is new
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("bin/client.exe")), release.client);
    EXPECT_FALSE(Exists(app.file(ServedName(release.root(), "bin\\client.exe"))));
    EXPECT_EQ(ReadFile(app.file("update2.dat")),
              "KOVRAN\r\n\r\nbin\\client.exe 200\r\nreadme.txt 200\r\ndata.pack 200\r\n");
    CloseWindows();
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(Form1->ListBox1->Items.Count(), 0);
    EXPECT_EQ(Form1->Label3->Caption(), "No files updateing needed");
    EXPECT_TRUE(Form1->Label3->Visible());
    EXPECT_TRUE(Form1->Image3->Visible());
    EXPECT_FALSE(Form1->Button1->Enabled);
}

TEST_F(UpdaterFixture, SizeMismatchOnTheFirstOfThreeLeavesOnlyThatOneUnrecorded) {
    Release release;
    // Claim a wrong size for the first entry (bin\client.exe).
    TStringList list;
    list.LoadFromFile(SystemPathFromNative(release.root() + "/update3.dat"));
    AnsiString line = list[1];
    list[1] = WithSize(line, "17");
    list.SaveToFile(SystemPathFromNative(release.root() + "/update3.dat"));
    FtpServer server(release.root());
    ServerList({server.port()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nbin\\client.exe 1\r\n");
    WriteFile(app.file("bin/client.exe"), "old client");
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 3);
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("bin/client.exe")), "old client");  // untouched
    EXPECT_EQ(Form1->ListBox2->Items.Count(), 2);
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 1);  // left to try again
    EXPECT_EQ(Form1->ListBox1->Items[0], "bin\\client.exe");
    EXPECT_TRUE(Form1->Button1->Enabled);
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\nbin\\client.exe 1\r\nreadme.txt 200\r\ndata.pack 200\r\n");
    EXPECT_EQ(Temporaries(app.path()), std::vector<std::string>());
}

TEST_F(UpdaterFixture, AFailedEntryIsNamedWithItsReasonInEveryMode) {
    Release release;
    TStringList list;
    list.LoadFromFile(SystemPathFromNative(release.root() + "/update3.dat"));
    list[1] = WithSize(list[1], "17");  // bin\client.exe: a wrong size
    list.SaveToFile(SystemPathFromNative(release.root() + "/update3.dat"));
    FtpServer server(release.root());
    ServerList({server.port()});
    // 有1個檔案未能更新： and 檔案大小不符, as stored in Big5.
    const std::string big5 = "\xA6\xB3" "1" "\xAD\xD3\xC0\xC9\xAE\xD7\xA5\xBC\xAF\xE0\xA7\xF3\xB7s";
    const std::string big5Label = big5 + "\xA1" "A\xAB\xF6\xB6}\xA9l\xAD\xAB\xB8\xD5";  // ，按開始重試
    const std::string big5Message =
        big5 + "\xA1G\nbin\\client.exe - \xC0\xC9\xAE\xD7\xA4j\xA4p\xA4\xA3\xB2\xC5";
    struct Mode {
        const char* locale;
        std::string label, message;
    };
    for (const Mode& m : {Mode{"en_US.UTF-8", "1 file not updated: press Start to retry",
                               "1 file could not be updated:\nbin\\client.exe - size differs"},
                          Mode{"zh_TW.UTF-8", big5Label, big5Message},
                          Mode{"zh_CN.UTF-8", ConvertBig5ToGB(big5Label), ConvertBig5ToGB(big5Message)}}) {
        CloseWindows();
        dialogs.clear();
        WriteFile(app.file("update2.dat"), "KOVRAN\r\nbin\\client.exe 1\r\n");
        Start(m.locale);
        RunSequence();
        ASSERT_EQ(Form1->ListBox1->Items.Count(), 3) << m.locale;
        Form1->Button1Click(nullptr);
        EXPECT_EQ(Form1->ListBox2->Items.Count(), 2) << "the failed name goes back to the list to update";
        EXPECT_EQ(Form1->Label3->Caption(), m.label) << m.locale;
        ASSERT_EQ(dialogs.size(), 1u) << m.locale;
        EXPECT_EQ(dialogs[0].first, TDialogKind::Message);
        EXPECT_EQ(dialogs[0].second, m.message) << m.locale;
        EXPECT_TRUE(Form1->Image3->Visible());
    }
    EXPECT_NE(ConvertBig5ToGB(big5).find("\xD3\xD0"), std::string::npos) << "有 in GB2312";
}

TEST_F(UpdaterFixture, AllServersFailingShowsDisconnectedAfterOneAttemptEach) {
    ServerList({ClosedPort()});
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(Form1->Core->ServerIndex, 0);  // one server line: one attempt
    EXPECT_EQ(Form1->Label3->Caption(), "Disconnected");
    EXPECT_TRUE(Form1->Label3->Visible());
    EXPECT_EQ(CountDialogs(TDialogKind::Message, kDisconnectedBox), 1u);
    EXPECT_FALSE(Form1->Core->InstalledList);

    CloseWindows();
    dialogs.clear();
    WriteFile(app.file("isp0.dat"), "end\r\n");  // no server at all: nothing is tried
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(Form1->Core->ServerIndex, -1);
    EXPECT_EQ(CountDialogs(TDialogKind::Message, kDisconnectedBox), 1u);

    // A server that answers but has no list: no word of the player's connection.
    CloseWindows();
    dialogs.clear();
    TempDir empty;
    FtpServer listless(empty.path());
    ServerList({listless.port()});
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(CountDialogs(TDialogKind::Message, "Disconnected"), 1u);
}

// No server, but the client is installed: the same box asks whether to
// start it as it is, and Yes does.
TEST_F(UpdaterFixture, WithEveryServerDownTheInstalledClientIsOffered) {
    ServerList({ClosedPort()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nportal.exe 1\r\n");
    WriteFile(app.file("portal.exe"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/portal.ran\"\n");
    chmod(app.file("portal.exe").c_str(), 0755);
    confirmAnswer = true;
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(CountDialogs(TDialogKind::Confirm, kDisconnectedBox + "\nStart the installed client anyway?"), 1u);
    EXPECT_TRUE(PumpUntil([&] { return Exists(app.file("portal.ran")); }));
    EXPECT_EQ(Form1->ExitCode, 0);
}

// --unattended: no box and no click; the run, then the launch when nothing
// failed, and the window closes with the exit code in every case.
TEST_F(UpdaterFixture, AnUnattendedStartUpdatesAndLaunchesOrEndsWithItsExitCode) {
    Release release;
    FtpServer server(release.root(), "update", "x", {"--refuse", ServedName(release.root(), "readme.txt")});
    ServerList({server.port()});
    WriteFile(app.file("portal.exe"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/portal.ran\"\n");
    chmod(app.file("portal.exe").c_str(), 0755);
    auto unattended = [&] {
        CloseWindows();
        Start("en_US.UTF-8");
        Form1->Unattended = true;
        Form1->Show();
        bool halted = false;  // the program's end while connected
        try {
            Form1->FormResize(Form1);
        } catch (const HaltSignal&) {
            halted = true;
        }
        EXPECT_TRUE(halted || !Form1->Visible()) << Form1->ExitCode;
        EXPECT_TRUE(dialogs.empty()) << dialogs[0].second;
    };
    unattended();  // readme.txt is refused: no launch
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitFailedEntries);
    EXPECT_EQ(ReadFile(app.file("bin/client.exe")), release.client);
    EXPECT_FALSE(Exists(app.file("portal.ran")));
    EXPECT_FALSE(Exists(app.file("isp1.dat"))) << "no server was chosen by hand";

    FtpServer whole(release.root());
    ServerList({whole.port()});
    unattended();
    EXPECT_EQ(Form1->ExitCode, 0);
    EXPECT_EQ(ReadFile(app.file("readme.txt")), "new readme\r\n") << ReadFile(app.file("update.log"));
    EXPECT_TRUE(PumpUntil([&] { return Exists(app.file("portal.ran")); }));

    ServerList({ClosedPort()});
    unattended();
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitNoServer);
}

TEST_F(UpdaterFixture, ChoiceIsSavedAndPreselectedAndOddChoicesFallBackToTheFirst) {
    ServerList({ClosedPort(), ClosedPort()});
    Start("en_US.UTF-8");
    ASSERT_EQ(Form2->ListBox1->Items.Count(), 3);
    EXPECT_EQ(Form2->ListBox1->Items[2], "Other");
    EXPECT_EQ(Form2->ListBox1->ItemIndex(), 0);
    Form2->ListBox1->SetItemIndex(1);
    RunSequence();
    EXPECT_EQ(ReadFile(app.file("isp1.dat")), "1\r\n");
    EXPECT_EQ(Form1->Core->ServerIndex, 1);  // both tried
    for (const char* saved : {"1\r\n", "2\r\n", "abc\r\n", "7\r\n", "-1\r\n"}) {
        CloseWindows();
        WriteFile(app.file("isp1.dat"), saved);
        Start("en_US.UTF-8");
        int expected = saved[0] == '1' ? 1 : saved[0] == '2' ? 2 : 0;
        EXPECT_EQ(Form2->ListBox1->ItemIndex(), expected) << saved;
    }
}

TEST_F(UpdaterFixture, ListingCheckIgnoresCaseAndMissingServerListIsNamed) {
    ServerList({1});
    Start("en_US.UTF-8");
    Form1->Core->NoteListItem("readme.txt");
    Form1->Core->NoteListItem("UPDATE3.DAT");
    EXPECT_TRUE(Form1->Core->ListingHas("update3.dat"));
    EXPECT_FALSE(Form1->Core->ListingHas("update3.da"));
    CloseWindows();
    std::filesystem::remove(app.file("isp0.dat"));
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].first, TDialogKind::Error);
    EXPECT_NE(dialogs[0].second.find("isp0.dat"), std::string::npos);
    EXPECT_FALSE(Application->Terminated);  // the window stays for the exit picture
}

TEST_F(UpdaterFixture, ConfirmedExitDuringAFailingAttemptEndsWithoutDisconnected) {
    // A: its accept queue is full, so the connection attempt waits for its time-out.
    // B: would accept, and must never be tried.
    int portA, portB;
    int full = ListenOnLoopback(0, portA);
    int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(portA));
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int other = ListenOnLoopback(4, portB);
    WriteFile(app.file("isp0.dat"), "A 127.0.0.1 " + std::to_string(portA) + " 600 update\r\nB 127.0.0.1 " +
                                        std::to_string(portB) + " 600 update\r\nend\r\n");
    WriteFile(app.file("isp1.dat"), "0\r\n");
    Start("en_US.UTF-8");
    confirmAnswer = true;
    std::function<void()> poke = [&] {
        if (Form1->Core->ServerIndex >= 0) Form1->Button4Click(nullptr); else PostTask(poke);
    };
    PostTask(poke);
    RunSequence();
    EXPECT_TRUE(Form1->AbortFlag);
    EXPECT_EQ(Form1->Label3->Caption(), "please wait...");
    EXPECT_EQ(CountDialogs(TDialogKind::Message, kDisconnectedBox), 0u);
    EXPECT_TRUE(Application->Terminated);
    fcntl(other, F_SETFL, O_NONBLOCK);
    EXPECT_LT(::accept(other, nullptr, nullptr), 0);  // B never saw a connection
    close(filler);
    close(full);
    close(other);
}

TEST_F(UpdaterFixture, HostileNamesAreRefusedAndNothingLandsOutsideTheFolder) {
    TempDir root;
    TGzip gz(nullptr);
    gz.WindowOnError = false;
    WriteFile(root.file("evil.txt"), "evil");
    WriteFile(root.file("ok.txt"), "fine");
    WriteFile(root.file("update3.dat"),
              "hdr\r\nO evil.txt ..\\escaped.txt 2 4\r\nO evil.txt \\abs.txt 2 4\r\nO ../evil.txt c:\\x.txt 2 4\r\n"
              "O ok.txt ok.txt 2 4\r\n");
    FtpServer server(root.path());
    ServerList({server.port()});
    TempDir outside;  // the application folder's parent must stay clean
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 4);
    Form1->Button1Click(nullptr);
    EXPECT_EQ(ReadFile(app.file("ok.txt")), "fine");
    EXPECT_FALSE(Exists(std::filesystem::path(app.path()).parent_path() / "escaped.txt"));
    EXPECT_FALSE(Exists("/abs.txt"));
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\n\r\nok.txt 2\r\n");
}

TEST_F(UpdaterFixture, ServerStoppedMidDownloadKeepsFinishedEntriesAndNoHalfFile) {
    TestRelease r;
    r.Add("a.txt", "first");
    r.Add("big.bin", Random(64 << 20, 3));
    r.Publish("5", {}, {"*.txt", "*.bin"});
    auto server = std::make_unique<FtpServer>(r.root());
    ServerList({server->port()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nbig.bin 1\r\n");
    WriteFile(app.file("big.bin"), "old big");
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 2);
    std::function<void()> stopper = [&] {
        if (Form1->Core->Runner->RunBytesDone() > (1 << 20)) server->Stop(); else PostTask(stopper);
    };
    PostTask(stopper);
    EXPECT_NO_THROW(Form1->Button1Click(nullptr));  // the run ends, and says what it could not do
    EXPECT_EQ(CountDialogs(TDialogKind::Message, "1 file could not be updated:\nbig.bin - download failed"), 1u);
    try {
        Form1->Close();
    } catch (const HaltSignal&) {
    }
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\nbig.bin 1\r\na.txt 5\r\n");
    EXPECT_EQ(ReadFile(app.file("big.bin")), "old big");
    EXPECT_TRUE(Temporaries(app.path()).empty());
    // What arrived stays, for the next run to go on from: the segments and
    // the record of those that are in.
    bool recorded = false;
    for (const AnsiString& p : PartialsBelow(app.appFolder()))
        recorded = recorded || (p.size() > 7 && p.substr(p.size() - 7) == ".ranges" && std::filesystem::file_size(p) > 0);
    EXPECT_TRUE(recorded);
}

TEST_F(UpdaterFixture, WindowClosedMidRunWhileDisconnectedStopsTheRunSafely) {
    Release release;
    FtpServer server(release.root());
    ServerList({server.port()});
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 3);
    // After the first entry the connection is gone and the user closes the window.
    std::function<void()> closer = [&] {
        if (Form1->ListBox2->Items.Count() >= 1) {
            Form1->ConnectedFlag = false;
            Form1->Close();
        } else {
            PostTask(closer);
        }
    };
    PostTask(closer);
    Form1->Button1Click(nullptr);  // returns without touching the freed lists
    EXPECT_FALSE(Form1->Core->InstalledList);
    EXPECT_EQ(ReadFile(app.file("update2.dat")), "KOVRAN\r\n\r\nbin\\client.exe 200\r\n");
    EXPECT_TRUE(Application->Terminated);
}

TEST_F(UpdaterFixture, TheLogNamesTheStepAtWhichEachServerFailed) {
    TempDir empty;
    Release release;
    FtpServer withoutList(empty.path()), otherUser(release.root(), "someone-else");
    int silentPort;
    int silent = ListenOnLoopback(4, silentPort);  // takes the connection, never greets
    int closed = ClosedPort();
    WriteFile(app.file("isp0.dat"), "Closed 127.0.0.1 " + std::to_string(closed) + " 500 update\r\nWrongUser 127.0.0.1 " +
                                        std::to_string(otherUser.port()) + " 500 update\r\nNoList 127.0.0.1 " +
                                        std::to_string(withoutList.port()) + " 500 update\r\nSilent 127.0.0.1 " +
                                        std::to_string(silentPort) + " 500 update\r\nend\r\n");
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_EQ(Form1->ExitCode, TForm1::kExitNoServer);
    std::string log = ReadFile(app.file("update.log"));
    auto server = [](const char* name, int port) {
        return std::string("server ") + name + " (127.0.0.1:" + std::to_string(port) + "): ";
    };
    EXPECT_NE(log.find(server("Closed", closed) + "connect failed"), std::string::npos) << log;
    // pyftpdlib answers a wrong login only after a pause, past this server's
    // half-second time-out: the step is what matters.
    EXPECT_NE(log.find(server("WrongUser", otherUser.port()) + "login failed"), std::string::npos) << log;
    EXPECT_NE(log.find(server("NoList", withoutList.port()) + "its listing holds no update3.dat"), std::string::npos)
        << log;
    EXPECT_NE(log.find(server("Silent", silentPort) + "greeting failed"), std::string::npos) << log;
    EXPECT_NE(log.find("no server could be used"), std::string::npos) << log;
    close(silent);
}

// Work and memory stay bounded whatever a server serves: a list of more
// than a million entries is refused with its reason.
TEST_F(UpdaterFixture, AListOfMoreThanAMillionEntriesIsRefused) {
    TempDir pub;
    std::string list = "skiff-release 1\r\n";
    list.reserve(12 << 20);
    for (int i = 0; i <= 1000000; ++i) list += "O a b 1 1\r\n";
    WriteFile(pub.file("update3.dat"), list);
    FtpServer server(pub.path());
    ServerList({server.port()});
    Start("en_US.UTF-8");
    RunSequence();
    EXPECT_FALSE(Form1->Button1->Enabled);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_NE(dialogs[0].second.find("names more than 1000000 files"), std::string::npos) << dialogs[0].second;
}

// A damaged size field ends the run with its error, and the run is over:
// a later connection loss is not taken for one during a run.
TEST_F(UpdaterFixture, ADamagedEntryEndsTheRunAndLeavesItNotRunning) {
    Release release;
    std::ofstream(release.root() + "/update3.dat", std::ios::app) << "O x zz.txt 1 12k\r\n";
    FtpServer server(release.root());
    ServerList({server.port()});
    WriteFile(app.file("update2.dat"), "KOVRAN\r\nbin\\client.exe 200\r\nreadme.txt 200\r\ndata.pack 200\r\n");
    Start("en_US.UTF-8");
    RunSequence();
    ASSERT_EQ(Form1->ListBox1->Items.Count(), 1);
    EXPECT_THROW(Form1->Button1Click(nullptr), EConvertError);
    EXPECT_FALSE(Form1->Core->RunInProgress);
}
