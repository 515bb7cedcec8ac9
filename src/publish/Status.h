// What each mirror serves: its update3.dat (read with its signature; the
// served files are only sized, by a listing or SIZE, never read), and
// whether it serves the newest release of all the mirrors whole. Given a
// published folder, the question is that folder's release instead: the one
// about to ship, which a cut-off push may have left on no mirror at all.
#pragma once
#include <vector>

#include "Mirrors.h"
#include "MirrorsFtp.h"

struct TWrongSize {
    AnsiString Name;
    int64_t Held, Listed;
};

struct TMirrorStatus {
    AnsiString Mirror;            // Shown()
    bool Answers = false;         // it could be asked at all
    AnsiString Failure;           // why not, or what went wrong later (the server's reply)
    bool HasList = false;
    AnsiString Version;           // the header's second field
    AnsiString Sha256;            // of its update3.dat
    bool Signed = false;
    int64_t Serial = 0, Expires = 0;   // from the trusted comment; 0 when none
    bool SignatureChecked = false;     // good by the key given
    AnsiString SignatureProblem;       // with a key: why the list is refused
    int Files = 0;                     // served files its list names
    std::vector<AnsiString> Missing;
    std::vector<TWrongSize> WrongSize;
    bool Newest = false;               // its list is the newest release's (without a key: the most served)
    // With a local release: its update3.dat and signature are byte for byte
    // the local ones (Missing and WrongSize then speak of the local list's
    // files, whatever the mirror's own list names).
    bool ServesLocal = false;
    std::vector<AnsiString> Temporaries;  // names a push uploads under before renaming them
    bool Whole() const;                // it answers and serves its list with every file, usably
};

struct TStatusReport {
    std::vector<TMirrorStatus> Mirrors;
    AnsiString NewestVersion, NewestSha256;
    int64_t NewestSerial = 0;
    // The serials were checked by a key and rank the lists; without one a
    // mirror's serial is only its claim, never a rank.
    bool Verified = false;
    // The release of the folder status was given, if any.
    bool Local = false;
    AnsiString LocalDir, LocalVersion, LocalSha256;
    bool LocalSigned = false, LocalChecked = false;
    AnsiString LocalSignatureProblem;  // with a key: why the local list would be refused
    // Every mirror serves the newest release whole; with a local release,
    // every mirror serves that one whole and its signature is not refused.
    bool Ok() const;
};

// `keyFile` empty: signatures are read, not checked. `outDir` non-empty:
// the mirrors are held against the release published there (raises
// Exception when it has no update3.dat).
TStatusReport MirrorStatus(const std::vector<TMirror>& mirrors, const TFtpSettings& settings,
                           const AnsiString& keyFile, const AnsiString& outDir = "");
// Finds the newest release, with `verified` (a key checked the usable
// lists) by the highest serial, then the greatest version; without it, the
// list that most mirrors serve, then the greatest version; and marks the
// mirrors that serve it.
void RankMirrors(TStatusReport& report, bool verified);
void PrintStatus(const TStatusReport& report, bool json);
