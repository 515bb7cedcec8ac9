// TForm1, the updater's main window: skin pictures, the two file lists, the
// status and progress texts, the progress gauge and three picture buttons.
// Its handlers drive the updater's window-free core (TUpdaterCore): the
// start-up sequence on the first resize, the update run on the start
// picture, the launcher on the launch picture; it shows what the core
// reports and asks the player what only the player can answer.
//
// The FTP component waits by pumping window messages, so the picture
// handlers, the exit question and the FTP event handlers run nested inside a
// waiting sequence or run.
#pragma once
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <vector>
#include <memory>

#include "Texts.h"
#include "Unattended.h"
#include "UpdaterCore.h"
#include "gzip/Gzip.h"
#include "net/WexFTP.h"
#include "platform/Controls.h"
#include "widgets/Gauges.h"

class TForm1 : public TForm {
public:
    explicit TForm1(TComponent* AOwner);
    ~TForm1() override;

    // Controls, as the window design names them.
    TImage *Image1, *Image2, *Image3, *Image4, *Image5;
    TGauge* Gauge1;
    TListBox *ListBox1, *ListBox2, *ListBox3;
    TLabel *Label1, *Label2, *Label3, *Label4;
    TButton *Button1, *Button4;
    TStatusBar* StatusBar1;
    TGzip* Gzip1;

    // Program-wide state; read and written on the UI thread only.
    char LanguageMode = 'n';
    AnsiString ImageSuffix = "c";
    AnsiString AppFolder;
    bool ConnectedFlag = false;
    bool AbortFlag = false;
    bool FirstResizeFlag = false;
    bool ProgressFlag = false;
    // The work: servers, plan, check, run and launcher check.
    std::unique_ptr<TUpdaterCore> Core = std::make_unique<TUpdaterCore>();
    // Runs the check's next slice for about `seconds`; true when it is done.
    bool CheckSlice(double seconds);
    void CompleteCheck();

    // The program's exit code: 0 after a launch or a confirmed exit; the
    // others say how the updater left things (see skiff(1)).
    static constexpr int kExitNoServer = ::kExitNoServer, kExitFailedEntries = ::kExitFailedEntries,
                         kExitLauncherFailed = ::kExitLauncherFailed;
    int ExitCode = 0;

    // Started with --unattended: the saved server choice, no click, no box
    // (the log tells); the run starts by itself, the client is launched when
    // nothing failed, and the window closes with the exit code either way.
    bool Unattended = false;

    // Ends the program at once (closing while connected). Tests replace it.
    std::function<void()> Halt;

    // Handlers of the window and its controls.
    void FormCreate(TObject* Sender);
    void FormResize(TObject* Sender);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void FormDestroy(TObject* Sender);
    void Button1Click(TObject* Sender);
    void Button4Click(TObject* Sender);
    void Image3Click(TObject* Sender);
    void Image2MouseDown(TObject*, TMouseButton, TShiftState, int, int);
    void Image2MouseUp(TObject*, TMouseButton, TShiftState, int, int);
    void Image3MouseDown(TObject*, TMouseButton, TShiftState, int, int);
    void Image3MouseUp(TObject*, TMouseButton, TShiftState, int, int);
    void Image4MouseDown(TObject*, TMouseButton, TShiftState, int, int);
    void Image4MouseUp(TObject*, TMouseButton, TShiftState, int, int);

    // Handlers of the FTP component's events.
    void WexFTP1Connect(TObject* Sender);
    void WexFTP1Disconnect(TObject* Sender);
    void WexFTP1ConnectionFailed(TObject* Sender);
    void WexFTP1HostResolved(TObject* Sender);
    void WexFTP1InvalidHost(bool& Handled);
    void WexFTP1Error(TObject* Sender, uint16_t Errno, const AnsiString& Errmsg);
    void WexFTP1Failure(bool& Handled, TCmdType Trans_Type);
    void WexFTP1UnSupportedFunction(TCmdType Trans_Type);
    void WexFTP1TransactionStart(TObject* Sender);
    void WexFTP1TransactionStop(TObject* Sender);
    void WexFTP1PacketSent(TObject* Sender);
    void WexFTP1PacketRecvd(TObject* Sender);
    void WexFTP1Status(TObject* Sender, const AnsiString& Status);
    void WexFTP1ListItem(const AnsiString& Listing);

    void RunStartUpSequence();
    // The user confirmed the exit: nothing more is shown, no wait is begun.
    bool Leaving() const { return Core->Stopped(); }

    void CentreLabel(TLabel* label);
    void ShowRemainingCount();

private:
    void LoadSkin(TImage* image, const AnsiString& baseName);
    void AttachHandlers(TWexFTP& ftp);
    // `answered`: servers took the login but none had the list, so the hint
    // about the player's connection does not fit.
    void ShowDisconnected(bool answered = false);
    void ShowKeyUnusable();
    void ShowNoValidList();
    void ShowPlan(std::vector<AnsiString> names);
    void LookForNewer();
    void ShowNewer();
    bool PlanNewer();
    void ContinueUnattended();
    void ReportError(const std::exception& e);
    // The whole run's bytes while fetches run ahead; `final` shows the last
    // figures at once.
    void ShowPoolProgress(bool final = false);
    // Once a plan exists, a lost connection is found again when it is
    // needed: no box for it, nor for what the failover meets on its way.
    bool Quiet() const { return Core->RunInProgress || Core->UpdateList != nullptr; }
    void OfferRetry(const std::vector<int>& failedEntries, const std::vector<AnsiString>& failedNames);
    int64_t DownloadTotal() const;
    void Tell(const AnsiString& text);  // a message box, unless the user is leaving
    void TellFailures(const std::vector<TFailedEntry>& failed);
    static TFailReason ReasonOf(TEntryOutcome outcome);
    AnsiString NameForDisplay(const AnsiString& name) const;
    bool LauncherIsTheRelease();
    void ScheduleCheck();
    std::shared_ptr<int> FAlive = std::make_shared<int>(0);  // posted tasks see the window is gone
    std::chrono::steady_clock::time_point FLastCountShown;
};

extern TForm1* Form1;
