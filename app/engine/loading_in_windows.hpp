#pragma once
// Reading pictures is mostly decoding, which runs well side by side: a few at a time,
// each on one of a window's worth of threads, their results taken in their order.
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace gw {

// Runs load(i) for every i below `count`, at most `window` of them read and not yet taken
// at once, and hands each result to take(i, result) on the calling thread in order. The
// next load starts as soon as a result is taken, not once a whole window is: one picture
// that takes long holds up only those behind it, never a window's worth of threads idle
// beside it. `load` runs on other threads and must not throw.
//
// The loads share a window's worth of threads, made once a call: a thread for each
// picture costs more than reading a small one (making and ending a thread in a process
// whose other threads run on every processor interrupts all of them), and each new
// thread may take another of the allocator's arenas.
template <class Result, class Load, class Take>
void loadInWindows(std::size_t count, std::size_t window, const Load& load, const Take& take) {
    window = std::max<std::size_t>(1, window);
    if (count == 0) return;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0, taken = 0;
    bool stopping = false;
    // Picture i's result waits in slot i % window: no more than a window is ever read
    // and not yet taken.
    std::vector<std::optional<Result>> slots(window);
    const auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopping || next >= count || next < taken + window; });
            if (stopping || next >= count) return;
            const std::size_t i = next++;
            lock.unlock();
            std::optional<Result> result(load(i));
            lock.lock();
            slots[i % window] = std::move(result);
            changed.notify_all();
        }
    };
    std::vector<std::thread> team;
    // Done, or stopped by a take that throws: the loads under way end before this does.
    struct Join {
        std::vector<std::thread>& team;
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stopping;
        ~Join() {
            {
                std::lock_guard lock(mutex);
                stopping = true;
            }
            changed.notify_all();
            for (auto& thread : team) thread.join();
        }
    } join{team, mutex, changed, stopping};
    const std::size_t threads = std::min(window, count);
    for (std::size_t t = 0; t < threads; ++t) {
        try {
            team.emplace_back(work);
        } catch (const std::system_error&) {
            // Out of threads: those made read them all, or the caller's own when none was.
            break;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<Result> result;
        if (team.empty()) {
            result.emplace(load(i));
        } else {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slots[i % window].has_value(); });
            result = std::move(slots[i % window]);
            slots[i % window].reset();
        }
        take(i, std::move(*result));
        // Its room in the window is free once it is taken.
        std::lock_guard lock(mutex);
        taken = i + 1;
        changed.notify_all();
    }
}

}  // namespace gw
