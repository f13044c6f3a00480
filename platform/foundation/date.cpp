#include "platform/foundation/date.hpp"

#include "platform/foundation/clock.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <ctime>

namespace platform::foundation {

Date Date::now() { return Date(Clock::current()->now()); }

std::string Date::localFileNameStamp() const {
    const auto when = static_cast<std::time_t>(std::floor(seconds_));
    std::tm local{};
    ::localtime_r(&when, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
    return stamp;
}

std::string Date::iso8601() const {
    double whole = std::floor(seconds_);
    long millis = std::lround((seconds_ - whole) * 1000.0);
    auto t = static_cast<std::time_t>(whole);
    if (millis == 1000) {
        ++t;
        millis = 0;
    }
    std::tm tm{};
    gmtime_r(&t, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
}

}  // namespace platform::foundation
