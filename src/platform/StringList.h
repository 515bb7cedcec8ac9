// An ordered list of text lines, read whole from a file and written whole back.
//
// Reading: a line ends at CR, at LF or at CR LF; a zero byte ends the text; a
// final line without a line end still counts; a line end at the very end of
// the text starts no further line. Writing puts CR LF after every line.
#pragma once
#include "Classes.h"

class TStringList : public TObject {
public:
    // Both take a path in the system code page; a missing or unreadable file
    // raises EInOutError naming the file.
    void LoadFromFile(const AnsiString& fileName);
    void SaveToFile(const AnsiString& fileName) const;
    // Writes to a temporary file beside the target and renames it over the
    // target, so a crash leaves either the old or the new content.
    void SaveToFileAtomic(const AnsiString& fileName) const;

    void SetText(const AnsiString& text);
    AnsiString Text() const;

    int Count() const { return static_cast<int>(FLines.size()); }
    const AnsiString& operator[](int i) const { return FLines.at(i); }
    AnsiString& operator[](int i) { return FLines.at(i); }
    int Add(const AnsiString& s) { FLines.push_back(s); return Count() - 1; }
    int Add(AnsiString&& s) { FLines.push_back(std::move(s)); return Count() - 1; }
    void Insert(int i, const AnsiString& s);
    void Delete(int i);
    void Clear() { FLines.clear(); }
    const std::vector<AnsiString>& Lines() const { return FLines; }

private:
    std::vector<AnsiString> FLines;
};
