#include "telemetry/pipeline/rddi_channel_group_default.hpp"

#include "platform/foundation/clock.hpp"
#include "telemetry/pipeline/channel_test_support.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

namespace pf = platform::foundation;
using rddi::RDDIChannelGroupDefault;
using rddi::RDDIChannelUnitConfiguration;
using rddi::RDDIChannelUnitDefault;
using rddi::testkit::makeLog;
using rddi::testkit::RecordingDelegate;
using rddi::testkit::ScriptedIngestion;
using rddi::testkit::StoredTestLog;

// Adds a companion unit from inside the group's notification, and filters by name.
class CompanionDelegate : public RecordingDelegate {
public:
    void channelGroupDidAddChannelUnit(rddi::RDDIChannelGroupProtocol& group,
                                       const std::shared_ptr<rddi::RDDIChannelUnitProtocol>& unit) override {
        const auto& id = unit->configuration()->groupId();
        if (id.ends_with("/one")) return;
        group.addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration(id + "/one"));
    }
    bool channelUnitShouldFilterLog(rddi::RDDIChannelUnitProtocol&, rddi::RDDIAbstractLog& log) override {
        ++asked;
        const auto* stored = dynamic_cast<const StoredTestLog*>(&log);
        return stored && stored->name.starts_with(filterPrefix);
    }
    std::string filterPrefix = "filtered";
    std::atomic<int> asked = 0;
};

class ChannelGroupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StoredTestLog::registerArchiveClass(); }
    void TearDown() override { settle(); }
    void settle() {
        for (int round = 0; round < 3; ++round) group_->logsDispatchQueue().sync([] {});
    }

    rddi::testkit::TelemetryTestEnvironment env_;
    rddi::testkit::ScopedManualClock clock_;
    std::shared_ptr<RDDIChannelGroupDefault> group_ =
        RDDIChannelGroupDefault::create(rddi::RDDIHttpClient::create(), pf::UUID(), "http://127.0.0.1:9");
    std::shared_ptr<ScriptedIngestion> ingestion_ = std::make_shared<ScriptedIngestion>();
};

TEST_F(ChannelGroupTest, UnitsAreListedInOrderWithCompanionsAddedDuringTheNotification) {
    auto companion = std::make_shared<CompanionDelegate>();
    group_->addDelegate(companion);
    EXPECT_EQ(group_->addChannelUnitWithConfiguration(nullptr), nullptr);

    auto unit = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("G"));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(group_->channelUnitForGroupId("G"), unit);
    ASSERT_NE(group_->channelUnitForGroupId("G/one"), nullptr);
    std::vector<std::string> ids;
    for (const auto& channel : group_->channels()) ids.push_back(channel->configuration()->groupId());
    EXPECT_EQ(ids, (std::vector<std::string>{"G", "G/one"}));
    EXPECT_EQ(group_->channelUnitForGroupId("H"), nullptr);

    // The Dez Idedev ingestion's URL and secret are the group's.
    group_->setLogUrl("http://127.0.0.1:10");
    group_->setAppSecret("secret");
    EXPECT_EQ(group_->logUrl(), "http://127.0.0.1:10");
    EXPECT_EQ(group_->appSecret(), "secret");
}

TEST_F(ChannelGroupTest, GroupDelegatesFilterAndHearEveryUnitsLogs) {
    auto first = std::make_shared<CompanionDelegate>();
    auto second = std::make_shared<CompanionDelegate>();
    second->filterPrefix = "never";
    group_->addDelegate(first);
    group_->addDelegate(second);
    auto unit = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("F"),
                                                        ingestion_);
    settle();
    unit->enqueueItem(makeLog("filtered-1"), 1);
    unit->enqueueItem(makeLog("kept"), 1);
    settle();
    // Only the kept log is stored; both delegates heard both logs completed.
    EXPECT_EQ(group_->storage()->countLogs(), 1u);
    EXPECT_EQ(first->completed, 2);
    EXPECT_EQ(second->completed, 2);
    // The first delegate to filter stops the asking: 2 asks for "kept", 1 or 2 for the
    // filtered log depending on which delegate the set visits first.
    EXPECT_LE(first->asked + second->asked, 4);
    EXPECT_GE(first->asked + second->asked, 3);

    clock_->advanceSeconds(3.5);
    settle();
    ASSERT_EQ(ingestion_->calls().size(), 1u);
    ingestion_->answer(0, 200);
    settle();
    EXPECT_EQ(first->succeeded, 1);
    EXPECT_EQ(group_->storage()->countLogs(), 0u);
}

