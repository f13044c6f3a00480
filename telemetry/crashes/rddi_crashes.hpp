#pragma once
// The crash-reporting service: configures the crash reporter once, watches memory
// pressure while enabled, and owns the stored crash reports, the crash-time log buffer
// files and the analyser marker under the SDK folder.
#include "crashreporter/crash_reporter.hpp"
#include "platform/dispatch/memory_pressure_source.hpp"
#include "platform/foundation/exception.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_encrypter.hpp"
#include "telemetry/core/rddi_service.hpp"

#include <atomic>
#include <chrono>
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

// A wrapper SDK's say in how the crash handlers are set up; every operation is optional.
class RDDICrashHandlerSetupDelegate {
public:
    virtual ~RDDICrashHandlerSetupDelegate() = default;
    virtual void willSetUpCrashHandlers() {}
    virtual void didSetUpCrashHandlers() {}
    virtual bool shouldEnableUncaughtExceptionHandler() { return true; }
};

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
    static void applicationDidReportException(const platform::foundation::Exception& exception);
    // The wrapper SDK's set-up delegate; none by default.
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
    void didReceiveMemoryWarning();
    void processMemoryWarningInLastSession();
    void clearContextHistoryAndKeepCurrentSession();

    void createAnalyzerFile();
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
    std::chrono::system_clock::time_point appStartTime() const { return appStartTime_; }
    bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_; }
    void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
    const RDDIEncrypter& targetTokenEncrypter() const { return targetTokenEncrypter_; }

private:
    // Stored crash report files, oldest name first.
    std::vector<std::filesystem::path> persistedCrashReports() const;

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
    std::string crashesPathComponent_;
    std::string logBufferPathComponent_;
    std::string analyzerInProgressFilePathComponent_;
    std::chrono::system_clock::time_point appStartTime_;
    RDDIEncrypter targetTokenEncrypter_;
};

}  // namespace rddi
