#include "Status.h"

#include <ctime>
#include <map>
#include <memory>

#include "Json.h"
#include "MirrorsReport.h"
#include "MirrorsWeb.h"
#include "ReleaseHistory.h"
#include "platform/Printable.h"
#include "Prune.h"
#include "Push.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/ReleaseCheck.h"

namespace {

constexpr int64_t kListLimit = int64_t(64) << 20;

// The release of a published folder, read before any mirror is asked.
struct TLocalList {
    AnsiString Dir;
    AnsiString List, Signature;  // Signature empty: unsigned
    std::vector<TServedEntry> Entries;
};

// One mirror asked, step by step on its session, like a push without uploads.
class TMirrorProbe {
public:
    TMirrorProbe(TCurlRunner& runner, const TMirror& mirror, const TFtpSettings& settings, const TPublicKey* key,
                 const TLocalList* local, bool deep, TMirrorStatus& state)
        : FKey(key), FLocal(local), FDeep(deep), M(state) {
        if (mirror.Web) {
            auto web = std::make_unique<TWebSession>(runner, mirror, settings);
            FWeb = web.get();
            FSession = std::move(web);
        } else {
            auto ftp = std::make_unique<TMirrorSession>(runner, mirror, settings);
            FFtp = ftp.get();
            FSession = std::move(ftp);
        }
        if (FLocal) FEntries = FLocal->Entries;
    }

    void Start() {
        S().Download(kListFile, kListLimit, [this] {
            if (Failed("reading update3.dat")) return;
            M.Answers = true;
            if (S().Missing) {
                M.Failure = "no update3.dat";
                // Still worth knowing how much of the local release is up there.
                if (FLocal) Survey();
                return;
            }
            FList = S().Body;
            S().Download(kSignatureFile, kListLimit, [this] {
                if (Failed("reading update3.dat.minisig")) return;
                ReadList(S().Missing ? nullptr : &S().Body);
                Survey();
            });
        });
    }

private:
    TMirrorReader& S() { return *FSession; }

    bool Failed(const AnsiString& step) {
        if (S().Ok() || S().Missing) return false;
        AnsiString early = S().EarlyStep();
        M.Answers = M.Answers || (early != "connect" && early != "TLS");
        M.Failure = (early.empty() ? step : early) + ": " + S().Failure();
        return true;
    }

    void ReadList(const AnsiString* signature) {
        M.HasList = true;
        TStringList lines;
        lines.SetText(FList);
        M.Version = lines.Count() ? GetField(2, lines[0]) : "";
        M.Sha256 = Sha256Of(FList);
        M.SignatureSha256 = signature ? Sha256Of(*signature) : AnsiString();
        if (FLocal)
            M.ServesLocal = FList == FLocal->List && (signature ? *signature : AnsiString()) == FLocal->Signature;
        else
            FEntries = ServedEntriesOf(FList);
        M.Files = static_cast<int>(FEntries.size());
        M.Signed = signature != nullptr;
        if (!M.Signed) {
            if (FKey) M.SignatureProblem = "not signed";
            return;
        }
        try {
            std::map<AnsiString, AnsiString> fields = CommentFields(ParseSignature(*signature).TrustedComment);
            M.Serial = fields.count("serial") ? StrToInt64(fields["serial"]) : 0;
            M.Expires = fields.count("expires") ? StrToInt64(fields["expires"]) : 0;
            if (FKey) {
                CheckSignedList(FList, *signature, *FKey, 0, time(nullptr));
                M.SignatureChecked = true;
            }
        } catch (const Exception& e) {
            M.SignatureProblem = e.Message;
        }
    }

    // The sizes of the files: from one listing where the server gives one,
    // else (no MLSD, or a web server, which lists nothing) file by file.
    void Survey() {
        if (!FFtp) return SizeFrom(0);
        FFtp->List([this] {
            if (FFtp->Ok()) {
                M.Listed = true;
                std::map<AnsiString, int64_t> held = ParseMlsd(FFtp->Body);
                for (const TServedEntry& e : FEntries) {
                    auto h = held.find(e.Name);
                    Compare(e, h == held.end() ? -1 : h->second, h == held.end());
                }
                for (const auto& h : held)
                    if (h.first.rfind(kUploadPrefix, 0) == 0) M.Temporaries.push_back(h.first);
                return HashFrom(0);
            }
            if (FFtp->NotUnderstood()) return SizeFrom(0);
            Failed("listing");
        });
    }

