#include "ThreadTimer.h"

TThreadTimer::TThreadTimer(TComponent* AOwner) : TComponent(AOwner) {
    FEnabled = true;
    FInterval = 1000;
    FWindowHandle = CreateMessageWindow(TimerWndProc, this);
}

TThreadTimer::~TThreadTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindowHandle);
}

LRESULT TThreadTimer::TimerWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* timer = static_cast<TThreadTimer*>(GetWindowOwner(wnd));
    if (!timer) return DefWindowProc(wnd, msg, wParam, lParam);
    if (msg == WM_ACTIVATEAPP) return 0;
    if (msg == WM_TIMER) {
        try {
            timer->Timer();
        } catch (const std::exception& e) {
            Application->HandleException(e);
        }
        return 0;
    }
    return DefWindowProc(wnd, msg, wParam, lParam);
}

void TThreadTimer::UpdateTimer() {
    KillTimer(FWindowHandle, 1);
    FRunning = false;
    if (FInterval != 0 && FEnabled && FOnTimer) {
        if (!SetTimer(FWindowHandle, 1, FInterval)) throw Exception("No Timer");
        FRunning = true;
    }
}

void TThreadTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
    FEnabled = v;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned v) {
    if (v == FInterval) return;
    FInterval = v;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent e) {
    FOnTimer = std::move(e);
    UpdateTimer();
}

void TThreadTimer::Timer() {
    if (FOnTimer) FOnTimer(this);
}
