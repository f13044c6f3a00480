#include "telemetry/pipeline/rddi_vud_ezezevuvo_channel_delegate.hpp"

#include "platform/foundation/clock.hpp"
#include "telemetry/pipeline/channel_test_support.hpp"
#include "telemetry/pipeline/rddi_channel_group_default.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_vud_ezezevuvo_ingestion.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

namespace {

namespace pf = platform::foundation;
using rddi::RDDIChannelGroupDefault;
using rddi::RDDIChannelUnitConfiguration;
using rddi::RDDIChannelUnitDefault;
using rddi::RDDICommonSchemaLog;
using rddi::RDDIVudEzezevuvoChannelDelegate;
using rddi::testkit::makeLog;
using rddi::testkit::RecordingDelegate;
using rddi::testkit::StoredTestLog;

std::shared_ptr<RDDICommonSchemaLog> csLog(const std::string& name, const std::string& iKey) {
    auto log = std::make_shared<RDDICommonSchemaLog>();
    log->ver = RDDICommonSchemaLog::kVersion;
    log->name = name;
    log->iKey = iKey;
    return log;
}

// Remembers the Common Schema logs a unit stored, by group id.
class StoredLogs : public RecordingDelegate {
public:
    bool channelUnitShouldFilterLog(rddi::RDDIChannelUnitProtocol&, rddi::RDDIAbstractLog&) override { return false; }
    void channelDidCompleteEnqueueingLog(rddi::RDDIChannelUnitProtocol& unit, const rddi::RDDIAbstractLog& log,
                                         const std::string&) override {
        std::lock_guard lock(mutex);
        completedIn[unit.configuration()->groupId()].push_back(&log);
    }
    std::map<std::string, std::vector<const rddi::RDDIAbstractLog*>> completedIn;
};

class VudEzezevuvoDelegateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        StoredTestLog::registerArchiveClass();
        rddi::RDDIRegisterCommonSchemaArchiveClasses();
    }
    void SetUp() override {
        group_->addDelegate(delegate_);
        group_->setAppSecret("secret");
    }
    void TearDown() override { settle(); }
    void settle() {
        for (int round = 0; round < 3; ++round) group_->logsDispatchQueue().sync([] {});
    }
    std::uint64_t rowsOf(const std::string& groupId) {
        std::uint64_t count = 0;
        group_->logsDispatchQueue().sync([&] {
            group_->storage()->loadLogsWithGroupId(groupId, 1000, std::nullopt, [&](const auto& logs, const auto&) {
                count = logs.size();
            });
        });
        return count;
    }

    rddi::testkit::TelemetryTestEnvironment env_;
    rddi::testkit::ScopedManualClock clock_;
    pf::UUID installId_;
    std::shared_ptr<RDDIChannelGroupDefault> group_ =
        RDDIChannelGroupDefault::create(rddi::RDDIHttpClient::create(), installId_, "http://127.0.0.1:9");
    std::shared_ptr<RDDIVudEzezevuvoChannelDelegate> delegate_ =
        std::make_shared<RDDIVudEzezevuvoChannelDelegate>(rddi::RDDIHttpClient::create(), installId_, std::nullopt);
};

