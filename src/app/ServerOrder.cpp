#include "ServerOrder.h"

#include <sys/time.h>

#include "platform/FileSystem.h"
#include "platform/StringList.h"

uint32_t ClockSeed() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t secondsToday = static_cast<uint64_t>(tv.tv_sec) % 86400;
    return static_cast<uint32_t>(secondsToday * 1000 + tv.tv_usec / 1000);
}

std::vector<AnsiString> BuildServerOrder(const std::vector<AnsiString>& isp0Lines, int selected,
                                         TRandomGenerator& random) {
    std::vector<AnsiString> order, rest = isp0Lines;
    int serverLines = static_cast<int>(isp0Lines.size()) - 1;
    if (selected >= 0 && selected < serverLines) {
        order.push_back(isp0Lines[selected]);
        rest.erase(rest.begin() + selected);
    }
    // The sentinel is last in `rest` and a draw never reaches the last line
    // while another is left, so it ends the order.
    for (size_t n = rest.size(); n > 0; --n) {
        uint32_t r = rest.size() == 1 ? 0 : random.Next(static_cast<uint32_t>(rest.size() - 1));
        order.push_back(rest[r]);
        rest.erase(rest.begin() + r);
    }
    return order;
}

int SavedServerChoice(const AnsiString& appFolder, int items) {
    if (!FileExists(appFolder + "isp1.dat")) return 0;
    int selected = 0;
    try {
        TStringList saved;
        saved.LoadFromFile(appFolder + "isp1.dat");
        if (saved.Count() > 0) selected = StrToInt(saved[0]);
    } catch (const Exception&) {
        return 0;  // an unreadable choice falls back to the first item
    }
    return selected < 0 || selected >= items ? 0 : selected;
}
