// The updater's run with a release published --delta, against a local
// pyftpdlib mirror: a player on the release before (a 200 MiB file with 64
// overwrites of 16 KiB and a 1 MiB insertion) beside a player who lacks
// the file and fetches it whole, and beside zstd --patch-from's patch of
// the same change. Prints the bytes the mirror sent and the run's time.
//   bench_delta_run WORK_DIR [MiB]
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "BenchSupport.h"
#include "DeltaSupport.h"
#include "FtpServer.h"
#include "app/UpdateLog.h"
#include "app/UpdatePlan.h"
#include "app/UpdateRunner.h"
#include "crypto/Sha256.h"
#include "publish/Publisher.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

int64_t SentBytes(const std::string& log) {
    int64_t n = 0;
    std::istringstream in(ReadFile(log));
    for (std::string kind, name, bytes; in >> kind;) {
        if (kind == "SENT" && in >> name >> bytes && name.find("update3.dat") == std::string::npos) n += std::stoll(bytes);
        std::getline(in, kind);
    }
    return n;
}

// One run of the updater for a player holding `held` (empty: nothing).
void Player(const char* label, const std::string& work, const std::string& pub, const std::string& r1,
            const std::string& held, const std::string& expected, const std::string& rate = "0") {
    const std::string app = work + "/app", log = work + "/ftp.log";
    fs::remove_all(app);
    fs::remove(log);
    fs::create_directories(app);
    std::string record = "KOVRAN\r\n";
    if (!held.empty()) {
        fs::copy_file(held, app + "/big.bin");
        std::istringstream lines(ReadFile(r1 + "/update3.dat"));
        std::string line;
        for (std::getline(lines, line); std::getline(lines, line);) {
            TUpdateEntry e = ParseUpdateEntry(line.substr(0, line.find('\r')));
            record += e.Local + " " + e.Version + "\r\n";
        }
    }
    WriteFile(app + "/update2.dat", record);
    WriteFile(app + "/update3.dat", ReadFile(pub + "/update3.dat"));
    std::string folder = app + "/";
    std::replace(folder.begin(), folder.end(), '/', '\\');
    UpdateLog::Open(folder);
    TStringList installed, remote, entries;
    installed.LoadFromFile(folder + "update2.dat");
    if (held.empty()) installed.Add("");
    remote.LoadFromFile(folder + "update3.dat");
    for (const AnsiString& e : BuildUpdatePlan(remote.Lines(), installed.Lines()).Entries) entries.Add(e);
    FtpServer ftp(pub, "update", "x", {rate, "--log", log});
    TUpdateRunner run;
    run.Servers = {"S 127.0.0.1 " + std::to_string(ftp.port()) + " 5000 update"};
    run.CurrentServerLine = run.Servers[0];
    run.AppFolder = folder;
    run.ListHeader = remote[0];
    run.PlanListSha = Sha256Of(ReadFile(app + "/update3.dat"));
    run.Installed = &installed;
    const double start = bench::Now(), cpu = CpuSeconds();
    run.Run(entries);
    const double seconds = bench::Now() - start, used = CpuSeconds() - cpu;
    ftp.Stop();
    const bool same = ReadFile(app + "/big.bin") == expected;
    printf("%-34s %11lld bytes sent, %6.2f s, %5.2f s CPU%s\n", label, static_cast<long long>(SentBytes(log)),
           seconds, used, same ? "" : "  FAILED: the file differs");
    std::istringstream said(ReadFile(app + "/update.log"));
    for (std::string line; std::getline(said, line);)
        if (line.find("delta form") != std::string::npos) printf("    %s\n", line.substr(20).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: bench_delta_run WORK_DIR [MiB]\n");
        return 2;
    }
    const std::string work = argv[1];
    const size_t mib = argc > 2 ? std::stoul(argv[2]) : 200;
    fs::remove_all(work);
    std::string bytes = BaseBytes(mib << 20);
    std::mt19937_64 random(1001);
    for (int k = 1; k <= 2; ++k) {
        if (k == 2) {
            for (int i = 0; i < 64; ++i) bytes.replace(random() % (bytes.size() - (16 << 10)), 16 << 10, Random(16 << 10, i));
            bytes.insert(bytes.size() / 2, Random(1 << 20, 77));
        }
        WriteFile(work + "/src" + std::to_string(k) + "/big.bin", bytes);
        TPublishOptions o;
        o.ReleaseDir = work + "/src" + std::to_string(k);
        o.OutDir = work + "/r" + std::to_string(k);
        o.Version = std::to_string(100 + k);
        o.CodePage = 65001;
        o.Delta = true;
        if (k == 2) o.Previous = work + "/r1";
        Publish(o);
    }
    const std::string old = work + "/src1/big.bin", now = work + "/src2/big.bin";
    printf("a %zu MiB file, 64 overwrites of 16 KiB and a 1 MiB insertion, from pyftpdlib on 127.0.0.1:\n", mib);
    Player("player on release 1 (delta)", work, work + "/r2", work + "/r1", old, bytes);
    Player("player without the file (full)", work, work + "/r2", work + "/r1", "", bytes);
    printf("the same from a mirror sending 20 MB/s per transfer:\n");
    Player("player on release 1 (delta)", work, work + "/r2", work + "/r1", old, bytes, "20000000");
    Player("player without the file (full)", work, work + "/r2", work + "/r1", "", bytes, "20000000");
    const std::string command = "zstd -q -f --long=31 -3 --patch-from=" + old + " " + now + " -o " + work + "/patch.zst";
    struct stat st;
    if (system(command.c_str()) == 0 && stat((work + "/patch.zst").c_str(), &st) == 0)
        printf("%-34s %11lld bytes\n", "zstd --patch-from (--long=31 -3)", static_cast<long long>(st.st_size));
    fs::remove_all(work);
    return 0;
}
