#include "ServerLine.h"

#include "release/LineFields.h"

const char kServerPassword[] = "x";

bool ParseServerLine(const AnsiString& line, TServerLine& out) {
    try {
        TServerLine parsed;
        parsed.Name = GetField(1, line);
        parsed.Host = GetField(2, line);
        parsed.Port = StrToInt(GetField(3, line));
        parsed.TimeOut = StrToInt(GetField(4, line));
        parsed.User = GetField(5, line);
        out = parsed;
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

AnsiString ServerLabel(const AnsiString& line) {
    if (TServerLine::IsWebAddress(GetField(2, line))) return GetField(1, line) + " (" + GetField(2, line) + ")";
    return GetField(1, line) + " (" + GetField(2, line) + ":" + GetField(3, line) + ")";
}
