#include "crashreporter/crash_reporter.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "crashreporter/async.hpp"
#include "crashreporter/mach_exception_crash.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/signal_handler.hpp"
#include "crashreporter/thread_state.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/exception.hpp"
#include "platform/log/system_log.hpp"

namespace lvcrash {

namespace darwin = platform::darwin;
namespace foundation = platform::foundation;

namespace {

constexpr std::uint64_t kLiveReportLimit = 262144;
constexpr std::uint32_t kExceptionMask = 0x6E;
constexpr std::uint32_t kExceptionMaskWithGuard = 0x106E;

void logInfo(const std::string& line) {
    static const platform::log::SystemLog log("LVCrashReporter", "crash");
    log.info("[LVCrashReporter] " + line);
}

[[noreturn]] void raiseReporterException(const std::string& reason) {
    foundation::Exception::raise(kCrashReporterExceptionName, reason);
}

// Process-wide: the enable once-flag under its lock, the crash-time writer and report path,
// and the uncaught-exception once-flag.
std::mutex enableLock;
bool reporterEnabled = false;
lvcrash_log_writer_t* processWriter = nullptr;
std::atomic<int> exceptionRecorded{0};
// What the signal capture's crash callback reads.
lvcrash_crash_context signalCrashContext{};

bool registerSignal(int signo, ReporterError* error) {
    std::optional<foundation::Error> failure;
    if (RDLVCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, lvcrash_signal_crash_callback,
                                                                         &signalCrashContext, &failure)) {
        return true;
    }
    setError(error, ReporterError{failure ? failure->domain() : kCrashReporterErrorDomain,
                                  failure ? failure->code() : kCrashReporterErrorOperatingSystem,
                                  failure ? failure->what() : "Could not register the signal handler", "", 0});
    return false;
}

// The shared image list, kept current by the loader's callbacks from first use on (they run
// at once for the images already loaded).
lvcrash_async_image_list* imageList = nullptr;

void imageAdded(const void* header, std::intptr_t) {
    Dl_info info{};
    if (dladdr(header, &info) == 0 || info.dli_fname == nullptr) {
        // The system's dladdr knows ELF objects only; Mach-O images are the loader's own.
        darwin::ImageAtAddress image;
        if (darwin::loader_image_containing_address(header, &image) && image.header == header) {
            lvcrash_async_image_list_append(imageList, reinterpret_cast<lvcrash_vm_address_t>(header),
                                            image.name.c_str());
            return;
        }
        char address[32];
        std::snprintf(address, sizeof address, "%p", header);
        logInfo(std::string("image_add_callback: dladdr(") + address + ", ...) failed");
        return;
    }
    lvcrash_async_image_list_append(imageList, reinterpret_cast<lvcrash_vm_address_t>(header), info.dli_fname);
}

void imageRemoved(const void* header, std::intptr_t) {
    lvcrash_async_image_list_remove(imageList, reinterpret_cast<lvcrash_vm_address_t>(header));
}

lvcrash_async_image_list* sharedImageList() {
    static std::once_flag once;
    std::call_once(once, [] {
        imageList = new lvcrash_async_image_list;
        lvcrash_async_image_list_init(imageList, darwin::task_self());
        darwin::loader_register_add_image(imageAdded);
        darwin::loader_register_remove_image(imageRemoved);
    });
    return imageList;
}

std::string cachesDirectory() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.cache";
}

std::string temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

// mkdir -p with the given mode, through whatever links the user's own folders hold; errno of
// the first failure.
int makeFolders(const std::string& path, mode_t mode) {
    std::string partial;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        partial = path.substr(0, at);
        if (partial.empty()) continue;
        struct stat info {};
        if (stat(partial.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) return ENOTDIR;
            continue;
        }
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

// Where the reporter's folders may be: a base folder and the name of the reporter's own
// folder in it.
struct FolderPlace {
    std::string base;
    std::string top;
};

// Folders of the reporter's made beside the usual one when that is not this user's: its name,
// a dash and six characters of mkdtemp().
std::string privateFolderPrefix() { return std::string(kCrashReporterFolderName) + "-"; }

// The user's runtime folder (XDG_RUNTIME_DIR), which the system makes for the user alone;
// empty when there is none.
std::string runtimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && runtime[0] == '/' ? runtime : "";
}

