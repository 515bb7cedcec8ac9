#include "UpdateRunner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>

#include "ServerLine.h"
#include "UpdateLog.h"
#include "crypto/Sha256.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"

bool TUpdateRunner::Run(const TStringList& entries) {
    if (!TakeAll(entries, OnEntry)) return false;
    SaveInstalledList();
    return true;
}

TEntryOutcome TUpdateRunner::BringInOne(const AnsiString& entry) {
    TStringList one;
    one.Add(entry);
    TEntryOutcome outcome = TEntryOutcome::DownloadFailed;
    TakeAll(one, [&outcome](int, TEntryOutcome o) { outcome = o; });
    return outcome;
}

// The entries in order, each installed from what the pool brings; false when
// the window closed meanwhile (it saved what was done).
bool TUpdateRunner::TakeAll(const TStringList& entries, const std::function<void(int, TEntryOutcome)>& each) {
    StartPool(entries);
    struct TPoolGoes {  // it holds `entries`, which may be this call's
        TUpdateRunner& run;
        ~TPoolGoes() { run.EndPool(); }
    } poolGoes{*this};
    for (int i = 0, count = entries.Count(); i < count; ++i) {
        EventLoop::ProcessMessages();
        if (FClosed) return false;
        TEntryOutcome outcome;
        try {
            outcome = BringInEntry(i, entries[i]);
        } catch (...) {
            if (FClosed) return false;  // what the window's end cut short
            throw;
        }
        if (FClosed) return false;
        if (outcome == TEntryOutcome::Installed) {
            try {
                FInstalledBytes += FFetches->RunBytesOf(i, ParseUpdateEntry(entries[i]).Size);
            } catch (const EConvertError&) {
            }
        }
        FFetches->After(i, outcome == TEntryOutcome::Installed);
        if (each) each(i, outcome);
    }
    return true;
}

// The run's figures stay once the pool goes: every byte the delta form
// fetched in vain counts as done, so that a run that installed everything
// ends at its total.
void TUpdateRunner::EndPool() {
    if (!FFetches) return;
    for (const AnsiString& line : FFetches->Pool().LinesWithThePlansList()) FServingThePlan.insert(line);
    FRunPlanned = FFetches->TotalBytes();
    FInstalledBytes += FFetches->DeltaOverheadBytes();
    FFetches.reset();
}

// The downloads run ahead of the installs, over every server that serves
// the plan's list, as the list's header allows ("connections=N",
// "mirrors=one|all"); a release that says "connections=1 mirrors=one" is
// fetched over one session on the plan's server.
void TUpdateRunner::StartPool(const TStringList& entries) {
    FFetches.reset();
    TTransferPool::TSettings settings;
    settings.Password = kServerPassword;
    settings.FirstIsThePlans = true;
    settings.FirstNeedsActive = PlanServerNeedsActive;
    TServerLine plan;
    settings.IdleMilliseconds =
        TransferSilence(LoggedInSilence, ParseServerLine(CurrentServerLine, plan) ? plan.TimeOut : 0);
    std::vector<AnsiString> servers{CurrentServerLine};
    for (const AnsiString& line : Servers)
        if (line != CurrentServerLine) servers.push_back(line);
    FFetches = std::make_unique<TRunFetches>(entries, ListHeader, AppFolder, servers, PlanListSha, PlanSignature,
                                             settings, RequireHashes);
    FRunPlanned = FFetches->TotalBytes();
    FInstalledBytes = 0;
    TTransferPool& pool = FFetches->Pool();
    pool.Log = [](const AnsiString& text) { UpdateLog::Write(text); };
    pool.Adopt(std::move(PlanSession));
    pool.OnProgress = [this] {
        if (OnPoolProgress) OnPoolProgress();
    };
    pool.OnOtherList = OnOtherList;
}

