// Fields of the data files' lines, and the orders in which they are compared.
#pragma once
#include <vector>

#include "platform/Classes.h"

// Field n (from 1) of a line whose fields are separated by blanks only (a tab
// belongs to a field). A field outside the line yields an empty text.
AnsiString GetField(int n, const AnsiString& line);
// All fields of a line in one pass, as GetField numbers them (from index 0).
std::vector<AnsiString> SplitFields(const AnsiString& line);

// Versions compare as byte strings: the first differing byte decides by its
// unsigned value; a prefix is smaller. So "9" > "10" and "1.9" > "1.10".
bool VersionGreater(const AnsiString& a, const AnsiString& b);

// Names compare ignoring the case of ASCII letters only; other bytes exactly.
bool SameNameIgnoringCase(const AnsiString& a, const AnsiString& b);

// The code page that a versions list's header line declares for its names
// (a field "codepage=950"); 0 when it declares none, or one this program has
// no converter for. No other operation reads the header's fields.
int DeclaredNamesCodePage(const AnsiString& header);
