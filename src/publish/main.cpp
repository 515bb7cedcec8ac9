// skiff-publish: makes the files that the updater downloads from a folder of
// the client's files as they should be installed.
#include <fcntl.h>
#include <getopt.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Publisher.h"

namespace {

const char kUsage[] =
    "usage: skiff-publish [OPTIONS] RELEASE_DIR OUT_DIR\n"
    "\n"
    "Writes OUT_DIR/update3.dat and the files it names: gzip files (\"E\"), plain copies of\n"
    "files matching --plain (\"O\") and gzip pack archives of each --pack folder (\"C\").\n"
    "Upload the files first and update3.dat (with its signature) last.\n"
    "\n"
    "  --release-version TEXT    version of the changed files (default: UTC time, yyyymmddhhmmss)\n"
    "  --previous DIR|FILE       the previous OUT_DIR (or its update3.dat): unchanged files keep\n"
    "                            their version and need no new download\n"
    "  --pack FOLDER=NAME        the files below FOLDER travel as pack archives NAME.pack\n"
    "  --plain GLOB              files matching GLOB are served as they are (\"O\")\n"
    "  --codepage N              code page of the names in the list (default: the system's)\n"
    "  --sign SECRET_KEY         sign update3.dat with a minisign secret key (update3.dat.minisig)\n"
    "  --password-file FILE      the secret key's password on the first line of FILE\n"
    "  --expires DAYS            the signature expires after DAYS days\n"
    "  --serial N                serial of the signed release (default: one more than the last)\n"
    "  -h, --help                this text\n"
    "  --version                 the program's version\n";

[[noreturn]] void BadUsage(const char* message) {
    fprintf(stderr, "skiff-publish: %s\nTry 'skiff-publish --help'.\n", message);
    exit(2);
}

void ShowProgress(int64_t done, int64_t total, const AnsiString& current) {
    static int lastTenth = -1;
    int tenth = total ? static_cast<int>(done * 1000 / total) : 1000;
    if (tenth == lastTenth) return;
    lastTenth = tenth;
    int bar = tenth * 30 / 1000;
    fprintf(stderr, "\r[%.*s%*s] %5.1f%% %-40.40s", bar, "##############################", 30 - bar, "",
            tenth / 10.0, current.c_str());
}

// Reads a password from the terminal without showing it.
AnsiString AskPassword() {
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) throw Exception("A password is needed and there is no terminal to ask: give --password-file");
    (void)!write(tty, "Password: ", 10);
    termios old{};
    bool hidden = tcgetattr(tty, &old) == 0;
    if (hidden) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    AnsiString password;
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n') password += c;
    if (hidden) tcsetattr(tty, TCSAFLUSH, &old);
    (void)!write(tty, "\n", 1);
    close(tty);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

int64_t Number(const char* option, const char* text) {
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (!*text || *end || v < 0) {
        char message[160];
        snprintf(message, sizeof message, "%s needs a number, not '%s'", option, text);
        BadUsage(message);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kReleaseVersion = 256, kPrevious, kPack, kPlain, kCodePage, kSign, kPasswordFile, kExpires, kSerial,
           kVersion };
    static const option options[] = {
        {"release-version", required_argument, nullptr, kReleaseVersion},
        {"previous", required_argument, nullptr, kPrevious},
        {"pack", required_argument, nullptr, kPack},
        {"plain", required_argument, nullptr, kPlain},
        {"codepage", required_argument, nullptr, kCodePage},
        {"sign", required_argument, nullptr, kSign},
        {"password-file", required_argument, nullptr, kPasswordFile},
        {"expires", required_argument, nullptr, kExpires},
        {"serial", required_argument, nullptr, kSerial},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0}};
    TPublishOptions o;
    opterr = 0;  // the messages below name the option themselves
    for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        switch (c) {
            case kReleaseVersion: o.Version = optarg; break;
            case kPrevious: o.Previous = optarg; break;
            case kPlain: o.PlainGlobs.push_back(optarg); break;
            case kPack: {
                AnsiString v = optarg;
                size_t eq = v.find('=');
                if (eq == AnsiString::npos || eq == 0 || eq + 1 == v.size())
                    BadUsage(("--pack needs FOLDER=NAME, not '" + v + "'").c_str());
                o.Packs.emplace_back(v.substr(0, eq), v.substr(eq + 1));
                break;
            }
            case kCodePage: o.CodePage = static_cast<int>(Number("--codepage", optarg)); break;
            case kSign: o.SecretKey = optarg; break;
            case kPasswordFile: o.PasswordFile = optarg; break;
            case kExpires: o.ExpiresDays = static_cast<int>(Number("--expires", optarg)); break;
            case kSerial: o.Serial = Number("--serial", optarg); break;
            case 'h': fputs(kUsage, stdout); return 0;
            case kVersion: printf("skiff-publish %s\n", SKIFF_VERSION); return 0;
            case ':': BadUsage(("option '" + AnsiString(argv[optind - 1]) + "' needs a value").c_str());
            default: BadUsage(("unknown option '" + AnsiString(argv[optind - 1]) + "'").c_str());
        }
    }
    if (argc - optind != 2) BadUsage("give RELEASE_DIR and OUT_DIR");
    o.ReleaseDir = argv[optind];
    o.OutDir = argv[optind + 1];
    while (o.OutDir.size() > 1 && o.OutDir.back() == '/') o.OutDir.pop_back();
    o.AskPassword = AskPassword;
    bool tty = isatty(2);
    try {
        TPublishSummary s = Publish(o, tty ? ShowProgress : TPublishProgress());
        if (tty) fprintf(stderr, "\r%*s\r", 80, "");
        printf("%d files in %d entries, %lld bytes -> %lld bytes on the server, %d entries changed\n", s.Files,
               s.Entries, static_cast<long long>(s.BytesIn), static_cast<long long>(s.BytesOut), s.Changed);
        if (s.Serial) printf("signed: update3.dat.minisig, serial %lld\n", static_cast<long long>(s.Serial));
    } catch (const std::exception& e) {
        if (tty) fprintf(stderr, "\n");
        fprintf(stderr, "skiff-publish: %s\n", e.what());
        return 1;
    }
    return 0;
}
