// Operating-system services: locale, code page, process start, the
// application folder and the single-instance rule.
#pragma once
#include <vector>

#include "Classes.h"

// Locale identifier from the POSIX locale (LC_ALL, LC_MESSAGES, LANG):
// zh_TW 0x0404, zh_CN 0x0804, zh_HK 0x0C04, zh_SG 0x1004, zh_MO 0x1404,
// en_US 0x0409, ja_JP 0x0411, ko_KR 0x0412, C/POSIX 0x0409.
uint32_t GetThreadLocale();
uint32_t LocaleIdFromName(const AnsiString& posixLocale);
// The ANSI code page that goes with a locale identifier (950, 936, 1252 ...).
int CodePageOfLocale(uint32_t lcid);
// The system code page: the one of the current locale.
int SystemCodePage();

// Starts a program from a command line. An unquoted program path with blanks
// is split as the original platform splits it: the shortest prefix ending at
// a blank that names an existing file is the program. Returns a value above
// 31 on success (as the original did), 2 when the file is not found.
unsigned WinExec(const AnsiString& cmdLine, unsigned showCmd);
constexpr unsigned SW_SHOWNORMAL = 1;
// Starts `program` with exactly `args` (no shell, no splitting at blanks) in
// `folder`; false with the reason in `error` when it cannot start.
bool StartProgram(const AnsiString& program, const std::vector<AnsiString>& args, const AnsiString& folder,
                  AnsiString& error);
constexpr unsigned SW_SHOWDEFAULT = 10;

// The folder of the program file, with a trailing backslash.
AnsiString ApplicationFolder();
// The running program's file name in that folder (native; empty when the
// system does not say).
AnsiString ProgramFileName();
// For tests and tools: make ApplicationFolder() answer this folder.
void SetApplicationFolderForTesting(const AnsiString& folder);
