// The language mode and the catalogue of the updater's texts. Chinese texts
// are stored once, in Big5; mode 's' shows them converted to GB2312 each
// time, mode 'n' shows the English form.
#pragma once
#include <vector>

#include "platform/Classes.h"

enum class TText {
    ToUpdateHeading, UpdatedHeading, Connecting, Disconnected, NothingToUpdate, ExitQuestion,
    RemainingBefore, RemainingAfter,
    // Texts of our own, in the same three modes.
    FailedBefore, FailedAfter, AndMoreBefore, AndMoreAfter, ReasonSize, ReasonDamaged, ReasonRefused,
    ReasonWrite, ReasonCheck, ReasonDownload, NoValidList, Resuming, RetryHint,
    // What a player locked out of an update reads, and what to do.
    ListExpired, ListOlder, ListUnverified, TryLater, NoServerHint,
    // No server answered, and the client is installed: start it as it is?
    LaunchInstalled,
    // After a run: a mirror serves a newer release than the one installed.
    NewerRelease,
    // Boxes with a detail: @1 and @2 stand for a path and the system's words.
    ServerListUnreadable, KeyUnusable, LauncherNotRepaired, ClientNotStarted
};

// Why an entry was not installed, as the user is told.
enum class TFailReason { Size, Damaged, Refused, Write, Check, Download };
struct TFailedEntry {
    AnsiString Name;  // the local name, in the display code page
    TFailReason Reason;
};

// 't' for Chinese with sub-language 1 (Taiwan), 's' for any other Chinese,
// 'n' for every other language; identifier 0 and low word 0 count as 1033.
char LanguageModeOf(uint32_t lcid);
AnsiString GetLanguageMode();        // from the thread locale, as one character
AnsiString ImageSuffixOf(char mode); // "c" for 't' and 'n', "s" for 's'
// A stored Big5 text as mode `mode` shows it.
AnsiString ShownChinese(const AnsiString& big5, char mode);
AnsiString Localized(TText row, char mode);
// The same with "@1" and "@2" of the text replaced by `first` and `second`
// (a path, the system's words), which no conversion touches.
AnsiString Localized(TText row, char mode, const AnsiString& first, const AnsiString& second = "");
// "還有N個檔案需要更新" or "Nfile(s) remain to be updated"; false for a mode
// that has no such text (the label then keeps what it showed).
bool RemainingCountText(int n, char mode, AnsiString& text);
// "N files could not be updated" (有N個檔案未能更新), for the status line.
AnsiString FailedCountText(int n, char mode);
// "N files not updated: press Start to retry" (有N個檔案未能更新，按開始重試),
// on the large label after a run that left entries to try again.
AnsiString RetryCountText(int n, char mode);
// The message after a run with failed entries: the count, then up to ten
// names with their reasons, then "and N more".
AnsiString FailedEntriesText(const std::vector<TFailedEntry>& failed, char mode);
// "using server North" (使用伺服器 North), while the run changes servers.
// "resuming at 1234567 of 2000000000" (續傳 1234567 / 2000000000).
AnsiString ResumingText(int64_t at, int64_t total, char mode);
