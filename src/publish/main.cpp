// skiff-publish: makes the files that the updater downloads from a folder of
// the client's files as they should be installed; checks a published folder;
// makes the starter kit that end users download first.
#include <fcntl.h>
#include <getopt.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Json.h"
#include "Kit.h"
#include "Publisher.h"
#include "Verify.h"
#include "platform/CommandLine.h"

namespace {

const char kUsage[] =
    "usage: skiff-publish [OPTIONS] RELEASE_DIR OUT_DIR\n"
    "       skiff-publish verify [--key update.pub] [--json] OUT_DIR\n"
    "       skiff-publish kit --servers FILE [--key update.pub --release OUT_DIR] [--name NAME] [--icon PNG]\n"
    "                         OUT.tar.gz\n"
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
    "  --remove-dropped          list the files of the previous release that this one drops, so\n"
    "                            that updaters remove them where the player did not change them\n"
    "  --dry-run                 print what would be added, changed, kept and removed; write nothing\n"
    "  --json                    print the summary as JSON\n"
    "  -h, --help                this text\n"
    "  --version                 the program's version\n"
    "\n"
    "verify checks OUT_DIR as an updater would use it: every entry's file there with its size\n"
    "and SHA-256, gzip data and packs whole, names safe, and the signature with --key.\n"
    "kit writes the starter kit: the updater, its skins, isp0.dat made from the server list,\n"
    "the release key, an icon, install.sh and uninstall.sh. See skiff-publish(1).\n"
    "\n"
    "Exit status: 0 done, 1 a problem (each one is printed), 2 a wrong command line.\n";

[[noreturn]] void BadUsage(const AnsiString& message) {
    fprintf(stderr, "skiff-publish: %s\nTry 'skiff-publish --help'.\n", message.c_str());
    exit(2);
}

// The usual ending of an option loop: the option's name in every complaint.
[[noreturn]] void BadOption(int c, char** argv) { BadUsage(OptionMistake(c, argv)); }

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
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (!*text || *end || v < 0 || errno == ERANGE) BadUsage(AnsiString(option) + " needs a number, not '" + text + "'");
    return v;
}

// A number that must lie in [low, high]: a value that would wrap (an expiry
// of 4294967297 days is one day) is a mistake of the command line.
int64_t NumberIn(const char* option, const char* text, int64_t low, int64_t high) {
    int64_t v = Number(option, text);
    if (v < low || v > high)
        BadUsage(AnsiString(option) + " takes " + IntToStr(low) + " to " + IntToStr(high) + ", not " + text);
    return v;
}

int Failed(const std::exception& e) {
    fprintf(stderr, "skiff-publish: %s\n", e.what());
    return 1;
}

void PrintNames(const char* heading, const std::vector<AnsiString>& names) {
    for (const AnsiString& n : names) printf("%s %s\n", heading, Printable(n).c_str());
}

void PrintSummary(const TPublishSummary& s, bool dryRun, bool json) {
    if (json) {
        printf("{\"dry_run\": %s, \"files\": %d, \"entries\": %d, \"bytes_in\": %lld, \"bytes_out\": %lld, "
               "\"serial\": %lld, \"removals\": %d,\n \"added\": %s,\n \"changed\": %s,\n \"unchanged\": %s,\n \"removed\": %s}\n",
               dryRun ? "true" : "false", s.Files, s.Entries, static_cast<long long>(s.BytesIn),
               static_cast<long long>(s.BytesOut), static_cast<long long>(s.Serial), s.Removals, JsonList(s.AddedNames).c_str(),
               JsonList(s.ChangedNames).c_str(), JsonList(s.UnchangedNames).c_str(), JsonList(s.RemovedNames).c_str());
        return;
    }
    if (dryRun) {
        PrintNames("added    ", s.AddedNames);
        PrintNames("changed  ", s.ChangedNames);
        PrintNames("unchanged", s.UnchangedNames);
        PrintNames("removed  ", s.RemovedNames);
        printf("%zu added, %zu changed, %zu unchanged, %zu removed; nothing was written\n", s.AddedNames.size(),
               s.ChangedNames.size(), s.UnchangedNames.size(), s.RemovedNames.size());
        return;
    }
    printf("%d files in %d entries, %lld bytes -> %lld bytes on the server, %d entries changed\n", s.Files,
           s.Entries, static_cast<long long>(s.BytesIn), static_cast<long long>(s.BytesOut), s.Changed);
    if (s.Removals) printf("%d files to be removed from the players' folders where unchanged\n", s.Removals);
    if (s.Serial) printf("signed: update3.dat.minisig, serial %lld\n", static_cast<long long>(s.Serial));
}

