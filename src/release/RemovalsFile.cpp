#include "RemovalsFile.h"

#include "LineFields.h"
#include "RemoteName.h"
#include "UpdateEntry.h"
#include "crypto/Sha256.h"
#include "platform/StringList.h"

bool DeclaredRemovalsFile(const AnsiString& header, TRemovalsFile& file) {
    return DeclaredSideFile(header, kRemovalsKey, file);
}

bool DeclaredSideFile(const AnsiString& header, const AnsiString& key, TRemovalsFile& file) {
    const AnsiString value = DeclaredHeaderValue(header, key);
    const size_t a = value.find(','), b = value.rfind(',');
    if (a == AnsiString::npos || a == b) return false;
    file.Name = value.substr(0, a);
    file.Sha256 = LowerCase(value.substr(b + 1));
    try {
        file.Size = StrToInt64(value.substr(a + 1, b - a - 1));
    } catch (const EConvertError&) {
        return false;
    }
    return IsSafeRemoteName(file.Name) && file.Size >= 0 && IsSha256Text(file.Sha256);
}

AnsiString RemovalsHeaderField(const TRemovalsFile& file) { return SideFileHeaderField(kRemovalsKey, file); }

AnsiString SideFileHeaderField(const AnsiString& key, const TRemovalsFile& file) {
    return key + "=" + file.Name + "," + IntToStr(file.Size) + "," + file.Sha256;
}

std::vector<AnsiString> RemovalLinesOf(const AnsiString& text, const TRemovalsFile& file) {
    std::vector<AnsiString> lines;
    if (static_cast<int64_t>(text.size()) != file.Size || Sha256Of(text) != file.Sha256) return lines;
    TStringList list;
    list.SetText(text);
    for (int i = 1; i < list.Count(); ++i)
        if (IsRemovalKind(GetField(1, list[i]))) lines.push_back(list[i]);
    return lines;
}
