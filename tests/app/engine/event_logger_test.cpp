#include "app/engine/analytics_tracker.hpp"
#include "app/engine/event_logger.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

namespace pf = platform::foundation;
using rddi::testkit::EnqueuedLog;

// Keeps the hits a tracker hands over, where the log transport would write them out.
class RecordingTransport final : public gw::KKGATransport {
public:
    void sendHit(const pf::Dictionary& hit) override {
        std::lock_guard lock(mutex_);
        hits_.push_back(hit);
    }
    std::vector<pf::Dictionary> hits() const {
        std::lock_guard lock(mutex_);
        return hits_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<pf::Dictionary> hits_;
};

class EventLoggerTest : public ::testing::Test {
protected:
    EventLoggerTest() {
        auto tracker = std::make_shared<gw::KKGATracker>(transport_);
        tracker->setTrackingID("UA-TEST-1");
        gw::KKGASetSharedTracker(tracker);
    }
    ~EventLoggerTest() override { gw::KKGASetSharedTracker(nullptr); }

    static void startSdk() { rddi::RDDIDezIdedev::start("secret", {rddi::RDDIAnalytics::serviceClass()}); }

    std::vector<std::shared_ptr<rddi::RDDIEventLog>> events() const {
        std::vector<std::shared_ptr<rddi::RDDIEventLog>> result;
        for (const EnqueuedLog& entry : env_.channelGroup()->storedLogs("Analytics")) {
            EXPECT_EQ(entry.flags, rddi::RDDIFlagsNormal);
            // The session tracker's start-session log shares the unit.
            if (auto event = std::dynamic_pointer_cast<rddi::RDDIEventLog>(entry.log)) result.push_back(event);
        }
        return result;
    }

    static pf::Dictionary hit(const std::string& category, const std::string& action, const std::string& label) {
        return *pf::Value::dict({{"hitType", "event"}, {"category", category}, {"action", action},
                                 {"label", label}, {"value", 0}, {"trackingId", "UA-TEST-1"}})
                    .asDictionary();
    }

    rddi::testkit::TelemetryTestEnvironment env_;
    std::shared_ptr<RecordingTransport> transport_ = std::make_shared<RecordingTransport>();
};

TEST_F(EventLoggerTest, EventWithPropertiesReachesBothBackEndsWithOnlyTextPropertiesForAnalytics) {
    startSdk();
    pf::Dictionary properties;
    properties["reason"] = "opaque";
    properties["count"] = 3;
    gw::EventLogger().log("alpha_channel_removal_succeeded", properties);

    const auto logged = events();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]->name, "alpha_channel_removal_succeeded");
    ASSERT_TRUE(logged[0]->typedProperties);
    const auto typed = logged[0]->typedProperties->properties();
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed.begin()->first, "reason");
    EXPECT_EQ(pf::Value(typed.begin()->second->serializeToDictionary()),
              pf::Value::dict({{"type", "string"}, {"name", "reason"}, {"value", "opaque"}}));

    EXPECT_EQ(transport_->hits(), std::vector<pf::Dictionary>{hit("Generic", "alpha_channel_removal_succeeded", "")});
}

TEST_F(EventLoggerTest, SharingEventGoesToTheTrackerOnly) {
    startSdk();
    gw::EventLogger().logSharingEvent(std::nullopt, std::nullopt);
    gw::EventLogger().logSharingEvent("Twitter", "menu");
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(transport_->hits(), (std::vector<pf::Dictionary>{hit("Sharing", "", ""), hit("Sharing", "Twitter", "menu")}));
}

TEST_F(EventLoggerTest, WithoutATrackerTheAnalyticsServiceStillHearsTheEvent) {
    gw::KKGASetSharedTracker(nullptr);
    startSdk();
    gw::EventLogger().log("launched");
    const auto logged = events();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]->name, "launched");
    EXPECT_EQ(logged[0]->typedProperties, nullptr);
}

TEST_F(EventLoggerTest, UnstartedSdkRefusesTheEventWhileTheTrackerStillGetsIt) {
    gw::EventLogger().log("alpha_channel_removal_failed", pf::Dictionary{{"error", pf::Value("bad")}});
    EXPECT_TRUE(env_.logged(rddi::RDDILogLevelError,
                            "Analytics service hasn't been started. You need to call [RDDIDezIdedev "
                            "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
    EXPECT_TRUE(env_.channelGroup()->logs().empty());
    EXPECT_EQ(transport_->hits(), std::vector<pf::Dictionary>{hit("Generic", "alpha_channel_removal_failed", "")});
}

TEST(AnalyticsTrackerTest, ScreenViewAndDefaultTransportDoNotNeedATrackingId) {
    const auto screen = gw::KKGADictionaryBuilder::createScreenView("Launch Main App")->build();
    ASSERT_TRUE(screen);
    EXPECT_EQ(pf::Value(*screen), pf::Value::dict({{"hitType", "screenview"}, {"screenName", "Launch Main App"}}));

    auto transport = std::make_shared<RecordingTransport>();
    gw::KKGATracker tracker(transport);
    tracker.send(*screen);
    EXPECT_EQ(transport->hits(), std::vector<pf::Dictionary>{*screen});
    EXPECT_EQ(gw::KKGAI(), nullptr);
}

}  // namespace
