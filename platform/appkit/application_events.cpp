#include "platform/appkit/application_events.hpp"

#include "platform/log/system_log.hpp"

#include <mutex>
#include <string>
#include <utility>

namespace platform::appkit {

namespace {

void defaultSendEvent(const ApplicationEvents::Event& event) {
    if (event) event();
}

void defaultReportException(const foundation::Exception& exception) {
    static const log::SystemLog appLog("platform.appkit", "application");
    appLog.error("*** " + exception.name() + ": " + exception.reason());
}

struct Implementations {
    std::mutex mutex;
    ApplicationEvents::SendEventImplementation sendEvent = defaultSendEvent;
    ApplicationEvents::ReportExceptionImplementation reportException = defaultReportException;
};

Implementations& implementations() {
    static auto* shared = new Implementations();
    return *shared;
}

}  // namespace

void ApplicationEvents::dispatchEvent(const Event& event) {
    try {
        sendEvent(event);
    } catch (const foundation::ExceptionPtr& exception) {
        if (exception) reportException(*exception);
    }
}

void ApplicationEvents::sendEvent(const Event& event) {
    SendEventImplementation current;
    {
        std::lock_guard lock(implementations().mutex);
        current = implementations().sendEvent;
    }
    current(event);
}

void ApplicationEvents::reportException(const foundation::Exception& exception) {
    ReportExceptionImplementation current;
    {
        std::lock_guard lock(implementations().mutex);
        current = implementations().reportException;
    }
    current(exception);
}

ApplicationEvents::SendEventImplementation ApplicationEvents::setSendEventImplementation(
    SendEventImplementation replacement) {
    std::lock_guard lock(implementations().mutex);
    return std::exchange(implementations().sendEvent, replacement ? std::move(replacement) : defaultSendEvent);
}

ApplicationEvents::ReportExceptionImplementation ApplicationEvents::setReportExceptionImplementation(
    ReportExceptionImplementation replacement) {
    std::lock_guard lock(implementations().mutex);
    return std::exchange(implementations().reportException,
                         replacement ? std::move(replacement) : defaultReportException);
}

void ApplicationEvents::reset() {
    std::lock_guard lock(implementations().mutex);
    implementations().sendEvent = defaultSendEvent;
    implementations().reportException = defaultReportException;
}

}  // namespace platform::appkit
