#include "app/shell/launch_counter.hpp"

#include "platform/foundation/clock.hpp"

#include <cmath>
#include <ctime>

namespace gw {

namespace pf = platform::foundation;

namespace {

// The per-version counts when the stored value is a text-to-integer dictionary.
std::optional<pf::Dictionary> versionCounts(const pf::UserDefaults& defaults, const std::string& key) {
    auto dictionary = defaults.dictionaryForKey(key);
    if (!dictionary) return std::nullopt;
    for (const auto& [version, count] : *dictionary) {
        if (!count.asInteger()) return std::nullopt;
    }
    return dictionary;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct LocalMoment {
    std::int64_t day;      // local civil day number
    double secondOfDay;    // local time of day, with the fraction
};

LocalMoment localMoment(double secondsSince1970) {
    const double whole = std::floor(secondsSince1970);
    const auto t = static_cast<std::time_t>(whole);
    std::tm local{};
    ::localtime_r(&t, &local);
    return {daysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday)),
            local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + (secondsSince1970 - whole)};
}

}  // namespace

std::int64_t wholeLocalDaysBetween(double from, double to) {
    if (to < from) return -wholeLocalDaysBetween(to, from);
    const auto start = localMoment(from);
    const auto end = localMoment(to);
    std::int64_t days = end.day - start.day;
    // A day counts once the same local time of day is reached again.
    if (days > 0 && end.secondOfDay < start.secondOfDay) --days;
    return days;
}

LaunchCounter::LaunchCounter(pf::UserDefaults& userDefaults, std::string launchCountKey, std::string firstLaunchDateKey,
                             std::string appVersionsKey, std::string appVersion)
    : userDefaults_(userDefaults),
      launchCountKey_(std::move(launchCountKey)),
      firstLaunchDateKey_(std::move(firstLaunchDateKey)),
      appVersionsKey_(std::move(appVersionsKey)),
      appVersion_(std::move(appVersion)) {}

void LaunchCounter::recordLaunch() {
    userDefaults_.setInteger(pf::saturatingAdd(launchCount(), 1), launchCountKey_);
    if (!firstLaunchDate()) userDefaults_.setDouble(pf::Clock::current()->now(), firstLaunchDateKey_);
    auto counts = versionCounts(userDefaults_, appVersionsKey_).value_or(pf::Dictionary{});
    const auto previous = counts.find(appVersion_);
    const std::int64_t count = previous == counts.end() ? 0 : previous->second.asInteger().value_or(0);
    counts[appVersion_] = pf::Value(pf::saturatingAdd(count, 1));
    userDefaults_.setObject(pf::Value(std::move(counts)), appVersionsKey_);
}

std::int64_t LaunchCounter::launchCount() const { return userDefaults_.integerForKey(launchCountKey_); }

bool LaunchCounter::isFirstLaunch() const { return launchCount() == 1; }

bool LaunchCounter::isFirstLaunchOfCurrentVersion() const {
    const auto counts = versionCounts(userDefaults_, appVersionsKey_);
    if (!counts) return false;
    const auto found = counts->find(appVersion_);
    return found != counts->end() && found->second.asInteger() == 1;
}

void LaunchCounter::reset() {
    userDefaults_.removeObject(launchCountKey_);
    userDefaults_.removeObject(firstLaunchDateKey_);
    userDefaults_.removeObject(appVersionsKey_);
}

std::optional<double> LaunchCounter::firstLaunchDate() const {
    const auto stored = userDefaults_.objectForKey(firstLaunchDateKey_);
    if (stored.isNull()) return std::nullopt;
    return stored.doubleValue();
}

std::int64_t LaunchCounter::daysSinceFirstLaunch() const {
    const auto first = firstLaunchDate();
    if (!first) return 0;
    return wholeLocalDaysBetween(*first, pf::Clock::current()->now());
}

}  // namespace gw
