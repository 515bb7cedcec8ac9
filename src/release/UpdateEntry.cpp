#include "UpdateEntry.h"

#include "LineFields.h"

bool IsKnownKind(const AnsiString& kind) { return kind == "E" || kind == "O" || kind == "C"; }
bool IsRemovalKind(const AnsiString& kind) { return kind == kRemovalKind; }

namespace {
std::vector<AnsiString> SplitCommas(const AnsiString& text) {
    std::vector<AnsiString> parts;
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        size_t comma = text.find(',', start);
        if (comma == AnsiString::npos) comma = text.size();
        parts.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return parts;
}
}  // namespace

TUpdateEntry ParseUpdateEntry(const AnsiString& entry) {
    // One pass over the line: plans of tens of thousands of entries read
    // every one of them at each start.
    const std::vector<AnsiString> fields = SplitFields(entry);
    auto field = [&fields](size_t n) { return n >= 1 && n <= fields.size() ? fields[n - 1] : AnsiString(); };
    TUpdateEntry e;
    e.Changed = field(1) == "U";
    const size_t base = e.Changed ? 2 : 0;
    e.Kind = field(base + 1);
    if (!IsKnownKind(e.Kind) && !IsRemovalKind(e.Kind)) return e;
    if (e.Changed) e.Index = StrToInt(field(2));
    e.Remote = field(base + 2);
    e.Local = field(base + 3);
    e.Version = field(base + 4);
    e.Size = StrToInt64(field(base + 5));
    e.Sha256 = LowerCase(field(base + 6));
    for (const AnsiString& mode : SplitCommas(field(base + 7))) e.Modes.push_back(ParseMode(mode));
    for (const AnsiString& sha : SplitCommas(field(base + 8))) e.InstalledSha256.push_back(LowerCase(sha));
    return e;
}

int ParseMode(const AnsiString& octal) {
    if (octal.empty() || octal.size() > 4) return -1;
    int mode = 0;
    for (char c : octal) {
        if (c < '0' || c > '7') return -1;
        mode = mode * 8 + (c - '0');
    }
    return mode & 0777;
}

bool IsSafeRemoteName(const AnsiString& remote) {
    if (remote.empty()) return false;
    for (unsigned char c : remote)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}
