// Transmission targets end to end: the analytics service, the real channel group, the
// SQLite log store and the HTTP client to the loopback Common Schema server.
#include "platform/foundation/clock.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/analytics/rddi_property_configurator.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/scenario_environment.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using namespace rddi;
namespace pf = platform::foundation;
using testkit::ScenarioEnvironment;

constexpr const char* kDefaultToken = "defa0000000000000000000000000000-0000-0000-0000-000000000000-0000";
constexpr const char* kRootToken = "root0000000000000000000000000001-1111-1111-1111-111111111111-1111";
constexpr const char* kChildToken = "chil0000000000000000000000000002-2222-2222-2222-222222222222-2222";

class AnsweringDelegate final : public RDDIAnalyticsAuthenticationProviderDelegate {
public:
    void authenticationProviderAcquireToken(RDDIAnalyticsAuthenticationProvider&,
                                            RDDIAnalyticsAuthenticationProviderCompletionBlock completion) override {
        completion("secret-ticket", pf::Date::now().addingTimeInterval(3600));
    }
};

struct Line {
    nlohmann::json json;
    std::string apikey;
    std::optional<std::string> tickets;
};

class TargetsScenarioTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIDezIdedev::start(std::string("secret;target=") + kDefaultToken, {RDDIAnalytics::serviceClass()});
    }

    // Every Common Schema line the server received, by event name.
    std::map<std::string, std::vector<Line>> lines() {
        std::map<std::string, std::vector<Line>> byName;
        for (const auto& request : scenario_.server().requests()) {
            if (!request.path.starts_with("/VudEzezevuvo/1.0")) continue;
            for (const auto& json : request.jsonLines) {
                byName[json.value("name", "")].push_back(
                    {json, request.header("apikey").value_or(""), request.header("Tickets")});
            }
        }
        return byName;
    }
    bool arrived(const std::string& name) {
        return scenario_.waitUntil([&] {
            clock_->advanceSeconds(1);
            return lines().contains(name);
        });
    }

    rddi::testkit::ScopedManualClock clock_;
    std::shared_ptr<AnsweringDelegate> delegate_ = std::make_shared<AnsweringDelegate>();
    ScenarioEnvironment scenario_;
};

TEST_F(TargetsScenarioTest, AChildTargetsEventArrivesWithTheNearestSettingsAndItsTicket) {
    auto provider = std::make_shared<RDDIAnalyticsAuthenticationProvider>(RDDIAnalyticsAuthenticationType::compact,
                                                                          "ticket-key", delegate_);
    RDDIAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
    auto root = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    auto child = root->transmissionTargetForToken(kChildToken);
    auto& rootConfig = *root->propertyConfigurator();
    rootConfig.setEventPropertyString("root", "shared");
    rootConfig.setEventPropertyString("root", "passed");
    rootConfig.setEventPropertyString("root", "rootOnly");
    rootConfig.setAppVersion("2.0");
    rootConfig.setAppName("Glyphwright");
    rootConfig.setUserId("carol");
    child->propertyConfigurator()->setEventPropertyString("child", "shared");
    child->propertyConfigurator()->setEventPropertyString("child", "passed");
    child->propertyConfigurator()->setAppLocale("en-GB");
    child->propertyConfigurator()->collectDeviceId();

    child->trackEvent("child.event", RDDIStringProperties{{"passed", "event"}});
    ASSERT_TRUE(arrived("child.event"));
    const auto all = lines();
    ASSERT_EQ(all.at("child.event").size(), 1u);
    const Line& line = all.at("child.event")[0];
    EXPECT_EQ(line.json["data"].value("shared", ""), "child");
    EXPECT_EQ(line.json["data"].value("passed", ""), "event");
    EXPECT_EQ(line.json["data"].value("rootOnly", ""), "root");
    EXPECT_EQ(line.apikey, kChildToken);
    ASSERT_TRUE(line.tickets);
    EXPECT_EQ(nlohmann::json::parse(*line.tickets),
              (nlohmann::json{{RDDIUtility::sha256("ticket-key"), "p:secret-ticket"}}));
    const auto& ext = line.json["ext"];
    EXPECT_EQ(ext["app"].value("ver", ""), "2.0");
    EXPECT_EQ(ext["app"].value("name", ""), "Glyphwright");
    EXPECT_EQ(ext["app"].value("locale", ""), "en-GB");
    EXPECT_EQ(ext["user"].value("localId", ""), "c:carol");
    const auto deviceId = RDDIPropertyConfigurator::getDeviceIdentifier();
    if (deviceId) {
        EXPECT_EQ(ext["device"].value("localId", ""), *deviceId);
        EXPECT_TRUE(deviceId->starts_with("u:"));
    }
    // Nothing of it went to the Dez Idedev endpoint.
    for (const auto& request : scenario_.server().requests()) {
        if (request.path.starts_with("/logs")) {
            EXPECT_EQ(request.body.find("child.event"), std::string::npos);
        }
    }
}

