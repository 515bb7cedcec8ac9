#include "Verify.h"

#include <sys/stat.h>

#include <ctime>

#include "DeltaWriter.h"
#include "ReleaseHistory.h"
#include "release/LineFields.h"
#include "release/OwnFiles.h"
#include "release/PackArchive.h"
#include "release/ReleaseCheck.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"
#include "crypto/Sha256.h"
#include "gzip/GunzipStream.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "platform/System.h"

namespace {
const char kOwnFile[] = "one of the updater's own files, which the updater refuses";
}  // namespace

TVerifyReport VerifyRelease(const AnsiString& outDir, const AnsiString& keyFile) {
    TVerifyReport r;
    auto problem = [&r](const AnsiString& text) { r.Problems.push_back(text); };
    const AnsiString list = outDir + "/update3.dat";
    TStringList lines;
    AnsiString listBytes;
    try {
        listBytes = ReadWholeFile(SystemPathFromNative(list), kMaxVersionsListBytes);
        lines.SetText(listBytes);
    } catch (const Exception& e) {
        problem("update3.dat: missing, unreadable or too large (" + e.Message + ")");
        return r;
    }
    if (lines.Count() == 0) {
        problem("update3.dat: empty");
        return r;
    }
    int codePage = DeclaredNamesCodePage(lines[0]);
    SetNameCodePage(codePage);
    const int shownCodePage = codePage ? codePage : SystemCodePage();

    struct stat st;
    r.Signed = stat((outDir + "/" + kSignatureFile).c_str(), &st) == 0;
    if (!keyFile.empty()) {
        if (!r.Signed) {
            problem(AnsiString(kSignatureFile) + ": missing, but a key was given");
        } else {
            try {
                TPublicKey key = ParsePublicKey(ReadWholeFile(SystemPathFromNative(keyFile), 4 << 10));
                CheckSignedList(listBytes,
                                ReadWholeFile(SystemPathFromNative(outDir + "/" + kSignatureFile), kMaxSignatureBytes),
                                key, 0, time(nullptr));
                r.SignatureChecked = true;
            } catch (const Exception& e) {
                problem(AnsiString(kSignatureFile) + ": " + e.Message);
            }
        }
    }

    // The removals file travels as a served file does, and must be the one
    // the header names: an updater refuses the list otherwise.
    TRemovalsFile removals;
    if (lines.Count() > 0 && DeclaredRemovalsFile(lines[0], removals)) {
        const AnsiString path = outDir + "/" + removals.Name;
        if (!FileExists(SystemPathFromNative(path)))
            problem(removals.Name + ": the removals file is missing");
        else if (RemovalLinesOf(ReadWholeFile(SystemPathFromNative(path), kMaxRemovalsBytes), removals).empty())
            problem(removals.Name + ": is not the removals file that the header names");
    }
    // The delta form: every file it serves there with its size, the manifest
    // and each index the ones named, every record where its index says.
    for (const auto& [name, size] : DeltaServedFilesIn(outDir, listBytes))
        if (stat((outDir + "/" + name).c_str(), &st) != 0 || st.st_size != size)
            problem(name + ": a file of the delta form, missing or of another size");
    try {
        ReadDeltaHoldings(outDir, listBytes);
    } catch (const Exception& e) {
        problem("the delta form: " + e.Message);
    }
    for (int i = 1; i < lines.Count(); ++i) {
        const AnsiString& line = lines[i];
        if (GetField(1, line).empty()) continue;
        ++r.Entries;
        TUpdateEntry e;
        try {
            e = ParseUpdateEntry(line);
        } catch (const EConvertError&) {
            problem("line " + IntToStr(i) + ": a size that is not a number");
            continue;
        }
        const AnsiString label = e.Local.empty() ? "line " + IntToStr(i) : CodePageToUtf8(e.Local, shownCodePage);
        if (IsRemovalKind(e.Kind)) {
            // Names a file to remove: nothing is served for it.
            if (!IsSafeRelativeName(e.Local)) problem(label + ": the name would leave the application folder");
            else if (IsUpdatersOwnFile(e.Local, "")) problem(label + ": " + kOwnFile);
            if (!IsSha256Text(e.Sha256)) problem(label + ": a removal without the SHA-256 of the installed file");
            continue;
        }
        if (!IsKnownKind(e.Kind)) {
            problem(label + ": unknown kind \"" + e.Kind + "\"");
            continue;
        }
        if (!IsSafeRelativeName(e.Remote)) problem(label + ": the remote name \"" + e.Remote + "\" is not safe");
        if (!IsSafeRelativeName(e.Local)) {
            problem(label + ": the name would leave the application folder or holds control characters");
            continue;
        }
        if (IsUpdatersOwnFile(e.Local, "")) problem(label + ": " + kOwnFile);
        const AnsiString served = outDir + "/" + e.Remote;
        if (stat(served.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            problem(label + ": " + e.Remote + " is missing");
            continue;
        }
        const bool sizeRight = st.st_size == e.Size;
        if (!sizeRight)
            problem(label + ": " + e.Remote + " has " + IntToStr(static_cast<int64_t>(st.st_size)) +
                    " bytes, the list says " + IntToStr(e.Size));
        if (sizeRight && !e.Sha256.empty() && Sha256OfFile(SystemPathFromNative(served)) != e.Sha256)
            problem(label + ": " + e.Remote + " does not match its SHA-256");
        else if (e.Sha256.empty() && r.Signed)
            problem(label + ": a signed list without a SHA-256 for this entry");
        if (e.Kind == "O") continue;
        // One pass through the data; of a pack only its directory at the end
        // is kept (members may be gigabytes).
        AnsiString why, directory;
        int64_t archiveSize = 0;
        if (!GzipFileIsWhole(served, why, e.Kind == "C" ? &directory : nullptr, kPackBlockSize, &archiveSize)) {
            problem(label + ": " + e.Remote + " " + why);
            continue;
        }
        if (e.Kind != "C") continue;
        try {
            if (archiveSize < kPackBlockSize) throw EDamagedPack("is shorter than its directory");
            std::vector<TPackMember> members = ReadPackDirectory(directory.data(), archiveSize);
            for (const TPackMember& m : members) {
                if (!IsSafeRelativeName(m.Name)) problem(label + ": the member \"" + m.Name + "\" is not safe");
                else if (IsUpdatersOwnFile(m.Name, ""))
                    problem(label + ": the member \"" + m.Name + "\" is " + kOwnFile);
            }
            if (!e.Modes.empty() && e.Modes.size() != members.size())
                problem(label + ": the list gives " + IntToStr(static_cast<int64_t>(e.Modes.size())) + " modes for " +
                        IntToStr(static_cast<int64_t>(members.size())) + " members");
        } catch (const Exception& err) {
            problem(label + ": the pack " + err.Message);
        }
    }
    SetNameCodePage(0);
    return r;
}
