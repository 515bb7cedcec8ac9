// The entries of a versions list (update3.dat) and of the update list made
// from it, whichever of the two shapes they have: the line itself, or
// "U <index> <line>" for a file that is installed already.
#pragma once
#include <vector>

#include "platform/Classes.h"

// After the five fields that every updater reads (kind, remote name, local
// name, version, size), a release may give two more: the SHA-256 of the file
// as served (64 hex digits) and the mode of the installed file in octal
// ("0755"); for a pack, the modes of its members in the order of its
// directory, joined by commas ("0644,0755"). An eighth field gives the
// SHA-256 of the installed bytes (for a pack, of each member, joined by
// commas), by which a signed updater checks what is installed.
//
// Kind "D" names a file that an earlier release installed and this one
// dropped: its remote name is "-", its version and size those of the file
// the earlier release installed, and its SHA-256 that of the installed
// bytes. Lists published now keep these lines in their removals file (see
// RemovalsFile.h); lists published before carry them among their entries,
// where an updater built to the original format plans them as files to
// fetch and lists them again at every start.
struct TUpdateEntry {
    bool Changed = false;  // "U <index> <line>"
    int Index = 0;         // line of the installed versions list (changed entries)
    AnsiString Kind, Remote, Local, Version;
    int64_t Size = 0;
    AnsiString Sha256;        // empty when the list gives none
    std::vector<int> Modes;   // empty when the list gives none; -1 for a mode it cannot read
    std::vector<AnsiString> InstalledSha256;  // empty when the list gives none
};

// The numbers are converted only for the kinds "E", "O", "C" and "D" (an
// entry of another kind is passed over whatever it holds); raises
// EConvertError when such an entry's index or size is not an integer.
TUpdateEntry ParseUpdateEntry(const AnsiString& entry);
// An octal mode ("0755") of at most four digits; -1 for anything else.
int ParseMode(const AnsiString& octal);
// The kinds that bring a file in.
bool IsKnownKind(const AnsiString& kind);
constexpr char kRemovalKind[] = "D";
constexpr char kNoRemoteFile[] = "-";
bool IsRemovalKind(const AnsiString& kind);
// A remote name is only ever sent to the server: it must not be empty and
// must hold no control byte that could end or split the command.
bool IsSafeRemoteName(const AnsiString& remote);
