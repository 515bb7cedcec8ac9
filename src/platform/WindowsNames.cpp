#include "WindowsNames.h"

#include <cstring>

namespace {

bool IsDeviceName(const AnsiString& base) {
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    const AnsiString upper = UpperCase(base);
    for (const char* d : kDevices)
        if (upper == d) return true;
    if (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0) return false;
    const AnsiString digit = upper.substr(3);
    // The superscript digits count as digits for the device names too.
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
}

}  // namespace

bool IsWindowsUnsafeNamePart(const AnsiString& part) {
    if (part.empty() || part == ".") return false;
    if (part.find_first_of("<>:\"|?*") != AnsiString::npos) return true;
    if (part.back() == '.' || part.back() == ' ') return true;
    // The device name is what precedes the first dot, blanks before it dropped.
    AnsiString base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    return IsDeviceName(base);
}

bool HasWindowsUnsafeNamePart(const AnsiString& name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == AnsiString::npos) end = name.size();
        if (IsWindowsUnsafeNamePart(name.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}
