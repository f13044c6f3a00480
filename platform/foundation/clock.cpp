#include "platform/foundation/clock.hpp"

#include <map>
#include <utility>
#include <vector>

namespace platform::foundation {

namespace {

struct ClockRegistry {
    std::mutex mutex;
    std::shared_ptr<Clock> current = std::make_shared<SystemClock>();
    std::map<Clock::ObserverToken, std::shared_ptr<std::function<void()>>> observers;
    Clock::ObserverToken nextToken = 1;
};

// Never destroyed: timer threads may still ask for the clock while the process exits.
ClockRegistry& registry() {
    static auto* r = new ClockRegistry;
    return *r;
}

}  // namespace

Clock::~Clock() = default;

std::shared_ptr<Clock> Clock::current() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.current;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
    auto& r = registry();
    std::shared_ptr<Clock> previous;
    {
        std::lock_guard lock(r.mutex);
        previous = std::exchange(r.current, clock ? std::move(clock) : std::make_shared<SystemClock>());
    }
    // The old clock is released outside the lock, after observers have seen the new one.
    notifyObservers();
}

Clock::ObserverToken Clock::addObserver(std::function<void()> observer) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto token = r.nextToken++;
    r.observers.emplace(token, std::make_shared<std::function<void()>>(std::move(observer)));
    return token;
}

void Clock::removeObserver(ObserverToken token) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.observers.erase(token);
}

void Clock::notifyObservers() {
    auto& r = registry();
    std::vector<std::shared_ptr<std::function<void()>>> observers;
    {
        std::lock_guard lock(r.mutex);
        observers.reserve(r.observers.size());
        for (auto& [token, observer] : r.observers) observers.push_back(observer);
    }
    for (auto& observer : observers) (*observer)();
}

double SystemClock::now() const {
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since1970).count();
}

Clock::Duration SystemClock::monotonic() const {
    return std::chrono::steady_clock::now().time_since_epoch();
}

ManualClock::ManualClock(double start) : now_(start) {}

double ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

Clock::Duration ManualClock::monotonic() const {
    std::lock_guard lock(mutex_);
    return monotonic_;
}

void ManualClock::advance(Duration step) {
    {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration<double>(step).count();
        if (step > Duration::zero()) monotonic_ += step;
    }
    notifyObservers();
}

void ManualClock::advanceSeconds(double seconds) {
    advance(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)));
}

void ManualClock::setNow(double secondsSince1970) {
    {
        std::lock_guard lock(mutex_);
        now_ = secondsSince1970;
    }
    notifyObservers();
}

}  // namespace platform::foundation
