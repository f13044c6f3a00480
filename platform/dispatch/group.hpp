#pragma once
// Groups, semaphores and once-only work; stand in for the platform's dispatch
// groups, semaphores and once tokens. Groups and semaphores are handles: copies
// share the same count. Timeouts of the blocking waits are real time.
#include "platform/dispatch/dispatch_queue.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform::dispatch {

class DispatchGroup {
public:
    DispatchGroup();

    void enter() const;
    // Leaving more often than entering is a broken invariant and a fatal error.
    void leave() const;
    // Runs `work` on `queue` once the group is empty: at once if it is empty now.
    void notify(const DispatchQueue& queue, DispatchQueue::Work work) const;
    // Waits until the group is empty; false when `timeout` passed first.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0);

    // Returns true when a waiter was woken.
    bool signal() const;
    // Takes one from the count, waiting for it at most `timeout`; false on timeout.
    bool wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Runs a piece of work once per token, however many threads ask at the same time;
// later callers wait until the first has finished. reset() makes the token unused
// again (for shared instances that tests tear down).
class DispatchOnce {
public:
    DispatchOnce() = default;
    DispatchOnce(const DispatchOnce&) = delete;
    DispatchOnce& operator=(const DispatchOnce&) = delete;

    // Returns true on the call that ran `work`. Asking the same token from inside its
    // own work would wait forever and is a fatal error.
    template <class F>
    bool perform(F&& work) {
        if (done_.load(std::memory_order_acquire)) return false;
        std::unique_lock lock(mutex_);
        if (done_.load(std::memory_order_relaxed)) return false;
        checkNotReentered();
        runner_ = std::this_thread::get_id();
        struct Clear {
            DispatchOnce& once;
            ~Clear() { once.runner_ = std::thread::id(); }
        } clear{*this};
        std::forward<F>(work)();
        done_.store(true, std::memory_order_release);
        return true;
    }
    bool hasRun() const { return done_.load(std::memory_order_acquire); }
    void reset();

private:
    void checkNotReentered() const;

    std::recursive_mutex mutex_;
    std::atomic<bool> done_{false};
    std::thread::id runner_;
};

}  // namespace platform::dispatch
