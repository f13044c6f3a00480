#include "platform/dispatch/timer.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::dispatch {

using foundation::Clock;
using Duration = Clock::Duration;

namespace {
struct ClockTimers;
}

struct DispatchTimer::State {
    explicit State(DispatchQueue target) : target(std::move(target)) {}

    const DispatchQueue target;

    // Guarded by `mutex`.
    std::mutex mutex;
    DispatchQueue::Work handler;
    bool cancelled = false;
    bool firePending = false;
    bool resumed = false;
    // Set by schedule(): the clock the deadline is a reading of. Held weakly so that a
    // manual clock nobody else holds can be recognised as gone.
    std::weak_ptr<Clock> clock;
    Duration deadline{};
    Duration interval{};

    // Guarded by the scheduler's lock.
    ClockTimers* group = nullptr;
    Duration period{};
    std::multimap<Duration, std::shared_ptr<State>>::iterator where;
};

namespace {

using TimerState = DispatchTimer::State;

// The armed timers whose deadlines are readings of one clock.
struct ClockTimers {
    std::shared_ptr<Clock> clock;
    std::multimap<Duration, std::shared_ptr<TimerState>> entries;
};

// One thread for all timers. A timer runs on the clock that was current when it was
// scheduled. The thread sleeps until the earliest deadline of the clocks that follow
// real time; a manual clock that moves fires what became due on the mover's thread,
// so a test that advances a ManualClock finds the handlers queued when advance()
// returns. Timers of a manual clock nobody holds any more can never fire and are
// dropped, so a test's leftover timers neither fire later nor keep their captures.
class Scheduler {
public:
    static Scheduler& shared() {
        static auto* scheduler = new Scheduler;  // never destroyed, like its thread
        return *scheduler;
    }

    void arm(const std::shared_ptr<TimerState>& timer, const std::shared_ptr<Clock>& clock, Duration deadline,
             Duration period) {
        {
            std::lock_guard lock(mutex_);
            unlink(*timer);
            auto& group = groupFor(clock);
            timer->period = period;
            timer->where = group.entries.emplace(deadline, timer);
            timer->group = &group;
            startThreadUnlessRunning();
        }
        wake_.notify_all();
    }

    void disarm(TimerState& timer) {
        std::shared_ptr<TimerState> released;  // the handler's captures die outside the lock
        std::lock_guard lock(mutex_);
        released = unlink(timer);
    }

    void fireDue() {
        std::lock_guard firing(fireMutex_);  // keeps deliveries in deadline order
        std::vector<std::shared_ptr<TimerState>> due;
        std::vector<std::unique_ptr<ClockTimers>> orphaned;
        {
            std::lock_guard lock(mutex_);
            for (auto& group : groups_) {
                Duration now = group->clock->monotonic();
                auto& entries = group->entries;
                while (!entries.empty() && entries.begin()->first <= now) {
                    auto node = entries.extract(entries.begin());
                    auto timer = node.mapped();
                    timer->group = nullptr;
                    if (timer->period > Duration::zero()) {
                        auto missed = (now - node.key()) / timer->period;
                        timer->where = entries.emplace(node.key() + (missed + 1) * timer->period, timer);
                        timer->group = group.get();
                    }
                    due.push_back(std::move(timer));
                }
            }
            auto isOrphaned = [](const std::unique_ptr<ClockTimers>& g) {
                return g->entries.empty() || (!g->clock->followsRealTime() && g->clock.use_count() == 1);
            };
            for (auto& group : groups_) {
                if (!isOrphaned(group)) continue;
                for (auto& [deadline, timer] : group->entries) timer->group = nullptr;
                orphaned.push_back(std::move(group));
            }
            std::erase(groups_, nullptr);
        }
        for (auto& timer : due) deliver(timer);
    }

private:
    Scheduler() {
        Clock::addObserver([this] {
            wake_.notify_all();
            fireDue();
        });
        std::lock_guard lock(mutex_);
        startThreadUnlessRunning();
    }

