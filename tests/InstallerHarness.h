// An update-list installer on a temporary application folder, with a
// download function that copies from a temporary "server" folder.
#pragma once
#include "TestSupport.h"
#include "app/UpdateRun.h"
#include "gzip/Gzip.h"
#include "platform/FileSystem.h"

namespace testing_support {

// Our temporaries below a folder (there should be none once an entry is done).
inline std::vector<std::string> Temporaries(const std::string& root) {
    std::vector<std::string> found;
    for (auto& e : std::filesystem::recursive_directory_iterator(root))
        if (IsTemporaryName(e.path().filename().string())) found.push_back(e.path().string());
    return found;
}


struct Installer {
    TempDir app, server;
    TStringList installed;
    TEntryInstaller installer;
    std::vector<std::string> fetched;

    Installer() {
        installed.SetText("KOVRAN\r\na.dll 6\r\n");
        installer.AppFolder = app.appFolder();
        installer.Installed = &installed;
        installer.Download = [this](const TDownloadRequest& r) -> TDownloadResult {
            fetched.push_back(r.Remote);
            std::string data = ReadFile(server.file(r.Remote));
            WriteWholeFile(r.LocalPath, data);
            if (r.Sink) r.Sink(data.data(), data.size());
            return {static_cast<int64_t>(data.size()), false};
        };
    }
    std::string Gzipped(const std::string& name, const std::string& data) {
        WriteFile(server.file(name + ".raw"), data);
        TGzip g(nullptr);
        g.WindowOnError = false;
        g.FileSource = SystemPathFromNative(server.file(name + ".raw"));
        g.FileDestination = SystemPathFromNative(server.file(name));
        EXPECT_EQ(g.Compress(), 0);
        return std::to_string(ReadFile(server.file(name)).size());
    }
};


}  // namespace testing_support
