#include "UpdateRunner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>

#include "RunSession.h"
#include "UpdateLog.h"
#include "crypto/Sha256.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "release/LineFields.h"

bool TUpdateRunner::Run(const TStringList& entries) {
    FHealth.Clear();
    StartPool(entries);
    for (int i = 0, count = entries.Count(); i < count; ++i) {
        EventLoop::ProcessMessages();
        if (FClosed) return false;  // the window closed meanwhile and saved what was done
        if (FFetches) FFetches->Before(i, [this] { return IsLeaving(); });
        if (FClosed) return false;
        TEntryOutcome outcome;
        FStreamed = FFetches && FFetches->Pool().Streams(i) ? i : -1;
        try {
            outcome = BringInEntry(entries[i], FFetches ? FFetches->Pool().FailedTries(i) : 0);
        } catch (...) {
            if (FClosed) return false;  // what the window's end cut short
            throw;
        }
        if (FClosed) return false;
        if (FFetches) FFetches->After(i, outcome == TEntryOutcome::Installed);
        if (outcome == TEntryOutcome::Installed) {
            try {
                FInstalledBytes += ParseUpdateEntry(entries[i]).Size;
            } catch (const EConvertError&) {
            }
        }
        if (OnEntry) OnEntry(i, outcome);
    }
    FFetches.reset();
    SaveInstalledList();
    return true;
}

TEntryOutcome TUpdateRunner::BringInOne(const AnsiString& entry) {
    FHealth.Clear();
    FStreamed = -1;  // fetched by the run itself
    return BringInEntry(entry);
}

// The downloads run ahead of the installs, over every server that serves
// the plan's list, as the list's header allows ("connections=N",
// "mirrors=one|all"); a release that says "connections=1 mirrors=one" is
// fetched as it always was, one file after another on one session.
void TUpdateRunner::StartPool(const TStringList& entries) {
    FFetches.reset();
    TTransferPool::TSettings settings;
    settings.Password = kServerPassword;
    settings.FirstIsThePlans = true;
    settings.FirstNeedsActive = FNeedActive.count(CurrentServerLine) > 0 || (FSession && !FSession->Passive);
    try {
        settings.IdleMilliseconds = TransferSilence(LoggedInSilence, StrToInt(GetField(4, CurrentServerLine)));
    } catch (const EConvertError&) {
        settings.IdleMilliseconds = LoggedInSilence;
    }
    std::vector<AnsiString> servers{CurrentServerLine};
    for (const AnsiString& line : Servers)
        if (line != CurrentServerLine && FHealth.MayAsk(line)) servers.push_back(line);
    FFetches = TRunFetches::For(entries, ListHeader, AppFolder, servers, PlanListSha, PlanSignature, settings,
                                RequireHashes);
    FRunPlanned = FFetches ? FFetches->TotalBytes() : 0;
    FInstalledBytes = FOwnBytes = 0;
    if (!FFetches) return;
    TTransferPool& pool = FFetches->Pool();
    pool.Log = [](const AnsiString& text) { UpdateLog::Write(text); };
    // The pool never ends a session of the run's own: that one may be in
    // the middle of a download further up this stack.
    pool.OnLeave = [this](const AnsiString& line, const AnsiString& why) {
        if (FHealth.Drop(line)) LeaveForRun(line, why, false);
    };
    pool.OnProgress = [this] {
        if (OnPoolProgress) OnPoolProgress();
    };
    // The run's own session goes whenever the pool's start, so that a server
    // that takes one session per user gives it to the pool.
    FFetches->BeforePoolFetches = [this] { DropServer(); };
}

