#pragma once
// The telemetry SDK's single logging facility. Log sites hand over a message provider
// instead of a text, so a message is only formatted when the handler prints it.
#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <string>

namespace rddi {

using RDDILogLevel = unsigned long;

inline constexpr RDDILogLevel RDDILogLevelVerbose = 2;
inline constexpr RDDILogLevel RDDILogLevelDebug = 3;
inline constexpr RDDILogLevel RDDILogLevelInfo = 4;
inline constexpr RDDILogLevel RDDILogLevelWarning = 5;
inline constexpr RDDILogLevel RDDILogLevelError = 6;
inline constexpr RDDILogLevel RDDILogLevelAssert = 7;
inline constexpr RDDILogLevel RDDILogLevelNone = 99;

// Returns the message text. Only valid for the duration of the logMessage call that
// receives it: log sites capture their arguments by reference.
using RDDILogMessageProvider = std::function<std::string()>;

// provider (may be empty), level, tag, file, function display name, line.
using RDDILogHandler = std::function<void(const RDDILogMessageProvider& provider, RDDILogLevel level,
                                          const std::string& tag, const char* file, const char* function,
                                          std::uint32_t line)>;

class RDDILogger {
public:
    RDDILogger() = delete;

    static RDDILogLevel currentLogLevel();
    // Marks the level as chosen by the host, so configuration leaves it alone.
    static void setCurrentLogLevel(RDDILogLevel level);

    // An empty handler when logging was switched off with setLogHandler({}).
    static RDDILogHandler logHandler();
    static void setLogHandler(RDDILogHandler handler);

    // Hands the call to the current handler unchanged; the handler decides on the level.
    static void logMessage(const RDDILogMessageProvider& provider, RDDILogLevel level, const std::string& tag,
                           const char* file, const char* function, std::uint32_t line);

    static bool isUserDefinedLogLevel();
    static void setIsUserDefinedLogLevel(bool value);

    // Once the SDK's work at exit is over (called by it, and at exit in any case): the handler
    // is let go, and later messages (of a thread still running while the process's objects are
    // destroyed) reach no handler. The logger's own state is never destroyed, so a message
    // racing this is still handled by the handler it picked up, which lives until it returns.
    static void closeAtExit();

    // The handler in force at process start: prints through the system log when the
    // level lets the message through.
    static void defaultLogHandler(const RDDILogMessageProvider& provider, RDDILogLevel level,
                                  const std::string& tag, const char* file, const char* function,
                                  std::uint32_t line);

    // "[tag] LEVEL: function/line message"; the level name is "(null)" outside 2-7.
    static std::string formatLine(RDDILogLevel level, const std::string& tag, const char* function,
                                  std::uint32_t line, const std::string& message);
    // "VERBOSE" … "ASSERT" for 2-7, nullptr otherwise.
    static const char* levelName(RDDILogLevel level);
};

// Entry for code layered on top of the SDK that logs through the same machinery.
class RDDIWrapperLogger {
public:
    static void RDDIWrapperLog(const RDDILogMessageProvider& provider, const std::string& tag, RDDILogLevel level);
};

}  // namespace rddi

#define RDDI_LOG_AT(level, tag, ...)                                                                        \
    ::rddi::RDDILogger::logMessage([&]() -> std::string { return fmt::format(__VA_ARGS__); }, (level), (tag), \
                                   __FILE__, __PRETTY_FUNCTION__, static_cast<std::uint32_t>(__LINE__))

#define RDDILogVerbose(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelVerbose, tag, __VA_ARGS__)
#define RDDILogDebug(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelDebug, tag, __VA_ARGS__)
#define RDDILogInfo(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelInfo, tag, __VA_ARGS__)
#define RDDILogWarning(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelWarning, tag, __VA_ARGS__)
#define RDDILogError(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelError, tag, __VA_ARGS__)
#define RDDILogAssert(tag, ...) RDDI_LOG_AT(::rddi::RDDILogLevelAssert, tag, __VA_ARGS__)
