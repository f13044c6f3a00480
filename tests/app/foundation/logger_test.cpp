#include "app/foundation/logger.hpp"

#include "platform/log/system_log.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

namespace pl = platform::log;

struct Captured {
    std::mutex mutex;
    std::vector<pl::LogRecord> records;
};

TEST(Logger, WritesTheMessageUnchangedUnderTheBundleIdentifier) {
    Captured captured;
    pl::ScopedLogSink sink([&](const pl::LogRecord& record) {
        std::lock_guard lock(captured.mutex);
        captured.records.push_back(record);
    });
    gw::Logger::log("100% done: %@ %d %s %n");
    ASSERT_EQ(captured.records.size(), 1u);
    const auto& record = captured.records.front();
    EXPECT_EQ(record.message, "100% done: %@ %d %s %n");
    EXPECT_EQ(record.subsystem, "com.norvane.glyphwright");
    EXPECT_EQ(record.category, "log");
    EXPECT_EQ(record.level, pl::LogLevel::defaultLevel);
}

TEST(Logger, ConcurrentFirstUseSharesOneHandle) {
    Captured captured;
    pl::ScopedLogSink sink([&](const pl::LogRecord& record) {
        std::lock_guard lock(captured.mutex);
        captured.records.push_back(record);
    });
    std::vector<const pl::SystemLog*> handles(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < handles.size(); ++i) {
        threads.emplace_back([&, i] {
            gw::Logger::log("line");
            handles[i] = &gw::Logger::handle();
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto* handle : handles) EXPECT_EQ(handle, handles.front());
    EXPECT_EQ(captured.records.size(), handles.size());
}

TEST(Logger, NothingIsWrittenWhileTheSwitchIsOff) {
    Captured captured;
    pl::ScopedLogSink sink([&](const pl::LogRecord& record) { captured.records.push_back(record); });
    pl::setLoggingEnabled(false);
    gw::Logger::log("hidden");
    pl::setLoggingEnabled(true);
    gw::Logger::log("shown");
    ASSERT_EQ(captured.records.size(), 1u);
    EXPECT_EQ(captured.records.front().message, "shown");
}

}  // namespace
