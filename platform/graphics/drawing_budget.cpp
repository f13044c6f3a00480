#include "platform/graphics/drawing_budget.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace platform::graphics {

namespace {

std::mutex gMutex;
std::condition_variable gReleased;
uint64_t gHeld = 0;

}  // namespace

DrawingBudget::Claim DrawingBudget::claim(uint64_t bytes) {
    if (bytes == 0) return Claim();
    bytes = std::min(bytes, kBytes);
    std::unique_lock lock(gMutex);
    gReleased.wait(lock, [&] { return gHeld + bytes <= kBytes; });
    gHeld += bytes;
    return Claim(bytes);
}

uint64_t DrawingBudget::held() {
    std::lock_guard lock(gMutex);
    return gHeld;
}

DrawingBudget::Claim::~Claim() {
    if (bytes_ == 0) return;
    {
        std::lock_guard lock(gMutex);
        gHeld -= bytes_;
    }
    gReleased.notify_all();
}

}  // namespace platform::graphics