TEST_F(VudEzezevuvoDelegateTest, NamesFollowTheCollectorsRule) {
    const struct {
        std::optional<std::string> name;
        bool valid;
    } cases[] = {
        {std::nullopt, false}, {"", false},          {"abc", false},      {"abcd", true},
        {"a.b.c.d", true},     {"a..bcd", false},    {".abcd", false},    {"abcd.", false},
        {"_abcd", false},      {"ab_cd9", true},     {std::string(100, 'a'), true},
        {std::string(101, 'a'), false},              {"ab-cd", false},    {"a._b", true},
        {"ab_.c", true},       {"ab.c..", false},    {"abc\xC3\xA9", false},
        // Measured before anything else: no name is read beyond the longest allowed.
        {std::string(30'000, 'a'), false},           {std::string(10'000'000, 'a'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RDDIVudEzezevuvoChannelDelegate::validateLogName(c.name), c.valid) << c.name.value_or("<none>").substr(0, 200);
    EXPECT_TRUE(env_.logged(rddi::RDDILogLevelError, "Log validation failed. Name must not be nil or empty."));
    // A refused name is quoted short.
    for (const auto& log : env_.capturedLogs()) EXPECT_LT(log.message.size(), 600u) << log.message.substr(0, 200);
}

TEST_F(VudEzezevuvoDelegateTest, CompanionsTakeTargetedLogsAndMirrorTheirUnit) {
    auto unit = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Analytics", 6));
    auto companion = group_->channelUnitForGroupId("Analytics/one");
    ASSERT_NE(companion, nullptr);
    EXPECT_EQ(companion->configuration()->flushInterval(), 6u);
    EXPECT_EQ(group_->channels().size(), 2u);  // the companion has no companion
    EXPECT_EQ(delegate_->companionForGroupId("Analytics"), companion);

    // A Common Schema log in the source unit is stamped there and again in the companion,
    // filtered in the source and stored once, in the companion.
    unit->enqueueItem(csLog("event.one", "o:key"), 1);
    auto targeted = makeLog("targeted");
    targeted->addTransmissionTargetToken("abc-def");
    unit->enqueueItem(targeted, 1);
    unit->enqueueItem(makeLog("plain"), 1);
    settle();
    EXPECT_EQ(rowsOf("Analytics"), 1u);  // only the plain log
    EXPECT_EQ(rowsOf("Analytics/one"), 1u);  // the targeted log's conversion has no valid name

    // Disable with deletion and pauses reach the companion.
    auto lane = std::make_shared<int>(1);
    unit->pauseWithIdentifyingObject(lane);
    settle();
    EXPECT_TRUE(std::static_pointer_cast<RDDIChannelUnitDefault>(companion)->stateSync().paused);
    unit->resumeWithIdentifyingObject(lane);
    settle();
    EXPECT_FALSE(std::static_pointer_cast<RDDIChannelUnitDefault>(companion)->stateSync().paused);
    unit->setEnabled(false, true);
    settle();
    auto state = std::static_pointer_cast<RDDIChannelUnitDefault>(companion)->stateSync();
    EXPECT_FALSE(state.enabled);
    EXPECT_TRUE(state.discardLogs);
    EXPECT_EQ(rowsOf("Analytics/one"), 0u);
}

TEST_F(VudEzezevuvoDelegateTest, EachKeyCountsItsOwnSequenceFromManyThreadsAndAGroupWipeStartsAnew) {
    auto unit = group_->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Seq/one"));
    std::mutex mutex;
    std::map<std::string, std::vector<std::int64_t>> seqs;
    std::map<std::string, std::set<std::string>> epochs;
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                auto log = csLog("event.name", t % 2 ? "o:odd" : "o:even");
                unit->enqueueItem(log, 1);
                std::lock_guard lock(mutex);
                seqs[*log->iKey].push_back(log->ext->sdkExt->seq);
                epochs[*log->iKey].insert(*log->ext->sdkExt->epoch);
                EXPECT_EQ(log->ext->sdkExt->installId, installId_);
            }
        });
    for (auto& thread : threads) thread.join();
    for (auto& [key, numbers] : seqs) {
        std::sort(numbers.begin(), numbers.end());
        for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<std::int64_t>(i + 1)) << key;
        EXPECT_EQ(epochs[key].size(), 1u);
    }
    EXPECT_NE(*epochs["o:odd"].begin(), *epochs["o:even"].begin());

    group_->setEnabled(false, true);
    group_->setEnabled(true, false);
    auto next = csLog("event.name", "o:odd");
    unit->enqueueItem(next, 1);
    EXPECT_EQ(next->ext->sdkExt->seq, 1);
    EXPECT_NE(*next->ext->sdkExt->epoch, *epochs["o:odd"].begin());
}

}  // namespace
