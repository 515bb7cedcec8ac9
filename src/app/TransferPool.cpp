#include "TransferPool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ServerLine.h"
#include "UpdateRun.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"
#include "release/PackArchive.h"
#include "release/ReleaseCheck.h"

namespace {
constexpr int64_t kMinSegment = 1 << 20, kMaxSegment = 16 << 20;
// A slow fetch is taken over only for a rest worth a new transfer, and by a
// mirror at least this many times as fast.
constexpr int64_t kTakeOverFrom = 256 << 10;
constexpr double kTakeOverSpeedUp = 2;

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The recorded segments of a segment file: "offset length" lines.
std::vector<std::pair<int64_t, int64_t>> ReadRanges(const AnsiString& path, int64_t size) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    if (FileSizeOf(path) <= 0) return ranges;
    AnsiString text;
    try {
        text = ReadWholeFile(path, 1 << 20);
    } catch (const std::exception&) {
        return ranges;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == AnsiString::npos) break;  // a line cut by a kill: not recorded
        long long offset = 0, length = 0;
        if (sscanf(text.substr(at, end - at).c_str(), "%lld %lld", &offset, &length) == 2 && offset >= 0 &&
            length > 0 && offset + length <= size)
            ranges.emplace_back(offset, length);
        at = end + 1;
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}
}  // namespace

TTransferPool::TTransferPool(const AnsiString& appFolder, const std::vector<AnsiString>& servers,
                             const AnsiString& listSha, const AnsiString& signature, const TSettings& settings)
    : FAppFolder(appFolder), FListSha(listSha), FSignature(signature), FSettings(settings) {
    FSettings.Connections = std::max(1, std::min(TTransferLimits::kMaxConnections, FSettings.Connections));
    for (const AnsiString& line : servers) {
        TMirror m;
        m.Line = line;
        TServerLine server;
        if (ParseServerLine(line, server)) {
            m.Name = server.Name, m.Host = server.Host, m.User = server.User, m.Port = server.Port;
            m.Web = server.Web();
        } else {
            m.Name = GetField(1, line), m.Host = GetField(2, line);
            m.Left = m.Damaged = true;  // said at the start, once the log is there
        }
        m.Target = FSettings.Connections;
        m.NeedsActive = FMirrors.empty() && FSettings.FirstNeedsActive;
        FMirrors.push_back(m);
    }
}

TTransferPool::~TTransferPool() {
    *FAlive = false;
    Stop();
}

void TTransferPool::Add(int index, const TUpdateEntry& e) {
    auto item = std::make_unique<TItem>();
    item->Index = index;
    item->E = e;
    item->Target = FAppFolder + e.Local;
    item->Partial = item->Target + kPartialMarker + PartialIdOf(e);
    FPlanned += e.Size;
    FByIndex[index] = FItemBase + FItems.size();
    FItems.push_back(std::move(item));
    // No mirror left to ask: the run's own tries take it at once.
    if (FStarted) SettleIfHopeless(*FItems.back());
    Replenish();  // sessions that ended for want of work come back
}

void TTransferPool::Start() {
    if (FStarted) return;
    FStarted = true;
    for (const TMirror& m : FMirrors)
        if (m.Damaged) Say("server " + ServerLabel(m.Line) + ": left for the rest of the run: its line in isp0.dat is damaged");
    FailSidesIfNoMirror();
    // The plan's session goes on first; the others of its server need no
    // check of the list either, the server's first session has made it.
    std::vector<TWorker*> adopted;
    for (const auto& w : FWorkers) adopted.push_back(w.get());
    for (TWorker* w : adopted) {
        Say("server " + FMirrors[w->Mirror].Label() + ": in use for the run");
        GiveWork(*w);
    }
    for (size_t m = 0; m < FMirrors.size(); ++m)
        if (HasWorkFor(m))
            for (int k = FMirrors[m].Live; k < (FMirrors[m].Verified > 0 ? FMirrors[m].Target : 1); ++k) OpenSession(m);
    for (auto& item : FItems) SettleIfHopeless(*item);
}

// Entries are planned as sessions reach them, so that a list of many
// thousand files costs no files or descriptors before they are due.
bool TTransferPool::PlanNext() {
    while (FNextToPlan < FItemBase + FItems.size()) {
        TItem& item = ItemAt(FNextToPlan++);
        if (item.Settled) continue;
        PlanItem(item);
        return true;
    }
    return false;
}

