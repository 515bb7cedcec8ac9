#include "app/ServerHealth.h"

void TServerHealth::Clear() {
    BeginEntry();
    FInARow.clear();
    FDropped.clear();
}

void TServerHealth::BeginEntry() {
    FEntryTries.clear();
    FBrokeEntry.clear();
}

void TServerHealth::BrokenTry(const AnsiString& server, bool broughtBytes) {
    if (!broughtBytes) ++FEntryTries[server];
    FBrokeEntry.insert(server);
}

void TServerHealth::Refused(const AnsiString& server) { FEntryTries[server] = kTriesPerServerAndEntry; }

bool TServerHealth::MayAsk(const AnsiString& server) const {
    if (Dropped(server)) return false;
    auto at = FEntryTries.find(server);
    return at == FEntryTries.end() || at->second < kTriesPerServerAndEntry;
}

void TServerHealth::Delivered(const AnsiString& server) { FInARow.erase(server); }

std::vector<AnsiString> TServerHealth::NotInstalled() {
    std::vector<AnsiString> dropped;
    for (const AnsiString& server : FBrokeEntry)
        if (++FInARow[server] >= kEntriesInARow && Drop(server)) dropped.push_back(server);
    return dropped;
}

bool TServerHealth::Drop(const AnsiString& server) { return FDropped.insert(server).second; }
