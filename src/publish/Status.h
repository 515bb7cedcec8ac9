// What each mirror serves: its update3.dat (read with its signature; the
// served files are sized, by a listing, SIZE or a one-byte range, and with
// a deep check read through and hashed), and whether it serves the newest
// release of all the mirrors whole. Given a published folder, the question
// is that folder's release instead: the one about to ship, which a cut-off
// push may have left on no mirror at all. FTP and web mirrors are asked
// alike; a web mirror cannot be listed, so only the files a list names are
// seen there.
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
    bool Web = false, Tls = false;  // as TMirror
    bool Answers = false;         // it could be asked at all
    AnsiString Failure;           // why not, or what went wrong later (the server's reply)
    bool HasList = false;
    AnsiString Version;           // the header's second field
    AnsiString Sha256;            // of its update3.dat
    AnsiString SignatureSha256;   // of its update3.dat.minisig; empty when unsigned
    bool Signed = false;
    int64_t Serial = 0, Expires = 0;   // from the trusted comment; 0 when none
    bool SignatureChecked = false;     // good by the key given
    AnsiString SignatureProblem;       // with a key: why the list is refused
    int Files = 0;                     // served files its list names
    std::vector<AnsiString> Missing;
    std::vector<TWrongSize> WrongSize;
    std::vector<AnsiString> Damaged;   // deep check: of the right size, but other bytes
    int Unjudged = 0;                  // deep check: files with no SHA-256 to hold them against
    bool Listed = false;               // its folder was listed (never for a web mirror)
    bool NoRanges = false;             // web: a one-byte range came back as the whole file
    // Web, when FTP mirrors have lists: its update3.dat and signature are
    // byte for byte those of one of them, the only case in which a player's
    // run (planned from an FTP mirror's list) fetches files from it.
    bool ServedWithFtp = false;
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
    AnsiString NewestSignatureSha256;
    // The serials were checked by a key and rank the lists; without one a
    // mirror's serial is only its claim, never a rank.
    bool Verified = false;
    bool Deep = false;        // every file of the right size was also hashed
    bool FtpLists = false;    // an FTP mirror served a list (web mirrors are held against them)
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
// Exception when it has no update3.dat). `deep`: every file a mirror holds
// with the right size is read through and its SHA-256 held against the
// list's (or, with `outDir`, the published file's).
TStatusReport MirrorStatus(const std::vector<TMirror>& mirrors, const TFtpSettings& settings,
                           const AnsiString& keyFile, const AnsiString& outDir = "", bool deep = false);
// Finds the newest release, with `verified` (a key checked the usable
// lists) by the highest serial, then the greatest version; without it, the
// list that most mirrors serve, then the greatest version; and marks the
// mirrors that serve it (its list and its signature, byte for byte), and
// the web mirrors that serve what an FTP mirror serves.
void RankMirrors(TStatusReport& report, bool verified);
void PrintStatus(const TStatusReport& report, bool json);

// The warning for a release that is not signed, served over a plain
// transport ("FTP", "HTTP").
AnsiString UnsignedWarning(const AnsiString& transport);
