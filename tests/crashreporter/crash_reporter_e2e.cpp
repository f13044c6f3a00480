#include "crashreporter/crash_reporter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "crashreporter/left_reports.hpp"
#include "crashreporter/report.hpp"
#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/exception.hpp"

namespace lvcrash {
namespace {

namespace fs = std::filesystem;

class CrashReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gw-reporter-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        lvcrash_reporter_reset_for_tests();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(base_, fs::perms::owner_all, ignored);
        fs::remove_all(base_, ignored);
    }
    RDLVCrashReporterConfig config(std::uint64_t type = 2) const {
        return RDLVCrashReporterConfig::initWithSignalHandlerTypeAndBasePath(type, 1, base_.string());
    }
    fs::path base_;
};

TEST_F(CrashReporterTest, ConfigurationsAndPathsFollowTheirInitializers) {
    struct Case {
        RDLVCrashReporterConfig config;
        std::uint64_t type, strategy;
        bool registers;
        std::optional<std::string> base;
    };
    const Case cases[] = {
        {RDLVCrashReporterConfig::defaultConfiguration(), 0, 0, true, std::nullopt},
        {RDLVCrashReporterConfig::initWithBasePath("/b"), 0, 0, true, "/b"},
        {RDLVCrashReporterConfig::initWithSignalHandlerType(1, 3), 1, 3, true, std::nullopt},
        {RDLVCrashReporterConfig::initWithSignalHandlerTypeAndBasePath(1, 2, "/c"), 1, 2, true, "/c"},
        {RDLVCrashReporterConfig::initWithSignalHandlerTypeAndUncaughtExceptionHandler(0, 1, false), 0, 1, false,
         std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.config.signalHandlerType(), c.type);
        EXPECT_EQ(c.config.symbolicationStrategy(), c.strategy);
        EXPECT_EQ(c.config.shouldRegisterUncaughtExceptionHandler(), c.registers);
        EXPECT_EQ(c.config.basePath(), c.base);
    }

    RDLVCrashReporter slashed("a/b", "1", std::nullopt, config());
    EXPECT_EQ(slashed.crashReportDirectory(), (base_ / kCrashReporterFolderName / "a_b").string());
    EXPECT_EQ(slashed.crashReportPath(), slashed.crashReportDirectory() + "/live_report.lvcrash");
    EXPECT_EQ(slashed.queuedCrashReportDirectory(), slashed.crashReportDirectory() + "/queued_reports");

    setenv("XDG_CACHE_HOME", base_.c_str(), 1);
    platform::foundation::Bundle nameless(base_, platform::foundation::Dictionary{});
    RDLVCrashReporter fromBundle(nameless, RDLVCrashReporterConfig::defaultConfiguration());
    EXPECT_EQ(fromBundle.applicationIdentifier(), program_invocation_short_name);
    EXPECT_EQ(fromBundle.crashReportDirectory(),
              (base_ / kCrashReporterFolderName / program_invocation_short_name).string());
    unsetenv("XDG_CACHE_HOME");
}

TEST_F(CrashReporterTest, EnablingPreparesTheFoldersOnceAndReportsFailuresAsValues) {
    // A base path that is a file.
    std::ofstream(base_ / "file") << "x";
    RDLVCrashReporter blocked("app", "1", std::nullopt,
                              RDLVCrashReporterConfig::initWithSignalHandlerTypeAndBasePath(2, 0, (base_ / "file").string()));
    ReporterError error;
    EXPECT_FALSE(blocked.enableCrashReporterAndReturnError(&error));
    EXPECT_EQ(error.domain, "LVCrashReporterErrorDomain");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.underlyingDomain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error.underlyingCode, ENOTDIR);
    // The once-flag stays set: a retry in the same process is refused.
    RDLVCrashReporter second("app", "1", std::nullopt, config());
    EXPECT_FALSE(second.enableCrashReporterAndReturnError(&error));
    EXPECT_EQ(error.code, 3);
    EXPECT_EQ(error.message, "A LVCrashReporter instance has already been enabled");

    if (geteuid() != 0) {
        lvcrash_reporter_reset_for_tests();
        fs::create_directory(base_ / "readonly");
        fs::permissions(base_ / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
        RDLVCrashReporter readOnly(
            "app", "1", std::nullopt,
            RDLVCrashReporterConfig::initWithSignalHandlerTypeAndBasePath(2, 0, (base_ / "readonly").string()));
        EXPECT_FALSE(readOnly.enableCrashReporterAndReturnError(&error));
        EXPECT_EQ(error.code, 1);
        EXPECT_EQ(error.underlyingCode, EACCES);
    }

    lvcrash_reporter_reset_for_tests();
    RDLVCrashReporter good("app", "1", "1.0", config());
    ASSERT_TRUE(good.enableCrashReporterAndReturnError(&error)) << error.message;
    EXPECT_TRUE(fs::is_directory(good.queuedCrashReportDirectory()));
    EXPECT_EQ(fs::status(good.crashReportDirectory()).permissions() & fs::perms::all, fs::perms::owner_all);
    LVCrashReporterCallbacks callbacks{0, nullptr, nullptr};
    try {
        good.setCrashCallbacks(&callbacks);
        ADD_FAILURE() << "no exception";
    } catch (const platform::foundation::ExceptionPtr& exception) {
        EXPECT_EQ(exception->name(), "LVCrashReporterException");
        EXPECT_EQ(exception->reason(), "The crash reporter has already been enabled");
    }
}

