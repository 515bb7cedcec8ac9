#include "EventLoop.h"

#include <FL/Fl.H>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "Dialogs.h"

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

// Posted work, filled from any thread; a self-pipe wakes FLTK's loop.
std::mutex gQueueMutex;
std::deque<std::function<void()>> gQueue;
int gWakePipe[2] = {-1, -1};
bool gWakePending = false;  // guarded by gQueueMutex

void DispatchPosted();

void OnWakePipe(int fd, void*) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    DispatchPosted();
}

void EnsureWakePipe() {
    if (gWakePipe[0] >= 0) return;
    if (pipe2(gWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    Fl::add_fd(gWakePipe[0], FL_READ, OnWakePipe);
}

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

struct TimerRec {
    HWND wnd;
    UINT id;
    double seconds;
};
std::map<std::pair<HWND, UINT>, TimerRec*>& Timers() {
    static std::map<std::pair<HWND, UINT>, TimerRec*> t;
    return t;
}

void OnTimer(void* data) {
    auto* rec = static_cast<TimerRec*>(data);
    Fl::repeat_timeout(rec->seconds, OnTimer, rec);
    // The handler may kill this timer (and free rec): read it first.
    HWND wnd = rec->wnd;
    UINT id = rec->id;
    SendMessage(wnd, WM_TIMER, id, 0);
}

}  // namespace

HWND CreateMessageWindow(WNDPROC proc, void* owner) {
    EnsureWakePipe();
    HWND h = gNextHandle++;
    Windows()[h] = WindowRec{proc, owner};
    return h;
}

bool DestroyWindow(HWND wnd) {
    auto& timers = Timers();
    for (auto it = timers.begin(); it != timers.end();) {
        if (it->first.first == wnd) {
            Fl::remove_timeout(OnTimer, it->second);
            delete it->second;
            it = timers.erase(it);
        } else {
            ++it;
        }
    }
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
    if (wake && gWakePipe[1] >= 0) {
        char b = 1;
        (void)!write(gWakePipe[1], &b, 1);
    }
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // The window is looked up when the message is dispatched, so a message
    // to a window destroyed in between is dropped.
    PostTask([=] { SendMessage(wnd, msg, wParam, lParam); });
    return true;
}

namespace {
void RunDelayedTask(void* data) {
    std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(data));
    (*task)();
}
}  // namespace

void PostTaskAfter(double seconds, std::function<void()> task) {
    Fl::add_timeout(seconds, RunDelayedTask, new std::function<void()>(std::move(task)));
}

bool SetTimer(HWND wnd, UINT id, unsigned milliseconds) {
    if (!IsWindow(wnd)) return false;
    KillTimer(wnd, id);
    auto* rec = new TimerRec{wnd, id, milliseconds / 1000.0};
    Timers()[{wnd, id}] = rec;
    Fl::add_timeout(rec->seconds, OnTimer, rec);
    return true;
}

bool KillTimer(HWND wnd, UINT id) {
    auto it = Timers().find({wnd, id});
    if (it == Timers().end()) return false;
    Fl::remove_timeout(OnTimer, it->second);
    delete it->second;
    Timers().erase(it);
    return true;
}

namespace EventLoop {

void ProcessMessages() {
    EnsureWakePipe();
    DispatchPosted();
    Fl::check();
}

void WaitForEvent(double maxSeconds) {
    EnsureWakePipe();
    if (PendingCount() > 0) {
        DispatchPosted();
        // A task that keeps posting itself must not starve sockets and timers.
        Fl::check();
        return;
    }
    // FLTK runs a due timeout at the start of its next pass, not in the pass
    // whose sleep it ended: run that pass now, without blocking.
    Fl::wait(maxSeconds);
    Fl::check();
}

size_t PendingCount() {
    std::lock_guard<std::mutex> lock(gQueueMutex);
    return gQueue.size();
}

}  // namespace EventLoop

static TApplication gApplication;
TApplication* Application = &gApplication;

void TApplication::Run() {
    EnsureWakePipe();
    while (!Terminated) {
        DispatchPosted();
        if (Terminated) break;
        Fl::wait(1e20);
    }
}

void TApplication::Terminate() {
    Terminated = true;
    PostTask([] {});  // wake the loop so it sees the flag
}

void TApplication::HandleException(const std::exception& e) { ShowException(e.what()); }

void TApplication::ShowException(const AnsiString& message) {
    AnsiString text = message;
    // A server's reply keeps its line end: no stray CR in the box.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.back() != '.') text += '.';
    ShowErrorBox(text);
}
