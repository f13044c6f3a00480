#include "platform/dispatch/thread_pool.hpp"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <thread>

namespace platform::dispatch {

std::string_view qualityOfServiceName(QualityOfService qos) {
    switch (qos) {
        case QualityOfService::userInteractive: return "user-interactive";
        case QualityOfService::userInitiated: return "user-initiated";
        case QualityOfService::utility: return "utility";
        case QualityOfService::background: return "background";
        case QualityOfService::defaultLevel: break;
    }
    return "default";
}

int qualityOfServiceRank(QualityOfService qos) {
    switch (qos) {
        case QualityOfService::background: return 0;
        case QualityOfService::utility: return 1;
        case QualityOfService::defaultLevel: return 2;
        case QualityOfService::userInitiated: return 3;
        case QualityOfService::userInteractive: return 4;
    }
    return 2;
}

namespace detail {

namespace {

// The allocator gives each thread that allocates at once an arena of its own, and by
// default hands an arena's free top back to the system as soon as it passes 128 KiB
// (and takes it again at the next allocation). In a process whose threads run on every
// processor each such change of its memory map interrupts all of them to flush their
// address translations: a batch of small pictures spent a quarter of its time there.
// Freed memory is kept for reuse, up to 32 MiB an arena; blocks of 128 KiB and more
// (pictures' pixels) are still mapped and unmapped on their own.
void keepFreedMemoryForReuse() {
    constexpr int kTrimThreshold = 32 << 20, kTopPad = 4 << 20;
    ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    ::mallopt(M_TOP_PAD, kTopPad);
}

}  // namespace

ThreadPool& ThreadPool::shared() {
    // Never destroyed: detached workers may still be finishing work while the process exits.
    static auto* pool = [] {
        keepFreedMemoryForReuse();
        return new ThreadPool(std::clamp<std::size_t>(4 * std::max(1u, std::thread::hardware_concurrency()), 16, 64));
    }();
    return *pool;
}

ThreadPool::ThreadPool(std::size_t maxThreads) : maxThreads_(std::max<std::size_t>(1, maxThreads)) {}

std::size_t ThreadPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void ThreadPool::submit(QualityOfService qos, std::function<void()> work) {
    bool spawn = false;
    {
        std::lock_guard lock(mutex_);
        queued_[static_cast<std::size_t>(qualityOfServiceRank(qos))].push_back(std::move(work));
        ++queuedCount_;
        if (queuedCount_ > idle_ && threads_ < maxThreads_) {
            ++threads_;
            spawn = true;
        }
    }
    if (spawn) {
        std::thread([this] { workerLoop(); }).detach();
    } else {
        available_.notify_one();
    }
}

void ThreadPool::workerLoop() {
    pthread_setname_np(pthread_self(), "gw-dispatch");
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        available_.wait(lock, [this] { return queuedCount_ > 0; });
        --idle_;
        std::function<void()> work;
        for (std::size_t level = kLevels; level-- > 0;) {
            if (!queued_[level].empty()) {
                work = std::move(queued_[level].front());
                queued_[level].pop_front();
                break;
            }
        }
        --queuedCount_;
        lock.unlock();
        work();
        work = nullptr;  // captured state dies outside the lock
        lock.lock();
    }
}

}  // namespace detail
}  // namespace platform::dispatch
