#pragma once
// The application object's event path without any window system. The window-toolkit
// layer hands every event to dispatchEvent(); the event's handling is the work it
// carries. A platform exception escaping that work does not end the process: it goes
// to reportException() and the application goes on, as the desktop platform does.
//
// Both steps are replaceable implementations, so that a component can see these
// exceptions first: setting one answers the implementation it replaces, which the new
// one may call on.
#include "platform/foundation/exception.hpp"

#include <functional>

namespace platform::appkit {

class ApplicationEvents {
public:
    using Event = std::function<void()>;
    using ReportExceptionImplementation = std::function<void(const foundation::Exception&)>;
    using SendEventImplementation = std::function<void(const Event&)>;

    ApplicationEvents() = delete;

    // sendEvent(), and a platform exception it lets out goes to reportException().
    // Other exceptions pass on unchanged.
    static void dispatchEvent(const Event& event);
    // The current implementations. By default sendEvent runs the event and
    // reportException writes the exception's name and reason to the system log.
    static void sendEvent(const Event& event);
    static void reportException(const foundation::Exception& exception);

    // Installs `replacement` and answers the implementation in force before.
    static SendEventImplementation setSendEventImplementation(SendEventImplementation replacement);
    static ReportExceptionImplementation setReportExceptionImplementation(ReportExceptionImplementation replacement);

    // The default implementations back in place (tests).
    static void reset();
};

}  // namespace platform::appkit
