#include "Unit1.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <cstdio>

#include <unistd.h>

#include "Pictures.h"
#include "RunSession.h"
#include "UpdateLog.h"
#include "Texts.h"
#include "ServerOrder.h"
#include "Unit2.h"
#include "release/ReleaseCheck.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"

TForm1* Form1 = nullptr;

namespace {

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
    Core->AppFolder = AppFolder;
    Core->OnNewSession = [this](TWexFTP& ftp) { AttachHandlers(ftp); };
    Core->OnServerTried = [this](int index) {
        ListBox3->Items.Clear();
        Label3->Show();
        StatusBar1->SimpleText = "Connected Server" + IntToStr(index);
    };
    Core->OnPoolProgress = [this] { ShowPoolProgress(); };
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
    // A newer release seen on the way is fetched too, once.
    for (int round = 0; round < 2 && Core->UpdateList && Button1->Enabled && !Leaving(); ++round) {
        try {
            Button1Click(nullptr);
        } catch (const std::exception& e) {
            UpdateLog::Write(AnsiString("the run stopped: ") + e.what());
            ExitCode = kExitFailedEntries;
        }
        if (ExitCode != 0 || !Core->NewerSeen()) break;
    }
    if (Leaving() || !Visible()) return;  // the window closed meanwhile
    if (Core->UpdateList && ExitCode == 0) {
        Image3Click(nullptr);  // launches and closes, unless the launcher fails
        if (!Visible() || Leaving()) return;
    }
    if (ExitCode == 0) ExitCode = kExitFailedEntries;  // something is still to do
    UpdateLog::Write("unattended run ends with " + IntToStr(ExitCode));
    Close();
}

void TForm1::FormClose(TObject*, TCloseAction&) {
    // The user is leaving: a list that cannot be saved (a full disk) is
    // reported once and the program ends all the same.
    try {
        if (!Core->Close()) return;
    } catch (const Exception& e) {
        ShowErrorBox(e.Message);
    }
    if (ConnectedFlag) Halt();
}

void TForm1::FormDestroy(TObject*) { Core->Stop(); }

void TForm1::Button4Click(TObject*) {
    if (AbortFlag || !ConfirmYesNo(Localized(TText::ExitQuestion, LanguageMode))) return;
    Label3->SetCaption("please wait...");
    CentreLabel(Label3);
    AbortFlag = true;
    UpdateLog::Write("the user left");
    // Whatever the network is doing now is abandoned, and no box follows.
    Core->Stop();
    Close();
}

