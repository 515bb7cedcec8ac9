// Every download of the update run, fetched ahead of its installs over
// every mirror that serves the plan's list, a few sessions each, all on the
// one event loop (see TFtpSession). A list that asks for one session on one
// mirror gets exactly that: one session, on the plan's own server.
//
// Each entry's bytes go into its partial download (see TPartialFile). The
// run installs the entries in list order, each finding its partial complete
// or taking the bytes as they come (Streams, Prefix): size, hash, inflating,
// records and the two lists stay the run's. An entry of at least
// SegmentFrom bytes (with nothing kept from before) comes in segments, over
// every session allowed, into "<partial>.seg", whose "<partial>.ranges"
// lists the segments that are in (each flushed first), so that a run killed
// midway goes on with the rest; when all are in, the segment file becomes
// the partial download. A segment cut short keeps what arrived.
//
// A session is used only after it fetched an update3.dat (and signature)
// byte for byte the plan's (a signature that differs is asked again once,
// after 2 s: an upload may be between its two renames). The one set of
// rules for tries: an entry gets at most kTriesPerEntry failed tries in all,
// at most kFailuresPerEntry on one mirror (a try that brought bytes is
// progress on a flaky link and counts only in the first number); a mirror
// that refused it (550) is not asked for it again. A mirror is left for the
// rest of the run when it refuses the connection or the login (its first
// session, asked twice), serves another list, or fails kEntriesInARow
// files in a row. An entry no mirror may still be asked for is given up.
//
// A session with nothing left to take does not wait for a much slower
// mirror: it fetches the rest of that mirror's piece too, and whichever
// ends first ends the other (the bytes are the same: both mirrors serve
// the plan's list).
//
// Side fetches are files or byte ranges apart from the entries (the delta
// form's manifest, indexes and chunk ranges): they go before every entry's
// bytes, on any session that has checked its mirror's list, into memory the
// caller owns. While the caller holds the sessions, one with no work left
// waits for more instead of ending, so a chain of small fetches costs no
// new logins.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "net/FtpSession.h"
#include "net/HttpSession.h"
#include "platform/EventLoop.h"
#include "release/UpdateEntry.h"

class TTransferPool {
public:
    struct TSettings {
        int Connections = 2;      // sessions per mirror
        bool AllMirrors = true;   // false: one server at a time, in the order given
        int64_t SegmentFrom = 8 << 20;
        int IdleMilliseconds = 60000;
        AnsiString Password;
        // The first server is the one the plan was made from, moments ago.
        // Like the run's own session, it is still asked for the plan's files
        // when its update3.dat has moved on meanwhile (a release pushed between
        // the plan and Start): served files keep their names until pruned, and
        // the list's hashes check what comes.
        bool FirstIsThePlans = false;
        // The plan's own session found that the first server needs active
        // mode: the pool's sessions there start with it.
        bool FirstNeedsActive = false;
    };
    // `servers`: isp0.dat lines, the plan's own server first (a damaged line
    // is left, with a word in the log). `listSha`: the
    // plan's update3.dat; `signature`: its signature file, empty when unsigned.
    TTransferPool(const AnsiString& appFolder, const std::vector<AnsiString>& servers, const AnsiString& listSha,
                  const AnsiString& signature, const TSettings& settings);
    ~TTransferPool();
    TTransferPool(const TTransferPool&) = delete;
    TTransferPool& operator=(const TTransferPool&) = delete;

    // An entry to fetch (known kind, safe names); `index` is the caller's.
    void Add(int index, const TUpdateEntry& e);
    // The plan's own session, logged in to the first server and checked
    // there: it becomes the pool's first session on that server (before Start).
    void Adopt(std::unique_ptr<TFetchSession> session);
    void Start();
    // Ends every session; what is not fetched is left to the run.
    void Stop();
    bool Has(int index) const { return Find(index) != nullptr; }
    // Fetched, or given up on: the run may take the entry now.
    bool Settled(int index) const;
    // Given up on: no try brought it.
    bool GivenUp(int index) const;
    // A server's file had another size than the list's (the entry fails as
    // a size mismatch when no server brings it).
    bool SizeDiffers(int index) const;
    // The tries of the entry that failed (refusals not counted).
    int FailedTries(int index) const;
    // The run found the bytes it was given bad (a download continued from an
    // earlier run): they are fetched again from byte 0, one failed try more.
    void Retry(int index);
    // An entry coming in segments, not yet whole: the run may take its bytes
    // in order as they come, from SegmentFile up to Prefix (all of them once
    // it is fetched; the segment file has become the partial download then).
    bool Streams(int index) const;
    int64_t Prefix(int index) const;
    AnsiString SegmentFile(int index) const;
    // The run is done with the entry: installed (its segment file and record
    // go) or not (they stay for a later run). Entries may be added later.
    // The entry's listed size, for the caller's account of bytes ahead.
    int64_t Done(int index, bool installed);
    const TSettings& Settings() const { return FSettings; }
    bool Idle() const;  // nothing left to fetch or in flight
    // Idle, and every session has ended (a session with no work left ends).
    bool Quiet() const;

