// The launch counter on a real settings file and the manual clock.
#include "app/shell/launch_counter.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

namespace {

namespace pf = platform::foundation;
using gw::LaunchCounter;

// Runs with the given time zone for local dates.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone) {
        env_.emplace("TZ", zone);
        ::tzset();
    }
    ~ScopedTimeZone() {
        env_.reset();
        ::tzset();
    }

private:
    std::optional<gwtest::ScopedEnv> env_;
};

// Seconds since 1970 of a local date and time (in the current TZ).
double localTime(int year, int month, int day, int hour, int minute = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return static_cast<double>(std::mktime(&tm));
}

class LaunchCounterTest : public ::testing::Test {
protected:
    void SetUp() override { pf::Clock::setCurrent(clock_); }
    void TearDown() override { pf::Clock::setCurrent(nullptr); }

    LaunchCounter counter(const std::string& version, pf::UserDefaults& defaults) const {
        return LaunchCounter(defaults, "com.example.applaunchCount", "com.example.appfirstLaunchDate",
                             "com.example.appappVersions", version);
    }

    gwtest::TempDir dir_;
    const std::filesystem::path settings_ = dir_ / "settings.plist";
    pf::UserDefaults defaults_{settings_};
    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
};

TEST_F(LaunchCounterTest, AFirstLaunchIsRecordedWithTheClocksDate) {
    auto first = counter("1.0", defaults_);
    EXPECT_EQ(first.launchCount(), 0);
    EXPECT_FALSE(first.firstLaunchDate());
    EXPECT_EQ(first.daysSinceFirstLaunch(), 0);
    EXPECT_FALSE(first.isFirstLaunchOfCurrentVersion());

    first.recordLaunch();
    EXPECT_EQ(first.launchCount(), 1);
    EXPECT_TRUE(first.isFirstLaunch());
    EXPECT_TRUE(first.isFirstLaunchOfCurrentVersion());
    EXPECT_EQ(first.firstLaunchDate(), clock_->now());
    EXPECT_EQ(first.daysSinceFirstLaunch(), 0);
    // As stored: an integer, a double and a text-to-integer dictionary.
    pf::UserDefaults reread(settings_);
    EXPECT_EQ(reread.objectForKey("com.example.applaunchCount"), pf::Value(1));
    EXPECT_EQ(reread.objectForKey("com.example.appfirstLaunchDate"), pf::Value(clock_->now()));
    EXPECT_EQ(reread.objectForKey("com.example.appappVersions"), pf::Value::dict({{"1.0", pf::Value(1)}}));
}

TEST_F(LaunchCounterTest, ANewVersionAfterEightLaunchesKeepsBothVersionsAndTheFirstDate) {
    const double firstDay = clock_->now();
    for (int i = 0; i < 8; ++i) {
        counter("1.0", defaults_).recordLaunch();
        clock_->advanceSeconds(3600);
    }
    clock_->advanceSeconds(36 * 3600 - 8 * 3600);
    // A fresh settings object on the same file, as a later process would have.
    pf::UserDefaults later(settings_);
    auto second = counter("2.0", later);
    second.recordLaunch();
    EXPECT_EQ(second.launchCount(), 9);
    EXPECT_FALSE(second.isFirstLaunch());
    EXPECT_TRUE(second.isFirstLaunchOfCurrentVersion());
    EXPECT_FALSE(counter("1.0", later).isFirstLaunchOfCurrentVersion());
    EXPECT_EQ(later.objectForKey("com.example.appappVersions"),
              pf::Value::dict({{"1.0", pf::Value(8)}, {"2.0", pf::Value(1)}}));
    EXPECT_EQ(second.firstLaunchDate(), firstDay);
    EXPECT_EQ(second.daysSinceFirstLaunch(), 1);  // 36 hours later

    second.reset();
    EXPECT_EQ(second.launchCount(), 0);
    EXPECT_FALSE(second.firstLaunchDate());
    EXPECT_TRUE(pf::UserDefaults(settings_).persistentDomain().empty());
    clock_->advanceSeconds(5);
    second.recordLaunch();
    EXPECT_TRUE(second.isFirstLaunch());
    EXPECT_TRUE(second.isFirstLaunchOfCurrentVersion());
    EXPECT_EQ(second.firstLaunchDate(), clock_->now());
    EXPECT_EQ(second.daysSinceFirstLaunch(), 0);
}