// Whether path names a folder of this user's, not reached through a link at its last name.
bool isOwnFolder(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

// The private folders of the reporter's below the base, in name order.
std::vector<std::string> privateFolders(const std::string& base) {
    std::vector<std::string> names;
    DIR* dir = opendir(base.c_str());
    if (dir == nullptr) return names;
    const std::string prefix = privateFolderPrefix();
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix) && isOwnFolder(base + "/" + name))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Why a folder of the reporter's was not used, in the words of the SDK's log.
std::string refusalText(const lvcrash_folder_check& check) {
    switch (check.refusal) {
    case LVCRASH_FOLDER_NOT_MADE:
        return std::string("could not be made (") + std::strerror(check.error) + ")";
    case LVCRASH_FOLDER_NOT_A_FOLDER:
        return "is a " + entryKindName(check.found.st_mode) +
               (check.found.st_uid != geteuid() ? " of another user (uid " + std::to_string(check.found.st_uid) + ")"
                                                : std::string());
    case LVCRASH_FOLDER_OF_ANOTHER_USER:
        return "belongs to another user (uid " + std::to_string(check.found.st_uid) + ")";
    case LVCRASH_FOLDER_NOT_WRITABLE:
        return std::string("cannot be written into (") + std::strerror(check.error ? check.error : EACCES) + ")";
    case LVCRASH_FOLDER_USED:
        break;
    }
    return "cannot be used";
}

// The folder the crash path writes into when its path leads nowhere, open for the life of
// the process, and the path texts by which the crash path opens it first.
int reportFolderFd = -1;
std::string& crashBasePath() {
    static auto* text = new std::string;
    return *text;
}
std::string& crashTopFolderName() {
    static auto* text = new std::string;
    return *text;
}
std::string& crashApplicationFolderName() {
    static auto* text = new std::string;
    return *text;
}

// A process killed while its crash was being written leaves the file it wrote under its own
// name; nothing else would ever remove it. One whose writer still runs (another instance of
// the program, crashing now) is left to finish.
void removePartialReportsOfEndedProcesses(int folder) {
    const int listing = dup(folder);
    if (listing < 0) return;
    DIR* dir = fdopendir(listing);
    if (dir == nullptr) {
        close(listing);
        return;
    }
    std::vector<std::string> ended;
    while (const dirent* entry = readdir(dir)) {
        pid_t writer = 0;
        if (!lvcrash_report_partial_writer(kPendingReportName, entry->d_name, &writer)) continue;
        if (writer == getpid() || (kill(writer, 0) != 0 && errno == ESRCH)) ended.emplace_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : ended) unlinkat(folder, name.c_str(), 0);
}

ReporterError fileError(int code, int err, const std::string& message) {
    return ReporterError{std::string(foundation::kFoundationErrorDomain), code, message, kPosixErrorDomain, err};
}

void uncaughtExceptionHandler(const foundation::Exception& exception) {
    int expected = 0;
    if (!exceptionRecorded.compare_exchange_strong(expected, 1)) return;
    if (processWriter != nullptr) {
        std::vector<std::uint64_t> addresses = exception.callStackReturnAddresses();
        RDlvcrash_log_writer_set_exception(processWriter, exception.name().c_str(), exception.reason().c_str(),
                                           addresses.data(), addresses.size());
    }
    std::abort();
}

struct LiveCall {
    lvcrash_log_writer_t* writer;
    lvcrash_async_file_t* file;
    const lvcrash_log_writer_signal_info* signal;
};

