#include "UpdaterCore.h"

#include <ctime>
#include <set>

#include "Removals.h"
#include "RunSession.h"
#include "ServerLine.h"
#include "ServerOrder.h"
#include "UpdateLog.h"
#include "PlayerOwnedPlan.h"
#include "UpdatePlan.h"
#include "platform/CodePage.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/LineFields.h"
#include "release/ReleaseCheck.h"

namespace {

const char kLauncher[] = "portal.exe";

// However a run ends (a damaged entry raises), it is no longer running.
struct TRunning {
    bool& flag;
    explicit TRunning(bool& f) : flag(f) { flag = true; }
    ~TRunning() { flag = false; }
};

void LoadLists(const AnsiString& appFolder, TStringList& remote, TStringList& installed) {
    remote.LoadFromFile(appFolder + "update3.dat");
    installed.LoadFromFile(appFolder + "update2.dat");
    if (installed.Count() == 1) installed.Add("");
}

}  // namespace

TUpdaterCore::~TUpdaterCore() = default;

void TUpdaterCore::Stop() {
    FStopped = true;
    // Whatever the network is doing now is abandoned: every wait of the FTP
    // component returns at once.
    if (FFtp) FFtp->Cancel();
    if (FProbe) FProbe->Cancel();
}

bool TUpdaterCore::Stopped() const { return FStopped || Application->Terminated; }

bool TUpdaterCore::LoadKey() {
    FKey = LoadReleaseKey(AppFolder, KeyProblem);
    return KeyProblem.empty();
}

// ---- servers ----

void TUpdaterCore::OrderServers(const std::vector<AnsiString>& isp0Lines, int selected, uint64_t seed) {
    TRandomGenerator random(static_cast<uint32_t>(seed));
    FOrder = BuildServerOrder(isp0Lines, selected < 0 ? 0 : selected, random);
    ServerIndex = -1;
}

bool TUpdaterCore::NextIsSentinel() const {
    const size_t next = static_cast<size_t>(ServerIndex + 1);
    return next >= FOrder.size() || FOrder[next] == "end";
}

bool TUpdaterCore::ConnectNext() {
    while (!NextIsSentinel() && !Stopped()) {
        FFtp.reset();
        FWeb.reset();
        EventLoop::ProcessMessages();  // what the last component still had pending
        FFtp.reset(NewServerComponent(nullptr));
        if (OnNewSession) OnNewSession(*FFtp);
        const TWexListItem shown = FFtp->OnListItem;
        FFtp->OnListItem = [this, shown](const AnsiString& item) {
            NoteListItem(item);
            if (shown) shown(item);
        };
        const AnsiString line = FOrder[static_cast<size_t>(++ServerIndex)];
        if (OnServerTried) OnServerTried(ServerIndex);
        const bool usable = ConfigureForServer(*FFtp, line);
        if (Stopped()) return false;
        TServerLine server;
        if (usable && ParseServerLine(line, server) && server.Web()) {
            // A web mirror serves the list as any server does; its session
            // becomes the run's first there.
            UpdateLog::Write("server " + ServerLabel(line) + ": connecting");
            FFtp.reset();
            FWeb = std::make_unique<TWebPlanSession>(server, TransferSilence(LoggedInSilence, server.TimeOut));
            AnsiString why;
            if (FWeb->Open([this] { return Stopped(); }, why)) {
                UpdateLog::Write("server " + ServerLabel(line) + ": answered");
                CurrentServerLine = line;
                return true;
            }
            FWeb.reset();
            if (!Stopped()) UpdateLog::Write("server " + ServerLabel(line) + ": connecting failed: " + why);
            continue;
        }
        if (!usable) {
            UpdateLog::Write("server line \"" + line + "\" of isp0.dat is damaged");
            continue;
        }
        UpdateLog::Write("server " + ServerLabel(line) + ": connecting");
        try {
            FFtp->Connect();
        } catch (const std::exception& e) {
            // The window's handlers have shown what there is to show.
            UpdateLog::Write("server " + ServerLabel(line) + ": " + FFtp->Step + " failed: " + e.what());
        }
        if (FFtp->Connected) {
            UpdateLog::Write("server " + ServerLabel(line) + ": logged in");
            CurrentServerLine = line;
            return true;
        }
    }
    return false;
}

bool TUpdaterCore::ListingHas(const AnsiString& name) const {
    for (const AnsiString& item : FListing)
        if (SameNameIgnoringCase(item, name)) return true;
    return false;
}

