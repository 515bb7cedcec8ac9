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
    {"\xC4\xF2\xB6\xC7 ", "resuming at "},                             // Resuming: 續傳
    {"\xA1\x41\xAB\xF6\xB6\x7D\xA9\x6C\xAD\xAB\xB8\xD5", ": press Start to retry"},  // RetryHint: ，按開始重試
    // ListExpired: 伺服器上的更新清單已過期，無法信任。請稍後再試；若一直如此，請通知遊戲發行者。
    {"\xA6\xF8\xAA" "A\xBE\xB9\xA4W\xAA\xBA\xA7\xF3\xB7s\xB2M\xB3\xE6\xA4w\xB9L\xB4\xC1\xA1" "A\xB5L\xAAk\xABH\xA5\xF4\xA1" "C\xBD\xD0\xB5y\xAB\xE1\xA6" "A\xB8\xD5\xA1" "F\xADY\xA4@\xAA\xBD\xA6p\xA6\xB9\xA1" "A\xBD\xD0\xB3q\xAA\xBE\xB9" "C\xC0\xB8\xB5o\xA6\xE6\xAA\xCC\xA1" "C",
     "The update list on the servers has expired, so it cannot be trusted. Please try again later; if this goes on, "
     "tell the game's publisher."},
    // ListOlder: 伺服器提供的版本比這裡已安裝的舊，所以不予採用。請稍後再試；若一直如此，請通知遊戲發行者。
    {"\xA6\xF8\xAA" "A\xBE\xB9\xB4\xA3\xA8\xD1\xAA\xBA\xAA\xA9\xA5\xBB\xA4\xF1\xB3o\xB8\xCC\xA4w\xA6w\xB8\xCB\xAA\xBA\xC2\xC2\xA1" "A\xA9\xD2\xA5H\xA4\xA3\xA4\xA9\xB1\xC4\xA5\xCE\xA1" "C\xBD\xD0\xB5y\xAB\xE1\xA6" "A\xB8\xD5\xA1" "F\xADY\xA4@\xAA\xBD\xA6p\xA6\xB9\xA1" "A\xBD\xD0\xB3q\xAA\xBE\xB9" "C\xC0\xB8\xB5o\xA6\xE6\xAA\xCC\xA1" "C",
     "The servers offer an older release than the one installed here, so it was refused. Please try again later; if "
     "this goes on, tell the game's publisher."},
    // ListUnverified: 無法驗證伺服器上的更新清單，可能正在上傳新版本。請過幾分鐘再試。
    {"\xB5L\xAAk\xC5\xE7\xC3\xD2\xA6\xF8\xAA" "A\xBE\xB9\xA4W\xAA\xBA\xA7\xF3\xB7s\xB2M\xB3\xE6\xA1" "A\xA5i\xAF\xE0\xA5\xBF\xA6" "b\xA4W\xB6\xC7\xB7s\xAA\xA9\xA5\xBB\xA1" "C\xBD\xD0\xB9L\xB4X\xA4\xC0\xC4\xC1\xA6" "A\xB8\xD5\xA1" "C",
     "The update list on the servers could not be verified; a new release may be on its way to them. Please try "
     "again in a few minutes."},
    // TryLater: 請稍後再試；詳細情形記錄在 update.log。
    {"\xBD\xD0\xB5y\xAB\xE1\xA6" "A\xB8\xD5\xA1" "F\xB8\xD4\xB2\xD3\xB1\xA1\xA7\xCE\xB0O\xBF\xFD\xA6" "b update.log\xA1" "C",
     "Please try again later; the details are in update.log."},
    // NoServerHint: 無法連上任何伺服器。請檢查網路連線，再重新啟動更新程式。
    {"\xB5L\xAAk\xB3s\xA4W\xA5\xF4\xA6\xF3\xA6\xF8\xAA" "A\xBE\xB9\xA1" "C\xBD\xD0\xC0\xCB\xAC" "d\xBA\xF4\xB8\xF4\xB3s\xBDu\xA1" "A\xA6" "A\xAD\xAB\xB7s\xB1\xD2\xB0\xCA\xA7\xF3\xB7s\xB5{\xA6\xA1\xA1" "C",
     "No server could be reached. Please check your Internet connection and start the updater again."},
    // LaunchInstalled: 要啟動已安裝的遊戲嗎?
    {"\xADn\xB1\xD2\xB0\xCA\xA4w\xA6w\xB8\xCB\xAA\xBA\xB9" "C\xC0\xB8\xB6\xDC?", "Start the installed client anyway?"},
    // NewerRelease: 伺服器上有更新的版本：按開始即可下載
    {"\xA6\xF8\xAA" "A\xBE\xB9\xA4W\xA6\xB3\xA7\xF3\xB7s\xAA\xBA\xAA\xA9\xA5\xBB\xA1G\xAB\xF6\xB6}\xA9l\xA7Y\xA5i\xA4U\xB8\xFC",
     "A newer release is on the servers: press Start to get it"},
    // ServerListUnreadable: 找不到或無法讀取伺服器清單 "@1"。
    {"\xA7\xE4\xA4\xA3\xA8\xEC\xA9\xCE\xB5L\xAAk\xC5\xAA\xA8\xFA\xA6\xF8\xAA" "A\xBE\xB9\xB2M\xB3\xE6 \"@1\"\xA1" "C",
     "The server list \"@1\" is missing or cannot be read."},
    // KeyUnusable: 無法使用公鑰 "@1"：@2
    {"\xB5L\xAAk\xA8\xCF\xA5\xCE\xA4\xBD\xC6_ \"@1\"\xA1G@2", "The public key \"@1\" cannot be used: @2"},
    // LauncherNotRepaired: 遊戲的啟動程式不是這個版本的，且無法修復。
    {"\xB9" "C\xC0\xB8\xAA\xBA\xB1\xD2\xB0\xCA\xB5{\xA6\xA1\xA4\xA3\xACO\xB3o\xAD\xD3\xAA\xA9\xA5\xBB\xAA\xBA\xA1"
     "A\xA5" "B\xB5L\xAAk\xAD\xD7\xB4_\xA1" "C",
     "The client's launcher is not the one the release names and could not be repaired."},
    // ClientNotStarted: 無法啟動遊戲："@1"：@2。
    {"\xB5L\xAAk\xB1\xD2\xB0\xCA\xB9" "C\xC0\xB8\xA1G\"@1\"\xA1G@2\xA1" "C", "The client could not be started: \"@1\": @2."},
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

AnsiString Localized(TText row, char mode, const AnsiString& first, const AnsiString& second) {
    AnsiString text = Localized(row, mode);
    for (const auto& [mark, value] : {std::pair<const char*, const AnsiString&>{"@1", first}, {"@2", second}}) {
        const size_t at = text.find(mark);
        if (at != AnsiString::npos) text.replace(at, 2, value);
    }
    return text;
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


AnsiString ResumingText(int64_t at, int64_t total, char mode) {
    return Localized(TText::Resuming, mode) + IntToStr(at) + (mode == 'n' ? " of " : " / ") + IntToStr(total);
}
