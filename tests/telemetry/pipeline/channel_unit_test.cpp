#include "telemetry/pipeline/rddi_channel_unit_default.hpp"

#include "platform/foundation/clock.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/pipeline/rddi_log_db_storage.hpp"
#include "telemetry/pipeline/channel_test_support.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

namespace pf = platform::foundation;
using platform::dispatch::DispatchQueue;
using rddi::RDDIAbstractLog;
using rddi::RDDIChannelUnitConfiguration;
using rddi::RDDIChannelUnitDefault;
using rddi::testkit::nameOf;
using rddi::testkit::StoredTestLog;
using rddi::testkit::makeLog;
using rddi::testkit::RecordingDelegate;
using rddi::testkit::ScriptedIngestion;

class ChannelUnitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StoredTestLog::registerArchiveClass(); }
    void TearDown() override { queue_.sync([] {}); }

    std::shared_ptr<RDDIChannelUnitDefault> makeUnit(std::shared_ptr<const RDDIChannelUnitConfiguration> config) {
        auto unit = std::make_shared<RDDIChannelUnitDefault>(ingestion_, storage_, std::move(config), queue_);
        unit->addDelegate(delegate_);
        return unit;
    }
    void enqueue(RDDIChannelUnitDefault& unit, int from, int to, rddi::RDDIFlags flags = 1) {
        for (int i = from; i < to; ++i) unit.enqueueItem(makeLog("log" + std::to_string(i)), flags);
        settle();
    }
    // Work queued by queued work (a fatal answer queues the disable) is in before the
    // next round starts.
    void settle() {
        for (int round = 0; round < 3; ++round) queue_.sync([] {});
    }
    // Queued work first, so timers it starts count from before the step.
    void advance(double seconds) {
        settle();
        clock_->advanceSeconds(seconds);
        settle();
    }
    std::vector<std::string> namesOf(std::size_t call) const {
        std::vector<std::string> names;
        for (const auto& log : ingestion_->calls().at(call).container->logs) names.push_back(nameOf(log));
        return names;
    }

    rddi::testkit::TelemetryTestEnvironment env_;
    rddi::testkit::ScopedManualClock clock_;
    DispatchQueue queue_{"com.ridevedod.dezidedev.ChannelGroupQueue"};
    std::shared_ptr<rddi::RDDILogDBStorage> storage_ = std::make_shared<rddi::RDDILogDBStorage>();
    std::shared_ptr<ScriptedIngestion> ingestion_ = std::make_shared<ScriptedIngestion>();
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(ChannelUnitTest, DefaultIntervalSendsAFullBatchAtOnceAndAPartialOneThreeSecondsAfterTheLastLog) {
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("group"));
    enqueue(*unit, 0, 49);
    advance(2.9);
    enqueue(*unit, 49, 50);  // the 50th fills the batch
    ASSERT_EQ(ingestion_->calls().size(), 1u);
    EXPECT_EQ(namesOf(0).size(), 50u);
    EXPECT_EQ(namesOf(0).front(), "log0");

    enqueue(*unit, 50, 98);
    advance(2.0);
    enqueue(*unit, 98, 99);  // restarts the timer: 3 s from this log
    advance(2.9);
    EXPECT_EQ(ingestion_->calls().size(), 1u);
    advance(0.2);
    ASSERT_EQ(ingestion_->calls().size(), 2u);
    EXPECT_EQ(namesOf(1).size(), 49u);

    ingestion_->answer(0, 200);
    ingestion_->answer(1, 204);
    settle();
    EXPECT_EQ(storage_->countLogs(), 0u);
    EXPECT_EQ(delegate_->succeeded, 99);
    EXPECT_EQ(delegate_->completed, 99);
    EXPECT_EQ(delegate_->willSend, 99);
    EXPECT_FALSE(unit->stateSync().timerArmed);
}

