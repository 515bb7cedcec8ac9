// Just enough JSON for the tool's --json output: strings and lists of them.
#pragma once
#include <vector>

#include "platform/Classes.h"
#include "platform/Printable.h"

// Strictly valid JSON whatever the text holds: bytes that are not UTF-8
// become U+FFFD, and every control character (C1 included) is escaped.
inline AnsiString JsonString(const AnsiString& text) {
    const AnsiString valid = ValidUtf8(text);
    AnsiString out = "\"";
    for (size_t i = 0; i < valid.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(valid[i]);
        unsigned control = c < 0x20 || c == 0x7F ? c : 0x100;
        if (c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9F)
            control = static_cast<unsigned char>(valid[++i]);  // U+0080..U+009F
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (control <= 0xFF) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", control);
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
