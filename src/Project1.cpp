// The updater's entry point: one instance only, then the main window and the
// server dialog, then the message loop until the main window closes.
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "platform/Display.h"
#include "platform/EventLoop.h"
#include "platform/SingleInstance.h"

int main() {
    // A second start brings the running one forward and ends quietly.
    if (ActivateRunningInstance("skiff.exe")) return 0;
    PrepareFontsInBackground();
    OpenDisplay();
    Application->Title = "skiff.exe";
    Form1 = new TForm1(nullptr);
    SetMainForm(Form1);
    ClaimInstanceTitle(Application->Title, [] {
        if (Form1) Form1->BringToFront();
    });
    Form2 = new TForm2(nullptr);
    Form1->Show();
    Application->Run();
    delete Form2;
    delete Form1;
    ReleaseInstanceTitle();
    return 0;
}
