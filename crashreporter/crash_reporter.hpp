#pragma once
// The one object the crash service drives: configured once, enabled once per process, then
// asked for the report an earlier run left on disk. Enabling prepares everything the crash
// path needs in process-wide storage. It also writes live reports of running threads.
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <ucontext.h>
#include <vector>

#include "crashreporter/mach_exception_server.hpp"
#include "crashreporter/report_writer.hpp"
#include "crashreporter/reporter_error.hpp"

namespace platform::foundation {
class Bundle;
}

namespace lvcrash {

inline constexpr std::uint64_t LVCrashReporterSignalHandlerTypeBSD = 0;
inline constexpr std::uint64_t LVCrashReporterSignalHandlerTypeMach = 1;
inline constexpr std::uint64_t LVCrashReporterSymbolicationStrategyNone = 0;
inline constexpr std::uint64_t LVCrashReporterSymbolicationStrategySymbolTable = 1;
inline constexpr std::uint64_t LVCrashReporterSymbolicationStrategyObjC = 2;
inline constexpr std::uint64_t LVCrashReporterSymbolicationStrategyAll = 3;

// The name of the programming-error exception the reporter raises.
inline constexpr const char* kCrashReporterExceptionName = "LVCrashReporterException";
// The fixed folder under the base folder that holds every application's report folder.
inline constexpr const char* kCrashReporterFolderName = "com.norvane.crashreporter";
// In an application's report folder: the name crash reports are named after (the one report
// an earlier version left), and the queue's folder.
inline constexpr const char* kPendingReportName = "live_report.lvcrash";
inline constexpr const char* kQueuedReportsFolderName = "queued_reports";

class RDLVCrashReporterConfig {
public:
    // Type 0, no symbols, the uncaught-exception handler installed, the user's caches folder.
    RDLVCrashReporterConfig() = default;
    RDLVCrashReporterConfig(std::uint64_t signalHandlerType, std::uint64_t symbolicationStrategy,
                            bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath);
    static RDLVCrashReporterConfig defaultConfiguration() { return {}; }
    static RDLVCrashReporterConfig initWithBasePath(std::string basePath);
    static RDLVCrashReporterConfig initWithSignalHandlerType(std::uint64_t type, std::uint64_t strategy);
    static RDLVCrashReporterConfig initWithSignalHandlerTypeAndBasePath(std::uint64_t type, std::uint64_t strategy,
                                                                        std::string basePath);
    static RDLVCrashReporterConfig initWithSignalHandlerTypeAndUncaughtExceptionHandler(std::uint64_t type,
                                                                                        std::uint64_t strategy,
                                                                                        bool shouldRegister);

    std::uint64_t signalHandlerType() const { return signalHandlerType_; }
    std::uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }
    const std::optional<std::string>& basePath() const { return basePath_; }

private:
    std::uint64_t signalHandlerType_ = LVCrashReporterSignalHandlerTypeBSD;
    std::uint64_t symbolicationStrategy_ = LVCrashReporterSymbolicationStrategyNone;
    bool shouldRegisterUncaughtExceptionHandler_ = true;
    std::optional<std::string> basePath_;
};

// An entry found where one of the reporter's folders belongs.
struct NonFolderEntry {
    std::string path;
    std::string kind;  // "file", "FIFO", "symbolic link", "socket", "device"
};

// A folder of the reporter's that enabling did not use, and why ("belongs to another user
// (uid 1000)", "is a symbolic link", "could not be made (Permission denied)"…).
struct RefusedFolder {
    std::string path;
    std::string why;
};

struct LVCrashReporterCallbacks {
    std::uint16_t version;  // must be 0
    void* context;
    // Runs at crash time after the report is complete; must be async-signal-safe.
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

class RDLVCrashReporter {
public:
    // Made once, with the main bundle and the default configuration.
    static RDLVCrashReporter& sharedReporter();

    RDLVCrashReporter();
    explicit RDLVCrashReporter(RDLVCrashReporterConfig configuration);
    // The identifier is the bundle's, else this process's name; with neither, raises
    // "LVCrashReporterException".
    RDLVCrashReporter(const platform::foundation::Bundle& bundle, RDLVCrashReporterConfig configuration);
    RDLVCrashReporter(std::string applicationIdentifier, std::string appVersion,
                      std::optional<std::string> appMarketingVersion, RDLVCrashReporterConfig configuration);
    ~RDLVCrashReporter();
    RDLVCrashReporter(const RDLVCrashReporter&) = delete;
    RDLVCrashReporter& operator=(const RDLVCrashReporter&) = delete;

    bool enableCrashReporter() { return enableCrashReporterAndReturnError(nullptr); }
    bool enableCrashReporterAndReturnError(ReporterError* error);

