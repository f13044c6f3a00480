// Sessions as the application model's activation notices drive them, on a manual clock.
#include "platform/appkit/application_state.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/notification_center.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

namespace {

using namespace rddi;
namespace pf = platform::foundation;
using platform::appkit::ApplicationState;

class SessionTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ApplicationState::shared().reset();
        RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()});
        ApplicationState::shared().setActive(true);
    }
    void TearDown() override {
        ApplicationState::shared().reset();
    }
    std::vector<std::shared_ptr<RDDIAbstractLog>> analyticsLogs() const {
        std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
        for (const auto& entry : env_.channelGroup()->storedLogs("Analytics")) logs.push_back(entry.log);
        return logs;
    }
    std::vector<std::string> startedSessions() const {
        std::vector<std::string> ids;
        for (const auto& log : analyticsLogs()) {
            if (dynamic_cast<const RDDIStartSessionLog*>(log.get())) ids.push_back(log->sid.value_or("?"));
        }
        return ids;
    }
    static std::optional<std::string> currentSession() { return RDDISessionContext::sharedInstance()->sessionId(); }

    testkit::TelemetryTestEnvironment env_;
    testkit::ScopedManualClock clock_;
};

TEST_F(SessionTrackerTest, StartBeginsASessionThatEveryEventCarries) {
    const auto sessions = startedSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0], currentSession());
    EXPECT_TRUE(env_.logged(RDDILogLevelInfo, "New session ID: " + sessions[0]));

    RDDIAnalytics::trackEvent("first");
    clock_->advanceSeconds(30);
    RDDIAnalytics::trackPage("Main");
    const auto logs = analyticsLogs();
    ASSERT_EQ(logs.size(), 3u);
    for (const auto& log : logs) EXPECT_EQ(log->sid, sessions[0]) << log->className();
    // Staying in front, however long, is one session.
    EXPECT_EQ(startedSessions().size(), 1u);
}

TEST_F(SessionTrackerTest, ReturningToTheFrontRenewsOnlyAfterTheTimeoutWithoutLogs) {
    struct Case {
        const char* name;
        double secondsInBackground;
        bool logWhileInBackground;
        bool newSession;
    };
    const Case cases[] = {
        {"19 s away keeps the session", 19, false, false},
        {"20 s away starts a new one", 20, false, true},
        {"a log 5 s before returning keeps it", 25, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = currentSession();
        const auto startedBefore = startedSessions().size();
        RDDIAnalytics::trackEvent("before");
        ApplicationState::shared().setActive(false);
        clock_->advanceSeconds(c.secondsInBackground - 5);
        if (c.logWhileInBackground) RDDIAnalytics::trackEvent("background");
        clock_->advanceSeconds(5);
        ApplicationState::shared().setActive(true);
        if (c.newSession) {
            EXPECT_NE(currentSession(), before);
            ASSERT_EQ(startedSessions().size(), startedBefore + 1);
            EXPECT_EQ(startedSessions().back(), currentSession());
        } else {
            EXPECT_EQ(currentSession(), before);
            EXPECT_EQ(startedSessions().size(), startedBefore);
        }
        RDDIAnalytics::trackEvent("after");
        EXPECT_EQ(analyticsLogs().back()->sid, currentSession());
        clock_->advanceSeconds(1);
    }
}

TEST_F(SessionTrackerTest, StartLogsAreNotStampedAndDoNotCountAsActivity) {
    auto tracker = RDDIAnalytics::sharedInstance()->sessionTracker();
    auto unit = env_.channelGroup()->unit("Analytics");
    RDDIAnalytics::trackEvent("activity");
    const double lastLog = tracker->lastCreatedLogTime();
    ASSERT_GT(lastLog, 0);
    clock_->advanceSeconds(10);

    RDDIStartSessionLog startSession;
    startSession.sid = "own";
    RDDIStartServiceLog startService;
    tracker->channelPrepareLog(*unit, startSession);
    tracker->channelPrepareLog(*unit, startService);
    EXPECT_EQ(startSession.sid, "own");
    EXPECT_EQ(startService.sid, std::nullopt);
    EXPECT_EQ(tracker->lastCreatedLogTime(), lastLog);
}

TEST_F(SessionTrackerTest, StoppingAndDisablingEndTheSession) {
    RDDIAnalytics::trackEvent("kept");
    ASSERT_FALSE(RDDISessionContext::sharedInstance()->sessionHistory().empty());

    RDDIAnalytics::sharedInstance()->sessionTracker()->stop();
    RDDIAnalytics::trackEvent("after stop");
    EXPECT_EQ(analyticsLogs().back()->sid, std::nullopt);
    // A stopped tracker ignores activation.
    ApplicationState::shared().setActive(false);
    clock_->advanceSeconds(60);
    ApplicationState::shared().setActive(true);
    EXPECT_EQ(currentSession(), std::nullopt);

    RDDIAnalytics::sharedInstance()->sessionTracker()->start();
    ASSERT_TRUE(currentSession());
    RDDIAnalytics::sharedInstance()->classSetEnabled(false);
    EXPECT_EQ(currentSession(), std::nullopt);
    EXPECT_TRUE(RDDISessionContext::sharedInstance()->sessionHistory().empty());
    EXPECT_FALSE(RDDIAnalytics::sharedInstance()->sessionTracker()->isStarted());

    // Enabling again begins a new session.
    RDDIAnalytics::sharedInstance()->classSetEnabled(true);
    EXPECT_TRUE(currentSession());
}

TEST_F(SessionTrackerTest, ResettingTheServiceStopsItsTracker) {
    auto tracker = RDDIAnalytics::sharedInstance()->sessionTracker();
    ASSERT_TRUE(tracker->isStarted());
    // Starting again neither observes twice nor begins another session.
    const auto observers = pf::NotificationCenter::defaultCenter().observerCount();
    tracker->start();
    EXPECT_EQ(pf::NotificationCenter::defaultCenter().observerCount(), observers);
    EXPECT_EQ(startedSessions().size(), 1u);
    RDDIAnalytics::resetSharedInstance();
    EXPECT_FALSE(tracker->isStarted());
    EXPECT_EQ(currentSession(), std::nullopt);
}

}  // namespace
