#include "Unit1.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <cstdio>

#include "release/LineFields.h"
#include "Pictures.h"
#include "release/ReleaseCheck.h"
#include "ServerOrder.h"
#include "UpdateLog.h"
#include "Texts.h"
#include "Unit2.h"
#include "UpdatePlan.h"
#include "RunSession.h"
#include "Removals.h"
#include "crypto/Sha256.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"

TForm1* Form1 = nullptr;

namespace {

// However a run ends (a damaged entry raises), it is no longer running.
struct TRunning {
    bool& flag;
    explicit TRunning(bool& f) : flag(f) { flag = true; }
    ~TRunning() { flag = false; }
};

const int64_t kMaxKeyBytes = 4 << 10;
const char kLauncher[] = "portal.exe";

const char* const kFailureTexts[] = {
    "ChangeDir failure", "MakeDir failure", "Delete failure", "RemoveDir failure", "List failure",
    "Rename failure", "UploadRestore failure", "DownloadRestore failure", "Download failure",
    "Upload failure", "UploadAppend failure", "ReInit failure", "Allocate failure", "NList failure",
    "DoCommand failure"};
const char* const kUnsupportedTexts[] = {
    "ChangeDir unsupported", "MakeDir unsupported", "Delete unsupported", "RemoveDir unsupported",
    "List unsupported", "Rename unsupported", "UploadRestore unsupported",
    "DownloadRestore unsupported", "Download unsupported", "Upload unsupported",
    "UploadAppend unsupported", "ReInit unsupported", "Allocate unsupported", "NList unsupported",
    "DoCommand unsupported"};

// The gauge counts in 32 bits; larger sizes are shifted down together with
// the received count, which leaves the percentage as it is.
int GaugeUnits(int64_t value, int64_t max) {
    int shift = 0;
    while ((max >> shift) > INT32_MAX) ++shift;
    return static_cast<int>(value >> shift);
}

int CodePageOfMode(char mode) {
    switch (mode) {
        case 't': return 950;
        case 's': return 936;
        default: return SystemCodePage();
    }
}

TFont MakeFont(const char* name, int height, TColor color) {
    TFont f;
    f.Name = name;
    f.Height = height;
    f.Color = color;
    return f;
}


}  // namespace

TForm1::TForm1(TComponent* AOwner) : TForm(AOwner) {
    using namespace std::placeholders;
    Halt = [this] {
        RemoveLiveTemporaries();
        ReleaseInstanceTitle();
        fflush(nullptr);
        _exit(ExitCode);
    };
    SetCaption("update");
    SetWidth(628);
    SetHeight(479);
    // Bottom to top: the background, the bar under its frame, the picture
    // buttons, the lists, and the transparent texts over everything.
    Image1 = new TImage(this, this);
    Image1->SetBounds(0, 0, 628, 479);
    Image1->SetAutoSize(true);
    Image1->OnMouseMove = [](TObject*, TShiftState, int, int) {};
    Gauge1 = new TGauge(this, this);
    Gauge1->SetBackColor(clBlack);
    Gauge1->SetForeColor(clNavy);
    Gauge1->Font = MakeFont(kFontMing, 3, clWhite);
    Gauge1->Hide();
    Image5 = new TImage(this, this);
    Image5->SetAutoSize(true);
    Image5->LoadFromJpeg(kFramePicture, kFramePicture_size, "progress frame");
    Image2 = new TImage(this, this);
    Image3 = new TImage(this, this);
    Image4 = new TImage(this, this);
    for (TImage* img : {Image2, Image3, Image4}) img->SetStretch(true);
    Image3->Hide();
    ListBox1 = new TListBox(this, this);
    ListBox2 = new TListBox(this, this);
    ListBox3 = new TListBox(this, this);
    ListBox3->Hide();
    Label1 = new TLabel(this, this);
    Label2 = new TLabel(this, this);
    Label1->Hide();
    Label2->Hide();
    Label3 = new TLabel(this, this);
    Label3->SetFont(MakeFont(kFontKai, 23, clYellow));
    Label3->Hide();
    Label4 = new TLabel(this, this);
    Label4->SetFont(MakeFont(kFontMing, 15, clYellow));
    Label4->SetCaption("0% ");
    Button1 = new TButton(this);
    Button1->Enabled = false;
    Button4 = new TButton(this);
    StatusBar1 = new TStatusBar(this);
    Gzip1 = new TGzip(this);
    Gzip1->DeleteSource = true;
    Gzip1->WindowOnError = true;

    OnCreate = std::bind(&TForm1::FormCreate, this, _1);
    OnResize = std::bind(&TForm1::FormResize, this, _1);
    OnClose = std::bind(&TForm1::FormClose, this, _1, _2);
    OnDestroy = std::bind(&TForm1::FormDestroy, this, _1);
    OnCloseButton = std::bind(&TForm1::Button4Click, this, _1);  // the design has no close box
    Button1->OnClick = std::bind(&TForm1::Button1Click, this, _1);
    Button4->OnClick = std::bind(&TForm1::Button4Click, this, _1);
    Image2->OnMouseDown = std::bind(&TForm1::Image2MouseDown, this, _1, _2, _3, _4, _5);
    Image2->OnMouseUp = std::bind(&TForm1::Image2MouseUp, this, _1, _2, _3, _4, _5);
    Image3->OnMouseDown = std::bind(&TForm1::Image3MouseDown, this, _1, _2, _3, _4, _5);
    Image3->OnMouseUp = std::bind(&TForm1::Image3MouseUp, this, _1, _2, _3, _4, _5);
    Image3->OnClick = std::bind(&TForm1::Image3Click, this, _1);
    Image4->OnMouseDown = std::bind(&TForm1::Image4MouseDown, this, _1, _2, _3, _4, _5);
    Image4->OnMouseUp = std::bind(&TForm1::Image4MouseUp, this, _1, _2, _3, _4, _5);
    Image4->OnClick = std::bind(&TForm1::Button4Click, this, _1);
    DoCreate();
}

