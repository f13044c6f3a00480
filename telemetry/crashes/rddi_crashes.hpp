#pragma once
// The crash-reporting service: configures the crash reporter once, watches memory
// pressure while enabled, and owns the stored crash reports, the crash-time log buffer
// files and the analyser marker under the SDK folder.
#include "crashreporter/crash_reporter.hpp"
#include "platform/dispatch/memory_pressure_source.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/exception.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_encrypter.hpp"
#include "telemetry/core/rddi_service.hpp"
#include "telemetry/crashes/rddi_crashes_files.hpp"
#include "telemetry/crashes/rddi_error_attachment_log.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

inline constexpr const char* kRDDIAppDidReceiveMemoryWarningKey = "AppDidReceiveMemoryWarning";
inline constexpr const char* kRDDIUserConfirmationKey = "CrashesUserConfirmation";
inline constexpr const char* kRDDIAnalyzerFilename = "RDCrashes.analyzer";
// Beside it: the lock of the launch copying the pending reports, and the copy it is writing.
inline constexpr const char* kRDDIAnalyzerLockFilename = "RDCrashes.analyzer.lock";
inline constexpr const char* kRDDICrashCopyFilename = "RDCrashes.copy.partial";

// A wrapper SDK's say in how the crash handlers are set up; every operation is optional.
class RDDICrashHandlerSetupDelegate {
public:
    virtual ~RDDICrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() {}
    virtual void didSetUpCrashHandlers() {}
    virtual bool shouldEnableUncaughtExceptionHandler() { return true; }
};

class RDDICrashes;

enum RDDIUserConfirmation : unsigned {
    RDDIUserConfirmationDontSend = 0,
    RDDIUserConfirmationSend = 1,
    RDDIUserConfirmationAlways = 2,
};

// The host's say about crash reports; every operation is optional. Called on the main
// thread, except shouldProcessErrorReport and attachments, which run on the processing queue.
class RDDICrashesDelegate {
public:
    virtual ~RDDICrashesDelegate() = default;
    virtual bool crashesShouldProcessErrorReport(RDDICrashes& /*crashes*/, const RDDIErrorReport& /*report*/) {
        return true;
    }
    virtual void crashesWillSendErrorReport(RDDICrashes& /*crashes*/, const RDDIErrorReport& /*report*/) {}
    virtual void crashesDidSucceedSendingErrorReport(RDDICrashes& /*crashes*/, const RDDIErrorReport& /*report*/) {}
    virtual void crashesDidFailSendingErrorReport(RDDICrashes& /*crashes*/, const RDDIErrorReport& /*report*/,
                                                  const std::string& /*error*/) {}
    // None: no attachments for this report.
    virtual std::optional<std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>> attachmentsWithCrashes(
        RDDICrashes& /*crashes*/, const RDDIErrorReport& /*report*/) {
        return std::nullopt;
    }
};

// Shown the reports awaiting a decision; true means the host will answer later through
// notifyWithUserConfirmation. Runs on the main thread.
using RDDIUserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<RDDIErrorReport>>&)>;

