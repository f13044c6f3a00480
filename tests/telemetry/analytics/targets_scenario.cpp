// Transmission targets end to end: the analytics service, the real channel group, the
// SQLite log store and the HTTP client to the loopback Common Schema server.
#include "platform/foundation/clock.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/scenario_environment.hpp"

#include <gtest/gtest.h>

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

}  // namespace
