#pragma once
// Reading pictures is mostly decoding, which runs well side by side: a few at a time,
// each on a thread of its own, their results taken in their order.
#include <algorithm>
#include <cstddef>
#include <future>
#include <vector>

namespace gw {

// Runs load(i) for every i below `count`, up to `window` at a time, and hands each
// result to take(i, result) on the calling thread in order, one window after another
// (so that what a window read can be dealt with before the next is read). `load` runs
// on other threads and must not throw.
template <class Result, class Load, class Take>
void loadInWindows(std::size_t count, std::size_t window, const Load& load, const Take& take) {
    window = std::max<std::size_t>(1, window);
    for (std::size_t first = 0; first < count; first += window) {
        const std::size_t last = std::min(count, first + window);
        std::vector<std::future<Result>> loads;
        for (std::size_t i = first; i < last; ++i) {
            loads.push_back(std::async(std::launch::async, [&load, i] { return load(i); }));
        }
        for (std::size_t i = first; i < last; ++i) take(i, loads[i - first].get());
    }
}

}  // namespace gw
