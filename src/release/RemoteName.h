// The names under which a release's files are served. They are flat (a file
// directly in the login folder) and ASCII, so that any FTP server and any
// application folder can take them; and each names one content for good: a
// file whose bytes change gets a new name, so uploading a release never
// overwrites a file that the list still live on a mirror names.
#pragma once
#include "platform/Classes.h"

// The flat form of a local name: "\" becomes "~", bytes other than ASCII
// letters, digits, ".", "_" and "-" become "%XX".
AnsiString RemoteNameOf(const AnsiString& localName);
// The served name of a file: the flat form of `base`, a dot, the first 16
// hex digits of the served file's SHA-256, then `suffix` (".gz" for the
// compressed kinds, "" for plain files): "docs~manual.txt.0123456789abcdef.gz".
AnsiString ServedNameOf(const AnsiString& base, const AnsiString& sha256Hex, const AnsiString& suffix);
