#include "platform/log/system_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