TEST_F(TargetsScenarioTest, SwitchingAndPausingTargetsHoldsBackOnlyTheirLogs) {
    auto root = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    auto child = root->transmissionTargetForToken(kChildToken);

    root->setEnabled(false);
    child->trackEvent("while.disabled");
    root->trackEvent("root.while.disabled");
    root->setEnabled(true);
    child->trackEvent("after.enabled");
    ASSERT_TRUE(arrived("after.enabled"));
    EXPECT_FALSE(lines().contains("while.disabled"));
    EXPECT_FALSE(lines().contains("root.while.disabled"));

    child->pause();
    child->trackEvent("held");
    root->trackEvent("free");
    ASSERT_TRUE(arrived("free"));
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);
    scenario_.waitUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_FALSE(lines().contains("held"));
    EXPECT_GE(ScenarioEnvironment::rowCount("Analytics/one"), 1);
    child->resume();
    ASSERT_TRUE(arrived("held"));
    EXPECT_EQ(lines().at("held").size(), 1u);
}

TEST_F(TargetsScenarioTest, AnEventForTheDefaultTargetCarriesTheCurrentUser) {
    RDDIDezIdedev::setUserId("dave");
    RDDIAnalytics::trackEvent("default.event");
    ASSERT_TRUE(arrived("default.event"));
    const Line line = lines().at("default.event")[0];
    EXPECT_EQ(line.apikey, kDefaultToken);
    EXPECT_EQ(line.json["ext"]["user"].value("localId", ""), "c:dave");
}

// The logs the Dez Idedev endpoint received: pages by name, others by type.
std::map<std::string, nlohmann::json> logsAtTheLogsEndpoint(const rddi::testkit::LoopbackServer& server) {
    std::map<std::string, nlohmann::json> logs;
    for (const auto& batch : rddi::testkit::postedBatches(server))
        for (const auto& log : batch) logs[log.value("type", "") == "page" ? log.value("name", "") : log.value("type", "")] = log;
    return logs;
}

