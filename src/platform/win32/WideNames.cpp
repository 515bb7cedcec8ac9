#include "WideNames.h"

#include <windows.h>

#include <cerrno>
#include <vector>

std::wstring WideFromUtf8(const AnsiString& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

AnsiString Utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return AnsiString();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    AnsiString utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n, nullptr, nullptr);
    return utf8;
}

std::wstring WidePath(const AnsiString& nativePath) {
    if (nativePath.empty()) return std::wstring();
    std::wstring wide = WideFromUtf8(nativePath);
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    if (wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
    // The prefix takes only absolute paths with no "." or ".." in them:
    // the system's own resolution first.
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::vector<wchar_t> full(n + 1);
    n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return wide;
    std::wstring absolute(full.data(), n);
    if (absolute.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + absolute.substr(2);
    return L"\\\\?\\" + absolute;
}

AnsiString NativeFromWide(const std::wstring& wide) {
    std::wstring w = wide;
    if (w.compare(0, 8, L"\\\\?\\UNC\\") == 0) w = L"\\\\" + w.substr(8);
    else if (w.compare(0, 4, L"\\\\?\\") == 0) w = w.substr(4);
    AnsiString native = Utf8FromWide(w);
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

int ErrnoOfLastError() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_DRIVE: case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_INVALID_NAME: case ERROR_BAD_PATHNAME: case ERROR_FILENAME_EXCED_RANGE: return EINVAL;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        default: return EIO;
    }
}
