#pragma once
// Makes platform exceptions that the application object would only log while handling
// an event reach the crash service first, when the host asked to crash on them (the
// user default "NSApplicationCrashOnExceptions"). The Info value
// "DezIdedevApplicationForwarderEnabled" set to NO keeps the application's event path
// untouched whatever the user default says.
#include "platform/foundation/exception.hpp"

#include <functional>

namespace rddi {

inline constexpr const char* kRDDIApplicationForwarderEnabledKey = "DezIdedevApplicationForwarderEnabled";
inline constexpr const char* kRDDICrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

class RDDIApplicationForwarder {
public:
    using ExceptionReceiver = std::function<void(const platform::foundation::Exception&)>;

    RDDIApplicationForwarder() = delete;

    // Replaces, once per process each, the application's reportException and sendEvent
    // implementations. The reportException replacement hands the exception to
    // `receiver` (the crash service's applicationDidReportException), then to the
    // implementation it replaced; the sendEvent replacement passes a platform exception
    // of the event's handling to it and returns normally. The replacements stay for the
    // life of the process; the receiver given first is the one they use.
    static void registerForwarding(ExceptionReceiver receiver);

    // Forgets the once-only guards and puts the application's own implementations back (tests).
    static void resetForTesting();
};

}  // namespace rddi