    int64_t BytesPlanned() const { return FPlanned; }
    int64_t BytesDone() const { return FDone; }
    std::vector<AnsiString> MirrorsInUse() const;  // their names, first field of the line
    // The isp0.dat lines of the mirrors found serving the plan's list at
    // some point of the run (the plan's own server among them).
    std::vector<AnsiString> LinesWithThePlansList() const;

    // A served file (EndsFile: Offset to its end, Length bytes) or a range
    // of one. Its bytes go to Sink in order (`at`: from Offset; false stops
    // the fetch as failed). A transfer that breaks goes on from where it
    // got once more on a fresh session; a refusal, a file of another size or
    // a second failure ends it. OnEnd is called once, from the loop.
    struct TSideFetch {
        AnsiString Remote;
        int64_t Offset = 0, Length = 0;
        bool EndsFile = false;
        std::function<bool(int64_t at, const char* data, size_t n)> Sink;
        std::function<void(bool fetched, const AnsiString& why)> OnEnd;
    };
    void FetchSide(TSideFetch fetch);
    // While held (the caller has more side fetches to come), sessions with
    // nothing to do stay logged in.
    void HoldSessions(bool hold);

    std::function<void(const AnsiString& text)> Log;
    std::function<void()> OnProgress;  // bytes arrived or an entry settled
    // Signed runs: a mirror serves another list (a newer release pushed
    // there, or a stale mirror); its list and signature, for the caller to
    // judge. The mirror is not used for this run either way.
    std::function<void(const AnsiString& serverLine, const AnsiString& list, const AnsiString& signature)> OnOtherList;

    static AnsiString SegmentPathOf(const AnsiString& partial) { return partial + ".seg"; }
    static AnsiString RangesPathOf(const AnsiString& partial) { return partial + ".ranges"; }
    // One bad file costs at most kTriesPerEntry silence limits, at most
    // kFailuresPerEntry on one mirror.
    static constexpr int kFailuresPerEntry = 2, kEntriesInARow = 3, kTriesPerEntry = 5;

private:
    struct TItem {
        int Index;
        TUpdateEntry E;
        AnsiString Target, Partial;  // application paths
        bool Segmented = false, Settled = false, Fetched = false, Released = false, OtherSize = false;
        bool InOnePiece = false;  // a server could not restart: no segments
        int Fd = -1, Pending = 0, Active = 0;  // Fd is open while a job runs
        int FailedTries = 0;
        size_t FirstJob = 0, Jobs = 0;         // of a segmented entry, in offset order
        std::map<size_t, int> Failures;  // per mirror
        std::set<size_t> RefusedBy;
    };
    struct TJob {
        size_t Item;
        int64_t Offset, Length;
        bool EndsFile, Active = false, Done = false;
        int64_t Counted = 0;  // bytes of it in FDone, from every session on it
    };
    struct TMirror {
        AnsiString Line, Name, Host, User;
        bool Web = false;  // HTTP or HTTPS: Host is the base address
        int Port = 21, Target = 1, Live = 0, Verified = 0, FailedInARow = 0, LoginRefusals = 0;
        size_t LastFailed = SIZE_MAX;  // the item of its last failed try, for files in a row
        double Rate = 0;  // bytes per second of its last whole fetch of some size
        bool Left = false, Damaged = false, SignatureAskedAgain = false;
        bool NeedsActive = false;  // a session found passive mode unusable there
        bool ListChecked = false;  // a session was let work there: it serves the plan's list
        AnsiString Label() const { return Name + " (" + Host + (Web ? AnsiString() : ":" + IntToStr(Port)) + ")"; }
    };
    struct TWorker {
        std::unique_ptr<TFetchSession> Session;
        TFtpSession* Ftp = nullptr;  // the same session, when it speaks FTP
        size_t Mirror;
        enum class TPhase { Login, List, Signature, OtherSignature, Working } Phase = TPhase::Login;
        AnsiString Fetched, OtherList;
        int Job = -1;
        int Side = -1;      // the side fetch it is on
        bool Idle = false;  // held with nothing to do
        int64_t From = 0, JobBytes = 0;  // where its fetch began, and what came since
        std::chrono::steady_clock::time_point Began;
        bool Dead = false, Closed = false;
        // The plan's session, idle since the plan: a break before its first
        // byte is the server having let it go meanwhile, no failed try.
        bool Adopted = false, Delivered = false;
    };

