#include "app/foundation/logger.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"

#include <string>

namespace gw {

const platform::log::SystemLog& Logger::handle() {
    // Never destroyed: operation threads may still log while the process runs its exit
    // handlers, and must not find the handle already torn down.
    static const platform::log::SystemLog* const shared = [] {
        std::string identifier = platform::foundation::Bundle::main().bundleIdentifier();
        // An application bundle always has an identifier; without one the installation is broken.
        if (identifier.empty()) platform::foundation::fatalError("The main bundle has no identifier");
        return new platform::log::SystemLog(std::move(identifier), "log");
    }();
    return *shared;
}

void Logger::log(std::string_view message) {
    if (!platform::log::isLoggingEnabled()) return;
    handle().log(platform::log::LogLevel::defaultLevel, message);
}

}  // namespace gw
