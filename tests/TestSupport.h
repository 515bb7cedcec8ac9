// Helpers shared by the tests: temporary folders, bounded waits, small files.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/FileSystem.h"

namespace testing_support {

// A fresh folder under /tmp (the user's temporary folder on Windows, with
// slashes), removed with everything in it at the end.
class TempDir {
public:
#ifdef _WIN32
    TempDir() {
        std::random_device seed;
        std::mt19937_64 random(seed() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        for (;;) {
            auto candidate = std::filesystem::temp_directory_path() / ("skiff-test-" + std::to_string(random() % 1000000000));
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate.generic_string();
                return;
            }
        }
    }
#else
    TempDir() {
        char tmpl[] = "/tmp/skiff-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
#endif
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    // The folder as the updater names folders: backslashes, trailing separator.
    std::string appFolder() const {
        std::string p = path_ + "/";
        for (char& c : p) if (c == '/') c = '\\';
        return p;
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Reproducible bytes that do not compress.
inline std::string Random(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}
inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Our temporaries below a folder (there should be none once an entry is
// done); with `partials`, the partial downloads too.
inline std::vector<std::string> Temporaries(const std::string& root, bool partials = false) {
    std::vector<std::string> found;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = e.path().filename().string();
        if (IsTemporaryName(name) || (partials && name.find(kPartialMarker) != std::string::npos))
            found.push_back(e.path().string());
    }
    return found;
}

// The remote name under which the release published in `pub` serves `local`
// (served names follow the files' bytes); empty when the list lacks it.
inline std::string ServedName(const std::string& pub, const std::string& local) {
    std::istringstream lines(ReadFile(pub + "/update3.dat"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind, remote, name;
        if (words >> kind >> remote >> name && name == local) return remote;
    }
    return "";
}

// Pumps the event loop until `done` holds or `seconds` pass; a broken test
// fails instead of hanging.
inline bool PumpUntil(const std::function<bool()>& done, double seconds = 5.0) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        EventLoop::WaitForEvent(0.05);
    }
    return true;
}

inline double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace testing_support
