#include "telemetry/crashes/rddi_crashes.hpp"

#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_dispatcher_util.hpp"
#include "telemetry/crashes/rddi_application_forwarder.hpp"
#include "telemetry/crashes/rddi_error_log_formatter.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"
#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"
#include "telemetry/crashes/rddi_wrapper_crashes_helper.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/report_location.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rddi {

namespace pf = platform::foundation;
namespace pd = platform::dispatch;

namespace {

std::mutex gSharedLock;
std::shared_ptr<RDDICrashes> gShared;

// Delayed processing runs once per process (until the shared instance is reset).
std::atomic<bool> gDelayedProcessingRan{false};

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

// Names the stored reports so that their order is that of the crashes. The service's own
// lock and the copy being written are none either.
bool isStoredReportName(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    for (const char* suffix : {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc", ".lock", ".partial"}) {
        if (name.ends_with(suffix)) return false;
    }
    return !name.empty();
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
    gDelayedProcessingRan = false;
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
    appStartTime_ = pf::Date::now();
    crashesPathComponent_ = RDDICrashesUtil::crashesDir();
    logBufferPathComponent_ = RDDICrashesUtil::logBufferDir();
    analyzerInProgressFilePathComponent_ = fmt::format("{}/{}", crashesPathComponent_, kRDDIAnalyzerFilename);
    channelUnitConfiguration_ = std::make_shared<const RDDIChannelUnitConfiguration>(groupId(), 2, 1, 1, 3);
    setupLogBuffer();
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
    RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
}

// --- Service -----------------------------------------------------------------------

void RDDICrashes::startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                                        std::optional<std::string> appSecret,
                                        std::optional<std::string> transmissionTargetToken, bool fromApplication) {
    RDDIServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret), std::move(transmissionTargetToken),
                                               fromApplication);
    if (channelGroup_) channelGroup_->addDelegate(shared_from_this());
    processLogBufferAfterCrash();
    processMemoryWarningInLastSession();
    RDDILogVerbose(kRDDICrashesLogTag, "Started crash service.");
}

