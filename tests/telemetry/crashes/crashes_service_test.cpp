// The service enables the real crash reporter, whose capture stays installed in this
// process: these tests run in a binary of their own.
#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/left_reports.hpp"
#include "crashreporter/report_message.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "support/machine_pace.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "crashreporter/hostile_reports.hpp"
#include "telemetry/crashes/rddi_crashes_files.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"
#include "telemetry/crashes/rddi_wrapper_crashes_helper.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/log_builders.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/clock.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

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
        RDDICrashesLogBuffer::resetForTesting();
    }
    ~CrashesServiceTest() override {
        RDDICrashes::resetSharedInstance();
        lvcrash::lvcrash_reporter_reset_for_tests();
    }
    void start() { RDDIDezIdedev::start("secret", {RDDICrashes::serviceClass()}); }
    // The next run: a new service over the same folders, the group no longer holding back
    // what it completes.
    void startAsTheNextRun(testkit::InMemoryChannelGroup& group) {
        RDDICrashes::resetSharedInstance();
        testkit::TelemetryTestEnvironment::resetSdk();
        RDDICrashesLogBuffer::resetForTesting();
        group.setHoldsCompletions(false);
        env_.clearLogs();
        start();
    }
    // Real reports of this process, stored under `names` as a previous run would have left them;
    // answers the crashes folder.
    static fs::path storeReports(std::initializer_list<const char*> names) {
        lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
        const fs::path crashesDir = RDDIUtility::dezIdedevDirectoryURL() / "crashes";
        fs::create_directories(crashesDir);
        for (const char* name : names) {
            auto bytes = maker.generateLiveReport();
            EXPECT_TRUE(bytes);
            if (!bytes) continue;
            std::ofstream(crashesDir / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
        }
        return crashesDir;
    }
    bool logged(RDDILogLevel level, const std::string& message) const { return env_.logged(level, message); }
    // A wait that only a hang outlasts: `idle` of an idle machine, scaled by the pace this test
    // gets from a machine busy with other work.
    std::chrono::milliseconds soon(std::chrono::seconds idle) { return pace_.bound(idle); }

    testkit::TelemetryTestEnvironment env_;
    gwtest::Pace pace_;
};

// First in the file: the debugger check is made once per process, and the child must be
// the first to make it.
TEST_F(CrashesServiceTest, UnderADebuggerTheReporterIsMadeButNotEnabled) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(10);
        start();
        auto* reporter = RDDICrashes::sharedInstance()->lvCrashReporter();
        if (!reporter) _exit(11);
        if (reporter->enabled()) _exit(12);
        if (!logged(RDDILogLevelInfo, "Crashes service has been enabled but the service cannot detect crashes due to "
                                      "running the application with a debugger attached.")) {
            _exit(13);
        }
        if (!logged(RDDILogLevelWarning,
                    "Detecting crashes is NOT enabled due to running the app with a debugger attached.")) {
            _exit(14);
        }
        _exit(0);
    }
    const int status = testkit::waitForChild(child, soon(std::chrono::seconds(60)));
    if (status == -1 || !WIFEXITED(status)) FAIL() << "the traced launch did not end normally";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

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

    // A warning in this run is recorded for the next one, through the service's own source.
    platform::dispatch::MemoryPressureSource::simulate(platform::dispatch::memoryPressureWarning);
    ASSERT_TRUE(platform::dispatch::MainLoop::runUntil(
        [] { return !RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIAppDidReceiveMemoryWarningKey).isNull(); },
        soon(std::chrono::seconds(20))));

    // A Mach-mode switch after configuration changes nothing for this instance.
    RDDICrashes::disableMachExceptionHandler();
    EXPECT_EQ(RDDICrashes::sharedInstance()->lvCrashReporter()->config().signalHandlerType(), 1u);
}

