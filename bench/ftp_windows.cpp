// The Windows build's FTP download under Wine, 256 MiB from a pyftpdlib
// server in passive mode, to disk through the component as the updater's
// downloads go; the peer's limit is curl on the host against the same
// server, whose address it prints (run it while the program waits): run
//   scripts/build windows bench_ftp_windows
//   scripts/wine-run build-win/wine-prefix --fresh
//   python3 tests/fixtures/ftpd_launcher.py tests/fixtures/ftpd.py \
//     scripts/wine-run build-win/wine-prefix build-win/bench_ftp_windows.exe
// then, on the host: curl -s -o /dev/null -w '%{speed_download}\n' URL
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FtpServer.h"
#include "TestSupport.h"
#include "net/WexFTP.h"

using namespace testing_support;

int main() {
    const size_t kSize = 256u << 20;
    TempDir root, local;
    WriteFile(root.file("big.bin"), Random(kSize, 11));
    FtpServer server(root.path());
    const std::string url = "ftp://update:x@127.0.0.1:" + std::to_string(server.port()) + "/big.bin";
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.UserID = "update";
    ftp.Password = "x";
    ftp.Passive = true;
    ftp.TimeOut = 30000;
    ftp.Connect();
    for (int run = 0; run < 3; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        ftp.Download("big.bin", local.appFolder() + "big.bin");
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        printf("windows build: %.0f MB/s (%.2f s)\n", kSize / s / 1e6, s);
    }
    ftp.Disconnect();
    printf("for curl on the host, within 60 s: %s\n", url.c_str());
    fflush(stdout);
    PumpUntil([] { return false; }, 60);
    return 0;
}
