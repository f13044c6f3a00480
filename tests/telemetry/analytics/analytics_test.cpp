#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/analytics/rddi_property_configurator.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include "platform/foundation/uuid.hpp"

#include "platform/log/system_log.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <functional>
#include <limits>
#include <thread>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

constexpr const char* kNotStarted =
    "Analytics service hasn't been started. You need to call [RDDIDezIdedev start:YOUR_APP_SECRET "
    "withServices:LIST_OF_SERVICES] first.";
// The service's two units: normal and critical logs.
constexpr const char* kUnits[] = {"Analytics", "Analytics_critical"};

class AnalyticsTest : public ::testing::Test {
protected:
    void startAnalytics(const std::optional<std::string>& startString = "secret") {
        RDDIDezIdedev::start(startString, {RDDIAnalytics::serviceClass()});
    }
    // Logs that reached a unit of the service and were not filtered there; the session
    // tracker's start-session logs are looked at by the session tests.
    std::vector<testkit::EnqueuedLog> stored(const std::string& groupId = "Analytics") const {
        auto logs = env_.channelGroup()->storedLogs(groupId);
        std::erase_if(logs, [](const testkit::EnqueuedLog& entry) {
            return dynamic_cast<const RDDIStartSessionLog*>(entry.log.get()) != nullptr;
        });
        return logs;
    }
    static std::shared_ptr<RDDIEventLog> event(const testkit::EnqueuedLog& entry) {
        return std::dynamic_pointer_cast<RDDIEventLog>(entry.log);
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(AnalyticsTest, TrackingBeforeTheSdkStartsIsRefusedWithTheServiceMessage) {
    RDDIAnalytics::trackEvent("alpha_channel_removal_succeeded", RDDIStringProperties{{"k", "v"}});
    RDDIAnalytics::trackPage("Main");
    EXPECT_TRUE(env_.logged(RDDILogLevelError, kNotStarted));
    for (const auto& entry : env_.capturedLogs()) {
        if (entry.message == kNotStarted) {
            EXPECT_EQ(entry.tag, "DezIdedev");
        }
    }
    EXPECT_TRUE(env_.channelGroup()->logs().empty());

    // Configured but with other services only: still not started.
    env_.clearLogs();
    RDDIDezIdedev::configure();
    RDDIAnalytics::trackEvent("x");
    EXPECT_TRUE(env_.logged(RDDILogLevelError, kNotStarted));
    EXPECT_TRUE(env_.channelGroup()->logs().empty());
}

TEST_F(AnalyticsTest, RefusalIsNotPrintedAtTheStartLevel) {
    testkit::TelemetryTestEnvironment quiet(false);
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& record) { lines.push_back(record.message); });
    RDDIAnalytics::trackEvent("x");
    EXPECT_TRUE(lines.empty());
}

TEST_F(AnalyticsTest, TrackedEventBecomesAnEventLogOnTheAnalyticsUnit) {
    startAnalytics();
    RDDIAnalytics::trackEvent("alpha_channel_removal_succeeded", RDDIStringProperties{{"format", "png"}, {"size", "512"}});

    const auto logs = stored();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].flags, RDDIFlagsNormal);
    const auto log = event(logs[0]);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->type, "event");
    EXPECT_EQ(log->name, "alpha_channel_removal_succeeded");
    ASSERT_TRUE(log->eventId);
    EXPECT_TRUE(pf::UUID::fromString(*log->eventId));
    // The session tracker stamps the session that began at start.
    ASSERT_TRUE(log->sid);
    EXPECT_EQ(log->sid, RDDISessionContext::sharedInstance()->sessionId());
    EXPECT_EQ(log->userId, std::nullopt);
    EXPECT_TRUE(log->transmissionTargetTokens().empty());
    EXPECT_TRUE(log->isValid());

    const pf::Value json(log->serializeToDictionary());
    EXPECT_EQ(json["type"], pf::Value("event"));
    EXPECT_EQ(json["name"], pf::Value("alpha_channel_removal_succeeded"));
    EXPECT_EQ(json["id"], pf::Value(*log->eventId));
    EXPECT_TRUE(json["timestamp"].isString());
    EXPECT_FALSE(json.contains("properties"));
    EXPECT_EQ(json["typedProperties"],
              pf::Value::array({pf::Value::dict({{"type", "string"}, {"name", "format"}, {"value", "png"}}),
                                pf::Value::dict({{"type", "string"}, {"name", "size"}, {"value", "512"}})}));

    // Each event gets its own id.
    RDDIAnalytics::trackEvent("second");
    ASSERT_EQ(stored().size(), 2u);
    EXPECT_NE(event(stored()[1])->eventId, log->eventId);
    EXPECT_EQ(event(stored()[1])->typedProperties, nullptr);
}

