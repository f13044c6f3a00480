#include "telemetry/core/rddi_dispatcher_util.hpp"

#include "platform/dispatch/group.hpp"

#include <chrono>

namespace rddi {

void RDDIDispatcherUtil::performBlockOnMainThread(std::function<void()> block) {
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
