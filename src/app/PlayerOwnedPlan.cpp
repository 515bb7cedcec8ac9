#include "PlayerOwnedPlan.h"

#include <set>

#include "UpdateLog.h"
#include "platform/FileSystem.h"
#include "release/PlayerOwned.h"

void LeaveToThePlayer(const AnsiString& header, const AnsiString& appFolder, TUpdatePlan& plan) {
    const std::set<AnsiString> owned = DeclaredOwnedFiles(header);
    if (owned.empty()) return;
    TUpdatePlan kept;
    for (size_t i = 0; i < plan.Entries.size(); ++i) {
        const AnsiString& name = plan.Names[i];
        if (owned.count(LowerCase(name)) && IsSafeRelativeName(name) && FileExists(appFolder + name)) {
            UpdateLog::Write(name + " belongs to the player: left as it is");
            continue;
        }
        kept.Names.push_back(std::move(plan.Names[i]));
        kept.Entries.push_back(std::move(plan.Entries[i]));
    }
    plan = std::move(kept);
}
