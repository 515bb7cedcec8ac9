#include "RemoteName.h"

#include <cctype>
#include <cstdio>

AnsiString RemoteNameOf(const AnsiString& localName) {
    AnsiString out;
    for (unsigned char c : localName) {
        if (c == '\\') out += '~';
        else if (isalnum(c) || c == '.' || c == '_' || c == '-') out += static_cast<char>(c);
        else {
            char b[4];
            snprintf(b, sizeof b, "%%%02X", c);
            out += b;
        }
    }
    return out;
}

AnsiString ServedNameOf(const AnsiString& base, const AnsiString& sha256Hex, const AnsiString& suffix) {
    return RemoteNameOf(base) + "." + sha256Hex.substr(0, 16) + suffix;
}
