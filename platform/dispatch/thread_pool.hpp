#pragma once
// The worker threads behind every queue. Work waits here until a thread is free;
// the pool grows while all its threads are busy (work that blocks must not
// starve the rest) and stops growing at a fixed bound.
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

    static constexpr std::size_t kLevels = 5;
    const std::size_t maxThreads_;
    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::array<std::deque<std::function<void()>>, kLevels> queued_;
    std::size_t queuedCount_ = 0;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

}  // namespace platform::dispatch::detail