void RDDICrashes::applyEnabledState(bool isEnabled) {
    RDDIServiceAbstract::applyEnabledState(isEnabled);
    if (isEnabled) {
        auto setupDelegate = RDDIWrapperCrashesHelper::crashHandlerSetupDelegate();
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
        removeNonReportAtPendingPath();
        if (lvCrashReporter_ && lvCrashReporter_->hasPendingCrashReport()) {
            didCrashInLastSession_ = true;
            RDDILogDebug(kRDDICrashesLogTag, "The application crashed in the last session.");
            handleLatestCrashReport();
        }
        auto files = claimStoredCrashReports(persistedCrashReports());
        {
            std::lock_guard lock(stateLock_);
            crashFiles_ = files;
        }
        if (files.empty()) {
            signalDelayedProcessing();
            clearContextHistoryAndKeepCurrentSession();
        } else {
            startDelayedCrashProcessing();
        }

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
    // Logs still in flight go too: a later crash must not write them for the next launch.
    for (std::size_t index = 0; index < kRDDICrashesLogBufferSize; ++index) {
        const auto slot = RDDICrashesLogBuffer::slot(index);
        if (!slot.internalId.empty()) RDDICrashesLogBuffer::remove(slot.internalId);
    }
    emptyLogBufferFiles();
    removeAnalyzerFile();
    if (lvCrashReporter_) lvCrashReporter_->purgePendingCrashReport();
    clearUnprocessedReports();
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
    removeNonFolderInPlaceOfReporterFolder();
    if (RDDIDezIdedev::isDebuggerAttached()) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const auto initialHandler = pf::getUncaughtExceptionHandler();
    lvCrashReporter_->setCrashCallbacks(&kCrashCallbacks);
    lvcrash::ReporterError error;
    const bool enabled = lvCrashReporter_->enableCrashReporterAndReturnError(&error);
    // A folder of another user's, or one that is not a folder and could not be removed: the
    // crashes go to a folder of this user's own instead.
    for (const auto& refused : lvCrashReporter_->refusedFolders()) {
        if (enabled) {
            RDDILogError(kRDDICrashesLogTag,
                         "The crash reporter's folder \"{}\" {}: crash reports are kept in \"{}\" instead.",
                         refused.path, refused.why, lvCrashReporter_->crashReportDirectory());
        } else {
            RDDILogError(kRDDICrashesLogTag, "The crash reporter's folder \"{}\" {}.", refused.path, refused.why);
        }
    }
    if (!enabled) RDDILogError(kRDDICrashesLogTag, "Could not enable crash reporter: {}", error.message);
    const auto handler = pf::getUncaughtExceptionHandler();
    if (handler && handler != initialHandler) {
        exceptionHandler_ = handler;
        RDDILogDebug(kRDDICrashesLogTag, "Exception handler successfully initialized.");
    } else if (handler && !enable) {
        exceptionHandler_ = handler;
        RDDILogDebug(kRDDICrashesLogTag,
                     "Exception handler successfully initialized but it has not been registered due to the wrapper "
                     "SDK.");
    } else if (enabled) {
        // A reporter that could not be enabled installed nothing: its own error said why.
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

void RDDICrashes::createAnalyzerFile(const std::string& reportName) {
    const auto marker = RDDIUtility::fullURLForPathComponent(analyzerInProgressFilePathComponent_);
    RDDIUtility::createDirectoryForPathComponent(crashesPathComponent_);
    // A new file: nothing put at its name is written through. One already there is kept as it is.
    pf::files::UniqueFd fd;
    if (marker && RDDICrashesFiles::setAsideUnlessOwnFile(*marker, "the crash analyzer's marker")) {
        fd = pf::files::UniqueFd(::open(marker->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno == EEXIST) return;
    }
    if (!fd || ::write(fd.get(), reportName.data(), reportName.size()) != static_cast<ssize_t>(reportName.size())) {
        RDDILogError(kRDDICrashesLogTag, "Couldn't create crash analyzer file.");
    }
}

void RDDICrashes::removeAnalyzerFile() {
    if (const auto marker = RDDIUtility::fullURLForPathComponent(analyzerInProgressFilePathComponent_)) {
        std::error_code ec;
        std::filesystem::remove(*marker, ec);
    }
}

std::optional<std::string> RDDICrashes::leftAnalyzerMarker() {
    const auto marker = RDDIUtility::fullURLForPathComponent(analyzerInProgressFilePathComponent_);
    struct stat info {};
    if (!marker || ::lstat(marker->c_str(), &info) != 0) return std::nullopt;
    // Whatever else stands there was never written by a launch, and names no report.
    if (!RDDICrashesFiles::isOwnFile(info)) {
        RDDICrashesFiles::setAsideUnlessOwnFile(*marker, "the crash analyzer's marker");
        return std::nullopt;
    }
    const auto fd = RDDICrashesFiles::openRegular(*marker, O_RDONLY);
    const auto bytes = fd ? RDDICrashesFiles::readAll(fd.get(), 4096) : std::nullopt;
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

void RDDICrashes::deleteAllFromCrashesDirectory() {
    RDDIUtility::deleteItemForPathComponent(crashesPathComponent_);
    std::lock_guard lock(stateLock_);
    crashFiles_.clear();
    claims_.clear();
}

void RDDICrashes::deleteCrashReportWithFileURL(const std::filesystem::path& url) { RDDIUtility::deleteFileAtURL(url); }

std::vector<std::filesystem::path> RDDICrashes::persistedCrashReports() const {
    std::vector<std::filesystem::path> files;
    const auto folder = RDDIUtility::fullURLForPathComponent(crashesPathComponent_);
    std::error_code ec;
    if (!folder) return files;
    std::filesystem::directory_iterator it(*folder, ec);
    if (ec) {
        RDDILogError(kRDDICrashesLogTag, "No persisted crashes found.");
        return files;
    }
    for (const auto& entry : it) {
        // A link is no stored report, wherever it leads.
        if (!entry.is_regular_file(ec) || entry.is_symlink(ec) || !isStoredReportName(entry.path())) continue;
        if (entry.file_size(ec) == 0 || ec) continue;
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::filesystem::path> RDDICrashes::claimStoredCrashReports(const std::vector<std::filesystem::path>& files) {
    std::vector<std::filesystem::path> claimed;
    std::lock_guard lock(stateLock_);
    for (const auto& file : files) {
        if (!claims_.contains(file)) {
            // Held by another launch that runs (it sends it, or waits for its user's answer),
            // or gone since the listing: not this launch's to send.
            auto claim = RDDIClaimedFile::claim(file);
            if (!claim) continue;
            claims_.insert_or_assign(file, std::move(*claim));
        }
        claimed.push_back(file);
    }
    return claimed;
}

// --- Class interface of pending reports ----------------------------------------------

std::shared_ptr<RDDIErrorReport> RDDICrashes::lastSessionCrashReport() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->stateLock_);
    return instance->lastSessionCrashReport_;
}

void RDDICrashes::setDelegate(const std::shared_ptr<RDDICrashesDelegate>& delegate) {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->stateLock_);
    instance->delegate_ = delegate;
}

std::shared_ptr<RDDICrashesDelegate> RDDICrashes::delegate() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->stateLock_);
    return instance->delegate_.lock();
}

void RDDICrashes::setUserConfirmationHandler(RDDIUserConfirmationHandler handler) {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->stateLock_);
    instance->userConfirmationHandler_ = std::move(handler);
}

RDDIUserConfirmationHandler RDDICrashes::userConfirmationHandler() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->stateLock_);
    return instance->userConfirmationHandler_;
}

void RDDICrashes::notifyWithUserConfirmation(unsigned confirmation) {
    sharedInstance()->notifyWithUserConfirmationValue(confirmation);
}

void RDDICrashes::applicationWillEnterForeground() {
    if (!crashFiles().empty()) startDelayedCrashProcessing();
}

// --- Pending reports -----------------------------------------------------------------

void RDDICrashes::removeNonReportAtPendingPath() {
    if (!lvCrashReporter_) return;
    // No crash left it there, and the next crash could not be written while it stays.
    const auto kind = lvCrashReporter_->nonReportAtPendingPath();
    if (!kind) return;
    lvcrash::ReporterError error;
    if (lvCrashReporter_->purgePendingCrashReportAtPath(lvCrashReporter_->crashReportPath(), &error)) {
        RDDILogWarning(kRDDICrashesLogTag, "A {} was found in place of the pending crash report \"{}\"; it was removed.",
                       *kind, lvCrashReporter_->crashReportPath());
    } else {
        RDDILogError(kRDDICrashesLogTag,
                     "A {} was found in place of the pending crash report \"{}\" and could not be removed ({}): crashes "
                     "cannot be reported until it is.",
                     *kind, lvCrashReporter_->crashReportPath(), std::strerror(static_cast<int>(error.underlyingCode)));
    }
}

