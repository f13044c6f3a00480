#pragma once
// The one replaceable clock of the process: wall-clock "now" for dates and time
// stamps, and a monotonic reading for timers and delays. Tests install a
// ManualClock and move time by hand; a timer scheduled through platform/dispatch
// runs on the clock that was current when it was scheduled, so advancing the
// ManualClock fires it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace platform::foundation {

class Clock {
public:
    using Duration = std::chrono::steady_clock::duration;
    using ObserverToken = std::uint64_t;

    virtual ~Clock();

    // Seconds since 1970-01-01 UTC.
    virtual double now() const = 0;
    // Time since an arbitrary fixed origin; never goes back.
    virtual Duration monotonic() const = 0;
    // True when monotonic() moves by itself with real time, so a waiter may sleep
    // until a deadline; false when it only moves when told (ManualClock), so a
    // waiter must wait for a change notice instead.
    virtual bool followsRealTime() const = 0;

    // The process-wide clock, a SystemClock until replaced.
    static std::shared_ptr<Clock> current();
    // Replaces the process-wide clock; nullptr restores a SystemClock.
    static void setCurrent(std::shared_ptr<Clock> clock);

    // Observers are told, on the thread that caused it, whenever the current clock
    // is replaced or a manual clock moves. Timer schedulers use this to re-examine
    // their deadlines. An observer must not add or remove observers.
    static ObserverToken addObserver(std::function<void()> observer);
    static void removeObserver(ObserverToken token);

protected:
    static void notifyObservers();
};

class SystemClock final : public Clock {
public:
    double now() const override;
    Duration monotonic() const override;
    bool followsRealTime() const override { return true; }
};

// A clock that stands still until told to move.
class ManualClock final : public Clock {
public:
    // 2023-11-14T22:13:20Z: a fixed, recognisable start.
    static constexpr double kDefaultStart = 1'700'000'000.0;

    explicit ManualClock(double start = kDefaultStart);

    double now() const override;
    Duration monotonic() const override;
    bool followsRealTime() const override { return false; }

    // Moves both readings forward; a negative step is ignored for the monotonic reading.
    void advance(Duration step);
    void advanceSeconds(double seconds);
    // Sets the wall-clock reading only, as a user changing the system time would;
    // monotonic time and the timers that run on it are unaffected.
    void setNow(double secondsSince1970);

private:
    mutable std::mutex mutex_;
    double now_;
    Duration monotonic_{};
};

}  // namespace platform::foundation