TEST_F(CrashesServiceTest, StoredReportsWaitForTheDelayAndTheUserThenGoOutAsCriticalLogs) {
    // Two real reports of this process among files that are never reports.
    const fs::path crashesDir = storeReports({"800000001", "800000002"});
    std::ofstream(crashesDir / ".DS_Store") << "x";
    std::ofstream(crashesDir / "settings.plist") << "x";
    std::ofstream(crashesDir / "800000003");  // empty
    std::ofstream(crashesDir / "800000004") << "not a report";
    std::ofstream(crashesDir / "800000005") << std::string(lvcrash::kCrashReportMaxFileSize + 1, 'x');

    testkit::ScopedManualClock clock;

    std::atomic<int> prompts{0};
    std::atomic<std::size_t> prompted{0};
    RDDICrashes::setUserConfirmationHandler([&](const std::vector<std::shared_ptr<RDDIErrorReport>>& reports) {
        EXPECT_TRUE(platform::dispatch::MainLoop::isMainThread());
        prompted = reports.size();
        ++prompts;
        return true;
    });
    start();
    auto crashes = RDDICrashes::sharedInstance();
    EXPECT_EQ(crashes->crashFiles().size(), 4u);

    // Nothing before the delay has passed on the service's clock.
    EXPECT_FALSE(platform::dispatch::MainLoop::runUntil([&] { return prompts > 0; }, std::chrono::milliseconds(200)));
    clock->advance(std::chrono::seconds(1));
    ASSERT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return prompts > 0; }, soon(std::chrono::seconds(20))));
    const auto waiting = crashes->unprocessedCrashReports();
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(prompted, 2u);
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_TRUE(env_.channelGroup()->storedLogs("Crashes").empty());
    // A file that never decodes, or is too large to be read, goes after its error instead of
    // coming back every launch.
    EXPECT_FALSE(fs::exists(crashesDir / "800000004"));
    EXPECT_FALSE(fs::exists(crashesDir / "800000005"));
    EXPECT_TRUE(logged(RDDILogLevelError, "Crash report found but it is larger than 1048576 bytes, discard the crash report"));

    RDDICrashes::notifyWithUserConfirmation(RDDIUserConfirmationAlways);
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 2u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(sent[i].log);
        ASSERT_TRUE(log);
        EXPECT_EQ(sent[i].flags, RDDIFlagsCritical);
        EXPECT_EQ(log->errorId, waiting[i]->incidentIdentifier());
    }
    EXPECT_FALSE(fs::exists(crashesDir / "800000001"));
    EXPECT_FALSE(fs::exists(crashesDir / "800000002"));
    EXPECT_TRUE(fs::exists(crashesDir / ".DS_Store"));
    EXPECT_TRUE(fs::exists(crashesDir / "settings.plist"));
    EXPECT_TRUE(crashes->shouldAlwaysSend());
    EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
}

TEST_F(CrashesServiceTest, LogsInFlightAtACrashAreSentAgainByTheNextRun) {
    RDDIRegisterAnalyticsArchiveClasses();
    start();
    auto group = env_.channelGroup();
    auto other = group->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Other"));
    // One log finishes normally; three are still in flight when the process crashes.
    other->enqueueItem(testkit::eventLog("settled", "E0"), RDDIFlagsNormal);
    group->setHoldsCompletions(true);
    std::vector<std::string> names = {"first", "second", "third"};
    for (const auto& name : names) {
        auto log = testkit::eventLog(name, "E-" + name);
        if (name == "second") log->addTransmissionTargetToken("target-token-1");
        other->enqueueItem(log, RDDIFlagsNormal);
    }
    RDDICrashesLogBuffer::writeAtCrash();

    startAsTheNextRun(*group);
    const auto replayed = group->storedLogs("CrashesBuffer");
    ASSERT_EQ(replayed.size(), 3u);
    for (std::size_t i = 0; i < replayed.size(); ++i) {
        auto log = std::dynamic_pointer_cast<RDDIEventLog>(replayed[i].log);
        ASSERT_TRUE(log);
        EXPECT_EQ(log->name, names[i]);
        EXPECT_EQ(replayed[i].flags, RDDIFlagsNormal);
        EXPECT_EQ(log->transmissionTargetTokens().count("target-token-1"), names[i] == "second" ? 1u : 0u);
    }
    const fs::path folder = RDDIUtility::dezIdedevDirectoryURL() / "crasheslogbuffer";
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().extension(), ".rdcrasheslogbuffer");
        EXPECT_EQ(fs::file_size(entry.path()), 0u) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 60u);
}

