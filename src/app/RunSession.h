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

// update3.dat into `listPath` and its bytes into `list`; with `signed`, its
// signature (beside it in the application folder, as a temporary) into
// `signature`; then the removals file the list names, if any (see
// FetchRemovalsFile). Raises what the downloads raise, and on a list or
// signature larger than any real one.
void FetchListPair(TWexFTP& ftp, const AnsiString& appFolder, bool withSignature, const AnsiString& listPath,
                   AnsiString& list, AnsiString& signature);
// The removals file that the list header `header` names, into the
// application folder (update3.removals) once its size and SHA-256 are those
// the header gives; raises EInOutError otherwise. The plan takes its lines
// only while they match the list it was made from, so a file left by a list
// refused later does no harm.
void FetchRemovalsFile(TWexFTP& ftp, const AnsiString& appFolder, const AnsiString& header);

// Waits without holding the window, until the time is up or `leaving` says so.
void PauseFor(double seconds, const std::function<bool()>& leaving);
