#include "VersionOrder.h"

#include <algorithm>

#include "release/LineFields.h"

namespace {

bool IsNumber(const AnsiString& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numeric order of two numbers of any length: the longer one without its
// leading zeros is the larger.
bool NumberGreater(AnsiString a, AnsiString b) {
    a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
    b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() > b.size() : a > b;
}

const char kWayOut[] =
    "every updater compares versions byte by byte. Versions of one width order alike both ways (0009, 0010, ...); "
    "the default, the UTC time as yyyymmddhhmmss, always does";

}  // namespace

void CheckVersionOrder(const AnsiString& version, const std::vector<AnsiString>& earlier,
                       std::vector<AnsiString>& warnings) {
    if (earlier.empty()) {
        // A width chosen (0001) is kept by itself; a bare small number is not.
        if (IsNumber(version) && version.size() < 8 && version[0] != '0')
            warnings.push_back("The version " + version + " is a short number: later versions must keep its " +
                               IntToStr(static_cast<int64_t>(version.size())) + " digits (" + kWayOut + ")");
        return;
    }
    for (const AnsiString& before : earlier) {
        if (before == version) continue;  // an entry the release keeps as it was
        const bool bytes = VersionGreater(version, before);
        if (IsNumber(version) && IsNumber(before) && NumberGreater(version, before) != bytes)
            throw Exception("The version " + version + " orders " + (bytes ? "after " : "before ") + before +
                            " by byte order but " + (bytes ? "before" : "after") + " it as a number: " + kWayOut +
                            (bytes ? AnsiString() : "; after " + before + ", a version that begins with " + before +
                                                        " orders after it both ways (" + before + "0, say)"));
        if (!bytes)
            throw Exception("The version " + version + " is not greater than " + before +
                            " by byte order; the updater would skip the files (" + kWayOut + ")");
    }
}
