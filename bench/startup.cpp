// Time from process start to the main window on the screen: starts skiff in
// a fresh application folder and watches the X server for the map of the
// window titled "update". Median of 9 starts. Needs a display.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static bool IsMainWindow(Display* d, Window w) {
    char* name = nullptr;
    bool yes = XFetchName(d, w, &name) && name && std::string(name) == "update";
    if (name) XFree(name);
    return yes;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_startup APP_FOLDER_WITH_SKIFF\n");
        return 2;
    }
    std::string skiff = std::string(argv[1]) + "/skiff";
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        fprintf(stderr, "bench_startup: needs a display\n");
        return 1;
    }
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    std::vector<double> ms;
    for (int run = 0; run < 9; ++run) {
        XSync(d, True);
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            setenv("LANG", "zh_TW.UTF-8", 1);
            execl(skiff.c_str(), "skiff", nullptr);
            _exit(127);
        }
        bool seen = false;
        while (!seen) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == MapNotify) seen = IsMainWindow(d, e.xmap.window);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    printf("start-up to main window mapped: median %.1f ms, best %.1f ms, worst %.1f ms (target < 150 ms)\n",
           sorted[ms.size() / 2], sorted.front(), sorted.back());
    return 0;
}
