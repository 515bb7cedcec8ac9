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

// The value of a header field "key=value" of a versions list's header line;
// empty when there is none. The first such field counts.
AnsiString DeclaredHeaderValue(const AnsiString& header, const AnsiString& key);

// The code page that a versions list's header line declares for its names
// (a field "codepage=950"); 0 when it declares none, or one this program has
// no converter for.
int DeclaredNamesCodePage(const AnsiString& header);

// How a release lets the updater use its mirrors: "connections=N" sessions
// per mirror (1 to 8, default 2) and "mirrors=one|all" (default all). A
// vendor whose servers take fewer sessions says so in the signed list. A
// header with neither key gets one session on one server at a time, as the
// updaters that list was written for use.
struct TTransferLimits {
    static constexpr int kMaxConnections = 8;
    int Connections = 2;
    bool AllMirrors = true;
};
TTransferLimits DeclaredTransferLimits(const AnsiString& header);