    // The reports crashes left for the next launch, oldest first: a report an earlier version
    // left at crashReportPath(), then each crash's own (named after it, see report_location.hpp),
    // in the report folder and in any other folder of the reporter's that is this user's (one
    // an earlier launch wrote into). Only regular files of this user's with one name are reports.
    std::vector<std::string> pendingCrashReportPaths() const;
    bool hasPendingCrashReport() const;
    // What holds the pending-report path when it is no report: anything but a regular file
    // of this user's with one name ("folder", "FIFO", "symbolic link", "socket", "device",
    // "file with another name", "file of another user"). None for a report or nothing. No
    // crash left it there.
    std::optional<std::string> nonReportAtPendingPath() const;
    // What of this user's stands where one of the reporter's own folders belongs (the one
    // shared by every application, the application's, the queue in it) and is no folder. A
    // link counts even when it leads to a folder: reports must not go wherever it leads.
    // Another user's is not this user's to remove: enabling passes it over.
    std::optional<NonFolderEntry> nonFolderInPlaceOfReportFolder() const;
    // Removes it: the entry itself, never what a link leads to.
    bool removeNonFolderInPlaceOfReportFolderAndReturnError(ReporterError* error);
    // The oldest pending report.
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData() const {
        return loadPendingCrashReportDataAndReturnError(nullptr);
    }
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportDataAndReturnError(ReporterError* error) const;
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportDataAtPath(const std::string& path,
                                                                              ReporterError* error) const;
    // Removes every pending report and whatever holds the pending-report path, a folder with
    // what it holds; fails with the error of that path when there was nothing to remove.
    bool purgePendingCrashReport() { return purgePendingCrashReportAndReturnError(nullptr); }
    bool purgePendingCrashReportAndReturnError(ReporterError* error);
    // Removes one of them.
    bool purgePendingCrashReportAtPath(const std::string& path, ReporterError* error);

    std::optional<std::vector<std::uint8_t>> generateLiveReportWithThread(port_t thread, ReporterError* error = nullptr);
    std::optional<std::vector<std::uint8_t>> generateLiveReport(ReporterError* error = nullptr);

    // Before enabling only: afterwards raises "LVCrashReporterException".
    void setCrashCallbacks(const LVCrashReporterCallbacks* callbacks);

    const std::optional<std::vector<std::uint8_t>>& customData() const { return customData_; }
    void setCustomData(std::optional<std::vector<std::uint8_t>> data);

    const RDLVCrashReporterConfig& config() const { return config_; }
    bool enabled() const { return enabled_; }
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    // The report folder: "<base>/com.norvane.crashreporter/<application>" until enabling,
    // then the one crashes are written into. That is the usual one when it is this user's
    // own; else a private folder of the user's beside it ("com.norvane.crashreporter-XXXXXX",
    // the one made before or a new one), else the same in the runtime folder
    // ($XDG_RUNTIME_DIR). Its folders are made 0700, and narrowed to it when found wider.
    const std::string& crashReportDirectory() const { return crashReportDirectory_; }
    // The folders enabling did not use, in the order it tried them.
    const std::vector<RefusedFolder>& refusedFolders() const { return refusedFolders_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;

private:
    // The reporter's own folders below the base, outermost first.
    std::vector<std::string> ownFolderNames() const;
    // Opens (making what is missing) the folder `top` below `base`, the application's folder
    // in it and its queue, each one only when it is this user's own; the application's
    // folder, or -1 with the folder refused added to refusedFolders_.
    int openReportFolder(const std::string& base, const std::string& top);
    // The report folder and every other folder of the reporter's, this user's own, where a
    // launch may have left reports.
    std::vector<std::string> reportFolders() const;
    bool enableMachExceptionServer(ReporterError* error);
    std::optional<std::vector<std::uint8_t>> writeLiveReport(port_t thread, std::uint64_t caller, ReporterError* error);

    RDLVCrashReporterConfig config_;
    bool enabled_ = false;
    std::unique_ptr<RDLVCrashMachExceptionServer> machServer_;
    std::optional<RDLVCrashMachExceptionPortSet> previousMachPorts_;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::string baseDirectory_;
    std::string applicationFolderName_;
    std::string crashReportDirectory_;
    std::vector<RefusedFolder> refusedFolders_;
    std::optional<std::vector<std::uint8_t>> customData_;
};

// What a file-system entry of that mode is, in the words of the SDK's log: "file", "folder",
// "FIFO", "symbolic link", "socket" or "device".
std::string entryKindName(mode_t mode);

// The reports crashes finished in folder, named after name (see report_location.hpp), in the
// order of the crashes. Only regular files are reports.
std::vector<std::string> finishedCrashReportPaths(const std::string& folder, const std::string& name);

// The server callback of Mach mode: previous ports first, else the pending report is written
// (the faulting thread as crashed thread) and KERN_FAILURE lets the signal follow.
lvcrash_kern_return_t lvcrash_mach_exception_crash_callback(port_t task, port_t thread, int exception_type,
                                                            const std::int64_t* codes, std::uint32_t code_count,
                                                            void* context);

// For tests: forget that a reporter was enabled in this process (no capture is removed).
void lvcrash_reporter_reset_for_tests();

}  // namespace lvcrash
