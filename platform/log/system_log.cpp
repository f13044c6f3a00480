#include "platform/log/system_log.hpp"

#include <fmt/format.h>
#include <syslog.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <utility>

namespace platform::log {

namespace {

std::atomic<bool> gEnabled{true};

struct SinkSlot {
    std::mutex mutex;
    std::shared_ptr<const LogSink> sink;
};

SinkSlot& sinkSlot() {
    static auto* slot = new SinkSlot;  // lines may still be written while the process exits
    return *slot;
}

int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::defaultLevel: return LOG_NOTICE;
        case LogLevel::info: return LOG_INFO;
        case LogLevel::debug: return LOG_DEBUG;
        case LogLevel::error: return LOG_ERR;
        case LogLevel::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void openSyslogOnce() {
    static std::once_flag opened;
    // No ident: syslog uses the program's name.
    std::call_once(opened, [] { openlog(nullptr, LOG_PID, LOG_USER); });
}

}  // namespace

std::string_view logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::defaultLevel: return "Default";
        case LogLevel::info: return "Info";
        case LogLevel::debug: return "Debug";
        case LogLevel::error: return "Error";
        case LogLevel::fault: return "Fault";
    }
    return "Default";
}

SystemLog::SystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void SystemLog::log(LogLevel level, std::string_view message) const {
    if (!isLoggingEnabled()) return;
    std::string line = fmt::format("[{}:{}] {}", subsystem_, category_, message);

    std::shared_ptr<const LogSink> sink;
    {
        auto& slot = sinkSlot();
        std::lock_guard lock(slot.mutex);
        sink = slot.sink;
    }
    if (sink) {
        (*sink)(LogRecord{subsystem_, category_, level, std::string(message), std::move(line)});
        return;
    }
    openSyslogOnce();
    // The line is an argument of a fixed format, so '%' in a message stays text.
    int length = line.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(line.size());
    syslog(syslogPriority(level), "%.*s", length, line.data());
}

void setLoggingEnabled(bool enabled) { gEnabled.store(enabled, std::memory_order_relaxed); }

bool isLoggingEnabled() { return gEnabled.load(std::memory_order_relaxed); }

LogSink setLogSink(LogSink sink) {
    auto replacement = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::shared_ptr<const LogSink> previous;
    {
        auto& slot = sinkSlot();
        std::lock_guard lock(slot.mutex);
        previous = std::exchange(slot.sink, std::move(replacement));
    }
    return previous ? *previous : LogSink();
}

}  // namespace platform::log
