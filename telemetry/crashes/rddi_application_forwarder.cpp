#include "telemetry/crashes/rddi_application_forwarder.hpp"

#include "platform/appkit/application_events.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <mutex>

namespace rddi {

namespace pf = platform::foundation;
using platform::appkit::ApplicationEvents;

namespace {

struct ForwarderState {
    std::mutex mutex;
    bool reportExceptionReplaced = false;
    bool sendEventReplaced = false;
    RDDIApplicationForwarder::ExceptionReceiver receiver;
    ApplicationEvents::ReportExceptionImplementation originalReportException;
    ApplicationEvents::SendEventImplementation originalSendEvent;
};

ForwarderState& state() {
    static auto* shared = new ForwarderState();
    return *shared;
}

void forwardedReportException(const pf::Exception& exception) {
    RDDIApplicationForwarder::ExceptionReceiver receiver;
    ApplicationEvents::ReportExceptionImplementation original;
    {
        std::lock_guard lock(state().mutex);
        receiver = state().receiver;
        original = state().originalReportException;
    }
    if (receiver) receiver(exception);
    if (original) original(exception);
}

void forwardedSendEvent(const ApplicationEvents::Event& event) {
    ApplicationEvents::SendEventImplementation original;
    {
        std::lock_guard lock(state().mutex);
        original = state().originalSendEvent;
    }
    try {
        if (original) original(event);
    } catch (const pf::ExceptionPtr& exception) {
        if (exception) forwardedReportException(*exception);
    }
}

}  // namespace

void RDDIApplicationForwarder::registerForwarding(ExceptionReceiver receiver) {
    const pf::Value setting = pf::Bundle::main().objectForInfoDictionaryKey(kRDDIApplicationForwarderEnabledKey);
    const bool enabled = setting.isNull() || setting.boolValue();
    if (!enabled) {
        RDDILogDebug(kRDDICrashesLogTag, "Application forwarder for info.plist key '{}' disabled. It won't use swizzling.",
                     kRDDIApplicationForwarderEnabledKey);
        return;
    }
    RDDILogDebug(kRDDICrashesLogTag, "Application forwarder for info.plist key '{}' enabled. It may use swizzling.",
                 kRDDIApplicationForwarderEnabledKey);
    if (!pf::UserDefaults::standard().boolForKey(kRDDICrashOnExceptionsKey)) {
        RDDILogInfo(kRDDICrashesLogTag,
                    "Catching uncaught exceptions thrown on the main thread disabled. Set `{}` flag before SDK "
                    "initialization, to allow crash on uncaught exceptions and the SDK can report them.",
                    kRDDICrashOnExceptionsKey);
        return;
    }
    bool replacedReport = false, replacedSend = false;
    {
        std::lock_guard lock(state().mutex);
        if (!state().receiver) state().receiver = std::move(receiver);
        if (!state().reportExceptionReplaced) {
            state().reportExceptionReplaced = replacedReport = true;
            state().originalReportException = ApplicationEvents::setReportExceptionImplementation(forwardedReportException);
        }
        if (!state().sendEventReplaced) {
            state().sendEventReplaced = replacedSend = true;
            state().originalSendEvent = ApplicationEvents::setSendEventImplementation(forwardedSendEvent);
        }
    }
    if (replacedReport)
        RDDILogDebug(kRDDICrashesLogTag, "Selector 'reportException:' of class 'NSApplication' is swizzled.");
    if (replacedSend) RDDILogDebug(kRDDICrashesLogTag, "Selector 'sendEvent:' of class 'NSApplication' is swizzled.");
}

void RDDIApplicationForwarder::resetForTesting() {
    std::lock_guard lock(state().mutex);
    state().reportExceptionReplaced = state().sendEventReplaced = false;
    state().receiver = nullptr;
    state().originalReportException = nullptr;
    state().originalSendEvent = nullptr;
    ApplicationEvents::reset();
}

}  // namespace rddi