TEST_F(TargetsScenarioTest, EverySetterRefusesAValueNoLogCouldCarryAndLaterEventsStillArrive) {
    // A value kept for every later log is set, then one no log could carry: a NUL (an archive
    // holding it is never read back), or one too long or against the setter's own rule. It is
    // refused with one ERROR line, and an event tracked next arrives with the value before.
    auto target = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    auto& config = *target->propertyConfigurator();
    const std::string nul("b\0ad", 4), tooLong(300, 'x'), huge(10'000'000, 'h');
    // Lengths count characters, not bytes: the longest value kept is of two-byte characters.
    const auto accents = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "\xC3\xA9";
        return text;
    };
    const struct {
        const char* setter;
        std::function<void(const std::string&)> set;
        std::string kept, invalid;  // `invalid` is tried beside a NUL, and 10 MB where a length is the rule
        const char* invalidLine;
        std::string where;  // the value in what arrived: an event's line ("/cs") or a page log ("/page")
        nlohmann::json expected;
        bool toTarget = true;  // else tracked to the default target, with a page
    } cases[] = {
        {"setCountryCode", [](const std::string& v) { RDDIDezIdedev::setCountryCode(v); }, "gb", tooLong,
         "setCountryCode: the country code is longer than 256", "/page/device/carrierCountry", "gb", false},
        {"setWrapperSdk",
         [](const std::string& v) {
             RDDIDezIdedev::setWrapperSdk(std::make_shared<RDDIWrapperSdk>("1.0", v, "rt", "label", "key", "hash"));
         },
         "wrapper", tooLong, "setWrapperSdk: the wrapper field \"wrapperSdkName\" is longer",
         "/page/device/wrapperSdkName", "wrapper", false},
        {"setUserId", [](const std::string& v) { RDDIDezIdedev::setUserId(v); }, "erin", std::string(257, 'u'),
         "setUserId: userId is limited to 256 characters", "/cs/ext/user/localId", "c:erin", false},
        {"setAppName", [&](const std::string& v) { config.setAppName(v); }, "Glyphwright", tooLong,
         "setAppName: the application name is longer than 256", "/cs/ext/app/name", "Glyphwright"},
        {"setAppVersion", [&](const std::string& v) { config.setAppVersion(v); }, "2.0", tooLong,
         "setAppVersion: the application version is longer than 256", "/cs/ext/app/ver", "2.0"},
        {"setAppLocale", [&](const std::string& v) { config.setAppLocale(v); }, "en-GB", tooLong,
         "setAppLocale: the application locale is longer than 256", "/cs/ext/app/locale", "en-GB"},
        {"setUserId", [&](const std::string& v) { config.setUserId(v); }, "frank", "x:frank", "userId prefix must be",
         "/cs/ext/user/localId", "c:frank"},
        {"setEventPropertyString", [&](const std::string& v) { config.setEventPropertyString(v, "kept"); }, "value",
         "", "", "/cs/data/kept", "value"},
        {"setEventPropertyString", [&](const std::string& v) { config.setEventPropertyString("value", v); }, "key",
         "", "", "/cs/data/key", "value"},
        {"setEventPropertyDouble",
         [&](const std::string& v) {
             config.setEventPropertyDouble(v == "NaN" ? std::nan("") : 1.5, v == nul ? nul : "double");
         },
         "", "NaN", "must be finite", "/cs/data/double", 1.5},
        // Default event properties and the user id are held to what one event may carry.
        {"setEventPropertyString", [&](const std::string& v) { config.setEventPropertyString(v, "accented"); },
         accents(125), accents(126), "the value of event property \"accented\" is longer than 125",
         "/cs/data/accented", accents(125)},
        {"setEventPropertyInt64", [&](const std::string& v) { config.setEventPropertyInt64(7, v); }, accents(125),
         accents(126), "setEventPropertyInt64: the event property key is longer than 125", "/cs/data/" + accents(125),
         7},
        {"setUserId", [&](const std::string& v) { config.setUserId(v); }, accents(256), accents(257),
         "setUserId: the user id is longer than 256", "/cs/ext/user/localId", "c:" + accents(256)},
    };
    std::vector<std::pair<std::size_t, std::string>> tracked;  // case, event name
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const std::string_view rule(c.invalidLine);
        const bool lengthRule = rule.find("is longer than") != rule.npos || rule.find("is limited to") != rule.npos;
        for (const auto& value : {nul, c.invalid, lengthRule ? huge : std::string()}) {
            if (value.empty()) continue;
            SCOPED_TRACE(std::string(c.setter) + " " + c.where.substr(0, 40) + " " + std::to_string(value.size()));
            c.set(c.kept);
            scenario_.telemetry().clearLogs();
            c.set(value);
            // Matched by their text: the pipeline's threads may log about an earlier test's logs.
            const std::string line = value == nul ? std::string(c.setter) + ": " : c.invalidLine;
            std::vector<std::string> errors;
            for (const auto& log : scenario_.telemetry().capturedLogs())
                if (log.level >= RDDILogLevelError && log.message.find(line) != std::string::npos)
                    errors.push_back(log.message);
            ASSERT_EQ(errors.size(), 1u) << line;
            EXPECT_EQ(errors[0].find("NUL") != std::string::npos, value == nul) << errors[0].substr(0, 400);
            EXPECT_LT(errors[0].size(), 1000u) << "the value is quoted whole";
            const std::string name = "after." + std::to_string(tracked.size());
            if (c.toTarget) {
                target->trackEvent(name);
            } else {
                RDDIAnalytics::trackEvent(name);
                RDDIAnalytics::trackPage(name);
            }
            tracked.emplace_back(i, name);
        }
    }
    // Custom properties: a value with a NUL, or one too long, is refused by its setter.
    auto properties = std::make_shared<RDDICustomProperties>();
    scenario_.telemetry().clearLogs();
    properties->setString("kept", "kept").setString(nul, "nul").setString(std::string(129, 'y'), "long");
    EXPECT_TRUE(scenario_.telemetry().logged(
        RDDILogLevelError, "setString: the value of custom property \"nul\" holds a NUL character, which no log can "
                           "carry; it is refused and the value set before is kept."));
    RDDIDezIdedev::setCustomProperties(properties);

    std::map<std::string, std::vector<Line>> events;
    std::map<std::string, nlohmann::json> logs;
    const auto all = [&] {
        events = lines();
        logs = logsAtTheLogsEndpoint(scenario_.server());
        for (const auto& [i, name] : tracked)
            if (!events.contains(name) || (!cases[i].toTarget && !logs.contains(name))) return false;
        return logs.contains("customProperties");
    };
    scenario_.waitUntil([&] {
        clock_->advanceSeconds(1);
        return all();
    });
    EXPECT_TRUE(all()) << "lost";
    for (const auto& [i, name] : tracked) {
        SCOPED_TRACE(std::string(cases[i].setter) + " " + cases[i].where.substr(0, 40) + " " + name);
        EXPECT_EQ(events[name].size(), 1u);
        if (events[name].empty()) continue;
        const nlohmann::json got{{"cs", events[name][0].json}, {"page", logs[name]}};
        const nlohmann::json::json_pointer where(cases[i].where);
        EXPECT_EQ(got.contains(where) ? got[where] : nlohmann::json(), cases[i].expected);
        EXPECT_EQ(got.dump().find("\\u0000"), std::string::npos) << "a NUL was kept";
    }
    const auto& sent = logs["customProperties"]["properties"];
    ASSERT_EQ(sent.size(), 1u) << sent.dump();
    EXPECT_EQ(sent[0].value("name", ""), "kept");
}

}  // namespace
