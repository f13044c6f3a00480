#include "telemetry/crashes/rddi_crashes.hpp"

#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_application_forwarder.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"
#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

namespace rddi {

namespace pf = platform::foundation;
namespace pd = platform::dispatch;

namespace {

std::mutex gSharedLock;
std::shared_ptr<RDDICrashes> gShared;

std::mutex gSetupDelegateLock;
std::shared_ptr<RDDICrashHandlerSetupDelegate> gSetupDelegate;

std::shared_ptr<RDDICrashHandlerSetupDelegate> crashHandlerSetupDelegate() {
    std::lock_guard lock(gSetupDelegateLock);
    return gSetupDelegate;
}

void writeLogBufferAtCrash(siginfo_t*, ucontext_t*, void*) { RDDICrashesLogBuffer::writeAtCrash(); }

const lvcrash::LVCrashReporterCallbacks kCrashCallbacks = {0, nullptr, &writeLogBufferAtCrash};

// Hands a C++ exception about to end the process to the uncaught-exception handler in
// force, in the shape of a platform exception, then ends the process.
void terminateWithCXXException(const RDDICrashesCXXExceptionInfo* info) {
    if (auto handler = pf::getUncaughtExceptionHandler()) {
        RDDICrashesCXXExceptionWrapperException exception(info);
        handler(exception);
    }
    std::abort();
}

// Names the stored reports so that their order is that of the crashes.
bool isStoredReportName(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    if (name.empty() || name == ".DS_Store" || name == kRDDIAnalyzerFilename) return false;
    return path.extension() != ".plist";
}

}  // namespace

std::shared_ptr<RDDICrashes> RDDICrashes::sharedInstance() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) gShared = std::make_shared<RDDICrashes>();
    return gShared;
}

void RDDICrashes::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

RDDIServiceClass RDDICrashes::serviceClass() {
    return {"RDDICrashes", [] { return std::static_pointer_cast<RDDIServiceInternal>(sharedInstance()); }};
}

RDDICrashes::RDDICrashes() {
    RDDIDezIdedevUserDefaults::shared()->migrateKeys(
        {
            {"RDDezIdedevCrashesIsEnabled", std::string("kRDCrashesIsEnabledKey")},
            {"RDDezIdedevAppDidReceiveMemoryWarning", std::string("RDAppDidReceiveMemoryWarning")},
            {"RDDezIdedevCrashesUserConfirmation", std::string("RDUserConfirmation")},
        },
        "Crashes");
    // Also registers the old archived class names with the classes that now decode them.
    RDDIRegisterCrashesArchiveClasses();
    appStartTime_ = std::chrono::system_clock::now();
    crashesPathComponent_ = RDDICrashesUtil::crashesDir();
    logBufferPathComponent_ = RDDICrashesUtil::logBufferDir();
    analyzerInProgressFilePathComponent_ = fmt::format("{}/{}", crashesPathComponent_, kRDDIAnalyzerFilename);
    channelUnitConfiguration_ = std::make_shared<const RDDIChannelUnitConfiguration>(groupId(), 2, 1, 1, 3);
}

// --- Class interface ---------------------------------------------------------------

void RDDICrashes::generateTestCrash() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->monitor());
    if (!instance->canBeUsed()) return;
    if (RDDIUtility::currentAppEnvironment() == 0) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
        return;
    }
    if (RDDIDezIdedev::isDebuggerAttached()) {
        RDDILogWarning(kRDDICrashesLogTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
    }
    __builtin_trap();
}

bool RDDICrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }

bool RDDICrashes::hasReceivedMemoryWarningInLastSession() {
    return sharedInstance()->didReceiveMemoryWarningInLastSession();
}

void RDDICrashes::disableMachExceptionHandler() { sharedInstance()->setEnableMachExceptionHandler(false); }

void RDDICrashes::applicationDidReportException(const pf::Exception& exception) {
    if (RDDIDezIdedev::isDebuggerAttached()) return;
    if (auto handler = sharedInstance()->exceptionHandler()) handler(exception);
}

void RDDICrashes::setCrashHandlerSetupDelegate(std::shared_ptr<RDDICrashHandlerSetupDelegate> delegate) {
    std::lock_guard lock(gSetupDelegateLock);
    gSetupDelegate = std::move(delegate);
}