lvcrash_error_t writeLive(lvcrash_async_thread_state* state, void* context) {
    auto* call = static_cast<LiveCall*>(context);
    return lvcrash_log_writer_write(call->writer, darwin::mach_thread_self(), sharedImageList(), call->file,
                                    call->signal, state, false);
}

std::string localized(const std::string& key) { return foundation::Bundle::main().localizedString(key, key); }

}  // namespace

std::string entryKindName(mode_t mode) {
    if (S_ISREG(mode)) return "file";
    if (S_ISDIR(mode)) return "folder";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISSOCK(mode)) return "socket";
    return "device";
}

// ---- configuration ----

RDLVCrashReporterConfig::RDLVCrashReporterConfig(std::uint64_t signalHandlerType, std::uint64_t symbolicationStrategy,
                                                 bool shouldRegister, std::optional<std::string> basePath)
    : signalHandlerType_(signalHandlerType),
      symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegister),
      basePath_(std::move(basePath)) {}

RDLVCrashReporterConfig RDLVCrashReporterConfig::initWithBasePath(std::string basePath) {
    return {LVCrashReporterSignalHandlerTypeBSD, LVCrashReporterSymbolicationStrategyNone, true, std::move(basePath)};
}

RDLVCrashReporterConfig RDLVCrashReporterConfig::initWithSignalHandlerType(std::uint64_t type, std::uint64_t strategy) {
    return {type, strategy, true, std::nullopt};
}

RDLVCrashReporterConfig RDLVCrashReporterConfig::initWithSignalHandlerTypeAndBasePath(std::uint64_t type,
                                                                                      std::uint64_t strategy,
                                                                                      std::string basePath) {
    return {type, strategy, true, std::move(basePath)};
}

RDLVCrashReporterConfig RDLVCrashReporterConfig::initWithSignalHandlerTypeAndUncaughtExceptionHandler(
    std::uint64_t type, std::uint64_t strategy, bool shouldRegister) {
    return {type, strategy, shouldRegister, std::nullopt};
}

// ---- reporter ----

RDLVCrashReporter& RDLVCrashReporter::sharedReporter() {
    static RDLVCrashReporter* shared = new RDLVCrashReporter();
    return *shared;
}

RDLVCrashReporter::RDLVCrashReporter() : RDLVCrashReporter(RDLVCrashReporterConfig::defaultConfiguration()) {}

RDLVCrashReporter::RDLVCrashReporter(RDLVCrashReporterConfig configuration)
    : RDLVCrashReporter(foundation::Bundle::main(), std::move(configuration)) {}

namespace {

std::string identifierOf(const foundation::Bundle& bundle) {
    foundation::Value value = bundle.objectForInfoDictionaryKey("CFBundleIdentifier");
    if (const std::string* text = value.asString(); text != nullptr && !text->empty()) return *text;
    const char* name = program_invocation_short_name;
    if (name == nullptr || name[0] == '\0') {
        raiseReporterException("Can not determine process identifier or process name");
    }
    logInfo(std::string("Warning -- bundle identifier, using process name ") + name);
    return name;
}

std::string versionOf(const foundation::Bundle& bundle) {
    foundation::Value value = bundle.objectForInfoDictionaryKey("CFBundleVersion");
    if (const std::string* text = value.asString(); text != nullptr) return *text;
    logInfo("Warning -- bundle version unavailable");
    return "";
}

std::optional<std::string> marketingVersionOf(const foundation::Bundle& bundle) {
    foundation::Value value = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (const std::string* text = value.asString(); text != nullptr) return *text;
    return std::nullopt;
}

}  // namespace

RDLVCrashReporter::RDLVCrashReporter(const foundation::Bundle& bundle, RDLVCrashReporterConfig configuration)
    : RDLVCrashReporter(identifierOf(bundle), versionOf(bundle), marketingVersionOf(bundle), std::move(configuration)) {}

