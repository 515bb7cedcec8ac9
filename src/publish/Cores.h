// The publisher's work spread over the machine's cores.
#pragma once
#include <cstddef>
#include <functional>

// Runs each(0) .. each(count - 1) on every core, each index once; the first
// failure is raised once all have ended.
void OnEveryCore(size_t count, const std::function<void(size_t)>& each);
