#include "Dialogs.h"

#include <FL/Fl.H>
#include <FL/fl_ask.H>

#include <cstdio>
#include <cstdlib>

#include "CodePage.h"
#include "System.h"

static TDialogHook gHook;

void SetDialogHook(TDialogHook hook) { gHook = std::move(hook); }

static bool Show(TDialogKind kind, const AnsiString& text) {
    if (gHook) return gHook(kind, text);
    AnsiString utf8 = DisplayToUtf8(text);
    const char* display = getenv("DISPLAY");
    if (!display || !*display) {
        // No screen to show it on: the text still reaches the user's terminal.
        fprintf(stderr, "skiff: %s\n", utf8.c_str());
        return false;
    }
    switch (kind) {
        case TDialogKind::Message:
            fl_message_title("skiff");
            fl_message("%s", utf8.c_str());
            return true;
        case TDialogKind::Error:
            fl_message_title("Error");
            fl_alert("%s", utf8.c_str());
            return true;
        case TDialogKind::ErrorAbort:
            fl_message_title("Error");
            fl_choice("%s", "Abort", nullptr, nullptr, utf8.c_str());
            return true;
        case TDialogKind::Confirm:
            fl_message_title("Confirm");
            return fl_choice("%s", "No", "Yes", nullptr, utf8.c_str()) == 1;
    }
    return false;
}

void ShowMessageBox(const AnsiString& text) { Show(TDialogKind::Message, text); }
void ShowErrorBox(const AnsiString& text) { Show(TDialogKind::Error, text); }
void ShowErrorAbortDialog(const AnsiString& text) { Show(TDialogKind::ErrorAbort, text); }
bool ConfirmYesNo(const AnsiString& text) { return Show(TDialogKind::Confirm, text); }
