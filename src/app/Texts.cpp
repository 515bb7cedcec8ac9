#include "Texts.h"

#include "platform/System.h"
#include "textconv/CVCode.h"

namespace {

struct Row {
    const char* chinese;  // Big5, as stored
    const char* english;
};

// In the order of TText.
const Row kCatalogue[] = {
    {"\xBB\xDD\xADn\xA7\xF3\xB7s\xAA\xBA\xB5{\xA6\xA1     ", "files to be updated     "},  // ToUpdateHeading
    {"\xA4w\xA7\xB9\xA6\xA8\xA7\xF3\xB7s\xAA\xBA\xB5{\xA6\xA1     ", "files updated     "},  // UpdatedHeading
    {"\xB3s\xBDu\xA4\xA4...", "connecting..."},  // Connecting
    {"\xB3s\xBDu\xA4\xA4\xC2_", "Disconnected"},  // Disconnected
    {"\xA5\xD8\xAB" "e\xA8S\xA6\xB3\xBB\xDD\xADn\xA7\xF3\xB7s\xAA\xBA\xC0\xC9\xAE\xD7", "No files updateing needed"},  // NothingToUpdate
    {"\xA7" "A\xBDT\xA9w\xADn\xC2\xF7\xB6}\xB6\xDC?", "Are you sure to exit ?"},  // ExitQuestion
    {"\xC1\xD9\xA6\xB3", ""},  // RemainingBefore
    {"\xAD\xD3\xC0\xC9\xAE\xD7\xBB\xDD\xADn\xA7\xF3\xB7s", ""},  // RemainingAfter
};

}  // namespace

char LanguageModeOf(uint32_t lcid) {
    if (lcid == 0) lcid = 1033;
    uint32_t primary = lcid & 0x3FF, sub = (lcid >> 10) & 0x3F;
    if ((lcid & 0xFFFF) == 0) primary = 9, sub = 1;
    if (primary == 4) return sub == 1 ? 't' : 's';
    return 'n';
}

AnsiString GetLanguageMode() { return AnsiString(1, LanguageModeOf(GetThreadLocale())); }

AnsiString ImageSuffixOf(char mode) { return mode == 's' ? "s" : "c"; }

AnsiString ShownChinese(const AnsiString& big5, char mode) {
    return mode == 's' ? ConvertBig5ToGB(big5) : big5;
}

AnsiString Localized(TText row, char mode) {
    const Row& r = kCatalogue[static_cast<int>(row)];
    return mode == 'n' ? AnsiString(r.english) : ShownChinese(r.chinese, mode);
}

bool RemainingCountText(int n, char mode, AnsiString& text) {
    const Row& before = kCatalogue[static_cast<int>(TText::RemainingBefore)];
    const Row& after = kCatalogue[static_cast<int>(TText::RemainingAfter)];
    switch (mode) {
        case 't': case 's':
            text = ShownChinese(AnsiString(before.chinese) + IntToStr(n) + after.chinese, mode);
            return true;
        case 'n':
            text = IntToStr(n) + (n == 1 ? "file remain to be updated" : "files remain to be updated");
            return true;
        default:
            return false;
    }
}
