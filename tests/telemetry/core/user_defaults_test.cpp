#include "platform/foundation/user_defaults.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

class PrefixedSettingsTest : public ::testing::Test {
protected:
    testkit::TelemetryTestEnvironment env_;
    std::shared_ptr<RDDIDezIdedevUserDefaults> store_ = RDDIDezIdedevUserDefaults::shared();
    pf::UserDefaults& raw_ = pf::UserDefaults::standard();
};

TEST_F(PrefixedSettingsTest, KeysAreStoredUnderThePrefix) {
    store_->setObject(pf::Value("X"), "InstallId");
    EXPECT_EQ(raw_.objectForKey("RDDezIdedevInstallId"), pf::Value("X"));
    EXPECT_TRUE(raw_.objectForKey("InstallId").isNull());
    EXPECT_EQ(store_->objectForKey("InstallId"), pf::Value("X"));
    store_->removeObjectForKey("InstallId");
    EXPECT_TRUE(raw_.objectForKey("RDDezIdedevInstallId").isNull());
}

TEST_F(PrefixedSettingsTest, MigrationMovesPlainAndPrefixedKeysOncePerService) {
    raw_.setObject(pf::Value("old-id"), "RDInstallId");
    raw_.setObject(pf::Value(1), "RDChannelStartTimerA");
    raw_.setObject(pf::Value(2), "RDChannelStartTimerB");
    const RDDIUserDefaultsMigrationTable table{
        {"RDDezIdedevChannelStartTimer", RDDIUserDefaultsPrefixKey{"RDChannelStartTimer"}},
        {"RDDezIdedevInstallId", std::string("RDInstallId")},
        {"RDDezIdedevPastDevices", std::string("pastDevicesKey")},
    };
    store_->migrateKeys(table, "Svc");

    EXPECT_EQ(raw_.objectForKey("RDDezIdedevInstallId"), pf::Value("old-id"));
    EXPECT_EQ(raw_.objectForKey("RDDezIdedevChannelStartTimerA"), pf::Value(1));
    EXPECT_EQ(raw_.objectForKey("RDDezIdedevChannelStartTimerB"), pf::Value(2));
    EXPECT_TRUE(raw_.objectForKey("RDInstallId").isNull());
    EXPECT_TRUE(raw_.objectForKey("RDChannelStartTimerA").isNull());
    EXPECT_TRUE(raw_.objectForKey("RDDezIdedevPastDevices").isNull());
    EXPECT_EQ(raw_.objectForKey("RDDezIdedev310SvcUserDefaultsMigratedKey"), pf::Value(true));

    // Marked as done: old keys that reappear stay where they are, for this service only.
    raw_.setObject(pf::Value("again"), "RDInstallId");
    store_->migrateKeys(table, "Svc");
    EXPECT_EQ(raw_.objectForKey("RDInstallId"), pf::Value("again"));
    store_->migrateKeys(table, "Other");
    EXPECT_EQ(raw_.objectForKey("RDDezIdedevInstallId"), pf::Value("again"));
}

// The migration trail: one line per moved key, nothing for an old key without a value,
// and nothing at all once the service is marked as migrated.
TEST_F(PrefixedSettingsTest, MigrationLogsOnlyTheKeysItMoves) {
    raw_.setObject(pf::Value("old-id"), "RDInstallId");
    const RDDIUserDefaultsMigrationTable table{
        {"RDDezIdedevInstallId", std::string("RDInstallId")},
        {"RDDezIdedevPastDevices", std::string("pastDevicesKey")},
    };
    store_->migrateKeys(table, "Svc");

    std::vector<std::string> verbose;
    for (const auto& entry : env_.capturedLogs()) {
        EXPECT_EQ(entry.level, RDDILogLevelVerbose) << entry.message;
        EXPECT_EQ(entry.tag, "DezIdedev") << entry.message;
        verbose.push_back(entry.message);
    }
    EXPECT_EQ(verbose, (std::vector<std::string>{"Migrating the old NSDefaults keys to new ones.",
                                                 "Migrating key RDInstallId -> RDDezIdedevInstallId"}));
    // The absent key was tried once and is never tried again.
    EXPECT_EQ(raw_.objectForKey("RDDezIdedev310SvcUserDefaultsMigratedKey"), pf::Value(true));

    env_.clearLogs();
    raw_.setObject(pf::Value("late"), "pastDevicesKey");
    store_->migrateKeys(table, "Svc");
    EXPECT_TRUE(env_.capturedLogs().empty());
    EXPECT_EQ(raw_.objectForKey("pastDevicesKey"), pf::Value("late"));
}

}  // namespace