TEST_F(ChannelUnitTest, ALogTheStoreCannotKeepIsReportedAsFailedAndTheOthersAreKept) {
    // A log whose archive could never be read back (text holding a NUL, which no setter
    // lets through any more) or larger than the whole store is refused by the store: its
    // delegates hear that it failed, where it used to vanish without a word.
    storage_->setMaxStorageSize(64 * 1024, nullptr);
    const struct {
        const char* name;
        std::string payload;
    } cases[] = {{"holds a NUL", std::string("a\0b", 3)}, {"larger than the store", std::string(100 * 1024, 'p')}};
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("group"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delegate_->failures.clear();
        delegate_->willSend = 0;
        const std::uint64_t stored = storage_->countLogs();
        auto refused = std::make_shared<StoredTestLog>(c.name, c.payload);
        refused->type = "storedTest";
        unit->enqueueItem(makeLog("before"), 1);
        unit->enqueueItem(refused, 1);
        unit->enqueueItem(makeLog("after"), 1);
        settle();
        ASSERT_EQ(delegate_->failures.size(), 1u);
        EXPECT_EQ(delegate_->failures[0].first, c.name);
        EXPECT_NE(delegate_->failures[0].second.find("Code=103"), std::string::npos) << delegate_->failures[0].second;
        EXPECT_EQ(delegate_->willSend, 1);
        EXPECT_EQ(storage_->countLogs(), stored + 2);
    }
}

// A store another process holds: it takes no log while `holding`, as the log store does
// while that process holds its lock and the file cannot be reached without it.
class HeldStorage final : public rddi::RDDILogDBStorage {
public:
    std::vector<SaveOutcome> saveLogs(const std::vector<LogToSave>& logs, const std::string& groupId) override {
        if (holding) return std::vector<SaveOutcome>(logs.size(), SaveOutcome::heldBack);
        return RDDILogDBStorage::saveLogs(logs, groupId);
    }
    std::atomic<bool> holding{true};
};

TEST_F(ChannelUnitTest, LogsTheStoreHoldsBackWaitInMemoryBoundedAndAreStoredOnceItCanBeReached) {
    // Before, the logs queue waited for the store without end, and the logs piled up in
    // memory for as long: none was reported, and at exit all were gone.
    auto held = std::make_shared<HeldStorage>();
    storage_ = held;
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("group"));
    const int bound = static_cast<int>(RDDIChannelUnitDefault::kMaxHeldLogs);
    enqueue(*unit, 0, bound + 20);
    advance(1.0);  // tried again, and held back again
    // The newest beyond the bound are reported as failed, as logs the store cannot write.
    ASSERT_EQ(delegate_->failures.size(), 20u);
    std::set<std::string> failed;
    for (const auto& [name, error] : delegate_->failures) {
        failed.insert(name);
        EXPECT_NE(error.find("Code=101"), std::string::npos) << error;
    }
    EXPECT_TRUE(failed.contains("log" + std::to_string(bound)) && failed.contains("log" + std::to_string(bound + 19)));
    EXPECT_EQ(delegate_->completed, 20);
    EXPECT_EQ(held->countLogs(), 0u);

    held->holding = false;
    advance(RDDIChannelUnitDefault::kHeldRetryInterval.count() / 1000.0);
    EXPECT_EQ(delegate_->completed, bound + 20);
    EXPECT_EQ(delegate_->failures.size(), 20u);
    ASSERT_FALSE(ingestion_->calls().empty());
    EXPECT_EQ(namesOf(0).front(), "log0") << "the logs that waited longest go first";
}

TEST_F(ChannelUnitTest, LongIntervalCountsFromTheFirstLogOfThePeriodAcrossUnits) {
    auto config = RDDIChannelUnitConfiguration::defaultConfiguration("slow", 60);
    auto unit = makeUnit(config);
    enqueue(*unit, 0, 1);
    advance(20);
    enqueue(*unit, 1, 2);  // the timer now has 40 s left
    advance(39);
    EXPECT_TRUE(ingestion_->calls().empty());
    advance(1.5);
    ASSERT_EQ(ingestion_->calls().size(), 1u);
    EXPECT_EQ(namesOf(0), (std::vector<std::string>{"log0", "log1"}));

    // A period start left by an earlier run that is over: the next stored log flushes at once.
    ingestion_->answer(0, 200);
    rddi::RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(pf::Date::now().addingTimeInterval(-100)),
                                                         unit->oldestPendingLogTimestampKey());
    auto restarted = makeUnit(config);
    enqueue(*restarted, 2, 3);
    ASSERT_EQ(ingestion_->calls().size(), 2u);
    EXPECT_EQ(namesOf(1), (std::vector<std::string>{"log2"}));
}