// The jobs of one entry: the bytes after those kept from an earlier run,
// as one fetch, or the segments not yet recorded.
void TTransferPool::PlanItem(TItem& item) {
    const TUpdateEntry& e = item.E;
    try {
        MakeFileFolders(item.Target);
        const AnsiString id = PartialIdOf(e);
        TPartialFile partial(item.Target, id);
        const int64_t kept = partial.Size();
        if (kept >= e.Size) {  // the run checks it
            item.Fetched = kept == e.Size;
            return Settle(item);
        }
        const AnsiString segments = SegmentPathOf(item.Partial);
        if (kept == 0 && e.Size >= FSettings.SegmentFrom && !item.InOnePiece) {
            TPartialFile segmentFile(item.Target, id + ".seg");
            auto done = ReadRanges(RangesPathOf(item.Partial), e.Size);
            if (done.empty()) TPartialFile(item.Target, id + ".ranges").Truncate();
            const int fd = OpenForAppending(segments, done.empty() ? 0 : std::max<int64_t>(FileSizeOf(segments), 0));
            const bool sized = fd >= 0 && ftruncate(fd, e.Size) == 0;
            if (fd >= 0) close(fd);
            if (!sized) throw EInOutError("Cannot write file \"" + ShownPath(segments) + "\". " + strerror(errno));
            item.Segmented = true;
            int64_t sessions = 0;
            for (size_t m = 0; m < FMirrors.size(); ++m) sessions += MayAsk(item, m) ? FMirrors[m].Target : 0;
            int64_t piece = std::max(kMinSegment, std::min(kMaxSegment, e.Size / std::max<int64_t>(1, sessions * 3)));
            piece = (piece + 65535) / 65536 * 65536;
            // One session takes the file in one fetch: no piece ends early.
            if (sessions <= 1) piece = e.Size;
            // The gaps between recorded segments, cut into pieces.
            item.FirstJob = FJobBase + FJobs.size();
            int64_t at = 0;
            done.emplace_back(e.Size, 0);
            for (const auto& [offset, length] : done) {
                for (; at < offset; at += piece) {
                    const int64_t n = std::min(piece, offset - at);
                    FJobs.push_back({FByIndex[item.Index], at, n, at + n == e.Size});
                    ++item.Pending;
                }
                if (offset + length > at) {
                    FDone += offset + length - std::max(at, offset);
                    at = offset + length;
                }
            }
            item.Jobs = static_cast<size_t>(item.Pending);
            if (item.Pending == 0) Complete(item);  // every segment was in
            return;
        }
        FDone += kept;
        FJobs.push_back({FByIndex[item.Index], kept, e.Size - kept, true});
        item.Pending = 1;
    } catch (const std::exception& err) {
        Say(e.Local + ": not fetched ahead: " + err.what());
        Settle(item);
    }
}

void TTransferPool::OpenSession(size_t mirror) {
    const TMirror& m = FMirrors[mirror];
    if (m.Web) {
        AddWorker(mirror, std::make_unique<THttpSession>(m.Host, FSettings.IdleMilliseconds), nullptr).Session->Open();
        return;
    }
    auto session = std::make_unique<TFtpSession>(m.Host, m.Port, m.User, FSettings.Password, FSettings.IdleMilliseconds);
    // Passive first, as for every player behind a router; a server that will
    // not do it is asked in active mode, and its later sessions start there.
    session->DataPath = m.NeedsActive ? TFtpSession::TDataPath::Active : TFtpSession::TDataPath::PassiveThenActive;
    TFtpSession* ftp = session.get();
    AddWorker(mirror, std::move(session), ftp).Session->Open();
}

void TTransferPool::Adopt(std::unique_ptr<TFetchSession> session) {
    if (!session || FMirrors.empty() || FMirrors[0].Left || FStarted) return;
    TMirror& m = FMirrors[0];
    auto* ftp = dynamic_cast<TFtpSession*>(session.get());
    if (ftp && !ftp->Passive()) m.NeedsActive = true;
    session->IdleMilliseconds = FSettings.IdleMilliseconds;
    TWorker& w = AddWorker(0, std::move(session), ftp);
    w.Adopted = true;
    w.Phase = TWorker::TPhase::Working;
    ++m.Verified;
}

TTransferPool::TWorker& TTransferPool::AddWorker(size_t mirror, std::unique_ptr<TFetchSession> session,
                                                 TFtpSession* ftp) {
    ++FMirrors[mirror].Live;
    auto worker = std::make_unique<TWorker>();
    TWorker* w = worker.get();
    w->Mirror = mirror;
    w->Session = std::move(session);
    w->Ftp = ftp;
    w->Session->OnReady = [this, w] { OnReady(*w); };
    w->Session->OnFetched = [this, w](TFtpSession::TEnd end, const AnsiString& why) { OnFetched(*w, end, why); };
    w->Session->OnBroken = [this, w](const AnsiString& why, bool login) { OnBroken(*w, why, login); };
    w->Session->OnBytes = [this, w](int64_t n) {
        if (w->Phase != TWorker::TPhase::Working || (w->Job < 0 && w->Side < 0)) return;
        w->JobBytes += n;
        if (w->Job >= 0) JobAt(static_cast<size_t>(w->Job)).Counted += n;
        w->Delivered = true;
        FDone += n;
        if (OnProgress) OnProgress();
    };
    FWorkers.push_back(std::move(worker));
    return *w;
}

void TTransferPool::OnReady(TWorker& w) {
    if (w.Dead) return;
    if (w.Phase != TWorker::TPhase::Login) return;
    FetchList(w);
}

// A mirror whose update3.dat is not the plan's is left, except the plan's
// own server (see FirstIsThePlans).
void TTransferPool::OtherList(TWorker& w) {
    TMirror& m = FMirrors[w.Mirror];
    if (!(FSettings.FirstIsThePlans && w.Mirror == 0)) {
        Say("server " + m.Label() + ": serves another update3.dat; not used");
        return Leave(w.Mirror, "it serves another update3.dat");
    }
    Say("server " + m.Label() + ": serves another update3.dat now; asked for the planned files still");
    Verified(w);
}

