#include "telemetry/core/rddi_dispatcher_util.hpp"

#include "platform/dispatch/group.hpp"

#include <atomic>
#include <chrono>

namespace rddi {

namespace {

std::atomic<bool> gExitBegan{false};

}  // namespace

void RDDIDispatcherUtil::noteExitBegan() { gExitBegan.store(true, std::memory_order_release); }

void RDDIDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
    if (gExitBegan.load(std::memory_order_acquire)) return runBlock(block);
    platform::dispatch::DispatchQueue::main().async([block = std::move(block)] { runBlock(block); });
}

bool RDDIDispatcherUtil::dispatchSyncWithTimeout(double timeoutSeconds, const platform::dispatch::DispatchQueue& queue,
                                                 std::function<void()> block) {
    platform::dispatch::DispatchSemaphore done;
    queue.async([block = std::move(block), done] {
        runBlock(block);
        done.signal();
    });
    const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0));
    return done.wait(timeout);
}

}  // namespace rddi
