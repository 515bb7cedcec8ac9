// One server line of isp0.dat, "Name Host Port TimeOut User", read in one
// place for the start-up sequence, the run's sessions and the log.
#pragma once
#include <algorithm>

#include "platform/Classes.h"

// The one-character password that every server of the list accepts.
extern const char kServerPassword[];

// A web mirror's line names it by its base address in the host field
// ("CDN https://cdn.example.com/game/ 0 5000 -": the port is the address's
// own, "-" no user).
struct TServerLine {
    AnsiString Name, Host, User;
    int Port = 21;
    int TimeOut = 0;  // the server's own time-out, in milliseconds
    bool Web() const { return IsWebAddress(Host); }
    static bool IsWebAddress(const AnsiString& host) {
        return host.rfind("http://", 0) == 0 || host.rfind("https://", 0) == 0;
    }
};

// False for a damaged line (a port or time-out that is no number).
bool ParseServerLine(const AnsiString& line, TServerLine& out);

// "Name (host:port)" of a line, damaged or not, for the log.
AnsiString ServerLabel(const AnsiString& line);

// Once logged in, a transfer may take as long as it keeps moving, but a
// silence of `loggedInSilence` ms (or of the server's own time-out when that
// is longer) ends the try.
inline int TransferSilence(int loggedInSilence, int serverTimeOut) { return std::max(loggedInSilence, serverTimeOut); }
