// The HTTP session beside curl, against the same nginx on loopback:
//   one 256 MiB file over http and over https (TLS to nginx, a test CA), and
//   2,000 files of 4 KiB over one kept connection.
// Each figure is printed; nothing is judged.
#include <fcntl.h>

#include <filesystem>
#include <fstream>

#include "BenchSupport.h"
#include "HttpDriver.h"
#include "NginxServer.h"

using namespace bench;
using namespace testing_support;

namespace {

// Fetches each name in turn on one session, into a counting sink.
Measured Fetch(const std::string& base, const std::vector<std::string>& names, int64_t& bytes) {
    const double cpu0 = CpuOf(RUSAGE_SELF), t0 = Now();
    HttpDriver d(base, 30000);
    bytes = 0;
    if (!d.Open()) fprintf(stderr, "open failed: %s\n", d.why.c_str());
    for (const std::string& name : names) {
        TFetchSession::TFetch f;
        f.Remote = name;
        f.Sink = [&](const char*, size_t n, AnsiString&) { return bytes += static_cast<int64_t>(n), true; };
        if (!d.Get(f) || d.end != TFetchSession::TEnd::Done) fprintf(stderr, "%s: %s\n", name.c_str(), d.why.c_str());
    }
    return {Now() - t0, CpuOf(RUSAGE_SELF) - cpu0};
}

}  // namespace

int main() {
    TempDir root, work;
    RunCommand("head -c 268435456 /dev/urandom > " + root.file("big.bin"));
    std::vector<std::string> small;
    std::ofstream config(work.file("curl.cfg"));
    for (int i = 0; i < 2000; ++i) {
        small.push_back("s/" + std::to_string(i) + ".bin");
        WriteFile(root.file(small.back()), std::string(4096, static_cast<char>(i)));
    }
    TestCertificates certs;
    const std::string pem = certs.Server("bench", "IP:127.0.0.1,DNS:localhost");
    setenv("SSL_CERT_FILE", certs.ca().c_str(), 1);
    NginxServer nginx(root.path(), {{pem, TestCertificates::KeyOf(pem)}});
    const std::string http = "http://127.0.0.1:" + std::to_string(nginx.port());
    const std::string https = "https://localhost:" + std::to_string(nginx.tlsPort());
    for (const std::string& name : small) config << "url = \"" << http << "/" << name << "\"\noutput = /dev/null\n";
    config.close();

    int64_t bytes = 0;
    for (const std::string& base : {http, https}) {
        Fetch(base, {"big.bin"}, bytes);  // the file in the page cache for both
        const Measured ours = Fetch(base, {"big.bin"}, bytes);
        const Measured curl = RunCommand("curl -s --cacert " + certs.ca() + " -o /dev/null " + base + "/big.bin");
        Report(base.rfind("https", 0) == 0 ? "256 MiB over https" : "256 MiB over http", ours, curl, "curl");
        printf("%-28s skiff %.0f MiB/s, curl %.0f MiB/s (%lld bytes)\n", "", 256 / ours.wall, 256 / curl.wall,
               static_cast<long long>(bytes));
    }
    const Measured ours = Fetch(http, small, bytes);
    const Measured curl = RunCommand("curl -s -K " + work.file("curl.cfg"));
    Report("2000 x 4 KiB, kept", ours, curl, "curl");
    printf("%-28s skiff %.0f files/s, curl %.0f files/s\n", "", 2000 / ours.wall, 2000 / curl.wall);
    return 0;
}