void RDDICrashes::removeNonFolderInPlaceOfReporterFolder() {
    // No crash leaves it there: a stray file or a link, which would keep the reporter's folder
    // from being made, or lead reports out of it.
    const auto entry = lvCrashReporter_->nonFolderInPlaceOfReportFolder();
    if (!entry) return;
    lvcrash::ReporterError error;
    if (lvCrashReporter_->removeNonFolderInPlaceOfReportFolderAndReturnError(&error)) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "A {} was found in place of the crash reporter's folder \"{}\"; it was removed.", entry->kind,
                       entry->path);
    } else {
        RDDILogError(kRDDICrashesLogTag,
                     "A {} was found in place of the crash reporter's folder \"{}\" and could not be removed ({}).",
                     entry->kind, entry->path, std::strerror(static_cast<int>(error.underlyingCode)));
    }
}

void RDDICrashes::handleLatestCrashReport() {
    const auto folder = RDDIUtility::createDirectoryForPathComponent(crashesPathComponent_);
    if (!folder) return;
    // One launch at a time copies the pending reports: the one holding this lock. Another one
    // starting meanwhile leaves them to it instead of copying them too, or waiting for it.
    const auto turn = RDDIClaimedFile::takeLock(*folder / kRDDIAnalyzerLockFilename, "the crash analyzer's lock");
    if (!turn) {
        RDDILogDebug(kRDDICrashesLogTag, "Another launch is copying the pending crash reports; they are left to it.");
        return;
    }
    auto paths = lvCrashReporter_->pendingCrashReportPaths();
    // Only a launch that held the lock writes the marker: one left names the report that launch
    // was decoding when it ended, which may be what ended it. An earlier version's names none:
    // it was copying the oldest.
    if (const auto left = leftAnalyzerMarker()) {
        auto doomed = std::find_if(paths.begin(), paths.end(),
                                   [&](const std::string& path) { return std::filesystem::path(path).filename() == *left; });
        if (doomed == paths.end() && left->empty()) doomed = paths.begin();
        if (doomed != paths.end()) {
            RDDILogError(kRDDICrashesLogTag, "Error on loading the crash report, it will be purged.");
            lvCrashReporter_->purgePendingCrashReportAtPath(*doomed, nullptr);
            paths.erase(doomed);
        }
        removeAnalyzerFile();
    }
    std::vector<std::shared_ptr<RDDIErrorReport>> copied;
    // Every crash of every process of the application, in the order of the crashes.
    for (const std::string& path : paths) {
        RDDILogVerbose(kRDDICrashesLogTag, "Copying the pending crash report {}.", path);
        auto copy = copyPendingCrashReport(path);
        if (copy.report) copied.push_back(std::move(copy.report));
        if (copy.purge) lvCrashReporter_->purgePendingCrashReportAtPath(path, nullptr);
    }
    if (copied.empty()) return;
    {
        std::lock_guard lock(stateLock_);
        lastSessionCrashReport_ = copied.back();
    }
    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(copied);
}

RDDICrashes::PendingCopy RDDICrashes::copyPendingCrashReport(const std::string& path) {
    // Only while it is read and decoded: a launch that ends later has nothing against it.
    createAnalyzerFile(std::filesystem::path(path).filename().string());
    lvcrash::ReporterError loadError;
    auto data = lvCrashReporter_->loadPendingCrashReportDataAtPath(path, &loadError);
    std::optional<pf::Error> error;
    auto report = data ? lvcrash::CrashReport::decode(*data, &error) : nullptr;
    removeAnalyzerFile();
    if (!data) {
        RDDILogError(kRDDICrashesLogTag, "Couldn't load crash report: {}", loadError.message);
        return {};
    }
    if (!report) {
        // The crash is lost: an error, not a warning, so that it is seen.
        RDDILogError(kRDDICrashesLogTag, "Couldn't parse crash report: {}",
                     error ? error->localizedDescription() : std::string());
        return {};
    }
    // Kept pending when it cannot be stored now (a full disk, say): a later launch copies it.
    if (!storeCrashReport(pf::Data(*data))) return {nullptr, false};
    return {RDDIErrorLogFormatter::errorReportFromCrashReport(report), true};
}

