#include "ReleaseHistory.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/StringList.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "release/DeltaFormat.h"
#include "release/LineFields.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"

std::vector<TReleaseList> ReleaseLists(const AnsiString& outDir) {
    std::vector<TReleaseList> lists;
    const AnsiString folder = outDir + "/" + kReleasesFolder;
    DIR* d = opendir(folder.c_str());
    if (!d) return lists;
    while (dirent* e = readdir(d)) {
        AnsiString n = e->d_name;
        const AnsiString suffix = ".update3.dat";
        if (n.size() != 6 + suffix.size() || n.compare(6, AnsiString::npos, suffix) != 0) continue;
        if (n.find_first_not_of("0123456789") != 6) continue;
        lists.push_back({atoi(n.substr(0, 6).c_str()), folder + "/" + n});
    }
    closedir(d);
    std::sort(lists.begin(), lists.end(), [](const TReleaseList& a, const TReleaseList& b) { return a.Number < b.Number; });
    return lists;
}

AnsiString ReleaseListName(int number) {
    char b[40];
    snprintf(b, sizeof b, "%s/%06d.update3.dat", kReleasesFolder, number);
    return b;
}

std::vector<AnsiString> ServedNamesOf(const AnsiString& listText) {
    TStringList lines;
    lines.SetText(listText);
    std::vector<AnsiString> names;
    TRemovalsFile removals;
    if (lines.Count() > 0 && DeclaredRemovalsFile(lines[0], removals)) names.push_back(removals.Name);
    for (int i = 1; i < lines.Count(); ++i) {
        AnsiString kind = GetField(1, lines[i]), remote = GetField(2, lines[i]);
        if (IsKnownKind(kind) && !remote.empty()) names.push_back(remote);
    }
    return names;
}

std::vector<std::pair<AnsiString, int64_t>> DeltaServedFilesIn(const AnsiString& folder, const AnsiString& listText) {
    std::vector<std::pair<AnsiString, int64_t>> files;
    TDeltaManifestFile named;
    if (!DeclaredDeltaManifest(listText.substr(0, listText.find_first_of("\r\n")), named)) return files;
    files.push_back({named.Name, named.Size});
    TDeltaManifest manifest;
    AnsiString problem;
    try {
        const AnsiString text = ReadWholeFile(SystemPathFromNative(folder + "/" + named.Name), kMaxDeltaManifestBytes);
        if (Sha256Of(text) != named.Sha256 || !DecodeDeltaManifest(text, manifest, problem)) return files;
    } catch (const EInOutError&) {
        return files;
    }
    for (const auto& index : manifest.Indexes) files.push_back({index.second.Name, index.second.Size});
    for (const TChunkFileRef& f : manifest.ChunkFiles) files.push_back({f.Name, f.Size});
    return files;
}

std::vector<AnsiString> ServedNamesIn(const AnsiString& folder, const AnsiString& listText) {
    std::vector<AnsiString> names = ServedNamesOf(listText);
    for (const auto& file : DeltaServedFilesIn(folder, listText)) names.push_back(file.first);
    return names;
}
