// Start-up with 20,000 installed files and nothing to update: the real
// windows run the whole sequence (connect, list, signature, plan) against a
// pyftpdlib server, unsigned and signed; a signed start checks what is
// installed (every file at the first start, then only what changed). Only
// the windows' interface is used, so bench/repair.sh builds this same file
// against an earlier commit too. Needs a display.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "FtpServer.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "crypto/Minisign.h"
#include "crypto/Sha256.h"
#include "platform/Dialogs.h"
#include "platform/Display.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "platform/System.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const int kFiles = 20000;

double checkSeconds = 0;  // of the last start

// Earlier commits, which this file is also built against, had no such check.
template <typename Form>
auto CheckRuns(Form* f) -> decltype(static_cast<bool>(f->Check)) { return static_cast<bool>(f->Check); }
inline bool CheckRuns(...) { return false; }

double OneStart(const std::string& app) {
    for (const char* leftover : {"update3.dat", "update.serial"}) fs::remove(app + "/" + leftover);
    double t0 = bench::Now();
    Form1 = new TForm1(nullptr);
    SetMainForm(Form1);
    Form1->Halt = [] {};
    Form2 = new TForm2(nullptr);
    PostTask([] {
        if (Form2->Modal()) Form2->Image1cMouseDown(Form2->Image1c, mbLeft, 0, 1, 1);
    });
    Form1->FormResize(Form1);
    double t = bench::Now() - t0;
    // A signed start checks what is installed after the plan, while the
    // window is live; it runs to its end before the next start.
    while (CheckRuns(Form1)) EventLoop::WaitForEvent(0.01);
    checkSeconds = bench::Now() - t0 - t;
    if (Form1->ListBox1->Items.Count() != 0) fprintf(stderr, "the plan is not empty: %d\n", Form1->ListBox1->Items.Count());
    delete Form2;
    delete Form1;
    Form1 = nullptr;
    Form2 = nullptr;
    return t;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    TempDir app, pub;
    fs::copy(SKIFF_ASSETS_DIR "/upimg", app.file("upimg"));
    std::string list = "skiff-release 7 codepage=65001\r\n", installed = "KOVRAN\r\n";
    for (int i = 0; i < kFiles; ++i) {
        const std::string local = "data" + std::to_string(i % 100) + "\\f" + std::to_string(i) + ".bin";
        const std::string bytes(1024 + i % 3000, static_cast<char>('a' + i % 26));
        WriteFile(app.file("data" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".bin"), bytes);
        const std::string sha = Sha256Of(bytes);
        list += "O r" + std::to_string(i) + " " + local + " 7 " + std::to_string(bytes.size()) + " " + sha + " 0644 " +
                sha + "\r\n";
        installed += local + " 7\r\n";
    }
    WriteFile(pub.file("update3.dat"), list);
    WriteFile(app.file("update2.dat"), installed);
    TSecretKey key;
    GenerateKey(key);
    WriteFile(pub.file("update3.dat.minisig"), SignMessage(key, list, "serial:1\tcodepage:65001"));
    FtpServer server(pub.path());
    WriteFile(app.file("isp0.dat"), "S 127.0.0.1 " + std::to_string(server.port()) + " 3000 update\r\nend\r\n");
    OpenDisplay();
    SetApplicationFolderForTesting(app.appFolder());
    SetDialogHook([](TDialogKind, const AnsiString& text) {
        fprintf(stderr, "box: %s\n", text.c_str());
        return false;
    });

    std::vector<double> unsignedStarts, cold, warm;
    for (int round = 0; round < 5; ++round) unsignedStarts.push_back(OneStart(app.path()));
    WriteFile(app.file("update.pub"), PublicKeyText(key));
    cold.push_back(OneStart(app.path()));
    const double coldCheck = checkSeconds;
    std::vector<double> checks;
    for (int round = 0; round < 5; ++round) {
        warm.push_back(OneStart(app.path()));
        checks.push_back(checkSeconds);
    }
    printf("start with %d installed files, nothing to update, median of 5:\n", kFiles);
    printf("  unsigned                                  %.3f s\n", Median(unsignedStarts));
    printf("  signed, first start                       %.3f s, then checking every file %.3f s\n", cold[0], coldCheck);
    printf("  signed, later starts                      %.3f s, then checking them %.3f s\n", Median(warm),
           Median(checks));
    return 0;
}
