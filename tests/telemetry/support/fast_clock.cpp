#include "telemetry/support/fast_clock.hpp"

namespace rddi::testkit {

FastClock::FastClock(std::chrono::milliseconds tick, std::chrono::milliseconds step, bool on) {
    if (!on) return;
    clock_ = std::make_shared<platform::foundation::ManualClock>();
    platform::foundation::Clock::setCurrent(clock_);
    ticker_ = std::thread([this, tick, step] {
        while (!stop_.load()) {
            std::this_thread::sleep_for(tick);
            clock_->advance(step);
        }
    });
}

FastClock::~FastClock() {
    if (!ticker_.joinable()) return;
    stop_ = true;
    ticker_.join();
    platform::foundation::Clock::setCurrent(nullptr);
}

}  // namespace rddi::testkit
