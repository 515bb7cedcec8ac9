// Benchmarks of the network and file components beside standard tools.
//   bench_transfers ftp       Download of 512 MiB from pyftpdlib in active mode, beside curl
//   bench_transfers gzip      Decompress of a 256 MiB gzip file, beside gzip -dc
//   bench_transfers pack      ExtractPack of a 100-member 200 MiB archive, beside cp
//   bench_transfers longline  peak RSS while a server sends a 256 MiB reply line without a line end
//   bench_transfers silent    CPU while the FTP login waits 5 s on a server that never greets
//   bench_transfers modes     passive against active: 2000 small files and 512 MiB from vsftpd
//   bench_transfers resume    300 MiB cut at 30%, 60% and 90% and resumed, beside one unbroken download
// Each figure is printed; nothing is judged.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "FtpServer.h"
#include "VsftpdServer.h"
#include "release/PackArchive.h"
#include "gzip/Gzip.h"
#include "net/WexFTP.h"

using namespace bench;

namespace {

const std::string kDir = "/tmp/skiff-bench";

void Ftp() {
    std::filesystem::create_directories(kDir + "/ftproot");
    RunCommand("head -c 536870912 /dev/urandom > " + kDir + "/ftproot/big.bin");
    testing_support::FtpServer server(kDir + "/ftproot");  // stopped when it goes
    int port = server.port();
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = "update";
    ftp.Password = "x";
    ftp.TimeOut = 60000;
    ftp.Connect();
    double cpu0 = CpuOf(RUSAGE_THREAD), t0 = Now();
    ftp.Download("big.bin", kDir + "/ftp.bin");
    Measured ours{Now() - t0, CpuOf(RUSAGE_THREAD) - cpu0};
    ftp.Disconnect();
    Measured theirs = RunCommand("curl -s -P 127.0.0.1 ftp://update:x@127.0.0.1:" + std::to_string(port) +
                                 "/big.bin -o " + kDir + "/curl.bin");
    Report("FTP download 512 MiB", ours, theirs, "curl");
    printf("  throughput ratio skiff/curl %.2f (target >= 0.9); cpu ratio %.2f (target <= 1.5); peak RSS %ld KiB (target < 40 MiB)\n",
           theirs.wall / ours.wall, ours.cpu / theirs.cpu, PeakRssKiB());
}

void Gzip() {
    RunCommand("(head -c 134217728 /dev/urandom; yes 'skiff benchmark line' | head -c 134217728) | gzip -1 > " + kDir + "/big.gz");
    TGzip gz(nullptr);
    gz.WindowOnError = false;
    gz.FileSource = kDir + "/big.gz";
    gz.FileDestination = kDir + "/gunzip-skiff.bin";
    double cpu0 = CpuOf(RUSAGE_THREAD), t0 = Now();
    gz.Decompress();
    Measured ours{Now() - t0, CpuOf(RUSAGE_THREAD) - cpu0};
    Measured theirs = RunCommand("gzip -dc " + kDir + "/big.gz > " + kDir + "/gunzip-gzip.bin");
    Report("Decompress 256 MiB", ours, theirs, "gzip -dc");
    printf("  time ratio %.2f (target <= 1.15)\n", ours.wall / theirs.wall);
}

void Pack() {
    std::string member(2 << 20, 'm');
    TPackWriter w;
    for (int i = 0; i < 100; ++i) w.AddBuffer("data\\m" + std::to_string(i) + ".bin", member);
    w.Write(kDir + "/pack.bin");
    std::filesystem::remove_all(kDir + "/packout");
    std::filesystem::create_directories(kDir + "/packout");
    RunCommand("sync");
    double cpu0 = CpuOf(RUSAGE_THREAD), t0 = Now();
    ExtractPackInto(kDir + "/pack.bin", kDir + "/packout/");
    Measured ours{Now() - t0, CpuOf(RUSAGE_THREAD) - cpu0};
    Measured theirs = RunCommand("cp " + kDir + "/pack.bin " + kDir + "/pack-copy.bin");
    Report("ExtractPack 100 x 2 MiB", ours, theirs, "cp");
    printf("  time ratio %.2f (target <= 1.3)\n", ours.wall / theirs.wall);
}

void LongLine() {
    int port;
    int l = ListenLoopback(port);
    std::thread server([l] {
        int fd = ::accept(l, nullptr, nullptr);
        std::vector<char> chunk(1 << 16, 'x');
        memcpy(chunk.data(), "220 ", 4);
        for (size_t left = 256u << 20; left > 0;) {
            ssize_t n = ::send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
            if (n <= 0) break;
            left -= n;
            chunk[0] = 'x';
        }
        ::close(fd);
    });
    long before = PeakRssKiB();
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = "u";
    ftp.Password = "p";
    ftp.TimeOut = 30000;
    double t0 = Now();
    try {
        ftp.Connect();
    } catch (const std::exception&) {
    }
    double wall = Now() - t0;
    server.join();
    ::close(l);
    printf("256 MiB reply line without a line end: read and dropped in %.2f s, peak RSS %ld KiB (before %ld KiB;"
           " target < 40 MiB)\n", wall, PeakRssKiB(), before);
}

void Silent() {
    int port;
    int l = ListenLoopback(port);  // accepts into its backlog, never greets
    TWexFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = "u";
    ftp.Password = "p";
    ftp.TimeOut = 5000;
    double cpu0 = CpuOf(RUSAGE_THREAD), t0 = Now();
    try {
        ftp.Connect();
    } catch (const std::exception&) {
    }
    double wall = Now() - t0, cpu = CpuOf(RUSAGE_THREAD) - cpu0;
    ::close(l);
    printf("FTP login on a silent server: ends after %.2f s (time-out 5 s), cpu %.4f s = %.3f%% of a core"
           " (target < 1%%)\n", wall, cpu, 100 * cpu / wall);
}

TWexFTP* Connected(TWexFTP& ftp, int port, const char* user) {
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = user;
    ftp.Password = "x";
    ftp.TimeOut = 60000;
    ftp.Connect();
    return &ftp;
}

void Modes() {
    if (!testing_support::VsftpdServer::Available()) {
        fprintf(stderr, "vsftpd is not installed\n");
        return;
    }
    std::filesystem::create_directories(kDir + "/vsroot");
    RunCommand("head -c 536870912 /dev/urandom > " + kDir + "/vsroot/big.bin");
    for (int i = 0; i < 2000; ++i) {
        std::ofstream f(kDir + "/vsroot/s" + std::to_string(i) + ".txt");
        f << std::string(2048, static_cast<char>('a' + i % 26));
    }
    testing_support::VsftpdServer server(kDir + "/vsroot");
    std::filesystem::create_directories(kDir + "/modes");
    double small[2] = {0, 0}, big[2] = {0, 0};
    for (int round = 0; round < 2; ++round) {
        for (int passive = 0; passive < 2; ++passive) {
            TWexFTP ftp(nullptr);
            Connected(ftp, server.port(), "anonymous")->Passive = passive;
            double t0 = Now();
            for (int i = 0; i < 2000; ++i) ftp.Download("s" + std::to_string(i) + ".txt", kDir + "/modes/s.txt");
            small[passive] += Now() - t0;
            t0 = Now();
            ftp.Download("big.bin", kDir + "/modes/big.bin");
            big[passive] += Now() - t0;
        }
    }
    printf("vsftpd, 2000 files of 2 KiB: active %.2f s, passive %.2f s (passive/active %.2f; target <= 1.1)\n",
           small[0] / 2, small[1] / 2, small[1] / small[0]);
    printf("vsftpd, 512 MiB: active %.2f s, passive %.2f s (passive/active %.2f; target <= 1.1)\n", big[0] / 2,
           big[1] / 2, big[1] / big[0]);
}

void Resume() {
    const int64_t size = 300ll << 20;
    std::filesystem::create_directories(kDir + "/resroot");
    RunCommand("head -c " + std::to_string(size) + " /dev/urandom > " + kDir + "/resroot/big.bin");
    const std::string cuts = std::to_string(size * 3 / 10) + "," + std::to_string(size * 6 / 10) + "," +
                             std::to_string(size * 9 / 10);
    testing_support::FtpServer broken(kDir + "/resroot", "update", "x", {"--drop-at", cuts, "--log", kDir + "/resume.log"});
    testing_support::FtpServer whole(kDir + "/resroot");
    TWexFTP a(nullptr), b(nullptr);
    Connected(b, whole.port(), "update")->Passive = true;
    double t0 = Now();
    b.Download("big.bin", kDir + "/whole.bin");
    double unbroken = Now() - t0;

    Connected(a, broken.port(), "update")->Passive = true;
    a.ExpectedSize = size;
    int64_t received = 0;
    int tries = 0;
    t0 = Now();
    for (int64_t have = 0; have < size && tries < 10; ++tries) {
        a.RestartAt = have;
        try {
            a.Download("big.bin", kDir + "/resumed.bin");
        } catch (const std::exception&) {
        }
        received += a.TransferSize;
        have = std::filesystem::file_size(kDir + "/resumed.bin");
    }
    double resumed = Now() - t0;
    bool same = system(("cmp -s " + kDir + "/resumed.bin " + kDir + "/resroot/big.bin").c_str()) == 0;
    printf("300 MiB cut at 30%%, 60%%, 90%%: %d tries, received %.4f of the size (target <= 1.01), %.2f s against "
           "%.2f s unbroken (%.2f; target <= 1.2), file %s\n",
           tries, double(received) / size, resumed, unbroken, resumed / unbroken, same ? "whole" : "DIFFERENT");
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::filesystem::create_directories(kDir);
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "ftp") Ftp();
    else if (what == "gzip") Gzip();
    else if (what == "pack") Pack();
    else if (what == "longline") LongLine();
    else if (what == "silent") Silent();
    else if (what == "modes") Modes();
    else if (what == "resume") Resume();
    else {
        fprintf(stderr, "usage: bench_transfers ftp|gzip|pack|longline|silent|modes|resume\n");
        return 2;
    }
    return 0;
}
