// The update run apart from its window: the planned entries in list order,
// their downloads all through the transfer pool (over every mirror that
// serves the plan's list, as the list's header allows), and the records of
// what came in (update2.dat, the record of checked files). The window sets
// it up from the start-up sequence, starts it from its Start picture and
// shows what it reports; tests drive it with no window at all.
//
// The pool decides every try and every failover (see TTransferPool); the run
// installs what the pool brings, and asks for the bytes once more from
// byte 0 when a download continued from an earlier run turns out bad.
#pragma once
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "Repair.h"
#include "RunFetches.h"
#include "UpdateRun.h"

// The pool gave up on an entry whose bytes the run was taking as they came.
class EPoolGaveUp : public Exception { using Exception::Exception; };

class TUpdateRunner {
public:
    static constexpr int kTriesPerEntry = TTransferPool::kTriesPerEntry;

    // From the start-up sequence.
    AnsiString AppFolder;                  // with its trailing backslash
    std::vector<AnsiString> Servers;       // isp0.dat lines in the order the sequence tries them
    AnsiString CurrentServerLine;          // the plan's server
    bool PlanServerNeedsActive = false;    // the plan's session found passive mode unusable there
    // The plan's session, still logged in: the run's first on that server.
    std::unique_ptr<TFetchSession> PlanSession;
    AnsiString ListHeader;                 // line 0 of the plan's update3.dat
    AnsiString PlanListSha, PlanSignature; // of the list the plan was made from
    TStringList* Installed = nullptr;      // the installed versions list
    TInstalledRecord* Record = nullptr;    // signed mode: what is installed, as checked
    bool RequireHashes = false;            // signed mode
    int LoggedInSilence = 60000;           // a transfer's silence limit (at least the server's own time-out)

    // The user is leaving: no more waits, no more tries.
    std::function<bool()> Leaving;
    std::function<void()> OnPoolProgress;
    std::function<void(int i, TEntryOutcome outcome)> OnEntry;  // entry i of the run is done with
    // A mirror serves another list than the plan's (see TTransferPool::OnOtherList).
    std::function<void(const AnsiString& serverLine, const AnsiString& list, const AnsiString& signature)> OnOtherList;

    // Every entry of `entries` in order; update2.dat is saved at the end.
    // False when Close came first.
    bool Run(const TStringList& entries);
    // One entry on its own (the launcher put right before a launch).
    TEntryOutcome BringInOne(const AnsiString& entry);
    // The window is closing: the lists are gone, nothing more is touched.
    void Close() { FClosed = true; }
    bool Closed() const { return FClosed; }

    // update2.dat records what is on disk: one flush of the file systems
    // that received files first, then the list itself, atomically; removed
    // files' lines are left out.
    void SaveInstalledList();
    const std::set<int>& RemovedLines() const { return FRemovedLines; }
    const TRunFetches* Fetches() const { return FFetches.get(); }
    // The isp0.dat lines of the mirrors that ended runs so far serving the plan's list.
    const std::set<AnsiString>& ServingThePlan() const { return FServingThePlan; }
    // The bytes of all the run's downloads, and those in so far (once the
    // run is over, those of the entries it installed).
    int64_t RunBytesPlanned() const { return FFetches ? FFetches->TotalBytes() : FRunPlanned; }
    int64_t RunBytesDone() const { return FFetches ? FFetches->Pool().BytesDone() : FInstalledBytes; }

private:
    bool TakeAll(const TStringList& entries, const std::function<void(int, TEntryOutcome)>& each);
    TEntryOutcome BringInEntry(int i, const AnsiString& entry);
    TEntryOutcome ProcessEntry(const AnsiString& entry);
    TEntryOutcome ProcessMade(const AnsiString& entry, TDeltaInstall& made);
    TEntryInstaller MakeInstaller();
    void EndPool();
    TDownloadResult TakeFromPool(int i, const TDownloadRequest& r);
    void LogOutcome(const AnsiString& name, TEntryOutcome outcome);
    void StartPool(const TStringList& entries);
    void RecordRemoval(const AnsiString& local);
    bool IsLeaving() const { return FClosed || (Leaving && Leaving()); }

    std::unique_ptr<TRunFetches> FFetches;
    std::set<int> FRemovedLines;
    std::set<AnsiString> FServingThePlan;
    int64_t FRunPlanned = 0, FInstalledBytes = 0;
    int FStreamed = -1;  // the entry at hand comes from the pool as it arrives
    AnsiString FLastDetail;  // what the installer said of the last entry
    bool FClosed = false;
};
