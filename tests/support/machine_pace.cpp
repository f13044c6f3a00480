#include "support/machine_pace.hpp"

#include <time.h>

#include <algorithm>
#include <cstdint>

namespace gwtest {

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Keeps the spin from being folded away.
volatile std::uint64_t sink;

}  // namespace

double buildSlowdown() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 4.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return 4.0;
#else
    return 1.0;
#endif
#else
    return 1.0;
#endif
}

double measurePace() {
    // Long enough to span several of the scheduler's slices when many tasks share a
    // processor, short enough to be asked often.
    constexpr double kSpin = 0.06;
    const double wallStart = seconds(CLOCK_MONOTONIC);
    const double cpuStart = seconds(CLOCK_THREAD_CPUTIME_ID);
    std::uint64_t x = 88172645463325252ULL;
    double cpu = 0;
    do {
        for (int i = 0; i < 20000; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        cpu = seconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    } while (cpu < kSpin);
    sink = x;
    const double wall = seconds(CLOCK_MONOTONIC) - wallStart;
    // A machine so loaded that a thread gets a fiftieth of a processor fails any test.
    return std::clamp(wall / cpu, 1.0, 50.0);
}

Pace::Pace() : worst_(measurePace()) {}

double Pace::factor() {
    worst_ = std::max(worst_, measurePace());
    return worst_;
}

std::chrono::milliseconds Pace::bound(std::chrono::milliseconds idle) {
    const double scaled = static_cast<double>(idle.count()) * factor() * buildSlowdown();
    return std::chrono::milliseconds(static_cast<std::int64_t>(scaled));
}

}  // namespace gwtest
