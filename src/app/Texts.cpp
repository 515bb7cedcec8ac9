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
    {"\xA6\xB3", ""},                                                        // FailedBefore: 有
    {"\xAD\xD3\xC0\xC9\xAE\xD7\xA5\xBC\xAF\xE0\xA7\xF3\xB7s", ""},  // FailedAfter: 個檔案未能更新
    {"\xA5H\xA4\xCE\xA8\xE4\xA5L", "and "},                              // AndMoreBefore: 以及其他
    {"\xAD\xD3\xC0\xC9\xAE\xD7", " more"},                              // AndMoreAfter: 個檔案
    {"\xC0\xC9\xAE\xD7\xA4j\xA4p\xA4\xA3\xB2\xC5", "size differs"},  // 檔案大小不符
    {"\xB8\xEA\xAE\xC6\xB7l\xB7\xB4", "damaged data"},                 // 資料損毀
    {"\xC0\xC9\xA6W\xA4\xA3\xA6X\xAAk", "name refused"},               // 檔名不合法
    {"\xB5L\xAAk\xBCg\xA4J", "cannot be written"},                        // 無法寫入
    {"\xC0\xCB\xAC" "d\xBDX\xA4\xA3\xB2\xC5", "failed check"},        // 檢查碼不符
    {"\xA4U\xB8\xFC\xA5\xA2\xB1\xD1", "download failed"},              // 下載失敗
    {"\xA6\xF8\xAA" "A\xBE\xB9\xA4W\xA8S\xA6\xB3\xA6\xB3\xAE\xC4\xAA\xBA\xA7\xF3\xB7s\xB2M\xB3\xE6",
     "No server offers a valid update list"},  // NoValidList: 伺服器上沒有有效的更新清單
    {"\xA8\xCF\xA5\xCE\xA6\xF8\xAA" "A\xBE\xB9 ", "using server "},  // UsingServer: 使用伺服器
    {"\xC4\xF2\xB6\xC7 ", "resuming at "},                             // Resuming: 續傳
    {"\xA1\x41\xAB\xF6\xB6\x7D\xA9\x6C\xAD\xAB\xB8\xD5", ": press Start to retry"},  // RetryHint: ，按開始重試
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

namespace {
AnsiString FailedCountBig5(int n) {
    return AnsiString(kCatalogue[static_cast<int>(TText::FailedBefore)].chinese) + IntToStr(n) +
           kCatalogue[static_cast<int>(TText::FailedAfter)].chinese;
}
}  // namespace

AnsiString FailedCountText(int n, char mode) {
    if (mode == 'n') return IntToStr(n) + (n == 1 ? " file could not be updated" : " files could not be updated");
    return ShownChinese(FailedCountBig5(n), mode);
}

AnsiString RetryCountText(int n, char mode) {
    if (mode == 'n') return IntToStr(n) + (n == 1 ? " file not updated" : " files not updated") + Localized(TText::RetryHint, mode);
    return ShownChinese(FailedCountBig5(n) + kCatalogue[static_cast<int>(TText::RetryHint)].chinese, mode);
}

AnsiString FailedEntriesText(const std::vector<TFailedEntry>& failed, char mode) {
    // In the order of TFailReason.
    static const TText kReasons[] = {TText::ReasonSize,  TText::ReasonDamaged, TText::ReasonRefused,
                                     TText::ReasonWrite, TText::ReasonCheck,   TText::ReasonDownload};
    const size_t kShown = 10;
    const int n = static_cast<int>(failed.size());
    AnsiString text = mode == 'n' ? FailedCountText(n, mode) + ":"
                                  : ShownChinese(FailedCountBig5(n) + "\xA1G", mode);  // full-width colon
    for (size_t i = 0; i < failed.size() && i < kShown; ++i)
        text += "\n" + failed[i].Name + " - " + Localized(kReasons[static_cast<int>(failed[i].Reason)], mode);
    if (failed.size() > kShown) {
        AnsiString more = IntToStr(static_cast<int64_t>(failed.size() - kShown));
        text += "\n" + Localized(TText::AndMoreBefore, mode) + more + Localized(TText::AndMoreAfter, mode);
    }
    return text;
}

AnsiString UsingServerText(const AnsiString& server, char mode) { return Localized(TText::UsingServer, mode) + server; }

AnsiString ResumingText(int64_t at, int64_t total, char mode) {
    return Localized(TText::Resuming, mode) + IntToStr(at) + (mode == 'n' ? " of " : " / ") + IntToStr(total);
}