std::optional<std::filesystem::path> RDDICrashes::storeCrashReport(const pf::Data& data) {
    const auto folder = RDDIUtility::fullURLForPathComponent(crashesPathComponent_);
    if (!folder) return std::nullopt;
    pf::files::UniqueFd dir(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Written under a name of its own, then given its stored name: no other launch reads it
    // half written. Only the holder of the analyzer's lock writes one, so a file of its own
    // found there is the remains of a launch that ended while writing it; whatever else
    // stands there (a folder kept every crash out for good) is set aside.
    const std::filesystem::path copy = *folder / kRDDICrashCopyFilename;
    const char* role = "the copy of a crash report being stored";
    if (RDDICrashesFiles::setAsideUnlessOwnFile(copy, role)) ::unlink(copy.c_str());
    pf::files::UniqueFd fd(::open(copy.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    auto claim = fd ? RDDIClaimedFile::adopt(std::move(fd), copy) : std::nullopt;
    // The file that blocks, and why.
    std::string failure = claim ? "" : fmt::format("Couldn't create {} \"{}\": {}", role, copy.string(),
                                                   std::strerror(errno));
    for (std::size_t at = 0; claim && failure.empty() && at < data.size();) {
        const ssize_t done = ::write(claim->fd(), data.data() + at, data.size() - at);
        if (done < 0 && errno == EINTR) continue;
        if (done > 0) at += static_cast<std::size_t>(done);
        if (done <= 0 || (at == data.size() && ::fsync(claim->fd()) != 0)) {
            failure = fmt::format("Couldn't write {} \"{}\": {}", role, copy.string(),
                                  std::strerror(done == 0 ? ENOSPC : errno));
        }
    }
    // Named by the time of the copy, so that name order is crash order; a second one within
    // the same second (a crash loop at start, or several reports copied now) takes the next
    // free "-<n>": a name something stands at is never taken over.
    const auto base = fmt::format("{:.0f}", pf::Date::now().timeIntervalSinceReferenceDate());
    std::optional<std::filesystem::path> stored;
    for (int suffix = 0; failure.empty() && !stored && suffix < 10000; ++suffix) {
        const std::string name = suffix == 0 ? base : fmt::format("{}-{}", base, suffix);
        if (pf::files::renameIfFree(dir.get(), kRDDICrashCopyFilename, dir.get(), name.c_str()) == 0) {
            stored = *folder / name;
        } else if (errno != EEXIST) {
            failure = fmt::format("Couldn't create new file at path {}: {}", (*folder / name).string(),
                                  std::strerror(errno));
        }
    }
    if (!stored) {
        RDDILogError(kRDDICrashesLogTag, "{}",
                     failure.empty() ? fmt::format("Couldn't create new file at path {}", (*folder / base).string())
                                     : failure);
        if (claim) claim->remove();
        return std::nullopt;
    }
    claim->renamed(*stored);
    std::lock_guard lock(stateLock_);
    claims_.insert_or_assign(*stored, std::move(*claim));
    return stored;
}

void RDDICrashes::startDelayedCrashProcessing() {
    std::weak_ptr<RDDICrashes> weakSelf = weak_from_this();
    pd::DispatchTimer timer(pd::DispatchQueue::global());
    timer.setEventHandler([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (self->isAutomaticProcessingEnabled() &&
            RDDIUtility::applicationState() == RDDIApplicationState::background) {
            RDDILogWarning(kRDDICrashesLogTag,
                           "Crashes will not be processed because the application is in the background.");
            return;
        }
        if (gDelayedProcessingRan.exchange(true)) return;
        self->startCrashProcessing();
        self->signalDelayedProcessing();
    });
    timer.schedule(std::chrono::seconds(1));
    timer.resume();
    std::lock_guard lock(stateLock_);
    delayedProcessingTimers_.push_back(std::move(timer));
}

void RDDICrashes::signalDelayedProcessing() {
    {
        std::lock_guard lock(processingLock_);
        delayedProcessingSignalled_ = true;
    }
    processingDone_.notify_all();
}

void RDDICrashes::startCrashProcessing() {
    RDDILogDebug(kRDDICrashesLogTag, "Start delayed CrashManager processing");
    if (exceptionHandler_ && exceptionHandler_ != pf::getUncaughtExceptionHandler()) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "Another exception handler was added. If this invokes any kind of exit() after processing the "
                       "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT "
                       "be reported to Dez Idedev!");
    }
    processCrashReports();
}

void RDDICrashes::releaseCrashFile(const std::filesystem::path& url) {
    std::lock_guard lock(stateLock_);
    claims_.erase(url);
    std::erase(crashFiles_, url);
}

void RDDICrashes::removeCrashFile(const std::filesystem::path& url) {
    std::lock_guard lock(stateLock_);
    if (auto claim = claims_.find(url); claim != claims_.end()) {
        claim->second.remove();
        claims_.erase(claim);
    } else {
        deleteCrashReportWithFileURL(url);
    }
    std::erase(crashFiles_, url);
}

void RDDICrashes::processCrashReports() {
    if (!isEnabled()) {
        RDDILogDebug(kRDDICrashesLogTag, "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        RDDIWrapperExceptionManager::deleteAllWrapperExceptions();
        return;
    }
    {
        std::lock_guard lock(stateLock_);
        unprocessedLogs_.emplace();
        unprocessedReports_.clear();
        unprocessedFilePaths_.clear();
    }
    struct Decoded {
        std::filesystem::path url;
        std::shared_ptr<const lvcrash::CrashReport> report;
        std::shared_ptr<RDDIErrorReport> errorReport;
    };
    std::vector<Decoded> decoded;
    for (const auto& url : crashFiles()) {
        int err = 0;
        std::optional<std::vector<std::uint8_t>> data;
        {
            // Read through the claim: what stands at the name now is not necessarily what was claimed.
            std::lock_guard lock(stateLock_);
            const auto claim = claims_.find(url);
            data = claim != claims_.end() ? lvcrash::readCrashReportDescriptor(claim->second.fd(), &err)
                                          : lvcrash::readCrashReportFile(url.string(), &err);
        }
        if (!data && err == EFBIG) {
            RDDILogError(kRDDICrashesLogTag, "Crash report found but it is larger than {} bytes, discard the crash report",
                         lvcrash::kCrashReportMaxFileSize);
            removeCrashFile(url);
            continue;
        }
        if (!data || data->empty()) continue;
        std::optional<pf::Error> error;
        auto report = lvcrash::CrashReport::decode(*data, &error);
        if (!report) {
            RDDILogError(kRDDICrashesLogTag, "Crash report found but couldn't parse it, discard the crash report: {}",
                         error ? error->localizedDescription() : std::string());
            // It would never decode: left in place it would be logged at every launch.
            removeCrashFile(url);
            continue;
        }
        decoded.push_back({url, report, RDDIErrorLogFormatter::errorReportFromCrashReport(report)});
    }
    std::vector<std::shared_ptr<RDDIErrorReport>> reports;
    for (const auto& entry : decoded) reports.push_back(entry.errorReport);
    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);

    const bool automatic = isAutomaticProcessingEnabled();
    for (const auto& entry : decoded) {
        RDDILogVerbose(kRDDICrashesLogTag, "Crash reports found");
        auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*entry.report);
        const auto description = entry.errorReport->incidentIdentifier().value_or("");
        if (!automatic || shouldProcessErrorReport(*entry.errorReport)) {
            if (automatic) {
                RDDILogDebug(kRDDICrashesLogTag,
                             "shouldProcessErrorReport is not implemented or returned YES, processing the crash "
                             "report: {}",
                             description);
            } else {
                RDDILogDebug(kRDDICrashesLogTag,
                             "Automatic crash processing is disabled, storing the crash report for later "
                             "processing: {}",
                             description);
            }
            std::lock_guard lock(stateLock_);
            unprocessedLogs_->push_back(log);
            unprocessedReports_.push_back(entry.errorReport);
            unprocessedFilePaths_.push_back(entry.url);
        } else {
            RDDILogDebug(kRDDICrashesLogTag, "shouldProcessErrorReport returned NO, discard the crash report: {}",
                         description);
            RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(description);
            removeCrashFile(entry.url);
        }
    }
    if (automatic) sendCrashReportsOrAwaitUserConfirmation();
}

