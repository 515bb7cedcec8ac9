#include "Push.h"

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <random>

#include "Prune.h"
#include "ReleaseHistory.h"
#include "platform/FileSystem.h"
#include "release/ReleaseCheck.h"
#include "release/UpdateEntry.h"

namespace {

constexpr int64_t kListLimit = int64_t(64) << 20;

struct TServedFile {
    AnsiString Name, Path;
    int64_t Size;
};

// What goes up, read once before any connection.
struct TLocalRelease {
    AnsiString OutDir, List, Signature;
    bool Signed = false;
    std::vector<TServedFile> Files;
    std::vector<AnsiString> Names;
    std::vector<TPublishedList> History;  // read only for pruning
};

TLocalRelease ReadLocalRelease(const AnsiString& outDir, bool forPruning) {
    TLocalRelease r;
    r.OutDir = outDir;
    r.List = ReadWholeFile(SystemPathFromNative(outDir + "/" + kListFile));
    r.Signed = FileExists(SystemPathFromNative(outDir + "/" + kSignatureFile));
    if (r.Signed) r.Signature = ReadWholeFile(SystemPathFromNative(outDir + "/" + kSignatureFile));
    AnsiString problems;
    for (const TServedEntry& e : ServedEntriesOf(r.List)) {
        const AnsiString where = "\n  line " + IntToStr(e.Line) + ": ";
        // Served names are flat and never one of the files the push itself
        // writes or renames.
        if (!IsSafeRemoteName(e.Name) || e.Name.find('/') != AnsiString::npos || e.Name == kListFile ||
            e.Name == kSignatureFile || e.Name.rfind(kUploadPrefix, 0) == 0) {
            problems += where + "the remote name \"" + e.Name + "\" cannot be served";
            continue;
        }
        if (e.Size < 0) {
            problems += where + "a size that is not a number";
            continue;
        }
        TServedFile f{e.Name, outDir + "/" + e.Name, e.Size};
        struct stat st;
        if (stat(f.Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            problems += where + e.Name + " is missing";
        else if (st.st_size != e.Size)
            problems += where + e.Name + " has " + IntToStr(static_cast<int64_t>(st.st_size)) +
                        " bytes, the list says " + IntToStr(e.Size);
        r.Files.push_back(f);
        r.Names.push_back(f.Name);
    }
    // The delta form goes up with the full files, before the list that names it.
    for (const auto& [name, size] : DeltaServedFilesIn(outDir, r.List)) {
        struct stat st;
        if (stat((outDir + "/" + name).c_str(), &st) != 0 || st.st_size != size) {
            problems += "\n  " + name + " (delta form) is missing or of another size";
            continue;
        }
        r.Files.push_back({name, outDir + "/" + name, size});
        r.Names.push_back(name);
    }
    if (!problems.empty())
        throw Exception(outDir + " is not a whole published folder (see skiff-publish verify):" + problems);
    if (forPruning) r.History = ReadHistory(outDir);
    return r;
}

AnsiString RandomHex() {
    std::random_device device;
    char text[17];
    snprintf(text, sizeof text, "%08x%08x", device(), device());
    return text;
}

// One mirror's push, a chain of requests on its session: each step starts
// a request whose ending starts the next step.
class TMirrorPusher {
public:
    TMirrorPusher(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings, const TLocalRelease& release,
                  size_t prune, TMirrorPush& state)
        : S(runner, mirror, settings), R(release), P(state), FPrune(prune),
          FStart(std::chrono::steady_clock::now()) {
        const AnsiString id = RandomHex();
        FTempList = kUploadPrefix + id + "-" + kListFile;
        FTempSignature = kUploadPrefix + id + "-" + kSignatureFile;
    }

    void Start() { ReadServedList(); }

    // Brings the live figures of a running upload into the state.
    void Refresh() {
        if (!P.Done) P.BytesUploaded = FBytesDone + (FUploading ? S.Sent : 0);
        P.Seconds = std::chrono::duration<double>((P.Done ? FEnd : std::chrono::steady_clock::now()) - FStart).count();
    }

private:
    // True (and the mirror failed) when the request did not get its answer;
    // "no such file" is an answer where `missingAnswers`.
    bool Failed(const AnsiString& step, bool missingAnswers = false) {
        if (S.Ok() || (missingAnswers && S.Missing)) return false;
        AnsiString early = S.EarlyStep();
        Fail(early.empty() ? step : early, S.Failure());
        return true;
    }

    void Fail(const AnsiString& step, const AnsiString& why) {
        P.Doing = step;
        P.Failure = why;
        Finish(false);
        // Our temporaries go when the server still listens; the result does
        // not matter (push --prune removes any that stay).
        if (FTempsUp) S.Commands({"*DELE " + FTempList, "*DELE " + FTempSignature}, [] {});
    }

    void Finish(bool ok) {
        if (ok) P.Doing = "done";
        FUploading = false;
        P.Ok = ok;
        P.Done = true;
        FEnd = std::chrono::steady_clock::now();
        P.BytesUploaded = FBytesDone;
        Refresh();
    }

    void ReadServedList() {
        P.Doing = "reading update3.dat";
        S.Download(kListFile, kListLimit, [this] {
            if (Failed("reading update3.dat", true)) return;
            FHadList = !S.Missing;
            FServedList = S.Body;
            if (!R.Signed) return Survey();
            S.Download(kSignatureFile, kListLimit, [this] {
                if (Failed("reading update3.dat.minisig", true)) return;
                FServedSignature = S.Missing ? "" : S.Body;
                Survey();
            });
        });
    }

    bool ServesOurList() const {
        return FHadList && FServedList == R.List && (!R.Signed || FServedSignature == R.Signature);
    }

    // The sizes the mirror holds: one listing, or SIZE file by file on a
    // server that has no machine-readable listing.
    void Survey() {
        P.Doing = "listing";
        S.List([this] {
            if (S.Ok() || S.NoFolder()) {
                FHeld = S.Ok() ? ParseMlsd(S.Body) : std::map<AnsiString, int64_t>();
                return Plan();
            }
            if (!S.NotUnderstood()) return void(Failed("listing"));
            FMlsd = false;
            SizeFrom(0);
        });
    }

    void SizeFrom(size_t i) {
        if (i == R.Files.size()) return Plan();
        P.Doing = "checking sizes (" + IntToStr(static_cast<int64_t>(i)) + " of " +
                  IntToStr(static_cast<int64_t>(R.Files.size())) + ")";
        S.SizeOf(R.Files[i].Name, [this, i] {
            if (Failed("SIZE " + R.Files[i].Name, true)) return;
            if (!S.Missing && S.Size < 0)
                return Fail("listing", "the server tells no file sizes (neither MLSD nor SIZE)");
            if (!S.Missing) FHeld[R.Files[i].Name] = S.Size;
            SizeFrom(i + 1);
        });
    }

    void Plan() {
        for (const TServedFile& f : R.Files) {
            auto held = FHeld.find(f.Name);
            if (held != FHeld.end() && held->second == f.Size) continue;
            // Fewer bytes than ours: the rest of an upload that was cut off.
            int64_t from = held != FHeld.end() && held->second > 0 && held->second < f.Size ? held->second : 0;
            FUploads.push_back({&f, from});
            P.BytesToUpload += f.Size - from;
        }
        P.FilesToUpload = static_cast<int>(FUploads.size());
        if (FUploads.empty() && ServesOurList()) {
            P.AlreadyCurrent = true;
            return Prune();
        }
        UploadFrom(0);
    }

    void UploadFrom(size_t i) {
        if (i == FUploads.size()) return FUploads.empty() ? UploadList() : CheckUploads();
        const TServedFile& f = *FUploads[i].first;
        P.Doing = "uploading";
        FUploading = true;
        S.Upload(f.Path, f.Name, f.Size, FUploads[i].second, [this, i, &f] {
            FUploading = false;
            if (Failed("uploading " + f.Name)) return;
            FBytesDone += S.Sent;
            ++P.FilesUploaded;
            UploadFrom(i + 1);
        });
    }

    // What went up must be there whole before a list names it.
    void CheckUploads() {
        P.Doing = "checking the uploads";
        if (FMlsd) {
            S.List([this] {
                // A folder made by the uploads, on a server found to lack MLSD only now.
                if (S.NotUnderstood()) {
                    FMlsd = false;
                    return CheckSizeFrom(0);
                }
                if (Failed("listing")) return;
                std::map<AnsiString, int64_t> held = ParseMlsd(S.Body);
                for (auto& u : FUploads) {
                    auto h = held.find(u.first->Name);
                    if (h == held.end() || h->second != u.first->Size)
                        return Fail("checking the uploads",
                                    u.first->Name + " is not whole on the mirror after its upload");
                }
                UploadList();
            });
        } else {
            CheckSizeFrom(0);
        }
    }

    void CheckSizeFrom(size_t i) {
        if (i == FUploads.size()) return UploadList();
        const TServedFile& f = *FUploads[i].first;
        S.SizeOf(f.Name, [this, i, &f] {
            if (Failed("SIZE " + f.Name, true)) return;
            if (S.Missing || S.Size != f.Size)
                return Fail("checking the uploads", f.Name + " is not whole on the mirror after its upload");
            CheckSizeFrom(i + 1);
        });
    }

    void UploadList() {
        P.Doing = "uploading update3.dat";
        FTempsUp = true;
        S.Upload(R.OutDir + "/" + kListFile, FTempList, static_cast<int64_t>(R.List.size()), 0, [this] {
            if (Failed("uploading update3.dat as " + FTempList)) return;
            if (!R.Signed) return Rename();
            S.Upload(R.OutDir + "/" + kSignatureFile, FTempSignature, static_cast<int64_t>(R.Signature.size()), 0,
                     [this] {
                         if (Failed("uploading update3.dat.minisig as " + FTempSignature)) return;
                         Rename();
                     });
        });
    }

    // The one moment the mirror's release changes.
    void Rename() {
        P.Doing = "renaming into place";
        std::vector<AnsiString> commands{"RNFR " + FTempList, AnsiString("RNTO ") + kListFile};
        if (R.Signed) {
            commands.push_back("RNFR " + FTempSignature);
            commands.push_back(AnsiString("RNTO ") + kSignatureFile);
        } else {
            // A signature left from a signed release would not match the new list.
            commands.push_back(AnsiString("*DELE ") + kSignatureFile);
        }
        S.Commands(commands, [this] {
            if (S.Ok()) {
                FTempsUp = false;
                return ReadBack();
            }
            const bool listInPlace = R.Signed && (S.LastCommand == "RNFR " + FTempSignature ||
                                                  S.LastCommand == AnsiString("RNTO ") + kSignatureFile);
            if (!listInPlace) return void(Failed("renaming"));
            Fail("renaming", S.Failure() + " (the new update3.dat is in place, its signature is not: push again)");
        });
    }

    void ReadBack() {
        P.Doing = "reading back update3.dat";
        S.Download(kListFile, kListLimit, [this] {
            if (Failed("reading back update3.dat", true)) return;
            if (S.Missing || S.Body != R.List)
                return Fail("reading back update3.dat", "the mirror serves another update3.dat than ours "
                                                         "(another upload at the same time?)");
            if (!R.Signed) return Prune();
            S.Download(kSignatureFile, kListLimit, [this] {
                if (Failed("reading back update3.dat.minisig", true)) return;
                if (S.Missing || S.Body != R.Signature)
                    return Fail("reading back update3.dat.minisig", "the mirror serves another signature than ours");
                Prune();
            });
        });
    }

    void Prune() {
        if (!FPrune) return Finish(true);
        P.Doing = "pruning";
        if (FMlsd)
            S.List([this] { Pruning(); });
        else
            S.ListNames([this] { Pruning(); });
    }

    void Pruning() {
        if (FMlsd && S.NotUnderstood()) {
            FMlsd = false;
            return Prune();
        }
        if (!S.Ok()) {
            P.PruneFailure = "listing: " + S.Failure();
            return Finish(true);
        }
        std::vector<AnsiString> present;
        if (FMlsd) {
            for (auto& held : ParseMlsd(S.Body)) present.push_back(held.first);
        } else {
            present = ParseNameList(S.Body);
        }
        FDeletions = ChoosePrune(R.History, FPrune, present, R.Names).Files;
        // Temporaries of ours that an earlier push left behind.
        for (const AnsiString& name : present)
            if (name.rfind(kUploadPrefix, 0) == 0 && IsSafeRemoteName(name) && name.find('/') == AnsiString::npos)
                FDeletions.push_back(name);
        DeleteFrom(0);
    }

    void DeleteFrom(size_t i) {
        if (i == FDeletions.size()) return Finish(true);
        S.Commands({"DELE " + FDeletions[i]}, [this, i] {
            if (S.Ok())
                ++P.Pruned;
            else if (P.PruneFailure.empty())
                P.PruneFailure = S.Failure();
            // A connection that is gone will not come back for the rest.
            if (!S.Ok() && !S.EarlyStep().empty()) return Finish(true);
            DeleteFrom(i + 1);
        });
    }

    TMirrorSession S;
    const TLocalRelease& R;
    TMirrorPush& P;
    size_t FPrune;
    std::chrono::steady_clock::time_point FStart, FEnd;
    AnsiString FTempList, FTempSignature;
    bool FHadList = false, FMlsd = true, FTempsUp = false, FUploading = false;
    AnsiString FServedList, FServedSignature;
    std::map<AnsiString, int64_t> FHeld;
    std::vector<std::pair<const TServedFile*, int64_t>> FUploads;  // and where each starts
    std::vector<AnsiString> FDeletions;
    int64_t FBytesDone = 0;
};

}  // namespace

bool TPushReport::Ok() const {
    for (const TMirrorPush& m : Mirrors)
        if (!m.Ok || !m.PruneFailure.empty()) return false;
    return true;
}

TPushReport Push(const TPushOptions& o, const TPushProgress& progress) {
    TLocalRelease release = ReadLocalRelease(o.OutDir, o.Prune > 0);
    TCurlRunner runner;
    TPushReport report;
    report.Mirrors.resize(o.Mirrors.size());
    std::vector<std::unique_ptr<TMirrorPusher>> pushers;
    for (size_t i = 0; i < o.Mirrors.size(); ++i) {
        report.Mirrors[i].Mirror = o.Mirrors[i].Shown();
        pushers.push_back(
            std::make_unique<TMirrorPusher>(runner, o.Mirrors[i], o.Ftp, release, o.Prune, report.Mirrors[i]));
    }
    for (auto& p : pushers) p->Start();
    runner.Run([&] {
        for (auto& p : pushers) p->Refresh();
        if (progress) progress(report.Mirrors);
    });
    return report;
}
