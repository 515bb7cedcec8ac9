// The one user-interface thread's message loop, built on FLTK's loop.
//
// Hidden message windows stand in for the original platform's windows: a
// handle, a window procedure and one pointer of extra data (the owner).
// Messages posted to a window run its procedure on the UI thread, in the
// order posted; messages to a window destroyed in between are dropped.
// Timers are periodic and arrive as WM_TIMER at the window procedure.
// Only PostMessage and PostTask may be called from another thread.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>

#include "Classes.h"

using HWND = intptr_t;  // 0 = no window
using UINT = unsigned;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_ACTIVATEAPP = 28;
constexpr UINT WM_TIMER = 275;
constexpr UINT WM_USER = 1024;

inline uint16_t LOWORD(LPARAM l) { return static_cast<uint16_t>(l & 0xFFFF); }
inline uint16_t HIWORD(LPARAM l) { return static_cast<uint16_t>((l >> 16) & 0xFFFF); }

HWND CreateMessageWindow(WNDPROC proc, void* owner);
bool DestroyWindow(HWND wnd);
bool IsWindow(HWND wnd);
void* GetWindowOwner(HWND wnd);
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);  // any thread
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostTask(std::function<void()> task);  // any thread; runs on the UI thread
// Runs `task` on the UI thread once `seconds` have passed (UI thread only).
void PostTaskAfter(double seconds, std::function<void()> task);

// Periodic timer `id` of `wnd`; setting it again restarts its countdown.
bool SetTimer(HWND wnd, UINT id, unsigned milliseconds);
bool KillTimer(HWND wnd, UINT id);

namespace EventLoop {
// Runs everything pending (posted messages, socket and timer callbacks,
// window events) and returns; never blocks.
void ProcessMessages();
// Blocks until a posted message, socket event, timer or window event has been
// handled, or until `maxSeconds` have passed. For waits on the network.
void WaitForEvent(double maxSeconds);
// The one nested wait: events are handled, blocking while nothing is
// pending, until `done` says so or `maxSeconds` have passed (negative: no
// deadline but `done`). True when `done` ended it.
bool WaitUntil(const std::function<bool()>& done, double maxSeconds = -1);
// Number of posted messages not yet dispatched (for tests).
size_t PendingCount();
}  // namespace EventLoop

class TApplication {
public:
    AnsiString Title;
    bool Terminated = false;
    void Run();
    void Terminate();
    void ProcessMessages() { EventLoop::ProcessMessages(); }
    // The standard error box for an exception that left an event handler.
    void HandleException(const std::exception& e);
    void ShowException(const AnsiString& message);
};

extern TApplication* Application;
