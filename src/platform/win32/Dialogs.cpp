// The message dialogs as system message boxes (the window and its own
// dialogs come with the Win32 window back end), replaceable by a hook.
#include "Dialogs.h"

#include <windows.h>

#include "CodePage.h"
#include "WideNames.h"

static TDialogHook gHook;

void SetDialogHook(TDialogHook hook) { gHook = std::move(hook); }

static bool Show(TDialogKind kind, const AnsiString& text, UINT style) {
    if (gHook) return gHook(kind, text);
    int answer = MessageBoxW(nullptr, WideFromUtf8(DisplayToUtf8(text)).c_str(), L"skiff", style | MB_TASKMODAL);
    return answer == IDYES || answer == IDOK;
}

void ShowMessageBox(const AnsiString& text) { Show(TDialogKind::Message, text, MB_OK); }
void ShowErrorBox(const AnsiString& text) { Show(TDialogKind::Error, text, MB_OK | MB_ICONERROR); }
void ShowErrorAbortDialog(const AnsiString& text) { Show(TDialogKind::ErrorAbort, text, MB_OK | MB_ICONERROR); }
bool ConfirmYesNo(const AnsiString& text) { return Show(TDialogKind::Confirm, text, MB_YESNO | MB_ICONQUESTION); }
