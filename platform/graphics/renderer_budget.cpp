#include "platform/graphics/renderer_budget.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/graphics/interruption.hpp"

namespace platform::graphics {

namespace {

std::mutex gMutex;
std::condition_variable gChanged;
uint64_t gHeld = 0;
int gWaitingAlone = 0;

// How often a waiting drawing looks whether its work was stopped; a drawing that ends
// wakes it at once.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

bool givenUp(const std::function<bool()>& stopped) { return interruptionRequested() || (stopped && stopped()); }

}  // namespace

uint64_t RendererBudget::limitFor(double bytes, render::Kind kind) {
    const double limit = double(baseBytes(kind)) + std::max(0.0, bytes) * 1.5;
    if (!(limit < double(largestLimit(kind)))) return largestLimit(kind);
    // Whole pages of memory, as the kernel counts them.
    return (uint64_t(std::ceil(limit)) + 4095) & ~uint64_t{4095};
}

RendererBudget::Grant RendererBudget::admit(uint64_t limit, const std::function<bool()>& stopped, uint64_t shared) {
    limit = std::clamp(limit, kBaseBytes, kLargestLimit);
    const uint64_t held = limit - std::min(shared, limit - kBaseBytes);
    std::unique_lock lock(gMutex);
    while (gWaitingAlone > 0 || gHeld + held > kBytes) {
        if (givenUp(stopped)) return Grant();
        gChanged.wait_for(lock, kStopPoll);
    }
    gHeld += held;
    return Grant(limit, held);
}

RendererBudget::Grant RendererBudget::alone(const std::function<bool()>& stopped) {
    std::unique_lock lock(gMutex);
    ++gWaitingAlone;
    while (gHeld > 0) {
        if (givenUp(stopped)) {
            --gWaitingAlone;
            lock.unlock();
            gChanged.notify_all();
            return Grant();
        }
        gChanged.wait_for(lock, kStopPoll);
    }
    --gWaitingAlone;
    gHeld = kBytes;
    return Grant(kLargestLimit, kBytes);
}

uint64_t RendererBudget::held() {
    std::lock_guard lock(gMutex);
    return gHeld;
}

RendererBudget::Grant::~Grant() {
    if (held_ == 0) return;
    {
        std::lock_guard lock(gMutex);
        gHeld -= held_;
    }
    gChanged.notify_all();
}

}  // namespace platform::graphics
