#include "Dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>

#include <cstdio>
#include <cstdlib>

#include "CodePage.h"
#include "System.h"

static TDialogHook gHook;

// A box comes up over the program's window, not wherever the pointer is:
// moved there as soon as its loop runs, when its size is known.
static void CentreOverOwner(void* owner) {
    Fl_Widget* icon = fl_message_icon();
    Fl_Window* box = icon ? icon->window() : nullptr;
    Fl_Window* w = static_cast<Fl_Window*>(owner);
    if (!box || box == w || !box->shown()) return;
    box->position(w->x() + (w->w() - box->w()) / 2, w->y() + (w->h() - box->h()) / 2);
}

// The program's window that a box belongs to, for as long as the box is up.
struct TBoxOwner {
    TBoxOwner() {
        Fl_Window* owner = Fl::first_window();
        if (owner && owner->shown()) Fl::add_timeout(0.0, CentreOverOwner, owner);
    }
    ~TBoxOwner() { Fl::remove_timeout(CentreOverOwner); }
};

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
    TBoxOwner owner;
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
