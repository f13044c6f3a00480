#pragma once
// Diagnostic lines to the system log; stands in for the platform's unified log.
// Lines go to syslog, tagged with the subsystem and category of the handle that
// wrote them. A message is always an argument, never a format, so its text
// arrives unchanged (the "%{public}@" form: readable, not redacted).
#include <functional>
#include <string>
#include <string_view>

namespace platform::log {

enum class LogLevel { defaultLevel, info, debug, error, fault };

// "Default", "Info", "Debug", "Error", "Fault".
std::string_view logLevelName(LogLevel level);

// One line as written: what a test sink receives.
struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::defaultLevel;
    std::string message;
    // The text handed to syslog: "[<subsystem>:<category>] <message>".
    std::string line;
};

class SystemLog {
public:
    SystemLog(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    // Writes nothing while logging is switched off. Callable from any thread.
    void log(LogLevel level, std::string_view message) const;
    void log(std::string_view message) const { log(LogLevel::defaultLevel, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void debug(std::string_view message) const { log(LogLevel::debug, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }
    void fault(std::string_view message) const { log(LogLevel::fault, message); }

private:
    std::string subsystem_;
    std::string category_;
};

// The process-wide switch; on from the start. Off silences every handle.
void setLoggingEnabled(bool enabled);
bool isLoggingEnabled();

// While a sink is installed, lines go to it instead of syslog, so tests can read
// what was written. An empty function restores syslog. Returns the previous sink.
using LogSink = std::function<void(const LogRecord&)>;
LogSink setLogSink(LogSink sink);

// Installs a sink for the life of the object and restores the previous one.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink sink) : previous_(setLogSink(std::move(sink))) {}
    ~ScopedLogSink() { setLogSink(std::move(previous_)); }
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    LogSink previous_;
};

}  // namespace platform::log
