#include "platform/dispatch/thread_pool.hpp"

#include "platform/log/system_log.hpp"

#include <fmt/format.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

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

const log::SystemLog& poolLog() {
    static const auto* instance = new log::SystemLog("platform.dispatch", "pool");
    return *instance;
}

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

// Each arena reserves 64 MiB of address space, used or not. Under an address-space limit
// (`ulimit -v`) the arenas of a dozen threads would take all of it, and the system would
// then refuse threads their stacks and pictures their pixels: there the arenas reserve
// at most a quarter of the limit, and threads share them beyond that.
void fitArenasToAddressSpaceLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    constexpr rlim_t kArenaReservation = rlim_t{64} << 20;
    const rlim_t usual = rlim_t{8} * std::max(1u, std::thread::hardware_concurrency());
    ::mallopt(M_ARENA_MAX, int(std::clamp<rlim_t>(limit.rlim_cur / 4 / kArenaReservation, 1, usual)));
}

}  // namespace

ThreadPool& ThreadPool::shared() {
    // Never destroyed: detached workers may still be finishing work while the process exits.
    static auto* pool = [] {
        keepFreedMemoryForReuse();
        fitArenasToAddressSpaceLimit();
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
    std::unique_lock lock(mutex_);
    queued_[static_cast<std::size_t>(qualityOfServiceRank(qos))].push_back(std::move(work));
    ++queuedCount_;
    growOrWake(lock);
}

void ThreadPool::growOrWake(std::unique_lock<std::mutex>& lock) {
    if (queuedCount_ <= idle_ || threads_ >= maxThreads_) {
        lock.unlock();
        available_.notify_one();
        return;
    }
    ++threads_;
    lock.unlock();
    std::string refusal;
    try {
        std::thread([this] { workerLoop(); }).detach();
    } catch (const std::system_error& error) {
        refusal = error.what();
    } catch (const std::bad_alloc&) {
        refusal = "out of memory";
    }
    lock.lock();
    if (refusal.empty()) {
        refused_ = false;
        lock.unlock();
        return;
    }
    --threads_;
    const bool firstRefusal = !std::exchange(refused_, true);
    const std::size_t threads = threads_;
    if (firstRefusal) {
        lock.unlock();
        poolLog().error(fmt::format("No more worker threads could be made ({}): work waits for the {} there are",
                                    refusal, threads));
        lock.lock();
    }
    if (threads_ == 0) {
        runWhileThreadless(lock);
        return;
    }
    lock.unlock();
    available_.notify_one();
}

void ThreadPool::runWhileThreadless(std::unique_lock<std::mutex>& lock) {
    // Work submitted by the work run here is run by this loop, not by a loop inside it: a
    // serial queue's thousand items would otherwise nest a thousand deep.
    static thread_local bool running = false;
    if (running) {
        lock.unlock();
        return;
    }
    struct Running {
        Running() { running = true; }
        ~Running() { running = false; }
    } scope;
    while (threads_ == 0 && queuedCount_ > 0) {
        auto work = takeNext();
        lock.unlock();
        work();
        work = nullptr;
        lock.lock();
    }
    lock.unlock();
    available_.notify_one();
}

std::function<void()> ThreadPool::takeNext() {
    std::function<void()> work;
    for (std::size_t level = kLevels; level-- > 0;) {
        if (!queued_[level].empty()) {
            work = std::move(queued_[level].front());
            queued_[level].pop_front();
            break;
        }
    }
    --queuedCount_;
    return work;
}

void ThreadPool::workerLoop() {
    pthread_setname_np(pthread_self(), "gw-dispatch");
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        available_.wait(lock, [this] { return queuedCount_ > 0; });
        --idle_;
        auto work = takeNext();
        lock.unlock();
        work();
        work = nullptr;  // captured state dies outside the lock
        lock.lock();
        // Short of threads, the work left waiting may be what the busy ones wait for: the
        // pool tries again as work finishes (and memory comes free).
        if (refused_ && queuedCount_ > idle_ + 1) {
            growOrWake(lock);
            lock.lock();
        }
    }
}

}  // namespace detail
}  // namespace platform::dispatch
