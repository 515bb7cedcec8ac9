// The update run apart from its window: the planned entries in list order,
// each with every try it may take, on the run's own FTP session or fetched
// ahead by the pool over every mirror that serves the plan's list; the
// failover from server to server; and the records of what came in
// (update2.dat, the record of checked files). The window sets it up from
// the start-up sequence, starts it from its Start picture and shows what it
// reports through the hooks; tests drive it with no window at all.
//
// A try that breaks (a dropped connection, a time-out, fewer bytes than
// listed) is followed by another that goes on from the bytes already there:
// on the same server once more after a second, then on the other servers in
// the order the start-up sequence would try them, each used only while its
// update3.dat is the one the plan was made from. A file a server refuses
// (550: missing, say, on a mirror still being uploaded) is asked of the next
// server at once. At most kTriesPerEntry tries; a server that failed an
// entry twice is not asked for it again but stays in use for the others
// (see TServerHealth).
#pragma once
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "Repair.h"
#include "RunFetches.h"
#include "ServerHealth.h"
#include "UpdateRun.h"
#include "net/WexFTP.h"

// The pool gave up on an entry whose bytes the run was taking as they came.
class EPoolGaveUp : public Exception { using Exception::Exception; };

class TUpdateRunner {
public:
    // The pool's failed tries of an entry count among these.
    static constexpr int kTriesPerEntry = TTransferPool::kTriesPerEntry;

    // `session` is where the program keeps its one FTP component, the one
    // the window's handlers watch; the run puts a new one there when it
    // turns to another server and empties it when it lets a server go.
    explicit TUpdateRunner(TWexFTP*& session) : FSession(session) {}
    TUpdateRunner(const TUpdateRunner&) = delete;
    TUpdateRunner& operator=(const TUpdateRunner&) = delete;

    // From the start-up sequence.
    AnsiString AppFolder;                  // with its trailing backslash
    std::vector<AnsiString> Servers;       // isp0.dat lines in the order the sequence tries them
    AnsiString CurrentServerLine;          // whose session is in `session` (the plan's at first)
    AnsiString ListHeader;                 // line 0 of the plan's update3.dat
    AnsiString PlanListSha, PlanSignature; // of the list the plan was made from
    TStringList* Installed = nullptr;      // the installed versions list
    TInstalledRecord* Record = nullptr;    // signed mode: what is installed, as checked
    bool RequireHashes = false;            // signed mode
    int LoggedInSilence = 60000;           // see UseTransferTimeOuts

    // The user is leaving: no more waits, no more tries.
    std::function<bool()> Leaving;
    // Puts a fresh component into `session` (with the program's handlers);
    // without it the run makes a bare one.
    std::function<void()> NewSession;
    std::function<void()> OnSessionDropped;
    std::function<void(const AnsiString& line)> OnConnecting;  // the run turns to this server
    std::function<void()> OnPoolProgress;
    std::function<void(int i, TEntryOutcome outcome)> OnEntry;  // entry i of the run is done with

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
    int64_t EntrySize() const { return FEntrySize; }  // listed size of the download under way
    // A run with fetches ahead: the bytes of all its downloads, and those in
    // so far (the pool's and the run's own finished ones; once the run is
    // over, those of the entries it installed); 0 planned for a run on one
    // session, whose label counts each download as ever.
    int64_t RunBytesPlanned() const { return FRunPlanned; }
    int64_t RunBytesDone() const { return FFetches ? FFetches->Pool().BytesDone() + FOwnBytes : FInstalledBytes; }
    // Lets the run's session go without a word: the run finds another when
    // it needs one.
    void DropServer();

private:
    TEntryOutcome BringInEntry(const AnsiString& entry, int triesSpent = 0);
    TEntryOutcome ProcessEntry(const AnsiString& entry);
    TDownloadResult TakeFromPool(int i, const TDownloadRequest& r);
    void LogOutcome(const AnsiString& name, TEntryOutcome outcome);
    void StartPool(const TStringList& entries);
    bool ReconnectForRun();
    bool ConnectRunServer(const AnsiString& line, AnsiString& why);
    bool ServesPlannedList(const AnsiString& line);
    void LeaveForRun(const AnsiString& line, const AnsiString& why, bool endSession = true);
    void RecordRemoval(const AnsiString& local);
    bool IsLeaving() const { return FClosed || (Leaving && Leaving()); }
    bool SessionUp() const { return FSession && FSession->Connected; }

    TWexFTP*& FSession;
    TServerHealth FHealth;
    std::unique_ptr<TRunFetches> FFetches;
    std::set<int> FRemovedLines;
    int64_t FEntrySize = 0, FRunPlanned = 0, FInstalledBytes = 0, FOwnBytes = 0;
    int FStreamed = -1;  // the entry at hand comes from the pool in segments
    AnsiString FLastDetail;  // what the installer said of the last entry
    std::set<AnsiString> FNeedActive;  // servers where passive mode did not work
    bool FClosed = false;
};