RDLVCrashReporter::RDLVCrashReporter(std::string applicationIdentifier, std::string appVersion,
                                     std::optional<std::string> appMarketingVersion,
                                     RDLVCrashReporterConfig configuration)
    : config_(std::move(configuration)),
      applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(appVersion)),
      applicationMarketingVersion_(std::move(appMarketingVersion)) {
    sharedImageList();
    applicationFolderName_ = applicationIdentifier_;
    for (char& c : applicationFolderName_) {
        if (c == '/') c = '_';
    }
    baseDirectory_ = config_.basePath().value_or(cachesDirectory());
    crashReportDirectory_ = baseDirectory_ + "/" + kCrashReporterFolderName + "/" + applicationFolderName_;
}

std::vector<std::string> RDLVCrashReporter::ownFolderNames() const {
    return {kCrashReporterFolderName, applicationFolderName_, kQueuedReportsFolderName};
}

RDLVCrashReporter::~RDLVCrashReporter() = default;

std::string RDLVCrashReporter::queuedCrashReportDirectory() const {
    return crashReportDirectory_ + "/" + kQueuedReportsFolderName;
}

std::string RDLVCrashReporter::crashReportPath() const { return crashReportDirectory_ + "/" + kPendingReportName; }

int RDLVCrashReporter::openReportFolder(const std::string& base, const std::string& top) {
    int parent = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return -1;
    // The reporter's own folders below the base: the one shared by every application's (or
    // one beside it), the application's, the queue in it. None is followed as a link or used
    // unless it is this user's, and the application's folder and the queue must take files.
    const std::string names[] = {top, applicationFolderName_, kQueuedReportsFolderName};
    std::string path = base;
    int reportFolder = -1;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        path += "/" + names[i];
        lvcrash_folder_check check;
        const int next = lvcrash_open_own_folder(parent, names[i].c_str(), i > 0, &check);
        if (parent != reportFolder) close(parent);
        if (next < 0) {
            refusedFolders_.push_back({path, refusalText(check)});
            logInfo("The folder " + path + " " + refusedFolders_.back().why + ": crash reports are not kept in it");
            if (reportFolder >= 0) close(reportFolder);
            return -1;
        }
        if (i == 1) reportFolder = next;
        parent = next;
    }
    if (parent != reportFolder) close(parent);
    return reportFolder;
}

std::vector<std::string> RDLVCrashReporter::reportFolders() const {
    // The one crashes are written into, then any other of the user's own where an earlier
    // launch may have left reports.
    std::vector<std::string> folders{crashReportDirectory_};
    std::vector<std::string> tops{baseDirectory_ + "/" + kCrashReporterFolderName};
    for (const std::string& name : privateFolders(baseDirectory_)) tops.push_back(baseDirectory_ + "/" + name);
    if (const std::string runtime = runtimeDirectory(); !runtime.empty())
        tops.push_back(runtime + "/" + kCrashReporterFolderName);
    for (const std::string& top : tops) {
        const std::string folder = top + "/" + applicationFolderName_;
        if (folder != crashReportDirectory_ && isOwnFolder(top) && isOwnFolder(folder)) folders.push_back(folder);
    }
    return folders;
}

