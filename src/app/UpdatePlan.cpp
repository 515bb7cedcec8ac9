#include "UpdatePlan.h"

#include <unordered_map>

#include "release/LineFields.h"
#include "release/UpdateEntry.h"

namespace {

bool HasFields(const AnsiString& line, int n) { return !GetField(n, line).empty(); }

// A remote line that reads like a changed-file entry ("U ...") would be taken
// for one and could overwrite any line of the installed list: refused.
// Removals ("D") are not planned by version: see Removals.h.
bool UsableRemoteLine(const AnsiString& line) {
    return HasFields(line, 5) && GetField(1, line) != "U" && !IsRemovalKind(GetField(1, line));
}

void PlanChanged(TUpdatePlan& plan, size_t index, const AnsiString& name, const AnsiString& line) {
    plan.Names.push_back(name);
    plan.Entries.push_back("U " + IntToStr(static_cast<int64_t>(index)) + " " + line);
}

void PlanNew(TUpdatePlan& plan, const AnsiString& name, const AnsiString& line) {
    plan.Names.push_back(name);
    plan.Entries.push_back(line);
}

}  // namespace

TUpdatePlan BuildUpdatePlan(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed) {
    TUpdatePlan plan;
    if (installed.size() < 2) return plan;
    // The first installed line of each name, by its ASCII-lower-cased name.
    std::unordered_map<AnsiString, size_t> firstLine;
    firstLine.reserve(installed.size());
    for (size_t i = 1; i < installed.size(); ++i) {
        if (!HasFields(installed[i], 2)) continue;
        firstLine.emplace(LowerCase(GetField(1, installed[i])), i);
    }
    for (size_t r = 1; r < remote.size(); ++r) {
        const AnsiString& line = remote[r];
        if (!UsableRemoteLine(line)) continue;
        AnsiString name = GetField(3, line);
        auto it = firstLine.find(LowerCase(name));
        if (it == firstLine.end()) {
            PlanNew(plan, name, line);
        } else if (VersionGreater(GetField(4, line), GetField(2, installed[it->second]))) {
            PlanChanged(plan, it->second, name, line);
        }
    }
    return plan;
}

TUpdatePlan BuildUpdatePlanByPairs(const std::vector<AnsiString>& remote, const std::vector<AnsiString>& installed) {
    TUpdatePlan plan;
    for (size_t r = 1; r < remote.size(); ++r) {
        const AnsiString& line = remote[r];
        if (!UsableRemoteLine(line)) continue;
        AnsiString name = GetField(3, line), version = GetField(4, line);
        for (size_t i = 1; i < installed.size(); ++i) {
            bool usable = HasFields(installed[i], 2);
            if (usable && SameNameIgnoringCase(name, GetField(1, installed[i]))) {
                if (VersionGreater(version, GetField(2, installed[i]))) PlanChanged(plan, i, name, line);
                break;
            }
            if (i + 1 == installed.size()) PlanNew(plan, name, line);
        }
    }
    return plan;
}
