#pragma once
// The worker threads behind every queue. Work waits here until a thread is free;
// the pool grows while all its threads are busy (work that blocks must not
// starve the rest) and stops growing at a fixed bound. A thread the system will not
// make (an address-space or process limit) is no failure of the work: it waits for the
// threads there are, and the pool tries to grow again as they finish work; with no
// thread at all it runs on the thread that submits it.
#include "platform/dispatch/quality_of_service.hpp"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace platform::dispatch::detail {

class ThreadPool {
public:
    static ThreadPool& shared();

    explicit ThreadPool(std::size_t maxThreads);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Runs `work` on a pool thread; higher quality of service is taken first.
    void submit(QualityOfService qos, std::function<void()> work);

    std::size_t maxThreads() const { return maxThreads_; }
    std::size_t threadCount() const;

private:
    void workerLoop();
    // Makes a thread when queued work has no idle one to take it, else wakes one.
    // Called with the lock held; returns with it released.
    void growOrWake(std::unique_lock<std::mutex>& lock);
    // Runs queued work here while the pool has no thread. Called with the lock held;
    // returns with it released.
    void runWhileThreadless(std::unique_lock<std::mutex>& lock);
    // The most urgent queued work. Called with the lock held and work queued.
    std::function<void()> takeNext();

    static constexpr std::size_t kLevels = 5;
    const std::size_t maxThreads_;
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::array<std::deque<std::function<void()>>, kLevels> queued_;
    std::size_t queuedCount_ = 0;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    // The system refused a thread since the pool last made one.
    bool refused_ = false;
};

}  // namespace platform::dispatch::detail
