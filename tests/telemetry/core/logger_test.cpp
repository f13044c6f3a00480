#include "platform/log/system_log.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace rddi;

// The default handler, its level gate and its line format, read back from the system log.
class LoggerTest : public ::testing::Test {
protected:
    std::vector<std::string> printed() const { return lines_; }

    void log(RDDILogLevel level, const std::string& text) {
        RDDILogger::logMessage([&] { return text; }, level, "DezIdedev", __FILE__, "fn", 12);
    }

    testkit::TelemetryTestEnvironment env_{false};
    std::vector<std::string> lines_;
    platform::log::ScopedLogSink sink_{[this](const platform::log::LogRecord& record) { lines_.push_back(record.message); }};
};

TEST_F(LoggerTest, AtProcessStartOnlyAssertAndUnnamedHigherLevelsArePrinted) {
    for (RDDILogLevel level : {2ul, 3ul, 4ul, 5ul, 6ul}) log(level, "quiet");
    log(RDDILogLevelAssert, "loud");
    log(8, "unnamed");
    log(RDDILogLevelNone, "never");
    EXPECT_EQ(printed(), (std::vector<std::string>{"[DezIdedev] ASSERT: fn/12 loud", "[DezIdedev] (null): fn/12 unnamed"}));
    EXPECT_FALSE(RDDILogger::isUserDefinedLogLevel());
}

TEST_F(LoggerTest, LevelNoneSilencesNamedLevelsButNotHigherOnes) {
    RDDILogger::setCurrentLogLevel(RDDILogLevelNone);
    log(RDDILogLevelAssert, "a");
    log(RDDILogLevelNone, "b");
    log(100, "c");
    EXPECT_EQ(printed(), std::vector<std::string>{"[DezIdedev] (null): fn/12 c"});
}

TEST_F(LoggerTest, LowUnnamedLevelsPrintOnlyWhenTheCurrentLevelIsAtOrBelowThem) {
    log(0, "hidden");
    RDDILogger::setCurrentLogLevel(0);
    log(1, "shown");
    EXPECT_EQ(printed(), std::vector<std::string>{"[DezIdedev] (null): fn/12 shown"});
}

TEST_F(LoggerTest, MissingProviderPrintsNothingButCustomHandlerStillHearsTheCall) {
    RDDILogger::logMessage({}, RDDILogLevelAssert, "DezIdedev", __FILE__, "fn", 1);
    EXPECT_TRUE(printed().empty());

    int calls = 0;
    RDDILogger::setLogHandler([&](const RDDILogMessageProvider& provider, RDDILogLevel, const std::string&, const char*,
                                  const char*, std::uint32_t) {
        ++calls;
        EXPECT_FALSE(provider);
    });
    RDDILogger::logMessage({}, RDDILogLevelVerbose, "DezIdedev", __FILE__, "fn", 1);
    EXPECT_EQ(calls, 1);
}

TEST_F(LoggerTest, MessageProviderRunsOnlyWhenTheLineIsPrinted) {
    int runs = 0;
    RDDILogger::logMessage([&] { ++runs; return std::string("x"); }, RDDILogLevelInfo, "DezIdedev", __FILE__, "fn", 1);
    EXPECT_EQ(runs, 0);
    RDDILogger::logMessage([&] { ++runs; return std::string("x"); }, RDDILogLevelAssert, "DezIdedev", __FILE__, "fn", 1);
    EXPECT_EQ(runs, 1);
}

TEST_F(LoggerTest, NullHandlerSilencesEverythingAndCountsAsUserDefined) {
    RDDILogger::setLogHandler({});
    log(RDDILogLevelAssert, "gone");
    EXPECT_TRUE(printed().empty());
    EXPECT_FALSE(RDDILogger::logHandler());
    EXPECT_TRUE(RDDILogger::isUserDefinedLogLevel());
}

TEST_F(LoggerTest, ConfigurationLowersTheLevelToWarningUnlessTheHostChoseOne) {
    RDDIDezIdedev::configure();
    EXPECT_EQ(RDDILogger::currentLogLevel(), RDDILogLevelWarning);
    log(RDDILogLevelInfo, "info");
    RDDILogError("DezIdedev", "failed {}", 42);
    ASSERT_EQ(printed().size(), 1u);
    const std::string line = printed().front();
    EXPECT_EQ(line.rfind("[DezIdedev] ERROR: ", 0), 0u) << line;
    EXPECT_NE(line.find("/" + std::to_string(__LINE__ - 4) + " failed 42"), std::string::npos) << line;
}

