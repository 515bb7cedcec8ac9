#include "UpdateRun.h"

#include "LineFields.h"
#include "PackArchive.h"
#include "platform/FileSystem.h"

TUpdateEntry ParseUpdateEntry(const AnsiString& entry) {
    TUpdateEntry e;
    e.Changed = GetField(1, entry) == "U";
    int base = e.Changed ? 2 : 0;
    if (e.Changed) e.Index = StrToInt(GetField(2, entry));
    e.Kind = GetField(base + 1, entry);
    e.Remote = GetField(base + 2, entry);
    e.Local = GetField(base + 3, entry);
    e.Version = GetField(base + 4, entry);
    e.Size = StrToInt64(GetField(base + 5, entry));
    return e;
}

namespace {
// Deletes a temporary file unless it was handed on.
struct TempFile {
    AnsiString path;
    ~TempFile() { if (!path.empty()) DeleteFile(path); }
};
}  // namespace

TEntryOutcome TEntryInstaller::Process(const AnsiString& entry) {
    TUpdateEntry e = ParseUpdateEntry(entry);
    if (e.Kind != "E" && e.Kind != "O" && e.Kind != "C") return TEntryOutcome::UnknownKind;
    if (!IsSafeRelativeName(e.Remote) || !IsSafeRelativeName(e.Local)) return TEntryOutcome::Refused;
    const AnsiString target = AppFolder + e.Local;

    if (e.Kind == "O") {
        MakeFileFolders(target);
        TempFile part{TempNameBeside(target)};
        if (Download(e.Remote, part.path, e.Size) != e.Size) return TEntryOutcome::SizeMismatch;
        if (!RenameFile(part.path, target))
            throw EInOutError("Cannot replace file \"" + target + "\".");
        part.path.clear();
        Record(e);
        return TEntryOutcome::Installed;
    }

    // "E" and "C": the gzip file arrives under its remote name and stays there
    // when its size is wrong or it cannot be decompressed.
    const AnsiString packed = AppFolder + e.Remote;
    if (Download(e.Remote, packed, e.Size) != e.Size) return TEntryOutcome::SizeMismatch;
    if (e.Kind == "E") {
        MakeFileFolders(target);
        if (!DecompressTo(packed, target)) return TEntryOutcome::NotDecompressed;
    } else {
        // The pack itself never appears under its local name: it is unpacked
        // from a temporary file beside it and deleted.
        TempFile archive{TempNameBeside(target)};
        Gzip->FileSource = packed;
        Gzip->FileDestination = archive.path;
        if (Gzip->Decompress() != TGzip::ResultOk) return TEntryOutcome::NotDecompressed;
        ExtractPackInto(archive.path, AppFolder);
    }
    Record(e);
    return TEntryOutcome::Installed;
}

bool TEntryInstaller::DecompressTo(const AnsiString& source, const AnsiString& target) {
    TempFile part{TempNameBeside(target)};
    Gzip->FileSource = source;
    Gzip->FileDestination = part.path;
    if (Gzip->Decompress() != TGzip::ResultOk) return false;
    if (!RenameFile(part.path, target)) throw EInOutError("Cannot replace file \"" + target + "\".");
    part.path.clear();
    return true;
}

void TEntryInstaller::Record(const TUpdateEntry& e) {
    AnsiString line = e.Local + " " + e.Version;
    if (e.Changed && e.Index >= 0 && e.Index < Installed->Count())
        (*Installed)[e.Index] = line;
    else
        Installed->Add(line);
}