TEST_F(AnalyticsTest, FlagsChooseTheUnitAndInvalidFlagsFallBackToNormal) {
    startAnalytics();
    RDDIAnalytics::trackEvent("critical", RDDIStringProperties{}, RDDIFlagsCritical);
    RDDIAnalytics::trackEvent("zero", RDDIStringProperties{}, 0);
    RDDIAnalytics::trackEvent("three", RDDIStringProperties{}, 3);
    RDDIAnalytics::trackEvent("high-bits", RDDIStringProperties{}, 0x100 | RDDIFlagsNormal);

    const auto critical = stored("Analytics_critical");
    ASSERT_EQ(critical.size(), 1u);
    EXPECT_EQ(event(critical[0])->name, "critical");
    EXPECT_EQ(critical[0].flags, RDDIFlagsCritical);

    const auto normal = stored();
    ASSERT_EQ(normal.size(), 3u);
    for (const auto& entry : normal) EXPECT_EQ(entry.flags, RDDIFlagsNormal);
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning, "Invalid flags (0) received, using normal as a default."));
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning, "Invalid flags (3) received, using normal as a default."));
}

TEST_F(AnalyticsTest, StartAddsBothUnitsAndTheStartServiceLog) {
    startAnalytics(std::nullopt);  // the service needs no secret
    EXPECT_EQ(env_.channelGroup()->unitGroupIds(),
              (std::vector<std::string>{"DezIdedev", "Analytics", "Analytics_critical"}));
    const auto core = env_.channelGroup()->storedLogs("DezIdedev");
    ASSERT_EQ(core.size(), 1u);
    EXPECT_EQ(core[0].log->serializeToDictionary().at("services"), pf::Value::array({"Analytics"}));
    EXPECT_TRUE(env_.logged(RDDILogLevelInfo, "Analytics service has been enabled."));
}

TEST_F(AnalyticsTest, DisabledServiceDropsEventsSilentlyAndClearsItsUnits) {
    startAnalytics();
    env_.clearLogs();
    RDDIAnalytics::sharedInstance()->classSetEnabled(false);
    RDDIAnalytics::trackEvent("dropped");
    RDDIAnalytics::trackPage("dropped");

    EXPECT_TRUE(stored().empty());
    for (const char* unit : kUnits)
        EXPECT_EQ(env_.channelGroup()->unit(unit)->enabledCalls().back(), std::make_pair(false, true)) << unit;
    EXPECT_FALSE(env_.logged(RDDILogLevelError, kNotStarted));
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("AnalyticsIsEnabled"), pf::Value(false));
}

TEST_F(AnalyticsTest, TrackedPageBecomesAPageLogWithItsProperties) {
    startAnalytics();
    RDDIAnalytics::trackPage("Preferences", RDDIStringProperties{{"tab", "icons"}});
    RDDIAnalytics::trackPage("Empty", RDDIStringProperties{});
    const auto logs = stored();
    ASSERT_EQ(logs.size(), 2u);
    const pf::Value json(logs[0].log->serializeToDictionary());
    EXPECT_EQ(json["type"], pf::Value("page"));
    EXPECT_EQ(json["name"], pf::Value("Preferences"));
    EXPECT_EQ(json["properties"], pf::Value::dict({{"tab", "icons"}}));
    EXPECT_FALSE(pf::Value(logs[1].log->serializeToDictionary()).contains("properties"));
}