TEST_F(ChannelUnitTest, PendingLimitHoldsBatchesBackAndOnlyASuccessRestartsFlushing) {
    auto unit = makeUnit(std::make_shared<RDDIChannelUnitConfiguration>("limited", 1, 3, 2, 3));
    enqueue(*unit, 0, 10);
    // Three batches of two are in flight; the rest waits.
    ASSERT_EQ(ingestion_->calls().size(), 3u);
    EXPECT_TRUE(unit->stateSync().pendingBatchQueueFull);

    ingestion_->answer(1, 503);  // frees a slot without restarting
    settle();
    EXPECT_EQ(ingestion_->calls().size(), 3u);
    EXPECT_EQ(storage_->countLogs(), 10u);  // the failed batch stays stored

    enqueue(*unit, 10, 12);  // fills again
    ASSERT_EQ(ingestion_->calls().size(), 4u);
    ingestion_->answer(0, 200);  // a success with logs waiting: flushing goes on
    settle();
    EXPECT_EQ(ingestion_->calls().size(), 5u);
    EXPECT_EQ(storage_->countLogs(), 10u);

    // The recoverably failed batch is not loaded again in this process.
    std::set<std::string> sent;
    for (std::size_t i = 0; i < ingestion_->calls().size(); ++i)
        for (const auto& name : namesOf(i)) EXPECT_TRUE(sent.insert(name).second) << name;
}

TEST_F(ChannelUnitTest, FatalAnswerDisablesWithDeletionAndALateAnswerIsIgnored) {
    auto unit = makeUnit(std::make_shared<RDDIChannelUnitConfiguration>("fatal", 1, 3, 2, 2));
    enqueue(*unit, 0, 7);
    ASSERT_EQ(ingestion_->calls().size(), 2u);  // log0..log3 in flight, log4..log6 waiting

    ingestion_->answer(0, 400);
    settle();
    EXPECT_EQ(storage_->countLogs(), 0u);
    auto state = unit->stateSync();
    EXPECT_FALSE(state.enabled);
    EXPECT_TRUE(state.discardLogs);
    EXPECT_TRUE(state.pendingBatchIds.empty());
    {
        std::lock_guard lock(delegate_->mutex);
        // The failed batch once with the call's error, then each waiting log with code 100;
        // the other in-flight batch is deleted without notice.
        std::map<std::string, std::string> failures(delegate_->failures.begin(), delegate_->failures.end());
        EXPECT_EQ(delegate_->failures.size(), 5u);
        for (const char* name : {"log4", "log5", "log6"})
            EXPECT_NE(failures[name].find("Code=100"), std::string::npos) << name;
        EXPECT_EQ(delegate_->switches, (std::vector<std::pair<bool, bool>>{{false, true}}));
    }

    ingestion_->answer(1, 200);
    settle();
    EXPECT_EQ(delegate_->succeeded, 0);
    EXPECT_TRUE(env_.logged(rddi::RDDILogLevelWarning,
                            "Batch Id " + *ingestion_->calls()[1].container->batchId + " not expected, ignore."));

    // Discarding: new logs are reported failed and never stored, until switched on again.
    enqueue(*unit, 7, 8);
    EXPECT_EQ(storage_->countLogs(), 0u);
    EXPECT_EQ(delegate_->completed, 8);
    unit->setEnabled(true, false);
    enqueue(*unit, 8, 9);
    EXPECT_EQ(storage_->countLogs(), 1u);
    advance(3.1);
    EXPECT_EQ(ingestion_->calls().size(), 3u);
}

TEST_F(ChannelUnitTest, PauseLanesTargetsAndReadiness) {
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("paused"));
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    unit->pauseWithIdentifyingObject(a);
    unit->pauseWithIdentifyingObject(b);
    enqueue(*unit, 0, 3);
    advance(10);
    EXPECT_TRUE(ingestion_->calls().empty());
    unit->resumeWithIdentifyingObject(a);
    advance(10);
    EXPECT_TRUE(ingestion_->calls().empty());
    EXPECT_TRUE(unit->stateSync().paused);
    b.reset();  // a party that is gone leaves no lane behind
    unit->resumeWithIdentifyingObject(a);
    advance(3.1);
    ASSERT_EQ(ingestion_->calls().size(), 1u);
    EXPECT_EQ(namesOf(0).size(), 3u);

    // Without an app secret nothing is stored, yet the delegates hear the log completed.
    ingestion_->ready_ = false;
    const int before = delegate_->completed;
    enqueue(*unit, 3, 4);
    EXPECT_EQ(delegate_->completed, before + 1);
    EXPECT_EQ(storage_->countLogs(), 3u);
}

