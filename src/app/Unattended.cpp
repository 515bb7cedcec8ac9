#include "Unattended.h"

#include "ServerOrder.h"
#include "Texts.h"
#include "UpdateLog.h"
#include "UpdaterCore.h"
#include "platform/FileSystem.h"
#include "platform/StringList.h"
#include "platform/System.h"

namespace {

int Ends(int status) {
    UpdateLog::Write("unattended run ends with " + IntToStr(status));
    return status;
}

}  // namespace

int RunWithoutWindow(const AnsiString& appFolder, bool repair) {
    RemoveLeftoverTemporaries(appFolder);
    TStringList servers;
    try {
        servers.LoadFromFile(appFolder + "isp0.dat");
    } catch (const EInOutError&) {
        UpdateLog::Write(Localized(TText::ServerListUnreadable, 'n', ShownPath(appFolder + "isp0.dat")));
        return Ends(kExitNoServer);
    }
    TUpdaterCore core;
    core.AppFolder = appFolder;
    core.ForceRepair = repair;
    if (!core.LoadKey()) return Ends(kExitNoServer);
    // The dialog lists the servers and "Other": as many items as lines.
    core.OrderServers(servers.Lines(), SavedServerChoice(appFolder, servers.Count()), ClockSeed());
    TUpdaterCore::TFound found;
    try {
        found = core.FindList();
    } catch (const std::exception& e) {
        UpdateLog::Write(AnsiString("stopped: ") + e.what());
        return Ends(kExitNoServer);
    }
    if (found == TUpdaterCore::TFound::NoValidList) UpdateLog::Write("no server offers a valid update list");
    if (found != TUpdaterCore::TFound::List) {
        if (found != TUpdaterCore::TFound::NoValidList) UpdateLog::Write("no server could be used");
        return Ends(kExitNoServer);
    }
    try {
        // The plan's release, then once more when a mirror showed a newer one.
        for (int round = 0; round < 2; ++round) {
            std::vector<AnsiString> names = core.MakePlan();
            while (!core.CheckSlice(1.0, names)) {
            }
            if (core.UpdateList->Count() == 0) {
                core.AcceptSerial();
                core.LookForNewer();
            } else {
                std::vector<int> failed;
                core.Run({}, failed);
                if (!failed.empty()) {
                    UpdateLog::Write(IntToStr(static_cast<int64_t>(failed.size())) + " files were not updated");
                    core.Close();
                    return Ends(kExitFailedEntries);
                }
                if (!core.NewerSeen()) core.LookForNewer();
            }
            if (round > 0 || !core.NewerSeen()) break;
            if (core.PlanNewer() != TUpdaterCore::TFound::List) {
                UpdateLog::Write("the newer release cannot be had now");
                break;
            }
        }
        if (core.CheckLauncher() != TUpdaterCore::TLauncher::AsReleased) {
            core.Close();
            return Ends(kExitLauncherFailed);
        }
        core.Close();
    } catch (const std::exception& e) {
        UpdateLog::Write(AnsiString("the run stopped: ") + e.what());
        return Ends(kExitFailedEntries);
    }
    AnsiString error;
    if (!core.Launch(error)) return Ends(kExitLauncherFailed);
    return Ends(0);
}
