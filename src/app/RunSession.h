// What the start-up sequence and the update run do alike with the FTP
// component: set it up for a server line of isp0.dat, give it the run's
// time-outs, fetch the versions list (and its signature), and name a server
// in the log.
#pragma once
#include <algorithm>
#include <functional>

#include "ServerLine.h"
#include "net/WexFTP.h"

// A component for one session: passive mode first (the server cannot reach
// most users behind their routers), active mode when a server will not do
// passive.
TWexFTP* NewServerComponent(TComponent* owner);

// The line's host, port, time-out and user; false for a damaged line.
bool ConfigureForServer(TWexFTP& ftp, const AnsiString& line);

// Once logged in, a transfer may take as long as it keeps moving, but a
// silence of `loggedInSilence` ms (or of the server's own time-out when that
// is longer) ends the try. Once per component: its TimeOut is still the
// server's own the first time.
void UseTransferTimeOuts(TWexFTP& ftp, int loggedInSilence);

// One file of a server, whole and in memory, of at most `limit` bytes
// (more raises): how the list and the files it names are fetched, from an
// FTP or a web mirror alike. Raises when the file cannot be had.
using TListDownload = std::function<AnsiString(const AnsiString& remote, int64_t limit)>;
// Over the FTP component (through a temporary beside update3.dat).
TListDownload ListDownloadOver(TWexFTP& ftp, const AnsiString& appFolder);

// update3.dat's bytes into `list`; with `signed`, its signature into
// `signature`. Raises what the downloads raise, and on a list larger than
// any real one.
void FetchListPair(const TListDownload& download, bool withSignature, AnsiString& list, AnsiString& signature);
// The removals file that the list header `header` names, into the
// application folder (update3.removals) once its size and SHA-256 are those
// the header gives; raises EInOutError otherwise. The plan takes its lines
// only while they match the list it was made from, so a file left by a list
// refused later does no harm.
void FetchRemovalsFile(const TListDownload& download, const AnsiString& appFolder, const AnsiString& header);

// Waits without holding the window, until the time is up or `leaving` says so.
void PauseFor(double seconds, const std::function<bool()>& leaving);
