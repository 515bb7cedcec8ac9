// The single-instance rule by application title. The running instance holds a
// per-user local socket named after its title (the stand-in for a top-level
// window bearing that title); a second start finds it there and asks it to
// come to the front.
#pragma once
#include <functional>

#include "Classes.h"

// FindWindowA + SetForegroundWindow + ShowWindow(SW_SHOWDEFAULT): true when an
// instance with this title runs; it has been asked to come forward.
bool ActivateRunningInstance(const AnsiString& title);
// Claims the title for this process; `onActivate` runs on the UI thread when
// a later start asks this instance to come forward. False when another
// process holds the title.
bool ClaimInstanceTitle(const AnsiString& title, std::function<void()> onActivate);
