// Code pages through the system's own tables (MultiByteToWideChar and
// WideCharToMultiByte), the ones every other Windows program reads names by.
#include "CodePage.h"

#include <windows.h>

#include "WideNames.h"

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

namespace {

bool IsAscii(const AnsiString& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// Strict: any byte sequence the code page does not define fails.
bool ToWide(const char* p, size_t n, int codePage, std::wstring& out) {
    out.clear();
    if (n == 0) return true;
    int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, static_cast<int>(n), nullptr, 0);
    if (size <= 0) return false;
    out.resize(static_cast<size_t>(size));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, static_cast<int>(n), &out[0], size) == size;
}

}  // namespace

bool TryCodePageToUtf8(const AnsiString& text, int codePage, AnsiString& out) {
    if (IsAscii(text) || codePage == 65001) return out = text, true;
    if (!IsKnownCodePage(codePage)) return out = text, false;
    std::wstring wide;
    if (!ToWide(text.data(), text.size(), codePage, wide)) return false;
    out = Utf8FromWide(wide);
    return true;
}

AnsiString CodePageToUtf8(const AnsiString& text, int codePage) {
    AnsiString out;
    if (TryCodePageToUtf8(text, codePage, out) || !IsKnownCodePage(codePage)) return out.empty() ? text : out;
    // Character by character, a byte that starts nothing valid becoming '?'.
    out.clear();
    std::wstring wide;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (i + 1 < text.size() && IsDBCSLeadByteEx(codePage, c) && ToWide(&text[i], 2, codePage, wide)) {
            out += Utf8FromWide(wide);
            i += 2;
        } else if (ToWide(&text[i], 1, codePage, wide)) {
            out += Utf8FromWide(wide);
            ++i;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

bool TryUtf8ToCodePage(const AnsiString& utf8, int codePage, AnsiString& out) {
    if (IsAscii(utf8) || codePage == 65001) return out = utf8, true;
    if (!IsKnownCodePage(codePage)) return out = utf8, false;
    std::wstring wide;
    if (!ToWide(utf8.data(), utf8.size(), CP_UTF8, wide)) return false;
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, &lossy);
    if (size <= 0 || lossy) return false;
    out.assign(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), &out[0], size,
                        nullptr, &lossy);
    return !lossy;
}

// 0: follow the system code page (SystemCodePage, which is GetACP here:
// System.h and windows.h cannot meet in one file).
static int gDisplayCodePage = 0;

void SetDisplayCodePage(int codePage) { gDisplayCodePage = codePage; }
int DisplayCodePage() { return gDisplayCodePage ? gDisplayCodePage : static_cast<int>(GetACP()); }
AnsiString DisplayToUtf8(const AnsiString& text) { return CodePageToUtf8(text, DisplayCodePage()); }
