// Output shared by push and status: a plain-text table for people and JSON
// text that stays valid whatever bytes a server put in its replies.
#pragma once
#include <vector>

#include "platform/Classes.h"

// Control characters become blanks; bytes that are not UTF-8 become "?".
AnsiString PlainText(const AnsiString& text);
// A JSON string of PlainText(text).
AnsiString JsonText(const AnsiString& text);
// Columns padded to their widest cell, two blanks apart; the first row is
// the heading. Cells are printed through Printable.
void PrintTable(const std::vector<std::vector<AnsiString>>& rows);
// "1.5 MiB", "812 B".
AnsiString ShownBytes(int64_t bytes);
