#include "PushOutput.h"

#include <sys/ioctl.h>

#include <cstdio>

#include "Json.h"
#include "MirrorsReport.h"
#include "platform/Printable.h"

namespace {

AnsiString ResultOf(const TMirrorPush& m) {
    if (!m.Done) return "unfinished";
    if (!m.Ok) return "FAILED at " + m.Doing;
    if (!m.PruneFailure.empty()) return "served, prune failed";
    return m.AlreadyCurrent ? "served (already)" : "served";
}

AnsiString LineOf(const TMirrorPush& m, bool withBytes) {
    if (m.Done) {
        AnsiString line = m.Mirror + ": " + ResultOf(m);
        if (!m.Failure.empty()) line += ": " + m.Failure;
        return Printable(line);
    }
    AnsiString line = m.Mirror + ": " + m.Doing;
    if (m.FilesToUpload && m.Doing == "uploading")
        line += " " + IntToStr(m.FilesUploaded + 1) + " of " + IntToStr(m.FilesToUpload) +
                (withBytes ? ", " + ShownBytes(m.BytesUploaded) + " of " + ShownBytes(m.BytesToUpload) : AnsiString());
    return Printable(line);
}

}  // namespace

TPushProgressLines::TPushProgressLines(bool terminal) : FTerminal(terminal) {
    winsize size{};
    if (terminal && ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) FWidth = size.ws_col;
}

void TPushProgressLines::Show(const std::vector<TMirrorPush>& mirrors) {
    if (!FTerminal) {
        // A line whenever a mirror's step changes; bytes would make a line a tick.
        FLast.resize(mirrors.size());
        for (size_t i = 0; i < mirrors.size(); ++i) {
            AnsiString line = LineOf(mirrors[i], false);
            if (line != FLast[i]) fprintf(stderr, "%s\n", line.c_str());
            FLast[i] = line;
        }
        return;
    }
    if (FDrawn) fprintf(stderr, "\033[%zuA", FDrawn);
    for (const TMirrorPush& m : mirrors)
        fprintf(stderr, "\r\033[K%s\n", LineOf(m, true).substr(0, FWidth - 1).c_str());
    FDrawn = mirrors.size();
    fflush(stderr);
}

void PrintPushReport(const TPushReport& r, bool json) {
    if (json) {
        printf("{\"ok\": %s, \"mirrors\": [", r.Ok() ? "true" : "false");
        for (size_t i = 0; i < r.Mirrors.size(); ++i) {
            const TMirrorPush& m = r.Mirrors[i];
            printf("%s\n  {\"mirror\": %s, \"ok\": %s, \"result\": %s, \"step\": %s, \"failure\": %s, "
                   "\"already_current\": %s, \"files_uploaded\": %d, \"files_to_upload\": %d, "
                   "\"bytes_uploaded\": %lld, \"bytes_to_upload\": %lld, \"pruned\": %d, \"prune_failure\": %s, "
                   "\"seconds\": %.3f}",
                   i ? "," : "", JsonString(m.Mirror).c_str(), m.Ok ? "true" : "false", JsonString(ResultOf(m)).c_str(),
                   JsonString(m.Doing).c_str(), JsonString(m.Failure).c_str(), m.AlreadyCurrent ? "true" : "false",
                   m.FilesUploaded, m.FilesToUpload, static_cast<long long>(m.BytesUploaded),
                   static_cast<long long>(m.BytesToUpload), m.Pruned, JsonString(m.PruneFailure).c_str(), m.Seconds);
        }
        printf("]}\n");
        return;
    }
    std::vector<std::vector<AnsiString>> rows{{"MIRROR", "RESULT", "FILES", "BYTES", "PRUNED", "TIME", "REPLY"}};
    int served = 0;
    for (const TMirrorPush& m : r.Mirrors) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.1f s", m.Seconds);
        served += m.Ok;
        rows.push_back({m.Mirror, ResultOf(m), IntToStr(m.FilesUploaded), ShownBytes(m.BytesUploaded),
                        IntToStr(m.Pruned), seconds, m.Ok ? m.PruneFailure : m.Failure});
    }
    PrintTable(rows);
    printf("%d of %zu mirrors serve the release whole\n", served, r.Mirrors.size());
}
