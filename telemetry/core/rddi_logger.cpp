#include "telemetry/core/rddi_logger.hpp"

#include "platform/log/system_log.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace rddi {

namespace {

// Logging threads read the level and the handler without the lock; the handler is
// reference-counted so that one picked up by a logging thread outlives a replacement. The
// SDK's threads log until the process ends: nothing here is ever destroyed.
std::atomic<RDDILogLevel> gCurrentLevel{RDDILogLevelAssert};
std::atomic<bool> gUserDefined{false};
std::atomic<bool> gClosed{false};
std::recursive_mutex gLock;

std::atomic<std::shared_ptr<const RDDILogHandler>>& handlerSlot() {
    static auto* slot = [] {
        // Registered before the SDK's own work at exit (its units are made later, and log on
        // the way), so it runs after that work: what the exit says is still handled.
        std::atexit(&RDDILogger::closeAtExit);
        return new std::atomic<std::shared_ptr<const RDDILogHandler>>(
            std::make_shared<const RDDILogHandler>(&RDDILogger::defaultLogHandler));
    }();
    return *slot;
}

}  // namespace

RDDILogLevel RDDILogger::currentLogLevel() {
    std::lock_guard lock(gLock);
    return gCurrentLevel.load();
}

void RDDILogger::setCurrentLogLevel(RDDILogLevel level) {
    std::lock_guard lock(gLock);
    gUserDefined = true;
    gCurrentLevel = level;
}

RDDILogHandler RDDILogger::logHandler() {
    std::lock_guard lock(gLock);
    auto handler = handlerSlot().load();
    return handler ? *handler : RDDILogHandler{};
}

void RDDILogger::setLogHandler(RDDILogHandler handler) {
    std::lock_guard lock(gLock);
    gUserDefined = true;
    handlerSlot().store(handler ? std::make_shared<const RDDILogHandler>(std::move(handler)) : nullptr);
}

void RDDILogger::logMessage(const RDDILogMessageProvider& provider, RDDILogLevel level, const std::string& tag,
                            const char* file, const char* function, std::uint32_t line) {
    if (gClosed.load(std::memory_order_acquire)) return;
    auto handler = handlerSlot().load();
    if (handler && *handler) (*handler)(provider, level, tag, file, function, line);
}

bool RDDILogger::isUserDefinedLogLevel() { return gUserDefined.load(); }

void RDDILogger::closeAtExit() {
    if (gClosed.exchange(true, std::memory_order_acq_rel)) return;
    // The handler goes now, as the process's objects do (a host's handler that writes a file
    // flushes it), once the calls already in it have returned; no later call reaches it.
    handlerSlot().store(nullptr);
}

void RDDILogger::setIsUserDefinedLogLevel(bool value) { gUserDefined = value; }

const char* RDDILogger::levelName(RDDILogLevel level) {
    switch (level) {
    case RDDILogLevelVerbose: return "VERBOSE";
    case RDDILogLevelDebug: return "DEBUG";
    case RDDILogLevelInfo: return "INFO";
    case RDDILogLevelWarning: return "WARNING";
    case RDDILogLevelError: return "ERROR";
    case RDDILogLevelAssert: return "ASSERT";
    default: return nullptr;
    }
}

std::string RDDILogger::formatLine(RDDILogLevel level, const std::string& tag, const char* function,
                                   std::uint32_t line, const std::string& message) {
    const char* name = levelName(level);
    return fmt::format("[{}] {}: {}/{} {}", tag, name ? name : "(null)", function ? function : "(null)",
                       static_cast<std::int32_t>(line), message);
}

void RDDILogger::defaultLogHandler(const RDDILogMessageProvider& provider, RDDILogLevel level,
                                   const std::string& tag, const char* /*file*/, const char* function,
                                   std::uint32_t line) {
    if (!provider || gCurrentLevel.load() > level) return;
    if (level == RDDILogLevelNone) return;
    const std::string text = formatLine(level, tag, function, line, provider());
    static const auto* systemLog = new platform::log::SystemLog("com.ridevedod.dezidedev", "DezIdedev");
    systemLog->log(text);
}

void RDDIWrapperLogger::RDDIWrapperLog(const RDDILogMessageProvider& provider, const std::string& tag,
                                       RDDILogLevel level) {
    RDDILogger::logMessage(provider, level, tag, __FILE__, "+[RDDIWrapperLogger RDDIWrapperLog:tag:level:]", 10);
}

}  // namespace rddi
