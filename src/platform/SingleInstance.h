// The single-instance rule by application title, per user. The running
// instance holds a local socket named after its title (the stand-in for a
// top-level window bearing that title): a socket file in $XDG_RUNTIME_DIR
// when that folder is the user's own (mode 0700), else an abstract socket.
// Both sides check the peer's credentials, so another user can neither make
// a start end nor call an instance forward, and the running instance never
// waits on a peer. A second start finds it there and asks it to come forward.
#pragma once
#include <functional>

#include "Classes.h"

// FindWindowA + SetForegroundWindow + ShowWindow(SW_SHOWDEFAULT): true when an
// instance with this title runs; it has been asked to come forward. Never
// blocks: the connection is given half a second, the answer two.
bool ActivateRunningInstance(const AnsiString& title);
// Claims the title for this process; `onActivate` runs on the UI thread when
// a later start asks this instance to come forward. False when another
// process holds the title.
bool ClaimInstanceTitle(const AnsiString& title, std::function<void()> onActivate);
// Removes the socket file of the claim (at a clean end).
void ReleaseInstanceTitle();
// The title alone cannot always tell: another user may squat the abstract
// name when there is no private runtime folder, and an instance too busy to
// accept is given up on after half a second. So every instance also takes a
// lock on a file in the application folder, which keeps two updaters of this
// folder apart all the same: false when another process holds it. The lock
// lasts as long as the process.
bool ClaimFolderLock(const AnsiString& appFolder);
