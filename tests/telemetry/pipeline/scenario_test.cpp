// The SDK end to end: analytics events through the real channel group, the SQLite log
// store and the HTTP client to the loopback server.
#include "platform/foundation/clock.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/log_builders.hpp"
#include "telemetry/support/scenario_environment.hpp"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>
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
    for (const auto& logs : rddi::testkit::postedBatches(server)) {
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
    // Posted logs of one type, in arrival order.
    std::vector<nlohmann::json> logsOfType(const std::string& type) {
        std::vector<nlohmann::json> found;
        for (const auto& logs : rddi::testkit::postedBatches(scenario_.server()))
            for (const auto& log : logs)
                if (log.value("type", "") == type) found.push_back(log);
        return found;
    }
    int logsSeen(const std::string& type) { return static_cast<int>(logsOfType(type).size()); }
    int eventsSeen() {
        int total = 0;
        for (const auto& [name, count] : serverView(scenario_.server()).eventsByName) total += count;
        return total;
    }

    rddi::testkit::ScopedManualClock clock_;
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

TEST_F(ScenarioTest, RetriedAnswersDeliverEachEventOnce) {
    start();
    // The start-service and start-session logs go first, so that the scripted answers meet the events.
    ASSERT_TRUE(advanceUntil([&] { return logsSeen("startSession") >= 1 && logsSeen("startService") >= 1; }));
    scenario_.server().script({{.status = 503}, {.status = 503}, {.status = 429, .headers = {{"x-rd-retry-after-ms", "1500"}}}});
    track(0, 5);
    // Refused batches are retried by the client as they are, so the server sees the same
    // batch four times and the unit stores, loads and deletes it once.
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 5; }));
    ASSERT_TRUE(advanceUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 0; }));
    std::vector<nlohmann::json> batches;
    for (const auto& logs : rddi::testkit::postedBatches(scenario_.server())) {
        for (const auto& log : logs) {
            if (log.value("type", "") == "event") {
                batches.push_back(logs);
                break;
            }
        }
    }
    ASSERT_EQ(batches.size(), 4u);
    for (const auto& batch : batches) EXPECT_EQ(batch, batches.front());
    EXPECT_EQ(serverView(scenario_.server()).eventsByName.size(), 5u);
}