TForm1::~TForm1() {
    RunDestroyHandler();
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::LoadSkin(TImage* image, const AnsiString& baseName) {
    image->LoadFromFile(AppFolder + "upimg\\" + baseName + ImageSuffix + ".jpg");
}

void TForm1::CentreLabel(TLabel* label) { label->SetLeft((Width() - label->Width()) / 2); }

// ---- window handlers ----

void TForm1::FormCreate(TObject*) {
    FirstResizeFlag = false;
    ProgressFlag = false;
    ListBox1->SetFont(MakeFont("Courier New", 13, clBlack));
    ListBox2->SetFont(MakeFont("Courier New", 13, clBlack));
    Image5->SetTransparent(true, clWhite);
    Label4->SetTop(328);
    Label4->SetFont(MakeFont(kFontMing, 15, clYellow));
    Label4->SetLeft((Image1->Width() - Label4->Width()) / 2);
    SetWidth(628);
    SetHeight(479);
    SetLeft((Screen->Width() - 628) / 2);
    SetTop((Screen->Height() - 479) / 2);
    AppFolder = ApplicationFolder();
    UpdateLog::Open(AppFolder);
    UpdateLog::Write("skiff " SKIFF_VERSION " starts in " + ShownPath(AppFolder));
    AnsiString mode = GetLanguageMode();
    LanguageMode = mode[0];
    ImageSuffix = ImageSuffixOf(LanguageMode);
    SetDisplayCodePage(CodePageOfMode(LanguageMode));
    Label1->SetCaption(Localized(TText::ToUpdateHeading, LanguageMode));
    Label2->SetCaption(Localized(TText::UpdatedHeading, LanguageMode));
    LoadSkin(Image1, "0");
    LoadSkin(Image2, "1-1");
    LoadSkin(Image3, "2-1");
    LoadSkin(Image4, "3-1");
    Image2->SetBounds(80, 377, 90, 26);
    Image3->SetBounds(248, 377, 129, 26);
    Image4->SetBounds(448, 377, 90, 26);
    StatusBar1->SetBounds(0, 0, 1, 1);
    Button1->SetBounds(136, 368, 75, 25);
    Button4->SetBounds(488, 368, 75, 25);
    Image5->SetBounds(34, 323, Image5->Width(), Image5->Height());
    Gauge1->SetBounds(34, 323, 545, 24);
    ListBox1->SetBounds(41, 92, 211, 187);
    ListBox2->SetBounds(369, 92, 211, 187);
    Label1->SetBounds(88, 72, Label1->Width(), Label1->Height());
    Label2->SetBounds(432, 72, Label2->Width(), Label2->Height());
    CentreLabel(Label3);
    Label3->SetTop(290);
    Label3->SetFont(MakeFont(kFontKai, 23, clYellow));
    FirstResizeFlag = true;
}

void TForm1::FormResize(TObject*) {
    if (!FirstResizeFlag) return;
    FirstResizeFlag = false;
    RunStartUpSequence();
    ContinueUnattended();
}

// What a player would click, in order: Start while there is a plan, then
// the launch; the window closes with the exit code of whatever stopped it.
void TForm1::ContinueUnattended() {
    if (!Unattended || Leaving()) return;
    CompleteCheck();  // what it finds is part of the run
    if (UpdateList && Button1->Enabled) {
        try {
            Button1Click(nullptr);
        } catch (const std::exception& e) {
            UpdateLog::Write(AnsiString("the run stopped: ") + e.what());
            ExitCode = kExitFailedEntries;
        }
    }
    if (Leaving() || !Visible()) return;  // the window closed meanwhile
    if (UpdateList && ExitCode == 0) {
        Image3Click(nullptr);  // launches and closes, unless the launcher fails
        if (!Visible() || Leaving()) return;
    }
    if (ExitCode == 0) ExitCode = kExitFailedEntries;  // something is still to do
    UpdateLog::Write("unattended run ends with " + IntToStr(ExitCode));
    Close();
}

void TForm1::FormClose(TObject*, TCloseAction&) {
    if (!InstalledList) return;
    // The user is leaving: a list that cannot be saved (a full disk) is
    // reported once and the program ends all the same; what it did not
    // record is simply fetched again next time.
    try {
        if (Runner) Runner->SaveInstalledList();
    } catch (const Exception& e) {
        ShowErrorBox(e.Message);
    }
    if (Runner) Runner->Close();  // a run further up the stack stops where it is
    InstalledList.reset();
    UpdateList.reset();
    RemoteList.reset();
    if (ConnectedFlag) Halt();
}

void TForm1::FormDestroy(TObject*) {
    delete WexFTP1;
    WexFTP1 = nullptr;
}

void TForm1::Button4Click(TObject*) {
    if (AbortFlag || !ConfirmYesNo(Localized(TText::ExitQuestion, LanguageMode))) return;
    Label3->SetCaption("please wait...");
    CentreLabel(Label3);
    AbortFlag = true;
    UpdateLog::Write("the user left");
    // Whatever the network is doing now is abandoned: every wait of the FTP
    // component returns at once (the program is ending), and no box follows.
    if (WexFTP1) WexFTP1->Cancel();
    Close();
}

bool TForm1::Leaving() const { return AbortFlag || Application->Terminated; }

// In signed mode the launcher runs only as the release made it: its bytes
// are checked against the list before every launch (the record is not
// trusted for this one), and put right first when they differ.
bool TForm1::LauncherIsTheRelease() {
    if (!ReleaseKey || !RemoteList || !InstalledList || !Runner) return true;
    int line = -1;
    TUpdateEntry e;
    for (int i = 1; i < RemoteList->Count() && line < 0; ++i) {
        try {
            e = ParseUpdateEntry((*RemoteList)[i]);
        } catch (const EConvertError&) {
            continue;
        }
        if ((e.Kind == "E" || e.Kind == "O") && SameNameIgnoringCase(e.Local, kLauncher)) line = i;
    }
    if (line < 0) return true;  // the release does not bring the launcher
    TInstalledRecord fresh(AppFolder, false);
    if (IsInstalledAsListed(e, fresh)) return true;
    UpdateLog::Write("the launcher is not the one the release names: repairing it before the launch");
    int installedLine = -1;
    for (int i = 1; i < InstalledList->Count() && installedLine < 0; ++i)
        if (!Runner->RemovedLines().count(i) && SameNameIgnoringCase(GetField(1, (*InstalledList)[i]), kLauncher))
            installedLine = i;
    const AnsiString entry = installedLine > 0 ? "U " + IntToStr(installedLine) + " " + (*RemoteList)[line]
                                               : (*RemoteList)[line];
    TEntryOutcome outcome;
    {
        TRunning running(RunInProgress);
        LetSessionGo();
        Runner->LoggedInSilence = LoggedInSilence;
        outcome = Runner->BringInOne(entry);
    }
    if (Runner->Closed()) return false;
    if (outcome == TEntryOutcome::Installed) Runner->SaveInstalledList();
    TInstalledRecord again(AppFolder, false);
    if (outcome == TEntryOutcome::Installed && IsInstalledAsListed(e, again)) return true;
    ExitCode = kExitLauncherFailed;
    UpdateLog::Write("the launcher could not be repaired; not started");
    Tell(Localized(TText::LauncherNotRepaired, LanguageMode));
    return false;
}

void TForm1::Tell(const AnsiString& text) {
    if (!Leaving() && !Unattended) ShowMessageBox(text);
}

void TForm1::ReportError(const std::exception& e) {
    if (Leaving()) return;
    if (Unattended) UpdateLog::Write(AnsiString("stopped: ") + e.what());
    else Application->HandleException(e);
}

// With no server to ask, the client as installed may still be played: in
// signed mode only when the last list this folder took (update3.dat, put in
// place only once it passed its checks) names exactly what is installed.
bool TForm1::InstalledClientChecksOut() {
    if (!IsRegularFile(AppFolder + kLauncher)) return false;
    if (!ReleaseKey) return true;
    try {
        TStringList remote, installed;
        remote.LoadFromFile(AppFolder + "update3.dat");
        installed.LoadFromFile(AppFolder + "update2.dat");
        if (installed.Count() == 1) installed.Add("");
        TUpdatePlan plan = ::BuildUpdatePlan(remote.Lines(), installed.Lines());
        if (!plan.Entries.empty()) return false;  // not that release whole: nothing to check it by
        TInstalledRecord record(AppFolder, true);
        PlanRepairs(remote.Lines(), installed.Lines(), record, plan);
        return plan.Entries.empty();
    } catch (const std::exception&) {
        return false;
    }
}

void TForm1::Image3Click(TObject*) {
    if (RunInProgress) return;  // the launcher waits for the run under way
    // Files that the check finds wrong are put right before the client runs.
    const int planned = ListBox1->Items.Count();
    CompleteCheck();
    if (ListBox1->Items.Count() > planned) return;
    if (!LauncherIsTheRelease()) return;
    Hide();
    // Exactly the application folder's launcher with the one argument "1",
    // started in that folder: no shell, no splitting of the path at blanks.
    const AnsiString launcher = AppFolder + kLauncher;
    AnsiString error;
    if (!StartProgram(launcher, {"1"}, AppFolder, error)) {
        ExitCode = kExitLauncherFailed;
        UpdateLog::Write("the launcher " + ShownPath(launcher) + " could not be started: " + error);
        Show();
        Tell(Localized(TText::ClientNotStarted, LanguageMode, ShownPath(launcher), error));
        return;
    }
    ExitCode = 0;
    UpdateLog::Write("the launcher " + ShownPath(launcher) + " started");
    Close();
}

void TForm1::Image2MouseDown(TObject*, TMouseButton, TShiftState, int, int) { LoadSkin(Image2, "1-2"); }
void TForm1::Image3MouseDown(TObject*, TMouseButton, TShiftState, int, int) { LoadSkin(Image3, "2-2"); }
void TForm1::Image4MouseDown(TObject*, TMouseButton, TShiftState, int, int) { LoadSkin(Image4, "3-2"); }
void TForm1::Image3MouseUp(TObject*, TMouseButton, TShiftState, int, int) { LoadSkin(Image3, "2-1"); }
void TForm1::Image4MouseUp(TObject*, TMouseButton, TShiftState, int, int) { LoadSkin(Image4, "3-1"); }
void TForm1::Image2MouseUp(TObject*, TMouseButton, TShiftState, int, int) {
    LoadSkin(Image2, "1-1");
    if (Button1->Enabled) Button1->Click();
}

// ---- FTP event handlers ----

void TForm1::WexFTP1Connect(TObject*) {
    ConnectedFlag = true;
    StatusBar1->SimpleText = "Connected";
}

void TForm1::WexFTP1Disconnect(TObject*) {
    ConnectedFlag = false;
    // Once there is a plan, a dropped server (an idle one closes after a few
    // minutes) is tried again or replaced when the run needs it: no box.
    if (Quiet())
        UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": the connection closed");
    else Tell(Localized(TText::Disconnected, LanguageMode));
    StatusBar1->SimpleText = "Disconnected";
}