    void OpenSession(size_t mirror);
    TWorker& AddWorker(size_t mirror, std::unique_ptr<TFetchSession> session, TFtpSession* ftp);
    void OnReady(TWorker& w);
    void OnFetched(TWorker& w, TFtpSession::TEnd end, const AnsiString& why);
    void OnBroken(TWorker& w, const AnsiString& why, bool login);
    void Verified(TWorker& w);
    void GiveWork(TWorker& w);
    void JobDone(TWorker& w);
    void JobFailed(TWorker& w, bool refused, const AnsiString& why);
    bool DropCopy(TWorker& w);
    std::vector<TWorker*> CopiesOf(size_t job, const TWorker* except) const;
    bool TakeOver(TWorker& w);
    void StartFetch(TWorker& w, size_t job, int64_t from);
    void Leave(size_t mirror, const AnsiString& why);
    void Desegment(TItem& item);
    struct TSide {
        TSideFetch F;
        int64_t Got = 0;
        int Failures = 0;
        bool Active = false;
    };
    bool GiveSideWork(TWorker& w);
    void SideEnded(TWorker& w, bool fetched, bool final, const AnsiString& why);
    void EndSide(int id, bool fetched, const AnsiString& why);
    void FailSidesIfNoMirror();
    bool HasSideWorkFor(size_t mirror) const;
    void WakeIdle();
    void FetchList(TWorker& w);
    void OtherList(TWorker& w);
    bool MayAsk(const TItem& item, size_t mirror) const;
    bool MayAskThis(const TItem& item, size_t mirror) const;
    void SettleIfHopeless(TItem& item);
    void Settle(TItem& item);
    void Complete(TItem& item);
    bool RecordSegment(TItem& item, int64_t offset, int64_t length);
    void Retire(TWorker& w);
    void Sweep();
    void PostSweep();
    void Replenish();
    bool HasWorkFor(size_t mirror) const;
    void PlanItem(TItem& item);
    bool PlanNext();
    bool Hold(TItem& item, const TJob& job);
    void Let(TItem& item);
    void Say(const AnsiString& text) {
        if (Log) Log(text);
    }

    AnsiString FAppFolder, FListSha, FSignature;
    TSettings FSettings;
    std::vector<TMirror> FMirrors;
    // Items and jobs are numbered from the pool's start; those the run is
    // done with leave the front (FItemBase, FJobBase: the first still held).
    std::deque<std::unique_ptr<TItem>> FItems;
    std::map<int, size_t> FByIndex;
    std::deque<TJob> FJobs;
    size_t FItemBase = 0, FJobBase = 0, FFirstOpenJob = 0, FNextToPlan = 0;
    TItem* Find(int index) const;  // null once the run is done with it, or never added
    TItem& ItemAt(size_t n) { return *FItems[n - FItemBase]; }
    const TItem& ItemAt(size_t n) const { return *FItems[n - FItemBase]; }
    TJob& JobAt(size_t j) { return FJobs[j - FJobBase]; }
    const TJob& JobAt(size_t j) const { return FJobs[j - FJobBase]; }
    std::vector<std::unique_ptr<TWorker>> FWorkers;
    std::map<int, TSide> FSides;
    int FNextSide = 0;
    bool FHeld = false;
    int64_t FPlanned = 0, FDone = 0;
    bool FStarted = false, FStopped = false, FSweepPosted = false;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
