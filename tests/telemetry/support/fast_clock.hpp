#pragma once
// A launch of the test executable whose SDK timers (flushes, retries) run faster than the wall
// clock, so that what a real launch waits seconds for comes within its short life.
#include "platform/foundation/clock.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace rddi::testkit {

class FastClock {
public:
    // Every `tick` of real time the SDK's clock moves on by `step`; nothing changes while `on`
    // is false (the real clock stays the SDK's).
    FastClock(std::chrono::milliseconds tick, std::chrono::milliseconds step, bool on = true);
    ~FastClock();
    FastClock(const FastClock&) = delete;
    FastClock& operator=(const FastClock&) = delete;

private:
    std::shared_ptr<platform::foundation::ManualClock> clock_;
    std::atomic<bool> stop_{false};
    std::thread ticker_;
};

}  // namespace rddi::testkit