void TForm1::WexFTP1ConnectionFailed(TObject*) { ConnectedFlag = false; }
void TForm1::WexFTP1HostResolved(TObject*) { StatusBar1->SimpleText = "Host resolved"; }
void TForm1::WexFTP1InvalidHost(bool&) {
    if (!Quiet()) return Tell("Invalid Host");
    UpdateLog::Write("server " + WexFTP1->Host + ": Invalid Host");
    StatusBar1->SimpleText = "Invalid Host";
}

void TForm1::WexFTP1Error(TObject*, uint16_t Errno, const AnsiString& Errmsg) {
    const AnsiString text = "Error " + IntToStr(Errno) + ": " + Errmsg;
    // During the update run a broken transfer is tried again, on another
    // server if need be; a box would hold the run until answered, and the
    // entries that still fail are named at the end.
    if (Quiet()) {
        UpdateLog::Write("socket error: " + text);
        StatusBar1->SimpleText = text;
        return;
    }
    Tell(text);
}

void TForm1::WexFTP1Failure(bool&, TCmdType Trans_Type) {
    if (Trans_Type <= CtDoCommand) StatusBar1->SimpleText = kFailureTexts[Trans_Type];
}

void TForm1::WexFTP1UnSupportedFunction(TCmdType Trans_Type) {
    if (Trans_Type > CtDoCommand) return;
    if (Quiet()) UpdateLog::Write(kUnsupportedTexts[Trans_Type]);
    else Tell(kUnsupportedTexts[Trans_Type]);
}

