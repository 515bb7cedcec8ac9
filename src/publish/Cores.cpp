#include "Cores.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

void OnEveryCore(size_t count, const std::function<void(size_t)>& each) {
    std::atomic<size_t> next{0};
    std::vector<std::exception_ptr> failures(count);
    auto work = [&] {
        for (size_t k; (k = next++) < count;) {
            try {
                each(k);
            } catch (...) {
                failures[k] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 1; i < cores && i < count; ++i) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}