    void SizeFrom(size_t i) {
        if (i == FEntries.size()) return HashFrom(0);
        S().SizeOf(FEntries[i].Name, [this, i] {
            if (Failed((FFtp ? "SIZE " : "size of ") + FEntries[i].Name)) return;
            if (FWeb && FWeb->NoRanges) M.NoRanges = true;
            Compare(FEntries[i], S().Size, S().Missing);
            SizeFrom(i + 1);
        });
    }

    void Compare(const TServedEntry& e, int64_t held, bool missing) {
        if (missing)
            M.Missing.push_back(e.Name);
        else if (held != e.Size)
            M.WrongSize.push_back({e.Name, held, e.Size});
        else
            FRightSize.push_back(e);
    }

    // What a file's bytes must hash to: the list's word, else the published
    // file's own; empty when neither is there.
    AnsiString ExpectedDigest(const TServedEntry& e) const {
        if (!e.Sha256.empty() || !FLocal) return LowerCase(e.Sha256);
        try {
            return Sha256OfFile(SystemPathFromNative(FLocal->Dir + "/" + e.Name));
        } catch (const Exception&) {
            return "";
        }
    }

    void HashFrom(size_t i) {
        if (!FDeep) return;
        AnsiString expected;
        for (; i < FRightSize.size() && (expected = ExpectedDigest(FRightSize[i])).empty(); ++i) ++M.Unjudged;
        if (i == FRightSize.size()) return;
        S().HashOf(FRightSize[i].Name, FRightSize[i].Size, [this, i, expected] {
            if (Failed("reading " + FRightSize[i].Name)) return;
            if (S().Missing)
                M.Missing.push_back(FRightSize[i].Name);  // gone since it was sized
            else if (S().Digest != expected)
                M.Damaged.push_back(FRightSize[i].Name);
            HashFrom(i + 1);
        });
    }

    std::unique_ptr<TMirrorReader> FSession;
    TMirrorSession* FFtp = nullptr;  // the same session, when it speaks FTP
    TWebSession* FWeb = nullptr;     // or HTTP
    const TPublicKey* FKey;
    const TLocalList* FLocal;
    bool FDeep;
    TMirrorStatus& M;
    AnsiString FList;
    std::vector<TServedEntry> FEntries, FRightSize;
};

// The newer of two checked lists: the higher serial, then the greater version.
bool Newer(const TMirrorStatus& a, const TMirrorStatus& b) {
    if (a.Serial != b.Serial) return a.Serial > b.Serial;
    return VersionGreater(a.Version, b.Version);
}

bool Usable(const TMirrorStatus& m) { return m.HasList && m.SignatureProblem.empty(); }

// Without a key a mirror's serial and version are only what it claims: the
// list most mirrors serve is the reference, so that one hostile mirror
// cannot make the honest ones look old; a tie goes to the greater version.
const TMirrorStatus* MostServed(const std::vector<TMirrorStatus>& mirrors) {
    std::map<AnsiString, int> serving;
    for (const TMirrorStatus& m : mirrors)
        if (Usable(m)) ++serving[m.Sha256];
    const TMirrorStatus* best = nullptr;
    for (const TMirrorStatus& m : mirrors) {
        if (!Usable(m)) continue;
        if (!best || serving[m.Sha256] > serving[best->Sha256] ||
            (serving[m.Sha256] == serving[best->Sha256] && VersionGreater(m.Version, best->Version)))
            best = &m;
    }
    return best;
}

bool Expired(const TMirrorStatus& m) { return m.Expires != 0 && m.Expires < time(nullptr); }

// Why a mirror that answered is not whole.
AnsiString Lacking(const TMirrorStatus& m) {
    if (!m.Failure.empty()) return "failed";
    return m.Missing.empty() && m.WrongSize.empty() && !m.Damaged.empty() ? "files damaged" : "files missing";
}

AnsiString StateOf(const TMirrorStatus& m, const TStatusReport& r) {
    const bool verified = r.Verified;
    if (!m.Answers) return "down";
    if (!m.HasList) return "no list";
    if (!m.SignatureProblem.empty()) return "refused list";
    if (Expired(m)) return "expired";
    if (r.Local) {
        if (!m.ServesLocal) return "other release";
        return m.Whole() ? "release, whole" : Lacking(m);
    }
    if (!m.Whole()) return Lacking(m);
    if (m.Newest) return "newest, whole";
    return verified ? "older release" : "other release";
}

AnsiString ShownTime(int64_t t) {
    if (t == 0) return "-";
    char text[32];
    time_t tt = static_cast<time_t>(t);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M", gmtime(&tt));
    return text;
}

}  // namespace

