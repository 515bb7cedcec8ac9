// libFuzzer target: reading a pack directory and a whole extraction into a
// temporary folder. Whatever the bytes, nothing may crash and nothing may be
// written outside that folder.
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
    static const std::string root = [] {
        char tmpl[] = "/tmp/skiff-fuzz-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    std::string app = root + "/app";
    std::filesystem::remove_all(app);
    std::filesystem::create_directories(app);
    std::ofstream(root + "/in.bin", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
    try {
        ExtractPackInto(root + "/in.bin", app + "/");
    } catch (const EInOutError&) {
    }
    for (auto& e : std::filesystem::directory_iterator(root)) {
        std::string name = e.path().filename();
        if (name != "app" && name != "in.bin") abort();  // something escaped the folder
    }
    return 0;
}
