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
    TUpdateEntry e;
    e.Changed = GetField(1, entry) == "U";
    int base = e.Changed ? 2 : 0;
    e.Kind = GetField(base + 1, entry);
    if (!IsKnownKind(e.Kind) && !IsRemovalKind(e.Kind)) return e;
    if (e.Changed) e.Index = StrToInt(GetField(2, entry));
    e.Remote = GetField(base + 2, entry);
    e.Local = GetField(base + 3, entry);
    e.Version = GetField(base + 4, entry);
    e.Size = StrToInt64(GetField(base + 5, entry));
    e.Sha256 = LowerCase(GetField(base + 6, entry));
    for (const AnsiString& mode : SplitCommas(GetField(base + 7, entry))) e.Modes.push_back(ParseMode(mode));
    for (const AnsiString& sha : SplitCommas(GetField(base + 8, entry))) e.InstalledSha256.push_back(LowerCase(sha));
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
