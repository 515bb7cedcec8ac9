#include "UpdateLog.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Printable.h"

namespace UpdateLog {
namespace {

const int64_t kMaxBytes = 1 << 20;
AnsiString gPath;

AnsiString Now() {
    time_t t = time(nullptr);
    tm local;
    localtime_r(&t, &local);
    char b[32];
    strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &local);
    return b;
}

// A line stays one line: line ends inside (a server's reply) become blanks,
// and other control characters are written out, so that nothing a server
// says can forge a line or reach a terminal as a command.
AnsiString OneLine(AnsiString text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return Printable(text);
}

// The log is UTF-8 whatever the release's names are in: a line that is not
// UTF-8 carries names in the release's code page (or texts in the one the
// window shows), and is written converted.
AnsiString AsUtf8(const AnsiString& text) {
    if (ValidUtf8(text) == text) return text;
    AnsiString utf8;
    for (int codePage : {NameCodePage(), DisplayCodePage()})
        if (codePage != 65001 && TryCodePageToUtf8(text, codePage, utf8)) return utf8;
    return text;
}

}  // namespace

void Open(const AnsiString& appFolder) {
    gPath = appFolder + "update.log";
    if (FileSizeOf(gPath) >= kMaxBytes) RenameFile(gPath, gPath + ".1");
}

AnsiString Path() { return gPath; }

void Write(const AnsiString& line) {
    AnsiString text = Now() + " " + AsUtf8(OneLine(line)) + "\n";
    if (isatty(2)) fputs(text.c_str(), stderr);
    if (gPath.empty()) return;
    // The log must never stop the updater: a full disk only loses lines.
    int fd = OpenForLogging(gPath);
    if (fd >= 0) {
        WriteAllBytes(fd, text.data(), text.size());
        close(fd);
    }
    if (FileSizeOf(gPath) >= kMaxBytes) RenameFile(gPath, gPath + ".1");
}

}  // namespace UpdateLog