// The bar counts against the size the server announced, or the list's size
// when it announced none; a download that goes on from an earlier try starts
// at the bytes already there.
// The size the server announced for the download, as the label has always
// counted it (with the kept bytes of a resumed one, when it announced what
// is left); the listed size only when it announced none.
int64_t TForm1::DownloadTotal() const {
    const int64_t announced = WexFTP1->TransferSize, at = WexFTP1->RestartedAt;
    return announced <= 0 ? at : announced;
}

void TForm1::WexFTP1TransactionStart(TObject*) {
    int64_t total = DownloadTotal(), at = WexFTP1->RestartedAt;
    Gauge1->SetMaxValue(GaugeUnits(total, total));
    Gauge1->SetProgress(GaugeUnits(at, total));
    StatusBar1->SimpleText = "Beginning Data Transfer";
    if (at > 0 && ProgressFlag) {
        Label4->SetCaption(ResumingText(at, total, LanguageMode));
        CentreLabel(Label4);
    }
}

void TForm1::WexFTP1TransactionStop(TObject*) { StatusBar1->SimpleText = "Data Transfer Complete"; }
void TForm1::WexFTP1PacketSent(TObject*) {}
void TForm1::WexFTP1Status(TObject*, const AnsiString&) {}
void TForm1::WexFTP1ListItem(const AnsiString& Listing) { ListBox3->Items.Add(Listing); }

void TForm1::WexFTP1PacketRecvd(TObject*) {
    if (!ProgressFlag || !WexFTP1) return;
    int64_t received = WexFTP1->RestartedAt + WexFTP1->ReceivedCount(), total = DownloadTotal();
    Gauge1->SetProgress(GaugeUnits(received, total));
    // The count is text to measure and draw: a few times a second is all
    // the eye reads, whatever the speed of the link; the last one always.
    const auto now = std::chrono::steady_clock::now();
    if (received < total && now - FLastCountShown < std::chrono::milliseconds(50)) return;
    FLastCountShown = now;
    Label4->SetCaption(IntToStr(received) + " of " + IntToStr(total) + " ");
    CentreLabel(Label4);
}

// ---- start-up sequence: server choice and connection ----

void TForm1::ShowDisconnected(bool answered) {
    // A user who ends the program while servers are still being tried has
    // not found them unreachable.
    if (Leaving()) return;
    ExitCode = kExitNoServer;
    UpdateLog::Write("no server could be used");
    Label3->SetCaption(Localized(TText::Disconnected, LanguageMode));
    const AnsiString told =
        answered ? Label3->Caption() : Label3->Caption() + "\n" + Localized(TText::NoServerHint, LanguageMode);
    if (Unattended || !InstalledClientChecksOut()) return Tell(told);
    // The player may still play what is installed.
    if (!ConfirmYesNo(told + "\n" + Localized(TText::LaunchInstalled, LanguageMode))) return;
    UpdateLog::Write("no server: the installed client is started as it is");
    Image3Click(nullptr);
}

void TForm1::RunStartUpSequence() {
    // What an interrupted run left behind (the single-instance rule makes
    // sure no other updater is writing them now).
    RemoveLeftoverTemporaries(AppFolder);
    if (Form2->ServerListMissing) {
        // Nothing to choose from and nowhere to connect; the exit picture stays.
        ExitCode = kExitNoServer;
        if (Unattended) UpdateLog::Write(Form2->ServerListError);
        else ShowErrorBox(Form2->ServerListError);
        return;
    }
    if (!LoadReleaseKey()) return;
    // Unattended, the choice saved in isp1.dat stands (or the first server).
    if (!Unattended) Form2->ShowModal();
    ServerIndex = -1;
    int selected = Form2->ListBox1->ItemIndex();
    if (selected < 0) selected = 0;
    TRandomGenerator random(ClockSeed());
    ServerOrder = std::make_unique<TStringList>();
    for (const AnsiString& line : ::BuildServerOrder(Form2->ListBox2->Items.Lines().Lines(), selected, random))
        ServerOrder->Add(line);
    Label3->SetCaption(Localized(TText::Connecting, LanguageMode));
    CentreLabel(Label3);
    TAttempt outcome = TAttempt::Exhausted;
    if (!NextIsSentinel()) outcome = ConnectionLoop();  // a list without servers tries nothing
    if (outcome == TAttempt::Aborted) return;
    if (!ConnectedFlag) {
        Label3->Show();
        ShowDisconnected();
        return;
    }
    UseTransferTimeOuts();
    PlanPart();
}

