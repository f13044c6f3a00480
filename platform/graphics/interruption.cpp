#include "platform/graphics/interruption.hpp"

namespace platform::graphics {

namespace {
thread_local InterruptionScope* gInnermost = nullptr;
}  // namespace

InterruptionScope::InterruptionScope(std::function<bool()> isInterrupted)
    : isInterrupted_(std::move(isInterrupted)), outer_(gInnermost) {
    gInnermost = this;
}

InterruptionScope::~InterruptionScope() { gInnermost = outer_; }

bool interruptionRequested() {
    for (const InterruptionScope* scope = gInnermost; scope != nullptr; scope = scope->outer_) {
        if (scope->isInterrupted_ && scope->isInterrupted_()) return true;
    }
    return false;
}

}  // namespace platform::graphics