TEST_F(LoggerTest, SettingAHandlerKeepsConfigurationFromTouchingTheLevel) {
    RDDILogger::setLogHandler(&RDDILogger::defaultLogHandler);
    RDDIDezIdedev::configure();
    EXPECT_EQ(RDDILogger::currentLogLevel(), RDDILogLevelAssert);
}

TEST_F(LoggerTest, WrapperLoggerPassesItsOwnPosition) {
    std::string function;
    std::uint32_t line = 0;
    RDDILogger::setLogHandler([&](const RDDILogMessageProvider&, RDDILogLevel, const std::string&, const char*,
                                  const char* fn, std::uint32_t ln) {
        function = fn;
        line = ln;
    });
    RDDIWrapperLogger::RDDIWrapperLog([] { return std::string("w"); }, "Tag", RDDILogLevelInfo);
    EXPECT_EQ(function, "+[RDDIWrapperLogger RDDIWrapperLog:tag:level:]");
    EXPECT_EQ(line, 10u);
}

// The process exits while threads log, as the SDK's pool threads may (a block still storing
// logs when the exit's wait for it ended): runs only as a child process of the test below.
// The handler says so in the report when it is called after it was destroyed.
constexpr const char* kExitReportVariable = "GW_LOGGER_EXIT_REPORT";
std::atomic<bool> gHandlerDestroyed{false};
std::atomic<long> gLogged{0};
int gExitReport = -1;

struct HandlerWitness {
    ~HandlerWitness() { gHandlerDestroyed = true; }
};

TEST(LoggerExitChildProcess, ThreadsLogWhileTheProcessExits) {
    const char* report = std::getenv(kExitReportVariable);
    if (!report) GTEST_SKIP() << "runs as a child process only";
    gExitReport = ::open(report, O_WRONLY | O_APPEND);
    ASSERT_GE(gExitReport, 0) << std::strerror(errno);
    auto witness = std::make_shared<HandlerWitness>();
    RDDILogger::setLogHandler([witness](const RDDILogMessageProvider&, RDDILogLevel, const std::string&, const char*,
                                        const char*, std::uint32_t) {
        static constexpr char kLine[] = "the handler was called after it was destroyed\n";
        if (gHandlerDestroyed.load()) (void)!::write(gExitReport, kLine, sizeof kLine - 1);
    });
    witness.reset();  // the handler holds the only one
    for (int i = 0; i < 4; ++i) {
        std::thread([] {
            for (;;) {
                RDDILogger::logMessage([] { return std::string("storing"); }, RDDILogLevelDebug, "DezIdedev", __FILE__,
                                       "pool", 1);
                ++gLogged;
            }
        }).detach();
    }
    while (gLogged < 10000) std::this_thread::yield();
    // The test returns and the process exits, its threads still logging.
}

TEST(LoggerAtExitTest, ThreadsStillLoggingAsTheProcessExitsReachNothingTheExitDestroyed) {
    // Before, the handler's slot was a static that the exit destroyed: a thread logging then
    // called a handler that was already gone (a use after free; the process could die by a
    // signal on its way out).
    gwtest::TempDir scratch;
    const auto report = scratch.path() / "report.txt";
    gwtest::writeFile(report, "");
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = gwtest::spawnSelf({"LoggerExitChildProcess.ThreadsLogWhileTheProcessExits",
                                               {{kExitReportVariable, report.string()}},
                                               scratch.path() / "output.txt"});
        ASSERT_GT(child, 0);
        const int status = gwtest::waitForChild(child, std::chrono::minutes(2));
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "status " << status << "\n" << gwtest::readFile(scratch.path() / "output.txt");
    }
    const std::string heard = gwtest::readFile(report);
    EXPECT_TRUE(heard.empty()) << std::count(heard.begin(), heard.end(), '\n')
                               << " calls of the handler after it was destroyed";
}

}  // namespace