TEST_F(ChannelUnitTest, AUnitThatIsGoneIgnoresItsTimerAndItsAnswers) {
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("gone"));
    enqueue(*unit, 0, 50);
    enqueue(*unit, 50, 51);
    ASSERT_EQ(ingestion_->calls().size(), 1u);
    std::weak_ptr<RDDIChannelUnitDefault> weak = unit;
    unit.reset();
    // The queue's worker may still be dropping the last block that held the unit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(weak.expired());
    advance(5);
    ingestion_->answer(0, 200);
    settle();
    EXPECT_EQ(ingestion_->calls().size(), 1u);
    EXPECT_EQ(delegate_->succeeded, 0);
}

TEST_F(ChannelUnitTest, LogsStoredTogetherStillMeetSwitchesAndBatchesInTheOrderTheyWereEnqueued) {
    // Logs wait to be stored in groups; a switch called between two enqueues must still
    // find the first log stored and the second not yet.
    auto unit = makeUnit(RDDIChannelUnitConfiguration::defaultConfiguration("ordered"));
    for (int i = 0; i < 3; ++i) unit->enqueueItem(makeLog("before" + std::to_string(i)), 1);
    unit->setEnabled(false, true);  // deletes what is stored, then discards
    unit->enqueueItem(makeLog("while-discarding"), 1);
    unit->setEnabled(true, false);
    // 120 in a burst: full batches leave as they fill, the last 20 wait for the timer.
    for (int i = 0; i < 120; ++i) unit->enqueueItem(makeLog("after" + std::to_string(i)), 1);
    settle();
    {
        std::lock_guard lock(delegate_->mutex);
        std::vector<std::string> failed;
        for (const auto& [name, error] : delegate_->failures) {
            failed.push_back(name);
            EXPECT_NE(error.find("Code=100"), std::string::npos) << name;
        }
        std::sort(failed.begin(), failed.end());
        EXPECT_EQ(failed, (std::vector<std::string>{"before0", "before1", "before2", "while-discarding"}));
    }
    EXPECT_EQ(delegate_->completed, 124);
    ASSERT_EQ(ingestion_->calls().size(), 2u);
    EXPECT_EQ(namesOf(0).front(), "after0");
    EXPECT_EQ(namesOf(1).front(), "after50");
    EXPECT_EQ(namesOf(1).size(), 50u);
    EXPECT_EQ(storage_->countLogs(), 120u);
    advance(3.1);
    ASSERT_EQ(ingestion_->calls().size(), 3u);
    EXPECT_EQ(namesOf(2).size(), 20u);
}

TEST_F(ChannelUnitTest, ManyThreadsEnqueueingWhileTheUnitIsSwitchedOffLoseNothing) {
    auto unit = makeUnit(std::make_shared<RDDIChannelUnitConfiguration>("busy", 1, 3, 1000, 3));
    std::vector<std::thread> threads;
    for (int t = 0; t < 64; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) unit->enqueueItem(makeLog("t" + std::to_string(t) + "-" + std::to_string(i)), 1);
        });
    std::thread switcher([&] { unit->setEnabled(false, true); });
    for (auto& thread : threads) thread.join();
    switcher.join();
    settle();
    // Every log was either stored (and is still there, after the switch) or stored and
    // then deleted, or discarded: each was reported exactly once either way.
    std::lock_guard lock(delegate_->mutex);
    EXPECT_EQ(delegate_->completed, 320);
    EXPECT_EQ(storage_->countLogs() + delegate_->failures.size(), 320u);
    std::set<std::string> failed;
    for (const auto& [name, error] : delegate_->failures) EXPECT_TRUE(failed.insert(name).second) << name;
}

}  // namespace
