// libFuzzer target: reading a pack directory and a whole extraction into a
// temporary folder. Whatever the bytes, nothing may crash, nothing may be
// written outside that folder, and the updater's own files in it stay.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "release/PackArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= static_cast<size_t>(kPackBlockSize)) {
        try {
            ReadPackDirectory(reinterpret_cast<const char*>(data) + size - kPackBlockSize, size);
        } catch (const EInOutError&) {
        }
    }
    // The folder sits four canary folders below the fuzzer's own, and all
    // five must hold nothing else: a name that climbs out (..\x, ..\..\x, up
    // to five levels) lands in one of them.
    static const std::string root = [] {
        char tmpl[] = "/tmp/skiff-fuzz-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    const std::string app = root + "/1/2/3/4/app";
    std::filesystem::remove_all(app);
    std::filesystem::create_directories(app);
    std::ofstream(root + "/in.bin", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
    std::ofstream(app + "/update.pub", std::ios::binary) << "own";
    try {
        ExtractPackInto(root + "/in.bin", app + "/");
    } catch (const EInOutError&) {
    }
    std::string own;
    std::getline(std::ifstream(app + "/update.pub", std::ios::binary), own);
    if (own != "own") abort();  // a member replaced one of the updater's own files
    for (auto e = std::filesystem::recursive_directory_iterator(root); e != decltype(e)(); ++e) {
        const std::string name = std::filesystem::relative(e->path(), root);
        if (name == "1/2/3/4/app") e.disable_recursion_pending();
        else if (name != "in.bin" && name != "1" && name != "1/2" && name != "1/2/3" && name != "1/2/3/4")
            abort();  // something escaped the folder
    }
    return 0;
}
