// The language mode and the catalogue of the updater's texts. Chinese texts
// are stored once, in Big5; mode 's' shows them converted to GB2312 each
// time, mode 'n' shows the English form.
#pragma once
#include "platform/Classes.h"

enum class TText {
    ToUpdateHeading, UpdatedHeading, Connecting, Disconnected, NothingToUpdate, ExitQuestion,
    RemainingBefore, RemainingAfter
};

// 't' for Chinese with sub-language 1 (Taiwan), 's' for any other Chinese,
// 'n' for every other language; identifier 0 and low word 0 count as 1033.
char LanguageModeOf(uint32_t lcid);
AnsiString GetLanguageMode();        // from the thread locale, as one character
AnsiString ImageSuffixOf(char mode); // "c" for 't' and 'n', "s" for 's'
// A stored Big5 text as mode `mode` shows it.
AnsiString ShownChinese(const AnsiString& big5, char mode);
AnsiString Localized(TText row, char mode);
// "還有N個檔案需要更新" or "Nfile(s) remain to be updated"; false for a mode
// that has no such text (the label then keeps what it showed).
bool RemainingCountText(int n, char mode, AnsiString& text);