bool TForm1::LauncherIsTheRelease() {
    const TUpdaterCore::TLauncher launcher = Core->CheckLauncher();
    if (!Core->Session()) ConnectedFlag = false;  // a repair took the plan's session
    switch (launcher) {
        case TUpdaterCore::TLauncher::AsReleased: return true;
        case TUpdaterCore::TLauncher::Stopped: return false;
        case TUpdaterCore::TLauncher::NotRepaired: break;
    }
    ExitCode = kExitLauncherFailed;
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

void TForm1::Image3Click(TObject*) {
    if (Core->RunInProgress) return;  // the launcher waits for the run under way
    // Files that the check finds wrong are put right before the client runs.
    const int planned = ListBox1->Items.Count();
    CompleteCheck();
    if (ListBox1->Items.Count() > planned) return;
    if (!LauncherIsTheRelease()) return;
    Hide();
    AnsiString error;
    if (!Core->Launch(error)) {
        ExitCode = kExitLauncherFailed;
        Show();
        Tell(Localized(TText::ClientNotStarted, LanguageMode, ShownPath(AppFolder + kLauncher), error));
        return;
    }
    ExitCode = 0;
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
        UpdateLog::Write("server " + ServerLabel(Core->CurrentServerLine) + ": the connection closed");
    else Tell(Localized(TText::Disconnected, LanguageMode));
    StatusBar1->SimpleText = "Disconnected";
}

void TForm1::WexFTP1ConnectionFailed(TObject*) { ConnectedFlag = false; }
void TForm1::WexFTP1HostResolved(TObject*) { StatusBar1->SimpleText = "Host resolved"; }
void TForm1::WexFTP1InvalidHost(bool&) {
    if (!Quiet()) return Tell("Invalid Host");
    if (Core->Session()) UpdateLog::Write("server " + Core->Session()->Host + ": Invalid Host");
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
    const TWexFTP* ftp = Core->Session();
    const int64_t announced = ftp ? ftp->TransferSize : 0, at = ftp ? ftp->RestartedAt : 0;
    return announced <= 0 ? at : announced;
}

void TForm1::WexFTP1TransactionStart(TObject*) {
    if (!Core->Session()) return;
    int64_t total = DownloadTotal(), at = Core->Session()->RestartedAt;
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
    const TWexFTP* ftp = Core->Session();
    if (!ProgressFlag || !ftp) return;
    int64_t received = ftp->RestartedAt + ftp->ReceivedCount(), total = DownloadTotal();
    Gauge1->SetProgress(GaugeUnits(received, total));
    // The count is text to measure and draw: a few times a second is all
    // the eye reads, whatever the speed of the link; the last one always.
    const auto now = std::chrono::steady_clock::now();
    if (received < total && now - FLastCountShown < std::chrono::milliseconds(50)) return;
    FLastCountShown = now;
    Label4->SetCaption(IntToStr(received) + " of " + IntToStr(total) + " ");
    CentreLabel(Label4);
}

// ---- start-up sequence ----

void TForm1::ShowDisconnected(bool answered) {
    // A user who ends the program while servers are still being tried has
    // not found them unreachable.
    if (Leaving()) return;
    ExitCode = kExitNoServer;
    UpdateLog::Write("no server could be used");
    Label3->Show();
    Label3->SetCaption(Localized(TText::Disconnected, LanguageMode));
    const AnsiString told =
        answered ? Label3->Caption() : Label3->Caption() + "\n" + Localized(TText::NoServerHint, LanguageMode);
    if (Unattended || !Core->InstalledClientChecksOut()) return Tell(told);
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
    if (!Core->LoadKey()) return ShowKeyUnusable();
    // Unattended, the choice saved in isp1.dat stands (or the first server).
    if (!Unattended) Form2->ShowModal();
    Core->OrderServers(Form2->ListBox2->Items.Lines().Lines(), Form2->ListBox1->ItemIndex(), ClockSeed());
    Label3->SetCaption(Localized(TText::Connecting, LanguageMode));
    CentreLabel(Label3);
    TUpdaterCore::TFound found;
    try {
        found = Core->FindList();
    } catch (const std::exception& e) {
        ReportError(e);
        return;
    }
    ConnectedFlag = found == TUpdaterCore::TFound::List;
    switch (found) {
        case TUpdaterCore::TFound::Stopped: return;
        case TUpdaterCore::TFound::NoServer: return ShowDisconnected();
        case TUpdaterCore::TFound::NoListServed: return ShowDisconnected(true);
        case TUpdaterCore::TFound::NoValidList: return ShowNoValidList();
        case TUpdaterCore::TFound::List: break;
    }
    std::vector<AnsiString> names;
    try {
        ProgressFlag = true;
        Gauge1->SetProgress(0);
        Label4->SetCaption("0%");
        CentreLabel(Label4);
        names = Core->MakePlan();
    } catch (const std::exception& e) {
        ReportError(e);
        return;
    }
    ShowPlan(std::move(names));
}

void TForm1::ShowPlan(std::vector<AnsiString> names) {
    ListBox1->CodePage = ListBox2->CodePage = NameCodePage();
    for (AnsiString& name : names) ListBox1->Items.Add(std::move(name));
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
        Core->AcceptSerial();
        LookForNewer();
    }
    ScheduleCheck();
}

// Signed mode, with nothing to update: the plan's server may be a stale
// mirror. Asked once the plan is on the screen; the launch stays offered.
void TForm1::LookForNewer() {
    if (!Core->ReleaseKey()) return;
    std::weak_ptr<int> alive = FAlive;
    auto look = [this, alive] {
        if (alive.expired() || Leaving() || !Core->UpdateList || Core->RunInProgress) return;
        Core->LookForNewer();
        if (!alive.expired() && !Leaving()) ShowNewer();
    };
    if (Unattended) look();  // the unattended start goes on from here
    else PostTask(look);
}