TUpdaterCore::TFound TUpdaterCore::FindList() {
    if (!ConnectNext()) return Stopped() ? TFound::Stopped : TFound::NoServer;
    // A server counts when its listing holds update3.dat and the list it
    // serves passes the checks (with update.pub: a valid signature).
    bool sawList = false, taken = false;
    for (bool first = true;; first = false) {
        if (!first && !ConnectNext()) break;
        FListing.clear();
        const AnsiString server = ServerLabel(CurrentServerLine);
        const auto stopped = [this] { return Stopped(); };
        if (FFtp) {
            UseTransferTimeOuts(*FFtp, LoggedInSilence);
            try {
                FFtp->NList();
            } catch (const std::exception& e) {
                UpdateLog::Write("server " + server + ": listing failed: " + e.what());
            }
            if (Stopped()) return TFound::Stopped;
            if (!ListingHas("update3.dat")) {
                UpdateLog::Write("server " + server + ": its listing holds no update3.dat");
                continue;
            }
        }
        try {
            Taken = TakeCheckedList(FFtp ? ListDownloadOver(*FFtp, AppFolder) : FWeb->Download(stopped), AppFolder,
                                    server, FKey.get(), stopped);
        } catch (const std::exception& e) {
            UpdateLog::Write("server " + server + ": update3.dat failed: " + e.what());
            throw;
        }
        if (Taken.ListMissing) {
            UpdateLog::Write("server " + server + ": serves no update3.dat");
            continue;
        }
        sawList = true;
        if (Stopped()) return TFound::Stopped;
        if ((taken = Taken.Taken)) break;
        UpdateLog::Write("server " + server + ": " + Taken.RefusedFile + " refused: " + Taken.Refusal);
    }
    if (Stopped()) return TFound::Stopped;
    // The run may need the other servers: in the order they would be tried.
    FRunServers.clear();
    for (const AnsiString& line : FOrder)
        if (line != "end") FRunServers.push_back(line);
    if (taken) return TFound::List;
    return sawList && FKey ? TFound::NoValidList : TFound::NoListServed;
}

// ---- the plan ----

std::vector<AnsiString> TUpdaterCore::MakePlan() {
    const AnsiString installedPath = AppFolder + "update2.dat";
    if (!FileExists(installedPath)) WriteWholeFileAtomic(installedPath, "KOVRAN\r\n");
    // Built aside and handed over at the end: a user who leaves meanwhile
    // finds no half-made lists to save.
    auto remote = std::make_unique<TStringList>(), installed = std::make_unique<TStringList>();
    LoadLists(AppFolder, *remote, *installed);
    // A release may declare the code page of its names ("codepage=950");
    // a signed list means the same files in every locale, so the code page
    // its signature declares holds when the header names none.
    int codePage = remote->Count() > 0 ? DeclaredNamesCodePage((*remote)[0]) : 0;
    if (codePage == 0 && FKey && IsKnownCodePage(Taken.SignedCodePage)) codePage = Taken.SignedCodePage;
    SetNameCodePage(codePage);
    TUpdatePlan plan = ::BuildUpdatePlan(remote->Lines(), installed->Lines());
    if (remote->Count() > 0) LeaveToThePlayer((*remote)[0], AppFolder, plan);
    PlanRemovals(remote->Lines(), AppFolder, plan);
    if (FKey) {
        // Signed mode trusts only what it has checked, installed files too:
        // they are checked once the plan is shown.
        Record = std::make_unique<TInstalledRecord>(AppFolder, !ForceRepair);
        Check = std::make_unique<TRepairCheck>(plan.Names);
    }
    UpdateList = std::make_unique<TStringList>();
    RemoteList = std::move(remote);
    InstalledList = std::move(installed);
    MakeRunner();
    KeepPartialsOf(plan);
    // The entries move into the list: a list near its limit is held as few
    // times as it must be.
    for (AnsiString& entry : plan.Entries) UpdateList->Add(std::move(entry));
    return std::move(plan.Names);
}

// Partial downloads of entries still planned are continued by the run;
// those of an older release are of no use any more. Usually there are none,
// and a list of a million entries costs nothing more for them.
void TUpdaterCore::KeepPartialsOf(const TUpdatePlan& plan) {
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
}

bool TUpdaterCore::CheckSlice(double seconds, std::vector<AnsiString>& found) {
    if (!Check) return true;
    if (!RemoteList || Stopped()) {
        Check.reset();
        return true;
    }
    if (!Check->Step(RemoteList->Lines(), InstalledList->Lines(), *Record, seconds)) return false;
    TUpdatePlan plan = std::move(Check->Found);
    Check.reset();
    Record->Save();
    if (plan.Entries.empty()) return true;
    UpdateLog::Write(IntToStr(static_cast<int64_t>(plan.Entries.size())) +
                     " installed files are not the release's: planned again");
    for (size_t k = 0; k < plan.Entries.size(); ++k) {
        found.push_back(std::move(plan.Names[k]));
        UpdateList->Add(std::move(plan.Entries[k]));
    }
    return true;
}

