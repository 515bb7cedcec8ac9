// What each mirror serves: its update3.dat (read with its signature; the
// served files are only sized, by a listing or SIZE, never read), and
// whether it serves the newest release of all the mirrors whole.
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
    bool Whole() const;                // it answers and serves its list with every file, usably
};

struct TStatusReport {
    std::vector<TMirrorStatus> Mirrors;
    AnsiString NewestVersion, NewestSha256;
    int64_t NewestSerial = 0;
    // The serials were checked by a key and rank the lists; without one a
    // mirror's serial is only its claim, never a rank.
    bool Verified = false;
    // Every mirror serves the newest release whole.
    bool Ok() const;
};

// `keyFile` empty: signatures are read, not checked.
TStatusReport MirrorStatus(const std::vector<TMirror>& mirrors, const TFtpSettings& settings,
                           const AnsiString& keyFile);
// Finds the newest release, with `verified` (a key checked the usable
// lists) by the highest serial, then the greatest version; without it, the
// list that most mirrors serve, then the greatest version; and marks the
// mirrors that serve it.
void RankMirrors(TStatusReport& report, bool verified);
void PrintStatus(const TStatusReport& report, bool json);
