// Reading FTP reply lines (RFC 959), apart from any connection: what a
// server says is parsed here, so that it can be tested and fuzzed alone.
#pragma once
#include "platform/Classes.h"

// The number formed by the leading digits of a reply line (at most ten); 0
// when the line does not begin with a digit.
int LeadingNumber(const AnsiString& line);
// The three-digit code that opens a reply line, or -1 for a line that is
// not an FTP reply ("HTTP/1.1 200 OK", a closed connection's empty line).
int ReplyCode(const AnsiString& line);
int ReplyClass(const AnsiString& line);  // the code's first digit, -1 for none
// The rule for replies that do not open with "ddd-": they go on while their
// last line begins with a blank or has "-" as its fourth character.
bool ContinuesReply(const AnsiString& line);
// Whether `line` ends the reply opened with `code`: a reply that opened with
// "ddd-" (`multiLine`) ends at the line that starts with the same digits and
// a blank (or the line end); any other by the rule of ContinuesReply.
bool EndsReply(int code, bool multiLine, const AnsiString& line);
// The count right before "bytes" ("(2241 bytes)" gives 2241); 0 for none.
int64_t ParseByteCount(const AnsiString& line);
// The data port of a passive-mode reply: six numbers 0..255 joined by
// commas anywhere after the reply code; false when there are none.
bool ParsePassivePort(const AnsiString& reply, int& port);