// ---- the run ----

// The run takes over from the start-up sequence: its servers, the plan's
// session and list, the lists it records into.
void TUpdaterCore::MakeRunner() {
    Runner = std::make_unique<TUpdateRunner>();
    Runner->AppFolder = AppFolder;
    Runner->Servers = FRunServers;
    Runner->CurrentServerLine = CurrentServerLine;
    Runner->PlanServerNeedsActive = FFtp && !FFtp->Passive;
    Runner->ListHeader = RemoteList->Count() > 0 ? (*RemoteList)[0] : AnsiString();
    Runner->PlanListSha = Taken.ListSha;
    Runner->PlanSignature = Taken.Signature;
    Runner->Installed = InstalledList.get();
    Runner->Record = Record.get();
    Runner->RequireHashes = FKey != nullptr;
    Runner->Leaving = [this] { return Stopped(); };
    Runner->OnPoolProgress = [this] {
        if (OnPoolProgress) OnPoolProgress();
    };
    if (FKey)
        Runner->OnOtherList = [this](const AnsiString& line, const AnsiString& list, const AnsiString& signature) {
            JudgeOtherList(line, list, signature);
        };
}

// A list that passes the same checks as the plan's with a higher serial is
// a newer release; anything else another mirror serves is only logged.
void TUpdaterCore::JudgeOtherList(const AnsiString& line, const AnsiString& list, const AnsiString& signature) {
    try {
        FJudged.insert(line);
        NoteSerial(line, CheckSignedList(list, signature, *FKey, Taken.Serial, static_cast<int64_t>(time(nullptr))));
    } catch (const std::exception& e) {
        UpdateLog::Write("server " + ServerLabel(line) + ": its other list is not taken: " + e.what());
    }
}

void TUpdaterCore::NoteSerial(const AnsiString& line, int64_t serial) {
    if (serial <= Taken.Serial || serial <= FNewer.Serial) return;
    FNewer.Serial = serial;
    FNewer.Line = line;
    UpdateLog::Write("server " + ServerLabel(line) + ": serves a newer release (serial " + IntToStr(serial) + ")");
}

void TUpdaterCore::LookForNewer() {
    if (!FKey) return;
    const auto stopped = [this] { return Stopped(); };
    // Servers the run found serving the plan's list, or whose other list it
    // judged, are not asked again.
    std::set<AnsiString> known = FJudged;
    known.insert(CurrentServerLine);
    if (Runner) known.insert(Runner->ServingThePlan().begin(), Runner->ServingThePlan().end());
    for (const AnsiString& line : FRunServers) {
        TServerLine server;
        if (Stopped()) return;
        if (known.count(line) || !ParseServerLine(line, server)) continue;
        try {
            AnsiString signature;
            if (server.Web()) {
                TWebPlanSession web(server, TransferSilence(LoggedInSilence, server.TimeOut));
                AnsiString why;
                if (!web.Open(stopped, why)) continue;
                signature = web.Download(stopped)(kSignatureFile, kMaxSignatureBytes);
            } else {
                struct TGone {  // however the asking ends
                    std::unique_ptr<TWexFTP>& probe;
                    ~TGone() { probe.reset(); }
                } gone{FProbe};
                FProbe.reset(NewServerComponent(nullptr));
                if (!ConfigureForServer(*FProbe, line)) continue;
                FProbe->Connect();
                if (!FProbe->Connected || Stopped()) continue;
                UseTransferTimeOuts(*FProbe, LoggedInSilence);
                signature = ListDownloadOver(*FProbe, AppFolder)(kSignatureFile, kMaxSignatureBytes);
            }
            FJudged.insert(line);
            NoteSerial(line, SignedSerialClaim(signature, *FKey));
        } catch (const std::exception&) {
            // A server that cannot tell stays out of it: what is installed is whole.
        }
    }
}

TUpdaterCore::TFound TUpdaterCore::PlanNewer() {
    if (!NewerSeen()) return TFound::NoListServed;
    std::vector<AnsiString> order{FNewer.Line};
    for (const AnsiString& line : FRunServers)
        if (line != FNewer.Line) order.push_back(line);
    order.push_back("end");
    FOrder = std::move(order);
    ServerIndex = -1;
    FNewer = {};
    FJudged.clear();
    UpdateLog::Write("the newer release is planned");
    return FindList();
}