TEntryOutcome TUpdateRunner::BringInEntry(int i, const AnsiString& entry) {
    const AnsiString name = GetField(GetField(1, entry) == "U" ? 5 : 3, entry);
    const AnsiString kind = GetField(GetField(1, entry) == "U" ? 3 : 1, entry);
    // A kind this updater does not know is passed over, with no server asked.
    if (!IsKnownKind(kind) && !IsRemovalKind(kind)) {
        FLastDetail.clear();
        LogOutcome(name, TEntryOutcome::UnknownKind);
        return TEntryOutcome::UnknownKind;
    }
    TTransferPool& pool = FFetches->Pool();
    for (bool freshTryGiven = false;;) {
        FFetches->Before(i, [this] { return IsLeaving(); });
        if (IsLeaving()) return TEntryOutcome::DownloadFailed;
        if (pool.GivenUp(i)) {
            const TEntryOutcome outcome =
                pool.SizeDiffers(i) ? TEntryOutcome::SizeMismatch : TEntryOutcome::DownloadFailed;
            FLastDetail = pool.SizeDiffers(i) ? "the server's file has another size than the list gives" : "";
            LogOutcome(name, outcome);
            return outcome;
        }
        FStreamed = pool.Streams(i) ? i : -1;
        TEntryOutcome outcome;
        try {
            TDeltaInstall* made = FFetches->Made(i);
            outcome = made ? ProcessMade(entry, *made) : ProcessEntry(entry);
        } catch (const EConvertError&) {
            throw;  // a damaged entry: no server can mend it
        } catch (const std::exception& e) {
            if (IsLeaving()) return TEntryOutcome::DownloadFailed;
            UpdateLog::Write(name + ": not installed: " + e.what());
            return TEntryOutcome::DownloadFailed;
        }
        LogOutcome(name, outcome);
        // The bytes kept from an earlier run were bad, not the servers: the
        // entry is fetched once more from byte 0.
        if (outcome == TEntryOutcome::RetryFromStart && !freshTryGiven && pool.Has(i)) {
            freshTryGiven = true;
            pool.Retry(i);
            continue;
        }
        return outcome;
    }
}

void TUpdateRunner::LogOutcome(const AnsiString& name, TEntryOutcome outcome) {
    static const char* const kWords[] = {"installed", "failed its check", "incomplete, to be continued",
                                         "to be fetched again from the start", "not installed: no try brought it",
                                         "not installed: its size differs", "not installed: damaged data",
                                         "refused: its name", "not installed: cannot be written",
                                         "passed over: unknown kind", "removed: dropped by the release",
                                         "kept: dropped by the release"};
    AnsiString line = name + ": " + kWords[static_cast<int>(outcome)];
    if (!FLastDetail.empty() && outcome != TEntryOutcome::Installed) line += " (" + FLastDetail + ")";
    UpdateLog::Write(line);
}

void TUpdateRunner::RecordRemoval(const AnsiString& local) {
    for (int i = 1; i < Installed->Count(); ++i)
        if (!FRemovedLines.count(i) && SameNameIgnoringCase(GetField(1, (*Installed)[i]), local)) {
            FRemovedLines.insert(i);
            return;
        }
}

void TUpdateRunner::SaveInstalledList() {
    FlushInstalledFiles();
    if (Record) Record->Save();
    if (FRemovedLines.empty()) return Installed->SaveToFileAtomic(AppFolder + "update2.dat");
    TStringList kept;
    for (int i = 0; i < Installed->Count(); ++i)
        if (!FRemovedLines.count(i)) kept.Add((*Installed)[i]);
    kept.SaveToFileAtomic(AppFolder + "update2.dat");
}

TEntryInstaller TUpdateRunner::MakeInstaller() {
    TEntryInstaller installer;
    installer.AppFolder = AppFolder;
    installer.RequireHashes = RequireHashes;
    installer.Installed = Installed;
    installer.RecordRemoval = [this](const AnsiString& local) { RecordRemoval(local); };
    // What the run put in place was checked against the signed list: the
    // record takes it as it is, with no second hash at the next start.
    installer.OnInstalled = [this](const TUpdateEntry& e, const std::vector<AnsiString>& files) {
        if (!Record) return;
        if (e.Kind == "C") Record->NotePackMembers(e.Local, files);
        for (size_t i = 0; i < files.size(); ++i) {
            const AnsiString& sha = i < e.InstalledSha256.size() ? e.InstalledSha256[i] : e.Kind == "O" ? e.Sha256 : "";
            if (IsSha256Text(sha)) Record->NoteInstalled(files[i], sha);
        }
    };
    return installer;
}

