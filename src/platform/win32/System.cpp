// System.h on Windows: the locale and code page are the system's own (the
// ANSI code page that every program without Unicode names uses), and the
// application folder is the program file's, from GetModuleFileNameW.
#include "System.h"

#include "FileSystem.h"
#include "WideNames.h"

uint32_t WindowsThreadLocale();
int WindowsAnsiCodePage();
AnsiString WindowsProgramPath();

uint32_t GetThreadLocale() { return WindowsThreadLocale(); }

int SystemCodePage() { return WindowsAnsiCodePage(); }

static AnsiString gAppFolderOverride;

void SetApplicationFolderForTesting(const AnsiString& folder) { gAppFolderOverride = folder; }

static AnsiString ProgramPath() { return WindowsProgramPath(); }

AnsiString ApplicationFolder() {
    if (!gAppFolderOverride.empty()) return gAppFolderOverride;
    static const AnsiString folder = [] {
        AnsiString path = ProgramPath();
        if (path.empty()) return AnsiString("\\");
        return SystemPathFromNative(path.substr(0, path.rfind('/') + 1));
    }();
    return folder;
}

AnsiString ProgramFileName() {
    static const AnsiString name = [] {
        AnsiString path = ProgramPath();
        return path.substr(path.rfind('/') + 1);
    }();
    return name;
}
