// The names of files: system paths (code-page bytes, backslashes) to the
// native UTF-8 paths with slashes and back, and the rule that keeps a name
// below its folder. Shared by every platform back end.
#include <cstring>

#include "CodePage.h"
#include "FileSystem.h"
#include "System.h"
#include "WindowsNames.h"

static int gNameCodePage = 0;

void SetNameCodePage(int codePage) { gNameCodePage = codePage; }
int NameCodePage() { return gNameCodePage ? gNameCodePage : SystemCodePage(); }

// A native path that the system code page cannot hold travels marked:
// kNativeMark, the native bytes (without a trailing slash), kNativeEnd, then
// a backslash for the trailing slash. What is appended after the end mark
// (names below the application folder) is in the code page as any name.
static const char kNativeMark = '\x01', kNativeEnd = '\x02';

// Backslashes become slashes in what was decoded, never in native bytes.
static AnsiString WithSlashes(AnsiString p) {
    for (char& c : p) if (c == '\\') c = '/';
    return p;
}

AnsiString NativePath(const AnsiString& systemPath) {
    AnsiString native;
    size_t coded = 0;  // where the code-page bytes begin
    if (!systemPath.empty() && systemPath[0] == kNativeMark) {
        coded = systemPath.find(kNativeEnd);
        if (coded == AnsiString::npos) return systemPath.substr(1);
        native = systemPath.substr(1, coded - 1);
        ++coded;
    }
    // Decoded first: a backslash byte inside a double-byte character (the
    // second byte of Big5 功 is 0x5C) is no separator.
    const AnsiString folder = gNameCodePage ? ApplicationFolder() : AnsiString();
    if (!folder.empty() && folder.size() >= coded && systemPath.compare(0, folder.size(), folder) == 0)
        return native + WithSlashes(CodePageToUtf8(folder.substr(coded), SystemCodePage())) +
               WithSlashes(CodePageToUtf8(systemPath.substr(folder.size()), gNameCodePage));
    return native + WithSlashes(CodePageToUtf8(systemPath.substr(coded), SystemCodePage()));
}

AnsiString SystemPathFromNative(const AnsiString& nativePath) {
    AnsiString p;
    if (TryUtf8ToCodePage(nativePath, SystemCodePage(), p)) {
        for (char& c : p) if (c == '/') c = '\\';
        return p;
    }
    const bool folder = nativePath.size() > 1 && nativePath.back() == '/';
    const AnsiString kept = folder ? nativePath.substr(0, nativePath.size() - 1) : nativePath;
    return AnsiString(1, kNativeMark) + kept + kNativeEnd + (folder ? "\\" : "");
}

AnsiString ShownPath(const AnsiString& systemPath) {
    AnsiString native = NativePath(systemPath), shown;
    return TryUtf8ToCodePage(native, DisplayCodePage(), shown) ? shown : native;
}

bool IsSafeRelativeName(const AnsiString& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;  // NUL would end the name early; CR/LF split lines
    AnsiString decoded;
    if (!TryCodePageToUtf8(name, NameCodePage(), decoded)) return false;
    if (decoded[0] == '\\' || decoded[0] == '/') return false;
    if (decoded.find(':') != AnsiString::npos) return false;  // drive letters and streams
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find_first_of("\\/", start);
        if (end == AnsiString::npos) end = decoded.size();
        if (decoded.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
#ifdef _WIN32
    // The system would open a device, or a file of another name.
    if (HasWindowsUnsafeNamePart(decoded)) return false;
#endif
    return true;
}