void TForm1::ShowNewer() {
    if (!Core->NewerSeen()) return;
    Label3->Show();
    Label3->SetCaption(Localized(TText::NewerRelease, LanguageMode));
    CentreLabel(Label3);
    Button1->Enabled = true;
}

// Start after a newer release was seen: the plan made again from its
// server's list. False when it cannot be had (what is installed stays whole).
bool TForm1::PlanNewer() {
    TUpdaterCore::TFound found;
    try {
        found = Core->PlanNewer();
    } catch (const std::exception& e) {
        found = TUpdaterCore::TFound::NoListServed;
        UpdateLog::Write(AnsiString("the newer release cannot be had: ") + e.what());
    }
    if (found != TUpdaterCore::TFound::List) {
        if (found != TUpdaterCore::TFound::Stopped) UpdateLog::Write("the newer release cannot be had now");
        Label3->SetCaption(Localized(TText::NothingToUpdate, LanguageMode));
        CentreLabel(Label3);
        Button1->Enabled = false;
        return false;
    }
    try {
        std::vector<AnsiString> names = Core->MakePlan();
        ListBox2->Items.Clear();
        ShowPlan(std::move(names));
    } catch (const std::exception& e) {
        ReportError(e);
        return false;
    }
    return Core->UpdateList && Core->UpdateList->Count() > 0;
}

// A fresh FTP component shows what it does through the window's handlers.
void TForm1::AttachHandlers(TWexFTP& ftp) {
    using namespace std::placeholders;
    ftp.OnConnect = std::bind(&TForm1::WexFTP1Connect, this, _1);
    ftp.OnPacketRecvd = std::bind(&TForm1::WexFTP1PacketRecvd, this, _1);
    ftp.OnPacketSent = std::bind(&TForm1::WexFTP1PacketSent, this, _1);
    ftp.OnError = std::bind(&TForm1::WexFTP1Error, this, _1, _2, _3);
    ftp.OnTransactionStart = std::bind(&TForm1::WexFTP1TransactionStart, this, _1);
    ftp.OnDisconnect = std::bind(&TForm1::WexFTP1Disconnect, this, _1);
    ftp.OnTransactionStop = std::bind(&TForm1::WexFTP1TransactionStop, this, _1);
    ftp.OnFailure = std::bind(&TForm1::WexFTP1Failure, this, _1, _2);
    ftp.OnUnSupportedFunction = std::bind(&TForm1::WexFTP1UnSupportedFunction, this, _1);
    ftp.OnHostResolved = std::bind(&TForm1::WexFTP1HostResolved, this, _1);
    ftp.OnConnectionFailed = std::bind(&TForm1::WexFTP1ConnectionFailed, this, _1);
    ftp.OnInvalidHost = std::bind(&TForm1::WexFTP1InvalidHost, this, _1);
    ftp.OnStatus = std::bind(&TForm1::WexFTP1Status, this, _1, _2);
    ftp.OnListItem = std::bind(&TForm1::WexFTP1ListItem, this, _1);
}

// A public key that cannot be used stops everything (never a quiet
// fallback to unsigned).
void TForm1::ShowKeyUnusable() {
    ExitCode = kExitNoServer;
    Label3->Show();
    Label3->SetCaption(Localized(TText::NoValidList, LanguageMode));
    CentreLabel(Label3);
    Tell(Localized(TText::KeyUnusable, LanguageMode, ShownPath(AppFolder + kPublicKeyFile), Core->KeyProblem));
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
    Tell(Label3->Caption() + "\n" + Localized(Core->Taken.Problem, LanguageMode));
}

// ---- the check of what is installed (signed mode) ----

// One slice at a time from the message loop: the plan is on the screen at
// once, and the window stays live while tens of thousands of files are
// checked.
void TForm1::ScheduleCheck() {
    if (!Core->Check) return;
    std::weak_ptr<int> alive = FAlive;
    PostTask([this, alive] {
        if (!alive.expired()) CheckSlice(0.02);
    });
}

