#include "app/foundation/logger.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"

#include <string>

namespace gw {

const platform::log::SystemLog& Logger::handle() {
    static const platform::log::SystemLog shared = [] {
        std::string identifier = platform::foundation::Bundle::main().bundleIdentifier();
        // An application bundle always has an identifier; without one the installation is broken.
        if (identifier.empty()) platform::foundation::fatalError("The main bundle has no identifier");
        return platform::log::SystemLog(std::move(identifier), "log");
    }();
    return shared;
}

void Logger::log(std::string_view message) {
    if (!platform::log::isLoggingEnabled()) return;
    handle().log(platform::log::LogLevel::defaultLevel, message);
}

}  // namespace gw
