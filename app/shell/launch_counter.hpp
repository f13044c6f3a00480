#pragma once
// Launch statistics of the desktop application, kept in the settings: how many launches,
// when the first one was, and how many launches each version had. Holds no state of its
// own, so several counters over the same keys see the same values. Main thread only;
// recordLaunch() is a read-modify-write that is not atomic across processes.
#include "platform/foundation/user_defaults.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace gw {

class LaunchCounter {
public:
    // Stores the five fields; touches no stored value.
    LaunchCounter(platform::foundation::UserDefaults& userDefaults, std::string launchCountKey,
                  std::string firstLaunchDateKey, std::string appVersionsKey, std::string appVersion);
    virtual ~LaunchCounter() = default;

    // One more launch: the count, the first launch date (only when none is stored; "now"
    // from the process clock) and this version's count.
    virtual void recordLaunch();
    virtual std::int64_t launchCount() const;
    virtual bool isFirstLaunch() const;
    virtual bool isFirstLaunchOfCurrentVersion() const;
    // Back to never launched: count, first date and versions removed.
    virtual void reset();
    // Seconds since 1970 of the first recorded launch; none when not recorded.
    virtual std::optional<double> firstLaunchDate() const;
    // Whole days from the first launch to now as the local calendar counts them (23:00 to
    // 01:00 the next day is 0 days); 0 without a first launch.
    virtual std::int64_t daysSinceFirstLaunch() const;

    platform::foundation::UserDefaults& userDefaults() const { return userDefaults_; }
    const std::string& launchCountKey() const { return launchCountKey_; }
    const std::string& firstLaunchDateKey() const { return firstLaunchDateKey_; }
    const std::string& appVersionsKey() const { return appVersionsKey_; }
    const std::string& appVersion() const { return appVersion_; }

private:
    platform::foundation::UserDefaults& userDefaults_;
    std::string launchCountKey_;
    std::string firstLaunchDateKey_;
    std::string appVersionsKey_;
    std::string appVersion_;
};

// The local calendar's whole days from `from` to `to` (seconds since 1970): negative when
// `to` is earlier.
std::int64_t wholeLocalDaysBetween(double from, double to);

}  // namespace gw
