#pragma once
// The application's one way of writing diagnostic lines: the system log, under the
// bundle identifier with category "log", at the default level, and only while the
// process-wide log switch is on (it starts on and the application never turns it off).
// Also the debug logger handed to the review-prompt framework.
#include "platform/log/system_log.hpp"

#include <string_view>

namespace gw {

class Logger {
public:
    Logger() = delete;

    // Writes one line; the message is written as it is, never read as a format.
    static void log(std::string_view message);

    // The shared handle, made on first use (once, also under concurrent first use).
    static const platform::log::SystemLog& handle();
};

}  // namespace gw
