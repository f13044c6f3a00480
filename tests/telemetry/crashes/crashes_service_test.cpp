// The service enables the real crash reporter, whose capture stays installed in this
// process: these tests run in a binary of their own.
#include "crashreporter/crash_reporter.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using namespace rddi;
namespace fs = std::filesystem;

class CrashesServiceTest : public ::testing::Test {
protected:
    CrashesServiceTest() {
        RDDICrashes::resetSharedInstance();
        RDDICrashesUtil::resetDirectory();
        lvcrash::lvcrash_reporter_reset_for_tests();
    }
    ~CrashesServiceTest() override {
        RDDICrashes::resetSharedInstance();
        lvcrash::lvcrash_reporter_reset_for_tests();
    }
    void start() { RDDIDezIdedev::start("secret", {RDDICrashes::serviceClass()}); }
    bool logged(RDDILogLevel level, const std::string& message) const { return env_.logged(level, message); }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(CrashesServiceTest, StartByTheEntryPointConfiguresTheUnitTheReporterAndTheDelegate) {
    start();
    auto crashes = RDDICrashes::sharedInstance();
    ASSERT_TRUE(crashes->isStarted());
    EXPECT_EQ(crashes->initializationPriority(), 999);

    auto unit = env_.channelGroup()->unit("Crashes");
    ASSERT_TRUE(unit);
    const auto& config = *unit->configuration();
    EXPECT_EQ(config.priority(), 2);
    EXPECT_EQ(config.flushInterval(), 1u);
    EXPECT_EQ(config.batchSizeLimit(), 1u);
    EXPECT_EQ(config.pendingBatchesLimit(), 3u);
    const auto delegates = env_.channelGroup()->delegates();
    EXPECT_NE(std::find(delegates.begin(), delegates.end(), std::static_pointer_cast<RDDIChannelDelegate>(crashes)),
              delegates.end());

    // Mach mode, no symbolication, enabled with the crash-time buffer writer.
    auto* reporter = crashes->lvCrashReporter();
    ASSERT_NE(reporter, nullptr);
    EXPECT_EQ(reporter->config().signalHandlerType(), 1u);
    EXPECT_EQ(reporter->config().symbolicationStrategy(), 0u);
    EXPECT_TRUE(reporter->config().shouldRegisterUncaughtExceptionHandler());
    EXPECT_TRUE(reporter->enabled());
    EXPECT_TRUE(crashes->hasMemoryPressureSource());
    EXPECT_TRUE(logged(RDDILogLevelInfo, "Crashes service has been enabled."));
    EXPECT_TRUE(logged(RDDILogLevelVerbose, "Started crash service."));
    EXPECT_FALSE(RDDICrashes::hasCrashedInLastSession());
    EXPECT_EQ(crashes->analyzerInProgressFilePathComponent(), "crashes/RDCrashes.analyzer");
}

TEST_F(CrashesServiceTest, DisablingCleansUpAndReEnablingKeepsTheReporter) {
    start();
    auto crashes = RDDICrashes::sharedInstance();
    auto* reporter = crashes->lvCrashReporter();
    ASSERT_NE(reporter, nullptr);

    // What a run leaves behind: a stored report, the marker, a memory warning.
    crashes->createAnalyzerFile();
    const fs::path sdk = RDDIUtility::dezIdedevDirectoryURL();
    const fs::path marker = sdk / "crashes" / "RDCrashes.analyzer";
    ASSERT_TRUE(fs::exists(marker));
    std::ofstream(sdk / "crashes" / "0001.crash") << "report";
    crashes->didReceiveMemoryWarning();
    ASSERT_FALSE(RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIAppDidReceiveMemoryWarningKey).isNull());

    crashes->setEnabled(false);
    EXPECT_FALSE(crashes->hasMemoryPressureSource());
    EXPECT_FALSE(fs::exists(sdk / "crashes"));
    EXPECT_TRUE(crashes->crashFiles().empty());
    EXPECT_TRUE(RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIAppDidReceiveMemoryWarningKey).isNull());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_TRUE(logged(RDDILogLevelInfo, "Crashes service has been disabled."));

    env_.clearLogs();
    crashes->setEnabled(true);
    EXPECT_EQ(crashes->lvCrashReporter(), reporter);
    EXPECT_TRUE(logged(RDDILogLevelDebug, "Already configured LVCrashReporter."));
    EXPECT_TRUE(crashes->hasMemoryPressureSource());
    EXPECT_TRUE(logged(RDDILogLevelInfo, "Crashes service has been enabled."));
}

TEST_F(CrashesServiceTest, AMemoryWarningIsReportedByTheNextRunOnceAndItsKeyRemoved) {
    RDDIDezIdedevUserDefaults::shared()->setObject(platform::foundation::Value(true),
                                                   kRDDIAppDidReceiveMemoryWarningKey);
    start();
    EXPECT_TRUE(RDDICrashes::hasReceivedMemoryWarningInLastSession());
    EXPECT_TRUE(RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIAppDidReceiveMemoryWarningKey).isNull());
    EXPECT_TRUE(logged(RDDILogLevelDebug, "The application received a low memory warning in the last session."));

    // A Mach-mode switch after configuration changes nothing for this instance.
    RDDICrashes::disableMachExceptionHandler();
    EXPECT_EQ(RDDICrashes::sharedInstance()->lvCrashReporter()->config().signalHandlerType(), 1u);
}

}  // namespace
