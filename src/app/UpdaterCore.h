// The updater's work without a window: the start-up sequence (the servers in
// connection order, the first that serves a list that passes its checks),
// the plan made from that list, the check of what is installed (signed
// mode), the update run, and the launcher's check before a launch. The main
// window drives it from its handlers and shows what it reports; tests and
// the unattended start drive it with no display.
//
// It never calls into a window. It reports through values the caller reads
// (the outcome of each step, the state below) and through a few hooks: a new
// FTP component (the window attaches its handlers to show what it does), a
// server being tried, the run's progress, an entry done with. It owns every
// session; Stop is the one way to end what it is doing.
#pragma once
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "Repair.h"
#include "SignedList.h"
#include "UpdateRunner.h"
#include "WebPlanSession.h"
#include "net/WexFTP.h"

class TUpdaterCore {
public:
    TUpdaterCore() = default;
    ~TUpdaterCore();
    TUpdaterCore(const TUpdaterCore&) = delete;
    TUpdaterCore& operator=(const TUpdaterCore&) = delete;

    // Settings.
    AnsiString AppFolder;      // with its trailing backslash
    bool ForceRepair = false;  // --repair: every installed file is hashed again
    // How long a logged-in server may stay silent (ms) before the try counts
    // as broken. Tests shorten it.
    int LoggedInSilence = 60000;

    // Reports.
    std::function<void(TWexFTP&)> OnNewSession;  // before it connects
    std::function<void(int serverIndex)> OnServerTried;
    std::function<void()> OnPoolProgress;

    // The one stop state: the player is leaving (or the program ends).
    // Every wait returns, no try follows, nothing more is recorded.
    void Stop();
    bool Stopped() const;

    // 1. update.pub: false when one is there but cannot be used (KeyProblem says why).
    bool LoadKey();
    const TPublicKey* ReleaseKey() const { return FKey.get(); }
    AnsiString KeyProblem;

    // 2. The servers to try, in connection order (isp0.dat's lines, the
    //    player's choice first), then the first that serves a good list.
    void OrderServers(const std::vector<AnsiString>& isp0Lines, int selected, uint64_t seed);
    enum class TFound {
        List,           // taken: the plan can be made
        NoServer,       // no server could be reached and logged in to
        NoListServed,   // servers answered, none had update3.dat (or unsigned: none served it)
        NoValidList,    // signed mode: lists were there, none passed (Taken.Problem says why)
        Stopped
    };
    // Raises what an unsigned list's download raises (as it always did).
    TFound FindList();
    int ServerIndex = -1;              // of the line last tried
    AnsiString CurrentServerLine;      // the plan's server
    TTakenList Taken;                  // what the last server's list came to
    TWexFTP* Session() const { return FFtp.get(); }  // null while the server at hand is a web mirror
    // The listing of the server at hand (case is ignored).
    bool ListingHas(const AnsiString& name) const;
    void NoteListItem(const AnsiString& item) { FListing.push_back(item); }

    // 3. The plan: update2.dat is made when missing; returns the names to
    //    show, in the order of UpdateList. In signed mode the check of what
    //    is installed is then to run (CheckSlice).
    std::vector<AnsiString> MakePlan();
    std::unique_ptr<TStringList> RemoteList, InstalledList, UpdateList;
    std::unique_ptr<TInstalledRecord> Record;  // signed mode: what is installed, as checked
    std::unique_ptr<TRepairCheck> Check;       // while the check runs
    // Checks for about `seconds`; true when the check is over. Entries it
    // finds wrong join UpdateList, their names `found`.
    bool CheckSlice(double seconds, std::vector<AnsiString>& found);

    // 4. The run over UpdateList. False when Stop came first (what was done
    //    is saved). Entries that failed are left in UpdateList for Start to
    //    try again; `failed` gets their indexes in the run.
    bool Run(const std::function<void(int i, TEntryOutcome outcome)>& onEntry, std::vector<int>& failed);
    void KeepForRetry(const std::vector<int>& failed);
    std::unique_ptr<TUpdateRunner> Runner;
    bool RunInProgress = false;

    // 5. Before a launch, in signed mode: the launcher's bytes are checked
    //    against the list (the record is not trusted for this one) and put
    //    right first when they differ.
    enum class TLauncher { AsReleased, NotRepaired, Stopped };
    TLauncher CheckLauncher();
    // Starts the launcher (false, with the system's words, when it cannot be).
    bool Launch(AnsiString& error) const;
    // With no server to ask: whether the installed client may be played as
    // it is (in signed mode only when the last list taken names exactly
    // what is installed).
    bool InstalledClientChecksOut() const;
    // The release is in: an older list can no longer pass for a newer one.
    void AcceptSerial();

    // Signed mode: a mirror served a newer release than the plan's during
    // the run (a stale mirror gave the plan, or a push came meanwhile). The
    // plan's release is installed whole all the same; PlanNewer then makes
    // the plan again from that mirror's list (the others after it), and
    // MakePlan and Run go on as after FindList.
    bool NewerSeen() const { return FNewer.Serial > 0; }
    int64_t NewerSerial() const { return FNewer.Serial; }
    TFound PlanNewer();
    // With nothing to update: the other servers' signatures are read (a few
    // hundred bytes each, their trusted comments checked) to learn whether
    // one serves a newer release than the plan's server gave.
    void LookForNewer();

    // The program is closing: what was done is recorded (raises when
    // update2.dat cannot be saved), the run further up the stack stops, the
    // lists go. False when there was nothing to record.
    bool Close();

private:
    bool NextIsSentinel() const;
    bool ConnectNext();  // false: no server is left or Stop came
    void LetSessionGo();
    void MakeRunner();
    void KeepPartialsOf(const TUpdatePlan& plan);
    void JudgeOtherList(const AnsiString& line, const AnsiString& list, const AnsiString& signature);
    void NoteSerial(const AnsiString& line, int64_t serial);

    std::unique_ptr<TPublicKey> FKey;
    std::vector<AnsiString> FOrder, FRunServers, FListing;
    std::unique_ptr<TWexFTP> FFtp;
    std::unique_ptr<TWebPlanSession> FWeb;  // the plan's server is a web mirror
    std::unique_ptr<TWexFTP> FProbe;        // LookForNewer's, while it asks
    bool FStopped = false;
    struct {
        int64_t Serial = 0;
        AnsiString Line;
    } FNewer;
    std::set<AnsiString> FJudged;  // servers whose release this run has judged already
};
