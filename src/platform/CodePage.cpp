#include "CodePage.h"

#include <iconv.h>

#include <map>
#include <mutex>

#include "System.h"

const char* CodePageName(int codePage) {
    switch (codePage) {
        case 950: return "CP950";
        case 936: return "GBK";
        case 20936: return "GB2312";
        case 932: return "CP932";
        case 949: return "CP949";
        case 65001: return "UTF-8";
        case 1252: return "CP1252";
        default: return nullptr;
    }
}

bool IsKnownCodePage(int codePage) { return CodePageName(codePage) != nullptr; }

static bool IsAscii(const AnsiString& s) {
    for (unsigned char c : s) if (c >= 0x80) return false;
    return true;
}

// One converter per direction and code page; iconv_open is costly.
static bool Convert(const AnsiString& in, const char* to, const char* from, bool lenient,
                    AnsiString& out) {
    if (!to || !from) {  // a code page we have no converter for
        out = in;
        return lenient;
    }
    static std::mutex m;
    // Kept for the life of the process (never destroyed, so no exit-order trouble).
    static auto* cache = new std::map<std::pair<std::string, std::string>, iconv_t>;
    std::lock_guard<std::mutex> lock(m);
    auto key = std::make_pair(std::string(to), std::string(from));
    auto it = cache->find(key);
    if (it == cache->end()) it = cache->emplace(key, iconv_open(to, from)).first;
    iconv_t cd = it->second;
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.clear();
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buf[1024];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        int err = errno;
        out.append(buf, dst - buf);
        if (r == static_cast<size_t>(-1) && err != E2BIG) {
            if (!lenient) return false;
            out += '?';
            // Skip one byte of the bad sequence; some converters have already
            // consumed a bad sequence at the very end, so nothing may be left.
            if (left > 0) {
                ++src;
                --left;
            }
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return true;
}

AnsiString CodePageToUtf8(const AnsiString& text, int codePage) {
    if (IsAscii(text) || codePage == 65001) return text;
    AnsiString out;
    Convert(text, "UTF-8", CodePageName(codePage), true, out);
    return out;
}

bool TryCodePageToUtf8(const AnsiString& text, int codePage, AnsiString& out) {
    if (IsAscii(text) || codePage == 65001) { out = text; return true; }
    return Convert(text, "UTF-8", CodePageName(codePage), false, out);
}

bool TryUtf8ToCodePage(const AnsiString& utf8, int codePage, AnsiString& out) {
    if (IsAscii(utf8) || codePage == 65001) { out = utf8; return true; }
    return Convert(utf8, CodePageName(codePage), "UTF-8", false, out);
}

static int gDisplayCodePage = 0;  // 0: follow the system code page

void SetDisplayCodePage(int codePage) { gDisplayCodePage = codePage; }
int DisplayCodePage() { return gDisplayCodePage ? gDisplayCodePage : SystemCodePage(); }
AnsiString DisplayToUtf8(const AnsiString& text) { return CodePageToUtf8(text, DisplayCodePage()); }
