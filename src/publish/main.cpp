// skiff-publish: makes the files that the updater downloads from a folder of
// the client's files as they should be installed.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Publisher.h"

static void Usage() {
    fprintf(stderr,
            "usage: skiff-publish RELEASE_DIR OUT_DIR [--previous OUT_DIR_OR_UPDATE3] [--version TEXT]\n"
            "                     [--pack FOLDER=NAME ...] [--plain GLOB ...] [--codepage N]\n"
            "Writes OUT_DIR/update3.dat and the files it names: gzip files (\"E\"), plain copies of\n"
            "files matching --plain (\"O\") and gzip pack archives of each --pack folder (\"C\").\n");
}

static void ShowProgress(int64_t done, int64_t total, const AnsiString& current) {
    static int lastTenth = -1;
    int tenth = total ? static_cast<int>(done * 1000 / total) : 1000;
    if (tenth == lastTenth) return;
    lastTenth = tenth;
    int bar = tenth * 30 / 1000;
    fprintf(stderr, "\r[%.*s%*s] %5.1f%% %-40.40s", bar, "##############################", 30 - bar, "",
            tenth / 10.0, current.c_str());
}

int main(int argc, char** argv) {
    TPublishOptions o;
    std::vector<AnsiString> positional;
    for (int i = 1; i < argc; ++i) {
        AnsiString a = argv[i];
        auto value = [&]() -> AnsiString {
            if (i + 1 >= argc) { Usage(); exit(2); }
            return argv[++i];
        };
        if (a == "--previous") o.Previous = value();
        else if (a == "--version") o.Version = value();
        else if (a == "--codepage") o.CodePage = atoi(value().c_str());
        else if (a == "--plain") o.PlainGlobs.push_back(value());
        else if (a == "--pack") {
            AnsiString v = value();
            size_t eq = v.find('=');
            if (eq == AnsiString::npos || eq == 0 || eq + 1 == v.size()) { Usage(); return 2; }
            o.Packs.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == "-h" || a == "--help") { Usage(); return 0; }
        else if (a.rfind("--", 0) == 0) { Usage(); return 2; }
        else positional.push_back(a);
    }
    if (positional.size() != 2) { Usage(); return 2; }
    o.ReleaseDir = positional[0];
    o.OutDir = positional[1];
    while (o.OutDir.size() > 1 && o.OutDir.back() == '/') o.OutDir.pop_back();
    bool tty = isatty(2);
    try {
        TPublishSummary s = Publish(o, tty ? ShowProgress : TPublishProgress());
        if (tty) fprintf(stderr, "\r%*s\r", 80, "");
        printf("%d files in %d entries, %lld bytes -> %lld bytes on the server, %d entries changed\n",
               s.Files, s.Entries, static_cast<long long>(s.BytesIn), static_cast<long long>(s.BytesOut),
               s.Changed);
    } catch (const std::exception& e) {
        if (tty) fprintf(stderr, "\n");
        fprintf(stderr, "skiff-publish: %s\n", e.what());
        return 1;
    }
    return 0;
}
