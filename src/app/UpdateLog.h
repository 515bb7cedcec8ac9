// The operator's record of every start of the updater: update.log in the
// application folder, one line per event with its time (the servers tried and
// the step at which each failed, with the server's own words; each entry's
// outcome; the launch), kept below 1 MiB by moving it to update.log.1. The
// boxes the user sees keep their short texts; the log gives the cause. Lines
// also go to standard error when that is a terminal.
#pragma once
#include "platform/Classes.h"

namespace UpdateLog {
// Starts the log of this run in `appFolder`; until then lines are dropped.
void Open(const AnsiString& appFolder);
void Write(const AnsiString& line);
// The current log's path (for tests).
AnsiString Path();
}  // namespace UpdateLog
