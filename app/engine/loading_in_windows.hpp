#pragma once
// Reading pictures is mostly decoding, which runs well side by side: a few at a time,
// each on a thread of its own, their results taken in their order.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <future>

namespace gw {

// Runs load(i) for every i below `count`, at most `window` of them read and not yet taken
// at once, and hands each result to take(i, result) on the calling thread in order. The
// next load starts as soon as a result is taken, not once a whole window is: one picture
// that takes long holds up only those behind it, never a window's worth of threads idle
// beside it. `load` runs on other threads and must not throw.
template <class Result, class Load, class Take>
void loadInWindows(std::size_t count, std::size_t window, const Load& load, const Take& take) {
    window = std::max<std::size_t>(1, window);
    std::deque<std::future<Result>> loads;
    std::size_t started = 0;
    for (std::size_t i = 0; i < count; ++i) {
        for (; started < count && started < i + window; ++started) {
            loads.push_back(std::async(std::launch::async, [&load, started] { return load(started); }));
        }
        Result result = loads.front().get();
        loads.pop_front();
        take(i, std::move(result));
    }
}

}  // namespace gw
