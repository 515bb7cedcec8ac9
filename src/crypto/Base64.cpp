#include "Base64.h"

#include <cstring>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

bool DecodeBase64(const AnsiString& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    uint32_t acc = 0;
    int bits = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            // Only at the end, at most two, and never a whole group.
            if (i + 2 < text.size() || ++padding > 2) return false;
            continue;
        }
        const char* at = c ? strchr(kAlphabet, c) : nullptr;
        if (!at || padding) return false;
        acc = acc << 6 | static_cast<uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    // The bits left over must be zero and match the padding.
    if ((acc & ((1u << bits) - 1)) != 0) return false;
    return (bits == 0 && padding == 0) || (bits == 4 && padding == 2) || (bits == 2 && padding == 1);
}

AnsiString EncodeBase64(const uint8_t* p, size_t n) {
    AnsiString out;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < n ? kAlphabet[v >> 6 & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return out;
}
