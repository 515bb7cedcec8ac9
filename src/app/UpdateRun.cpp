#include "UpdateRun.h"

#include "LineFields.h"
#include "PackArchive.h"
#include "platform/FileSystem.h"

bool IsKnownKind(const AnsiString& kind) { return kind == "E" || kind == "O" || kind == "C"; }

TUpdateEntry ParseUpdateEntry(const AnsiString& entry) {
    TUpdateEntry e;
    e.Changed = GetField(1, entry) == "U";
    int base = e.Changed ? 2 : 0;
    e.Kind = GetField(base + 1, entry);
    if (!IsKnownKind(e.Kind)) return e;
    if (e.Changed) e.Index = StrToInt(GetField(2, entry));
    e.Remote = GetField(base + 2, entry);
    e.Local = GetField(base + 3, entry);
    e.Version = GetField(base + 4, entry);
    e.Size = StrToInt64(GetField(base + 5, entry));
    return e;
}

TEntryOutcome TEntryInstaller::Process(const AnsiString& entry) {
    Detail.clear();
    TUpdateEntry e = ParseUpdateEntry(entry);
    if (!IsKnownKind(e.Kind)) return TEntryOutcome::UnknownKind;
    if (!IsSafeRelativeName(e.Remote) || !IsSafeRelativeName(e.Local)) return TEntryOutcome::Refused;
    const AnsiString target = AppFolder + e.Local;
    try {
        MakeFileFolders(target);
        // "O" arrives as the file itself, "E" and "C" as gzip data.
        TTempFile download(target);
        int64_t received = Download(e.Remote, download.Path(), e.Size);
        if (received != e.Size) {
            Detail = IntToStr(received) + " bytes received, " + IntToStr(e.Size) + " listed";
            return TEntryOutcome::SizeMismatch;
        }
        if (e.Kind == "O") {
            download.PutInPlace();
        } else if (e.Kind == "E") {
            TTempFile plain(target);
            TEntryOutcome outcome = Decompress(download.Path(), plain.Path());
            if (outcome != TEntryOutcome::Installed) return outcome;
            plain.PutInPlace();
        } else {
            // The pack itself never appears under its local name.
            TTempFile archive(target);
            TEntryOutcome outcome = Decompress(download.Path(), archive.Path());
            if (outcome != TEntryOutcome::Installed) return outcome;
            ExtractPackInto(archive.Path(), AppFolder);
        }
    } catch (const EDamagedPack& err) {
        Detail = err.Message;
        return TEntryOutcome::NotDecompressed;
    } catch (const EInOutError& err) {
        Detail = err.Message;
        return TEntryOutcome::WriteFailed;
    }
    Record(e);
    return TEntryOutcome::Installed;
}

TEntryOutcome TEntryInstaller::Decompress(const AnsiString& source, const AnsiString& target) {
    Gzip->FileSource = source;
    Gzip->FileDestination = target;
    switch (Gzip->Decompress()) {
        case TGzip::ResultOk:
            return TEntryOutcome::Installed;
        case TGzip::ResultCannotCreate:
        case TGzip::ResultWriteFailed:
            Detail = "Cannot write file \"" + ShownPath(target) + "\".";
            return TEntryOutcome::WriteFailed;
        default:
            Detail = "The gzip data are damaged.";
            return TEntryOutcome::NotDecompressed;
    }
}

void TEntryInstaller::Record(const TUpdateEntry& e) {
    AnsiString line = e.Local + " " + e.Version;
    // Line 0 is the header: a changed entry never replaces it.
    if (e.Changed && e.Index >= 1 && e.Index < Installed->Count())
        (*Installed)[e.Index] = line;
    else
        Installed->Add(line);
}