void TTransferPool::FetchList(TWorker& w) {
    w.Phase = TWorker::TPhase::List;
    TFtpSession::TFetch f;
    f.Remote = "update3.dat";
    f.Memory = &w.Fetched;
    f.MaxBytes = kMaxVersionsListBytes;
    w.Fetched.clear();
    w.Session->Fetch(f);
}

void TTransferPool::OnFetched(TWorker& w, TFtpSession::TEnd end, const AnsiString& why) {
    if (w.Dead) return;
    TMirror& m = FMirrors[w.Mirror];
    if (w.Ftp && !w.Ftp->Passive() && !m.NeedsActive) {
        m.NeedsActive = true;
        Say("server " + m.Label() + ": passive mode does not work there; active mode for its sessions");
    }
    switch (w.Phase) {
        case TWorker::TPhase::List:
            if (end != TFtpSession::TEnd::Done) return Leave(w.Mirror, "its update3.dat cannot be fetched: " + why);
            if (Sha256Of(w.Fetched) != FListSha) {
                if (!FSignature.empty() && OnOtherList) {
                    // Its signature tells whether it is a newer release.
                    w.OtherList = std::move(w.Fetched);
                    w.Fetched.clear();
                    w.Phase = TWorker::TPhase::OtherSignature;
                    TFtpSession::TFetch f;
                    f.Remote = kSignatureFile;
                    f.Memory = &w.Fetched;
                    f.MaxBytes = kMaxSignatureBytes;
                    return w.Session->Fetch(f);
                }
                return OtherList(w);
            }
            if (FSignature.empty()) return Verified(w);
            w.Phase = TWorker::TPhase::Signature;
            w.Fetched.clear();
            {
                TFtpSession::TFetch f;
                f.Remote = kSignatureFile;
                f.Memory = &w.Fetched;
                f.MaxBytes = kMaxSignatureBytes;
                w.Session->Fetch(f);
            }
            return;
        case TWorker::TPhase::OtherSignature:
            if (end == TFtpSession::TEnd::Done) OnOtherList(m.Line, w.OtherList, w.Fetched);
            w.OtherList.clear();
            if (w.Dead) return;
            return OtherList(w);
        case TWorker::TPhase::Signature:
            if (end == TFtpSession::TEnd::Done && w.Fetched == FSignature) return Verified(w);
            if (FSettings.FirstIsThePlans && w.Mirror == 0) return Verified(w);
            // Most likely an upload between its two renames: the pair is
            // asked again once, a moment later.
            if (end == TFtpSession::TEnd::Done && !m.SignatureAskedAgain) {
                m.SignatureAskedAgain = true;
                Say("server " + m.Label() + ": serves another update3.dat signature; asking again in 2 s");
                TWorker* worker = &w;
                std::weak_ptr<bool> alive = FAlive;
                PostTaskAfter(2, [this, worker, alive] {
                    if (alive.expired() || !*alive.lock()) return;
                    for (const auto& each : FWorkers)
                        if (each.get() == worker && !worker->Dead && worker->Session->Ready()) return FetchList(*worker);
                });
                return;
            }
            Say("server " + m.Label() + ": serves another update3.dat signature; not used");
            return Leave(w.Mirror, "it serves another update3.dat signature");
        case TWorker::TPhase::Working:
            if (w.Side >= 0) {
                // A file of another size is what the mirror serves: no use asking again.
                const bool final = end != TFtpSession::TEnd::Failed || (w.Ftp && w.Ftp->OtherSize());
                SideEnded(w, end == TFtpSession::TEnd::Done, final, why);
                if (end == TFtpSession::TEnd::Done || final) return GiveWork(w);
                Retire(w);
                if (!m.Left && HasWorkFor(w.Mirror)) OpenSession(w.Mirror);
                return;
            }
            if (end == TFtpSession::TEnd::Done) return JobDone(w);
            {
                // A file of another size there is that server's answer for
                // the entry, as a refusal is: the others may serve it.
                const bool otherSize = w.Ftp && w.Ftp->OtherSize();
                if (otherSize) ItemAt(JobAt(static_cast<size_t>(w.Job)).Item).OtherSize = true;
                JobFailed(w, end == TFtpSession::TEnd::Refused || otherSize, why);
                if (end == TFtpSession::TEnd::Refused || otherSize) return GiveWork(w);
            }
            // A transfer that went wrong may leave the session out of step:
            // the next try logs in afresh.
            Retire(w);
            if (!m.Left && HasWorkFor(w.Mirror)) OpenSession(w.Mirror);
            return;
        case TWorker::TPhase::Login:
            return;
    }
}