TEntryOutcome TUpdateRunner::BringInEntry(const AnsiString& entry, int triesSpent) {
    const AnsiString name = GetField(GetField(1, entry) == "U" ? 5 : 3, entry);
    const AnsiString kind = GetField(GetField(1, entry) == "U" ? 3 : 1, entry);
    // A kind this updater does not know is passed over, with no server asked.
    if (!IsKnownKind(kind) && !IsRemovalKind(kind)) {
        FLastDetail.clear();
        LogOutcome(name, TEntryOutcome::UnknownKind);
        return TEntryOutcome::UnknownKind;
    }
    if (IsRemovalKind(kind)) {
        TEntryOutcome outcome = ProcessEntry(entry);  // nothing to download
        LogOutcome(name, outcome);
        return outcome;
    }
    FHealth.BeginEntry();
    bool freshTryGiven = false;
    // A try that brought more bytes than the one before is progress, not a
    // failure of its server: a flaky link still gets the file in the end.
    AnsiString partial;
    int64_t listed = -1;
    try {
        TUpdateEntry e = ParseUpdateEntry(entry);
        if (IsKnownKind(e.Kind) && IsSafeRelativeName(e.Local)) partial = PartialPathOf(AppFolder, e), listed = e.Size;
    } catch (const EConvertError&) {
    }
    auto keptBytes = [&partial] {
        struct stat st;
        return !partial.empty() && lstat(partial.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    };
    const int first = std::min(std::max(triesSpent, 0), kTriesPerEntry - 1);
    for (int tries = first; tries < kTriesPerEntry; ++tries) {
        const int64_t before = keptBytes();
        // Bytes the pool (or an earlier run) brought, or brings, need no server.
        const bool fetched = tries == first && ((listed > 0 && before == listed) || FStreamed >= 0);
        const bool usable = fetched || (SessionUp() && FHealth.MayAsk(CurrentServerLine));
        if (tries > first || !usable) {
            if (FFetches) FFetches->MakeRoom([this] { return IsLeaving(); });
            if (!ReconnectForRun()) break;
        }
        bool refused = false;
        try {
            TEntryOutcome outcome = ProcessEntry(entry);
            LogOutcome(name, outcome);
            if (outcome == TEntryOutcome::Installed) FHealth.Delivered(CurrentServerLine);
            if (!IsWorthAnotherTry(outcome)) return outcome;
            // The bytes kept from earlier tries were bad, not the server: it
            // gets one try from byte 0 whatever it failed before.
            if (outcome == TEntryOutcome::RetryFromStart && !freshTryGiven) {
                freshTryGiven = true;
                continue;
            }
        } catch (const EConvertError&) {
            throw;  // a damaged entry: no server can mend it
        } catch (const EPoolGaveUp& e) {
            // No server failed the run: its own tries begin.
            UpdateLog::Write(name + ": " + e.Message + "; the run's own tries take it");
            continue;
        } catch (const std::exception& e) {
            if (IsLeaving()) throw;
            refused = e.what()[0] == '5';  // a permanent refusal by this server
            // The socket core's words for a time-out name no cause: say it.
            const AnsiString silent = AnsiString(e.what()) == "Socket send aborted" && FSession
                                          ? " (nothing arrived for " + IntToStr((FSession->IdleTimeOut + 999) / 1000) + " s)"
                                          : AnsiString();
            UpdateLog::Write(name + ": try " + IntToStr(tries + 1) + " on server " + ServerLabel(CurrentServerLine) +
                             " failed: " + e.what() + silent);
            // Whatever broke (a session the server closed while the plan was
            // on the screen, a reset), the next try logs in afresh rather
            // than asking a dead session again.
            if (!refused && !IsLeaving()) DropServer();
        }
        if (IsLeaving()) return TEntryOutcome::DownloadFailed;
        if (refused) FHealth.Refused(CurrentServerLine);
        else FHealth.BrokenTry(CurrentServerLine, keptBytes() > before);
    }
    UpdateLog::Write(name + ": not installed: no try brought it");
    for (const AnsiString& line : FHealth.NotInstalled())
        LeaveForRun(line, "it failed " + IntToStr(TServerHealth::kEntriesInARow) + " files in a row");
    return TEntryOutcome::DownloadFailed;
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

// After a failed try: the same server once more (after a second) while it
// may still be asked for the entry, else the next server of the order that
// takes us and serves the same list. A server that cannot be used at all is
// left for the rest of the run. False when no server is left.
bool TUpdateRunner::ReconnectForRun() {
    std::vector<AnsiString> candidates;
    auto at = std::find(Servers.begin(), Servers.end(), CurrentServerLine);
    size_t start = at == Servers.end() ? 0 : static_cast<size_t>(at - Servers.begin());
    for (size_t k = 0; k < Servers.size(); ++k) {
        const AnsiString& line = Servers[(start + k) % Servers.size()];
        if (FHealth.MayAsk(line)) candidates.push_back(line);
    }
    for (const AnsiString& line : candidates) {
        if (line == CurrentServerLine && SessionUp()) {
            // Give a server that hiccuped a moment before asking again.
            PauseFor(1, [this] { return IsLeaving(); });
            if (IsLeaving()) return false;
            if (SessionUp()) return true;
        }
        AnsiString why;
        if (ConnectRunServer(line, why)) return true;
        if (IsLeaving()) return false;
        if (FHealth.Drop(line)) LeaveForRun(line, why);
    }
    return false;
}

// Says in the log why `line`, dropped for the run, is left; its session
// goes too when `endSession` (the pool says false: the session may be in
// the middle of a download further up the stack, and is not asked again).
void TUpdateRunner::LeaveForRun(const AnsiString& line, const AnsiString& why, bool endSession) {
    UpdateLog::Write("server " + ServerLabel(line) + ": left for the rest of the run: " + why);
    if (endSession && line == CurrentServerLine) DropServer();
}

// Logs in to `line` for the run and takes it only when it serves the list
// the plan was made from; otherwise it is let go at once, so that no file
// is ever fetched from a server with another list. `why` says what failed.
bool TUpdateRunner::ConnectRunServer(const AnsiString& line, AnsiString& why) {
    if (NewSession) {
        NewSession();
    } else {
        delete FSession;
        FSession = NewServerComponent(nullptr);
    }
    if (!ConfigureForServer(*FSession, line)) {
        DropServer();
        why = "its line in isp0.dat is damaged";
        return false;
    }
    if (FNeedActive.count(line)) FSession->Passive = false;  // as its earlier sessions found
    UpdateLog::Write("server " + ServerLabel(line) + ": connecting for the run");
    if (OnConnecting) OnConnecting(line);
    try {
        FSession->Connect();
        if (!FSession->Connected) {
            why = FSession->Step + " failed";
            DropServer();
            return false;
        }
        UseTransferTimeOuts(*FSession, LoggedInSilence);
        if (!ServesPlannedList(line)) {
            why = "it serves another update3.dat";
            DropServer();
            return false;
        }
    } catch (const std::exception& e) {
        why = (FSession ? FSession->Step : AnsiString("connect")) + " failed: " + e.what();
        UpdateLog::Write("server " + ServerLabel(line) + ": " + why);
        DropServer();
        return false;
    }
    CurrentServerLine = line;
    return true;
}

// The server's update3.dat (and signature) are byte for byte the plan's. A
// server with the plan's list but another signature may be caught between
// the two renames of an upload: it is asked once more after 2 s.
bool TUpdateRunner::ServesPlannedList(const AnsiString& line) {
    TTempFile listFile(AppFolder + "update3.dat");
    AnsiString list, signature;
    FetchListPair(*FSession, AppFolder, RequireHashes, listFile.Path(), list, signature);
    bool sameList = Sha256Of(list) == PlanListSha;
    if (sameList && signature != PlanSignature) {
        PauseFor(2, [this] { return IsLeaving(); });
        if (IsLeaving()) return false;
        FetchListPair(*FSession, AppFolder, RequireHashes, listFile.Path(), list, signature);
        sameList = Sha256Of(list) == PlanListSha;
    }
    if (sameList && signature == PlanSignature) return true;
    UpdateLog::Write("server " + ServerLabel(line) + ": serves another update3.dat" +
                     (sameList ? AnsiString(" signature") : AnsiString()) + "; not used");
    return false;
}

void TUpdateRunner::DropServer() {
    if (FSession) FSession->OnDisconnect = nullptr;
    delete FSession;
    FSession = nullptr;
    if (OnSessionDropped) OnSessionDropped();
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

TEntryOutcome TUpdateRunner::ProcessEntry(const AnsiString& entry) {
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
    installer.Download = [this](const TDownloadRequest& r) {
        if (FStreamed >= 0) {
            const int i = FStreamed;
            FStreamed = -1;  // a later try is the run's own
            return TakeFromPool(i, r);
        }
        if (!SessionUp()) throw Exception("Not Connected");
        TWexFTP& ftp = *FSession;
        ftp.SizeLimit = r.Size;
        ftp.OnChunk = r.Sink;
        ftp.OnChunksBegin = r.Begin;
        ftp.RestartAt = r.RestartAt;
        ftp.ExpectedSize = r.Size;
        FEntrySize = r.Size;
        auto reset = [this] {
            if (FSession)
                FSession->OnChunk = nullptr, FSession->OnChunksBegin = nullptr, FSession->RestartAt = 0,
                FSession->ExpectedSize = -1;
            FEntrySize = 0;
        };
        try {
            ftp.Download(r.Remote, r.LocalPath);
        } catch (...) {
            if (FSession && !FSession->Passive) FNeedActive.insert(CurrentServerLine);
            reset();
            throw;
        }
        if (!ftp.Passive) FNeedActive.insert(CurrentServerLine);
        FOwnBytes += ftp.TransferSize;
        reset();
        // The window closed during the wait: the lists are gone.
        if (FClosed) throw Exception("The window closed");
        // Download returned: the server's final reply confirmed the transfer.
        return TDownloadResult{ftp.RestartedAt + ftp.TransferSize, ftp.RestartedAt > 0, true};
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
        if (IsLeaving()) throw EAbortError("Socket send aborted");
        if (!pool.Streams(i) && pool.Prefix(i) < r.Size) throw EPoolGaveUp("the parallel fetch was given up");
        EventLoop::WaitForEvent(0.25);
    }
    // Every byte is in: the pool has made the segment file the partial download.
    return TDownloadResult{r.Size, true, true};
}
