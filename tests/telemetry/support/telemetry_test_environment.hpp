#pragma once
// A clean telemetry world for one test: settings in a scratch XDG home, fresh SDK
// singletons, the in-memory channel group in place of the pipeline, and every SDK log
// line captured.
#include "platform/foundation/clock.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/support/in_memory_channel_group.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rddi::testkit {

struct CapturedLog {
    RDDILogLevel level;
    std::string tag;
    std::string message;
};

class TelemetryTestEnvironment {
public:
    // `captureLogs` false keeps the default handler and the start level, as in a process
    // where no host touched the logger.
    explicit TelemetryTestEnvironment(bool captureLogs = true);
    ~TelemetryTestEnvironment();
    TelemetryTestEnvironment(const TelemetryTestEnvironment&) = delete;
    TelemetryTestEnvironment& operator=(const TelemetryTestEnvironment&) = delete;

    const std::shared_ptr<InMemoryChannelGroup>& channelGroup() const { return group_; }
    const gwtest::ScopedXdgHome& xdg() const { return xdg_; }

    std::vector<CapturedLog> capturedLogs() const;
    bool logged(RDDILogLevel level, const std::string& message) const;
    void clearLogs();

    // Drops every SDK singleton and the cached settings, as a new process would start.
    static void resetSdk();

private:
    gwtest::ScopedXdgHome xdg_;
    std::shared_ptr<InMemoryChannelGroup> group_ = std::make_shared<InMemoryChannelGroup>();
    std::shared_ptr<std::mutex> logsMutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<CapturedLog>> logs_ = std::make_shared<std::vector<CapturedLog>>();
};

// A clock the test moves, in place of the system's while this lives.
class ScopedManualClock {
public:
    ScopedManualClock() { platform::foundation::Clock::setCurrent(clock_); }
    ~ScopedManualClock() { platform::foundation::Clock::setCurrent(nullptr); }
    ScopedManualClock(const ScopedManualClock&) = delete;
    ScopedManualClock& operator=(const ScopedManualClock&) = delete;

    platform::foundation::ManualClock* operator->() const { return clock_.get(); }

private:
    std::shared_ptr<platform::foundation::ManualClock> clock_ = std::make_shared<platform::foundation::ManualClock>();
};

// A record archived under the class name an earlier version used.
template <class T>
class Renamed : public T {
public:
    Renamed(std::string name, T value) : T(std::move(value)), name_(std::move(name)) {}
    std::string archiveClassName() const override { return name_; }

private:
    std::string name_;
};

}  // namespace rddi::testkit