bool RDDICrashes::shouldProcessErrorReport(const RDDIErrorReport& report) {
    auto target = delegate_.lock();
    return !target || target->crashesShouldProcessErrorReport(*this, report);
}

bool RDDICrashes::shouldAlwaysSend() const {
    const auto stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIUserConfirmationKey);
    return !stored.isNull() && stored.boolValue();
}

bool RDDICrashes::sendCrashReportsOrAwaitUserConfirmation() {
    const bool alwaysSend = shouldAlwaysSend();
    bool empty;
    bool hasHandler;
    {
        std::lock_guard lock(stateLock_);
        empty = unprocessedReports_.empty();
        hasHandler = static_cast<bool>(userConfirmationHandler_);
    }
    if (empty) return alwaysSend;
    if (alwaysSend) {
        RDDILogDebug(kRDDICrashesLogTag,
                     "The flag for user confirmation is set to RDDIUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(RDDIUserConfirmationSend);
        return alwaysSend;
    }
    if (isAutomaticProcessingEnabled()) {
        if (!hasHandler || !userPromptedForConfirmation()) {
            RDDILogDebug(kRDDICrashesLogTag,
                         "The user confirmation handler is not implemented or returned NO, continue sending logs");
            handleUserConfirmation(RDDIUserConfirmationSend);
        }
        return alwaysSend;
    }
    RDDILogDebug(kRDDICrashesLogTag,
                 "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
    return alwaysSend;
}

bool RDDICrashes::userPromptedForConfirmation() {
    RDDIUserConfirmationHandler handler;
    std::vector<std::shared_ptr<RDDIErrorReport>> reports;
    {
        std::lock_guard lock(stateLock_);
        handler = userConfirmationHandler_;
        reports = unprocessedReports_;
    }
    if (!handler) return false;
    bool answer = false;
    if (pd::MainLoop::isMainThread()) {
        answer = handler(reports);
    } else {
        pd::DispatchQueue::main().sync([&] { answer = handler(reports); });
    }
    return answer;
}

void RDDICrashes::notifyWithUserConfirmationValue(unsigned confirmation) {
    bool usable;
    {
        std::lock_guard lock(stateLock_);
        usable = userConfirmationHandler_ || unprocessedLogs_.has_value();
    }
    if (!usable) {
        RDDILogError(kRDDICrashesLogTag,
                     "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                     "userConfirmationHandler. For more information refer to the documentation.");
        return;
    }
    handleUserConfirmation(confirmation);
}

void RDDICrashes::handleUserConfirmation(unsigned confirmation) {
    std::vector<std::shared_ptr<RDDIAppleErrorLog>> logs;
    std::vector<std::shared_ptr<RDDIErrorReport>> reports;
    std::vector<std::filesystem::path> paths;
    {
        std::lock_guard lock(stateLock_);
        if (unprocessedLogs_) logs = *unprocessedLogs_;
        reports = unprocessedReports_;
        paths = unprocessedFilePaths_;
    }
    if (confirmation == RDDIUserConfirmationDontSend) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (i < reports.size()) {
                RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
                    reports[i]->incidentIdentifier().value_or(""));
            }
            removeCrashFile(paths[i]);
        }
    } else {
        if (confirmation == RDDIUserConfirmationAlways) {
            RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(true), kRDDIUserConfirmationKey);
        }
        auto target = delegate_.lock();
        for (std::size_t i = 0; i < reports.size() && i < logs.size() && i < paths.size(); ++i) {
            const auto& log = logs[i];
            const auto incidentId = reports[i]->incidentIdentifier().value_or("");
            std::vector<std::shared_ptr<RDDIErrorAttachmentLog>> attachments;
            if (target) {
                if (auto given = target->attachmentsWithCrashes(*this, *reports[i])) attachments = std::move(*given);
            } else {
                RDDILogDebug(kRDDICrashesLogTag, "attachmentsWithCrashes is not implemented");
            }
            for (auto& attachment : attachments) {
                if (attachment && !attachment->device) attachment->device = log->device;
            }
            if (log->timestamp) {
                log->sid = RDDISessionContext::sharedInstance()->sessionIdAt(*log->timestamp);
                log->userId = RDDIUserIdContext::sharedInstance()->userIdAt(*log->timestamp);
            }
            // The report goes once the store has its log (channelDidCompleteEnqueueingLog): a
            // log the store cannot take (a full disk) leaves it for a later launch. A log no
            // unit takes would keep it for ever.
            const bool kept = channelUnit_ && log->isValid();
            if (kept) {
                std::lock_guard lock(stateLock_);
                sending_.insert_or_assign(log.get(), SendingReport{log, paths[i], incidentId});
            }
            if (channelUnit_) channelUnit_->enqueueItem(log, RDDIFlagsCritical);
            sendErrorAttachments(attachments, incidentId);
            if (!kept) {
                removeCrashFile(paths[i]);
                RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(incidentId);
            }
        }
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
}