TEST_F(CrashReporterTest, EnablingRemovesOnlyTheUnfinishedReportsOfEndedProcesses) {
    // A process that has ended, and one that still runs (as another instance crashing now would).
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
    const pid_t running = getppid();

    RDLVCrashReporter reporter("app", "1", std::nullopt, config());
    ReporterError error;
    ASSERT_TRUE(reporter.enableCrashReporterAndReturnError(&error)) << error.message;
    const fs::path folder = reporter.crashReportDirectory();
    const std::string partial = std::string(kPendingReportName) + ".";
    const std::pair<std::string, bool> cases[] = {  // name, kept
        {partial + std::to_string(ended) + ".17", false},
        {partial + std::to_string(ended) + ".17.2", false},  // the name after one something stood at
        {partial + std::to_string(getpid()) + ".3", false},  // an earlier process of this number
        {partial + std::to_string(running) + ".4", true},
        {partial + std::to_string(ended) + ".x", true},  // this and the next: no name the crash path writes
        {std::to_string(ended) + ".17", true},
    };
    for (const auto& [name, kept] : cases) std::ofstream(folder / name) << "half a report";

    lvcrash_reporter_reset_for_tests();
    ASSERT_TRUE(reporter.enableCrashReporterAndReturnError(&error)) << error.message;
    for (const auto& [name, kept] : cases) EXPECT_EQ(fs::exists(folder / name), kept) << name;
}

TEST_F(CrashReporterTest, PendingReportsRoundTripThroughHasLoadAndPurgeOldestFirst) {
    RDLVCrashReporter reporter("app", "1", std::nullopt, config());
    ReporterError error;
    ASSERT_TRUE(reporter.enableCrashReporterAndReturnError(&error)) << error.message;
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_FALSE(reporter.loadPendingCrashReportDataAndReturnError(&error).has_value());
    EXPECT_EQ(error.underlyingCode, ENOENT);
    std::ofstream(reporter.crashReportPath(), std::ios::binary) << "report bytes";
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    auto data = reporter.loadPendingCrashReportDataAndReturnError(&error);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(std::string(data->begin(), data->end()), "report bytes");
    EXPECT_TRUE(reporter.purgePendingCrashReportAndReturnError(&error));
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    error = {};
    EXPECT_FALSE(reporter.purgePendingCrashReportAndReturnError(&error));
    EXPECT_EQ(error.code, 4);
    EXPECT_EQ(error.underlyingCode, ENOENT);

    // An earlier version's report, then two crashes' own, beside one still being written: the
    // oldest first (the order the next launch sends them in is checked end to end by the SDK).
    const fs::path folder = reporter.crashReportDirectory();
    std::ofstream(reporter.crashReportPath(), std::ios::binary) << "an earlier version's";
    for (const std::uint8_t crash : {1, 2}) left_reports::leaveReportAsACrashDoes(folder, {crash});
    const fs::path partial = folder / (std::string(kPendingReportName) + ".4242.7");
    std::ofstream(partial) << "half a report";
    const auto paths = reporter.pendingCrashReportPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(reporter.loadPendingCrashReportDataAtPath(paths[2], &error), std::vector<std::uint8_t>{2});
    data = reporter.loadPendingCrashReportDataAndReturnError(&error);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "an earlier version's") << "the oldest";

    // Under a finished report's name, only a file is a report.
    fs::remove(paths[1]);
    fs::create_directory(paths[1]);
    EXPECT_EQ(reporter.pendingCrashReportPaths(), (std::vector<std::string>{paths[0], paths[2]}));
    EXPECT_TRUE(reporter.purgePendingCrashReportAtPath(paths[2], &error));
    EXPECT_EQ(reporter.pendingCrashReportPaths(), std::vector<std::string>{paths[0]});
    left_reports::leaveReportAsACrashDoes(folder, {1, 2, 3});
    EXPECT_TRUE(reporter.purgePendingCrashReportAndReturnError(&error));
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_TRUE(fs::exists(partial)) << "what no crash finished is no report";
}