bool TMirrorStatus::Whole() const {
    return Answers && HasList && Failure.empty() && Missing.empty() && WrongSize.empty() && Damaged.empty() &&
           SignatureProblem.empty() && !Expired(*this);
}

bool TStatusReport::Ok() const {
    if (Local && !LocalSignatureProblem.empty()) return false;
    for (const TMirrorStatus& m : Mirrors)
        if (!(Local ? m.ServesLocal : m.Newest) || !m.Whole()) return false;
    return !Mirrors.empty();
}

TStatusReport MirrorStatus(const std::vector<TMirror>& mirrors, const TFtpSettings& settings,
                           const AnsiString& keyFile, const AnsiString& outDir, bool deep) {
    std::unique_ptr<TPublicKey> key;
    if (!keyFile.empty())
        key = std::make_unique<TPublicKey>(ParsePublicKey(ReadWholeFile(SystemPathFromNative(keyFile))));
    TStatusReport report;
    report.Deep = deep;
    std::unique_ptr<TLocalList> local;
    if (!outDir.empty()) {
        const AnsiString listPath = outDir + "/" + kListFile, signaturePath = outDir + "/" + kSignatureFile;
        if (!FileExists(SystemPathFromNative(listPath)))
            throw Exception(outDir + ": no " + kListFile + " (not a published folder)");
        local = std::make_unique<TLocalList>();
        local->List = ReadWholeFile(SystemPathFromNative(listPath));
        report.LocalSigned = FileExists(SystemPathFromNative(signaturePath));
        if (report.LocalSigned) local->Signature = ReadWholeFile(SystemPathFromNative(signaturePath));
        local->Dir = outDir;
        local->Entries = ServedEntriesOf(local->List);
        // Push puts the delta form up with the files: a mirror without it
        // does not serve the release whole.
        for (const auto& [name, size] : DeltaServedFilesIn(outDir, local->List))
            local->Entries.push_back({name, size, 0, ""});
        report.Local = true;
        report.LocalDir = outDir;
        TStringList lines;
        lines.SetText(local->List);
        report.LocalVersion = lines.Count() ? GetField(2, lines[0]) : "";
        report.LocalSha256 = Sha256Of(local->List);
        // An updater with this key refuses what a mirror serving this
        // release serves: better known before the push than after.
        if (key && !report.LocalSigned) report.LocalSignatureProblem = "not signed";
        if (key && report.LocalSigned) {
            try {
                CheckSignedList(local->List, local->Signature, *key, 0, time(nullptr));
                report.LocalChecked = true;
            } catch (const Exception& e) {
                report.LocalSignatureProblem = e.Message;
            }
        }
    }
    TCurlRunner runner;
    report.Mirrors.resize(mirrors.size());
    std::vector<std::unique_ptr<TMirrorProbe>> probes;
    for (size_t i = 0; i < mirrors.size(); ++i) {
        report.Mirrors[i].Mirror = mirrors[i].Shown();
        report.Mirrors[i].Web = mirrors[i].Web;
        report.Mirrors[i].Tls = mirrors[i].Tls;
        probes.push_back(std::make_unique<TMirrorProbe>(runner, mirrors[i], settings, key.get(), local.get(), deep,
                                                        report.Mirrors[i]));
    }
    for (auto& p : probes) p->Start();
    runner.Run({});
    RankMirrors(report, key != nullptr);
    return report;
}

void RankMirrors(TStatusReport& report, bool verified) {
    report.Verified = verified;
    const TMirrorStatus* newest = nullptr;
    if (verified) {
        // With the key every usable list's serial was checked.
        for (const TMirrorStatus& m : report.Mirrors)
            if (Usable(m) && (!newest || Newer(m, *newest))) newest = &m;
    } else {
        newest = MostServed(report.Mirrors);
    }
    if (newest) {
        report.NewestVersion = newest->Version;
        report.NewestSha256 = newest->Sha256;
        report.NewestSignatureSha256 = newest->SignatureSha256;
        report.NewestSerial = newest->Serial;
    }
    // Players' runs fetch from mirrors together only while they serve the
    // very list and signature of the run's plan.
    for (TMirrorStatus& m : report.Mirrors)
        m.Newest = newest && m.HasList && m.Sha256 == report.NewestSha256 &&
                   m.SignatureSha256 == report.NewestSignatureSha256;
    report.FtpLists = false;
    for (const TMirrorStatus& ftp : report.Mirrors) report.FtpLists = report.FtpLists || (!ftp.Web && ftp.HasList);
    for (TMirrorStatus& m : report.Mirrors) {
        m.ServedWithFtp = false;
        for (const TMirrorStatus& ftp : report.Mirrors)
            m.ServedWithFtp = m.ServedWithFtp || (m.Web && m.HasList && !ftp.Web && ftp.HasList &&
                                                  ftp.Sha256 == m.Sha256 && ftp.SignatureSha256 == m.SignatureSha256);
    }
}

