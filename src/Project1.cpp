// The updater's entry point: single instance, the application, its windows and
// the message loop.
#include "platform/EventLoop.h"
#include "platform/SingleInstance.h"

int main() {
    if (ActivateRunningInstance("skiff.exe")) return 0;
    Application->Title = "skiff.exe";
    ClaimInstanceTitle(Application->Title, [] {});
    return 0;
}
