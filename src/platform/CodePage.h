// Byte texts in a Windows code page <-> UTF-8, through glibc iconv.
#pragma once
#include "Classes.h"

// The iconv name of a Windows code page number (950 -> "CP950", ...);
// nullptr for a number this program has no converter for.
const char* CodePageName(int codePage);
bool IsKnownCodePage(int codePage);
// Converts; bytes that do not convert are replaced by '?'. ASCII passes as is.
AnsiString CodePageToUtf8(const AnsiString& text, int codePage);
// Strict form: false when the text is not valid in the code page.
bool TryCodePageToUtf8(const AnsiString& text, int codePage, AnsiString& out);
bool TryUtf8ToCodePage(const AnsiString& utf8, int codePage, AnsiString& out);

// The code page of every shown text: the language mode's (Big5 in mode 't',
// GB2312 in mode 's'), the system's until the main window sets it.
void SetDisplayCodePage(int codePage);
int DisplayCodePage();
AnsiString DisplayToUtf8(const AnsiString& text);