TEST_F(CrashesServiceTest, ABufferFileNoLogCouldFillOrNoLogAtAllIsEmptiedUnread) {
    RDDIRegisterAnalyticsArchiveClasses();
    start();
    auto group = env_.channelGroup();
    auto other = group->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Other"));
    group->setHoldsCompletions(true);
    other->enqueueItem(testkit::eventLog("kept", "E-kept"), RDDIFlagsNormal);
    RDDICrashesLogBuffer::writeAtCrash();
    // Grown past what any log fills (read whole, it would be held in memory), and bytes
    // that are no log: each would otherwise be read again at every launch.
    const fs::path folder = RDDIUtility::dezIdedevDirectoryURL() / "crasheslogbuffer";
    fs::resize_file(folder / "58.rdcrasheslogbuffer", kRDDIMaxReadBackFileSize + 1);
    std::ofstream(folder / "59.rdcrasheslogbuffer") << "no log";

    startAsTheNextRun(*group);
    const auto replayed = group->storedLogs("CrashesBuffer");
    ASSERT_EQ(replayed.size(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<RDDIEventLog>(replayed[0].log)->name, "kept");
    for (const char* name : {"58.rdcrasheslogbuffer", "59.rdcrasheslogbuffer"}) {
        EXPECT_EQ(fs::file_size(folder / name), 0u) << name;
    }
    EXPECT_TRUE(logged(RDDILogLevelError, fmt::format("The crash log buffer file \"{}\" is larger than {} bytes; it "
                                                      "was emptied unread.",
                                                      (folder / "58.rdcrasheslogbuffer").string(),
                                                      kRDDIMaxReadBackFileSize)));
}

// Runs `crash` in a child launch of this test's environment and answers how it ended.
int runCrashingLaunch(const std::function<void()>& crash) {
    gwtest::Pace pace;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        crash();
        _exit(3);
    }
    return testkit::waitForChild(child, pace.bound(std::chrono::seconds(60)));
}

__attribute__((noinline)) void throwLogicError() { throw std::logic_error("layer list out of order"); }

TEST_F(CrashesServiceTest, AnUncaughtCxxExceptionOnAThreadIsSentWithItsTypeAndReason) {
    const int status = runCrashingLaunch([this] {
        start();
        std::thread([] { throwLogicError(); }).join();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);

    testkit::ScopedManualClock clock;
    start();
    ASSERT_TRUE(RDDICrashes::hasCrashedInLastSession());
    clock->advance(std::chrono::seconds(1));
    RDDICrashes::sharedInstance()->unprocessedCrashReports();
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 1u);
    auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(sent[0].log);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->exceptionType, "std::logic_error");
    EXPECT_EQ(log->exceptionReason, "layer list out of order");
}

