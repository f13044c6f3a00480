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

bool interruptionRequested() { return gInnermost && gInnermost->isInterrupted_ && gInnermost->isInterrupted_(); }

}  // namespace platform::graphics
