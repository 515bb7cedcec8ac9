#include "FtpReplies.h"

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

// The number formed by the leading digits of a reply line (at most ten); 0
// when the line does not begin with a digit.
int LeadingNumber(const AnsiString& line) {
    int64_t v = 0;
    size_t i = 0;
    while (i < line.size() && i < 10 && IsDigit(line[i])) v = v * 10 + (line[i++] - '0');
    return (i > 0 && v <= 0x7FFFFFFF) ? static_cast<int>(v) : 0;
}

// The three-digit code that opens a reply line, or -1 for a line that is
// not an FTP reply ("HTTP/1.1 200 OK", a closed connection's empty line).
int ReplyCode(const AnsiString& line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
    if (line.size() > 3 && IsDigit(line[3])) return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

int ReplyClass(const AnsiString& line) {
    int code = ReplyCode(line);
    return code < 0 ? -1 : code / 100;
}

// The rule for replies that do not open with "ddd-": they go on while their
// last line begins with a blank or has "-" as its fourth character.
bool ContinuesReply(const AnsiString& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

bool EndsReply(int code, bool multiLine, const AnsiString& line) {
    if (!multiLine) return !ContinuesReply(line);
    if (line.size() < 3 || line.compare(0, 3, IntToStr(code)) != 0) return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

// The count that stands right before "bytes" (blanks between allowed):
// "(2241 bytes)" gives 2241. A word such as "kbytes", a fraction, a negative
// or grouped number, or no number at all give 0: no usable size.
int64_t ParseByteCount(const AnsiString& Line) {
    const AnsiString upper = UpperCase(Line);
    for (size_t pos = upper.find("BYTE"); pos != AnsiString::npos; pos = upper.find("BYTE", pos + 1)) {
        long i = static_cast<long>(pos) - 1;
        while (i >= 0 && Line[i] == ' ') --i;
        if (i < 0 || !IsDigit(Line[i])) continue;
        long end = i;
        while (i >= 0 && IsDigit(Line[i])) --i;
        if (i >= 0 && (Line[i] == '.' || Line[i] == '-' || Line[i] == ',')) return 0;
        int64_t v = 0;
        for (long k = i + 1; k <= end; ++k) {
            if (v > (INT64_MAX - 9) / 10) return 0;
            v = v * 10 + (Line[k] - '0');
        }
        return v;
    }
    return 0;
}

bool ParsePassivePort(const AnsiString& Reply, int& Port) {
    const size_t n = Reply.size();
    for (size_t start = 3; start < n; ++start) {
        if (!IsDigit(Reply[start]) || IsDigit(Reply[start - 1])) continue;
        int numbers[6] = {};
        size_t p = start;
        int parsed = 0;  // six numbers, each read: "h1,h2,h3,h4,p1," is not a port
        for (int k = 0; k < 6; ++k) {
            int v = 0, digits = 0;
            while (p < n && IsDigit(Reply[p]) && digits < 4) v = v * 10 + (Reply[p++] - '0'), ++digits;
            if (digits == 0 || digits > 3 || v > 255) break;
            numbers[parsed++] = v;
            if (k == 5) break;
            if (p >= n || Reply[p] != ',') break;
            ++p;
        }
        if (parsed == 6 && (p >= n || !IsDigit(Reply[p]))) {
            Port = numbers[4] * 256 + numbers[5];
            return true;
        }
    }
    return false;
}