TEST_F(LaunchCounterTest, VersionCountsOfAnotherShapeAreReplaced) {
    const struct {
        const char* name;
        pf::Value stored;
        bool readsAsFirstOfVersion;
    } cases[] = {
        {"text", pf::Value("1.0"), false},
        {"an array", pf::Value::array({pf::Value(1)}), false},
        {"a dictionary with a text count", pf::Value::dict({{"1.0", pf::Value(1)}, {"0.9", pf::Value("x")}}), false},
        {"a good dictionary", pf::Value::dict({{"1.0", pf::Value(1)}}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto launches = counter("1.0", defaults_);
        launches.reset();
        defaults_.setObject(c.stored, launches.appVersionsKey());
        EXPECT_EQ(launches.isFirstLaunchOfCurrentVersion(), c.readsAsFirstOfVersion);
        launches.recordLaunch();
        const auto expected = c.readsAsFirstOfVersion ? pf::Value::dict({{"1.0", pf::Value(2)}})
                                                      : pf::Value::dict({{"1.0", pf::Value(1)}});
        EXPECT_EQ(defaults_.objectForKey(launches.appVersionsKey()), expected);
    }
}

// Counts that some other writer left at the ends of the range (or as reals beyond it) are
// held there by another launch, never wrapped around.
TEST_F(LaunchCounterTest, CountsAtTheEndsOfTheRangeStayThere) {
    constexpr auto largest = std::numeric_limits<std::int64_t>::max();
    constexpr auto smallest = std::numeric_limits<std::int64_t>::min();
    const struct {
        const char* name;
        pf::Value stored;
        std::int64_t after;
    } cases[] = {
        {"the largest count", pf::Value(largest), largest},
        {"a real past the largest", pf::Value(1e300), largest},
        {"a real below the smallest", pf::Value(-1e300), smallest + 1},
        {"a real that is no number", pf::Value(std::nan("")), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto launches = counter("1.0", defaults_);
        defaults_.setObject(c.stored, launches.launchCountKey());
        defaults_.setObject(pf::Value::dict({{"1.0", c.stored.isInteger() ? c.stored : pf::Value(1)}}),
                            launches.appVersionsKey());
        launches.recordLaunch();
        EXPECT_EQ(launches.launchCount(), c.after);
        const auto versions = defaults_.dictionaryForKey(launches.appVersionsKey());
        ASSERT_TRUE(versions);
        EXPECT_EQ(versions->at("1.0"), pf::Value(c.stored.isInteger() ? c.after : 2));
    }
}

TEST(LocalCalendarDays, WholeDaysFollowTheLocalCalendar) {
    ScopedTimeZone berlin("Europe/Berlin");
    const struct {
        const char* name;
        double from;
        double to;
        std::int64_t days;
    } cases[] = {
        {"23:00 to 01:00 the next day", localTime(2026, 5, 4, 23), localTime(2026, 5, 5, 1), 0},
        {"the same time the next day", localTime(2026, 5, 4, 23), localTime(2026, 5, 5, 23), 1},
        {"one minute short of three days", localTime(2026, 5, 4, 10), localTime(2026, 5, 7, 9, 59), 2},
        {"back in time", localTime(2026, 5, 7, 10), localTime(2026, 5, 4, 10), -3},
        // 23 hours in real time across the spring change, yet one calendar day.
        {"across the clock change", localTime(2026, 3, 28, 12), localTime(2026, 3, 29, 12), 1},
        {"across a year end", localTime(2026, 12, 31, 8), localTime(2027, 1, 2, 8), 2},
    };
    for (const auto& c : cases) EXPECT_EQ(gw::wholeLocalDaysBetween(c.from, c.to), c.days) << c.name;
}

}  // namespace