bool TForm1::NextIsSentinel() const {
    int next = ServerIndex + 1;
    return !ServerOrder || next >= ServerOrder->Count() || (*ServerOrder)[next] == "end";
}

TForm1::TAttempt TForm1::ConnectionLoop() {
    using namespace std::placeholders;
    for (;;) {
        if (WexFTP1) {
            delete WexFTP1;
            WexFTP1 = nullptr;
        }
        EventLoop::ProcessMessages();
        NewFtpComponent();
        ++ServerIndex;
        const AnsiString line = (*ServerOrder)[ServerIndex];
        Label3->Show();
        StatusBar1->SimpleText = "Connected Server" + IntToStr(ServerIndex);
        bool usable = ConfigureForServer(*WexFTP1, line);
        if (AbortFlag) return TAttempt::Aborted;
        TServerLine server;
        if (usable && ParseServerLine(line, server) && server.Web()) {
            // The plan is made from an FTP server's list; a web mirror
            // serving the same list joins the run's sessions.
            UpdateLog::Write("server " + ServerLabel(line) + ": a web mirror, used for the run's files only");
        } else if (usable) {
            UpdateLog::Write("server " + ServerLabel(line) + ": connecting");
            try {
                WexFTP1->Connect();
            } catch (const std::exception& e) {
                // The event handlers have shown what there is to show.
                UpdateLog::Write("server " + ServerLabel(line) + ": " + WexFTP1->Step + " failed: " + e.what());
            }
        } else {
            UpdateLog::Write("server line \"" + line + "\" of isp0.dat is damaged");
        }
        if (ConnectedFlag) {
            UpdateLog::Write("server " + ServerLabel(line) + ": logged in");
            CurrentServerLine = line;
            return TAttempt::Connected;
        }
        if (NextIsSentinel()) return TAttempt::Exhausted;
    }
}

// A fresh FTP component with every handler of the window attached.
void TForm1::NewFtpComponent() {
    using namespace std::placeholders;
    delete WexFTP1;
    WexFTP1 = NewServerComponent(this);
    WexFTP1->OnConnect = std::bind(&TForm1::WexFTP1Connect, this, _1);
        WexFTP1->OnPacketRecvd = std::bind(&TForm1::WexFTP1PacketRecvd, this, _1);
        WexFTP1->OnPacketSent = std::bind(&TForm1::WexFTP1PacketSent, this, _1);
        WexFTP1->OnError = std::bind(&TForm1::WexFTP1Error, this, _1, _2, _3);
        WexFTP1->OnTransactionStart = std::bind(&TForm1::WexFTP1TransactionStart, this, _1);
        WexFTP1->OnDisconnect = std::bind(&TForm1::WexFTP1Disconnect, this, _1);
        WexFTP1->OnTransactionStop = std::bind(&TForm1::WexFTP1TransactionStop, this, _1);
        WexFTP1->OnFailure = std::bind(&TForm1::WexFTP1Failure, this, _1, _2);
        WexFTP1->OnUnSupportedFunction = std::bind(&TForm1::WexFTP1UnSupportedFunction, this, _1);
        WexFTP1->OnHostResolved = std::bind(&TForm1::WexFTP1HostResolved, this, _1);
        WexFTP1->OnConnectionFailed = std::bind(&TForm1::WexFTP1ConnectionFailed, this, _1);
        WexFTP1->OnInvalidHost = std::bind(&TForm1::WexFTP1InvalidHost, this, _1);
        WexFTP1->OnStatus = std::bind(&TForm1::WexFTP1Status, this, _1, _2);
        WexFTP1->OnListItem = std::bind(&TForm1::WexFTP1ListItem, this, _1);
}

TForm1::TAttempt TForm1::ConnectNextServer() {
    if (NextIsSentinel()) return TAttempt::Exhausted;
    return ConnectionLoop();
}

// ---- start-up sequence: listing and plan ----

bool TForm1::ListingHas(const AnsiString& name) const {
    for (const AnsiString& item : ListBox3->Items.Lines().Lines())
        if (SameNameIgnoringCase(item, name)) return true;
    return false;
}

void TForm1::PlanPart() {
    // A server counts when its listing holds update3.dat and the list it
    // serves passes the checks (with update.pub: a valid signature).
    bool sawList = false;
    for (bool first = true;; first = false) {
        if (!first) {
            TAttempt next = ConnectNextServer();
            if (next == TAttempt::Aborted) return;
            if (next == TAttempt::Exhausted) {
                ConnectedFlag = false;
                break;
            }
            ListBox3->Items.Clear();
        }
        UseTransferTimeOuts();
        try {
            WexFTP1->NList();
        } catch (const std::exception& e) {
            UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": listing failed: " + e.what());
        }
        if (Leaving()) return;
        ConnectedFlag = ListingHas("update3.dat");
        if (!ConnectedFlag) {
            UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": its listing holds no update3.dat");
            continue;
        }
        sawList = true;
        try {
            if (FetchCheckedList()) break;
        } catch (const std::exception& e) {
            UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": update3.dat failed: " + e.what());
            ReportError(e);
            return;
        }
        if (Leaving()) return;
        UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": " + ListRefusedFile + " refused: " + ListRefusal);
        ConnectedFlag = false;
    }
    // The run may need the other servers: in the order they would be tried.
    RunServers.clear();
    for (int i = 0; i < ServerOrder->Count(); ++i)
        if ((*ServerOrder)[i] != "end") RunServers.push_back((*ServerOrder)[i]);
    ServerOrder.reset();
    if (!ConnectedFlag) {
        if (sawList && ReleaseKey) ShowNoValidList();
        else ShowDisconnected(true);
        return;
    }
    try {
        ProgressFlag = true;
        Gauge1->SetProgress(0);
        Label4->SetCaption("0%");
        CentreLabel(Label4);
        AnsiString installed = AppFolder + "update2.dat";
        if (!FileExists(installed)) WriteWholeFileAtomic(installed, "KOVRAN\r\n");
        BuildUpdatePlan();
    } catch (const std::exception& e) {
        ReportError(e);
        return;
    }
    ShowRemainingCount();
    CentreLabel(Label3);
    Label3->SetTop(290);
    if (ListBox1->Items.Count() > 0) {
        Button1->Enabled = true;
    } else {
        Label3->Show();
        Label3->SetCaption(Localized(TText::NothingToUpdate, LanguageMode));
        CentreLabel(Label3);
        Image3->Show();
        if (ReleaseKey) SaveAcceptedSerial(AppFolder, ListSerial);
    }
    ScheduleCheck();
}