void RDDICrashes::clearUnprocessedReports() {
    std::lock_guard lock(stateLock_);
    if (unprocessedLogs_) unprocessedLogs_->clear();
    unprocessedReports_.clear();
    unprocessedFilePaths_.clear();
}

std::vector<std::shared_ptr<RDDIErrorReport>> RDDICrashes::unprocessedCrashReports() {
    {
        std::unique_lock lock(processingLock_);
        // A service that never enabled never processes: waiting would never end.
        if (!lvCrashReporter_ && !delayedProcessingSignalled_) return {};
        processingDone_.wait(lock, [this] { return delayedProcessingSignalled_; });
    }
    std::lock_guard lock(stateLock_);
    return unprocessedReports_;
}

bool RDDICrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& ids) {
    std::vector<std::filesystem::path> removed;
    {
        std::lock_guard lock(stateLock_);
        std::vector<std::shared_ptr<RDDIAppleErrorLog>> keptLogs;
        std::vector<std::shared_ptr<RDDIErrorReport>> keptReports;
        std::vector<std::filesystem::path> keptPaths;
        for (std::size_t i = 0; i < unprocessedReports_.size(); ++i) {
            const auto id = unprocessedReports_[i]->incidentIdentifier().value_or("");
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
                if (unprocessedLogs_ && i < unprocessedLogs_->size()) keptLogs.push_back((*unprocessedLogs_)[i]);
                keptReports.push_back(unprocessedReports_[i]);
                keptPaths.push_back(unprocessedFilePaths_[i]);
            } else {
                RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(id);
                removed.push_back(unprocessedFilePaths_[i]);
            }
        }
        if (unprocessedLogs_) *unprocessedLogs_ = std::move(keptLogs);
        unprocessedReports_ = std::move(keptReports);
        unprocessedFilePaths_ = std::move(keptPaths);
    }
    for (const auto& url : removed) removeCrashFile(url);
    return sendCrashReportsOrAwaitUserConfirmation();
}

void RDDICrashes::relayToDelegate(
    const RDDIAbstractLog& log,
    const std::function<void(RDDICrashesDelegate&, RDDICrashes&, const RDDIErrorReport&)>& call) {
    const auto* appleLog = dynamic_cast<const RDDIAppleErrorLog*>(&log);
    auto target = delegate_.lock();
    if (!appleLog || !target) return;
    auto report = RDDIErrorLogFormatter::errorReportFromLog(*appleLog);
    auto self = shared_from_this();
    RDDIDispatcherUtil::performBlockOnMainThread([self, target, report, call] { call(*target, *self, *report); });
}

void RDDICrashes::channelWillSendLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log) {
    relayToDelegate(log, [](RDDICrashesDelegate& d, RDDICrashes& c, const RDDIErrorReport& r) {
        d.crashesWillSendErrorReport(c, r);
    });
}

void RDDICrashes::channelDidSucceedSendingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log) {
    relayToDelegate(log, [](RDDICrashesDelegate& d, RDDICrashes& c, const RDDIErrorReport& r) {
        d.crashesDidSucceedSendingErrorReport(c, r);
    });
}

void RDDICrashes::channelDidFailSendingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log,
                                           const std::string& error) {
    {
        // Before its enqueueing completes: the store did not take it.
        std::lock_guard lock(stateLock_);
        if (auto found = sending_.find(&log); found != sending_.end()) found->second.refused = true;
    }
    relayToDelegate(log, [error](RDDICrashesDelegate& d, RDDICrashes& c, const RDDIErrorReport& r) {
        d.crashesDidFailSendingErrorReport(c, r, error);
    });
}

// --- Handled errors and attachments --------------------------------------------------

std::optional<std::string> RDDICrashes::trackException(
    std::shared_ptr<RDDIExceptionModel> exception, const std::optional<std::map<std::string, std::string>>& properties,
    const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments) {
    return sharedInstance()->trackError(std::move(exception), properties, attachments);
}

