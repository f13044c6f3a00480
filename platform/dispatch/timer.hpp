#pragma once
// Timers that deliver an event handler on a target queue; stand in for the
// platform's dispatch timer sources. A timer runs on the foundation::Clock that was
// current when it was scheduled: with a ManualClock installed it fires when that
// clock is advanced past its deadline, and never by itself. Timers of a manual
// clock that nobody holds any more are dropped unfired.
//
// Like the platform's sources a timer starts suspended: nothing fires before
// resume(). A resumed timer stays alive, even without handles, until it is
// cancelled or, for a one-shot timer, has fired. A repeating timer whose handler
// has not run yet is not queued a second time: late firings merge into one.
#include "platform/dispatch/dispatch_queue.hpp"

#include <memory>

namespace platform::dispatch {

class DispatchTimer {
public:
    using Duration = foundation::Clock::Duration;

    explicit DispatchTimer(DispatchQueue target);

    void setEventHandler(DispatchQueue::Work handler) const;
    // First firing `delay` from now, then every `interval` (zero: fire once). The
    // leeway is accepted for the callers' sake; firings are never deliberately late.
    void schedule(Duration delay, Duration interval = Duration::zero(), Duration leeway = Duration::zero()) const;
    void scheduleSeconds(double delay, double interval = 0) const;
    void resume() const;
    // No firing is delivered after this returns, even one already queued; a handler
    // running right now finishes.
    void cancel() const;
    bool isCancelled() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

namespace detail {
// One-shot delivery of `work` on `queue` after `delay` on the current clock.
void scheduleOnce(const DispatchQueue& queue, foundation::Clock::Duration delay, DispatchQueue::Work work);
}  // namespace detail

}  // namespace platform::dispatch