// ---- the check of what is installed (signed mode) ----

// One slice at a time from the message loop: the plan is on the screen at
// once, and the window stays live while tens of thousands of files are
// checked.
void TForm1::ScheduleCheck() {
    if (!Check) return;
    std::weak_ptr<int> alive = FAlive;
    PostTask([this, alive] {
        if (!alive.expired()) CheckSlice(0.02);
    });
}

bool TForm1::CheckSlice(double seconds) {
    if (!Check) return true;
    if (!RemoteList || Leaving()) {
        Check.reset();
        return true;
    }
    // No messages run inside a slice (a slice ends after the file it is
    // on), so nothing can pull the lists away while it works.
    bool done = Check->Step(RemoteList->Lines(), InstalledList->Lines(), *Record, seconds);
    if (!done) {
        ScheduleCheck();
        return false;
    }
    TUpdatePlan found = std::move(Check->Found);
    Check.reset();
    Record->Save();
    if (found.Entries.empty()) return true;
    UpdateLog::Write(IntToStr(static_cast<int64_t>(found.Entries.size())) +
                     " installed files are not the release's: planned again");
    const bool nothingBefore = ListBox1->Items.Count() == 0 && !RunInProgress;
    for (size_t k = 0; k < found.Entries.size(); ++k) {
        ListBox1->Items.Add(std::move(found.Names[k]));
        UpdateList->Add(std::move(found.Entries[k]));
    }
    ShowRemainingCount();
    CentreLabel(Label3);
    Label3->SetTop(290);
    if (nothingBefore) {
        Image3->Hide();  // put right first, launched after
        Button1->Enabled = true;
    }
    return true;
}

// Before the run or the launch: what is left of the check, at once.
void TForm1::CompleteCheck() {
    while (Check && !CheckSlice(1.0)) {
    }
}

// Fetches update3.dat (and, with a public key, its signature) into
// temporaries; only a list that passes every check replaces update3.dat in
// the application folder. False, with the reason in ListRefusal, when this
// server's list is refused; without a key a failed download is an error, as
// it always was.
bool TForm1::FetchCheckedList() {
    TTempFile list(AppFolder + "update3.dat");
    AnsiString listBytes, signature;
    try {
        FetchListPair(*WexFTP1, AppFolder, ReleaseKey != nullptr, list.Path(), listBytes, signature);
        if (ReleaseKey) {
            auto check = [&] {
                return CheckSignedList(listBytes, signature, *ReleaseKey, AcceptedSerial(AppFolder),
                                       static_cast<int64_t>(time(nullptr)), &SignedCodePage);
            };
            try {
                ListSerial = check();
            } catch (const ESignatureMismatch&) {
                // A mirror caught between renaming a new list into place and
                // its signature: the pair matches again a moment later.
                UpdateLog::Write("server " + ServerLabel(CurrentServerLine) +
                                 ": update3.dat and its signature do not match; asking again in 2 s");
                PauseFor(2, [this] { return Leaving(); });
                if (Leaving()) return false;
                FetchListPair(*WexFTP1, AppFolder, true, list.Path(), listBytes, signature);
                ListSerial = check();
            }
        }
    } catch (const std::exception& e) {
        if (!ReleaseKey || Leaving()) throw;
        // In signed mode a server whose list cannot be had or checked is one
        // without a list: the next server may have a good one.
        ListRefusal = e.what();
        // A download that failed names its own file (a missing signature is
        // not a missing list); a check that failed is the list's.
        const AnsiString step = WexFTP1 ? WexFTP1->Step : AnsiString();
        ListRefusedFile = !dynamic_cast<const ESignatureError*>(&e) && step.rfind("download ", 0) == 0
                              ? step.substr(9)
                              : AnsiString("update3.dat");
        // A signature that fails, or is missing, most often means a release
        // caught on its way up.
        ListProblem = dynamic_cast<const EListExpired*>(&e)      ? TText::ListExpired
                      : dynamic_cast<const EListRolledBack*>(&e) ? TText::ListOlder
                                                                 : TText::ListUnverified;
        return false;
    }
    list.PutInPlace();
    PlanListSha = Sha256Of(listBytes);
    PlanSignature = signature;
    UpdateLog::Write("server " + ServerLabel(CurrentServerLine) + ": update3.dat taken" +
                     (ReleaseKey ? ", signature valid, serial " + IntToStr(ListSerial) : AnsiString()));
    return true;
}