TEST_F(CrashesServiceTest, ATestCrashIsSentByTheNextLaunchWithTheLogsItInterrupted) {
    RDDIRegisterAnalyticsArchiveClasses();
    const int status = runCrashingLaunch([this] {
        // The crashing launch: two logs in flight, then the test crash.
        start();
        env_.channelGroup()->setHoldsCompletions(true);
        auto unit = env_.channelGroup()->addChannelUnitWithConfiguration(
            RDDIChannelUnitConfiguration::defaultConfiguration("Analytics"));
        for (const char* name : {"export_started", "export_failed"}) {
            unit->enqueueItem(testkit::eventLog(name, name), RDDIFlagsNormal);
        }
        RDDICrashes::generateTestCrash();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGILL);

    // The next launch, on a clock the test moves.
    testkit::ScopedManualClock clock;
    start();
    EXPECT_TRUE(RDDICrashes::hasCrashedInLastSession());
    auto lastReport = RDDICrashes::lastSessionCrashReport();
    ASSERT_TRUE(lastReport);
    const auto buffered = env_.channelGroup()->storedLogs("CrashesBuffer");
    ASSERT_EQ(buffered.size(), 2u);
    EXPECT_EQ(std::dynamic_pointer_cast<RDDIEventLog>(buffered[0].log)->name, "export_started");
    EXPECT_EQ(std::dynamic_pointer_cast<RDDIEventLog>(buffered[1].log)->name, "export_failed");

    auto crashes = RDDICrashes::sharedInstance();
    clock->advance(std::chrono::seconds(1));
    crashes->unprocessedCrashReports();  // waits for the processing to have run
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 1u);
    auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(sent[0].log);
    ASSERT_TRUE(log);
    EXPECT_EQ(sent[0].flags, RDDIFlagsCritical);
    EXPECT_EQ(log->osExceptionType, "SIGILL");
    EXPECT_EQ(log->errorId, lastReport->incidentIdentifier());
    EXPECT_TRUE(crashes->crashFiles().empty());
    EXPECT_FALSE(crashes->lvCrashReporter()->hasPendingCrashReport());
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(RDDIUtility::dezIdedevDirectoryURL() / "crashes", ec));
}

TEST_F(CrashesServiceTest, AWrapperSetsUpTheHandlersThenPicksTheReportsToSendItself) {
    struct SetUp final : RDDICrashHandlerSetupDelegate {
        std::vector<std::string> calls;
        void willSetUpCrashHandlers() override { calls.push_back("will"); }
        void didSetUpCrashHandlers() override { calls.push_back("did"); }
        bool shouldEnableUncaughtExceptionHandler() override {
            calls.push_back("should");
            return false;
        }
    };
    auto setUp = std::make_shared<SetUp>();  // the wrapper's; the helper holds it weakly
    RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(setUp);
    const fs::path crashesDir = storeReports({"800000001", "800000002"});
    RDDIWrapperCrashesHelper::setAutomaticProcessing(false);
    testkit::ScopedManualClock clock;
    start();
    EXPECT_EQ(setUp->calls, (std::vector<std::string>{"should", "will", "did"}));

    // Processing holds every report for the wrapper, which keeps the second one only.
    clock->advance(std::chrono::seconds(1));
    const auto waiting = RDDIWrapperCrashesHelper::unprocessedCrashReports();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_TRUE(env_.channelGroup()->storedLogs("Crashes").empty());
    const std::string kept = waiting[1]->incidentIdentifier().value_or("");
    EXPECT_FALSE(RDDIWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({kept}));
    EXPECT_FALSE(fs::exists(crashesDir / "800000001")) << "the dropped report's file";
    EXPECT_TRUE(env_.channelGroup()->storedLogs("Crashes").empty()) << "sent before the answer";
    RDDICrashes::notifyWithUserConfirmation(RDDIUserConfirmationSend);
    RDDIWrapperCrashesHelper::sendErrorAttachments({RDDIErrorAttachmentLog::attachmentWithText("managed stack", "stack.txt")},
                                                   kept);
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 2u);
    auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(sent[0].log);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->errorId, kept);
    auto attachment = std::dynamic_pointer_cast<RDDIErrorAttachmentLog>(sent[1].log);
    ASSERT_TRUE(attachment);
    EXPECT_EQ(attachment->errorId, kept);
    EXPECT_FALSE(fs::exists(crashesDir / "800000002"));
    RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
}

// The report of a crash of process `pid`: a crashed thread in the executable.
std::vector<std::uint8_t> reportOfProcess(std::uint32_t pid) {
    report_message::Message message("/opt/glyphwright/bin/glyphwright");
    message.addImage(0x555555554000, 0x2000, "/opt/glyphwright/bin/glyphwright", true);
    message.addThread(true, {{0x555555554100, "_main", 0x5555555540f0}}, {{"rip", 0x555555554100}});
    message.process.process_id = pid;
    message.uuid[15] = static_cast<std::uint8_t>(pid);  // an incident of its own
    return message.bytes();
}