// An entry its delta form made: in place and recorded as a download would
// be; what an earlier run fetched of the full file is of no use now.
TEntryOutcome TUpdateRunner::ProcessMade(const AnsiString& entry, TDeltaInstall& made) {
    TEntryInstaller installer = MakeInstaller();
    const TEntryOutcome outcome = installer.InstallMade(entry, [&made](int mode) { made.PutInPlace(mode); });
    FLastDetail = installer.Detail;
    if (outcome == TEntryOutcome::Installed) {
        const AnsiString partial = PartialPathOf(AppFolder, ParseUpdateEntry(entry));
        for (const AnsiString& p : {partial, TTransferPool::SegmentPathOf(partial), TTransferPool::RangesPathOf(partial)})
            unlink(p.c_str());
    }
    return outcome;
}

TEntryOutcome TUpdateRunner::ProcessEntry(const AnsiString& entry) {
    TEntryInstaller installer = MakeInstaller();
    installer.Download = [this](const TDownloadRequest& r) {
        if (FStreamed >= 0) {
            const int i = FStreamed;
            FStreamed = -1;
            return TakeFromPool(i, r);
        }
        // What the pool brought is in the partial download already; a file
        // of no bytes needs none.
        if (r.Begin) r.Begin(r.RestartAt);
        return TDownloadResult{r.RestartAt, r.RestartAt > 0, r.Size == 0};
    };
    TEntryOutcome outcome = installer.Process(entry);
    FLastDetail = installer.Detail;
    return outcome;
}

// The bytes of an entry the pool brings in segments, in order as they come
// in, from its segment file (the partial download once the last is in):
// hashed and inflated while the other segments are still on their way.
TDownloadResult TUpdateRunner::TakeFromPool(int i, const TDownloadRequest& r) {
    TTransferPool& pool = FFetches->Pool();
    const AnsiString segments = pool.SegmentFile(i);
    int fd = OpenRegularForReading(segments);
    if (fd < 0) fd = OpenRegularForReading(r.LocalPath);  // whole meanwhile
    if (fd < 0) throw EInOutError("Cannot read file \"" + ShownPath(segments) + "\". " + strerror(errno));
    struct TCloser {
        int fd;
        ~TCloser() { close(fd); }
    } closer{fd};
    if (r.Begin) r.Begin(0);
    constexpr int64_t kBlock = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    int64_t at = 0;
    while (at < r.Size) {
        if (FClosed) throw Exception("The window closed");  // the lists are gone
        const int64_t ready = std::min(pool.Prefix(i), r.Size);
        if (ready > at) {
            const ssize_t n = pread(fd, buffer.get(), static_cast<size_t>(std::min(kBlock, ready - at)), at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw EInOutError("Cannot read file \"" + ShownPath(segments) + "\".");
            r.Sink(buffer.get(), static_cast<size_t>(n));
            at += n;
            EventLoop::ProcessMessages();  // the sessions go on meanwhile
            continue;
        }
        if (IsLeaving()) throw Exception("the run was left");
        if (!pool.Streams(i) && pool.Prefix(i) < r.Size) throw EPoolGaveUp("no try brought it");
        EventLoop::WaitUntil([&] { return pool.Prefix(i) > at || !pool.Streams(i) || IsLeaving(); });
    }
    // Every byte has been read; the last piece may still be ending. The
    // bytes count once the pool has made the segment file the partial
    // download.
    EventLoop::WaitUntil([&] { return !pool.Streams(i) || IsLeaving(); });
    if (IsLeaving()) throw Exception("the run was left");
    if (pool.GivenUp(i)) throw EPoolGaveUp("no try brought it");
    return TDownloadResult{r.Size, true, true};
}