void TTransferPool::OnBroken(TWorker& w, const AnsiString& why, bool login) {
    if (w.Dead) return;
    TMirror& m = FMirrors[w.Mirror];
    const TWorker::TPhase phase = w.Phase;
    // A range whose bytes were all in is done, even if the server could not
    // be put back in step afterwards: only the session goes.
    const TFtpSession::TOutcome& outcome = w.Session->Outcome();
    const bool allIn = w.Ftp && w.Ftp->BrokeInResync() && outcome.Decided && outcome.End == TFtpSession::TEnd::Done;
    if (phase == TWorker::TPhase::Working && w.Adopted && !w.Delivered) {
        // The plan's session had been let go by the server meanwhile.
        if (w.Job >= 0) DropCopy(w);
        if (w.Side >= 0) FSides[w.Side].Active = false, w.Side = -1;
        Retire(w);
        if (!m.Left && HasWorkFor(w.Mirror)) OpenSession(w.Mirror);
        return;
    }
    if (phase == TWorker::TPhase::Working && w.Side >= 0) {
        SideEnded(w, allIn, false, why);
    } else if (phase == TWorker::TPhase::Working && w.Job >= 0 && allIn) {
        Say("server " + m.Label() + ": a session let go after a range (" + why + ")");
        Retire(w);
        JobDone(w);
    } else if (phase == TWorker::TPhase::Working && w.Job >= 0) {
        JobFailed(w, false, why);
    }
    Retire(w);
    if (m.Left) return;
    if (phase == TWorker::TPhase::Login && login && m.Verified > 0) {
        // A mirror that takes fewer sessions than asked: as many as it took.
        m.Target = std::max(1, m.Live);
        Say("server " + m.Label() + ": takes " + IntToStr(m.Target) + " sessions (" + why + ")");
        return;
    }
    // The run's own session may have just let the server's only slot go,
    // and the server not counted it gone yet: one more try first.
    if (phase == TWorker::TPhase::Login && login && m.Live == 0 && ++m.LoginRefusals == 1) {
        Say("server " + m.Label() + ": " + why + "; asking once more");
        return OpenSession(w.Mirror);
    }
    if (phase == TWorker::TPhase::Login) return Leave(w.Mirror, "it refused the connection or the login: " + why);
    if (phase != TWorker::TPhase::Working) return Leave(w.Mirror, "its update3.dat cannot be fetched: " + why);
    if (HasWorkFor(w.Mirror)) OpenSession(w.Mirror);
}

void TTransferPool::Verified(TWorker& w) {
    TMirror& m = FMirrors[w.Mirror];
    w.Phase = TWorker::TPhase::Working;
    m.ListChecked = true;
    if (++m.Verified == 1) {
        Say("server " + m.Label() + ": in use for the run");
        for (int k = m.Live; k < m.Target && HasWorkFor(w.Mirror); ++k) OpenSession(w.Mirror);
    }
    GiveWork(w);
}

bool TTransferPool::MayAsk(const TItem& item, size_t mirror) const {
    // "mirrors=one": one server at a time, the next in the order only for
    // what the ones before cannot serve.
    if (!FSettings.AllMirrors)
        for (size_t earlier = 0; earlier < mirror; ++earlier)
            if (MayAskThis(item, earlier)) return false;
    return MayAskThis(item, mirror);
}

bool TTransferPool::MayAskThis(const TItem& item, size_t mirror) const {
    if (FMirrors[mirror].Left || item.RefusedBy.count(mirror)) return false;
    auto it = item.Failures.find(mirror);
    return it == item.Failures.end() || it->second < kFailuresPerEntry;
}

bool TTransferPool::HasWorkFor(size_t mirror) const {
    if (HasSideWorkFor(mirror)) return true;
    // Entries not planned yet are work for every mirror, or with "mirrors=one"
    // for the first one still in use.
    if (FNextToPlan < FItemBase + FItems.size() && !FMirrors[mirror].Left) {
        bool earlier = false;
        for (size_t k = 0; k < mirror && !FSettings.AllMirrors; ++k) earlier = earlier || !FMirrors[k].Left;
        if (!earlier) return true;
    }
    for (size_t j = FFirstOpenJob; j < FJobBase + FJobs.size(); ++j) {
        const TJob& job = JobAt(j);
        if (!job.Active && !job.Done && !ItemAt(job.Item).Settled && MayAsk(ItemAt(job.Item), mirror)) return true;
    }
    return false;
}

// The first job in list order this mirror may take: installs wait for the
// earliest entries first.
void TTransferPool::GiveWork(TWorker& w) {
    w.Job = -1;
    w.JobBytes = 0;
    w.Idle = false;
    if (FStopped || w.Dead) return;
    if (GiveSideWork(w)) return;
    const auto jobsEnd = [this] { return FJobBase + FJobs.size(); };
    while (FFirstOpenJob < jobsEnd() && (JobAt(FFirstOpenJob).Done || ItemAt(JobAt(FFirstOpenJob).Item).Settled))
        ++FFirstOpenJob;
    for (size_t j = FFirstOpenJob; j < jobsEnd() || PlanNext(); ++j) {
        if (j >= jobsEnd()) {  // the entry just planned brought no job
            --j;
            continue;
        }
        TJob& job = JobAt(j);
        TItem& item = ItemAt(job.Item);
        if (job.Active || job.Done || item.Settled || !MayAsk(item, w.Mirror) || !Hold(item, job)) continue;
        job.Active = true;
        return StartFetch(w, j, job.Offset);
    }
    if (TakeOver(w)) return;
    // Held: more side fetches are coming, and a new session would cost a
    // login and a check of the list.
    if (FHeld) {
        w.Idle = true;
        return;
    }
    // Nothing this session may take: it ends, and leaves the server's
    // session slots to others (the run's own session among them).
    Retire(w);
}

