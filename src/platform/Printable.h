// Text from outside (a server's reply, a name in a list) on its way to a
// log, a terminal or JSON: control characters could retitle or clear the
// terminal, or forge lines of the log.
#pragma once
#include "Classes.h"

// ASCII controls (below 0x20, and 0x7F) and the C1 controls in UTF-8
// (U+0080..U+009F) become "\xNN"; a backslash stays a backslash. Other bytes,
// those of other code pages too, pass unchanged.
AnsiString Printable(const AnsiString& text);
// The text as valid UTF-8: each byte that does not begin or continue a
// well-formed sequence (overlong forms and surrogates included) becomes
// U+FFFD.
AnsiString ValidUtf8(const AnsiString& text);
