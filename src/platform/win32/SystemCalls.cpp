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