void TTransferPool::StartFetch(TWorker& w, size_t j, int64_t from) {
    TJob& job = JobAt(j);
    w.Job = static_cast<int>(j);
    w.From = from;
    w.JobBytes = 0;
    w.Began = std::chrono::steady_clock::now();
    TFtpSession::TFetch f;
    f.Remote = ItemAt(job.Item).E.Remote;
    f.Fd = ItemAt(job.Item).Fd;
    f.Offset = from;
    f.Length = job.Offset + job.Length - from;
    f.EndsFile = job.EndsFile;
    // A data connection that closes short of the file's end ends the fetch
    // at once, with no wait for a final reply that may never come.
    if (job.EndsFile) f.Expected = ItemAt(job.Item).E.Size;
    // A server that cannot restart sends the whole file: it is the same.
    f.RestartMayFail = !ItemAt(job.Item).Segmented;
    w.Session->Fetch(f);
}

// The earliest fetch in flight on a mirror much slower than this session's:
// this session fetches the rest of it, from where the slow one has got to.
bool TTransferPool::TakeOver(TWorker& w) {
    const double rate = FMirrors[w.Mirror].Rate;
    if (rate <= 0) return false;  // nothing measured yet
    for (size_t j = FFirstOpenJob; j < FJobBase + FJobs.size(); ++j) {
        TJob& job = JobAt(j);
        TItem& item = ItemAt(job.Item);
        if (!job.Active || job.Done || item.Settled || !MayAsk(item, w.Mirror)) continue;
        const std::vector<TWorker*> copies = CopiesOf(j, &w);
        if (copies.size() != 1 || copies[0]->Mirror == w.Mirror) continue;
        const TWorker& slow = *copies[0];
        const int64_t at = slow.From + slow.JobBytes, rest = job.Offset + job.Length - at;
        // A fetch needs a moment (and some bytes) before its pace tells.
        const double age = SecondsSince(slow.Began), slowRate = slow.JobBytes / std::max(0.05, age);
        if (age < 0.25 || (slow.JobBytes == 0 && age < 1)) continue;
        if (rest < kTakeOverFrom || slowRate * kTakeOverSpeedUp > rate || !Hold(item, job)) continue;
        Say(item.E.Local + ": the rest of a slow fetch from server " + FMirrors[slow.Mirror].Name + " comes from " +
            FMirrors[w.Mirror].Name);
        StartFetch(w, j, at);
        return true;
    }
    return false;
}

std::vector<TTransferPool::TWorker*> TTransferPool::CopiesOf(size_t job, const TWorker* except) const {
    std::vector<TWorker*> copies;
    for (const auto& w : FWorkers)
        if (w.get() != except && !w->Dead && w->Job == static_cast<int>(job)) copies.push_back(w.get());
    return copies;
}

// The entry's file is open while a job of it runs: a descriptor per fetch
// in flight, not per entry planned.
bool TTransferPool::Hold(TItem& item, const TJob& job) {
    if (item.Fd < 0) {
        item.Fd = item.Segmented ? OpenForAppending(SegmentPathOf(item.Partial), item.E.Size)
                                 : OpenForAppending(item.Partial, job.Offset);
        if (item.Fd < 0) {
            Say(item.E.Local + ": not fetched ahead: " + strerror(errno));
            Settle(item);
            return false;
        }
    }
    ++item.Active;
    return true;
}

void TTransferPool::Let(TItem& item) {
    if (--item.Active > 0 || item.Fd < 0) return;
    close(item.Fd);
    item.Fd = -1;
}

// Work that came back finds a session: a mirror whose sessions all ended
// for want of work opens one again.
void TTransferPool::Replenish() {
    if (FStopped || !FStarted) return;
    WakeIdle();
    for (size_t m = 0; m < FMirrors.size(); ++m)
        if (!FMirrors[m].Left && FMirrors[m].Live == 0 && HasWorkFor(m)) OpenSession(m);
}

void TTransferPool::JobDone(TWorker& w) {
    const size_t j = static_cast<size_t>(w.Job);
    TJob& job = JobAt(j);
    TItem& item = ItemAt(job.Item);
    // The other session on the piece has lost the race: it ends at once,
    // and its mirror gets a fresh one if it has work left.
    std::vector<size_t> losers;
    for (TWorker* other : CopiesOf(j, &w)) {
        other->Job = -1;
        Let(item);
        Retire(*other);
        losers.push_back(other->Mirror);
    }
    FDone += job.Length - job.Counted;  // what the sessions fetched twice counts once
    job.Counted = job.Length;
    job.Active = false;
    job.Done = true;
    TMirror& m = FMirrors[w.Mirror];
    m.FailedInARow = 0;
    m.LastFailed = SIZE_MAX;
    if (w.JobBytes >= kTakeOverFrom) m.Rate = w.JobBytes / std::max(0.001, SecondsSince(w.Began));
    // An unrecorded segment is fetched again by a later run.
    if (item.Segmented) RecordSegment(item, job.Offset, job.Length);
    Let(item);
    w.Job = -1;
    if (--item.Pending == 0) Complete(item);
    GiveWork(w);
    for (size_t mirror : losers)
        if (!FMirrors[mirror].Left && FMirrors[mirror].Live < FMirrors[mirror].Target && HasWorkFor(mirror))
            OpenSession(mirror);
}