class RDDICrashes final : public RDDIServiceAbstract,
                          public RDDIChannelDelegate,
                          public std::enable_shared_from_this<RDDICrashes> {
public:
    static constexpr std::int64_t kInitializationPriority = 999;

    static std::shared_ptr<RDDICrashes> sharedInstance();
    static void resetSharedInstance();
    static RDDIServiceClass serviceClass();

    // --- Class interface (forwards to the shared instance) -----------------------
    // Stops the process with a trap the crash reporter records; never returns when usable.
    static void generateTestCrash();
    static bool hasCrashedInLastSession();
    static bool hasReceivedMemoryWarningInLastSession();
    static void disableMachExceptionHandler();
    static std::shared_ptr<RDDIErrorReport> lastSessionCrashReport();
    // Held weakly.
    static void setDelegate(const std::shared_ptr<RDDICrashesDelegate>& delegate);
    static std::shared_ptr<RDDICrashesDelegate> delegate();
    static void setUserConfirmationHandler(RDDIUserConfirmationHandler handler);
    static RDDIUserConfirmationHandler userConfirmationHandler();
    static void notifyWithUserConfirmation(unsigned confirmation);
    // The new error id; none when the service cannot be used or is disabled.
    static std::optional<std::string> trackException(
        std::shared_ptr<RDDIExceptionModel> exception,
        const std::optional<std::map<std::string, std::string>>& properties = std::nullopt,
        const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments = {});
    // The error wrapped in an exception model with this call's stack.
    static std::optional<std::string> trackError(
        const platform::foundation::Error& error,
        const std::optional<std::map<std::string, std::string>>& properties = std::nullopt,
        const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments = {});
    static void sendErrorAttachmentsWithIncidentIdentifier(
        const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments, const std::string& incidentId);
    static bool validatePropertiesForAttachment(const RDDIErrorAttachmentLog& attachment);
    static void applicationDidReportException(const platform::foundation::Exception& exception);
    // The wrapper SDK's set-up delegate, held weakly by RDDIWrapperCrashesHelper; none by default.
    static void setCrashHandlerSetupDelegate(std::shared_ptr<RDDICrashHandlerSetupDelegate> delegate);

    // --- Instance ----------------------------------------------------------------
    RDDICrashes();

    std::string serviceName() const override { return "Crashes"; }
    std::string groupId() const override { return "Crashes"; }
    std::string logTag() const override { return kRDDICrashesLogTag; }
    std::string className() const override { return "RDDICrashes"; }
    bool isAppSecretRequired() const override { return true; }
    std::int64_t initializationPriority() const override { return kInitializationPriority; }
    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration() const override {
        return channelUnitConfiguration_;
    }

    void startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                               std::optional<std::string> appSecret,
                               std::optional<std::string> transmissionTargetToken, bool fromApplication) override;
    void applyEnabledState(bool isEnabled) override;

    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enable);
    void applicationWillEnterForeground();

    // --- Pending reports ---------------------------------------------------------
    // Copies every report crashes left into the crashes folder and purges it from the reporter,
    // unless another launch of the program is doing so now: then they are left to it.
    void handleLatestCrashReport();
    // What became of one pending report: its error report once stored (and claimed by this
    // launch); `purge` false when it could not be stored, so that it stays for a later launch.
    struct PendingCopy {
        std::shared_ptr<RDDIErrorReport> report;
        bool purge = true;
    };
    PendingCopy copyPendingCrashReport(const std::string& path);
    // Whatever holds the pending-report path but a regular file is removed, with one line.
    void removeNonReportAtPendingPath();
    // Whatever stands where one of the reporter's folders belongs and is no folder is
    // removed before enabling, with one line.
    void removeNonFolderInPlaceOfReporterFolder();
    // Stored crash files in name order, which is the order of the crashes.
    std::vector<std::filesystem::path> persistedCrashReports() const;
    // Those of them no other running launch holds, each now held by this one until it is sent
    // or deleted, or this launch ends.
    std::vector<std::filesystem::path> claimStoredCrashReports(const std::vector<std::filesystem::path>& files);
    void startDelayedCrashProcessing();
    void startCrashProcessing();
    void processCrashReports();
    bool shouldProcessErrorReport(const RDDIErrorReport& report);
    bool sendCrashReportsOrAwaitUserConfirmation();
    bool userPromptedForConfirmation();
    bool shouldAlwaysSend() const;
    void notifyWithUserConfirmationValue(unsigned confirmation);
    void handleUserConfirmation(unsigned confirmation);
    void clearUnprocessedReports();
    // Blocks until processing has run; at once (empty) on a service that never enabled.
    std::vector<std::shared_ptr<RDDIErrorReport>> unprocessedCrashReports();
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& ids);

    // --- Crash-time log buffer -------------------------------------------------------
    void setupLogBuffer();
    void processLogBufferAfterCrash();
    void emptyLogBufferFiles();
    std::shared_ptr<RDDIChannelUnitProtocol> bufferChannelUnit() const { return bufferChannelUnit_; }
    void channelDidPrepareLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                              const std::string& internalId, RDDIFlags flags) override;
    void channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                         const std::string& internalId) override;
    void updateConfiguration(std::optional<std::string> appSecret,
                             std::optional<std::string> transmissionTargetToken) override;

    // --- Handled errors and attachments ---------------------------------------------
    std::optional<std::string> trackError(std::shared_ptr<RDDIExceptionModel> exception,
                                          const std::optional<std::map<std::string, std::string>>& properties,
                                          const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments);
    void sendErrorAttachments(const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments,
                              const std::string& incidentId);
    std::shared_ptr<RDDIErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId) const;

    void channelWillSendLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidSucceedSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidFailSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                  const std::string& error) override;
    void didReceiveMemoryWarning();
    void processMemoryWarningInLastSession();
    void clearContextHistoryAndKeepCurrentSession();

    void createAnalyzerFile() { createAnalyzerFile(std::string()); }
    // Names the pending report being decoded (its file name), for the next launch to purge
    // should this one end meanwhile.
    void createAnalyzerFile(const std::string& reportName);
    void removeAnalyzerFile();
    void deleteAllFromCrashesDirectory();
    void deleteCrashReportWithFileURL(const std::filesystem::path& url);

    bool didCrashInLastSession() const { return didCrashInLastSession_; }
    bool didReceiveMemoryWarningInLastSession() const { return didReceiveMemoryWarningInLastSession_; }
    bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
    void setEnableMachExceptionHandler(bool enable) { enableMachExceptionHandler_ = enable; }
    lvcrash::RDLVCrashReporter* lvCrashReporter() const { return lvCrashReporter_.get(); }
    platform::foundation::UncaughtExceptionHandler exceptionHandler() const { return exceptionHandler_; }
    bool hasMemoryPressureSource() const;
    const std::string& crashesPathComponent() const { return crashesPathComponent_; }
    const std::string& logBufferPathComponent() const { return logBufferPathComponent_; }
    const std::string& analyzerInProgressFilePathComponent() const { return analyzerInProgressFilePathComponent_; }
    std::vector<std::filesystem::path> crashFiles() const;
    platform::foundation::Date appStartTime() const { return appStartTime_; }
    bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_; }
    void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
    const RDDIEncrypter& targetTokenEncrypter() const { return targetTokenEncrypter_; }

