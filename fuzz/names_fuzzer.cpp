// libFuzzer target: local names as a list's install and removal entries give
// them (one a line, the first byte choosing the names' code page), through
// the safe-name check, the own-file check and the plan's removals. Nothing
// may crash; no name that the checks let through may reach above the
// folder or resolve onto one of the updater's own files there, and no
// removal may be planned for one.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/Removals.h"
#include "crypto/Sha256.h"
#include "platform/FileSystem.h"
#include "platform/System.h"
#include "release/OwnFiles.h"

namespace {

const char kContent[] = "x";

// The folder holds every own file with the same one-byte content, so that a
// removal naming any of them with that size and SHA-256 would be planned if
// the own-file check let it through.
struct TFolder {
    std::string root, app;
    std::set<std::pair<dev_t, ino_t>> own;
    TFolder() {
        char tmpl[] = "/tmp/skiff-fuzz-names-XXXXXX";
        root = mkdtemp(tmpl);
        app = root + "/app";
        std::filesystem::create_directories(app + "/upimg");
        for (const char* name : {"skiff", "isp0.dat", "isp1.dat", "update2.dat", "update2.sums", "update3.dat",
                                 "update3.dat.minisig", "update.pub", "update.serial", "update.log", "update.log.1",
                                 ".skiff-lock", "upimg/0c.jpg"})
            Add(name);
        Add(ProgramFileName());
        std::ofstream(root + "/outside", std::ios::binary) << kContent;
        SetApplicationFolderForTesting(SystemPathFromNative(app + "/"));
    }
    void Add(const std::string& name) {
        std::ofstream(app + "/" + name, std::ios::binary) << kContent;
        struct stat st;
        if (stat((app + "/" + name).c_str(), &st) == 0) own.insert({st.st_dev, st.st_ino});
    }
    // The file a native path reaches, and whether it lies in the folder.
    bool ReachesOwnOrOutside(const std::string& native) const {
        struct stat st;
        if (stat(native.c_str(), &st) != 0) return false;  // names nothing that exists
        if (own.count({st.st_dev, st.st_ino})) return true;
        std::error_code err;
        std::string real = std::filesystem::weakly_canonical(native, err).string();
        return err || real.compare(0, app.size() + 1, app + "/") != 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TFolder folder;
    if (size == 0) return 0;
    static const int kCodePages[] = {0, 950, 936, 1252, 65001};
    SetNameCodePage(kCodePages[data[0] % 5]);
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const AnsiString appFolder = SystemPathFromNative(folder.app + "/");
    const std::string sha = Sha256Of(AnsiString(kContent));
    std::vector<AnsiString> remote{"skiff-release 1"};
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const AnsiString name = input.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name.find(' ') != AnsiString::npos) continue;
        IsUpdatersOwnFile(name, ProgramFileName());
        if (IsSafeRelativeName(name) && !IsUpdatersOwnFile(name, ProgramFileName()) &&
            folder.ReachesOwnOrOutside(NativePath(appFolder + name)))
            abort();  // a name that passed both checks reaches what it must not
        remote.push_back("D - " + name + " 1 " + sha);
    }
    TUpdatePlan plan;
    PlanRemovals(remote, appFolder, plan);
    for (const AnsiString& name : plan.Names)
        if (folder.ReachesOwnOrOutside(NativePath(appFolder + name))) abort();  // planned for removal
    SetNameCodePage(0);
    return 0;
}