    // A thread the system refuses (an address-space or process limit) is asked for again
    // as the next timer is armed; until then timers of real time wait, and no caller fails.
    // Called with the lock held.
    void startThreadUnlessRunning() {
        if (running_) return;
        try {
            std::thread([this] { run(); }).detach();
            running_ = true;
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }

    ClockTimers& groupFor(const std::shared_ptr<Clock>& clock) {
        for (auto& group : groups_) {
            if (group->clock == clock) return *group;
        }
        groups_.push_back(std::make_unique<ClockTimers>(ClockTimers{clock, {}}));
        return *groups_.back();
    }

    std::shared_ptr<TimerState> unlink(TimerState& timer) {
        if (!timer.group) return nullptr;
        auto released = timer.where->second;
        timer.group->entries.erase(timer.where);
        timer.group = nullptr;
        return released;
    }

    static void deliver(const std::shared_ptr<TimerState>& timer) {
        {
            std::lock_guard lock(timer->mutex);
            if (timer->cancelled || timer->firePending) return;
            timer->firePending = true;
        }
        timer->target.async([timer] {
            DispatchQueue::Work handler;
            {
                std::lock_guard lock(timer->mutex);
                timer->firePending = false;
                if (timer->cancelled) return;
                handler = timer->handler;
            }
            if (handler) handler();
        });
    }

    // Until the earliest real-time deadline; forever (until woken) when there is none.
    std::optional<Duration> nextWait() const {
        std::optional<Duration> wait;
        for (auto& group : groups_) {
            if (group->entries.empty()) continue;
            Duration left = group->entries.begin()->first - group->clock->monotonic();
            if (left <= Duration::zero()) return Duration::zero();  // came due while we were firing
            if (group->clock->followsRealTime() && (!wait || left < *wait)) wait = left;
        }
        return wait;
    }

    void run() {
        pthread_setname_np(pthread_self(), "gw-timers");
        std::unique_lock lock(mutex_);
        for (;;) {
            auto wait = nextWait();
            if (!wait) {
                wake_.wait(lock);
            } else if (*wait > Duration::zero()) {
                wake_.wait_for(lock, *wait);
            }
            lock.unlock();
            fireDue();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::unique_ptr<ClockTimers>> groups_;
    std::mutex fireMutex_;
    bool running_ = false;
};

}  // namespace

DispatchTimer::DispatchTimer(DispatchQueue target) : state_(std::make_shared<State>(std::move(target))) {}

void DispatchTimer::setEventHandler(DispatchQueue::Work handler) const {
    DispatchQueue::Work previous;
    std::lock_guard lock(state_->mutex);
    previous = std::exchange(state_->handler, std::move(handler));
}

void DispatchTimer::schedule(Duration delay, Duration interval, Duration /*leeway*/) const {
    auto clock = Clock::current();
    Duration deadline = clock->monotonic() + std::max(delay, Duration::zero());
    interval = std::max(interval, Duration::zero());
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->clock = clock;
        state_->deadline = deadline;
        state_->interval = interval;
        if (!state_->resumed) return;
    }
    Scheduler::shared().arm(state_, clock, deadline, interval);
}

void DispatchTimer::scheduleSeconds(double delay, double interval) const {
    auto toDuration = [](double s) {
        return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
    };
    schedule(toDuration(delay), toDuration(interval));
}

void DispatchTimer::resume() const {
    std::shared_ptr<Clock> clock;
    Duration deadline, interval;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled || state_->resumed) return;
        state_->resumed = true;
        clock = state_->clock.lock();
        if (!clock) return;
        deadline = state_->deadline;
        interval = state_->interval;
    }
    Scheduler::shared().arm(state_, clock, deadline, interval);
}

void DispatchTimer::cancel() const {
    {
        std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
    }
    Scheduler::shared().disarm(*state_);
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

namespace detail {

void scheduleOnce(const DispatchQueue& queue, Duration delay, DispatchQueue::Work work) {
    DispatchTimer timer(queue);
    timer.setEventHandler(std::move(work));
    timer.schedule(delay);
    timer.resume();
}

}  // namespace detail
}  // namespace platform::dispatch
