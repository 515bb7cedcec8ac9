// Just enough JSON for the tool's --json output: strings and lists of them.
#pragma once
#include <vector>

#include "platform/Classes.h"

inline AnsiString JsonString(const AnsiString& text) {
    AnsiString out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline AnsiString JsonList(const std::vector<AnsiString>& items) {
    AnsiString out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
    return out + "]";
}