TEST_F(AnalyticsTest, NamesAreCheckedWhenLogsEnterTheUnit) {
    startAnalytics();
    RDDIAnalytics::trackPage("");
    RDDIAnalytics::trackEvent(std::string(256, 'a'));
    RDDIAnalytics::trackEvent(std::string(257, 'b'));
    // A NUL would make the stored log unreadable, so it could never be sent.
    RDDIAnalytics::trackEvent(std::string("layer\0exported", 14));
    RDDIAnalytics::trackPage(std::string("\0", 1));

    EXPECT_TRUE(env_.logged(RDDILogLevelError, "page name cannot be null or empty"));
    const auto logs = stored();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(event(logs[0])->name, std::string(256, 'a'));
    EXPECT_EQ(event(logs[1])->name, std::string(256, 'b'));
    // The start-session log, and the empty page was handed over, then filtered.
    EXPECT_EQ(env_.channelGroup()->logs().size(), 7u);
    const auto refusals = env_.capturedLogs();
    EXPECT_EQ(std::count_if(refusals.begin(), refusals.end(),
                            [](const auto& e) { return e.message.find("NUL character") != std::string::npos; }),
              2);
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "event name cannot contain a NUL character"));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "page name cannot contain a NUL character"));
}

TEST_F(AnalyticsTest, ALineQuotesAtMostTheFirst256CharactersOfARefusedOrCutValue) {
    startAnalytics();
    // 10 MB, told apart from its first 256 characters.
    const std::string head(256, 'q');
    const std::string huge = head + std::string(10'000'000, 'z');
    const struct {
        const char* what;
        std::function<void()> act;
        const char* line;
    } cases[] = {
        {"event name", [&] { RDDIAnalytics::trackEvent(huge); }, "name length cannot be longer than 256"},
        {"typed property key",
         [&] {
             auto properties = std::make_shared<RDDIEventProperties>();
             properties->setInt64(1, huge);
             RDDIAnalytics::trackEvent("typed", properties);
         },
         "key length cannot exceed 125"},
        {"page property key", [&] { RDDIAnalytics::trackPage("page", RDDIStringProperties{{huge, "v"}}); },
         "property key length cannot be longer than 125"},
        {"double property key", [&] { RDDIEventProperties().setDouble(std::nan(""), huge); }, "must be finite"},
        {"user id prefix", [&] { RDDIUserIdContext::isUserIdValidForVudEzezevuvo(huge + ":id"); },
         "userId prefix must be"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        env_.clearLogs();
        c.act();
        const auto logs = env_.capturedLogs();
        const auto line = std::find_if(logs.begin(), logs.end(),
                                       [&](const auto& log) { return log.message.find(c.line) != std::string::npos; });
        ASSERT_NE(line, logs.end());
        EXPECT_NE(line->message.find(head + "\u2026"), std::string::npos) << line->message.substr(0, 400);
        EXPECT_LT(line->message.size(), 1000u);
    }
}

TEST_F(AnalyticsTest, InvalidUTF8CountsByteByByteAgainstEverySettersLimit) {
    // A byte that starts no well-formed character goes out as U+FFFD on its own, so it takes
    // one character of the limit. Lead bytes without their continuation bytes once counted as
    // half a character each, and encoded surrogates as one for three bytes.
    startAnalytics("secret;target=defa0000000000000000000000000000-0000-0000-0000-000000000000-0000");
    auto& config = *RDDIAnalytics::transmissionTargetForToken(
                        "root0000000000000000000000000001-1111-1111-1111-111111111111-1111")
                        ->propertyConfigurator();
    auto properties = std::make_shared<RDDICustomProperties>();
    const auto repeated = [](std::string_view piece, std::size_t times) {
        std::string text;
        for (std::size_t i = 0; i < times; ++i) text += piece;
        return text;
    };
    const struct {
        const char* setter;
        std::size_t limit;
        std::function<void(const std::string&)> set;
    } setters[] = {
        {"setCountryCode", 256, [](const std::string& v) { RDDIDezIdedev::setCountryCode(v); }},
        {"setWrapperSdk", 256,
         [](const std::string& v) {
             RDDIDezIdedev::setWrapperSdk(std::make_shared<RDDIWrapperSdk>("1.0", v, "rt", "label", "key", "hash"));
         }},
        {"setUserId", 256, [](const std::string& v) { RDDIDezIdedev::setUserId(v); }},
        {"setSessionId", 256, [](const std::string& v) { RDDISessionContext::sharedInstance()->setSessionId(v); }},
        {"setAppName", 256, [&](const std::string& v) { config.setAppName(v); }},
        {"setAppVersion", 256, [&](const std::string& v) { config.setAppVersion(v); }},
        {"setAppLocale", 256, [&](const std::string& v) { config.setAppLocale(v); }},
        {"setUserId", 256, [&](const std::string& v) { config.setUserId(v); }},
        {"setEventPropertyString", 125, [&](const std::string& v) { config.setEventPropertyString(v, "value"); }},
        {"setEventPropertyString", 125, [&](const std::string& v) { config.setEventPropertyString("key", v); }},
        {"setString", 128, [&](const std::string& v) { properties->setString(v, "kept"); }},
    };
    for (const auto& s : setters) {
        const std::size_t n = s.limit;
        const struct {
            const char* what;
            std::string value;
            bool refused;
        } values[] = {
            {"lead bytes alone, one per character", std::string(n, '\xF0'), false},
            {"lead bytes alone, twice the limit less two", std::string(2 * n - 2, '\xF0'), true},
            {"lead bytes before ASCII", repeated("\xF0" "abc", n / 2), true},
            {"encoded surrogates", repeated("\xED\xA0\x80", n / 2), true},
        };
        for (const auto& v : values) {
            SCOPED_TRACE(fmt::format("{} ({}): {}", s.setter, n, v.what));
            env_.clearLogs();
            s.set(v.value);
            std::vector<std::string> lines;
            for (const auto& log : env_.capturedLogs())
                if (log.level >= RDDILogLevelError) lines.push_back(log.message);
            if (!v.refused) {
                EXPECT_TRUE(lines.empty()) << lines.front();
                continue;
            }
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_TRUE(lines[0].starts_with(std::string(s.setter) + ": ")) << lines[0].substr(0, 200);
            EXPECT_NE(lines[0].find(std::to_string(n)), std::string::npos) << lines[0].substr(0, 200);
        }
    }
    // A property given with one event is cut instead, by the same count.
    const auto cut = RDDIUtility::validateProperties({{"k", std::string(250, '\xF0')}}, "cut", "event");
    ASSERT_TRUE(cut.contains("k"));
    EXPECT_EQ(cut.at("k").size(), 125u);
}

TEST_F(AnalyticsTest, TypedPropertiesAreLimitedAndCut) {
    startAnalytics();
    auto properties = std::make_shared<RDDIEventProperties>();
    for (int i = 0; i < 21; ++i) properties->setInt64(i, fmt::format("k{:02}", i));
    RDDIAnalytics::trackEvent("many", properties);
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(event(stored()[0])->typedProperties->count(), 20u);
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning,
                            "Typed properties cannot contain more than 20 items. Skipping other properties."));

    auto longOnes = std::make_shared<RDDIEventProperties>();
    longOnes->setString(std::string(126, 'v'), std::string(125, 'k') + "1");
    longOnes->setString("last", std::string(125, 'k') + "2");
    RDDIAnalytics::trackEvent("long", longOnes);
    const auto merged = event(stored()[1])->typedProperties->properties();
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged.begin()->first, std::string(125, 'k'));
    // The caller's bag is left as it was.
    EXPECT_EQ(longOnes->count(), 2u);
}

