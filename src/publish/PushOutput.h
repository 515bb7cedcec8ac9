// What push shows: a line per mirror while it runs (redrawn in place on a
// terminal, a plain line per step otherwise, on stderr), then the summary
// table or JSON on stdout.
#pragma once
#include "Push.h"

class TPushProgressLines {
public:
    explicit TPushProgressLines(bool terminal);
    void Show(const std::vector<TMirrorPush>& mirrors);

private:
    bool FTerminal;
    size_t FWidth = 80;                // a longer line would wrap and spoil the redraw
    size_t FDrawn = 0;                 // lines drawn last time (terminal)
    std::vector<AnsiString> FLast;     // each mirror's last plain line
};

void PrintPushReport(const TPushReport& report, bool json);