bool TForm1::CheckSlice(double seconds) {
    std::vector<AnsiString> found;
    // No messages run inside a slice (a slice ends after the file it is
    // on), so nothing can pull the lists away while it works.
    if (!Core->CheckSlice(seconds, found)) {
        ScheduleCheck();
        return false;
    }
    if (found.empty()) return true;
    const bool nothingBefore = ListBox1->Items.Count() == 0 && !Core->RunInProgress;
    for (AnsiString& name : found) ListBox1->Items.Add(std::move(name));
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
    while (Core->Check && !CheckSlice(1.0)) {
    }
}

void TForm1::ShowRemainingCount() {
    AnsiString text;
    if (RemainingCountText(ListBox1->Items.Count(), LanguageMode, text)) Label3->SetCaption(text);
}

// ---- update run ----

void TForm1::Button1Click(TObject*) {
    if (!Core->UpdateList) return;
    if (Core->NewerSeen() && ListBox1->Items.Count() == 0 && !PlanNewer()) return;
    CompleteCheck();  // its findings are part of this run
    if (!Core->UpdateList) return;
    Button1->Enabled = false;
    Gauge1->Show();
    Label3->Show();
    if (ExitCode == kExitFailedEntries) ExitCode = 0;
    const int count = Core->UpdateList->Count();
    const int updatedBefore = ListBox2->Items.Count();
    std::vector<TFailedEntry> failed;
    std::vector<int> failedEntries;
    std::vector<AnsiString> failedNames;
    auto shown = [&](int i, TEntryOutcome outcome) {
        const AnsiString name = ListBox1->Items.Count() > 0 ? ListBox1->Items[0] : AnsiString();
        if (IsFailure(outcome)) {
            failed.push_back({NameForDisplay(name), ReasonOf(outcome)});
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
    const bool ended = Core->Run(shown, failedEntries);
    ConnectedFlag = false;  // the run's sessions took over from the plan's
    if (!ended) return;  // the window closed meanwhile and saved what was done
    ShowPoolProgress(true);  // the whole run's figures stay
    if (failed.empty()) return Core->NewerSeen() ? ShowNewer() : LookForNewer();
    TellFailures(failed);
    // The names that did not come in go back to the list to update.
    for (size_t k = failedEntries.size(); k-- > 0;) {
        const int at = updatedBefore + failedEntries[k];
        if (at < ListBox2->Items.Count() && ListBox2->Items[at] == failedNames[k]) ListBox2->Items.Delete(at);
    }
    OfferRetry(failedEntries, failedNames);
}

// Start tries the entries that failed once more.
void TForm1::OfferRetry(const std::vector<int>& failedEntries, const std::vector<AnsiString>& failedNames) {
    Core->KeepForRetry(failedEntries);
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

// The whole run's bytes while several transfers run, and the servers in use.
void TForm1::ShowPoolProgress(bool final) {
    const TUpdateRunner* runner = Core->Runner.get();
    if (!runner || runner->RunBytesPlanned() <= 0 || !ProgressFlag) return;
    const int64_t total = std::max<int64_t>(runner->RunBytesPlanned(), 1),
                  done = std::min(runner->RunBytesDone(), total);
    const auto now = std::chrono::steady_clock::now();
    if (!final && done < total && now - FLastCountShown < std::chrono::milliseconds(50)) return;
    FLastCountShown = now;
    Gauge1->SetMaxValue(GaugeUnits(total, total));
    Gauge1->SetProgress(GaugeUnits(done, total));
    Label4->SetCaption(IntToStr(done) + " of " + IntToStr(total) + " ");
    CentreLabel(Label4);
    const TRunFetches* fetches = runner->Fetches();
    AnsiString names;
    if (fetches)
        for (const AnsiString& name : fetches->Pool().MirrorsInUse()) names += (names.empty() ? "" : ", ") + name;
    if (!names.empty()) StatusBar1->SimpleText = "Servers " + names;
}
