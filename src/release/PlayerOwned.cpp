#include "PlayerOwned.h"

#include "LineFields.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

AnsiString OwnedHeaderField(const std::vector<AnsiString>& locals) {
    if (locals.empty()) return "";
    AnsiString field = AnsiString(kOwnedKey) + "=";
    for (size_t i = 0; i < locals.size(); ++i) {
        if (i > 0) field += ',';
        for (unsigned char c : locals[i]) {
            if (c > 0x20 && c < 0x7F && c != '%' && c != ',') {
                field += static_cast<char>(c);
            } else {
                field += '%';
                field += kHex[c >> 4];
                field += kHex[c & 15];
            }
        }
    }
    return field;
}

std::set<AnsiString> DeclaredOwnedFiles(const AnsiString& header) {
    std::set<AnsiString> names;
    const AnsiString value = DeclaredHeaderValue(header, kOwnedKey);
    AnsiString name;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == ',') {
            if (!name.empty()) names.insert(LowerCase(name));
            name.clear();
            continue;
        }
        if (value[i] != '%') {
            name += value[i];
            continue;
        }
        const int high = i + 2 < value.size() ? HexValue(value[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(value[i + 2]) : -1;
        if (low < 0) return {};
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return names;
}
