// EventLoop.h on Windows: our message windows and posted work as on Linux
// (a registry of handles and procedures, one queue for every thread), woken
// and timed through one hidden message-only window of the system
// (MessageWindow.cpp): PostMessageW wakes the loop, and waits are
// MsgWaitForMultipleObjectsEx up to the next timer, which also wakes for the socket
// events that WSAAsyncSelect posts and for window input.
#include "EventLoop.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <iterator>
#include <vector>
#include <map>
#include <mutex>

#include "Dialogs.h"
#include "MessageWindow.h"

namespace {

struct WindowRec {
    WNDPROC proc;
    void* owner;
};

std::map<HWND, WindowRec>& Windows() {
    static std::map<HWND, WindowRec> w;
    return w;
}
HWND gNextHandle = 0x1000;

std::mutex gQueueMutex;
std::deque<std::function<void()>> gQueue;
bool gWakePending = false;  // guarded by gQueueMutex

// Runs the work that was queued when it started; work posted meanwhile waits
// for the next pass, so a handler that posts again cannot starve the loop.
void DispatchPosted() {
    size_t n;
    {
        std::lock_guard<std::mutex> lock(gQueueMutex);
        n = gQueue.size();
        gWakePending = false;
    }
    for (size_t i = 0; i < n; ++i) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(gQueueMutex);
            if (gQueue.empty()) return;
            task = std::move(gQueue.front());
            gQueue.pop_front();
        }
        task();
    }
}

// Timers are kept here, not as the system's: its WM_TIMER is made only
// while no posted message waits, so a task that keeps posting itself
// would starve it. Due timers run after the posted work of each pass.
using Clock = std::chrono::steady_clock;
struct TimerRec {
    Clock::duration interval;
    Clock::time_point due;
};
std::map<std::pair<HWND, UINT>, TimerRec>& Timers() {
    static std::map<std::pair<HWND, UINT>, TimerRec> t;
    return t;
}

// True when a timer ran.
bool RunDueTimers() {
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<HWND, UINT>> due;
    for (auto& t : Timers())
        if (t.second.due <= now) {
            due.push_back(t.first);
            // Periodic from now: a late pass does not make a burst of ticks.
            t.second.due = now + t.second.interval;
        }
    // A handler may kill or set timers, this one included.
    for (const auto& key : due)
        if (Timers().count(key)) SendMessage(key.first, WM_TIMER, key.second, 0);
    return !due.empty();
}

// How long a wait may last before the next timer is due.
double SecondsToNextTimer(double maxSeconds) {
    const Clock::time_point now = Clock::now();
    for (const auto& t : Timers())
        maxSeconds = std::min(maxSeconds, std::chrono::duration<double>(t.second.due - now).count());
    return std::max(maxSeconds, 0.0);
}

void EnsureStarted() { StartMessageWindow(DispatchPosted); }

}  // namespace

HWND CreateMessageWindow(WNDPROC proc, void* owner) {
    EnsureStarted();
    HWND h = gNextHandle++;
    Windows()[h] = WindowRec{proc, owner};
    return h;
}

bool DestroyWindow(HWND wnd) {
    auto& timers = Timers();
    for (auto it = timers.begin(); it != timers.end();) it = it->first.first == wnd ? timers.erase(it) : std::next(it);
    return Windows().erase(wnd) > 0;
}

bool IsWindow(HWND wnd) { return Windows().count(wnd) > 0; }

void* GetWindowOwner(HWND wnd) {
    auto it = Windows().find(wnd);
    return it == Windows().end() ? nullptr : it->second.owner;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto it = Windows().find(wnd);
    if (it == Windows().end()) return 0;
    return it->second.proc(wnd, msg, wParam, lParam);
}

void PostTask(std::function<void()> task) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(gQueueMutex);
        gQueue.push_back(std::move(task));
        wake = !gWakePending;
        gWakePending = true;
    }
    if (wake) WakeMessageWindow();
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Looked up when dispatched: a window destroyed in between gets nothing.
    PostTask([=] { SendMessage(wnd, msg, wParam, lParam); });
    return true;
}

bool SetTimer(HWND wnd, UINT id, unsigned milliseconds) {
    if (!IsWindow(wnd)) return false;
    const Clock::duration interval = std::chrono::milliseconds(milliseconds);
    Timers()[{wnd, id}] = TimerRec{interval, Clock::now() + interval};
    return true;
}

bool KillTimer(HWND wnd, UINT id) { return Timers().erase({wnd, id}) > 0; }

namespace EventLoop {

void ProcessMessages() {
    EnsureStarted();
    DispatchPosted();
    PumpSystemMessages();
    RunDueTimers();
}

void WaitForEvent(double maxSeconds) {
    EnsureStarted();
    if (PendingCount() > 0) {
        DispatchPosted();
        // A task that keeps posting itself must not starve sockets and timers.
        PumpSystemMessages();
        RunDueTimers();
        return;
    }
    // Until something was handled or the deadline: a wait cut short for a
    // timer that is not quite due yet goes on.
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(std::min(maxSeconds, 1e9)));
    for (;;) {
        const double left = std::chrono::duration<double>(end - Clock::now()).count();
        const bool arrived = WaitForSystemMessages(SecondsToNextTimer(std::max(left, 0.0)));
        if (RunDueTimers() || arrived || Clock::now() >= end) return;
    }
}

size_t PendingCount() {
    std::lock_guard<std::mutex> lock(gQueueMutex);
    return gQueue.size();
}

}  // namespace EventLoop

static TApplication gApplication;
TApplication* Application = &gApplication;

void TApplication::Run() {
    EnsureStarted();
    while (!Terminated) {
        DispatchPosted();
        RunDueTimers();
        if (Terminated) break;
        WaitForSystemMessages(SecondsToNextTimer(1e20));
    }
}

void TApplication::Terminate() {
    Terminated = true;
    PostTask([] {});  // wake the loop so it sees the flag
}

void TApplication::HandleException(const std::exception& e) { ShowException(e.what()); }

void TApplication::ShowException(const AnsiString& message) {
    AnsiString text = message;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.back() != '.') text += '.';
    ShowErrorBox(text);
}
