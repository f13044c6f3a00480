#include "app/engine/analytics_tracker.hpp"
#include "app/engine/event_logger.hpp"
#include "app/shell/prompt_frameworks.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

namespace pf = platform::foundation;

// The prompters report their events through EventLogger, as the application hands it to them.
class PromptFrameworksTest : public ::testing::Test {
protected:
    PromptFrameworksTest() {
        rddi::RDDIDezIdedev::start("secret", {rddi::RDDIAnalytics::serviceClass()});
    }

    std::vector<std::string> trackedEvents() const {
        std::vector<std::string> names;
        for (const auto& entry : env_.channelGroup()->storedLogs("Analytics")) {
            // The session tracker's start-session log shares the unit.
            if (auto event = std::dynamic_pointer_cast<rddi::RDDIEventLog>(entry.log)) names.push_back(*event->name);
        }
        return names;
    }

    std::shared_ptr<gw::SiblingcastController> launch() const {
        auto controller = std::make_shared<gw::SiblingcastController>(
            "123", "Glyphwright", *pf::URL::fromString("https://example.invalid/apps.json"), 2, logger_, nullptr);
        controller->prepare({});
        return controller;
    }

    rddi::testkit::TelemetryTestEnvironment env_;
    std::shared_ptr<gw::EventTrackingLoggerAdapter<gw::EventLogger>> logger_ =
        std::make_shared<gw::EventTrackingLoggerAdapter<gw::EventLogger>>();
};

TEST_F(PromptFrameworksTest, OtherAppsPromptWaitsForItsLaunchesAndForAPresenter) {
    EXPECT_FALSE(launch()->shouldPrompt());  // one launch of two suppressed
    auto controller = launch();
    EXPECT_FALSE(controller->shouldPrompt());  // nothing could show it
    controller->showPrompt();
    EXPECT_TRUE(trackedEvents().empty());

    int shown = 0;
    controller->setPresenter([&] { return ++shown > 0; });
    ASSERT_TRUE(controller->shouldPrompt());
    controller->showPrompt();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(trackedEvents(), std::vector<std::string>{"other_apps_prompt_shown"});
    EXPECT_FALSE(controller->shouldPrompt());  // suppressed again
}

TEST_F(PromptFrameworksTest, ReviewPromptIsShownOncePerVersionAfterEnoughRequests) {
    EXPECT_THROW(gw::Ratewell(nullptr, nullptr), std::invalid_argument);

    gw::Ratewell ratewell(logger_, nullptr);
    int presented = 0;
    ratewell.setPresenter([&] { return ++presented > 0; });
    std::vector<bool> answers;
    for (int i = 0; i < gw::Ratewell::kRequestsBeforePrompt + 1; ++i) {
        ratewell.promptForReviewIfAllowed([&](bool shown) { answers.push_back(shown); });
    }
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false, false, true, false}));
    EXPECT_EQ(presented, 1);
    EXPECT_EQ(trackedEvents(), std::vector<std::string>{"review_prompt_shown"});
}

// Counts some other writer left at the ends of the range are held there, never wrapped
// around into a prompt or out of one.
TEST_F(PromptFrameworksTest, CountsAtTheEndsOfTheRangeStayThere) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.setInteger(std::numeric_limits<std::int64_t>::max(), gw::Ratewell::kRequestCountKey);
    gw::Ratewell ratewell(logger_, nullptr);
    ratewell.promptForReviewIfAllowed({});
    EXPECT_EQ(defaults.integerForKey(gw::Ratewell::kRequestCountKey), std::numeric_limits<std::int64_t>::max());

    defaults.setInteger(std::numeric_limits<std::int64_t>::min(), gw::SiblingcastController::kSuppressionKey);
    auto controller = launch();
    EXPECT_EQ(defaults.integerForKey(gw::SiblingcastController::kSuppressionKey), 0);
    controller->setPresenter([] { return true; });
    EXPECT_TRUE(controller->shouldPrompt());
}

TEST(BundleDisplayNameTest, PrefersTheDisplayNameAndFallsBackToTheName) {
    EXPECT_EQ(gw::bundleDisplayName(pf::Bundle("/nonexistent", {{"CFBundleName", pf::Value("Short")},
                                                                {"CFBundleDisplayName", pf::Value("Long Name")}})),
              "Long Name");
    EXPECT_EQ(gw::bundleDisplayName(pf::Bundle("/nonexistent", {{"CFBundleName", pf::Value("Short")}})), "Short");
    EXPECT_EQ(gw::bundleDisplayName(pf::Bundle("/nonexistent", pf::Dictionary{})), std::nullopt);
}

}  // namespace