// On the disk before it is recorded: a recorded segment is never a hole.
bool TTransferPool::RecordSegment(TItem& item, int64_t offset, int64_t length) {
    if (item.Fd < 0 || fdatasync(item.Fd) != 0) return false;
    const AnsiString ranges = RangesPathOf(item.Partial);
    const int fd = OpenForAppending(ranges, std::max<int64_t>(FileSizeOf(ranges), 0));
    if (fd < 0) return false;
    const AnsiString line = IntToStr(offset) + " " + IntToStr(length) + "\n";
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return written;
}

// Every byte is in: a segment file becomes the entry's partial download.
void TTransferPool::Complete(TItem& item) {
    if (item.Fd >= 0) close(item.Fd);
    item.Fd = -1;
    // A segment file that cannot become the partial download is no download:
    // the run's own tries take the entry.
    item.Fetched = !item.Segmented || RenameFile(SegmentPathOf(item.Partial), item.Partial);
    if (item.Segmented && item.Fetched) DeleteFile(RangesPathOf(item.Partial));
    Settle(item);
}

// Ends the session's part in its piece; true when another session still
// fetches the piece.
bool TTransferPool::DropCopy(TWorker& w) {
    const size_t j = static_cast<size_t>(w.Job);
    TJob& job = JobAt(j);
    TItem& item = ItemAt(job.Item);
    w.Job = -1;
    const bool others = !CopiesOf(j, &w).empty();
    if (!others) {
        job.Active = false;
        if (item.Segmented) {
            // What arrived in order from the piece's start stays, recorded
            // as a segment of its own; the rest comes again.
            const int64_t kept = w.From == job.Offset ? std::min(w.JobBytes, job.Length) : 0;
            if (kept > 0 && kept < job.Length && RecordSegment(item, job.Offset, kept)) {
                job.Offset += kept;
                job.Length -= kept;
                job.Counted -= kept;
            }
            FDone -= job.Counted;
        } else {
            // What arrived stays: the next fetch goes on from there.
            const int64_t have = std::min(std::max<int64_t>(0, FileSizeOf(item.Partial)), item.E.Size);
            FDone -= std::max<int64_t>(0, job.Counted - std::max<int64_t>(0, have - job.Offset));
            job.Offset = std::max(job.Offset, have);
            job.Length = item.E.Size - job.Offset;
        }
        job.Counted = 0;
        FFirstOpenJob = std::min(FFirstOpenJob, j);
    }
    Let(item);
    return others;
}

void TTransferPool::JobFailed(TWorker& w, bool refused, const AnsiString& why) {
    const size_t itemAt = JobAt(static_cast<size_t>(w.Job)).Item;
    TItem& item = ItemAt(itemAt);
    TMirror& m = FMirrors[w.Mirror];
    // A try that brought bytes is progress on a flaky link, not a failure
    // of its server; it still was a try that did not deliver.
    const bool progress = w.JobBytes > 0;
    const bool stillFetched = DropCopy(w);
    if (refused && item.Segmented && why.rfind("REST:", 0) == 0) {
        // A server that cannot restart serves no segment past the first:
        // the entry comes in one piece instead.
        Say(item.E.Local + ": server " + m.Label() + " cannot restart a transfer; the file comes in one piece");
        Desegment(item);
    } else if (refused) {
        Say(item.E.Local + ": server " + m.Label() + " refused it: " + why);
        item.RefusedBy.insert(w.Mirror);
    } else {
        Say(item.E.Local + ": try " + IntToStr(item.FailedTries + 1) + " on server " + m.Label() + " failed: " + why);
        if (!progress) ++item.Failures[w.Mirror];
        if (++item.FailedTries >= kTriesPerEntry && !stillFetched) {
            Say(item.E.Local + ": given up after " + IntToStr(item.FailedTries) + " failed tries");
            Settle(item);
        }
        if (m.LastFailed != itemAt) {
            m.LastFailed = itemAt;
            if (++m.FailedInARow >= kEntriesInARow)
                return Leave(w.Mirror, "it failed " + IntToStr(kEntriesInARow) + " files in a row");
        }
    }
    if (!stillFetched) SettleIfHopeless(item);
    Replenish();
}

void TTransferPool::Desegment(TItem& item) {
    for (auto& w : FWorkers)
        if (!w->Dead && w->Job >= 0 && &ItemAt(JobAt(static_cast<size_t>(w->Job)).Item) == &item) {
            DropCopy(*w);
            Retire(*w);
        }
    for (size_t j = item.FirstJob; j < item.FirstJob + item.Jobs; ++j) {
        FDone -= JobAt(j).Done ? JobAt(j).Length : 0;
        JobAt(j).Done = true;
    }
    if (item.Fd >= 0) close(item.Fd);
    item.Fd = -1;
    DeleteFile(SegmentPathOf(item.Partial));
    DeleteFile(RangesPathOf(item.Partial));
    item.Segmented = false;
    item.InOnePiece = true;
    PlanItem(item);
}

