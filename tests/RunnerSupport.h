// Test scaffolding: an update run set up as the start-up sequence leaves it,
// the plan's update3.dat already in the application folder.
#pragma once
#include <string>

#include "TestSupport.h"
#include "app/UpdateRunner.h"
#include "crypto/Sha256.h"

namespace testing_support {

// `run` gets its folder, the plan's list and the installed list; its
// servers (Servers, CurrentServerLine) are the caller's.
inline void PlanRunIn(TUpdateRunner& run, const TempDir& app, TStringList& installed) {
    run.AppFolder = app.appFolder();
    TStringList remote;
    remote.LoadFromFile(app.appFolder() + "update3.dat");
    run.ListHeader = remote[0];
    run.PlanListSha = Sha256Of(ReadFile(app.file("update3.dat")));
    run.Installed = &installed;
    run.LoggedInSilence = 3000;
}

}  // namespace testing_support
