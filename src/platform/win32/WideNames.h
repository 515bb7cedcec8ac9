// The edge between our UTF-8 native paths (slashes, as on Linux) and the
// Unicode (W) calls of Windows, which take any folder name whatever the
// system code page, and errno from the calls' error codes.
#pragma once
#include <string>

#include "Classes.h"

std::wstring WideFromUtf8(const AnsiString& utf8);
AnsiString Utf8FromWide(const std::wstring& wide);
// A native path as the W calls take it: absolute, backslashes, and the
// "\\?\" prefix (or "\\?\UNC\" for a share) that lifts the 260-character
// limit and leaves names exactly as given. Empty for an empty path.
std::wstring WidePath(const AnsiString& nativePath);
// A path the system gave back (a module's name, a folder entry) in our
// native form: UTF-8 with slashes, without the "\\?\" prefix.
AnsiString NativeFromWide(const std::wstring& wide);
// errno for the last Windows error (ENOENT, EACCES, EEXIST, ENOSPC, ...).
int ErrnoOfLastError();
// Sets errno from the last Windows error; returns `result`, for failure paths.
template <typename T>
T FailWithLastError(T result) {
    errno = ErrnoOfLastError();
    return result;
}
