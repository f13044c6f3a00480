#pragma once
// A point in time (seconds since 1970, reals); stands in for the platform's date object.
#include <string>

namespace platform::foundation {

class Date {
public:
    // Seconds between 1970-01-01 and 2001-01-01, the property-list reference date.
    static constexpr double kReferenceOffset = 978307200.0;

    constexpr Date() = default;
    static constexpr Date fromTimeIntervalSince1970(double seconds) { return Date(seconds); }
    static constexpr Date fromTimeIntervalSinceReferenceDate(double seconds) {
        return Date(seconds + kReferenceOffset);
    }
    // The current clock's "now" (see clock.hpp).
    static Date now();

    constexpr double timeIntervalSince1970() const { return seconds_; }
    constexpr double timeIntervalSinceReferenceDate() const { return seconds_ - kReferenceOffset; }
    constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
    constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

    // "2026-12-07T08:15:30.125Z" (UTC, milliseconds).
    std::string iso8601() const;
    // "2026-12-07 09.15.30" (local time, whole seconds): a stamp a file name can carry.
    std::string localFileNameStamp() const;

    friend constexpr bool operator==(Date a, Date b) { return a.seconds_ == b.seconds_; }
    friend constexpr auto operator<=>(Date a, Date b) { return a.seconds_ <=> b.seconds_; }

private:
    explicit constexpr Date(double seconds) : seconds_(seconds) {}
    double seconds_ = 0;
};

}  // namespace platform::foundation