AnsiString UnsignedWarning(const AnsiString& transport) {
    return "update3.dat is not signed and players read it over plain " + transport +
           ": anyone on the way can change what they install (publish with --sign, and give kit --key)";
}

void PrintStatus(const TStatusReport& r, bool json) {
    if (json) {
        printf("{\"ok\": %s, \"newest\": {\"serial\": %lld, \"serial_verified\": %s, \"version\": %s, "
               "\"sha256\": %s},\n",
               r.Ok() ? "true" : "false", static_cast<long long>(r.NewestSerial), r.Verified ? "true" : "false",
               JsonString(r.NewestVersion).c_str(), JsonString(r.NewestSha256).c_str());
        if (r.Local)
            printf(" \"release\": {\"folder\": %s, \"version\": %s, \"sha256\": %s, \"signed\": %s, "
                   "\"signature_checked\": %s, \"signature_problem\": %s},\n",
                   JsonString(r.LocalDir).c_str(), JsonString(r.LocalVersion).c_str(),
                   JsonString(r.LocalSha256).c_str(), r.LocalSigned ? "true" : "false",
                   r.LocalChecked ? "true" : "false", JsonString(r.LocalSignatureProblem).c_str());
        printf(" \"mirrors\": [");
        for (size_t i = 0; i < r.Mirrors.size(); ++i) {
            const TMirrorStatus& m = r.Mirrors[i];
            AnsiString missing = "[", wrong = "[", temporaries = "[", damaged = "[";
            for (const AnsiString& n : m.Missing) missing += (missing.size() > 1 ? ", " : "") + JsonString(n);
            for (const AnsiString& n : m.Damaged) damaged += (damaged.size() > 1 ? ", " : "") + JsonString(n);
            for (const AnsiString& n : m.Temporaries)
                temporaries += (temporaries.size() > 1 ? ", " : "") + JsonString(n);
            for (const TWrongSize& w : m.WrongSize)
                wrong += (wrong.size() > 1 ? ", " : "") + AnsiString("{\"name\": ") + JsonString(w.Name) +
                         ", \"size\": " + IntToStr(w.Held) + ", \"listed\": " + IntToStr(w.Listed) + "}";
            printf("%s\n  {\"mirror\": %s, \"answers\": %s, \"has_list\": %s, \"state\": %s, \"newest\": %s, "
                   "\"whole\": %s, \"version\": %s, \"sha256\": %s, \"signed\": %s, \"serial\": %lld, "
                   "\"expires\": %lld, \"signature_checked\": %s, \"signature_problem\": %s, \"files\": %d, "
                   "\"missing\": %s], \"wrong_size\": %s], \"temporaries\": %s], \"serves_release\": %s, "
                   "\"web\": %s, \"listed\": %s, \"served_with_ftp\": %s, \"no_ranges\": %s, \"damaged\": %s], "
                   "\"unjudged\": %d, \"failure\": %s}",
                   i ? "," : "", JsonString(m.Mirror).c_str(), m.Answers ? "true" : "false",
                   m.HasList ? "true" : "false", JsonString(StateOf(m, r)).c_str(),
                   m.Newest ? "true" : "false",
                   m.Whole() ? "true" : "false", JsonString(m.Version).c_str(), JsonString(m.Sha256).c_str(),
                   m.Signed ? "true" : "false", static_cast<long long>(m.Serial), static_cast<long long>(m.Expires),
                   m.SignatureChecked ? "true" : "false", JsonString(m.SignatureProblem).c_str(), m.Files,
                   missing.c_str(), wrong.c_str(), temporaries.c_str(), m.ServesLocal ? "true" : "false",
                   m.Web ? "true" : "false", m.Listed ? "true" : "false", m.ServedWithFtp ? "true" : "false",
                   m.NoRanges ? "true" : "false", damaged.c_str(), m.Unjudged, JsonString(m.Failure).c_str());
        }
        printf("]}\n");
        return;
    }
    std::vector<std::vector<AnsiString>> rows{
        {"MIRROR", "STATE", "SERIAL", "VERSION", "EXPIRES (UTC)", "SHA-256", "FILES", "MISSING"}};
    for (const TMirrorStatus& m : r.Mirrors) {
        // A serial no key checked is only the mirror's claim.
        const AnsiString serial = m.Signed ? IntToStr(m.Serial) + (m.SignatureChecked ? "" : "?") : "-";
        rows.push_back({m.Mirror, StateOf(m, r), serial, m.HasList ? m.Version : "-", ShownTime(m.Expires),
                        m.HasList ? m.Sha256.substr(0, 16) : "-", m.HasList ? IntToStr(m.Files) : "-",
                        m.HasList ? IntToStr(static_cast<int64_t>(m.Missing.size() + m.WrongSize.size() +
                                                                  m.Damaged.size()))
                                  : "-"});
    }
    PrintTable(rows);
    int whole = 0;
    for (const TMirrorStatus& m : r.Mirrors) {
        whole += (r.Local ? m.ServesLocal : m.Newest) && m.Whole();
        if (r.Local && m.HasList && !m.ServesLocal)
            printf("%s: does not serve the release of %s (it serves version %s)\n", m.Mirror.c_str(),
                   Printable(r.LocalDir).c_str(), Printable(m.Version).c_str());
        if (!m.Failure.empty()) printf("%s: %s\n", m.Mirror.c_str(), Printable(m.Failure).c_str());
        if (!m.SignatureProblem.empty())
            printf("%s: signature: %s\n", m.Mirror.c_str(), Printable(m.SignatureProblem).c_str());
        for (const AnsiString& n : m.Missing) printf("%s: missing %s\n", m.Mirror.c_str(), Printable(n).c_str());
        for (const TWrongSize& w : m.WrongSize)
            printf("%s: %s%s has %lld bytes, the list says %lld\n", m.Mirror.c_str(),
                   w.Held < w.Listed ? "partial: " : "", Printable(w.Name).c_str(), static_cast<long long>(w.Held),
                   static_cast<long long>(w.Listed));
        for (const AnsiString& n : m.Damaged)
            printf("%s: damaged: %s has the listed size but not the release's bytes\n", m.Mirror.c_str(),
                   Printable(n).c_str());
        if (m.Unjudged)
            printf("%s: %d files could not be hashed against the list: it gives no SHA-256 for them\n",
                   m.Mirror.c_str(), m.Unjudged);
        for (const AnsiString& n : m.Temporaries)
            printf("%s: %s is a temporary upload left by a push (push --prune removes it)\n", m.Mirror.c_str(),
                   Printable(n).c_str());
        if (m.Web && m.Answers)
            printf("%s: a web server cannot list its folder: files no list names (temporary uploads, strays) "
                   "cannot be seen there\n",
                   m.Mirror.c_str());
        if (m.NoRanges)
            printf("%s: answers a one-byte range with the whole file: players cannot continue a cut download "
                   "or fetch it in segments there (leave Range support on)\n",
                   m.Mirror.c_str());
        if (m.Web && m.HasList && r.FtpLists && !m.ServedWithFtp)
            printf("%s: its update3.dat and signature are not byte for byte those of any FTP mirror: players' "
                   "runs fetch nothing from it\n",
                   m.Mirror.c_str());
        const bool notSigned = r.Local ? !r.LocalSigned : m.HasList && !m.Signed;
        if (notSigned && (m.Answers || r.Local) && !(m.Web && m.Tls))
            printf("%s: warning: %s\n", m.Mirror.c_str(), UnsignedWarning(m.Web ? "HTTP" : "FTP").c_str());
    }
    if (r.Local) {
        if (!r.LocalSignatureProblem.empty())
            printf("%s: signature: %s\n", Printable(r.LocalDir).c_str(), Printable(r.LocalSignatureProblem).c_str());
        else if (r.LocalSigned && !r.LocalChecked)
            printf("%s: the signature cannot be verified without --key\n", Printable(r.LocalDir).c_str());
        printf("release of %s: version %s, update3.dat %s; %d of %zu mirrors serve it whole\n",
               Printable(r.LocalDir).c_str(), Printable(r.LocalVersion).c_str(), r.LocalSha256.c_str(), whole,
               r.Mirrors.size());
        return;
    }
    if (r.NewestSha256.empty())
        printf("no mirror serves a usable release\n");
    else
        printf("%s: version %s%s, update3.dat %s; %d of %zu mirrors serve it whole\n",
               r.Verified ? "newest release" : "served by most mirrors", Printable(r.NewestVersion).c_str(),
               r.NewestSerial ? (", serial " + IntToStr(r.NewestSerial)).c_str() : "", r.NewestSha256.c_str(), whole,
               r.Mirrors.size());
    if (!r.Verified)
        printf("serials marked ? are what the mirrors claim: give --key to check them and tell the newest release\n");
}