bool RDLVCrashReporter::enableCrashReporterAndReturnError(ReporterError* error) {
    {
        std::lock_guard<std::mutex> guard(enableLock);
        if (reporterEnabled) {
            setError(error, ReporterError{kCrashReporterErrorDomain, kCrashReporterErrorAlreadyEnabled,
                                          "A LVCrashReporter instance has already been enabled", "", 0});
            return false;
        }
        reporterEnabled = true;
    }
    const std::string& base = baseDirectory_;
    // The cache home's missing folders are made as XDG asks, for the user alone.
    const int baseError = makeFolders(base, 0700);
    refusedFolders_.clear();
    // The usual folder, else one of the user's own beside it (one made before, or a new one),
    // else the runtime folder: a crash is never written where another user can read it or
    // left out for want of a folder.
    std::vector<FolderPlace> places{{base, kCrashReporterFolderName}};
    for (const std::string& name : privateFolders(base)) places.push_back({base, name});
    const std::string runtime = runtimeDirectory();
    int folder = -1;
    const auto tryPlace = [&](const FolderPlace& place) -> const FolderPlace* {
        folder = openReportFolder(place.base, place.top);
        if (folder < 0) return nullptr;
        crashReportDirectory_ = place.base + "/" + place.top + "/" + applicationFolderName_;
        return &place;
    };
    const FolderPlace* chosen = nullptr;
    for (const FolderPlace& place : places) {
        if ((chosen = tryPlace(place)) != nullptr) break;
    }
    FolderPlace made;
    if (chosen == nullptr && baseError == 0) {
        std::string pattern = base + "/" + privateFolderPrefix() + "XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            made = {base, std::filesystem::path(pattern).filename().string()};
            chosen = tryPlace(made);
        }
    }
    FolderPlace runtimePlace{runtime, kCrashReporterFolderName};
    if (chosen == nullptr && !runtime.empty()) chosen = tryPlace(runtimePlace);
    if (chosen == nullptr) {
        const int err = baseError != 0 ? baseError : ENOTDIR;
        const std::string where = refusedFolders_.empty() ? base : refusedFolders_.front().path;
        setError(error, posixError(err, "Could not create the folder " + where + ": " + std::strerror(err)));
        crashReportDirectory_ = base + "/" + kCrashReporterFolderName + "/" + applicationFolderName_;
        return false;
    }
    // Only a test's reset lets a second reporter get here: its predecessor's folder goes.
    if (reportFolderFd >= 0) close(reportFolderFd);
    reportFolderFd = folder;
    removePartialReportsOfEndedProcesses(reportFolderFd);

    lvcrash_mach_crash_context* crash = lvcrash_mach_crash_context_shared();
    if (processWriter != nullptr) {
        lvcrash_log_writer_free(processWriter);
        delete processWriter;
    }
    // Where the next launch looks, by path: a crash written after the folder was moved away
    // (and another made) must land there, not in the folder held since now.
    crashBasePath() = std::filesystem::absolute(chosen->base).lexically_normal().string();
    crashTopFolderName() = chosen->top;
    crashApplicationFolderName() = applicationFolderName_;
    crash->report = lvcrash_report_location{reportFolderFd, kPendingReportName, crashBasePath().c_str(),
                                            {crashTopFolderName().c_str(), crashApplicationFolderName().c_str()}};
    crash->image_list = sharedImageList();

    auto* writer = new lvcrash_log_writer_t;
    const std::string marketing = applicationMarketingVersion_.value_or("");
    lvcrash_log_writer_init(writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? marketing.c_str() : nullptr,
                            static_cast<std::uint32_t>(config_.symbolicationStrategy() & 3), false);
    if (customData_) lvcrash_log_writer_set_custom_data(writer, customData_->data(), customData_->size());
    processWriter = writer;
    crash->writer = writer;
    signalCrashContext.writer = writer;
    signalCrashContext.report = crash->report;
    signalCrashContext.image_list = crash->image_list;

    if (config_.signalHandlerType() == LVCrashReporterSignalHandlerTypeBSD) {
        for (int signo : lvcrash_monitored_signals) {
            if (!registerSignal(signo, error)) return false;
        }
    } else if (config_.signalHandlerType() == LVCrashReporterSignalHandlerTypeMach) {
        if (!registerSignal(SIGABRT, error)) return false;
        if (!enableMachExceptionServer(error)) return false;
    }
    if (config_.shouldRegisterUncaughtExceptionHandler()) {
        foundation::setUncaughtExceptionHandler(uncaughtExceptionHandler);
    }
    enabled_ = true;
    return true;
}

