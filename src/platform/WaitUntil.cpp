// The one nested wait, the same on every back end: it blocks in
// WaitForEvent while nothing is pending, so it costs no processor time.
#include <algorithm>
#include <chrono>

#include "EventLoop.h"

namespace EventLoop {

bool WaitUntil(const std::function<bool()>& done, double maxSeconds) {
    using Clock = std::chrono::steady_clock;
    const bool bounded = maxSeconds >= 0;
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(bounded ? maxSeconds : 0));
    while (!done()) {
        double left = 3600;
        if (bounded) {
            left = std::chrono::duration<double>(until - Clock::now()).count();
            if (left <= 0) return false;
        }
        WaitForEvent(std::min(left, 3600.0));
    }
    return true;
}

}  // namespace EventLoop
