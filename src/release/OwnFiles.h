// The updater's own files in the application folder: the program, its data
// files, its record of what is installed, its log, its lock and its skin
// pictures. No entry of a versions list and no member of a pack may replace
// or remove them, whether the list is signed or not: the updater's bytes are
// public, so an unsigned list could otherwise remove the updater or plant a
// key of its own. The publisher refuses a release that holds them.
#pragma once
#include "platform/Classes.h"

// True when `local` (a name below the application folder, as a list gives
// it) is one of the updater's own files or lies below one ("upimg\x.jpg"),
// matched ignoring the case of ASCII letters as the list's names are matched
// everywhere else. `programFile` is the name the running updater has in its
// folder (native; empty when not known, as for the publisher); "skiff" is
// always the program's. A name that does not decode, or that names the folder
// itself or one above it, counts as one of them.
bool IsUpdatersOwnFile(const AnsiString& local, const AnsiString& programFile);