TEST_F(AnalyticsTest, EventPropertiesRefuseMissingKeysAndNonFiniteDoubles) {
    RDDIEventProperties bag;
    bag.setDouble(std::numeric_limits<double>::infinity(), "inf")
        .setDouble(std::nan(""), "nan")
        .setString(std::nullopt, "nothing")
        .setBool(true, std::nullopt)
        .setDouble(1.5, "ok");
    EXPECT_EQ(bag.count(), 1u);
    EXPECT_EQ(bag.serializeToArray(), pf::Value::array({pf::Value::dict({{"type", "double"}, {"name", "ok"}, {"value", 1.5}})}));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Double value for property 'inf' must be finite (cannot be INFINITY or NAN)."));
}

TEST_F(AnalyticsTest, EventLogWithoutAnIdIsInvalid) {
    RDDIEventLog log;
    log.name = "n";
    log.timestamp = pf::Date::now();
    log.device = RDDIDeviceTracker::sharedInstance()->device();
    EXPECT_FALSE(log.isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDIEventLog: \"eventId\" is not valid."));
    log.eventId = "id";
    EXPECT_TRUE(log.isValid());
}

TEST_F(AnalyticsTest, TransmissionIntervalOnlyInRangeAndBeforeStart) {
    for (std::uint64_t seconds : {2ull, 86401ull}) RDDIAnalytics::setTransmissionInterval(seconds);
    EXPECT_EQ(RDDIAnalytics::transmissionInterval(), 3u);
    RDDIAnalytics::setTransmissionInterval(86400);
    EXPECT_EQ(RDDIAnalytics::transmissionInterval(), 86400u);
    startAnalytics();
    EXPECT_EQ(env_.channelGroup()->unit("Analytics")->configuration()->flushInterval(), 86400u);
    EXPECT_EQ(env_.channelGroup()->unit("Analytics_critical")->configuration()->flushInterval(), 3u);
    RDDIAnalytics::setTransmissionInterval(10);
    EXPECT_EQ(RDDIAnalytics::transmissionInterval(), 86400u);
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "The transmission interval should be set before the RDDIAnalytics service is started."));
}