// The run's sessions take over from the plan's, which becomes the first of
// them: a server that takes one session per user has it for the run.
void TUpdaterCore::LetSessionGo() {
    if (FWeb) Runner->PlanSession = FWeb->Take();
    FWeb.reset();
    if (!FFtp) return;
    if (!FFtp->Passive) Runner->PlanServerNeedsActive = true;
    Runner->PlanSession = FFtp->TakeSession();
    FFtp->OnDisconnect = nullptr;
    FFtp.reset();
}

bool TUpdaterCore::Run(const std::function<void(int, TEntryOutcome)>& onEntry, std::vector<int>& failed) {
    failed.clear();
    if (!UpdateList || !Runner) return true;
    TRunning running(RunInProgress);
    LetSessionGo();
    Runner->LoggedInSilence = LoggedInSilence;
    Runner->OnEntry = [&](int i, TEntryOutcome outcome) {
        if (IsFailure(outcome)) failed.push_back(i);
        if (onEntry) onEntry(i, outcome);
    };
    struct TForget {  // the hook sees this call's locals
        TUpdateRunner& run;
        ~TForget() { run.OnEntry = nullptr; }
    } forget{*Runner};
    if (!Runner->Run(*UpdateList)) return false;  // closed meanwhile: what was done is saved
    AcceptSerial();
    return true;
}

// Start tries the entries that failed once more: the mirrors may have
// caught up meanwhile (a release still being uploaded, a server back).
void TUpdaterCore::KeepForRetry(const std::vector<int>& failed) {
    auto retry = std::make_unique<TStringList>();
    for (int i : failed) retry->Add((*UpdateList)[i]);
    UpdateList = std::move(retry);
}

void TUpdaterCore::AcceptSerial() {
    if (FKey) SaveAcceptedSerial(AppFolder, Taken.Serial);
}

// ---- the launch ----

TUpdaterCore::TLauncher TUpdaterCore::CheckLauncher() {
    if (!FKey || !RemoteList || !InstalledList || !Runner) return TLauncher::AsReleased;
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
    if (line < 0) return TLauncher::AsReleased;  // the release does not bring the launcher
    TInstalledRecord fresh(AppFolder, false);
    if (IsInstalledAsListed(e, fresh)) return TLauncher::AsReleased;
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
    if (Runner->Closed()) return TLauncher::Stopped;
    if (outcome == TEntryOutcome::Installed) Runner->SaveInstalledList();
    TInstalledRecord again(AppFolder, false);
    if (outcome == TEntryOutcome::Installed && IsInstalledAsListed(e, again)) return TLauncher::AsReleased;
    UpdateLog::Write("the launcher could not be repaired; not started");
    return TLauncher::NotRepaired;
}

// Exactly the application folder's launcher with the one argument "1",
// started in that folder: no shell, no splitting of the path at blanks.
bool TUpdaterCore::Launch(AnsiString& error) const {
    const AnsiString launcher = AppFolder + kLauncher;
    if (!StartProgram(launcher, {"1"}, AppFolder, error)) {
        UpdateLog::Write("the launcher " + ShownPath(launcher) + " could not be started: " + error);
        return false;
    }
    UpdateLog::Write("the launcher " + ShownPath(launcher) + " started");
    return true;
}

bool TUpdaterCore::InstalledClientChecksOut() const {
    if (!IsRegularFile(AppFolder + kLauncher)) return false;
    if (!FKey) return true;
    try {
        TStringList remote, installed;
        LoadLists(AppFolder, remote, installed);
        TUpdatePlan plan = ::BuildUpdatePlan(remote.Lines(), installed.Lines());
        if (remote.Count() > 0) LeaveToThePlayer(remote[0], AppFolder, plan);
        if (!plan.Entries.empty()) return false;  // not that release whole: nothing to check it by
        TInstalledRecord record(AppFolder, true);
        PlanRepairs(remote.Lines(), installed.Lines(), record, plan);
        return plan.Entries.empty();
    } catch (const std::exception&) {
        return false;
    }
}

bool TUpdaterCore::Close() {
    // Nothing more is asked of any server (a look for a newer release may
    // be further up the stack).
    Stop();
    if (!InstalledList) return false;
    // A list that cannot be saved (a full disk) is reported by the caller;
    // what it does not record is simply fetched again next time.
    struct TAfter {
        TUpdaterCore& core;
        ~TAfter() {
            if (core.Runner) core.Runner->Close();  // a run further up the stack stops where it is
            core.InstalledList.reset();
            core.UpdateList.reset();
            core.RemoteList.reset();
        }
    } after{*this};
    if (Runner) Runner->SaveInstalledList();
    return true;
}
