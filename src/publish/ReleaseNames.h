// What a name must be to travel in a versions list that every updater reads
// alike: one field (no blank), nothing that ends or splits a line, no folder
// separator of its own, written in the list's code page, and a served name
// that every file system and FTP server takes.
#pragma once
#include <vector>

#include "platform/Classes.h"

// Most file systems and FTP servers take names of at most 255 bytes.
constexpr size_t kMaxServedNameBytes = 255;

// Appends to `problems` what keeps the release-relative name `rel` (UTF-8,
// '/' between folders) from being a field of the list, each prefixed by
// `shown`.
void CheckListName(const AnsiString& rel, const AnsiString& shown, std::vector<AnsiString>& problems);

// `rel` in `codePage` with '\' between folders; false, with the problem
// added, when the code page has no place for one of its characters.
bool ToListCodePage(const AnsiString& rel, int codePage, const AnsiString& shown, AnsiString& local,
                    std::vector<AnsiString>& problems);

// The NAME of a --pack FOLDER=NAME: a file name of its own (a pack is
// unpacked from the application folder, where it is written first, and no
// updater makes a folder for it), checked as a list name and converted.
bool CheckPackName(const AnsiString& name, int codePage, AnsiString& local, std::vector<AnsiString>& problems);

// The longest served name of a local name (that of a gzip file); a problem
// naming the cause when it is over 255 bytes: every byte outside ASCII
// letters, digits and ". _ -" takes three.
void CheckServedNameLength(const AnsiString& local, const AnsiString& shown, std::vector<AnsiString>& problems);
