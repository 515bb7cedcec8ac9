#include "LineFields.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cstring>

AnsiString GetField(int n, const AnsiString& line) {
    if (n < 1) return "";
    int count = 0;
    size_t i = 0, len = line.size();
    while (i < len) {
        while (i < len && line[i] == ' ') ++i;
        if (i == len) break;
        size_t start = i;
        while (i < len && line[i] != ' ') ++i;
        if (++count == n) return line.substr(start, i - start);
    }
    return "";
}

std::vector<AnsiString> SplitFields(const AnsiString& line) {
    std::vector<AnsiString> fields;
    for (size_t i = 0, len = line.size(); i < len;) {
        while (i < len && line[i] == ' ') ++i;
        size_t start = i;
        while (i < len && line[i] != ' ') ++i;
        if (i > start) fields.emplace_back(line, start, i - start);
    }
    return fields;
}

bool VersionGreater(const AnsiString& a, const AnsiString& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = memcmp(a.data(), b.data(), n);  // memcmp compares as unsigned bytes
    if (c != 0) return c > 0;
    return a.size() > b.size();
}

static char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameNameIgnoringCase(const AnsiString& a, const AnsiString& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

AnsiString DeclaredHeaderValue(const AnsiString& header, const AnsiString& key) {
    const AnsiString field = key + "=";
    // One pass over the fields: a header of a hundred thousand fields must
    // not cost a hundred thousand walks from its start.
    for (size_t i = 0, len = header.size(); i < len;) {
        while (i < len && header[i] == ' ') ++i;
        size_t start = i;
        while (i < len && header[i] != ' ') ++i;
        if (i - start >= field.size() && header.compare(start, field.size(), field) == 0)
            return header.substr(start + field.size(), i - start - field.size());
    }
    return "";
}

int DeclaredNamesCodePage(const AnsiString& header) {
    try {
        int codePage = StrToInt(DeclaredHeaderValue(header, "codepage"));
        return IsKnownCodePage(codePage) ? codePage : 0;
    } catch (const EConvertError&) {
        return 0;
    }
}

TTransferLimits DeclaredTransferLimits(const AnsiString& header) {
    TTransferLimits limits;
    const AnsiString n = DeclaredHeaderValue(header, "connections"), mirrors = DeclaredHeaderValue(header, "mirrors");
    // A list that says nothing of the mirrors was written for updaters that
    // fetch over one session from one server, and its vendor's servers may
    // be sized for just that.
    if (n.empty() && mirrors.empty()) return {1, false};
    try {
        if (!n.empty()) limits.Connections = std::max(1, std::min(TTransferLimits::kMaxConnections, StrToInt(n)));
    } catch (const EConvertError&) {
    }
    limits.AllMirrors = mirrors != "one";
    return limits;
}