std::optional<std::string> RDDICrashes::trackError(
    const pf::Error& error, const std::optional<std::map<std::string, std::string>>& properties,
    const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments) {
    return sharedInstance()->trackError(RDDIExceptionModel::withError(error), properties, attachments);
}

void RDDICrashes::sendErrorAttachmentsWithIncidentIdentifier(
    const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments, const std::string& incidentId) {
    sharedInstance()->sendErrorAttachments(attachments, incidentId);
}

bool RDDICrashes::validatePropertiesForAttachment(const RDDIErrorAttachmentLog& attachment) {
    const auto present = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    return present(attachment.errorId) && present(attachment.attachmentId) && attachment.data &&
           !attachment.data->empty() && present(attachment.contentType);
}

std::optional<std::string> RDDICrashes::trackError(
    std::shared_ptr<RDDIExceptionModel> exception, const std::optional<std::map<std::string, std::string>>& properties,
    const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments) {
    std::lock_guard lock(monitor());
    if (!canBeUsed() || !isEnabled()) return std::nullopt;
    auto log = std::make_shared<RDDIHandledErrorLog>();
    log->userId = RDDIUserIdContext::sharedInstance()->userId();
    log->errorId = pf::UUID().uuidString();
    log->exception = std::move(exception);
    if (properties && !properties->empty()) {
        log->properties = RDDIUtility::validateProperties(*properties, fmt::format("ErrorLog: {}", *log->errorId),
                                                          log->type.value_or(""));
    }
    if (channelUnit_) channelUnit_->enqueueItem(log, RDDIFlagsNormal);
    if (!attachments.empty()) sendErrorAttachments(attachments, *log->errorId);
    return log->errorId;
}

void RDDICrashes::sendErrorAttachments(const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments,
                                       const std::string& incidentId) {
    for (const auto& attachment : attachments) {
        if (!attachment) continue;
        attachment->errorId = incidentId;
        if (!validatePropertiesForAttachment(*attachment)) {
            RDDILogError(kRDDICrashesLogTag, "Not all required fields are present in RDDIErrorAttachmentLog.");
            continue;
        }
        if (attachment->data->size() > kRDDIMaxAttachmentSize) {
            RDDILogError(kRDDICrashesLogTag, "Discarding attachment with size above {} bytes: size={}, fileName={}.",
                         kRDDIMaxAttachmentSize, attachment->data->size(), attachment->filename.value_or("(null)"));
            continue;
        }
        if (channelUnit_) channelUnit_->enqueueItem(attachment, RDDIFlagsNormal);
    }
}

std::shared_ptr<RDDIErrorReport> RDDICrashes::buildHandledErrorReportWithErrorID(const std::string& errorId) const {
    return std::make_shared<RDDIErrorReport>(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                             appStartTime_, pf::Date::now(),
                                             RDDIDeviceTracker::sharedInstance()->device(), 0);
}


// --- Crash-time log buffer -----------------------------------------------------------

void RDDICrashes::setupLogBuffer() {
    std::lock_guard lock(monitor());
    RDDIUtility::createDirectoryForPathComponent(logBufferPathComponent_);
    for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n) {
        const auto component = fmt::format("{}/{}.{}", logBufferPathComponent_, n, kRDDILogBufferFileExtension);
        const auto url = RDDIUtility::fullURLForPathComponent(component);
        // Made before the first log can be buffered, so the crash-time writer always finds
        // its files' folder; an existing file keeps its content. Whatever else stands at a
        // name goes now, while it can be told: the crash-time writer only passes it over.
        if (url) RDDICrashesFiles::openOrCreate(*url, O_WRONLY, "a crash log buffer file");
        RDDICrashesLogBuffer::resetSlot(n, url ? url->string() : std::string());
    }
}

void RDDICrashes::channelDidPrepareLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log,
                                       const std::string& internalId, RDDIFlags) {
    if (!isEnabled()) return;
    if (dynamic_cast<const RDDIAppleErrorLog*>(&log) || dynamic_cast<const RDDIErrorAttachmentLog*>(&log)) return;
    std::lock_guard lock(monitor());
    const auto bytes = RDDIUtility::archiveKeyedData(&log);
    if (!bytes || bytes->empty()) return;
    std::string token;
    const auto tokens = log.transmissionTargetTokens();
    if (!tokens.empty()) token = targetTokenEncrypter_.encryptString(*tokens.begin()).value_or("");
    RDDILogVerbose(kRDDICrashesLogTag, "Storing a log to Crashes Buffer: (sid: {}, type: {})", log.sid.value_or(""),
                   log.type.value_or(""));
    const std::string_view data(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    RDDICrashesLogBuffer::store(data, token, internalId, pf::Date::now().timeIntervalSince1970());
}

void RDDICrashes::channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log,
                                                  const std::string& internalId) {
    std::optional<SendingReport> sent;
    {
        std::lock_guard lock(stateLock_);
        if (auto found = sending_.find(&log); found != sending_.end()) {
            sent = std::move(found->second);
            sending_.erase(found);
        }
    }
    if (sent && sent->refused) {
        RDDILogWarning(kRDDICrashesLogTag,
                       "The crash report \"{}\" could not be stored to be sent; it stays for a later launch.",
                       sent->file.string());
        releaseCrashFile(sent->file);
    } else if (sent) {
        removeCrashFile(sent->file);
        RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(sent->incidentId);
    }
    std::lock_guard lock(monitor());
    const auto freed = RDDICrashesLogBuffer::remove(internalId);
    for (const auto index : freed) {
        RDDILogVerbose(kRDDICrashesLogTag, "Deleting a log from buffer with id {}", internalId);
        if (RDDICrashesLogBuffer::crashWritten()) {
            RDDILogVerbose(kRDDICrashesLogTag, "Deleted a log from Crashes Buffer (sid: {}, type: {})",
                           log.sid.value_or(""), log.type.value_or(""));
            RDDILogVerbose(kRDDICrashesLogTag, "Deleted crash buffer file: {}.",
                           RDDICrashesLogBuffer::slot(index).logFilePath);
        }
    }
}

