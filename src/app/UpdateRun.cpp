#include "UpdateRun.h"

#include <unistd.h>

#include <memory>

#include "release/LineFields.h"
#include "release/PackArchive.h"
#include "EntryStream.h"
#include "Removals.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/OwnFiles.h"

AnsiString PartialIdOf(const TUpdateEntry& e) {
    TSha256 id;
    AnsiString text = e.Remote + "\n" + e.Version + "\n" + IntToStr(e.Size);
    id.Update(text.data(), text.size());
    return id.HexDigest().substr(0, 16);
}

AnsiString PartialPathOf(const AnsiString& appFolder, const TUpdateEntry& e) {
    return NativePath(appFolder + e.Local + kPartialMarker + PartialIdOf(e));
}

namespace {
const char kOwnFileRefusal[] = "one of the updater's own files";
}  // namespace

TEntryOutcome TEntryInstaller::Process(const AnsiString& entry) {
    Detail.clear();
    TUpdateEntry e = ParseUpdateEntry(entry);
    if (IsRemovalKind(e.Kind)) return Remove(e);
    if (!IsKnownKind(e.Kind)) return TEntryOutcome::UnknownKind;
    if (!IsSafeRemoteName(e.Remote) || !IsSafeRelativeName(e.Local)) return TEntryOutcome::Refused;
    if (IsUpdatersOwnFile(e.Local, ProgramFileName())) {
        // Bytes fetched for it ahead of the run are of no use to anyone.
        unlink(PartialPathOf(AppFolder, e).c_str());
        Detail = kOwnFileRefusal;
        return TEntryOutcome::Refused;
    }
    const AnsiString target = AppFolder + e.Local;
    const bool hashed = IsSha256Text(e.Sha256);
    if (RequireHashes && !hashed) {
        Detail = "The signed list gives no SHA-256 for this entry.";
        return TEntryOutcome::FailedCheck;
    }
    const int mode = e.Kind != "C" && !e.Modes.empty() ? e.Modes[0] : -1;
    std::unique_ptr<TPartialFile> part;
    std::vector<AnsiString> members{e.Local};
    try {
        MakeFileFolders(target);
        // "O" arrives as the file itself, "E" and "C" as gzip data, into the
        // entry's partial download, which an earlier try may have begun.
        part = std::make_unique<TPartialFile>(target, PartialIdOf(e));
        TPartialFile& download = *part;
        // Hashed, and inflated into the temporary beside the target, as the
        // bytes arrive; bytes kept from an earlier try go through it first.
        TEntryStream stream(target, e.Kind != "O", hashed);
        TDownloadResult got;
        got.Bytes = download.Size();
        if (got.Bytes > e.Size) {
            download.Truncate();  // not a beginning of this file
            got.Bytes = 0;
        }
        if (got.Bytes < e.Size || e.Size == 0) {
            got = Download({e.Remote, download.Path(), e.Size, got.Bytes,
                            [&stream](const char* p, size_t n) { stream.Feed(p, n); },
                            [&stream, &download](int64_t offset) { stream.Begin(download.Path(), offset); }});
        } else {
            stream.Begin(download.Path(), got.Bytes);  // complete already: checked below
            got.Resumed = true;
        }
        if (got.Bytes < e.Size && got.Complete) {
            download.Discard();
            Detail = "the server's file has " + IntToStr(got.Bytes) + " bytes, the list says " + IntToStr(e.Size);
            return TEntryOutcome::SizeMismatch;
        }
        if (got.Bytes < e.Size) {
            Detail = IntToStr(got.Bytes) + " of " + IntToStr(e.Size) + " bytes so far";
            return TEntryOutcome::Incomplete;
        }
        if (got.Bytes > e.Size) {
            download.Discard();
            Detail = IntToStr(got.Bytes) + " bytes received, " + IntToStr(e.Size) + " listed";
            return TEntryOutcome::SizeMismatch;
        }
        const bool whole = stream.Finish();
        // Nothing is unpacked or put in place before its bytes are known to
        // be the release's.
        if (hashed) {
            AnsiString digest = stream.Digest();
            if (digest != e.Sha256) {
                download.Discard();
                Detail = "SHA-256 " + digest + ", the list gives " + e.Sha256;
                return got.Resumed ? TEntryOutcome::RetryFromStart : TEntryOutcome::FailedCheck;
            }
        }
        if (!whole) {
            download.Discard();
            Detail = stream.Problem();
            return stream.WriteFailed() ? TEntryOutcome::WriteFailed : TEntryOutcome::NotDecompressed;
        }
        if (e.Kind == "O") {
            // The file itself goes in place: it must hold the bytes checked.
            if (FileSizeOf(download.Path()) != e.Size) {
                Detail = "the download is not on the disk whole";
                return TEntryOutcome::Incomplete;
            }
            download.PutInPlace(mode);
        } else if (e.Kind == "E") {
            stream.Output().PutInPlace(mode);
        } else {
            // The pack itself never appears under its local name.
            members = ExtractPackInto(stream.Output().Path(), AppFolder, e.Modes);
        }
        download.Discard();  // used up
    } catch (const EOwnFileMember& err) {
        part->Discard();
        Detail = err.Message;
        return TEntryOutcome::Refused;
    } catch (const EDamagedPack& err) {
        part->Discard();
        Detail = err.Message;
        return TEntryOutcome::NotDecompressed;
    } catch (const EInOutError& err) {
        // A full disk: the partial download only takes room.
        if (part) part->Discard();
        Detail = err.Message;
        return TEntryOutcome::WriteFailed;
    }
    Record(e);
    if (OnInstalled) OnInstalled(e, members);
    return TEntryOutcome::Installed;
}

