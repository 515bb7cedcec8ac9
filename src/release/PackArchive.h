// Pack archives: several files in one, with a directory block of 101 records
// of 89 bytes at the end (record 0 holds the member count; records 1..count
// hold start, end, name length and an 80-byte name; integers little-endian).
#pragma once
#include <vector>

#include "platform/Classes.h"

// A pack whose directory is out of its format, or that is shorter than it.
class EDamagedPack : public EInOutError { using EInOutError::EInOutError; };
// A pack with a member that names one of the updater's own files: refused
// whole, since its other members belong with that one.
class EOwnFileMember : public EDamagedPack { using EDamagedPack::EDamagedPack; };

constexpr int kPackRecordSize = 89;
constexpr int kPackRecords = 101;
constexpr int kPackBlockSize = kPackRecordSize * kPackRecords;  // 8989
constexpr int kPackMaxMembers = 100;
constexpr int kPackMaxName = 80;

struct TPackMember {
    int32_t Start;
    int32_t End;
    AnsiString Name;  // system code page, backslash-separated
};

// Reads and checks the directory of the archive whose last 8989 bytes are
// `block`, for an archive of `archiveSize` bytes. A count above 100, a name
// length above 80, a negative length or a range outside the archive raise
// EDamagedPack.
std::vector<TPackMember> ReadPackDirectory(const char* block, int64_t archiveSize);

// Writes every member below the application folder, creating the folders its
// name asks for. The whole directory is checked before the first member is
// written. A member whose name would leave the application folder (absolute,
// a drive letter, a ".." part, control bytes) is skipped; one that names an
// updater's own file raises EOwnFileMember before anything is written. All members are
// written to temporaries first and replace their targets only when every one
// is complete; a write failure raises EInOutError and changes nothing.
void ExtractPack(const AnsiString& archivePath);
// The same below a given folder (with its trailing backslash). `modes`, when
// given, holds the release's mode of each member in directory order (-1:
// none); without one a member keeps the mode of the file it replaces.
// Returns the members' names in directory order.
std::vector<AnsiString> ExtractPackInto(const AnsiString& archivePath, const AnsiString& baseFolder,
                                        const std::vector<int>& modes = {});

// Creates the folders that a file path needs (backslash is the separator);
// always returns true.
bool MakeFileFolders(const AnsiString& filePath);

// Builds pack archives for the publisher tool and the tests.
class TPackWriter {
public:
    void AddBuffer(const AnsiString& name, const AnsiString& data);
    void AddFile(const AnsiString& name, const AnsiString& path);
    int Count() const { return static_cast<int>(FMembers.size()); }
    // Raises EInOutError for more than 100 members, a name over 80 bytes or
    // an archive over 2 GiB (the offsets are 32-bit).
    void Write(const AnsiString& archivePath) const;

private:
    struct Member {
        AnsiString name, data, path;
        bool fromFile;
    };
    std::vector<Member> FMembers;
};
