// An update-list installer on a temporary application folder, with a
// download function that copies from a temporary "server" folder.
#pragma once
#include "TestSupport.h"
#include "app/UpdateRun.h"
#include "gzip/Gzip.h"
#include "platform/FileSystem.h"

namespace testing_support {


// A download that copies the requested file from the folder `server` and
// feeds its bytes to the installer; each name asked for goes to `fetched`.
inline std::function<TDownloadResult(const TDownloadRequest&)> CopyFrom(const std::string& server,
                                                                       std::vector<std::string>* fetched = nullptr) {
    return [server, fetched](const TDownloadRequest& r) -> TDownloadResult {
        if (fetched) fetched->push_back(r.Remote);
        std::string data = ReadFile(server + "/" + r.Remote);
        WriteWholeFile(r.LocalPath, data);
        if (r.Sink) r.Sink(data.data(), data.size());
        return {static_cast<int64_t>(data.size()), false};
    };
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
        installer.Download = CopyFrom(server.path(), &fetched);
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
