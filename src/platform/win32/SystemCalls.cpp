// The Windows calls behind System.cpp, in a file of their own: our
// GetThreadLocale and the system's call of that name cannot meet in one file.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "WideNames.h"

uint32_t WindowsThreadLocale() { return static_cast<uint32_t>(GetThreadLocale()); }
int WindowsAnsiCodePage() { return static_cast<int>(GetACP()); }

// The program file, native; empty when the system does not say.
AnsiString WindowsProgramPath() {
    std::vector<wchar_t> buf(32768);
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return AnsiString();
    return NativeFromWide(std::wstring(buf.data(), n));
}

// Starts a process from a wide command line in `folder` (empty: ours),
// detached: its handles are closed at once. 0 when it started, else the
// system's error code.
unsigned long WindowsStartProcess(const std::wstring& application, std::wstring commandLine,
                                  const std::wstring& folder, unsigned showCmd) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(showCmd);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        0, nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &pi))
        return GetLastError();
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

AnsiString WindowsErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w = n ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text) LocalFree(text);
    while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' || w.back() == L'.')) w.pop_back();
    return Utf8FromWide(w);
}
