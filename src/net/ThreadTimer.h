// TThreadTimer: a periodic timer on a hidden window of its own. It ticks
// every Interval milliseconds while Enabled, Interval > 0 and OnTimer is
// assigned; any change of the three restarts it. Setting a property to the
// value it already has changes nothing, so a running countdown goes on.
#pragma once
#include "platform/EventLoop.h"

class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* AOwner);
    ~TThreadTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned v);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent e);
    // Fires OnTimer; called for every tick.
    virtual void Timer();
    bool Running() const { return FRunning; }

private:
    static LRESULT TimerWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void UpdateTimer();

    unsigned FInterval = 1000;
    HWND FWindowHandle = 0;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
    bool FRunning = false;
};