// What the group's delegates hear of failed logs, by the failing unit's group id.
class FailureRecorder : public rddi::RDDIChannelDelegate {
public:
    void channelDidFailSendingLog(rddi::RDDIChannelUnitProtocol& channel, const rddi::RDDIAbstractLog& log,
                                  const std::string& error) override {
        const auto* event = dynamic_cast<const rddi::RDDIEventLog*>(&log);
        std::lock_guard lock(mutex_);
        failures_[channel.configuration()->groupId()].push_back({event && event->name ? *event->name : "", error});
    }
    std::vector<std::pair<std::string, std::string>> failures(const std::string& groupId) {
        std::lock_guard lock(mutex_);
        return failures_[groupId];
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> failures_;
};

bool batchHasEvent(const rddi::testkit::RecordedRequest& request, const std::string& prefix) {
    if (!request.path.starts_with("/logs") || !request.json) return false;
    for (const auto& log : (*request.json)["logs"])
        if (log.value("name", "").starts_with(prefix)) return true;
    return false;
}

TEST_F(ScenarioTest, AHardRefusalDisablesOnlyItsUnitWhileTheOthersKeepSending) {
    start();
    ASSERT_TRUE(advanceUntil([&] { return scenario_.server().requestCount() >= 1; }));  // the start-service log
    auto recorder = std::make_shared<FailureRecorder>();
    RDDIDezIdedev::sharedInstance()->channelGroup()->addDelegate(recorder);
    // Critical batches wait at a gate; the first plain batch waits at another, then is refused.
    scenario_.server().setResponder([](const rddi::testkit::RecordedRequest& request)
                                        -> std::optional<rddi::testkit::ScriptedAnswer> {
        if (batchHasEvent(request, "critical")) return rddi::testkit::ScriptedAnswer{.gate = "critical"};
        if (batchHasEvent(request, "plain")) return rddi::testkit::ScriptedAnswer{.status = 400, .gate = "plain"};
        return std::nullopt;
    });
    for (int i = 0; i < 3; ++i) RDDIAnalytics::trackEvent("critical" + std::to_string(i), std::nullopt, rddi::RDDIFlagsCritical);
    ASSERT_TRUE(advanceUntil([&] { return scenario_.server().heldCount() == 1; }));
    // A full batch leaves at once; ten more stay stored behind it.
    for (int i = 0; i < 60; ++i) RDDIAnalytics::trackEvent("plain" + std::to_string(i));
    ASSERT_TRUE(scenario_.waitUntil([&] {
        return scenario_.server().heldCount() == 2 && ScenarioEnvironment::rowCount("Analytics") == 60;
    }));
    scenario_.server().openGate("plain");
    ASSERT_TRUE(scenario_.waitUntil([&] {
        return ScenarioEnvironment::rowCount("Analytics") == 0 && recorder->failures("Analytics").size() == 60;
    }));
    // The refused batch's logs fail with the answer; the stored rest as dropped, code 100.
    int dropped = 0;
    for (const auto& [name, error] : recorder->failures("Analytics")) {
        EXPECT_TRUE(name.starts_with("plain")) << name;
        if (error.find("Code=100 \"Canceled, connection paused with log deletion.\"") != std::string::npos) ++dropped;
    }
    EXPECT_EQ(dropped, 10);

    // The critical unit and the core unit keep sending while the first critical batch is in flight.
    RDDIAnalytics::trackEvent("critical.after", std::nullopt, rddi::RDDIFlagsCritical);
    RDDIAnalytics::trackEvent("plain.after");
    auto core = RDDIDezIdedev::sharedInstance()->channelGroup()->channelUnitForGroupId(RDDIDezIdedev::groupId());
    ASSERT_NE(core, nullptr);
    core->enqueueItem(rddi::testkit::eventLog("core.after", pf::UUID().uuidString()), rddi::RDDIFlagsNormal);
    ASSERT_TRUE(advanceUntil([&] {
        const auto view = serverView(scenario_.server());
        return view.eventsByName.count("core.after") && scenario_.server().heldCount() == 2;
    }));
    scenario_.server().openGate("critical");
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount() == 0; }));
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);

    const auto view = serverView(scenario_.server());
    EXPECT_EQ(view.duplicates, 0);  // the in-flight critical batch went once
    for (int i = 0; i < 3; ++i) EXPECT_EQ(view.eventsByName.count("critical" + std::to_string(i)), 1u);
    EXPECT_EQ(view.eventsByName.count("critical.after"), 1u);
    EXPECT_EQ(view.eventsByName.count("plain.after"), 0u);
    EXPECT_EQ(view.eventsByName.count("plain55"), 0u);
    EXPECT_TRUE(recorder->failures("Analytics_critical").empty());
    EXPECT_TRUE(recorder->failures(RDDIDezIdedev::groupId()).empty());
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
    // The five events and the start-session log.
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 6; }));
    EXPECT_EQ(eventsSeen(), 0);
    RDDIDezIdedev::setNetworkRequestsAllowed(true);
    ASSERT_TRUE(advanceUntil([&] { return eventsSeen() >= 5; }));

    track(5, 8);
    RDDIDezIdedev::setEnabled(false);
    ASSERT_TRUE(scenario_.waitUntil([] { return ScenarioEnvironment::rowCount() == 0; }));
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);
    EXPECT_EQ(serverView(scenario_.server()).eventsByName.count("event6"), 0u);
}

TEST_F(ScenarioTest, AStartWhileDisabledQueuesItsStartServiceLogUntilEnabled) {
    RDDIDezIdedev::configureWithAppSecret("secret");
    RDDIDezIdedev::setEnabled(false);
    RDDIDezIdedev::startService(RDDIAnalytics::serviceClass());
    RDDIAnalytics::trackEvent("while.disabled");
    for (int i = 0; i < 5; ++i) clock_->advanceSeconds(1);
    auto core = RDDIDezIdedev::sharedInstance()->channelGroup()->channelUnitForGroupId(RDDIDezIdedev::groupId());
    ASSERT_NE(core, nullptr);
    static_cast<rddi::RDDIChannelUnitDefault&>(*core).stateSync();  // the queue ran what was queued
    EXPECT_TRUE(logsOfType("startService").empty());
    EXPECT_EQ(ScenarioEnvironment::rowCount(), 0);

    RDDIDezIdedev::setEnabled(true);
    ASSERT_TRUE(advanceUntil([&] { return !logsOfType("startService").empty(); }));
    // The start-session log of the service enabled with it leaves by its own unit's flush
    // timer, which may come due after the start-service log went out.
    ASSERT_TRUE(advanceUntil([] { return ScenarioEnvironment::rowCount() == 0; }));
    const auto logs = logsOfType("startService");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["services"], nlohmann::json::array({"Analytics"}));
    EXPECT_EQ(serverView(scenario_.server()).eventsByName.count("while.disabled"), 0u);
}