TEST_F(CrashesServiceTest, EveryReportCrashesLeftIsSentOldestFirstAndALeftMarkerCostsOnlyTheReportItNames) {
    const struct {
        const char* name;
        std::optional<std::uint32_t> earlierVersion;  // a report at the one name it wrote
        std::vector<std::uint32_t> crashes;           // in the order they crashed
        // Left by a launch that ended while it decoded a report: "" an earlier version's (the
        // oldest), "#<n>" naming the n-th crash's report, anything else a report no longer there.
        std::optional<std::string> marker;
        std::vector<std::int64_t> sent;
        bool linkAtFirstCopy = false;  // to the user's file, where the first copy would go
    } cases[] = {
        {"an earlier version's and two processes'", 100, {200, 300}, std::nullopt, {100, 200, 300}},
        {"two processes', a link where the first copy goes", std::nullopt, {200, 300}, std::nullopt, {200, 300}, true},
        {"two processes', the oldest in the way", std::nullopt, {200, 300}, "", {300}},
        {"three processes', the second in the way", std::nullopt, {200, 300, 400}, "#1", {200, 400}},
        {"two processes', one sent since in the way", std::nullopt, {200, 300}, "live_report-1.0-1.lvcrash", {200, 300}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::TelemetryTestEnvironment::resetSdk();
        RDDICrashes::resetSharedInstance();
        lvcrash::lvcrash_reporter_reset_for_tests();
        env_.clearLogs();
        const std::size_t sentBefore = env_.channelGroup()->storedLogs("Crashes").size();
        const lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
        const std::string folder = maker.crashReportDirectory();
        fs::create_directories(folder);
        if (c.earlierVersion) {
            const auto bytes = reportOfProcess(*c.earlierVersion);
            gwtest::writeFile(maker.crashReportPath(), std::string(bytes.begin(), bytes.end()));
        }
        for (const std::uint32_t pid : c.crashes) left_reports::leaveReportAsACrashDoes(folder, reportOfProcess(pid));
        if (c.marker) {
            const auto reports = lvcrash::finishedCrashReportPaths(folder, lvcrash::kPendingReportName);
            const std::string names =
                c.marker->starts_with("#") ? fs::path(reports.at(std::stoul(c.marker->substr(1)))).filename().string() : *c.marker;
            gwtest::writeFile(RDDIUtility::dezIdedevDirectoryURL() / "crashes" / "RDCrashes.analyzer", names);
        }
        // The wrapper's exception of the process that crashed first.
        RDDIWrapperException wrapper;
        wrapper.modelException = RDDIExceptionModel::withType("LayerScript.NullReference", "Object reference not set",
                                                              std::vector<std::string>{});
        wrapper.processId = c.crashes[0];
        RDDIWrapperExceptionManager::saveWrapperException(wrapper);

        testkit::ScopedManualClock clock;
        // Copies made at one instant are named after it, the later ones with "-<n>".
        const fs::path firstCopy = RDDIUtility::dezIdedevDirectoryURL() / "crashes" /
                                   fmt::format("{:.0f}", platform::foundation::Date::now().timeIntervalSinceReferenceDate());
        const fs::path notes = env_.xdg().root() / "notes.txt";
        if (c.linkAtFirstCopy) {
            gwtest::writeFile(notes, "the user's own notes");
            fs::create_directories(firstCopy.parent_path());
            fs::create_symlink(notes, firstCopy);
        }
        start();
        auto crashes = RDDICrashes::sharedInstance();
        EXPECT_TRUE(RDDICrashes::hasCrashedInLastSession());
        ASSERT_TRUE(RDDICrashes::lastSessionCrashReport());
        EXPECT_EQ(RDDICrashes::lastSessionCrashReport()->appProcessIdentifier(), c.crashes.back()) << "the latest crash";
        EXPECT_FALSE(crashes->lvCrashReporter()->hasPendingCrashReport());
        EXPECT_EQ(logged(RDDILogLevelError, "Error on loading the crash report, it will be purged."),
                  c.sent.size() < c.crashes.size() + c.earlierVersion.has_value());
        EXPECT_FALSE(fs::exists(RDDIUtility::dezIdedevDirectoryURL() / "crashes" / "RDCrashes.analyzer"));
        clock->advance(std::chrono::seconds(1));
        crashes->unprocessedCrashReports();
        std::vector<std::int64_t> sent;
        const auto stored = env_.channelGroup()->storedLogs("Crashes");
        for (std::size_t i = sentBefore; i < stored.size(); ++i) {
            auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(stored[i].log);
            ASSERT_TRUE(log && log->processId);
            sent.push_back(*log->processId);
            EXPECT_EQ(log->exception != nullptr, *log->processId == c.crashes[0]) << *log->processId;
        }
        EXPECT_EQ(sent, c.sent);
        if (c.linkAtFirstCopy) {
            EXPECT_TRUE(fs::is_symlink(firstCopy)) << "replaced";
            EXPECT_EQ(gwtest::readFile(notes), "the user's own notes");
            fs::remove(firstCopy);
        }
    }
}

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(CrashesServiceTest, HostilePendingReportsAreRefusedWithAnErrorAndTheStartGoesOn) {
    lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
    const auto genuine = maker.generateLiveReport();
    ASSERT_TRUE(genuine);
    const long peakBefore = peakResidentKiB();
    for (const auto& c : hostile_reports::damages()) {
        SCOPED_TRACE(c.name);
        // A new launch of the program.
        testkit::TelemetryTestEnvironment::resetSdk();
        RDDICrashes::resetSharedInstance();
        lvcrash::lvcrash_reporter_reset_for_tests();
        env_.clearLogs();
        std::vector<std::uint8_t> bytes = *genuine;
        c.apply(&bytes);
        const std::string expected = c.refusal ? std::string("Couldn't parse crash report: ") + c.refusal
                                               : "Couldn't load crash report: The file " + maker.crashReportPath() +
                                                     " is too large to be a crash report.";
        fs::create_directories(fs::path(maker.crashReportPath()).parent_path());
        std::ofstream(maker.crashReportPath(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

        testkit::ScopedManualClock clock;
        const auto startedAt = std::chrono::steady_clock::now();
        start();
        // Generous: the refusal itself takes a few milliseconds (bench/crashes measures it);
        // the wall clock is the point, scaled by the pace the machine gives this test now.
        EXPECT_LT(std::chrono::steady_clock::now() - startedAt, soon(std::chrono::seconds(2)));
        EXPECT_TRUE(logged(RDDILogLevelError, expected)) << expected;
        EXPECT_TRUE(RDDICrashes::hasCrashedInLastSession());
        EXPECT_FALSE(RDDICrashes::lastSessionCrashReport());
        auto crashes = RDDICrashes::sharedInstance();
        ASSERT_TRUE(crashes->lvCrashReporter());
        EXPECT_FALSE(crashes->lvCrashReporter()->hasPendingCrashReport());
        EXPECT_TRUE(crashes->crashFiles().empty());
        // The start is a clean one: nothing waits to be processed, nothing is sent.
        clock->advance(std::chrono::seconds(1));
        EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
        EXPECT_TRUE(env_.channelGroup()->storedLogs("Crashes").empty());
    }
    EXPECT_LT(peakResidentKiB() - peakBefore, 64 * 1024) << "KiB more at the peak";
}

class AttachingDelegate final : public RDDICrashesDelegate {
public:
    bool process = true;
    std::vector<std::string> heard;
    void crashesWillSendErrorReport(RDDICrashes&, const RDDIErrorReport& r) override {
        heard.push_back("will " + r.incidentIdentifier().value_or(""));
    }
    void crashesDidSucceedSendingErrorReport(RDDICrashes&, const RDDIErrorReport& r) override {
        heard.push_back("sent " + r.incidentIdentifier().value_or(""));
    }
    void crashesDidFailSendingErrorReport(RDDICrashes&, const RDDIErrorReport& r, const std::string& e) override {
        heard.push_back("failed " + r.incidentIdentifier().value_or("") + " " + e);
    }
    bool crashesShouldProcessErrorReport(RDDICrashes&, const RDDIErrorReport&) override { return process; }
    std::optional<std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>> attachmentsWithCrashes(
        RDDICrashes&, const RDDIErrorReport&) override {
        return std::vector{RDDIErrorAttachmentLog::attachmentWithText("last steps", "steps.txt")};
    }
};

TEST_F(CrashesServiceTest, TheHostsFilterAndAnswerDecideWhatBecomesOfAStoredReport) {
    const struct {
        const char* name;
        bool process;            // the delegate's filter
        bool ask;                // a confirmation handler that answers YES
        unsigned answer;         // then given through notifyWithUserConfirmation
        std::size_t crashLogs;   // sent on "Crashes"
    } cases[] = {
        {"filtered out", false, false, 0, 0},
        {"not sent", true, true, RDDIUserConfirmationDontSend, 0},
        {"sent once", true, true, RDDIUserConfirmationSend, 1},
        {"sent without asking", true, false, 0, 1},
    };
    lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
    testkit::ScopedManualClock clock;
    auto delegate = std::make_shared<AttachingDelegate>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RDDICrashes::resetSharedInstance();
        testkit::TelemetryTestEnvironment::resetSdk();
        lvcrash::lvcrash_reporter_reset_for_tests();
        const fs::path crashesDir = RDDIUtility::dezIdedevDirectoryURL() / "crashes";
        fs::create_directories(crashesDir);
        auto bytes = maker.generateLiveReport();
        ASSERT_TRUE(bytes);
        std::ofstream(crashesDir / "800000001", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));

        delegate->process = c.process;
        RDDICrashes::setDelegate(delegate);
        std::atomic<bool> asked{false};
        if (c.ask) {
            RDDICrashes::setUserConfirmationHandler([&](const auto&) { return asked = true; });
        }
        const auto before = env_.channelGroup()->storedLogs("Crashes").size();
        start();
        clock->advance(std::chrono::seconds(1));
        if (c.ask) {
            ASSERT_TRUE(
                platform::dispatch::MainLoop::runUntil([&] { return asked.load(); }, soon(std::chrono::seconds(20))));
        }
        RDDICrashes::sharedInstance()->unprocessedCrashReports();
        if (c.ask) {
            EXPECT_EQ(env_.channelGroup()->storedLogs("Crashes").size(), before);
            EXPECT_TRUE(fs::exists(crashesDir / "800000001"));
            RDDICrashes::notifyWithUserConfirmation(c.answer);
        }
        const auto sent = env_.channelGroup()->storedLogs("Crashes");
        ASSERT_EQ(sent.size() - before, c.crashLogs * 2);
        if (c.crashLogs) {
            auto log = std::dynamic_pointer_cast<RDDIAppleErrorLog>(sent[before].log);
            auto attachment = std::dynamic_pointer_cast<RDDIErrorAttachmentLog>(sent[before + 1].log);
            ASSERT_TRUE(log && attachment);
            EXPECT_EQ(attachment->errorId, log->errorId);
            EXPECT_EQ(attachment->device, log->device);
            // Sending is relayed to the delegate on the main thread, for crash logs only.
            auto unit = env_.channelGroup()->unit("Crashes");
            auto crashes = RDDICrashes::sharedInstance();
            crashes->channelWillSendLog(*unit, *log);
            crashes->channelWillSendLog(*unit, *attachment);
            crashes->channelDidSucceedSendingLog(*unit, *log);
            crashes->channelDidFailSendingLog(*unit, *log, "offline");
            const auto id = log->errorId.value_or("");
            const std::vector<std::string> expected = {"will " + id, "sent " + id, "failed " + id + " offline"};
            ASSERT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return delegate->heard.size() >= 3; },
                                                               soon(std::chrono::seconds(20))));
            EXPECT_EQ(delegate->heard, expected);
            delegate->heard.clear();
        }
        EXPECT_FALSE(fs::exists(crashesDir / "800000001"));
    }
}