// A public key in the application folder switches signed mode on; a key
// that cannot be used stops everything (never a quiet fallback to unsigned).
bool TForm1::LoadReleaseKey() {
    ReleaseKey.reset();
    AnsiString path = AppFolder + kPublicKeyFile;
    // Only a key that is not there means unsigned mode: a dangling link, a
    // file we may not read or a disk error stop here with their own reason.
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0 && errno == ENOENT) return true;
    try {
        ReleaseKey = std::make_unique<TPublicKey>(ParsePublicKey(ReadWholeFile(path, kMaxKeyBytes)));
        AcceptedSerial(AppFolder);  // a damaged record is refused here too
        return true;
    } catch (const Exception& e) {
        ReleaseKey.reset();
        ExitCode = kExitNoServer;
        UpdateLog::Write("the public key " + ShownPath(path) + " cannot be used: " + e.Message);
        Label3->Show();
        Label3->SetCaption(Localized(TText::NoValidList, LanguageMode));
        CentreLabel(Label3);
        Tell(Localized(TText::KeyUnusable, LanguageMode, ShownPath(path), e.Message));
        return false;
    }
}

void TForm1::ShowNoValidList() {
    if (Leaving()) return;
    ExitCode = kExitNoServer;
    UpdateLog::Write("no server offers a valid update list");
    Label3->Show();
    Label3->SetCaption(Localized(TText::NoValidList, LanguageMode));
    CentreLabel(Label3);
    // What happened in plain words and what to do; the checks' own words
    // are in the log.
    Tell(Label3->Caption() + "\n" + Localized(ListProblem, LanguageMode));
}

void TForm1::UseTransferTimeOuts() { ::UseTransferTimeOuts(*WexFTP1, LoggedInSilence); }

void TForm1::ShowRemainingCount() {
    AnsiString text;
    if (RemainingCountText(ListBox1->Items.Count(), LanguageMode, text)) Label3->SetCaption(text);
}

void TForm1::BuildUpdatePlan() {
    // Built aside and handed over at the end: the window stays live while a
    // signed start checks what is installed, and a user who leaves meanwhile
    // finds no half-made lists to save.
    auto remote = std::make_unique<TStringList>(), installed = std::make_unique<TStringList>();
    remote->LoadFromFile(AppFolder + "update3.dat");
    UseNamesCodePageOf(*remote);
    installed->LoadFromFile(AppFolder + "update2.dat");
    if (installed->Count() == 1) installed->Add("");
    TUpdatePlan plan = ::BuildUpdatePlan(remote->Lines(), installed->Lines());
    PlanRemovals(remote->Lines(), AppFolder, plan);
    if (ReleaseKey) {
        // Signed mode trusts only what it has checked, installed files too:
        // they are checked once the plan is on the screen.
        Record = std::make_unique<TInstalledRecord>(AppFolder, !ForceRepair);
        Check = std::make_unique<TRepairCheck>(plan.Names);
    }
    UpdateList = std::make_unique<TStringList>();
    RemoteList = std::move(remote);
    InstalledList = std::move(installed);
    MakeRunner();
    // Partial downloads of entries still planned are continued by the run;
    // those of an older release are of no use any more. Usually there are
    // none, and a list of a million entries costs nothing more for them.
    std::vector<AnsiString> partials = PartialsBelow(AppFolder), kept;
    const std::set<AnsiString> present(partials.begin(), partials.end());
    for (size_t i = 0; i < plan.Entries.size() && !present.empty(); ++i) {
        try {
            TUpdateEntry e = ParseUpdateEntry(plan.Entries[i]);
            if (!IsKnownKind(e.Kind) || !IsSafeRelativeName(e.Local)) continue;
            AnsiString path = PartialPathOf(AppFolder, e);
            // A segmented download keeps its segments and their record too.
            for (const AnsiString& p : {path, TTransferPool::SegmentPathOf(path), TTransferPool::RangesPathOf(path)})
                if (present.count(p)) kept.push_back(p);
        } catch (const EConvertError&) {
            // reported when the run reaches it
        }
    }
    if (!present.empty()) RemoveStalePartials(AppFolder, kept);
    // The entries and names move into the lists: a list near its limit is
    // held as few times as it must be.
    for (size_t i = 0; i < plan.Entries.size(); ++i) {
        ListBox1->Items.Add(std::move(plan.Names[i]));
        UpdateList->Add(std::move(plan.Entries[i]));
    }
}

// ---- update run ----

void TForm1::Button1Click(TObject*) {
    // A plan whose server has gone meanwhile (an idle connection closes)
    // finds a server again for its first entry.
    if (!UpdateList) return;
    CompleteCheck();  // its findings are part of this run
    if (!UpdateList) return;
    Button1->Enabled = false;
    Gauge1->Show();
    Label3->Show();
    if (ExitCode == kExitFailedEntries) ExitCode = 0;
    const int count = UpdateList->Count();
    const int updatedBefore = ListBox2->Items.Count();
    std::vector<TFailedEntry> failed;
    std::vector<int> failedEntries;
    std::vector<AnsiString> failedNames;
    TRunning running(RunInProgress);
    LetSessionGo();
    Runner->LoggedInSilence = LoggedInSilence;
    Runner->OnEntry = [&](int i, TEntryOutcome outcome) {
        const AnsiString name = ListBox1->Items.Count() > 0 ? ListBox1->Items[0] : AnsiString();
        if (IsFailure(outcome)) {
            failed.push_back({NameForDisplay(name), ReasonOf(outcome)});
            failedEntries.push_back(i);
            failedNames.push_back(name);
        }
        if (ListBox1->Items.Count() > 0) {
            ListBox2->Items.Add(ListBox1->Items[0]);
            ListBox1->Items.Delete(0);
        }
        ShowRemainingCount();
        CentreLabel(Label3);
        Label3->SetTop(290);
        if (i == count - 1) Image3->Show();
    };
    struct TForget {  // the hook sees this call's locals
        TUpdateRunner& run;
        ~TForget() { run.OnEntry = nullptr; }
    } forget{*Runner};
    if (!Runner->Run(*UpdateList)) return;  // the window closed meanwhile and saved what was done
    RunInProgress = false;
    ShowPoolProgress(true);  // the whole run's figures stay
    // The release is in: an older list can no longer pass for a newer one.
    if (ReleaseKey) SaveAcceptedSerial(AppFolder, ListSerial);
    if (failed.empty()) return;
    TellFailures(failed);
    // The names that did not come in go back to the list to update.
    for (size_t k = failedEntries.size(); k-- > 0;) {
        const int at = updatedBefore + failedEntries[k];
        if (at < ListBox2->Items.Count() && ListBox2->Items[at] == failedNames[k]) ListBox2->Items.Delete(at);
    }
    OfferRetry(failedEntries, failedNames);
}

