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
#include <thread>

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

// The ERROR lines `action` logs on this thread, where a setter checks its value: the
// pipeline's own threads may still be at work on an earlier test's logs meanwhile.
std::vector<std::string> errorsLoggedBy(const std::function<void()>& action) {
    auto lines = std::make_shared<std::vector<std::string>>();
    const auto previous = RDDIDezIdedev::logHandler();
    RDDIDezIdedev::setLogHandler([lines, previous, me = std::this_thread::get_id()](
                                     const RDDILogMessageProvider& provider, RDDILogLevel level, const std::string& tag,
                                     const char* file, const char* function, std::uint32_t line) {
        if (level >= RDDILogLevelError && provider && std::this_thread::get_id() == me) lines->push_back(provider());
        if (previous) previous(provider, level, tag, file, function, line);
    });
    action();
    RDDIDezIdedev::setLogHandler(previous);
    return *lines;
}

TEST_F(TargetsScenarioTest, EverySetterRefusesAValueNoLogCouldCarryAndLaterEventsStillArrive) {
    // Each setter that keeps a value for the logs made after it is given a value it had
    // before, then one that could not be sent: a NUL (an archive holding it is never read
    // back), or one too long or invalid. It refuses the value with one ERROR line naming
    // it, keeps the value it had, and an event tracked right after arrives with that value.
    auto target = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    auto& config = *target->propertyConfigurator();
    const std::string nul("b\0ad", 4);
    const std::string tooLong(300, 'x');
    struct Case {
        const char* setter;
        std::function<void(const std::string&)> set;
        std::string kept;  // set first
        std::string invalid;  // beside the NUL: too long, or refused by the setter's own rule
        const char* invalidLine;  // what the one ERROR line for `invalid` says
        // Where the events tracked afterwards go: an event to the target, else one to the
        // default target and a page (which no target takes) to the Dez Idedev endpoint.
        bool toTarget;
        // What they arrived with, and what that must be.
        std::function<std::string(const nlohmann::json& csLine, const nlohmann::json& page)> delivered;
        std::string expected;
    };
    const auto deviceField = [](const char* field) {
        return [field](const nlohmann::json&, const nlohmann::json& page) { return page["device"].value(field, ""); };
    };
    const auto extField = [](const char* part, const char* field) {
        return [part, field](const nlohmann::json& line, const nlohmann::json&) { return line["ext"][part].value(field, ""); };
    };
    const auto dataField = [](const char* key) {
        return [key](const nlohmann::json& line, const nlohmann::json&) { return line["data"].value(key, std::string("?")); };
    };
    const Case cases[] = {
        {"setCountryCode", [](const std::string& v) { RDDIDezIdedev::setCountryCode(v); }, "gb", tooLong,
         "setCountryCode: the country code is longer than 256", false, deviceField("carrierCountry"), "gb"},
        {"setWrapperSdk",
         [](const std::string& v) {
             RDDIDezIdedev::setWrapperSdk(std::make_shared<RDDIWrapperSdk>("1.0", v, "rt", "label", "key", "hash"));
         },
         "wrapper", tooLong, "setWrapperSdk: the wrapper field \"wrapperSdkName\" is longer", false,
         deviceField("wrapperSdkName"), "wrapper"},
        {"setUserId", [](const std::string& v) { RDDIDezIdedev::setUserId(v); }, "erin", std::string(257, 'u'),
         "userId is limited to 256 characters", false, extField("user", "localId"), "c:erin"},
        {"setAppName", [&](const std::string& v) { config.setAppName(v); }, "Glyphwright", tooLong,
         "setAppName: the application name is longer than 256", true, extField("app", "name"), "Glyphwright"},
        {"setAppVersion", [&](const std::string& v) { config.setAppVersion(v); }, "2.0", tooLong,
         "setAppVersion: the application version is longer than 256", true, extField("app", "ver"), "2.0"},
        {"setAppLocale", [&](const std::string& v) { config.setAppLocale(v); }, "en-GB", tooLong,
         "setAppLocale: the application locale is longer than 256", true, extField("app", "locale"), "en-GB"},
        {"setUserId", [&](const std::string& v) { config.setUserId(v); }, "frank", "x:frank",
         "userId prefix must be", true, extField("user", "localId"), "c:frank"},
        {"setEventPropertyString", [&](const std::string& v) { config.setEventPropertyString(v, "kept"); }, "value",
         "", "", true, dataField("kept"), "value"},
        {"setEventPropertyString", [&](const std::string& v) { config.setEventPropertyString("value", v); }, "key",
         "", "", true, dataField("b"), "?"},
        {"setEventPropertyDouble",
         [&](const std::string& v) { config.setEventPropertyDouble(v == "NaN" ? std::nan("") : 1.5, "double" + v); },
         "", "NaN", "must be finite", true,
         [](const nlohmann::json& line, const nlohmann::json&) {
             std::string keys;
             for (const auto& [key, value] : line["data"].items())
                 if (key.starts_with("double")) keys += key + " ";
             return keys;
         },
         "double "},
    };
    std::vector<std::pair<const Case*, std::string>> tracked;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setter);
        for (const auto& value : {nul, c.invalid}) {
            if (value.empty()) continue;
            c.set(c.kept);
            const auto errors = errorsLoggedBy([&] { c.set(value); });
            ASSERT_EQ(errors.size(), 1u) << (errors.empty() ? std::string("no ERROR line") : errors.back());
            const std::string line = value == nul ? std::string(c.setter) + ": " : c.invalidLine;
            EXPECT_NE(errors.front().find(line), std::string::npos) << errors.front();
            if (value == nul) {
                EXPECT_NE(errors.front().find("NUL"), std::string::npos) << errors.front();
            }
            const std::string name = "after." + std::to_string(n++);
            if (c.toTarget) {
                target->trackEvent(name);
            } else {
                RDDIAnalytics::trackEvent(name);
                RDDIAnalytics::trackPage(name);
            }
            tracked.emplace_back(&c, name);
        }
    }
    // The custom properties a host sends: a value with a NUL, or too long, is refused
    // by its setter; the others go.
    auto properties = std::make_shared<RDDICustomProperties>();
    properties->setString("kept", "kept");
    const auto refusals =
        errorsLoggedBy([&] { properties->setString(nul, "nul").setString(std::string(129, 'y'), "long"); });
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_TRUE(refusals[0].starts_with("setString: the value of custom property \"nul\" holds a NUL")) << refusals[0];
    RDDIDezIdedev::setCustomProperties(properties);

    const bool all = scenario_.waitUntil([&] {
        clock_->advanceSeconds(1);
        const auto csLines = lines();
        const auto pages = logsAtTheLogsEndpoint(scenario_.server());
        if (!pages.contains("customProperties")) return false;
        for (const auto& [c, name] : tracked)
            if (!csLines.contains(name) || (!c->toTarget && !pages.contains(name))) return false;
        return true;
    });
    const auto csLines = lines();
    const auto pages = logsAtTheLogsEndpoint(scenario_.server());
    for (const auto& [c, name] : tracked) {
        SCOPED_TRACE(std::string(c->setter) + " " + name);
        ASSERT_TRUE(csLines.contains(name)) << "lost";
        ASSERT_EQ(csLines.at(name).size(), 1u);
        const nlohmann::json none;
        ASSERT_TRUE(c->toTarget || pages.contains(name)) << "lost";
        EXPECT_EQ(c->delivered(csLines.at(name)[0].json, c->toTarget ? none : pages.at(name)), c->expected);
    }
    ASSERT_TRUE(all);
    ASSERT_TRUE(pages.contains("customProperties"));
    const auto& sent = pages.at("customProperties")["properties"];
    ASSERT_EQ(sent.size(), 1u) << sent.dump();
    EXPECT_EQ(sent[0].value("name", ""), "kept");
}

}  // namespace
