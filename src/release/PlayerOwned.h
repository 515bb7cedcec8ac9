// Files a release installs once and then leaves to the player: a settings
// file the player edits is put there when it is missing, and never replaced
// or repaired after (whatever its version, whatever its bytes). The list's
// header names them, "owned=NAME,NAME,...", each local name with '%', ','
// and every byte outside printable ASCII (blanks included) written as %XX,
// so that the header stays one field. Updaters built to the original format
// read no header keys: they install these entries as any other.
#pragma once
#include <set>
#include <vector>

#include "platform/Classes.h"

constexpr char kOwnedKey[] = "owned";

// The header field for `locals` (list names, with backslashes); empty when
// there are none.
AnsiString OwnedHeaderField(const std::vector<AnsiString>& locals);
// The names a header declares, ASCII-lower-cased as list names are matched;
// a value that does not decode declares nothing.
std::set<AnsiString> DeclaredOwnedFiles(const AnsiString& header);