TEST_F(CrashesServiceTest, ConfirmationMisuseAndANeverEnabledServiceDoNotBlockOrSend) {
    auto crashes = RDDICrashes::sharedInstance();
    EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
    RDDICrashes::notifyWithUserConfirmation(RDDIUserConfirmationSend);
    EXPECT_TRUE(logged(RDDILogLevelError,
                       "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                       "userConfirmationHandler. For more information refer to the documentation."));
}

TEST_F(CrashesServiceTest, HandledErrorsAndAttachmentsGoOutWithTheSizeLimit) {
    EXPECT_FALSE(RDDICrashes::trackException(std::make_shared<RDDIExceptionModel>()));
    start();
    auto exactly = RDDIErrorAttachmentLog::attachmentWithBinary(platform::foundation::Data(kRDDIMaxAttachmentSize, 1),
                                                               "big.bin", "application/octet-stream");
    auto tooBig = RDDIErrorAttachmentLog::attachmentWithBinary(
        platform::foundation::Data(kRDDIMaxAttachmentSize + 1, 1), "bigger.bin", "application/octet-stream");
    auto noType = RDDIErrorAttachmentLog::attachmentWithBinary(platform::foundation::Data(4, 1), "x.bin", "");
    auto text = RDDIErrorAttachmentLog::attachmentWithText("hello", std::nullopt);
    const auto id = RDDICrashes::trackException(std::make_shared<RDDIExceptionModel>(), {{{"k", "v"}}},
                                                {exactly, tooBig, noType, text});
    ASSERT_TRUE(id);
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 3u);
    auto handled = std::dynamic_pointer_cast<RDDIHandledErrorLog>(sent[0].log);
    ASSERT_TRUE(handled);
    EXPECT_EQ(handled->errorId, id);
    EXPECT_EQ(sent[0].flags, RDDIFlagsNormal);
    EXPECT_EQ(sent[1].log, exactly);
    EXPECT_EQ(sent[2].log, text);
    EXPECT_EQ(text->errorId, id);
    EXPECT_EQ(text->contentType, "text/plain");
    EXPECT_TRUE(logged(RDDILogLevelError, fmt::format("Discarding attachment with size above 7340032 bytes: "
                                                      "size=7340033, fileName=bigger.bin.")));
    EXPECT_TRUE(logged(RDDILogLevelError, "Not all required fields are present in RDDIErrorAttachmentLog."));
}

TEST_F(CrashesServiceTest, APlatformErrorIsTrackedAsAHandledErrorWithTheCallersStack) {
    EXPECT_FALSE(RDDICrashes::trackError(platform::foundation::Error("GWCatalogErrorDomain", 4, "no such folder")));
    start();
    const auto id = RDDICrashes::trackError(platform::foundation::Error("GWCatalogErrorDomain", 4, "no such folder"),
                                            {{{"catalog", "Assets.xcassets"}}},
                                            {RDDIErrorAttachmentLog::attachmentWithText("listing", "ls.txt")});
    ASSERT_TRUE(id);
    const auto sent = env_.channelGroup()->storedLogs("Crashes");
    ASSERT_EQ(sent.size(), 2u);
    auto handled = std::dynamic_pointer_cast<RDDIHandledErrorLog>(sent[0].log);
    ASSERT_TRUE(handled && handled->exception);
    EXPECT_EQ(handled->errorId, id);
    EXPECT_EQ(handled->exception->type, "GWCatalogErrorDomain");
    ASSERT_TRUE(handled->exception->message);
    EXPECT_NE(handled->exception->message->find("no such folder"), std::string::npos);
    // The pipeline drops a log whose model has no frames: the caller's stack must give some.
    ASSERT_TRUE(handled->exception->frames);
    EXPECT_FALSE(handled->exception->frames->empty());
    EXPECT_TRUE(handled->isValid());
    EXPECT_EQ(std::dynamic_pointer_cast<RDDIErrorAttachmentLog>(sent[1].log)->errorId, id);
}

}  // namespace
