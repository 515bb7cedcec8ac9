// The updater's entry point: one instance only, then the main window and the
// server dialog, then the message loop until the main window closes.
#include <getopt.h>

#include <cstdio>

#include "Copyright.h"
#include "app/Pictures.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "app/Unattended.h"
#include "app/UpdateLog.h"
#include "crypto/Sha256.h"
#include "platform/CommandLine.h"
#include "platform/Display.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/SingleInstance.h"
#include "platform/System.h"

namespace {

const char kUsage[] =
    "usage: skiff [--repair] [--unattended [--no-window]] [--help] [--version]\n"
    "Other arguments (as desktop launchers pass) are ignored.\n"
    "\n"
    "Brings the client installed in this program's folder in step with its FTP mirrors\n"
    "(isp0.dat), then starts the client's launcher (portal.exe 1). Run it from the\n"
    "client's own folder; see skiff(1) and skiff-files(5).\n"
    "\n"
    "  --repair   with a release key (update.pub), check every installed file against the\n"
    "             signed list again, not only those that changed since the last check\n"
    "  --unattended  no click and no box: the saved server choice, the update, then the\n"
    "             launch when nothing failed; the window shows the progress, the log the rest\n"
    "  --no-window   with --unattended: no window and no display at all; the log tells\n"
    "\n"
    "Exit status: 0 after the launch or a confirmed exit, 2 for a bad command line,\n"
    "3 when no server could be used, 4 when the update left files not installed,\n"
    "5 when the launcher could not be started.\n";

// --help, --version, --repair, --unattended and --no-window: the updater takes
// everything else from its folder's data files. The first two and the last
// need no display.
bool gRepair = false, gUnattended = false, gNoWindow = false;
AnsiString gIgnored;  // the arguments that are not options

void ReadCommandLine(int argc, char** argv) {
    static const option options[] = {{"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'v'},
                                     {"repair", no_argument, nullptr, 'r'},
                                     {"unattended", no_argument, nullptr, 'u'},
                                     {"no-window", no_argument, nullptr, 'w'},
                                     {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        switch (c) {
            case 'h': fputs(kUsage, stdout); exit(0);
            case 'v': printf("skiff %s\n%s\n", SKIFF_VERSION, kCopyright); exit(0);
            case 'r': gRepair = true; break;
            case 'u': gUnattended = true; break;
            case 'w': gNoWindow = true; break;
            default:
                fprintf(stderr, "skiff: %s\nTry 'skiff --help'.\n", OptionMistake(c, argv).c_str());
                exit(2);
        }
    }
    // Desktop launchers and session managers pass words of their own
    // (%U, a file, a session id): the updater reads none, and notes them.
    for (int i = optind; i < argc; ++i) gIgnored += AnsiString(gIgnored.empty() ? "" : " ") + "'" + argv[i] + "'";
}

// One updater per user and application folder: another game's updater
// runs beside this one; a second start of this one brings it forward.
AnsiString InstanceName() { return Application->Title + "-" + Sha256Of(ApplicationFolder()).substr(0, 16); }

// "skiff-" and the application folder's name, in the letters a window
// class may hold.
AnsiString WindowClassName() {
    AnsiString folder = NativePath(ApplicationFolder());
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    AnsiString name = "skiff-";
    for (char c : folder.substr(folder.rfind('/') + 1))
        name += isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return name;
}

// No window, no display, no instance to bring forward: the folder's lock
// alone keeps a second updater out.
int RunWithoutDisplay() {
    const AnsiString folder = ApplicationFolder();
    UpdateLog::Open(folder);
    if (!ClaimFolderLock(folder)) {
        UpdateLog::Write("another updater is at work in this folder: nothing done");
        return 0;
    }
    UpdateLog::Write("skiff " SKIFF_VERSION " starts in " + ShownPath(folder) + " with no window");
    if (!gIgnored.empty()) UpdateLog::Write("arguments ignored: " + gIgnored);
    return RunWithoutWindow(folder, gRepair);
}

}  // namespace

int main(int argc, char** argv) {
    ReadCommandLine(argc, argv);
    if (gNoWindow && !gUnattended) {
        fputs("skiff: --no-window needs --unattended (nobody is there to click)\nTry 'skiff --help'.\n", stderr);
        return 2;
    }
    if (gNoWindow) return RunWithoutDisplay();
    // A second start brings the running one forward and ends quietly.
    Application->Title = "skiff.exe";
    const AnsiString instance = InstanceName();
    if (ActivateRunningInstance(instance)) return 0;
    PrepareFontsInBackground();
    OpenDisplay();
    Form1 = new TForm1(nullptr);
    Form1->Core->ForceRepair = gRepair;
    Form1->Unattended = gUnattended;
    if (gUnattended) UpdateLog::Write("unattended start");
    SetMainForm(Form1);
    // Desktops group the window with its launcher entry by this class: one
    // of its own for each game (the kit's menu entry names it).
    static const AnsiString windowClass = WindowClassName();
    Form1->SetWindowClass(windowClass.c_str());
    Form1->SetIcon(DecodeJpeg(kAppIcon, kAppIcon_size, "icon"));
    if (!gIgnored.empty()) UpdateLog::Write("arguments ignored: " + gIgnored);
    ClaimInstanceTitle(instance, [] {
        if (Form1) Form1->BringToFront();
    });
    // Whatever runtime folder each found (the title lives there), and however
    // busy the instance that holds the title is, one updater at a time works
    // in a folder: the folder's own lock decides.
    if (!ClaimFolderLock(ApplicationFolder())) {
        ReleaseInstanceTitle();
        delete Form1;
        return 0;
    }
    Form2 = new TForm2(nullptr);
    Form1->Show();
    Application->Run();
    int exitCode = Form1->ExitCode;
    delete Form2;
    delete Form1;
    ReleaseInstanceTitle();
    return exitCode;
}
