// System.h on Windows: the locale and code page are the system's own (the
// ANSI code page that every program without Unicode names uses), and the
// application folder is the program file's, from GetModuleFileNameW;
// programs start through CreateProcessW.
#include "System.h"

#include "CodePage.h"
#include "FileSystem.h"
#include "WideNames.h"

uint32_t WindowsThreadLocale();
int WindowsAnsiCodePage();
AnsiString WindowsProgramPath();
unsigned long WindowsStartProcess(const std::wstring& application, std::wstring commandLine,
                                  const std::wstring& folder, unsigned showCmd);
AnsiString WindowsErrorText(unsigned long code);

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

namespace {

// A path for CreateProcessW: without the "\\?\" prefix, which it does not
// take for the program or the folder.
std::wstring PlainWidePath(const AnsiString& native) {
    std::wstring w = WidePath(native);
    if (w.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + w.substr(8);
    if (w.compare(0, 4, L"\\\\?\\") == 0) return w.substr(4);
    return w;
}

// One argument as the C runtime splits a command line back
// (CommandLineToArgvW): quoted when it holds a blank or a quote, quotes
// escaped, and the backslashes before a quote doubled.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        q.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        q += c;
    }
    q.append(slashes * 2, L'\\');
    return q + L"\"";
}

// A command line in the system code page as the system reads it; a path
// that travels marked (a folder the code page cannot spell) keeps its
// native bytes.
std::wstring WideCommandLine(const AnsiString& cmdLine) {
    AnsiString utf8;
    for (size_t i = 0; i < cmdLine.size();) {
        if (cmdLine[i] == '\x01') {
            size_t end = cmdLine.find('\x02', i);
            if (end == AnsiString::npos) end = cmdLine.size();
            AnsiString native = cmdLine.substr(i + 1, end - i - 1);
            for (char& c : native)
                if (c == '/') c = '\\';
            utf8 += native;
            i = end + 1;
        } else {
            size_t end = cmdLine.find('\x01', i);
            if (end == AnsiString::npos) end = cmdLine.size();
            utf8 += CodePageToUtf8(cmdLine.substr(i, end - i), SystemCodePage());
            i = end;
        }
    }
    return WideFromUtf8(utf8);
}

}  // namespace

bool StartProgram(const AnsiString& program, const std::vector<AnsiString>& args, const AnsiString& folder,
                  AnsiString& error) {
    const std::wstring application = PlainWidePath(NativePath(program));
    std::wstring line = Quoted(application);
    for (const AnsiString& a : args) line += L" " + Quoted(WideFromUtf8(a));
    const unsigned long failed =
        WindowsStartProcess(application, line, folder.empty() ? std::wstring() : PlainWidePath(NativePath(folder)),
                            SW_SHOWDEFAULT);
    if (failed) error = WindowsErrorText(failed);
    return failed == 0;
}

// The system itself splits an unquoted program path at blanks (the
// shortest prefix that names a file), as WinExec always did.
unsigned WinExec(const AnsiString& cmdLine, unsigned showCmd) {
    switch (WindowsStartProcess(std::wstring(), WideCommandLine(cmdLine), std::wstring(), showCmd)) {
        case 0: return 33;
        case 2: return 2;    // ERROR_FILE_NOT_FOUND
        case 3: return 3;    // ERROR_PATH_NOT_FOUND
        case 5: return 5;    // ERROR_ACCESS_DENIED
        case 193: return 11; // ERROR_BAD_EXE_FORMAT
        default: return 0;
    }
}
