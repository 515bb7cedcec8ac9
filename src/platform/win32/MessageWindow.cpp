#include "MessageWindow.h"

#include <windows.h>

namespace {

const UINT kWake = WM_APP + 1;
HWND gWindow = nullptr;
void (*gOnWake)() = nullptr;
void (*gOnSocket)(unsigned, uintptr_t, intptr_t) = nullptr;

LRESULT CALLBACK Procedure(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == kWake) {
        if (gOnWake) gOnWake();
        return 0;
    }
    if (msg >= kFirstSocketMessage && msg < kFirstSocketMessage + kSocketMessageCount) {
        if (gOnSocket) gOnSocket(msg, w, l);
        return 0;
    }
    return DefWindowProcW(wnd, msg, w, l);
}

}  // namespace

void StartMessageWindow(void (*onWake)()) {
    if (gWindow) return;
    gOnWake = onWake;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"skiff-messages";
    RegisterClassExW(&wc);
    gWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

void* MessageWindowHandle() { return gWindow; }

void SetSocketMessageHandler(void (*onSocket)(unsigned, uintptr_t, intptr_t)) { gOnSocket = onSocket; }

void WakeMessageWindow() {
    if (gWindow) PostMessageW(gWindow, kWake, 0, 0);
}

void PumpSystemMessages() {
    // What is queued now, and a bounded number: a window that keeps posting
    // to itself cannot hold the loop here.
    MSG msg;
    for (int i = 0; i < 1000 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool WaitForSystemMessages(double maxSeconds) {
    const double ms = maxSeconds * 1000;
    const DWORD timeout = ms <= 0 ? 0 : ms >= 4e9 ? INFINITE : static_cast<DWORD>(ms + 0.999);
    const bool arrived = MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0;
    PumpSystemMessages();
    return arrived;
}
