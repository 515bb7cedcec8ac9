// Putting a published folder on every mirror, side by side. Per mirror:
// the files it lacks or holds with another size go up (a cut-off one is
// continued), then update3.dat and its signature under temporary names of
// ours, renamed into place (the list first, the signature last) and read
// back to be compared byte for byte. Until the rename the mirror serves its
// old release whole: its list and the files it names are never touched
// (served names follow the files' bytes, so new files only add names).
#pragma once
#include <functional>
#include <vector>

#include "Mirrors.h"
#include "MirrorsFtp.h"

constexpr char kUploadPrefix[] = ".skiff-upload-";

struct TPushOptions {
    AnsiString OutDir;
    std::vector<TMirror> Mirrors;
    TFtpSettings Ftp;
    // > 0: once a mirror serves the release, remove from it the files of
    // ours that neither the newest `Prune` lists of releases/ nor its list name.
    size_t Prune = 0;
};

struct TMirrorPush {
    AnsiString Mirror;      // Shown(): without the password
    AnsiString Doing;       // the step under way, or the last one
    bool Done = false, Ok = false;
    bool AlreadyCurrent = false;  // it served this very list before
    AnsiString Failure;     // the server's reply, or what else went wrong
    int FilesToUpload = 0, FilesUploaded = 0;
    int64_t BytesToUpload = 0, BytesUploaded = 0;
    int Pruned = 0;
    AnsiString PruneFailure;  // the release is served; removing old files failed
    double Seconds = 0;
};

struct TPushReport {
    std::vector<TMirrorPush> Mirrors;
    bool Ok() const;  // every mirror serves the release whole (and was pruned when asked)
};

// Called as the mirrors go on, at least five times a second while any
// transfer runs, and once at the end.
using TPushProgress = std::function<void(const std::vector<TMirrorPush>&)>;

// Raises Exception, before any connection, when OUT_DIR is not a whole
// published folder (a served file missing or of another size), or when
// pruning is asked and its history cannot be read.
TPushReport Push(const TPushOptions& options, const TPushProgress& progress = {});