TEntryOutcome TEntryInstaller::InstallMade(const AnsiString& entry, const std::function<void(int mode)>& putInPlace) {
    Detail.clear();
    TUpdateEntry e = ParseUpdateEntry(entry);
    if (!IsKnownKind(e.Kind) || e.Kind == "C") return TEntryOutcome::UnknownKind;
    if (!IsSafeRemoteName(e.Remote) || !IsSafeRelativeName(e.Local)) return TEntryOutcome::Refused;
    if (IsUpdatersOwnFile(e.Local, ProgramFileName())) {
        Detail = kOwnFileRefusal;
        return TEntryOutcome::Refused;
    }
    try {
        MakeFileFolders(AppFolder + e.Local);
        putInPlace(!e.Modes.empty() ? e.Modes[0] : -1);
    } catch (const EInOutError& err) {
        Detail = err.Message;
        return TEntryOutcome::WriteFailed;
    }
    Record(e);
    if (OnInstalled) OnInstalled(e, {e.Local});
    return TEntryOutcome::Installed;
}

// Only a file that is still what the earlier release installed goes: the
// player's own changes, and files the player made, stay.
TEntryOutcome TEntryInstaller::Remove(const TUpdateEntry& e) {
    if (!IsSafeRelativeName(e.Local)) return TEntryOutcome::Refused;
    if (IsUpdatersOwnFile(e.Local, ProgramFileName())) {
        Detail = kOwnFileRefusal;
        return TEntryOutcome::Refused;
    }
    const AnsiString path = AppFolder + e.Local;
    if (!IsUnchangedInstalledFile(path, e.Size, e.Sha256)) {
        Detail = "changed since it was installed";
        return TEntryOutcome::Kept;
    }
    if (!DeleteFile(path)) {
        Detail = "Cannot delete file \"" + ShownPath(path) + "\".";
        return TEntryOutcome::WriteFailed;
    }
    if (RecordRemoval) RecordRemoval(e.Local);
    return TEntryOutcome::Removed;
}

void TEntryInstaller::Record(const TUpdateEntry& e) {
    AnsiString line = e.Local + " " + e.Version;
    // Line 0 is the header: a changed entry never replaces it.
    if (e.Changed && e.Index >= 1 && e.Index < Installed->Count())
        (*Installed)[e.Index] = line;
    else
        Installed->Add(line);
}
