#include "MirrorsReport.h"

#include <algorithm>
#include <cstdio>

#include "platform/Printable.h"

namespace {

// Characters, not bytes, of UTF-8 text.
size_t ShownWidth(const AnsiString& s) {
    size_t width = 0;
    for (unsigned char c : s) width += (c >> 6) != 2;
    return width;
}

}  // namespace

void PrintTable(const std::vector<std::vector<AnsiString>>& rows) {
    std::vector<size_t> widths;
    std::vector<std::vector<AnsiString>> shown;
    for (const auto& row : rows) {
        shown.emplace_back();
        for (size_t c = 0; c < row.size(); ++c) {
            shown.back().push_back(Printable(row[c]));
            if (widths.size() <= c) widths.push_back(0);
            widths[c] = std::max(widths[c], ShownWidth(shown.back()[c]));
        }
    }
    for (const auto& row : shown) {
        AnsiString line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += AnsiString(widths[c] - ShownWidth(row[c]) + 2, ' ');
        }
        printf("%s\n", line.c_str());
    }
}

AnsiString ShownBytes(int64_t bytes) {
    char text[32];
    if (bytes < 1024)
        snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    else if (bytes < (int64_t(1) << 20))
        snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else if (bytes < (int64_t(1) << 30))
        snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    else
        snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
    return text;
}
