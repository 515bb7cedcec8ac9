// What Windows cannot hold as a file name, or takes for something else: the
// device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with
// any extension and in any case), a name ending in a dot or a blank (the
// system drops them, so the file lands under another name), and the
// characters < > : " | ? * that no Windows file system stores.
//
// A pure rule, compiled on every platform: the Windows build refuses such
// names wherever a release's names are checked (IsSafeRelativeName), and
// the Linux build can say which names a Windows player would refuse.
#pragma once
#include "Classes.h"

// One part of a path (between separators), in UTF-8.
bool IsWindowsUnsafeNamePart(const AnsiString& part);
// Any part of a UTF-8 name split on both slashes; "." and empty parts are
// the folder itself and pass.
bool HasWindowsUnsafeNamePart(const AnsiString& name);