void TTransferPool::Leave(size_t mirror, const AnsiString& why) {
    TMirror& m = FMirrors[mirror];
    if (m.Left) return;
    m.Left = true;
    Say("server " + m.Label() + ": left for the rest of the run: " + why);
    for (auto& w : FWorkers)
        if (w->Mirror == mirror && !w->Dead) {
            if (w->Job >= 0) DropCopy(*w);
            if (w->Side >= 0) FSides[w->Side].Active = false, w->Side = -1;
            Retire(*w);
        }
    for (auto& item : FItems) SettleIfHopeless(*item);
    FailSidesIfNoMirror();
    // Jobs that went back go to the other mirrors.
    Replenish();
}

void TTransferPool::SettleIfHopeless(TItem& item) {
    if (item.Settled) return;
    for (size_t m = 0; m < FMirrors.size(); ++m)
        if (MayAsk(item, m)) return;
    Say(item.E.Local + ": no server left to ask for it");
    Settle(item);
}

void TTransferPool::Settle(TItem& item) {
    // A session still on a piece of it (a mirror that may not be asked for
    // the entry any more may be finishing another piece) stops first: its
    // writes must not outlive the file they go to.
    for (auto& w : FWorkers)
        if (!w->Dead && w->Job >= 0 && &ItemAt(JobAt(static_cast<size_t>(w->Job)).Item) == &item) {
            DropCopy(*w);
            Retire(*w);
        }
    item.Settled = true;
    if (item.Fd >= 0) close(item.Fd);
    item.Fd = -1;
    if (OnProgress) OnProgress();
}

void TTransferPool::Retire(TWorker& w) {
    if (w.Dead) return;
    w.Dead = true;
    TMirror& m = FMirrors[w.Mirror];
    --m.Live;
    if (w.Phase == TWorker::TPhase::Working) --m.Verified;
    TWorker* worker = &w;
    w.Session->OnClosed = [this, worker] {
        worker->Closed = true;
        PostSweep();
    };
    w.Session->Quit();
}

// The session may be the one calling: it goes on a later pass.
void TTransferPool::PostSweep() {
    if (FSweepPosted) return;
    FSweepPosted = true;
    std::weak_ptr<bool> alive = FAlive;
    PostTask([this, alive] {
        if (alive.expired() || !*alive.lock()) return;
        Sweep();
    });
}

void TTransferPool::Sweep() {
    FSweepPosted = false;
    FWorkers.erase(std::remove_if(FWorkers.begin(), FWorkers.end(), [](const auto& w) { return w->Dead && w->Closed; }),
                   FWorkers.end());
}

void TTransferPool::Stop() {
    FStopped = true;
    FWorkers.clear();
    for (auto& item : FItems)
        if (item->Fd >= 0) close(item->Fd), item->Fd = -1;
}

TTransferPool::TItem* TTransferPool::Find(int index) const {
    auto it = FByIndex.find(index);
    return it == FByIndex.end() ? nullptr : FItems[it->second - FItemBase].get();
}

bool TTransferPool::Settled(int index) const {
    const TItem* item = Find(index);
    return !item || item->Settled;
}

int TTransferPool::FailedTries(int index) const {
    const TItem* item = Find(index);
    return item ? item->FailedTries : 0;
}

void TTransferPool::Retry(int index) {
    TItem* item = Find(index);
    if (!item || !item->Settled) return;
    FDone -= std::min(FDone, item->E.Size);
    item->Settled = item->Fetched = item->Segmented = false;
    if (++item->FailedTries >= kTriesPerEntry) return Settle(*item);
    PlanItem(*item);
    if (!item->Settled) SettleIfHopeless(*item);
    Replenish();
}

bool TTransferPool::SizeDiffers(int index) const {
    const TItem* item = Find(index);
    return item && item->OtherSize;
}

bool TTransferPool::GivenUp(int index) const {
    const TItem* item = Find(index);
    return item && item->Settled && !item->Fetched;
}

bool TTransferPool::Streams(int index) const {
    const TItem* item = Find(index);
    return item && item->Segmented && !item->Settled;
}

int64_t TTransferPool::Prefix(int index) const {
    const TItem* item = Find(index);
    if (!item) return 0;
    if (item->Fetched) return item->E.Size;
    if (!item->Segmented || item->Settled) return 0;
    for (size_t j = item->FirstJob; j < item->FirstJob + item->Jobs; ++j) {
        const TJob& job = JobAt(j);
        if (job.Done) continue;
        // The first piece still coming counts with what arrived in order.
        int64_t in = 0;
        for (const auto& w : FWorkers)
            if (!w->Dead && w->Job == static_cast<int>(j) && w->From == job.Offset) in = std::max(in, w->JobBytes);
        return job.Offset + std::min(in, job.Length);
    }
    return item->E.Size;
}

AnsiString TTransferPool::SegmentFile(int index) const {
    const TItem* item = Find(index);
    return item ? SegmentPathOf(item->Partial) : AnsiString();
}

