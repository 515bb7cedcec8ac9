#include "Prune.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "release/LineFields.h"
#include "release/ReleaseCheck.h"
#include "release/RemovalsFile.h"
#include "release/UpdateEntry.h"

namespace {

// Never files to remove, whatever a list names: the served list and its
// signature, the publisher's bookkeeping and the history itself.
bool IsProtected(const AnsiString& name) {
    return name == kListFile || name == kSignatureFile || name == kReleaseSums || name == kInstalledSums ||
           name == kReleasesFolder;
}

std::vector<AnsiString> RegularFilesIn(const AnsiString& folder) {
    std::vector<AnsiString> names;
    DIR* d = opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        AnsiString name = e->d_name;
        struct stat st;
        if (name == "." || name == "..") continue;
        if (lstat((folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TPruneChoice ChoosePrune(const std::vector<TPublishedList>& lists, size_t keep,
                         const std::vector<AnsiString>& present, const std::vector<AnsiString>& alsoKeep) {
    std::vector<const TPublishedList*> byAge;
    for (const TPublishedList& l : lists) byAge.push_back(&l);
    std::sort(byAge.begin(), byAge.end(), [](auto a, auto b) { return a->Name < b->Name; });
    const size_t firstKept = byAge.size() > keep ? byAge.size() - keep : 0;
    TPruneChoice choice;
    std::set<AnsiString> kept(alsoKeep.begin(), alsoKeep.end()), ours;
    for (size_t i = 0; i < byAge.size(); ++i) {
        ours.insert(byAge[i]->Served.begin(), byAge[i]->Served.end());
        if (i >= firstKept)
            kept.insert(byAge[i]->Served.begin(), byAge[i]->Served.end());
        else
            choice.Lists.push_back(byAge[i]->Name);
    }
    for (const AnsiString& name : std::set<AnsiString>(present.begin(), present.end()))
        if (ours.count(name) && !kept.count(name) && !IsProtected(name)) choice.Files.push_back(name);
    return choice;
}

std::vector<TServedEntry> ServedEntriesOf(const AnsiString& listText) {
    TStringList lines;
    lines.SetText(listText);
    std::vector<TServedEntry> entries;
    std::set<AnsiString> seen;
    TRemovalsFile removals;
    if (lines.Count() > 0 && DeclaredRemovalsFile(lines[0], removals)) {
        entries.push_back({removals.Name, removals.Size, 0, removals.Sha256});
        seen.insert(removals.Name);
    }
    for (int i = 1; i < lines.Count(); ++i) {
        TServedEntry entry;
        entry.Line = i;
        try {
            TUpdateEntry e = ParseUpdateEntry(lines[i]);
            if (!IsKnownKind(e.Kind)) continue;
            entry.Name = e.Remote;
            entry.Size = e.Size;
            entry.Sha256 = e.Sha256;
        } catch (const EConvertError&) {
            // A broken size still names its file.
            entry.Name = GetField(2, lines[i]);
        }
        if (seen.insert(entry.Name).second) entries.push_back(entry);
    }
    return entries;
}

std::vector<TPublishedList> ReadHistory(const AnsiString& outDir) {
    std::vector<TPublishedList> lists;
    AnsiString newestText;
    for (const TReleaseList& l : ReleaseLists(outDir)) {
        newestText = ReadWholeFile(SystemPathFromNative(l.Path));
        lists.push_back({l.Path.substr(l.Path.rfind('/') + 1), ServedNamesIn(outDir, newestText)});
    }
    const AnsiString folder = outDir + "/" + kReleasesFolder;
    if (lists.empty()) throw Exception(folder + ": no release lists (a folder published without its history?)");
    if (newestText != ReadWholeFile(SystemPathFromNative(outDir + "/" + kListFile)))
        throw Exception(folder + "/" + lists.back().Name + " is not the folder's " + kListFile +
                        ": the history is out of step; publish again before pruning");
    return lists;
}

TFolderPrune PruneFolder(const AnsiString& outDir, size_t keep, bool dryRun) {
    std::vector<TPublishedList> lists = ReadHistory(outDir);
    TFolderPrune result;
    result.Removed = ChoosePrune(lists, keep, RegularFilesIn(outDir),
                                 ServedNamesIn(outDir, ReadWholeFile(SystemPathFromNative(outDir + "/" + kListFile))));
    for (const AnsiString& name : result.Removed.Files) {
        const AnsiString path = outDir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) result.Bytes += st.st_size;
        if (!dryRun && unlink(path.c_str()) != 0) throw Exception(path + ": could not be removed: " + strerror(errno));
    }
    for (const AnsiString& name : result.Removed.Lists) {
        const AnsiString path = outDir + "/" + kReleasesFolder + "/" + name;
        if (!dryRun && unlink(path.c_str()) != 0) throw Exception(path + ": could not be removed: " + strerror(errno));
    }
    return result;
}