bool RDLVCrashReporter::enableMachExceptionServer(ReporterError* error) {
    std::uint32_t mask = kExceptionMask;
    if (auto host = CrashHostInfo::currentHostInfo(); host && host->darwinVersion().major >= 13) {
        mask = kExceptionMaskWithGuard;
    }
    lvcrash_mach_crash_context* crash = lvcrash_mach_crash_context_shared();
    ReporterError cause;
    auto server = RDLVCrashMachExceptionServer::create(lvcrash_mach_exception_crash_callback, crash, &cause);
    if (!server) {
        setError(error, machError(static_cast<int>(cause.underlyingCode), "Failed to instantiate the Mach exception server."));
        return false;
    }
    auto port = server->exceptionPortWithMask(mask, &cause);
    if (!port) {
        setError(error, machError(static_cast<int>(cause.underlyingCode), "Failed to instantiate the Mach exception port."));
        return false;
    }
    std::optional<RDLVCrashMachExceptionPortSet> previous;
    if (!port->registerForTask(darwin::task_self(), &previous, &cause)) {
        setError(error, machError(static_cast<int>(cause.underlyingCode),
                                  "Failed to set the target task's mach exception ports."));
        return false;
    }
    crash->previous_ports = previous ? previous->asyncSafeRepresentation() : lvcrash_mach_exception_port_set{};
    machServer_ = std::move(server);
    previousMachPorts_ = std::move(previous);
    return true;
}

namespace {

bool isOwnReport(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && lvcrash_is_own_file(info);
}

// In the order of the crashes: by name without the extension, so that a report that had to
// take "-<n>" comes after the one that took the name first.
void sortByCrash(std::vector<std::string>& paths, const std::string& name) {
    const std::size_t extension = name.size() - std::min(name.size(), name.rfind('.'));
    const auto stem = [extension](const std::string& path) {
        const std::string_view file = std::string_view(path).substr(path.rfind('/') + 1);
        return file.substr(0, file.size() - extension);
    };
    std::stable_sort(paths.begin(), paths.end(),
                     [&](const std::string& a, const std::string& b) { return stem(a) < stem(b); });
}

}  // namespace

std::vector<std::string> finishedCrashReportPaths(const std::string& folder, const std::string& name) {
    std::vector<std::string> paths;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return paths;
    while (const dirent* entry = readdir(dir)) {
        if (!lvcrash_report_is_finished_name(name.c_str(), entry->d_name)) continue;
        std::string path = folder + "/" + entry->d_name;
        if (isOwnReport(path)) paths.push_back(std::move(path));
    }
    closedir(dir);
    sortByCrash(paths, name);
    return paths;
}

std::vector<std::string> RDLVCrashReporter::pendingCrashReportPaths() const {
    std::vector<std::string> paths;
    // Left by an earlier version, so older than any of the others.
    if (isOwnReport(crashReportPath())) paths.push_back(crashReportPath());
    std::vector<std::string> finished;
    for (const std::string& folder : reportFolders()) {
        const auto found = finishedCrashReportPaths(folder, kPendingReportName);
        finished.insert(finished.end(), found.begin(), found.end());
    }
    sortByCrash(finished, kPendingReportName);
    paths.insert(paths.end(), finished.begin(), finished.end());
    return paths;
}

bool RDLVCrashReporter::hasPendingCrashReport() const { return !pendingCrashReportPaths().empty(); }

std::optional<std::string> RDLVCrashReporter::nonReportAtPendingPath() const {
    struct stat info {};
    if (lstat(crashReportPath().c_str(), &info) != 0 || lvcrash_is_own_file(info)) return std::nullopt;
    if (S_ISREG(info.st_mode)) return info.st_uid != geteuid() ? "file of another user" : "file with another name";
    return entryKindName(info.st_mode);
}