TEST_F(AnalyticsTest, DisableVariableKeepsAnalyticsFromStarting) {
    gwtest::ScopedEnv disable("DEZ_IDEDEV_DISABLE", std::string("Analytics"));
    startAnalytics();
    RDDIAnalytics::trackEvent("x");
    EXPECT_TRUE(env_.logged(RDDILogLevelError, kNotStarted));
    EXPECT_TRUE(stored().empty());
    EXPECT_TRUE(env_.channelGroup()->storedLogs("DezIdedev").empty());
}

TEST_F(AnalyticsTest, PauseAndResumeReachBothUnits) {
    startAnalytics();
    RDDIAnalytics::pause();
    for (const char* unit : kUnits) EXPECT_TRUE(env_.channelGroup()->unit(unit)->isPaused()) << unit;
    RDDIAnalytics::resume();
    for (const char* unit : kUnits) EXPECT_FALSE(env_.channelGroup()->unit(unit)->isPaused()) << unit;
}

// Records which delegate hooks fired, by log name.
class RecordingAnalyticsDelegate final : public RDDIAnalyticsDelegate {
public:
    void analyticsWillSendEventLog(RDDIAnalytics&, const RDDIEventLog& log) override { calls.push_back("willEvent " + *log.name); }
    void analyticsDidFailSendingEventLog(RDDIAnalytics&, const RDDIEventLog& log, const std::string& error) override {
        calls.push_back("failEvent " + *log.name + " " + error);
    }
    void analyticsDidSucceedSendingPageLog(RDDIAnalytics&, const RDDIPageLog& log) override {
        calls.push_back("okPage " + *log.name);
    }
    std::vector<std::string> calls;
};

TEST_F(AnalyticsTest, ChannelCallbacksReachTheDelegateForEventsAndPagesOnly) {
    startAnalytics();
    auto delegate = std::make_shared<RecordingAnalyticsDelegate>();
    RDDIAnalytics::setDelegate(delegate);
    RDDIAnalytics::trackEvent("e");
    RDDIAnalytics::trackPage("p");
    const auto logs = stored();
    ASSERT_EQ(logs.size(), 2u);
    auto& unit = *env_.channelGroup()->unit("Analytics");
    // The channel group relays these from its units to its delegates, the service among them.
    auto analytics = std::dynamic_pointer_cast<RDDIChannelDelegate>(RDDIAnalytics::sharedInstance());
    const auto delegates = env_.channelGroup()->delegates();
    ASSERT_NE(std::find(delegates.begin(), delegates.end(), analytics), delegates.end());
    for (const auto& entry : logs) {
        analytics->channelWillSendLog(unit, *entry.log);
        analytics->channelDidSucceedSendingLog(unit, *entry.log);
        analytics->channelDidFailSendingLog(unit, *entry.log, "offline");
    }
    RDDIStartServiceLog other;
    analytics->channelWillSendLog(unit, other);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"willEvent e", "failEvent e offline", "okPage p"}));
}

TEST_F(AnalyticsTest, SdkAndServiceSwitchesFlippedFromTwoThreadsDoNotDeadlock) {
    startAnalytics();
    std::thread sdk([] {
        for (int i = 0; i < 100; ++i) RDDIDezIdedev::setEnabled(i % 2 == 1);
    });
    std::thread service([] {
        for (int i = 0; i < 100; ++i) RDDIAnalytics::sharedInstance()->classSetEnabled(i % 2 == 1);
    });
    sdk.join();
    service.join();
    RDDIDezIdedev::setEnabled(true);
    RDDIAnalytics::sharedInstance()->classSetEnabled(true);
    RDDIAnalytics::trackEvent("after");
    EXPECT_EQ(stored().size(), 1u);
}

}  // namespace