int64_t TTransferPool::Done(int index, bool installed) {
    TItem* found = Find(index);
    if (!found) return 0;
    TItem& item = *found;
    const int64_t size = item.E.Size;
    if (installed) {
        DeleteFile(SegmentPathOf(item.Partial));
        DeleteFile(RangesPathOf(item.Partial));
    }
    item.Released = true;
    // The run goes in list order: what it is done with goes, so that the
    // pool holds only the entries between the run and its fetches ahead.
    while (!FItems.empty() && FItems.front()->Released && FItems.front()->Settled && FItems.front()->Active == 0) {
        FByIndex.erase(FItems.front()->Index);
        FItems.pop_front();
        ++FItemBase;
    }
    while (!FJobs.empty() && FJobs.front().Item < FItemBase) {
        FJobs.pop_front();
        ++FJobBase;
    }
    FFirstOpenJob = std::max(FFirstOpenJob, FJobBase);
    FNextToPlan = std::max(FNextToPlan, FItemBase);
    return size;
}

bool TTransferPool::Quiet() const {
    if (!Idle()) return false;
    for (const auto& w : FWorkers)
        if (!w->Closed) return false;
    return true;
}

bool TTransferPool::Idle() const {
    for (const auto& item : FItems)
        if (!item->Settled) return false;
    return true;
}

std::vector<AnsiString> TTransferPool::MirrorsInUse() const {
    std::vector<AnsiString> names;
    for (const TMirror& m : FMirrors)
        if (!m.Left && m.Verified > 0) names.push_back(m.Name);
    return names;
}

std::vector<AnsiString> TTransferPool::LinesWithThePlansList() const {
    std::vector<AnsiString> lines;
    for (const TMirror& m : FMirrors)
        if (m.ListChecked) lines.push_back(m.Line);
    return lines;
}

void TTransferPool::FetchSide(TSideFetch fetch) {
    const int id = FNextSide++;
    const bool empty = fetch.Length <= 0;
    FSides[id].F = std::move(fetch);
    if (empty) return EndSide(id, true, "");
    if (!FStarted) return;  // Start opens the sessions
    FailSidesIfNoMirror();
    Replenish();
}

void TTransferPool::HoldSessions(bool hold) {
    FHeld = hold;
    if (!hold) WakeIdle();  // those with nothing to do end now
}

void TTransferPool::WakeIdle() {
    for (size_t k = 0; k < FWorkers.size(); ++k) {
        TWorker& w = *FWorkers[k];
        if (w.Idle && !w.Dead) GiveWork(w);
    }
}

bool TTransferPool::HasSideWorkFor(size_t mirror) const {
    if (FMirrors[mirror].Left) return false;
    // "mirrors=one": the first server still in use serves them.
    for (size_t k = 0; k < mirror && !FSettings.AllMirrors; ++k)
        if (!FMirrors[k].Left) return false;
    for (const auto& side : FSides)
        if (!side.second.Active) return true;
    return false;
}

bool TTransferPool::GiveSideWork(TWorker& w) {
    if (w.Phase != TWorker::TPhase::Working || !HasSideWorkFor(w.Mirror)) return false;
    for (auto& [id, side] : FSides) {
        if (side.Active) continue;
        side.Active = true;
        w.Side = id;
        w.JobBytes = 0;
        w.Began = std::chrono::steady_clock::now();
        TFtpSession::TFetch f;
        f.Remote = side.F.Remote;
        f.Offset = side.F.Offset + side.Got;
        f.Length = side.F.Length - side.Got;
        f.EndsFile = side.F.EndsFile;
        if (f.EndsFile) f.Expected = side.F.Offset + side.F.Length;
        const int at = id;
        f.Sink = [this, at](const char* data, size_t n, AnsiString& why) {
            auto it = FSides.find(at);
            if (it == FSides.end()) {
                why = "no longer wanted";
                return false;
            }
            TSide& s = it->second;
            if (s.F.Sink && !s.F.Sink(s.Got, data, n)) {
                why = "the bytes were refused";
                return false;
            }
            s.Got += static_cast<int64_t>(n);
            return true;
        };
        w.Session->Fetch(f);
        return true;
    }
    return false;
}

// `final`: no other try may mend it (a refusal, another size, bytes refused).
void TTransferPool::SideEnded(TWorker& w, bool fetched, bool final, const AnsiString& why) {
    const int id = w.Side;
    w.Side = -1;
    auto it = FSides.find(id);
    if (it == FSides.end()) return;
    it->second.Active = false;
    if (fetched) return EndSide(id, true, "");
    Say(it->second.F.Remote + ": server " + FMirrors[w.Mirror].Label() + ": " + why);
    if (final || ++it->second.Failures >= kFailuresPerEntry) return EndSide(id, false, why);
    // Otherwise it goes on from where it got, on the next session free.
}

void TTransferPool::EndSide(int id, bool fetched, const AnsiString& why) {
    auto it = FSides.find(id);
    if (it == FSides.end()) return;
    auto onEnd = std::move(it->second.F.OnEnd);
    FSides.erase(it);
    if (!onEnd) return;
    // Told from the loop: the caller may fetch more, or let go of what the
    // sinks write to, with no session inside its own handler.
    std::weak_ptr<bool> alive = FAlive;
    PostTask([alive, onEnd, fetched, why] {
        if (alive.expired() || !*alive.lock()) return;
        onEnd(fetched, why);
    });
}

void TTransferPool::FailSidesIfNoMirror() {
    for (const TMirror& m : FMirrors)
        if (!m.Left) return;
    std::vector<int> ids;
    for (const auto& side : FSides) ids.push_back(side.first);
    for (int id : ids) EndSide(id, false, "no server left to ask");
}
