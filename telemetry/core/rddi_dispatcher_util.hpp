#pragma once
// Running work on the main thread, and waiting a bounded time for work on a queue.
#include "platform/dispatch/dispatch_queue.hpp"

#include <functional>

namespace rddi {

class RDDIDispatcherUtil {
public:
    // Schedules the work on the main queue without waiting for it. Once the process has begun
    // to exit the main loop runs no more: the work then runs at once on the calling thread, so
    // that what it tells (a delegate hearing that a log failed) is not lost with the process.
    static void performBlockOnMainThread(std::function<void()> block);
    // Called as the SDK's work ends at exit, on the exiting thread.
    static void noteExitBegan();
    static void runBlock(const std::function<void()>& block) {
        if (block) block();
    }
    // Submits the work to the queue and waits for it at most `timeoutSeconds`; the caller
    // goes on after the timeout whether or not the work has run. True when it ran in time.
    static bool dispatchSyncWithTimeout(double timeoutSeconds, const platform::dispatch::DispatchQueue& queue,
                                        std::function<void()> block);
};

}  // namespace rddi
