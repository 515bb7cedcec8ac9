// Modal message dialogs. Texts are byte texts in the system code page.
// Each dialog runs a nested loop, so socket events and timers go on while it
// is open, as they did under message boxes on the original platform.
#pragma once
#include <functional>

#include "Classes.h"

enum class TDialogKind { Message, Error, ErrorAbort, Confirm };

void ShowMessageBox(const AnsiString& text);       // plain message box, OK
void ShowErrorBox(const AnsiString& text);         // the standard error report, OK
void ShowErrorAbortDialog(const AnsiString& text); // error dialog with one Abort button
bool ConfirmYesNo(const AnsiString& text);         // true for Yes

// Tests and headless runs replace the dialogs: the hook receives each dialog
// and answers it (the answer matters only for Confirm). An empty hook brings
// back the real dialogs.
using TDialogHook = std::function<bool(TDialogKind kind, const AnsiString& text)>;
void SetDialogHook(TDialogHook hook);