void RDDICrashes::updateConfiguration(std::optional<std::string> appSecret,
                                      std::optional<std::string> transmissionTargetToken) {
    processLogBufferAfterCrash();
    RDDIServiceAbstract::updateConfiguration(std::move(appSecret), std::move(transmissionTargetToken));
}

void RDDICrashes::processLogBufferAfterCrash() {
    if (!channelGroup_) return;
    bufferChannelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
        std::make_shared<const RDDIChannelUnitConfiguration>("CrashesBuffer", 2, 1, 50, 1));
    const auto folder = RDDIUtility::fullURLForPathComponent(logBufferPathComponent_);
    if (!folder) return;
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(*folder, ec)) entries.push_back(entry.path());
    if (ec) return;
    // Slot order, so that logs go out again in the order they were buffered in.
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return std::strtoul(a.stem().c_str(), nullptr, 10) < std::strtoul(b.stem().c_str(), nullptr, 10);
    });
    const std::string extension = std::string(".") + kRDDILogBufferFileExtension;
    for (const auto& path : entries) {
        if (path.extension() != extension) continue;
        // Each file is replayed by one launch: another starting now passes over those held
        // here, and finds them empty once they are let go. Nothing but a file is read.
        auto claim = RDDIClaimedFile::claim(path, O_RDWR);
        if (!claim) continue;
        const auto data = RDDICrashesFiles::readAll(claim->fd(), kRDDIMaxReadBackFileSize);
        struct stat info {};
        if (!data && ::fstat(claim->fd(), &info) == 0 &&
            static_cast<std::size_t>(info.st_size) > kRDDIMaxReadBackFileSize) {
            RDDILogError(kRDDICrashesLogTag,
                         "The crash log buffer file \"{}\" is larger than {} bytes; it was emptied unread.",
                         path.string(), kRDDIMaxReadBackFileSize);
        }
        // What is no log is emptied too: it would be read again at every launch.
        auto log = data && !data->empty() ? RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(*data) : nullptr;
        if (data && !data->empty() && !log) {
            RDDILogError(kRDDILogTag, "Deserialization failed for log: {}", "The log deserialized to NULL.");
        }
        if (log) {
            auto tokenPath = path.string();
            for (auto at = tokenPath.find(kRDDILogBufferFileExtension); at != std::string::npos;
                 at = tokenPath.find(kRDDILogBufferFileExtension, at)) {
                tokenPath.replace(at, std::strlen(kRDDILogBufferFileExtension), kRDDITargetTokenFileExtension);
            }
            RDDICrashesFiles::setAsideUnlessOwnFile(tokenPath, "a crash log buffer's token file");
            const auto tokenFile = RDDICrashesFiles::openRegular(tokenPath, O_RDONLY);
            const auto tokenBytes = tokenFile ? RDDICrashesFiles::readAll(tokenFile.get(), 4096) : std::nullopt;
            const std::string tokenText = tokenBytes ? std::string(tokenBytes->begin(), tokenBytes->end()) : "";
            if (!tokenText.empty()) {
                if (auto token = targetTokenEncrypter_.decryptString(tokenText)) {
                    log->addTransmissionTargetToken(*token);
                } else {
                    RDDILogError(kRDDILogTag, "Failed to decrypt the target token.");
                }
                std::filesystem::remove(tokenPath, ec);
            }
            RDDILogDebug(kRDDICrashesLogTag, "Re-enqueueing buffered log, type: {}.", log->type.value_or(""));
            bufferChannelUnit_->enqueueItem(log, RDDIFlagsNormal);
        }
        if (::ftruncate(claim->fd(), 0) != 0) {
            RDDILogError(kRDDICrashesLogTag, "Couldn't empty the crash log buffer file {}: {}", path.string(),
                         std::strerror(errno));
        }
    }
}

void RDDICrashes::emptyLogBufferFiles() {
    const auto folder = RDDIUtility::fullURLForPathComponent(logBufferPathComponent_);
    std::error_code ec;
    std::filesystem::directory_iterator it;
    if (folder) it = std::filesystem::directory_iterator(*folder, ec);
    if (!folder || ec) {
        RDDILogError(kRDDICrashesLogTag, "Couldn't get files in the directory \"{}\"", logBufferPathComponent_);
        return;
    }
    const std::string extension = std::string(".") + kRDDILogBufferFileExtension;
    for (const auto& entry : it) {
        if (entry.path().extension() != extension) continue;
        // Emptied in place, never through a link.
        const auto fd = RDDICrashesFiles::openRegular(entry.path(), O_WRONLY);
        struct stat info {};
        if (fd && ::fstat(fd.get(), &info) == 0 && info.st_size > 0) (void)::ftruncate(fd.get(), 0);
    }
}

}  // namespace rddi
