#include "StringList.h"

#include "FileSystem.h"

void TStringList::SetText(const AnsiString& text) {
    FLines.clear();
    size_t end = text.find('\0');
    if (end == AnsiString::npos) end = text.size();
    size_t start = 0, i = 0;
    while (i < end) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            FLines.emplace_back(text, start, i - start);
            if (c == '\r' && i + 1 < end && text[i + 1] == '\n') ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < end) FLines.emplace_back(text, start, end - start);
}

AnsiString TStringList::Text() const {
    AnsiString r;
    for (const auto& l : FLines) { r += l; r += "\r\n"; }
    return r;
}

void TStringList::LoadFromFile(const AnsiString& fileName) {
    SetText(ReadWholeFile(fileName));
}

void TStringList::SaveToFile(const AnsiString& fileName) const {
    WriteWholeFile(fileName, Text());
}

void TStringList::SaveToFileAtomic(const AnsiString& fileName) const {
    WriteWholeFileAtomic(fileName, Text());
}

void TStringList::Insert(int i, const AnsiString& s) {
    if (i < 0 || i > Count()) throw Exception("List index out of bounds (" + IntToStr(i) + ")");
    FLines.insert(FLines.begin() + i, s);
}

void TStringList::Delete(int i) {
    if (i < 0 || i >= Count()) throw Exception("List index out of bounds (" + IntToStr(i) + ")");
    FLines.erase(FLines.begin() + i);
}