int VerifyCommand(int argc, char** argv) {
    enum { kKey = 256, kJson };
    static const option options[] = {{"key", required_argument, nullptr, kKey},
                                      {"json", no_argument, nullptr, kJson},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    AnsiString key;
    bool json = false;
    for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        switch (c) {
            case kKey: key = optarg; break;
            case kJson: json = true; break;
            case 'h': fputs(kUsage, stdout); exit(0);
            default: BadOption(c, argv);
        }
    }
    if (argc - optind != 1) BadUsage("verify needs OUT_DIR");
    AnsiString folder = argv[optind];
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    TVerifyReport r = VerifyRelease(folder, key);
    if (json) {
        printf("{\"ok\": %s, \"entries\": %d, \"signed\": %s, \"signature_checked\": %s,\n \"problems\": %s}\n",
               r.Ok() ? "true" : "false", r.Entries, r.Signed ? "true" : "false",
               r.SignatureChecked ? "true" : "false", JsonList(r.Problems).c_str());
    } else {
        for (const AnsiString& p : r.Problems) printf("%s\n", Printable(p).c_str());
        if (r.Signed && !r.SignatureChecked && key.empty())
            printf("note: update3.dat is signed; give --key update.pub to check the signature\n");
        printf("%s: %d entries, %zu problems%s\n", r.Ok() ? "ok" : "NOT ok", r.Entries, r.Problems.size(),
               r.SignatureChecked ? ", signature good" : "");
    }
    return r.Ok() ? 0 : 1;
}

int KitCommand(int argc, char** argv) {
    enum { kServers = 256, kKey, kName, kIcon, kRelease };
    static const option options[] = {{"servers", required_argument, nullptr, kServers},
                                      {"key", required_argument, nullptr, kKey},
                                      {"release", required_argument, nullptr, kRelease},
                                      {"name", required_argument, nullptr, kName},
                                      {"icon", required_argument, nullptr, kIcon},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    TKitOptions o;
    for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        switch (c) {
            case kServers: o.ServersFile = optarg; break;
            case kKey: o.KeyFile = optarg; break;
            case kRelease: o.ReleaseFolder = optarg; break;
            case kName: o.Name = optarg; break;
            case kIcon: o.IconFile = optarg; break;
            case 'h': fputs(kUsage, stdout); exit(0);
            default: BadOption(c, argv);
        }
    }
    if (o.ServersFile.empty()) BadUsage("kit needs --servers FILE");
    if (argc - optind != 1) BadUsage("kit needs OUT.tar.gz");
    o.Output = argv[optind];
    try {
        MakeKit(o);
    } catch (const std::exception& e) {
        return Failed(e);
    }
    printf("%s: the starter kit for %s%s\n", o.Output.c_str(), o.Name.c_str(),
           o.KeyFile.empty() ? " (no release key: the updater will take unsigned lists)" : "");
    return 0;
}

int PublishCommand(int argc, char** argv) {
    enum { kReleaseVersion = 256, kPrevious, kPack, kPlain, kCodePage, kSign, kPasswordFile, kExpires, kSerial,
           kVersion, kDryRun, kJson, kRemoveDropped };
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
        {"dry-run", no_argument, nullptr, kDryRun},
        {"remove-dropped", no_argument, nullptr, kRemoveDropped},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0}};
    TPublishOptions o;
    bool json = false;
    for (int c; (c = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        switch (c) {
            case kReleaseVersion: o.Version = optarg; break;
            case kPrevious: o.Previous = optarg; break;
            case kPlain: o.PlainGlobs.push_back(optarg); break;
            case kPack: {
                AnsiString v = optarg;
                size_t eq = v.find('=');
                if (eq == AnsiString::npos || eq == 0 || eq + 1 == v.size())
                    BadUsage("--pack needs FOLDER=NAME, not '" + v + "'");
                o.Packs.emplace_back(v.substr(0, eq), v.substr(eq + 1));
                break;
            }
            case kCodePage: o.CodePage = static_cast<int>(NumberIn("--codepage", optarg, 1, 65535)); break;
            case kSign: o.SecretKey = optarg; break;
            case kPasswordFile: o.PasswordFile = optarg; break;
            case kExpires: o.ExpiresDays = static_cast<int>(NumberIn("--expires", optarg, 1, 36500)); break;
            case kSerial: o.Serial = NumberIn("--serial", optarg, 1, kMaxSerial); break;
            case kDryRun: o.DryRun = true; break;
            case kRemoveDropped: o.RemoveDropped = true; break;
            case kJson: json = true; break;
            case 'h': fputs(kUsage, stdout); return 0;
            case kVersion: printf("skiff-publish %s\n", SKIFF_VERSION); return 0;
            default: BadOption(c, argv);
        }
    }
    if (argc - optind != 2) BadUsage("give RELEASE_DIR and OUT_DIR");
    o.ReleaseDir = argv[optind];
    o.OutDir = argv[optind + 1];
    while (o.OutDir.size() > 1 && o.OutDir.back() == '/') o.OutDir.pop_back();
    o.AskPassword = AskPassword;
    bool tty = isatty(2) && !o.DryRun;
    try {
        TPublishSummary s = Publish(o, tty ? ShowProgress : TPublishProgress());
        if (tty) fprintf(stderr, "\r%*s\r", 80, "");
        for (const AnsiString& w : s.Warnings) fprintf(stderr, "skiff-publish: warning: %s\n", Printable(w).c_str());
        PrintSummary(s, o.DryRun, json);
    } catch (const std::exception& e) {
        if (tty) fprintf(stderr, "\n");
        return Failed(e);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    opterr = 0;  // the messages name the option themselves
    if (argc > 1 && strcmp(argv[1], "verify") == 0) return VerifyCommand(argc - 1, argv + 1);
    if (argc > 1 && strcmp(argv[1], "kit") == 0) return KitCommand(argc - 1, argv + 1);
    return PublishCommand(argc, argv);
}