TEST_F(ChannelGroupTest, PauseLanesAndSwitchesFanOutToTheIngestionAndEveryUnit) {
    auto listener = std::make_shared<RecordingDelegate>();
    group_->addDelegate(listener);
    auto a = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("A"));
    auto b = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("B"));
    auto first = std::make_shared<int>(1);
    auto second = std::make_shared<int>(2);
    group_->pauseWithIdentifyingObject(first);
    group_->pauseWithIdentifyingObject(second);
    EXPECT_FALSE(group_->ingestion()->isEnabled());
    group_->resumeWithIdentifyingObject(first);
    EXPECT_TRUE(group_->ingestion()->isEnabled());
    for (const auto& unit : {a, b})
        EXPECT_TRUE(std::static_pointer_cast<RDDIChannelUnitDefault>(unit)->stateSync().paused);

    group_->setEnabled(false, true);
    settle();
    std::lock_guard lock(listener->mutex);
    // Each unit reports its switch, then the group its own.
    EXPECT_EQ(listener->switches.size(), 3u);
    EXPECT_TRUE(std::static_pointer_cast<RDDIChannelUnitDefault>(a)->stateSync().discardLogs);
}

TEST_F(ChannelGroupTest, MaxStorageSizeIsAppliedOnTheLogsQueue) {
    std::promise<std::pair<bool, bool>> outcome;
    group_->setMaxStorageSize(1024 * 1024, [&](bool applied) {
        outcome.set_value({applied, group_->logsDispatchQueue().isCurrent()});
    });
    auto future = outcome.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto [applied, onQueue] = future.get();
    EXPECT_TRUE(applied);
    EXPECT_TRUE(onQueue);
}

}  // namespace

namespace {

TEST_F(ChannelGroupTest, UnitsAddedFromManyThreadsAreFoundWhileOthersLookThemUpAndSwitchTheGroup) {
    auto companion = std::make_shared<CompanionDelegate>();
    group_->addDelegate(companion);
    constexpr int kThreads = 16;
    constexpr int kUnitsEach = 8;
    std::atomic<bool> adding{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kUnitsEach; ++i) {
                const std::string id = "u" + std::to_string(t) + "-" + std::to_string(i);
                auto unit = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration(id),
                                                                    ingestion_);
                unit->enqueueItem(makeLog(id), 1);
                EXPECT_EQ(group_->channelUnitForGroupId(id), unit);
            }
        });
    }
    // Readers, delegates coming and going, and switches fanned out meanwhile.
    std::thread reader([&] {
        while (adding) {
            for (const auto& channel : group_->channels()) {
                const auto id = channel->configuration()->groupId();
                EXPECT_NE(group_->channelUnitForGroupId(id), nullptr) << id;
            }
        }
    });
    std::thread switcher([&] {
        auto lane = std::make_shared<int>(0);
        for (int i = 0; adding && i < 200; ++i) {
            auto passing = std::make_shared<RecordingDelegate>();
            group_->addDelegate(passing);
            group_->pauseWithIdentifyingObject(lane);
            group_->resumeWithIdentifyingObject(lane);
            group_->removeDelegate(passing);
        }
    });
    for (auto& thread : threads) thread.join();
    adding = false;
    reader.join();
    switcher.join();
    settle();

    EXPECT_EQ(group_->channels().size(), static_cast<std::size_t>(2 * kThreads * kUnitsEach));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kUnitsEach; ++i) {
            const std::string id = "u" + std::to_string(t) + "-" + std::to_string(i);
            ASSERT_NE(group_->channelUnitForGroupId(id + "/one"), nullptr) << id;
            // Not paused: the switches all ended with a resume.
            auto unit = std::static_pointer_cast<RDDIChannelUnitDefault>(group_->channelUnitForGroupId(id));
            EXPECT_FALSE(unit->stateSync().paused) << id;
        }
    }
    EXPECT_EQ(companion->asked.load(), kThreads * kUnitsEach);
}

}  // namespace