std::shared_ptr<const CrashReport> decode(const std::vector<std::uint8_t>& bytes) {
    std::optional<platform::foundation::Error> error;
    auto report = CrashReport::decode(bytes, &error);
    EXPECT_TRUE(report) << (error ? error->what() : "");
    return report;
}

// The test executable's own symbols are not exported, so frames are matched by the return
// addresses the functions recorded.
bool hasFrameAt(const CrashReportThreadInfo& thread, std::uint64_t address) {
    for (const auto& frame : thread.stackFrames) {
        if (frame.instructionPointer == address) return true;
    }
    return false;
}

const CrashReportThreadInfo* crashedThread(const CrashReport& report) {
    for (const auto& thread : report.threads()) {
        if (thread.crashed) return &thread;
    }
    return nullptr;
}

std::uint64_t liveCallSite = 0;
std::uint64_t liveReturn = 0;

__attribute__((noinline)) std::optional<std::vector<std::uint8_t>> liveReportFromHere(RDLVCrashReporter& reporter) {
    liveCallSite = reinterpret_cast<std::uint64_t>(&liveReportFromHere);
    liveReturn = reinterpret_cast<std::uint64_t>(__builtin_return_address(0));
    auto data = reporter.generateLiveReport();
    asm volatile("" ::: "memory");  // keep the call a call, not a tail jump
    return data;
}

__attribute__((noinline)) std::optional<std::vector<std::uint8_t>> otherReportFromHere(RDLVCrashReporter& reporter,
                                                                                     platform::darwin::port_t thread) {
    auto data = reporter.generateLiveReportWithThread(thread);
    asm volatile("" ::: "memory");
    return data;
}

std::atomic<int> parkedRelease{0};
std::atomic<platform::darwin::port_t> parkedPort{0};
std::uint64_t parkedReturn = 0;
__attribute__((noinline)) void parkedThreadWaitsHere() {
    parkedReturn = reinterpret_cast<std::uint64_t>(__builtin_return_address(0));
    parkedPort = platform::darwin::mach_thread_self();
    while (parkedRelease.load() == 0) std::this_thread::yield();
}

TEST_F(CrashReporterTest, LiveReportsDescribeTheAskedThreadAndLeaveEveryThreadRunning) {
    const auto tmp = base_ / "tmp";
    fs::create_directory(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    RDLVCrashReporter reporter("app", "1", std::nullopt, config());
    reporter.setCustomData(std::vector<std::uint8_t>{'c', 'u', 's'});

    auto own = liveReportFromHere(reporter);
    ASSERT_TRUE(own.has_value());
    auto report = decode(*own);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name, "SIGTRAP");
    EXPECT_EQ(report->signalInfo().code, "TRAP_TRACE");
    EXPECT_GE(report->signalInfo().address, liveCallSite);
    EXPECT_LT(report->signalInfo().address, liveCallSite + 512);
    const CrashReportThreadInfo* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(hasFrameAt(*crashed, report->signalInfo().address));  // the caller's frame
    EXPECT_TRUE(hasFrameAt(*crashed, liveReturn));
    ASSERT_TRUE(report->customData().has_value());
    EXPECT_EQ(report->customData()->size(), 3u);

    reporter.setCustomData(std::nullopt);
    std::thread parked(parkedThreadWaitsHere);
    while (parkedPort.load() == 0) std::this_thread::yield();
    auto other = otherReportFromHere(reporter, parkedPort.load());
    ASSERT_TRUE(other.has_value());
    auto otherReport = decode(*other);
    ASSERT_TRUE(otherReport);
    const CrashReportThreadInfo* otherCrashed = crashedThread(*otherReport);
    ASSERT_NE(otherCrashed, nullptr);
    EXPECT_TRUE(hasFrameAt(*otherCrashed, parkedReturn));
    for (const auto& thread : otherReport->threads()) {
        EXPECT_FALSE(hasFrameAt(thread, otherReport->signalInfo().address));  // the caller is left out
    }
    EXPECT_FALSE(otherReport->customData().has_value());
    // Resumed threads leave their slots as soon as they run again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (platform::darwin::thread_control_parked_count() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(platform::darwin::thread_control_parked_count(), 0u);
    parkedRelease = 1;
    parked.join();  // it was running again
    EXPECT_TRUE(fs::is_empty(tmp));
    unsetenv("TMPDIR");
}

}  // namespace
}  // namespace lvcrash
