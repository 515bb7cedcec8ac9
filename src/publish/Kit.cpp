#include "Kit.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "release/LineFields.h"
#include "release/ReleaseCheck.h"
#include "crypto/Minisign.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Printable.h"
#include "platform/StringList.h"
#include "platform/System.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

bool IsFile(const AnsiString& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const AnsiString& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parts of the kit that come with the tools: in a build tree they lie
// beside skiff-publish; installed, the updater is in ../lib/skiff and the
// rest in ../share/skiff.
struct TKitParts {
    AnsiString Updater, Skins, Scripts, Icon;
};

TKitParts FindParts(const AnsiString& toolFolder) {
    AnsiString here = toolFolder;
    if (here.empty()) here = NativePath(ApplicationFolder());
    while (here.size() > 1 && here.back() == '/') here.pop_back();
    TKitParts p;
    if (IsFile(here + "/skiff") && IsFolder(here + "/kit")) {
        p = {here + "/skiff", here + "/upimg", here + "/kit", here + "/skiff.png"};
    } else {
        AnsiString prefix = here.substr(0, here.rfind('/'));
        p = {prefix + "/lib/skiff/skiff", prefix + "/share/skiff/upimg", prefix + "/share/skiff/kit",
             prefix + "/share/skiff/skiff.png"};
    }
    if (!IsFile(p.Updater)) throw Exception("The updater is not where it should be: " + p.Updater);
    if (!IsFolder(p.Skins)) throw Exception("The skin pictures are not where they should be: " + p.Skins);
    if (!IsFile(p.Scripts + "/install.sh") || !IsFile(p.Scripts + "/LICENSE.txt")) throw Exception("The kit scripts are not where they should be: " + p.Scripts);
    return p;
}

// The operator's small inputs (server list, key, icon), refused when they are
// not small: a wrong path should not fill the memory.
AnsiString ReadSmallFile(const AnsiString& path, const char* what) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception(AnsiString("The ") + what + " " + path + " cannot be read");
    if (st.st_size > (4 << 20)) throw Exception(AnsiString("The ") + what + " " + path + " is over 4 MiB");
    return ReadWholeFile(SystemPathFromNative(path));
}

// A script template with its @WORDS@ filled in; each stands inside single
// quotes there, so a quote in a value is closed, escaped and reopened.
void WriteScript(const AnsiString& from, const AnsiString& to,
                 const std::vector<std::pair<AnsiString, AnsiString>>& fill) {
    AnsiString text = ReadWholeFile(SystemPathFromNative(from));
    for (const auto& [word, value] : fill) {
        AnsiString quoted;
        for (char c : value) quoted += c == '\'' ? AnsiString("'\\''") : AnsiString(1, c);
        for (size_t at = 0; (at = text.find(word, at)) != AnsiString::npos; at += quoted.size())
            text.replace(at, word.size(), quoted);
    }
    WriteWholeFile(SystemPathFromNative(to), text);
    chmod(to.c_str(), 0755);
}

void CopyInto(const AnsiString& from, const AnsiString& to) {
    std::error_code failed;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, failed);
    if (failed) throw Exception("Cannot copy " + from + ": " + failed.message());
}

// Runs a program to its end; true when it ends with 0.
bool RunProgram(const char* const argv[]) {
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RunTar(const AnsiString& staging, const AnsiString& name, const AnsiString& output) {
    // Modes as a user expects them whatever the maker's umask: folders and
    // programs rwxr-xr-x, the rest rw-r--r--.
    const char* argv[] = {"tar", "--owner=0", "--group=0", "--numeric-owner", "--mode=u=rwX,go=rX", "-czf", output.c_str(),
                          "-C", staging.c_str(), name.c_str(), nullptr};
    if (!RunProgram(argv)) throw Exception("tar could not write " + output);
}

// A build tree's updater carries its debugging data (megabytes every end user
// would download); strip it when the tool is there, else ship it as it is.
void StripDebugData(const AnsiString& program) {
    const char* argv[] = {"strip", "--strip-debug", program.c_str(), nullptr};
    RunProgram(argv);
}

// A decimal number within [low, high]; false otherwise.
bool NumberWithin(const AnsiString& text, int low, int high) {
    try {
        int v = StrToInt(text);
        return v >= low && v <= high;
    } catch (const EConvertError&) {
        return false;
    }
}

}  // namespace

