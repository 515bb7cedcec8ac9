// Files and folders named in the system code page with backslashes, as the
// data files name them; each call turns the name into a native path.
#pragma once
#include <cstdio>

#include "Classes.h"

// Backslashes become slashes; the code-page bytes become the file system's UTF-8.
AnsiString NativePath(const AnsiString& systemPath);
// The reverse: a native UTF-8 path to the system code page with backslashes.
AnsiString SystemPathFromNative(const AnsiString& nativePath);

bool FileExists(const AnsiString& path);   // any kind of file
bool IsRegularFile(const AnsiString& path);
bool DirectoryExists(const AnsiString& path);
bool CreateDir(const AnsiString& path);    // one level; false when it fails
bool DeleteFile(const AnsiString& path);
bool RenameFile(const AnsiString& from, const AnsiString& to);  // replaces `to`
int64_t FileSizeOf(const AnsiString& path);  // -1 when missing

// Whole-file helpers; failures raise EInOutError naming the file.
AnsiString ReadWholeFile(const AnsiString& path);
void WriteWholeFile(const AnsiString& path, const AnsiString& data);
void WriteWholeFileAtomic(const AnsiString& path, const AnsiString& data);
// A temporary name in the same folder as `path` (same file system, so a rename is atomic).
AnsiString TempNameBeside(const AnsiString& path);

// A name that stays below its base folder: not absolute, no drive letter, no ".." part.
bool IsSafeRelativeName(const AnsiString& name);

// Writes all n bytes to a file descriptor (retrying short writes); false on failure.
bool WriteAllBytes(int fd, const char* p, size_t n);

// fopen on the native path.
FILE* OpenFile(const AnsiString& path, const char* mode);