TEST_F(ScenarioTest, TargetedEventsReachTheCollectorThroughTheCompanionWithRisingSequenceNumbers) {
    start();
    auto group = RDDIDezIdedev::sharedInstance()->channelGroup();
    ASSERT_NE(group, nullptr);
    auto unit = group->channelUnitForGroupId("Analytics");
    ASSERT_NE(unit, nullptr);
    ASSERT_NE(group->channelUnitForGroupId("Analytics/one"), nullptr);
    const std::string token = "0123456789abcdef0123456789abcdef-01234567-89ab-cdef-0123-456789abcdef-0123";
    for (int i = 0; i < 2; ++i) {
        auto event = rddi::testkit::eventLog("targeted.event" + std::to_string(i), pf::UUID().uuidString());
        event->addTransmissionTargetToken(token);
        unit->enqueueItem(event, 1);
    }
    std::vector<nlohmann::json> lines;
    ASSERT_TRUE(advanceUntil([&] {
        lines.clear();
        for (const auto& request : scenario_.server().requests())
            if (request.path.starts_with("/VudEzezevuvo/1.0"))
                lines.insert(lines.end(), request.jsonLines.begin(), request.jsonLines.end());
        return lines.size() >= 2;
    }));
    ASSERT_EQ(lines.size(), 2u);
    const std::string installId = RDDIDezIdedev::installId().uuidString();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& sdk = lines[i]["ext"]["sdk"];
        EXPECT_EQ(sdk.value("seq", 0), static_cast<int>(i + 1));
        EXPECT_EQ(sdk.value("installId", ""), installId);
        EXPECT_EQ(sdk.value("epoch", ""), lines[0]["ext"]["sdk"].value("epoch", "?"));
    }
    // No rows are left, and nothing of them went to the Dez Idedev endpoint. The plain unit's
    // start-session log leaves by its own flush timer, which need not be due yet.
    ASSERT_TRUE(advanceUntil([] {
        return ScenarioEnvironment::rowCount("Analytics/one") == 0 && ScenarioEnvironment::rowCount("Analytics") == 0;
    }));
    EXPECT_EQ(logsSeen("startSession"), 1);
    for (const auto& [name, count] : serverView(scenario_.server()).eventsByName) EXPECT_FALSE(name.starts_with("targeted"));
}

constexpr const char* kChildVariable = "GW_SCENARIO_CHILD";

// Runs only as the child of a restart scenario: a launch of the SDK whose server refuses
// connections, leaving its events stored in the scratch home it inherited.
TEST(ScenarioChildProcess, StoreEventsWhileTheServerRefuses) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs as a child process only";
    rddi::testkit::TelemetryTestEnvironment::resetSdk();
    rddi::RDDIDependencyConfiguration::setChannelGroupFactory({});
    rddi::RDDIDependencyConfiguration::setHttpClient(rddi::RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); })));
    RDDIDezIdedev::setLogUrl("http://127.0.0.1:1");
    RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()});
    for (int i = 0; i < 10; ++i) RDDIAnalytics::trackEvent("stored" + std::to_string(i));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The ten events and the start-session log.
    while (ScenarioEnvironment::rowCount("Analytics") < 11 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(ScenarioEnvironment::rowCount("Analytics"), 11);
}

TEST_F(ScenarioTest, LogsLeftByAnEarlierProcessWhoseServerRefusedThemLeaveAtTheNextStart) {
    ASSERT_EQ(rddi::testkit::runChildCase("ScenarioChildProcess.StoreEventsWhileTheServerRefuses", kChildVariable).status,
              0);
    ASSERT_EQ(ScenarioEnvironment::rowCount("Analytics"), 11);

    // A refused connection leaves the logs for the next launch, which sends them once.
    RDDIDezIdedev::start("secret", {RDDIAnalytics::serviceClass()});
    ASSERT_TRUE(advanceUntil([&] { return eventsSeen() >= 10; }));
    // This launch's start-session log may miss the batch of the stored logs and wait for
    // the next flush.
    ASSERT_TRUE(advanceUntil([] { return ScenarioEnvironment::rowCount("Analytics") == 0; }));
    const auto view = serverView(scenario_.server());
    EXPECT_EQ(view.duplicates, 0);
    EXPECT_EQ(view.eventsByName.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(view.eventsByName.count("stored" + std::to_string(i)), 1u) << i;
}

}  // namespace