bool IsKitName(const AnsiString& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

AnsiString ServerListForKit(const AnsiString& text, int codePage) {
    TStringList lines;
    lines.SetText(text);
    AnsiString out, problems;
    int servers = 0;
    for (int i = 0; i < lines.Count(); ++i) {
        const AnsiString& line = lines[i];
        if (line.empty()) continue;
        if (line == "end") break;  // written again below, always last
        const AnsiString where = "line " + IntToStr(i + 1) + " of the server list";
        int fields = 0;
        while (!GetField(fields + 1, line).empty()) ++fields;
        if (fields != 5) {
            problems += "\n  " + where + ": " + IntToStr(fields) + " fields, give five: name host port time-out user" +
                        (fields > 5 ? AnsiString(" (blanks part fields: a name cannot hold one)") : AnsiString());
            continue;
        }
        const AnsiString host = GetField(2, line);
        const bool web = host.rfind("http://", 0) == 0 || host.rfind("https://", 0) == 0;
        if (!NumberWithin(GetField(3, line), web ? 0 : 1, 65535))
            problems += "\n  " + where + ": the port \"" + GetField(3, line) + "\" is not a port number";
        if (!NumberWithin(GetField(4, line), 1, 3600000))
            problems += "\n  " + where + ": the time-out \"" + GetField(4, line) + "\" is not a number of milliseconds";
        // The dialog shows the names in the release's code page.
        AnsiString coded;
        if (ValidUtf8(line) != line || !TryUtf8ToCodePage(line, codePage, coded)) {
            problems += "\n  " + where + ": the name \"" + GetField(1, line) + "\" cannot be written in " +
                        CodePageName(codePage) + " (the release's code page)";
            continue;
        }
        out += coded + "\r\n";
        ++servers;
    }
    if (!problems.empty()) throw Exception("The server list cannot be used:" + problems);
    if (servers == 0) throw Exception("The server list names no server");
    return out + "end\r\n";
}

void MakeKit(const TKitOptions& o) {
    if (!IsKitName(o.Name))
        throw Exception("The name \"" + o.Name + "\" must be letters, digits, '-', '_' or '.' (not first)");
    if (o.Output.empty()) throw Exception("Give the kit's file name (OUT.tar.gz)");
    const TKitParts parts = FindParts(o.ToolFolder);
    // The release's list, read once: its header names the code page, its
    // signature the serial.
    const AnsiString releaseList =
        o.ReleaseFolder.empty()
            ? AnsiString()
            : ReadWholeFile(SystemPathFromNative(o.ReleaseFolder + "/update3.dat"), kMaxVersionsListBytes);
    const int declared = DeclaredNamesCodePage(releaseList.substr(0, releaseList.find_first_of("\r\n")));
    const int codePage = declared ? declared : o.CodePage ? o.CodePage : SystemCodePage();
    if (!IsKnownCodePage(codePage)) throw Exception("Unknown code page " + IntToStr(codePage));
    for (const AnsiString* t : {&o.Title, &o.TitleZhTW, &o.TitleZhCN})
        if (ValidUtf8(*t) != *t || Printable(*t) != *t)
            throw Exception("The title \"" + *t + "\" must be printable UTF-8 text on one line");
    AnsiString servers = ServerListForKit(ReadSmallFile(o.ServersFile, "server list"), codePage);
    AnsiString key;
    int64_t serial = 0;
    if (!o.KeyFile.empty()) {
        key = ReadSmallFile(o.KeyFile, "key");
        TPublicKey parsed = ParsePublicKey(key);  // a damaged key would lock every user out
        if (o.ReleaseFolder.empty())
            throw Exception("A kit with a key needs --release OUT_DIR: its serial keeps older releases out from the "
                            "first start");
        try {
            serial = CheckSignedList(
                releaseList,
                ReadWholeFile(SystemPathFromNative(o.ReleaseFolder + "/" + kSignatureFile), kMaxSignatureBytes),
                parsed, 0, time(nullptr));
        } catch (const Exception& e) {
            throw Exception("The release " + o.ReleaseFolder + " cannot be used with this key: " + e.Message);
        }
    }
    const AnsiString icon = o.IconFile.empty() ? parts.Icon : o.IconFile;
    if (ReadSmallFile(icon, "icon").compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        throw Exception("The icon " + icon + " is not a PNG picture");

    char scratch[] = "/tmp/skiff-kit-XXXXXX";
    if (!mkdtemp(scratch)) throw Exception("Cannot create a scratch folder in /tmp");
    const AnsiString staging = scratch, folder = staging + "/" + o.Name;
    try {
        if (mkdir(folder.c_str(), 0755) != 0) throw Exception("Cannot create " + folder);
        CopyInto(parts.Updater, folder + "/skiff");
        chmod((folder + "/skiff").c_str(), 0755);
        StripDebugData(folder + "/skiff");
        CopyInto(parts.Skins, folder + "/upimg");
        CopyInto(icon, folder + "/icon.png");
        WriteWholeFile(SystemPathFromNative(folder + "/isp0.dat"), servers);
        if (!key.empty()) WriteWholeFile(SystemPathFromNative(folder + "/update.pub"), key);
        if (!key.empty()) WriteWholeFile(SystemPathFromNative(folder + "/" + kSerialFile), IntToStr(serial) + "\r\n");
        CopyInto(parts.Scripts + "/LICENSE.txt", folder + "/LICENSE.txt");
        const std::vector<std::pair<AnsiString, AnsiString>> fill{{"@NAME@", o.Name},
                                                                  {"@TITLE@", o.Title.empty() ? o.Name : o.Title},
                                                                  {"@TITLE_ZH_TW@", o.TitleZhTW},
                                                                  {"@TITLE_ZH_CN@", o.TitleZhCN},
                                                                  {"@ARGS@", o.Unattended ? "--unattended" : ""}};
        WriteScript(parts.Scripts + "/install.sh", folder + "/install.sh", fill);
        WriteScript(parts.Scripts + "/uninstall.sh", folder + "/uninstall.sh", fill);
        // Written beside the output and renamed: never half a kit under its name.
        const AnsiString partial = o.Output + ".part";
        RunTar(staging, o.Name, partial);
        if (rename(partial.c_str(), o.Output.c_str()) != 0) {
            unlink(partial.c_str());
            throw Exception("Cannot write " + o.Output);
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        unlink((o.Output + ".part").c_str());
        throw;
    }
    std::error_code ignored;
    fs::remove_all(staging, ignored);
}
