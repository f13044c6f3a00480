// Automatic page tracking through the desktop layer's appearance hook.
#include "platform/appkit/view_appearance.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_category.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

namespace gw {
class SettingsViewController {
public:
    virtual ~SettingsViewController() = default;
};
}  // namespace gw

namespace {

using namespace rddi;
using platform::appkit::ViewAppearance;

class PageTrackingTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIAnalyticsCategory::activateCategory();
        RDDIAnalytics::setAutoPageTrackingEnabled(true);
    }
    std::vector<std::string> pages() const {
        std::vector<std::string> names;
        for (const auto& entry : env_.channelGroup()->storedLogs("Analytics")) {
            if (auto page = std::dynamic_pointer_cast<RDDIPageLog>(entry.log)) names.push_back(page->name.value_or(""));
        }
        return names;
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(PageTrackingTest, AppearancesBecomePagesNamedAfterTheirClass) {
    RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()});
    const gw::SettingsViewController settings;
    ViewAppearance::willAppear(settings, false);
    ViewAppearance::willAppear("ViewController", false);
    ViewAppearance::willAppear("Module.ReportViewController", false);
    ViewAppearance::willAppear("gw::ui::MainWindow", false);
    for (const char* container : {"NSTabViewController", "NSSplitViewController", "NSPageController"}) {
        ViewAppearance::willAppear(container, false);
    }
    ViewAppearance::willAppear("gw::ui::TabsViewController", true);
    EXPECT_EQ(pages(), (std::vector<std::string>{"Settings", "ViewController", "Report", "MainWindow"}));

    RDDIAnalytics::setAutoPageTrackingEnabled(false);
    ViewAppearance::willAppear("gw::AboutViewController", false);
    EXPECT_EQ(pages().size(), 4u);
}

TEST_F(PageTrackingTest, AnAppearanceBeforeStartIsTrackedOnceWhenTheServiceIsEnabled) {
    ViewAppearance::willAppear("gw::EarlyViewController", false);
    ViewAppearance::willAppear("gw::LaterViewController", false);
    EXPECT_EQ(RDDIAnalyticsCategory::missedPageViewName(), "Later");
    RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()});
    EXPECT_TRUE(pages().empty());  // tracked from the main queue
    ASSERT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return !pages().empty(); }, std::chrono::seconds(30)));
    EXPECT_EQ(pages(), std::vector<std::string>{"Later"});

    // Once tracked it is gone: switching the service again tracks nothing more.
    ViewAppearance::willAppear("gw::NowViewController", false);
    EXPECT_EQ(RDDIAnalyticsCategory::missedPageViewName(), std::nullopt);
    RDDIAnalytics::sharedInstance()->classSetEnabled(false);
    RDDIAnalytics::sharedInstance()->classSetEnabled(true);
    platform::dispatch::MainLoop::runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(pages(), (std::vector<std::string>{"Later", "Now"}));
}

TEST(PageNameTest, ClassNamesGiveTheLastComponentLessTheControllerSuffix) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"gw::SettingsViewController", "Settings"},
        {"SettingsViewController", "Settings"},
        {"ViewController", "ViewController"},
        {"App.Module.ListViewController", "List"},
        {"gw::ui::PreferencesWindow", "PreferencesWindow"},
        {"NSTabViewController", std::nullopt},
        {"gw::NSSplitViewController", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [className, page] : cases) {
        EXPECT_EQ(RDDIAnalyticsCategory::pageNameForClassName(className, false), page) << className;
    }
    EXPECT_EQ(RDDIAnalyticsCategory::pageNameForClassName("gw::SettingsViewController", true), std::nullopt);
}

}  // namespace