std::optional<NonFolderEntry> RDLVCrashReporter::nonFolderInPlaceOfReportFolder() const {
    std::string path = baseDirectory_;
    for (const std::string& name : ownFolderNames()) {
        path += "/" + name;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) return std::nullopt;  // nothing there, nor below it
        // Another user's is theirs to remove: enabling passes it over.
        if (info.st_uid != geteuid()) return std::nullopt;
        if (!S_ISDIR(info.st_mode)) return NonFolderEntry{path, entryKindName(info.st_mode)};
    }
    return std::nullopt;
}

bool RDLVCrashReporter::removeNonFolderInPlaceOfReportFolderAndReturnError(ReporterError* error) {
    const auto entry = nonFolderInPlaceOfReportFolder();
    if (!entry) return true;
    // Never a folder: the entry goes, a link's target stays as it is.
    if (unlink(entry->path.c_str()) != 0) {
        const int err = errno;
        setError(error, fileError(err == ENOENT ? 4 : 512, err, "The file " + entry->path + " couldn't be removed."));
        return false;
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> RDLVCrashReporter::loadPendingCrashReportDataAndReturnError(
    ReporterError* error) const {
    const auto paths = pendingCrashReportPaths();
    return loadPendingCrashReportDataAtPath(paths.empty() ? crashReportPath() : paths.front(), error);
}

std::optional<std::vector<std::uint8_t>> RDLVCrashReporter::loadPendingCrashReportDataAtPath(
    const std::string& path, ReporterError* error) const {
    int err = 0;
    std::optional<std::vector<std::uint8_t>> bytes;
    // Never a FIFO waited on or a link followed; only a report of this user's, decided on
    // what was opened.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    struct stat info {};
    if (fd < 0) {
        err = errno;
    } else if (fstat(fd, &info) != 0 || !lvcrash_is_own_file(info)) {
        err = S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EPERM : EINVAL;
    } else {
        bytes = readCrashReportDescriptor(fd, &err);
    }
    if (fd >= 0) close(fd);
    if (!bytes && err == EFBIG) {
        setError(error, fileError(263, err, "The file " + path + " is too large to be a crash report."));
    } else if (!bytes) {
        setError(error, fileError(err == ENOENT ? 260 : 256, err, "The file " + path + " couldn't be opened."));
    }
    return bytes;
}

bool RDLVCrashReporter::purgePendingCrashReportAtPath(const std::string& path, ReporterError* error) {
    int err = unlink(path.c_str()) == 0 ? 0 : errno;
    if (err == EISDIR) {
        // The link-free walk removes what the folder holds, never what its links lead to.
        std::error_code removal;
        std::filesystem::remove_all(path, removal);
        err = removal.value();
    }
    if (err != 0) {
        setError(error, fileError(err == ENOENT ? 4 : 512, err, "The file " + path + " couldn't be removed."));
        return false;
    }
    return true;
}

bool RDLVCrashReporter::purgePendingCrashReportAndReturnError(ReporterError* error) {
    // Whatever holds the old single name goes too; its error stands when there was nothing at all.
    ReporterError legacyError;
    bool removed = purgePendingCrashReportAtPath(crashReportPath(), &legacyError);
    bool failed = !removed && legacyError.underlyingCode != ENOENT;
    if (failed) setError(error, legacyError);
    for (const std::string& path : pendingCrashReportPaths()) {
        ReporterError failure;
        if (purgePendingCrashReportAtPath(path, &failure)) {
            removed = true;
        } else if (failure.underlyingCode != ENOENT && !failed) {
            failed = true;
            setError(error, failure);
        }
    }
    if (!removed && !failed) setError(error, legacyError);
    return removed && !failed;
}

void RDLVCrashReporter::setCrashCallbacks(const LVCrashReporterCallbacks* callbacks) {
    if (enabled_) raiseReporterException("The crash reporter has already been enabled");
    if (callbacks->version != 0) foundation::fatalError("callbacks->version == 0");
    lvcrash_mach_crash_context* crash = lvcrash_mach_crash_context_shared();
    crash->callback_context = callbacks->context;
    crash->handleSignal = callbacks->handleSignal;
    signalCrashContext.callback_context = callbacks->context;
    signalCrashContext.handleSignal = callbacks->handleSignal;
}

void RDLVCrashReporter::setCustomData(std::optional<std::vector<std::uint8_t>> data) {
    customData_ = std::move(data);
    if (processWriter != nullptr) {
        if (customData_) {
            lvcrash_log_writer_set_custom_data(processWriter, customData_->data(), customData_->size());
        } else {
            lvcrash_log_writer_set_custom_data(processWriter, nullptr, 0);
        }
    }
}

// Both entry points report the address their caller returns to.
__attribute__((noinline)) std::optional<std::vector<std::uint8_t>> RDLVCrashReporter::generateLiveReport(
    ReporterError* error) {
    return writeLiveReport(darwin::mach_thread_self(), reinterpret_cast<std::uint64_t>(__builtin_return_address(0)),
                           error);
}

__attribute__((noinline)) std::optional<std::vector<std::uint8_t>> RDLVCrashReporter::generateLiveReportWithThread(
    port_t thread, ReporterError* error) {
    return writeLiveReport(thread, reinterpret_cast<std::uint64_t>(__builtin_return_address(0)), error);
}

std::optional<std::vector<std::uint8_t>> RDLVCrashReporter::writeLiveReport(port_t thread, std::uint64_t caller,
                                                                           ReporterError* error) {
    std::string pattern = temporaryDirectory() + "live_crash_report.XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        setError(error, posixError(errno, localized("Failed to create temporary path")));
        return std::nullopt;
    }
    darwin::thread_control_install();
    auto writer = std::make_unique<lvcrash_log_writer_t>();
    const std::string marketing = applicationMarketingVersion_.value_or("");
    lvcrash_log_writer_init(writer.get(), applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? marketing.c_str() : nullptr,
                            static_cast<std::uint32_t>(config_.symbolicationStrategy() & 3), true);
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, kLiveReportLimit);
    if (customData_) lvcrash_log_writer_set_custom_data(writer.get(), customData_->data(), customData_->size());

    const lvcrash_log_writer_signal_info signal{SIGTRAP, TRAP_TRACE, caller, false, 0, nullptr, 0};
    lvcrash_error_t result;
    if (thread == darwin::mach_thread_self()) {
        LiveCall call{writer.get(), &file, &signal};
        result = lvcrash_async_thread_state_current(writeLive, &call);
    } else {
        result = lvcrash_log_writer_write(writer.get(), thread, sharedImageList(), &file, &signal, nullptr, false);
    }
    lvcrash_log_writer_close(writer.get());
    lvcrash_async_file_close(&file);

    std::optional<std::vector<std::uint8_t>> data;
    if (result != LVCRASH_ERROR_NONE) {
        logInfo(std::string("Write failed with error ") + lvcrash_async_strerror(result));
        setError(error, ReporterError{kCrashReporterErrorDomain, kCrashReporterErrorUnknown,
                                      "Failed to write the crash report to disk", "", 0});
    } else {
        int err = 0;
        data = readCrashReportFile(pattern, &err);
        if (!data) {
            setError(error, ReporterError{kCrashReporterErrorDomain, kCrashReporterErrorUnknown,
                                          localized("Unable to open live crash report for reading"), kPosixErrorDomain,
                                          err});
        }
    }
    lvcrash_log_writer_free(writer.get());
    if (unlink(pattern.c_str()) != 0) {
        logInfo(std::string("Failure occured deleting live crash report: ") + std::strerror(errno));
    }
    return data;
}

void lvcrash_reporter_reset_for_tests() {
    std::lock_guard<std::mutex> guard(enableLock);
    reporterEnabled = false;
}

}  // namespace lvcrash