private:
    void signalDelayedProcessing();
    void relayToDelegate(const RDDIAbstractLog& log,
                         const std::function<void(RDDICrashesDelegate&, RDDICrashes&, const RDDIErrorReport&)>& call);
    void removeCrashFile(const std::filesystem::path& url);
    // Lets go of a stored crash file this launch holds without removing it.
    void releaseCrashFile(const std::filesystem::path& url);
    // What a launch that ended while decoding a pending report left in the marker: the report's
    // file name, empty for an earlier version's marker; none without a marker.
    std::optional<std::string> leftAnalyzerMarker();
    // Saves a decoded report as a new stored crash file, claimed by this launch; its path.
    std::optional<std::filesystem::path> storeCrashReport(const platform::foundation::Data& data);

    // A crash log enqueued and not yet stored: its report's file goes once the store has
    // taken the log, and stays for a later launch when it could not.
    struct SendingReport {
        std::shared_ptr<RDDIAppleErrorLog> log;
        std::filesystem::path file;
        std::string incidentId;
        bool refused = false;
    };

    std::shared_ptr<RDDIChannelUnitProtocol> bufferChannelUnit_;
    std::shared_ptr<RDDIErrorReport> lastSessionCrashReport_;
    std::weak_ptr<RDDICrashesDelegate> delegate_;
    RDDIUserConfirmationHandler userConfirmationHandler_;
    // The unprocessed lists, index-parallel; none until processing ran.
    std::optional<std::vector<std::shared_ptr<RDDIAppleErrorLog>>> unprocessedLogs_;
    std::vector<std::shared_ptr<RDDIErrorReport>> unprocessedReports_;
    std::vector<std::filesystem::path> unprocessedFilePaths_;
    std::mutex processingLock_;
    std::condition_variable processingDone_;
    bool delayedProcessingSignalled_ = false;
    // Held so that they fire on a clock that tests drive by hand.
    std::vector<platform::dispatch::DispatchTimer> delayedProcessingTimers_;

    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration_;
    std::atomic<bool> didCrashInLastSession_{false};
    std::atomic<bool> didReceiveMemoryWarningInLastSession_{false};
    std::atomic<bool> enableMachExceptionHandler_{true};
    std::atomic<bool> automaticProcessingEnabled_{true};
    std::unique_ptr<lvcrash::RDLVCrashReporter> lvCrashReporter_;
    platform::foundation::UncaughtExceptionHandler exceptionHandler_ = nullptr;
    mutable std::mutex stateLock_;
    std::optional<platform::dispatch::MemoryPressureSource> memoryPressureSource_;
    std::vector<std::filesystem::path> crashFiles_;
    // The stored crash files this launch holds, open and locked.
    std::map<std::filesystem::path, RDDIClaimedFile> claims_;
    std::map<const RDDIAbstractLog*, SendingReport> sending_;
    std::string crashesPathComponent_;
    std::string logBufferPathComponent_;
    std::string analyzerInProgressFilePathComponent_;
    platform::foundation::Date appStartTime_;
    RDDIEncrypter targetTokenEncrypter_;
};

}  // namespace rddi
