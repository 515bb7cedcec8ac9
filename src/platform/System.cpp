#include "System.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "FileSystem.h"

uint32_t GetThreadLocale() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = getenv(var);
        if (v && *v) return LocaleIdFromName(v);
    }
    return 0x0409;
}

int SystemCodePage() { return CodePageOfLocale(GetThreadLocale()); }

static AnsiString gAppFolderOverride;

void SetApplicationFolderForTesting(const AnsiString& folder) { gAppFolderOverride = folder; }

AnsiString ApplicationFolder() {
    if (!gAppFolderOverride.empty()) return gAppFolderOverride;
    // Asked for every path below it: read once.
    static const AnsiString folder = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return AnsiString("\\");
        AnsiString path(buf, n);
        return SystemPathFromNative(path.substr(0, path.rfind('/') + 1));
    }();
    return folder;
}

AnsiString ProgramFileName() {
    static const AnsiString name = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return AnsiString();
        AnsiString path(buf, n);
        return path.substr(path.rfind('/') + 1);
    }();
    return name;
}

static std::vector<AnsiString> SplitBlanks(const AnsiString& s) {
    std::vector<AnsiString> r;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ') ++j;
        if (j > i) r.push_back(s.substr(i, j - i));
        i = j;
    }
    return r;
}

namespace {

// Starts argv[0] with exactly these arguments in `folder` (native), detached
// (a double fork leaves no zombie). A close-on-exec pipe carries the child's
// errno when exec fails; 0 means it started.
int Spawn(const std::vector<AnsiString>& argv, const AnsiString& folder) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return errno;
    pid_t child = fork();
    if (child < 0) {
        int err = errno;
        close(p[0]);
        close(p[1]);
        return err;
    }
    if (child == 0) {
        if (fork() != 0) _exit(0);
        setsid();
        int err = 0;
        if (!folder.empty() && chdir(folder.c_str()) != 0) err = errno;
        if (!err) {
            std::vector<char*> args;
            for (const AnsiString& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            err = errno;
        }
        (void)!write(p[1], &err, sizeof err);
        _exit(127);
    }
    close(p[1]);
    waitpid(child, nullptr, 0);
    int err = 0;
    ssize_t got = read(p[0], &err, sizeof err);
    close(p[0]);
    return got == static_cast<ssize_t>(sizeof err) ? err : 0;
}

}  // namespace

bool StartProgram(const AnsiString& program, const std::vector<AnsiString>& args, const AnsiString& folder,
                  AnsiString& error) {
    std::vector<AnsiString> argv{NativePath(program)};
    for (const AnsiString& a : args) argv.push_back(a);
    int err = Spawn(argv, folder.empty() ? AnsiString() : NativePath(folder));
    if (err) error = strerror(err);
    return err == 0;
}

unsigned WinExec(const AnsiString& cmdLine, unsigned /*showCmd*/) {
    AnsiString program, rest;
    if (!cmdLine.empty() && cmdLine[0] == '"') {
        size_t q = cmdLine.find('"', 1);
        program = cmdLine.substr(1, q == AnsiString::npos ? AnsiString::npos : q - 1);
        rest = q == AnsiString::npos ? "" : cmdLine.substr(q + 1);
    } else {
        // The shortest prefix ending at a blank that names an existing file.
        size_t pos = 0;
        for (;;) {
            size_t blank = cmdLine.find(' ', pos);
            AnsiString prefix = cmdLine.substr(0, blank);
            if (blank == AnsiString::npos || IsRegularFile(prefix)) {
                program = prefix;
                rest = blank == AnsiString::npos ? "" : cmdLine.substr(blank + 1);
                break;
            }
            pos = blank + 1;
        }
    }
    AnsiString native = NativePath(program);
    if (!IsRegularFile(program)) return 2;
    std::vector<AnsiString> args = SplitBlanks(rest);
    for (auto& a : args) a = NativePath(a);

    std::vector<AnsiString> argv{native};
    argv.insert(argv.end(), args.begin(), args.end());
    int err = Spawn(argv, "");
    if (err) return err == EACCES ? 5 : 2;
    return 33;
}