// --- Service -----------------------------------------------------------------------

void RDDICrashes::startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                                        std::optional<std::string> appSecret,
                                        std::optional<std::string> transmissionTargetToken, bool fromApplication) {
    RDDIServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret), std::move(transmissionTargetToken),
                                               fromApplication);
    if (channelGroup_) channelGroup_->addDelegate(shared_from_this());
    processMemoryWarningInLastSession();
    RDDILogVerbose(kRDDICrashesLogTag, "Started crash service.");
}

void RDDICrashes::applyEnabledState(bool isEnabled) {
    RDDIServiceAbstract::applyEnabledState(isEnabled);
    if (isEnabled) {
        auto setupDelegate = crashHandlerSetupDelegate();
        const bool enableUncaught = setupDelegate ? setupDelegate->shouldEnableUncaughtExceptionHandler() : true;
        if (setupDelegate) setupDelegate->willSetUpCrashHandlers();
        configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaught);
        if (setupDelegate) setupDelegate->didSetUpCrashHandlers();

        pd::MemoryPressureSource source(pd::memoryPressureWarning | pd::memoryPressureCritical, pd::DispatchQueue::main());
        std::weak_ptr<RDDICrashes> weakSelf = weak_from_this();
        source.setEventHandler([weakSelf] {
            if (auto self = weakSelf.lock()) self->didReceiveMemoryWarning();
        });
        source.resume();
        {
            std::lock_guard lock(stateLock_);
            if (memoryPressureSource_) memoryPressureSource_->cancel();
            memoryPressureSource_ = std::move(source);
        }

        // The stored switch is still off while the service is being switched on: a report
        // left from the time it was off is not this service's to send.
        if (!this->isEnabled() && lvCrashReporter_) lvCrashReporter_->purgePendingCrashReport();
        if (lvCrashReporter_ && lvCrashReporter_->hasPendingCrashReport()) {
            didCrashInLastSession_ = true;
            RDDILogDebug(kRDDICrashesLogTag, "The application crashed in the last session.");
        }
        auto files = persistedCrashReports();
        {
            std::lock_guard lock(stateLock_);
            crashFiles_ = files;
        }
        if (files.empty()) clearContextHistoryAndKeepCurrentSession();

        if (RDDIDezIdedev::isDebuggerAttached()) {
            RDDILogInfo(kRDDICrashesLogTag,
                        "Crashes service has been enabled but the service cannot detect crashes due to running the "
                        "application with a debugger attached.");
        } else {
            RDDILogInfo(kRDDICrashesLogTag, "Crashes service has been enabled.");
        }
        return;
    }

    {
        std::lock_guard lock(stateLock_);
        if (memoryPressureSource_) memoryPressureSource_->cancel();
        memoryPressureSource_.reset();
    }
    RDDILogDebug(kRDDICrashesLogTag, "Cleaning up all crash files.");
    RDDIWrapperExceptionManager::deleteAllWrapperExceptions();
    deleteAllFromCrashesDirectory();
    removeAnalyzerFile();
    if (lvCrashReporter_) lvCrashReporter_->purgePendingCrashReport();
    clearContextHistoryAndKeepCurrentSession();
    RDDIDezIdedevUserDefaults::shared()->removeObjectForKey(kRDDIAppDidReceiveMemoryWarningKey);
    RDDILogInfo(kRDDICrashesLogTag, "Crashes service has been disabled.");
}

void RDDICrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enable) {
    if (lvCrashReporter_) {
        RDDILogDebug(kRDDICrashesLogTag, "Already configured LVCrashReporter.");
        return;
    }
    if (enable) {
        RDDILogDebug(kRDDICrashesLogTag, "EnableUncaughtExceptionHandler is set to YES");
    } else {
        RDDILogDebug(kRDDICrashesLogTag,
                     "EnableUncaughtExceptionHandler is set to NO, we're running in a Xamarin runtime.");
    }
    std::uint64_t signalHandlerType = 0;
    if (isMachExceptionHandlerEnabled()) {
        signalHandlerType = 1;
        RDDILogVerbose(kRDDICrashesLogTag, "Enabled Mach exception handler.");
    }
    lvCrashReporter_ = std::make_unique<lvcrash::RDLVCrashReporter>(
        lvcrash::RDLVCrashReporterConfig(signalHandlerType, 0, enable, std::nullopt));
    if (RDDIDezIdedev::isDebuggerAttached()) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const auto initialHandler = pf::getUncaughtExceptionHandler();
    lvCrashReporter_->setCrashCallbacks(&kCrashCallbacks);
    lvcrash::ReporterError error;
    if (!lvCrashReporter_->enableCrashReporterAndReturnError(&error)) {
        RDDILogError(kRDDICrashesLogTag, "Could not enable crash reporter: {}", error.message);
    }
    const auto handler = pf::getUncaughtExceptionHandler();
    if (handler && handler != initialHandler) {
        exceptionHandler_ = handler;
        RDDILogDebug(kRDDICrashesLogTag, "Exception handler successfully initialized.");
    } else if (handler && !enable) {
        exceptionHandler_ = handler;
        RDDILogDebug(kRDDICrashesLogTag,
                     "Exception handler successfully initialized but it has not been registered due to the wrapper "
                     "SDK.");
    } else {
        RDDILogError(kRDDICrashesLogTag,
                     "Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(&terminateWithCXXException);
    RDDIApplicationForwarder::registerForwarding(
        [](const pf::Exception& exception) { RDDICrashes::applicationDidReportException(exception); });
}

bool RDDICrashes::hasMemoryPressureSource() const {
    std::lock_guard lock(stateLock_);
    return memoryPressureSource_.has_value();
}

std::vector<std::filesystem::path> RDDICrashes::crashFiles() const {
    std::lock_guard lock(stateLock_);
    return crashFiles_;
}

// --- Memory warnings ---------------------------------------------------------------

void RDDICrashes::didReceiveMemoryWarning() {
    RDDILogDebug(kRDDICrashesLogTag, "The application received a low memory warning in the last session.");
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(true), kRDDIAppDidReceiveMemoryWarningKey);
}

void RDDICrashes::processMemoryWarningInLastSession() {
    if (!isEnabled()) return;
    auto defaults = RDDIDezIdedevUserDefaults::shared();
    const auto stored = defaults->objectForKey(kRDDIAppDidReceiveMemoryWarningKey);
    const bool received = !stored.isNull() && stored.boolValue();
    didReceiveMemoryWarningInLastSession_ = received;
    if (received) {
        RDDILogDebug(kRDDICrashesLogTag, "The application received a low memory warning in the last session.");
        defaults->removeObjectForKey(kRDDIAppDidReceiveMemoryWarningKey);
    }
}

void RDDICrashes::clearContextHistoryAndKeepCurrentSession() {
    RDDIDeviceTracker::sharedInstance()->clearDevices();
    RDDISessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    RDDIUserIdContext::sharedInstance()->clearUserIdHistory();
}

// --- Files -------------------------------------------------------------------------

void RDDICrashes::createAnalyzerFile() {
    if (!RDDIUtility::createFileAtPathComponent(analyzerInProgressFilePathComponent_, std::nullopt, false, false)) {
        RDDILogError(kRDDICrashesLogTag, "Couldn't create crash analyzer file.");
    }
}

void RDDICrashes::removeAnalyzerFile() { RDDIUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_); }

void RDDICrashes::deleteAllFromCrashesDirectory() {
    RDDIUtility::deleteItemForPathComponent(crashesPathComponent_);
    std::lock_guard lock(stateLock_);
    crashFiles_.clear();
}

void RDDICrashes::deleteCrashReportWithFileURL(const std::filesystem::path& url) { RDDIUtility::deleteFileAtURL(url); }

std::vector<std::filesystem::path> RDDICrashes::persistedCrashReports() const {
    std::vector<std::filesystem::path> files;
    const auto folder = RDDIUtility::fullURLForPathComponent(crashesPathComponent_);
    std::error_code ec;
    if (!folder || !std::filesystem::is_directory(*folder, ec)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(*folder, ec)) {
        if (!entry.is_regular_file(ec) || !isStoredReportName(entry.path())) continue;
        if (entry.file_size(ec) == 0) continue;
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace rddi