// Start tries the entries that failed once more: the mirrors may have
// caught up meanwhile (a release still being uploaded, a server back).
void TForm1::OfferRetry(const std::vector<int>& failedEntries, const std::vector<AnsiString>& failedNames) {
    auto retry = std::make_unique<TStringList>();
    for (int i : failedEntries) retry->Add((*UpdateList)[i]);
    UpdateList = std::move(retry);
    for (const AnsiString& name : failedNames) ListBox1->Items.Add(name);
    Label3->SetCaption(RetryCountText(static_cast<int>(failedNames.size()), LanguageMode));
    CentreLabel(Label3);
    Button1->Enabled = true;
}

// The lists move every name along, whatever became of it; the status line
// and a box tell which entries were not installed and why.
void TForm1::TellFailures(const std::vector<TFailedEntry>& failed) {
    ExitCode = kExitFailedEntries;
    Label3->SetCaption(FailedCountText(static_cast<int>(failed.size()), LanguageMode));
    CentreLabel(Label3);
    StatusBar1->SimpleText = FailedCountText(static_cast<int>(failed.size()), 'n');
    Tell(FailedEntriesText(failed, LanguageMode));
}

TFailReason TForm1::ReasonOf(TEntryOutcome outcome) {
    switch (outcome) {
        case TEntryOutcome::SizeMismatch: return TFailReason::Size;
        case TEntryOutcome::NotDecompressed: return TFailReason::Damaged;
        case TEntryOutcome::Refused: return TFailReason::Refused;
        case TEntryOutcome::WriteFailed: return TFailReason::Write;
        case TEntryOutcome::FailedCheck: return TFailReason::Check;
        default: return TFailReason::Download;
    }
}

// A name of the release (in its names' code page) as the windows show texts.
AnsiString TForm1::NameForDisplay(const AnsiString& name) const {
    AnsiString shown;
    return TryUtf8ToCodePage(CodePageToUtf8(name, NameCodePage()), DisplayCodePage(), shown) ? shown : name;
}

// A release may declare the code page of its names in the header of its
// versions list ("codepage=950"); the names then mean the same files on
// every user's machine. Without it, the system code page, as ever.
void TForm1::UseNamesCodePageOf(const TStringList& list) {
    int codePage = list.Count() > 0 ? DeclaredNamesCodePage(list[0]) : 0;
    // A signed list means the same files in every locale: the code page its
    // signature declares holds when the header names none.
    if (codePage == 0 && ReleaseKey && IsKnownCodePage(SignedCodePage)) codePage = SignedCodePage;
    SetNameCodePage(codePage);
    ListBox1->CodePage = ListBox2->CodePage = codePage;
}

// The whole run's bytes while several transfers run, and the servers in use.
void TForm1::ShowPoolProgress(bool final) {
    if (!Runner || Runner->RunBytesPlanned() <= 0 || !ProgressFlag) return;
    const int64_t total = std::max<int64_t>(Runner->RunBytesPlanned(), 1),
                  done = std::min(Runner->RunBytesDone(), total);
    const auto now = std::chrono::steady_clock::now();
    if (!final && done < total && now - FLastCountShown < std::chrono::milliseconds(50)) return;
    FLastCountShown = now;
    Gauge1->SetMaxValue(GaugeUnits(total, total));
    Gauge1->SetProgress(GaugeUnits(done, total));
    Label4->SetCaption(IntToStr(done) + " of " + IntToStr(total) + " ");
    CentreLabel(Label4);
    const TRunFetches* fetches = Runner->Fetches();
    AnsiString names;
    if (fetches)
        for (const AnsiString& name : fetches->Pool().MirrorsInUse()) names += (names.empty() ? "" : ", ") + name;
    if (!names.empty()) StatusBar1->SimpleText = "Servers " + names;
}


// The run takes over from the start-up sequence: its servers, the plan's
// session and list, the lists it records into; what it does is shown here.
void TForm1::MakeRunner() {
    Runner = std::make_unique<TUpdateRunner>();
    Runner->AppFolder = AppFolder;
    Runner->Servers = RunServers;
    Runner->CurrentServerLine = CurrentServerLine;
    Runner->PlanServerNeedsActive = WexFTP1 && !WexFTP1->Passive;
    Runner->ListHeader = RemoteList->Count() > 0 ? (*RemoteList)[0] : AnsiString();
    Runner->PlanListSha = PlanListSha;
    Runner->PlanSignature = PlanSignature;
    Runner->Installed = InstalledList.get();
    Runner->Record = Record.get();
    Runner->RequireHashes = ReleaseKey != nullptr;
    Runner->Leaving = [this] { return Leaving(); };
    Runner->OnPoolProgress = [this] { ShowPoolProgress(); };
}

// The run's sessions take over from the plan's, which becomes the first of
// them: a server that takes one session per user has it for the run.
void TForm1::LetSessionGo() {
    if (!WexFTP1) return;
    if (!WexFTP1->Passive) Runner->PlanServerNeedsActive = true;
    Runner->PlanSession = WexFTP1->TakeSession();
    WexFTP1->OnDisconnect = nullptr;
    delete WexFTP1;
    WexFTP1 = nullptr;
    ConnectedFlag = false;
}
