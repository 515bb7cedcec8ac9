// The files a release dropped travel beside its versions list, in a
// removals file that the list's header names ("removals=NAME,SIZE,SHA256"),
// so that no line an updater built to the original format reads names
// them: such an updater would plan a removal like any other entry, fetch
// nothing, record nothing, and list the file again at every start.
//
// The file holds a header line and one line per dropped file, as a list's
// "D" entries read (see UpdateEntry.h): "D - <local> <version> <size>
// <SHA-256 of the installed bytes>". Its served name follows its bytes, as
// every served file's does, and a signed list's header carries its SHA-256,
// so it is as trustworthy as the list.
#pragma once
#include <vector>

#include "platform/Classes.h"

constexpr char kRemovalsKey[] = "removals";
constexpr char kRemovalsHeader[] = "skiff-removals";
// Where the updater keeps the removals file of its last list.
constexpr char kRemovalsFile[] = "update3.removals";
constexpr int64_t kMaxRemovalsBytes = 64 << 20;

struct TRemovalsFile {
    AnsiString Name;  // served name, in the FTP login folder
    int64_t Size = 0;
    AnsiString Sha256;
};

// The removals file that a list's header line names; false when it names
// none, or names one in a form no publisher writes.
bool DeclaredRemovalsFile(const AnsiString& header, TRemovalsFile& file);
// The same for any side file a header key names as "KEY=NAME,SIZE,SHA256".
bool DeclaredSideFile(const AnsiString& header, const AnsiString& key, TRemovalsFile& file);
AnsiString SideFileHeaderField(const AnsiString& key, const TRemovalsFile& file);
// The header field that names `file`.
AnsiString RemovalsHeaderField(const TRemovalsFile& file);
// The "D" lines of a removals file's text (its header passed over); none
// when `text` is not the bytes `file` names.
std::vector<AnsiString> RemovalLinesOf(const AnsiString& text, const TRemovalsFile& file);
