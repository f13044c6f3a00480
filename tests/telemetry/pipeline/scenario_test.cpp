// The SDK end to end: analytics events through the real channel group, the SQLite log
// store and the HTTP client to the loopback server.
#include "platform/foundation/clock.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/scenario_environment.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

namespace pf = platform::foundation;
using rddi::RDDIAnalytics;
using rddi::RDDIDezIdedev;
using rddi::testkit::ScenarioEnvironment;

// Event ids by name, as the server received them, and the size of every batch.
struct ServerView {
    std::map<std::string, int> eventsByName;
    std::vector<std::size_t> batchSizes;
    int duplicates = 0;
};

ServerView serverView(const rddi::testkit::LoopbackServer& server) {
    ServerView view;
    std::set<std::string> ids;
    for (const auto& request : server.requests()) {
        if (!request.path.starts_with("/logs") || !request.json) continue;
        const auto& logs = (*request.json)["logs"];
        view.batchSizes.push_back(logs.size());
        for (const auto& log : logs) {
            if (log.value("type", "") != "event") continue;
            ++view.eventsByName[log.value("name", "")];
            if (!ids.insert(log.value("id", "")).second) ++view.duplicates;
        }
    }
    return view;
}

class ScenarioTest : public ::testing::Test {
protected:
    void SetUp() override { pf::Clock::setCurrent(clock_); }
    void TearDown() override { pf::Clock::setCurrent(nullptr); }
    void start() { RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()}); }
    void track(int from, int to) {
        for (int i = from; i < to; ++i) RDDIAnalytics::trackEvent("event" + std::to_string(i));
    }
    // Runs the flush timers that are due, until the server saw what it waits for.
    bool advanceUntil(const std::function<bool()>& done) {
        return scenario_.waitUntil([&] {
            clock_->advanceSeconds(1);
            return done();
        });
    }
    int eventsSeen() {
        int total = 0;
        for (const auto& [name, count] : serverView(scenario_.server()).eventsByName) total += count;
        return total;
    }

    std::shared_ptr<pf::ManualClock> clock_ = std::make_shared<pf::ManualClock>();
    ScenarioEnvironment scenario_;
};

TEST_F(ScenarioTest, EventsGoOutInBatchesOfFiftyEachOnceAndLeaveNoRows) {
    start();
    track(0, 120);
    ASSERT_TRUE(advanceUntil([&] { return eventsSeen() >= 120; }));
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 0; }));
    auto view = serverView(scenario_.server());
    EXPECT_EQ(view.duplicates, 0);
    EXPECT_EQ(view.eventsByName.size(), 120u);
    for (auto size : view.batchSizes) EXPECT_LE(size, 50u);
    for (const auto& request : scenario_.server().requests()) {
        if (request.path.starts_with("/logs")) {
            EXPECT_EQ(request.method, "POST");
        }
    }
}

TEST_F(ScenarioTest, OfflineKeepsEverythingStoredAndReconnectingSendsItOnce) {
    scenario_.setOnline(false);
    start();
    track(0, 10);
    for (int i = 0; i < 10; ++i) clock_->advanceSeconds(1);
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") >= 10; }));
    EXPECT_EQ(eventsSeen(), 0);
    scenario_.setOnline(true);
    ASSERT_TRUE(advanceUntil([&] { return eventsSeen() >= 10; }));
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 0; }));
    EXPECT_EQ(serverView(scenario_.server()).duplicates, 0);
}

TEST_F(ScenarioTest, DisablingDeletesWhatIsStoredAndSwitchingTheNetworkHoldsItBack) {
    start();
    RDDIDezIdedev::setNetworkRequestsAllowed(false);
    track(0, 5);
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 5; }));
    EXPECT_EQ(eventsSeen(), 0);
    RDDIDezIdedev::setNetworkRequestsAllowed(true);
    ASSERT_TRUE(advanceUntil([&] { return eventsSeen() >= 5; }));

    track(5, 8);
    RDDIDezIdedev::setEnabled(false);
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount() == 0; }));
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);
    EXPECT_EQ(serverView(scenario_.server()).eventsByName.count("event6"), 0u);
}

}  // namespace
