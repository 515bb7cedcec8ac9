#include "OwnFiles.h"

#include <vector>

#include "LineFields.h"
#include "ReleaseCheck.h"
#include "RemovalsFile.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"

namespace {

// The program's name as the kit installs it.
constexpr char kUpdaterProgram[] = "skiff";

// A list's name as the file system reads it: decoded in the names' code page,
// split on both slashes, "." and empty parts dropped, ".." taking off the part
// before it. Empty when the name does not decode or climbs above its folder.
std::vector<AnsiString> ResolvedNameParts(const AnsiString& name) {
    // Decoded first: in a double-byte code page the byte of a backslash may
    // be the second half of a character.
    AnsiString decoded;
    std::vector<AnsiString> parts;
    if (!TryCodePageToUtf8(name, NameCodePage(), decoded)) return parts;
    for (size_t start = 0; start <= decoded.size();) {
        size_t end = decoded.find_first_of("\\/", start);
        if (end == AnsiString::npos) end = decoded.size();
        AnsiString part = decoded.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            parts.push_back(part);
        } else if (parts.empty()) {
            return {};  // above the folder: nothing of it is ours to name
        } else {
            parts.pop_back();
        }
    }
    return parts;
}

bool StartsIgnoringCase(const AnsiString& name, const AnsiString& prefix) {
    return name.size() >= prefix.size() && SameNameIgnoringCase(name.substr(0, prefix.size()), prefix);
}

}  // namespace

bool IsUpdatersOwnFile(const AnsiString& local, const AnsiString& programFile) {
    static const char* const kOwn[] = {"update2.dat", "update2.sums",  "update3.dat",   kSignatureFile, kRemovalsFile,
                                       "isp0.dat",    "isp1.dat",      kPublicKeyFile,  kSerialFile,
                                       ".skiff-lock", "upimg",         kUpdaterProgram};
    const std::vector<AnsiString> parts = ResolvedNameParts(local);
    if (parts.empty()) return true;  // the folder itself, or a name we cannot read
    // Only the first part decides: a name below one of them ("update.pub\x")
    // would make a folder where the file belongs.
    const AnsiString& first = parts[0];
    for (const char* own : kOwn)
        if (SameNameIgnoringCase(first, own)) return true;
    // update.log and the older log beside it, update.log.1.
    if (StartsIgnoringCase(first, "update.log")) return true;
    return !programFile.empty() && SameNameIgnoringCase(first, programFile);
}
