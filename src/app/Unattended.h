// The update with no window at all (--unattended --no-window): a vendor's
// machines updated by a script, a kiosk, a start with no display. The same
// steps as the window's unattended start, through the same core: the saved
// server choice, the plan, the check of what is installed, the run, the
// launcher's check and its start. The log tells what the window would have
// shown; the exit status says how it ended.
#pragma once
#include "platform/Classes.h"

// The program's exit statuses (see skiff(1)): 0 after the launch.
constexpr int kExitNoServer = 3, kExitFailedEntries = 4, kExitLauncherFailed = 5;

int RunWithoutWindow(const AnsiString& appFolder, bool repair);
