// Crashes across real launches: the test binary is installed with a library beside it into
// a scratch home ($HOME/bin), launched once to crash and again as the next launch, which
// reports what it sent and what it left on disk. Both launches share the SDK folders.
#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/fixture_support.hpp"
#include "crashreporter/report_location.hpp"
#include "crashreporter/stack_overflow.hpp"
#include "platform/appkit/application_events.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/memory_pressure_source.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/exception.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/machine_pace.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_application_forwarder.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/http/loopback_server.hpp"
#include "telemetry/support/log_builders.hpp"
#include "telemetry/support/scenario_environment.hpp"
#include "telemetry/support/small_disk.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Stands in for the C library's fsync in launches told to fail it for one file
// (GW_LAUNCH_FAIL_SYNC names its last path component): the disk refusing to keep what was
// written, as a failing device or a full thin volume does.
extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (const char* failing = std::getenv("GW_LAUNCH_FAIL_SYNC"); failing != nullptr && failing[0] != '\0') {
        char link[64], path[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = ::readlink(link, path, sizeof path - 1);
        const std::size_t name = std::strlen(failing);
        if (length > 0 && static_cast<std::size_t>(length) >= name &&
            std::memcmp(path + length - static_cast<ssize_t>(name), failing, name) == 0) {
            errno = EIO;
            return -1;
        }
    }
    return real(fd);
}

namespace {

using namespace rddi;
namespace fs = std::filesystem;
namespace pf = platform::foundation;
using nlohmann::json;

constexpr const char* kModeVariable = "GW_LAUNCH_MODE";
constexpr const char* kResultVariable = "GW_LAUNCH_RESULT";
constexpr const char* kExecutableName = "glyphwright-launch";
constexpr const char* kBesideLibrary = "libcrashes_launch_beside.so";
constexpr const char* kSelector = "renderLayerAtIndex:";

std::string option(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// `idle` of an idle machine, scaled by the pace the parent measured for the machine as it
// started this launch (GW_LAUNCH_PACE): a wait that only a hang outlasts.
std::chrono::milliseconds paced(std::chrono::milliseconds idle) {
    const std::string pace = option("GW_LAUNCH_PACE");
    const double factor = pace.empty() ? 1.0 : std::max(1.0, std::stod(pace));
    const double scaled = static_cast<double>(idle.count()) * factor * gwtest::buildSlowdown();
    return std::chrono::milliseconds(static_cast<long>(scaled));
}

// --- The launches ------------------------------------------------------------------

// Lines of the launch's log about what was found at the pending-report path.
std::atomic<int> pendingPathLines{0};
// The launch's warnings and errors, with their level.
std::mutex problemLock;
std::vector<std::string> problemLines;

// What every launch does first: fresh SDK state over the shared folders, the in-memory
// channel group in place of the pipeline.
std::shared_ptr<testkit::InMemoryChannelGroup> prepareLaunch() {
    testkit::TelemetryTestEnvironment::resetSdk();
    auto group = std::make_shared<testkit::InMemoryChannelGroup>();
    RDDIDependencyConfiguration::setChannelGroupFactory([group](const pf::UUID&, const std::string& logUrl) {
        group->setLogUrl(logUrl);
        return std::static_pointer_cast<RDDIChannelGroupProtocol>(group);
    });
    RDDILogger::setLogHandler([](const RDDILogMessageProvider& provider, RDDILogLevel level, const std::string&,
                                 const char*, const char*, std::uint32_t) {
        if (provider && provider().find("pending crash report") != std::string::npos) ++pendingPathLines;
        std::lock_guard lock(problemLock);
        if (provider && level >= RDDILogLevelWarning)
            problemLines.push_back((level >= RDDILogLevelError ? "ERROR " : "WARNING ") + provider());
    });
    RDDILogger::setCurrentLogLevel(RDDILogLevelWarning);
    return group;
}

void startSdk() { RDDIDezIdedev::start("secret", {RDDICrashes::serviceClass()}); }

bool memoryWarningRemembered() {
    return !RDDIDezIdedevUserDefaults::shared()->objectForKey(kRDDIAppDidReceiveMemoryWarningKey).isNull();
}

// A memory warning, waited for until the SDK remembers it.
bool simulateMemoryWarning() {
    platform::dispatch::MemoryPressureSource::simulate(platform::dispatch::memoryPressureWarning);
    return platform::dispatch::MainLoop::runUntil(memoryWarningRemembered, std::chrono::seconds(30));
}

// The application's own library, beside its executable.
void loadBesideLibrary() {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    void* handle = dlopen((exe.parent_path() / kBesideLibrary).c_str(), RTLD_NOW);
    if (!handle) _exit(20);
    auto answer = reinterpret_cast<int (*)()>(dlsym(handle, "crashes_launch_beside_answer"));
    if (!answer || answer() != 42) _exit(21);
}

std::unique_ptr<platform::darwin::LoadedMachOImage> loadCrasherFixture() {
    return platform::darwin::load_macho_image(fixtures::macho_path("fixture_objc_crash"), {true, 0, {}});
}

// The fault is written out, so that neither the optimiser nor a sanitizer turns it into
// something else.
__attribute__((noinline)) void writeThroughBrokenPointer() {
    int* volatile target = nullptr;
    asm volatile("movl $1, (%0)" : : "r"(target) : "memory");
}

__attribute__((noinline)) void renderOnWorker() {
    writeThroughBrokenPointer();
    asm volatile("");  // keeps the call a call, so this frame stays on the stack
}

// Puts a folder, a link to the user's file or a hard link to it at the name each thread of
// this process (the crashing one, the Mach exception server's) first writes a report under.
void putAtOwnNames(const std::string& put, const fs::path& pending, const fs::path& outside) {
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        char name[lvcrash::LVCRASH_REPORT_PARTIAL_NAME_SIZE];
        const auto tid = static_cast<pid_t>(std::stol(task.path().filename()));
        if (!lvcrash::lvcrash_report_partial_name(pending.filename().c_str(), ::getpid(), tid, 0, name, sizeof name))
            _exit(22);
        const fs::path at = pending.parent_path() / name;
        int done = -1;
        if (put == "partial-folder" && ::mkdir(at.c_str(), 0755) == 0) done = ::mkdir((at / "inside").c_str(), 0755);
        if (put == "partial-symlink") done = ::symlink(outside.c_str(), at.c_str());
        if (put == "partial-hardlink") done = ::link(outside.c_str(), at.c_str());
        if (done != 0) _exit(23);
    }
}

// Launches of one round (crashing, or starting) do it at once: each waits here until all
// of them have come.
void waitForTheOthers() {
    const fs::path together = option("GW_LAUNCH_TOGETHER");
    if (together.empty()) return;
    const long count = std::stol(option("GW_LAUNCH_TOGETHER_COUNT"));
    gwtest::writeFile(together / std::to_string(::getpid()), "ready");
    // As long as it takes the others to come: the parent's deadline for each launch bounds it.
    while (std::distance(fs::directory_iterator(together), {}) < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The first launch: sets up what the case asks for, then crashes the way it asks.
TEST(CrashLaunchChildProcess, Crash) {
    if (option(kModeVariable) != "crash") GTEST_SKIP() << "runs as a child process only";
    auto group = prepareLaunch();
    loadBesideLibrary();
    RDDIRegisterAnalyticsArchiveClasses();
    const std::string how = option("GW_LAUNCH_CRASH");
    if (how == "forwarded") {
        pf::Dictionary info = pf::Bundle::main().infoDictionary();
        if (!option("GW_LAUNCH_FORWARDER_INFO").empty())
            info[kRDDIApplicationForwarderEnabledKey] = pf::Value(option("GW_LAUNCH_FORWARDER_INFO") == "YES");
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(pf::Bundle::main().resourcesPath(), info));
        pf::UserDefaults::standard().setBool(true, kRDDICrashOnExceptionsKey);
    }
    if (option("GW_LAUNCH_SIGNALS") == "1") RDDICrashes::disableMachExceptionHandler();
    startSdk();
    if (option("GW_LAUNCH_MEMORY") == "1") {
        ASSERT_TRUE(simulateMemoryWarning());
    }
    if (option("GW_LAUNCH_WRAPPER") == "1") {
        RDDIWrapperException wrapper;
        wrapper.modelException = RDDIExceptionModel::withType(
            "LayerScript.NullReference", "Object reference not set",
            std::vector<std::string>{"0   LayerScript  0x0000000100001000 -[LayerView render] + 12"});
        wrapper.processId = getpid();
        RDDIWrapperExceptionManager::saveWrapperException(wrapper);
    }
    // Analytics logs still in flight when the crash comes.
    auto analytics = group->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Analytics"));
    group->setHoldsCompletions(true);
    if (option("GW_LAUNCH_IN_FLIGHT") != "0") {
        for (const char* name : {"export_started", "export_progress", "export_failed"}) {
            auto log = testkit::eventLog(name, name);
            if (name == std::string("export_progress") && option("GW_LAUNCH_TOKEN") == "1")
                log->addTransmissionTargetToken("target-token-1");
            analytics->enqueueItem(log, RDDIFlagsNormal);
        }
    }

    // Put where the next crash leaves its report after the reporter was enabled, or the
    // reporter's folder moved away (see the test). At the names a crash writes under until
    // its report is finished, it comes on the crashing thread, just before the fault.
    const std::string put = option("GW_LAUNCH_PUT");
    const fs::path outside = option("GW_LAUNCH_OUTSIDE");
    std::string pending;
    if (!put.empty()) {
        const auto* reporter = RDDICrashes::sharedInstance()->lvCrashReporter();
        ASSERT_TRUE(reporter && reporter->enabled());
        pending = reporter->crashReportPath();
        const std::string folder = reporter->crashReportDirectory();
        int done = put.starts_with("partial-") ? 0 : -1;
        // A link, a FIFO or a hard link at one of the SDK's own crash files (a path below its
        // folder), or another user's file there.
        if (put.starts_with("link:") || put.starts_with("fifo:")) {
            const fs::path at = RDDIUtility::dezIdedevDirectoryURL() / put.substr(5);
            fs::remove(at);
            done = put.starts_with("link:") ? ::symlink(outside.c_str(), at.c_str()) : ::mkfifo(at.c_str(), 0644);
        }
        if (put.starts_with("hardlink:") || put.starts_with("theirs:")) {
            const fs::path at = RDDIUtility::dezIdedevDirectoryURL() / put.substr(put.find(':') + 1);
            fs::remove(at);
            done = put.starts_with("hardlink:") ? ::link(outside.c_str(), at.c_str()) : 0;
            if (put.starts_with("theirs:")) {
                gwtest::writeFile(at, gwtest::readFile(outside));
                done = ::chown(at.c_str(), 65534, 65534);
            }
        }
        if (put == "fifo") done = ::mkfifo(pending.c_str(), 0644);
        if (put == "symlink") done = ::symlink(outside.c_str(), pending.c_str());
        if (put == "hardlink") done = ::link(outside.c_str(), pending.c_str());
        if (put == "folder" && ::mkdir(pending.c_str(), 0755) == 0) done = ::mkdir((pending + "/inside").c_str(), 0755);
        if (put.starts_with("folder-") && ::rename(folder.c_str(), (folder + ".moved").c_str()) == 0) {
            if (put == "folder-symlink") done = ::symlink(outside.parent_path().c_str(), folder.c_str());
            if (put == "folder-replaced") done = ::mkdir(folder.c_str(), 0755);
            if (put == "folder-moved") done = 0;
        }
        ASSERT_EQ(done, 0) << put << ": " << std::strerror(errno);
    }
    waitForTheOthers();

    if (how == "segv-thread") {
        std::thread([&] {
            if (put.starts_with("partial-")) putAtOwnNames(put, pending, outside);
            renderOnWorker();
        }).join();
    } else if (how == "overflow-thread") {
        // Started after enabling, through the plain std::thread of the program.
        std::thread([] { crash_recursion_limit = crash_recurse_forever(0); }).join();
    } else if (how == "selector") {
        auto image = loadCrasherFixture();
        ASSERT_TRUE(image);
        const auto method = image->symbol("-[FixtureCrasher renderLayerAtIndex:]");
        std::uint64_t size = 0;
        const auto* names = platform::darwin::loader_section_data(image->header(), "__TEXT", "__objc_methname", &size);
        ASSERT_TRUE(method && names);
        const char* selector = static_cast<const char*>(memmem(names, size, kSelector, std::strlen(kSelector) + 1));
        ASSERT_TRUE(selector);
        reinterpret_cast<void (*)(void*, const char*, long)>(method)(nullptr, selector, 3);
    } else if (how == "forwarded") {
        platform::appkit::ApplicationEvents::dispatchEvent(
            [] { pf::Exception::raise("NSInvalidArgumentException", "layer index out of range"); });
    }
}

class ConfirmingDelegate final : public RDDICrashesDelegate {
public:
    bool process = true;
    bool crashesShouldProcessErrorReport(RDDICrashes&, const RDDIErrorReport&) override { return process; }
    std::optional<std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>> attachmentsWithCrashes(
        RDDICrashes&, const RDDIErrorReport&) override {
        return std::vector{RDDIErrorAttachmentLog::attachmentWithText("last steps", "steps.txt"),
                           RDDIErrorAttachmentLog::attachmentWithText("layers: 3", "layers.txt")};
    }
};

json logsOn(const testkit::InMemoryChannelGroup& group, const std::string& unit) {
    json logs = json::array();
    for (const auto& entry : group.storedLogs(unit)) {
        logs.push_back({{"flags", entry.flags},
                        {"valid", entry.log->isValid()},
                        {"log", pf::json::toJson(pf::Value(entry.log->serializeToDictionary()))}});
    }
    return logs;
}

// What the SDK left on disk and in its settings.
json diskState(RDDICrashes& crashes) {
    const fs::path sdk = RDDIUtility::dezIdedevDirectoryURL();
    json state;
    std::error_code ec;
    state["crashesFolder"] = fs::exists(sdk / "crashes", ec);
    json names = json::array();
    if (fs::exists(sdk / "crashes", ec))
        for (const auto& entry : fs::directory_iterator(sdk / "crashes")) names.push_back(entry.path().filename());
    state["crashFiles"] = names;
    json sizes = json::array();
    if (fs::exists(sdk / "crasheslogbuffer", ec))
        for (const auto& entry : fs::directory_iterator(sdk / "crasheslogbuffer")) sizes.push_back(entry.file_size());
    state["bufferFiles"] = sizes;
    state["marker"] = fs::exists(sdk / "crashes" / kRDDIAnalyzerFilename, ec);
    state["pending"] = crashes.lvCrashReporter() && crashes.lvCrashReporter()->hasPendingCrashReport();
    state["memoryKey"] = memoryWarningRemembered();
    return state;
}

// The next launch: processes what the crash left and writes a report for the parent.
TEST(CrashLaunchChildProcess, NextLaunch) {
    if (option(kModeVariable) != "next") GTEST_SKIP() << "runs as a child process only";
    auto group = prepareLaunch();
    loadBesideLibrary();
    RDDIRegisterAnalyticsArchiveClasses();
    std::unique_ptr<platform::darwin::LoadedMachOImage> fixture;
    if (option("GW_LAUNCH_FIXTURE") == "1") fixture = loadCrasherFixture();
    auto clock = std::make_shared<pf::ManualClock>();
    pf::Clock::setCurrent(clock);

    auto delegate = std::make_shared<ConfirmingDelegate>();
    delegate->process = option("GW_LAUNCH_FILTER") != "NO";
    RDDICrashes::setDelegate(delegate);
    const std::string confirm = option("GW_LAUNCH_CONFIRM");
    std::atomic<bool> asked{false};
    if (!confirm.empty()) {
        RDDICrashes::setUserConfirmationHandler([&](const auto&) { return asked = true; });
    }
    const auto startedAt = std::chrono::steady_clock::now();
    startSdk();
    const auto startTime = std::chrono::steady_clock::now() - startedAt;
    auto crashes = RDDICrashes::sharedInstance();
    json result;
    result["startMs"] = std::chrono::duration_cast<std::chrono::milliseconds>(startTime).count();
    result["pendingPathLines"] = pendingPathLines.load();
    {
        std::lock_guard lock(problemLock);
        result["problems"] = problemLines;
    }
    result["crashed"] = RDDICrashes::hasCrashedInLastSession();
    result["memoryWarning"] = RDDICrashes::hasReceivedMemoryWarningInLastSession();
    if (auto report = RDDICrashes::lastSessionCrashReport()) result["incident"] = report->incidentIdentifier().value_or("");
    result["buffer"] = logsOn(*group, "CrashesBuffer");

    if (option("GW_LAUNCH_DISABLE") == "1") {
        // This launch's own leftovers: a memory warning and logs in flight, then disabled
        // before the delay has passed.
        ASSERT_TRUE(simulateMemoryWarning());
        group->setHoldsCompletions(true);
        auto unit = group->addChannelUnitWithConfiguration(RDDIChannelUnitConfiguration::defaultConfiguration("Analytics"));
        unit->enqueueItem(testkit::eventLog("held", "held"), RDDIFlagsNormal);
        crashes->createAnalyzerFile();
        result["beforeDisable"] = diskState(*crashes);
        crashes->setEnabled(false);
        // A crash now would find nothing to write.
        RDDICrashesLogBuffer::writeAtCrash();
        result["afterDisable"] = diskState(*crashes);
    } else {
        clock->advance(std::chrono::seconds(1));
        // The processing asks on the main queue: keep it running until the processing is over.
        std::atomic<bool> processed{false};
        std::thread waiter([&] {
            crashes->unprocessedCrashReports();
            processed = true;
        });
        platform::dispatch::MainLoop::runUntil([&] { return processed.load(); }, paced(std::chrono::seconds(60)));
        waiter.join();
        result["asked"] = asked.load();
        result["sentBeforeAnswer"] = group->storedLogs("Crashes").size();
        if (asked) RDDICrashes::notifyWithUserConfirmation(static_cast<unsigned>(std::stoul(confirm)));
    }
    result["crashes"] = logsOn(*group, "Crashes");
    result["after"] = diskState(*crashes);
    std::ofstream(option(kResultVariable)) << result.dump(2);
}

// Writes each call of the crashes delegate as a line into a file ("will <pid>", "sent <pid>",
// "failed <pid> <error>"), as it comes, on whatever thread it comes: at exit too.
class HeardDelegate final : public RDDICrashesDelegate {
public:
    explicit HeardDelegate(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600)) {}
    void crashesWillSendErrorReport(RDDICrashes&, const RDDIErrorReport& report) override { heard("will", report, ""); }
    void crashesDidSucceedSendingErrorReport(RDDICrashes&, const RDDIErrorReport& report) override {
        heard("sent", report, "");
    }
    void crashesDidFailSendingErrorReport(RDDICrashes&, const RDDIErrorReport& report,
                                          const std::string& error) override {
        heard("failed", report, " " + error);
    }

private:
    void heard(const char* what, const RDDIErrorReport& report, const std::string& more) {
        const std::string line = std::string(what) + " " + std::to_string(report.appProcessIdentifier()) + more + "\n";
        (void)!::write(fd_, line.data(), line.size());
    }
    int fd_;
};

// A process holding the log store's lock, as one stopped in the middle of an operation
// (Ctrl-Z, a debugger) would: reports "held" once it holds it, and holds it until killed.
TEST(CrashLaunchChildProcess, HoldTheStoresLock) {
    if (option(kModeVariable) != "hold") GTEST_SKIP() << "runs as a child process only";
    const int fd = ::open(option("GW_LAUNCH_LOCK").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0) << std::strerror(errno);
    gwtest::writeFile(option(kResultVariable), "held");
    for (;;) ::pause();
}

// A launch of a host over the real pipeline, sending to the parent's loopback server. It
// starts together with the others of its round and ends once no log is left in the store it
// shares with them (or, when it asks the user and gets no answer, once it asked).
// GW_LAUNCH_STOP_AT stops it for good (SIGSTOP) at the first SDK line holding that text;
// GW_LAUNCH_DELEGATE names the file its crashes delegate writes what it hears into.
TEST(CrashLaunchChildProcess, Send) {
    if (option(kModeVariable) != "send") GTEST_SKIP() << "runs as a child process only";
    testkit::TelemetryTestEnvironment::resetSdk();
    RDDIRegisterAnalyticsArchiveClasses();  // the crashed launches' logs in flight come back too
    RDDIDependencyConfiguration::setChannelGroupFactory({});
    RDDIDependencyConfiguration::setHttpClient(RDDIHttpClient::create(
        std::nullopt, RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); })));
    RDDIDezIdedev::setLogUrl(option("GW_LAUNCH_URL"));
    const std::string stopAt = option("GW_LAUNCH_STOP_AT");
    RDDILogger::setLogHandler([stopAt](const RDDILogMessageProvider& provider, RDDILogLevel level,
                                       const std::string& tag, const char*, const char*, std::uint32_t) {
        if (!provider) return;
        const std::string line = provider();
        if (!stopAt.empty() && line.find(stopAt) != std::string::npos) {
            gwtest::writeFile(option("GW_LAUNCH_STOPPED"), line);
            ::raise(SIGSTOP);
        }
        // Every error, and the crashes service's warnings: the store's own notes on sharing
        // its file with the other launches are not this test's business.
        std::lock_guard lock(problemLock);
        if (level >= RDDILogLevelError || (level >= RDDILogLevelWarning && tag == kRDDICrashesLogTag))
            problemLines.push_back((level >= RDDILogLevelError ? "ERROR " : "WARNING ") + line);
    });
    RDDILogger::setCurrentLogLevel(stopAt.empty() ? RDDILogLevelWarning : RDDILogLevelVerbose);
    const bool askOnly = option("GW_LAUNCH_CONFIRM") == "later";
    if (askOnly) RDDICrashes::setUserConfirmationHandler([](const auto&) { return true; });
    if (const std::string heard = option("GW_LAUNCH_DELEGATE"); !heard.empty()) {
        // The service holds its delegate weakly: this one lives as long as the process.
        static auto* delegate = new std::shared_ptr<HeardDelegate>(std::make_shared<HeardDelegate>(heard));
        RDDICrashes::setDelegate(*delegate);
    }
    // The SDK's timers (the processing delay, the units' flushes) run on the launch's clock,
    // which moves on while the launch waits.
    auto clock = std::make_shared<pf::ManualClock>();
    pf::Clock::setCurrent(clock);
    const auto waitFor = [&](const std::function<bool()>& done) {
        return platform::dispatch::MainLoop::runUntil(
            [&] {
                clock->advance(std::chrono::milliseconds(100));
                return done();
            },
            paced(std::chrono::seconds(20)));
    };

    waitForTheOthers();
    const auto startedAt = std::chrono::steady_clock::now();
    startSdk();
    json result;
    result["startMs"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt).count();
    auto crashes = RDDICrashes::sharedInstance();
    std::atomic<bool> processed{false};
    std::atomic<std::size_t> waiting{0};
    std::thread waiter([&] {
        waiting = crashes->unprocessedCrashReports().size();
        processed = true;
    });
    result["processed"] = waitFor([&] { return processed.load(); });
    waiter.join();
    // What the launch enqueued (the crash logs, the logs in flight at the crashes) is stored
    // before the store is asked whether it is empty: on a busy machine the logs queue may not
    // have reached it yet, and the launch would end with it unsent.
    for (const char* unitId : {"Crashes", "CrashesBuffer"}) {
        if (auto unit = std::dynamic_pointer_cast<RDDIChannelUnitDefault>(
                RDDIDezIdedev::sharedInstance()->channelGroup()->channelUnitForGroupId(unitId))) {
            unit->stateSync();
        }
    }
    // No store (none could be made on a full disk) holds nothing either.
    if (!askOnly) result["drained"] = waitFor([] { return testkit::ScenarioEnvironment::rowCount() <= 0; });
    result["waiting"] = waiting.load();
    result["crashed"] = RDDICrashes::hasCrashedInLastSession();
    {
        std::lock_guard lock(problemLock);
        result["problems"] = problemLines;
    }
    std::ofstream(option(kResultVariable)) << result.dump(2);
}

// --- The parent ----------------------------------------------------------------------


// Whether the launch sent one crash log, with its two attachments.
bool sentOneCrash(const json& launch) {
    const json& sent = launch.value("crashes", json::array());
    return sent.size() == 3 && sent[0]["log"]["type"] == "appleError";
}

class CrashLaunchTest : public ::testing::Test {
protected:
    CrashLaunchTest() {
        // The application installed below a home folder: bin/<executable> and its library.
        const fs::path bin = home_.path() / "bin";
        fs::create_directories(bin);
        const fs::path self = fs::read_symlink("/proc/self/exe");
        install(self, bin / kExecutableName);
        install(self.parent_path() / kBesideLibrary, bin / kBesideLibrary);
        // The runtime folder the system makes for the user alone.
        fs::create_directories(home_.path() / "run");
        fs::permissions(home_.path() / "run", fs::perms::owner_all);
    }
    // A launch still running when its test ends, passed or failed (one stopped, one holding
    // the store's lock), ends with it.
    ~CrashLaunchTest() override {
        for (const pid_t child : running_) testkit::waitForChild(child, std::chrono::milliseconds(0));
    }

    // How long a launch may take: ten seconds of an idle machine, scaled by the pace this
    // process gets now from a machine busy with other work (measured again at most every two
    // seconds). A launch that hangs outlives it; a slow one on a loaded machine does not.
    std::chrono::milliseconds launchDeadline() {
        if (const auto now = std::chrono::steady_clock::now(); now - pacedAt_ > std::chrono::seconds(2)) {
            paceFactor_ = pace_.factor();
            pacedAt_ = now;
        }
        return std::chrono::milliseconds(static_cast<long>(10'000 * paceFactor_ * gwtest::buildSlowdown()));
    }

    // Waits for a launch this test started, at most `deadline` (then it is killed): its wait
    // status, or -1.
    int finish(pid_t child, std::chrono::milliseconds deadline) {
        if (child < 0) return -1;
        std::erase(running_, child);
        return testkit::waitForChild(child, deadline);
    }

    static void install(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_hard_link(from, to, ec);
        if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }

    // Runs one launch of `child` with the given options; answers its wait status, or -1
    // when it outlives the deadline (then it is killed).
    int launch(const std::string& mode, const std::map<std::string, std::string>& options) {
        return finish(start(mode, options), launchDeadline());
    }

    // Starts one launch; answers its pid, -1 when it could not be started.
    pid_t start(const std::string& mode, const std::map<std::string, std::string>& options) {
        std::map<std::string, std::string> env;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const auto equals = text.find('=');
            if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (auto it = env.begin(); it != env.end();)
            it = it->first.rfind("GW_LAUNCH_", 0) == 0 ? env.erase(it) : std::next(it);
        env["HOME"] = home_.path().string();
        env["XDG_CONFIG_HOME"] = (home_.path() / ".config").string();
        env["XDG_DATA_HOME"] = (home_.path() / ".local/share").string();
        env["XDG_CACHE_HOME"] = (home_.path() / ".cache").string();
        env["XDG_RUNTIME_DIR"] = (home_.path() / "run").string();
        // Crashes on purpose: in sanitizer builds the reporter, not the sanitizer, takes them.
        env["ASAN_OPTIONS"] = "handle_segv=0:handle_sigill=0:handle_abort=0:" + env["ASAN_OPTIONS"];
        env[kModeVariable] = mode;
        env[kResultVariable] = (home_.path() / "result.json").string();
        launchDeadline();  // measures the pace anew when it is old
        env["GW_LAUNCH_PACE"] = std::to_string(paceFactor_);
        for (const auto& [key, value] : options) env[key] = value;
        std::vector<std::string> texts;
        for (const auto& [key, value] : env) texts.push_back(key + "=" + value);
        std::vector<char*> envp;
        for (auto& text : texts) envp.push_back(text.data());
        envp.push_back(nullptr);

        const std::string exe = (home_.path() / "bin" / kExecutableName).string();
        const std::map<std::string, std::string> cases{
            {"crash", "Crash"}, {"next", "NextLaunch"}, {"send", "Send"}, {"hold", "HoldTheStoresLock"}};
        const std::string filter = "--gtest_filter=CrashLaunchChildProcess." + cases.at(mode);
        const pid_t child = fork();
        if (child == 0) {
            char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(filter.c_str()), nullptr};
            execve(exe.c_str(), argv, envp.data());
            _exit(127);
        }
        if (child > 0) running_.push_back(child);
        return child;
    }

    // A launch that must crash with `signal`.
    void crash(const std::map<std::string, std::string>& options, int signal) {
        const int status = launch("crash", options);
        ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), signal);
    }

    // The next launch; answers its report.
    json next(const std::map<std::string, std::string>& options = {}) {
        fs::remove(home_.path() / "result.json");
        const int status = launch("next", options);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return resultIn(home_.path() / "result.json");
    }

    // What a launch wrote into `file`, or an empty object when it wrote nothing.
    static json resultIn(const fs::path& file) {
        std::ifstream in(file);
        return in ? json::parse(in) : json::object();
    }

    // A crash on a worker thread with three logs in flight (one with a target token), and
    // something put at one of the SDK's names `when` "start" (before the crashing launch) or
    // "next" (before the next launch) by `put`, or while the crash's launch runs by its
    // GW_LAUNCH_PUT `runPut`, the user's file `outside`; answers the next launch's report,
    // which sent the crash and `buffered` of the logs in flight again.
    json crashWithSomethingPut(const std::function<void()>& put, const std::string& when, const std::string& runPut,
                               const fs::path& outside, std::size_t buffered) {
        if (when == "start") put();
        std::map<std::string, std::string> options{{"GW_LAUNCH_CRASH", "segv-thread"}, {"GW_LAUNCH_TOKEN", "1"}};
        if (when == "run") options.insert({{"GW_LAUNCH_PUT", runPut}, {"GW_LAUNCH_OUTSIDE", outside.string()}});
        crash(options, SIGSEGV);
        if (when == "next") put();
        const json reported = next();
        EXPECT_TRUE(sentOneCrash(reported)) << reported.dump();
        EXPECT_EQ(reported["buffer"].size(), buffered);
        return reported;
    }

    // `count` launches of `mode` doing their work at once; answers their pids.
    std::vector<pid_t> startTogether(const std::string& mode, int count, std::map<std::string, std::string> options) {
        const fs::path together = home_.path() / ("together-" + std::to_string(++rounds_));
        fs::create_directories(together);
        options["GW_LAUNCH_TOGETHER"] = together.string();
        options["GW_LAUNCH_TOGETHER_COUNT"] = std::to_string(count);
        std::vector<pid_t> pids;
        for (int i = 0; i < count; ++i) {
            options[kResultVariable] = together.string() + "-" + std::to_string(i) + ".json";
            pids.push_back(start(mode, options));
        }
        return pids;
    }

    // `count` processes crashing at once (SIGSEGV on a worker thread), each with three
    // analytics logs in flight or none; answers their pids. The log buffer's files are the
    // application's, not each process's: of several crashes, the last to write them wins.
    std::vector<pid_t> crashTogether(int count, const std::string& signals, bool inFlight) {
        const auto pids = startTogether("crash", count,
                                        {{"GW_LAUNCH_CRASH", "segv-thread"},
                                         {"GW_LAUNCH_SIGNALS", signals},
                                         {"GW_LAUNCH_IN_FLIGHT", inFlight ? "3" : "0"}});
        // Launches that wait for each other share the processors: the first ends once all
        // have come this far, which takes them all as long as each alone.
        for (const pid_t child : pids) {
            const int status = finish(child, count * launchDeadline());
            EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
        }
        return pids;
    }

    // `count` launches of a host over the real pipeline, started at once; answers their reports.
    std::vector<json> sendTogether(int count, std::map<std::string, std::string> options = {}) {
        options["GW_LAUNCH_URL"] = server_.baseURL();
        const auto pids = startTogether("send", count, options);
        std::vector<json> reports;
        for (std::size_t i = 0; i < pids.size(); ++i) {
            const int status = finish(pids[i], 3 * count * launchDeadline());
            EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            reports.push_back(resultIn(home_.path() / ("together-" + std::to_string(rounds_) + "-" + std::to_string(i) + ".json")));
        }
        return reports;
    }

    // The logs of `type` the server received from its `from`th request on, by `key`.
    template <class Key>
    std::multiset<Key> received(std::size_t from, const std::string& type, const std::string& key) const {
        std::multiset<Key> keys;
        const auto requests = server_.requests();
        for (std::size_t i = from; i < requests.size(); ++i) {
            if (!requests[i].path.starts_with("/logs") || !requests[i].json) continue;
            for (const auto& log : (*requests[i].json)["logs"])
                if (log.value("type", "") == type) keys.insert(log.value(key, Key()));
        }
        return keys;
    }
    // The processes of the crash logs received.
    std::multiset<long> crashLogsReceived(std::size_t from) const { return received<long>(from, "appleError", "processId"); }

    // What no launch has sent yet: pending reports and the SDK's stored ones.
    std::size_t reportsLeft() const {
        std::size_t left = lvcrash::finishedCrashReportPaths(pendingReportPath().parent_path(), lvcrash::kPendingReportName).size();
        const fs::path stored = sdkFolder() / "crashes";
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(stored, ec))
            left += entry.is_regular_file() && entry.file_size() > 0 && !entry.path().string().ends_with(".analyzer");
        return left;
    }

    std::string homePath() const { return home_.path().string(); }
    // The SDK's folder of the installed program.
    fs::path sdkFolder() const {
        return home_.path() / ".local/share" / pf::Bundle::main().bundleIdentifier() / "com.ridevedod.dezidedev";
    }

    // Where a crash leaves its report for the next launch of the installed program.
    fs::path pendingReportPath() const {
        const lvcrash::RDLVCrashReporter reporter(
            pf::Bundle::main(), lvcrash::RDLVCrashReporterConfig(0, 0, true, (home_.path() / ".cache").string()));
        return reporter.crashReportPath();
    }

    // Starts a launch and waits, at most a launch's deadline, for it to write `sign`, its word
    // that it came as far as the test needs: its pid, or -1 (a failure, saying `never`).
    pid_t startUntil(const std::string& mode, const std::map<std::string, std::string>& options, const fs::path& sign,
                     const char* never) {
        const pid_t child = start(mode, options);
        const auto deadline = std::chrono::steady_clock::now() + launchDeadline();
        while (child > 0 && !fs::exists(sign) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool came = child > 0 && fs::exists(sign);
        EXPECT_TRUE(came) << never;
        return came ? child : -1;
    }

    // Holds the log store's lock in a process of its own until the test ends.
    void holdStoresLock() {
        const fs::path held = home_.path() / "lock-held";
        ASSERT_GT(startUntil("hold", {{"GW_LAUNCH_LOCK", (sdkFolder() / "Logs.sqlite-lock").string()}, {kResultVariable, held.string()}},
                             held, "the lock was never held"),
                  0);
    }
    // Ends the processes holding the store's lock.
    void releaseStoresLock() {
        for (const pid_t child : std::vector<pid_t>(running_)) {
            ::kill(child, SIGKILL);
            finish(child, launchDeadline());
        }
    }

    gwtest::TempDir home_;
    testkit::LoopbackServer server_;
    int rounds_ = 0;
    std::vector<pid_t> running_;  // started and not waited for yet
    gwtest::Pace pace_;
    double paceFactor_ = 1.0;
    std::chrono::steady_clock::time_point pacedAt_{};
};

const json* binaryNamed(const json& log, const std::string& name) {
    for (const auto& binary : log["binaries"])
        if (binary["name"] == name) return &binary;
    return nullptr;
}

TEST_F(CrashLaunchTest, ASegvOnAWorkerThreadIsSentByTheNextLaunchWithTheLogsItInterrupted) {
    crash({{"GW_LAUNCH_CRASH", "segv-thread"}, {"GW_LAUNCH_WRAPPER", "1"}}, SIGSEGV);
    const json result = next();
    ASSERT_TRUE(result.contains("crashes")) << result.dump();

    // One crash log, critical, then the delegate's attachments under its id.
    const json& sent = result["crashes"];
    ASSERT_EQ(sent.size(), 3u) << sent.dump();
    const json& log = sent[0]["log"];
    EXPECT_EQ(log["type"], "appleError");
    EXPECT_EQ(sent[0]["flags"], RDDIFlagsCritical);
    EXPECT_TRUE(sent[0]["valid"]);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i]["log"]["type"], "errorAttachment");
        EXPECT_EQ(sent[i]["log"]["errorId"], log["id"]);
        EXPECT_EQ(sent[i]["flags"], RDDIFlagsNormal);
    }
    EXPECT_EQ(result["crashed"], true);
    EXPECT_EQ(result["incident"], log["id"]);

    // Exactly the logs in flight, sent again in order.
    const json& buffered = result["buffer"];
    ASSERT_EQ(buffered.size(), 3u);
    const char* names[] = {"export_started", "export_progress", "export_failed"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(buffered[i]["log"]["name"], names[i]);
        EXPECT_EQ(buffered[i]["flags"], RDDIFlagsNormal);
    }
    const json& after = result["after"];
    EXPECT_EQ(after["bufferFiles"], json(std::vector<int>(60, 0)));
    EXPECT_EQ(after["crashFiles"], json::array());
    EXPECT_EQ(after["pending"], false);

    // The wrapper's exception saved by the crashed launch.
    ASSERT_TRUE(log.contains("exception")) << log.dump();
    EXPECT_EQ(log["exception"]["type"], "LayerScript.NullReference");
    EXPECT_EQ(log["exception"]["message"], "Object reference not set");

    // The content: the application's frames by image and offset, system frames by name.
    EXPECT_TRUE(log["osExceptionType"] == "SIGSEGV" || log["osExceptionType"] == "SIGBUS") << log["osExceptionType"];
    const std::string exePath = std::string("/home/USER/bin/") + kExecutableName;
    EXPECT_EQ(log["applicationPath"], exePath);
    const json* exe = binaryNamed(log, kExecutableName);
    const json* beside = binaryNamed(log, kBesideLibrary);
    const json* libc = binaryNamed(log, "libc.so.6");
    ASSERT_TRUE(exe && beside && libc) << log["binaries"].dump();
    EXPECT_EQ((*exe)["path"], exePath);
    EXPECT_EQ((*beside)["path"], std::string("/home/USER/bin/") + kBesideLibrary);
    EXPECT_FALSE(binaryNamed(log, "libm.so.6")) << "no frame points into it";
    EXPECT_EQ(log.dump().find(homePath()), std::string::npos) << "the home folder went out";

    const json* crashed = nullptr;
    for (const auto& thread : log["threads"])
        if (thread["id"] == log["errorThreadId"]) crashed = &thread;
    ASSERT_TRUE(crashed);
    // Without symbols every frame is "0x<image start> + <offset>"; the walk goes from the
    // faulting function through its caller down to the thread's start in libc.
    auto imageOf = [&](std::uint64_t address) -> const json* {
        for (const auto& binary : log["binaries"]) {
            if (address >= std::stoull(binary["startAddress"].get<std::string>(), nullptr, 16) &&
                address <= std::stoull(binary["endAddress"].get<std::string>(), nullptr, 16))
                return &binary;
        }
        return nullptr;
    };
    const std::regex frameCode("0x([0-9a-f]+) \\+ ([0-9]+)");
    std::vector<std::string> images;
    for (const auto& frame : (*crashed)["frames"]) {
        const std::string code = frame["code"];
        const std::uint64_t address = std::stoull(frame["address"].get<std::string>(), nullptr, 16);
        const json* image = imageOf(address);
        ASSERT_TRUE(image) << code;
        images.push_back((*image)["name"]);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(code, match, frameCode)) << code;
        const std::uint64_t base = std::stoull(match[1].str(), nullptr, 16);
        EXPECT_EQ(base, std::stoull((*image)["startAddress"].get<std::string>(), nullptr, 16)) << code;
        EXPECT_EQ(base + std::stoull(match[2].str()), address) << code;
    }
    ASSERT_GE(images.size(), 3u);
    EXPECT_EQ(images[0], kExecutableName);
    EXPECT_EQ(images[1], kExecutableName);
    EXPECT_NE(std::find(images.begin(), images.end(), "libc.so.6"), images.end()) << (*crashed)["frames"].dump();
    const std::regex padded("0x[0-9a-f]{16}");
    ASSERT_FALSE(log["registers"].empty());
    for (const auto& [name, value] : log["registers"].items())
        EXPECT_TRUE(std::regex_match(value.get<std::string>(), padded)) << name << " " << value;
}

TEST_F(CrashLaunchTest, WhatIsNoReportAtThePendingPathIsRemovedAtOnceAndTheNextCrashIsSent) {
    const fs::path pending = pendingReportPath();
    const struct {
        const char* name;
        std::function<void()> put;
    } cases[] = {
        // A FIFO without a writer: opened for reading as a file is, it blocks for good.
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(pending.c_str(), 0644), 0) << std::strerror(errno); }},
        // A folder, not empty: no file can be made in its place.
        {"folder", [&] { fs::create_directories(pending / "inside"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(pending.parent_path());
        c.put();
        const json clean = next();
        if (!clean.contains("crashed")) {
            ADD_FAILURE() << "the launch did not end";
            fs::remove_all(pending);
            continue;
        }
        EXPECT_EQ(clean["crashed"], false);
        // Normally tens of milliseconds; a blocked start never ends. The wall clock is the
        // point, scaled by the machine's pace.
        EXPECT_LT(clean["startMs"].get<long>(), launchDeadline().count() / 2);
        EXPECT_EQ(clean["crashes"], json::array());
        EXPECT_EQ(clean["pendingPathLines"], 1);
        std::error_code ec;
        EXPECT_FALSE(fs::exists(fs::symlink_status(pending, ec))) << "still in place";

        crash({{"GW_LAUNCH_CRASH", "segv-thread"}}, SIGSEGV);
        const json reported = next();
        EXPECT_EQ(reported["crashed"], true);
        ASSERT_TRUE(reported.contains("crashes") && !reported["crashes"].empty()) << reported.dump();
        EXPECT_EQ(reported["crashes"][0]["log"]["type"], "appleError");
        EXPECT_EQ(reported["after"]["pending"], false);
    }
}

// One crash log and its two attachments went out.

// What a user's folder holds: only what was there before.
long entriesIn(const fs::path& folder) { return std::distance(fs::directory_iterator(folder), {}); }

TEST_F(CrashLaunchTest, WhatIsPutWhereACrashWritesAfterStartIsNeitherWrittenThroughNorLosesTheCrash) {
    const fs::path pending = pendingReportPath(), folder = pending.parent_path();
    const fs::path outside = home_.path() / "Documents" / "notes.txt";
    const std::string found = " was found in place of the pending crash report \"" + pending.string() + "\"; it was removed.";
    const struct {
        std::string put;
        std::vector<std::string> problems;  // the next launch's, by their start
    } cases[] = {
        // At the one name an earlier version wrote its report under: the next launch clears it
        // (of the user's file, hard-linked, only that name).
        {"fifo", {"WARNING A FIFO" + found}},
        {"symlink", {"WARNING A symbolic link" + found}},
        {"folder", {"WARNING A folder" + found}},
        {"hardlink", {"WARNING A file with another name" + found}},
        // At the name the crash writes under until its report is finished.
        {"partial-folder", {}},
        {"partial-symlink", {}},
        {"partial-hardlink", {}},
        // The reporter's folder moved away for a link to the user's folder (moved back before
        // the next launch), for a new folder, for nothing.
        {"folder-symlink", {}},
        {"folder-replaced", {}},
        {"folder-moved", {}},
    };
    for (const char* signals : {"0", "1"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.put + (signals[0] == '1' ? " (signal capture)" : " (Mach mode)"));
            gwtest::writeFile(outside, "the user's own notes");
            // A crash that hangs outlives the launch's deadline and fails here.
            crash({{"GW_LAUNCH_CRASH", "segv-thread"}, {"GW_LAUNCH_PUT", c.put}, {"GW_LAUNCH_OUTSIDE", outside.string()},
                   {"GW_LAUNCH_SIGNALS", signals}},
                  SIGSEGV);
            if (c.put == "folder-symlink") {  // the folder back where the next launch looks
                fs::remove(folder);
                fs::rename(folder.string() + ".moved", folder);
            }
            const json reported = next();
            fs::remove_all(folder.string() + ".moved");
            EXPECT_EQ(reported["crashed"], true);
            EXPECT_TRUE(sentOneCrash(reported)) << reported.dump();
            const json& problems = reported.value("problems", json::array());
            EXPECT_EQ(problems.size(), c.problems.size()) << problems;
            for (std::size_t i = 0; i < std::min(problems.size(), c.problems.size()); ++i)
                EXPECT_TRUE(problems[i].get<std::string>().starts_with(c.problems[i])) << problems[i];
            EXPECT_EQ(gwtest::readFile(outside), "the user's own notes") << "the report was written through";
            EXPECT_EQ(entriesIn(outside.parent_path()), 1) << "written beside it";
        }
    }
}

TEST_F(CrashLaunchTest, ALinkOrAFifoAtOneOfTheServicesCrashFilesIsNeitherWrittenNorReadThrough) {
    const fs::path documents = home_.path() / "Documents";
    const fs::path notes = documents / "notes.txt", nowhere = documents / "made-by-link.txt";
    const std::string buffer = "crasheslogbuffer/0.rdcrasheslogbuffer", token = "crasheslogbuffer/1.targettoken";
    const struct {
        std::string at;       // below the SDK's folder
        std::string when;     // "start": before the crashing launch starts, "run": while it runs, "next": after it
        const char* removed;  // what the next launch warns it removed, if anything
        std::size_t buffered; // logs in flight sent again
        bool fifo = false;    // one without a reader, else a link
    } cases[] = {
        {buffer, "start", nullptr, 3},
        // Passed over by the crash, which loses that log rather than write through the link
        // (or wait for a reader of the FIFO for good).
        {buffer, "run", "a crash log buffer file", 2},
        {buffer, "run", "a crash log buffer file", 2, true},
        {token, "run", "a crash log buffer's token file", 3},
        {"crashes/RDCrashes.analyzer", "next", "the crash analyzer's marker", 3},
        {"crashes/RDCrashes.analyzer.lock", "next", "the crash analyzer's lock", 3},
    };
    for (const bool dangling : {false, true}) {
        for (const auto& c : cases) {
            if (c.fifo && dangling) continue;
            SCOPED_TRACE(c.at + " at " + c.when + (c.fifo ? ", a FIFO" : dangling ? ", dangling" : ", to the user's file"));
            fs::remove_all(documents);
            gwtest::writeFile(notes, "the user's own notes");
            const fs::path target = dangling ? nowhere : notes;
            const auto put = [&] {
                fs::create_directories((sdkFolder() / c.at).parent_path());
                fs::remove(sdkFolder() / c.at);
                fs::create_symlink(target, sdkFolder() / c.at);
            };
            // A crash that hangs outlives the launch's deadline and fails here.
            const json reported =
                crashWithSomethingPut(put, c.when, (c.fifo ? "fifo:" : "link:") + c.at, target, c.buffered);
            json problems = json::array();
            if (c.removed)
                problems.push_back(fmt::format("WARNING A {} was found in place of {} \"{}\"; it was removed.",
                                               c.fifo ? "FIFO" : "symbolic link", c.removed, (sdkFolder() / c.at).string()));
            EXPECT_EQ(reported["problems"], problems);
            EXPECT_EQ(gwtest::readFile(notes), "the user's own notes") << "written through the link";
            EXPECT_EQ(entriesIn(documents), 1) << "a file made where the link leads";
            std::error_code ec;
            EXPECT_TRUE(!fs::exists(fs::symlink_status(sdkFolder() / c.at, ec)) || fs::is_regular_file(fs::symlink_status(sdkFolder() / c.at, ec)))
                << "still in place";
        }
    }
}

TEST_F(CrashLaunchTest, AHardLinkAnotherUsersFileOrAFolderAtOneOfTheServicesCrashFilesIsNeitherWrittenNorRead) {
    // Before, a hard link at a log buffer file was emptied by the crash and its bytes read as
    // buffered logs, and a folder at the copy's name kept every crash out for good.
    const fs::path documents = home_.path() / "Documents";
    const fs::path notes = documents / "notes.txt";
    const std::string buffer = "crasheslogbuffer/0.rdcrasheslogbuffer", token = "crasheslogbuffer/1.targettoken";
    const std::string copy = "crashes/RDCrashes.copy.partial";
    const struct {
        std::string at;        // below the SDK's folder
        std::string put;       // "hardlink", "theirs" (another user's file) or "folder"
        std::string when;      // "start": before the crashing launch starts, "run": while it runs, "next": after it
        const char* setAside;  // what the next launch warns it set aside, if anything
        std::size_t buffered;  // logs in flight sent again
    } cases[] = {
        {buffer, "hardlink", "start", nullptr, 3},
        // Passed over by the crash, which loses that log rather than write into the other file.
        {buffer, "hardlink", "run", "a crash log buffer file", 2},
        {buffer, "theirs", "run", "a crash log buffer file", 2},
        {token, "hardlink", "run", "a crash log buffer's token file", 3},
        {copy, "hardlink", "next", "the copy of a crash report being stored", 3},
        {copy, "folder", "next", "the copy of a crash report being stored", 3},
        {"crashes/RDCrashes.analyzer", "hardlink", "next", "the crash analyzer's marker", 3},
        {"crashes/RDCrashes.analyzer.lock", "hardlink", "next", "the crash analyzer's lock", 3},
    };
    for (const auto& c : cases) {
        if (c.put == "theirs" && ::geteuid() != 0) continue;  // only the superuser gives a file away
        SCOPED_TRACE(c.at + ", " + c.put + " at " + c.when);
        fs::remove_all(documents);
        gwtest::writeFile(notes, "the user's own notes");
        const fs::path at = sdkFolder() / c.at;
        const auto put = [&] {
            fs::create_directories(at.parent_path());
            fs::remove(at);
            if (c.put == "folder") {
                fs::create_directories(at / "inside");
            } else {
                fs::create_hard_link(notes, at);
            }
        };
        const json reported = crashWithSomethingPut(put, c.when, c.put + ":" + c.at, notes, c.buffered);
        json problems = json::array();
        if (c.setAside && c.put == "folder") {
            problems.push_back(fmt::format("WARNING A folder was found in place of {} \"{}\"; it was removed.", c.setAside,
                                           at.string()));
        } else if (c.setAside) {
            problems.push_back(fmt::format("WARNING A {} was found in place of {} \"{}\"; it was moved to \"{}.aside\".",
                                           c.put == "theirs" ? "file of another user" : "file with another name",
                                           c.setAside, at.string(), at.string()));
        }
        EXPECT_EQ(reported["problems"], problems);
        EXPECT_EQ(gwtest::readFile(notes), "the user's own notes") << "written into";
        struct stat status {};
        EXPECT_TRUE(::lstat(at.c_str(), &status) != 0 || (S_ISREG(status.st_mode) && status.st_nlink == 1 &&
                                                            status.st_uid == ::geteuid()))
            << "still in place";
        std::error_code ec;
        fs::remove(at.string() + ".aside", ec);
    }
}

TEST_F(CrashLaunchTest, InAnotherUsersFoldersOfASharedDataHomeNoCrashFileIsMadeWrittenOrRead) {
    // Another user made the SDK's folders first in a data home shared with them (mode 1777),
    // with the log buffer's files in them. Before, a crash wrote its logs in flight into
    // their files.
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can make a folder another user's";
    const fs::path shared = home_.path() / ".local/share";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const auto theirs = [](const fs::path& path) {
        EXPECT_EQ(::chown(path.c_str(), 65534, 65534), 0) << std::strerror(errno);
    };
    fs::create_directories(sdkFolder() / "crasheslogbuffer");
    for (fs::path folder = sdkFolder() / "crasheslogbuffer"; folder != shared; folder = folder.parent_path()) {
        fs::permissions(folder, fs::perms::all);
        theirs(folder);
    }
    for (int n = 0; n < 60; ++n) {
        const fs::path file = sdkFolder() / "crasheslogbuffer" / (std::to_string(n) + ".rdcrasheslogbuffer");
        gwtest::writeFile(file, "");
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
        theirs(file);
    }
    const auto entries = [&] {
        std::vector<std::pair<std::string, std::uintmax_t>> found;
        for (const auto& entry : fs::recursive_directory_iterator(shared))
            found.emplace_back(entry.path().string(), entry.is_regular_file() ? entry.file_size() : 0);
        return found;
    };
    const auto before = entries();

    crash({{"GW_LAUNCH_CRASH", "segv-thread"}}, SIGSEGV);
    EXPECT_EQ(entries(), before) << "written in another user's folder";
    const json refused = next();
    EXPECT_EQ(refused["crashes"], json::array());
    EXPECT_EQ(refused["after"]["pending"], true) << "the crash is kept for a launch that can take it";
    EXPECT_EQ(entries(), before) << "written in another user's folder";
    bool said = false;
    for (const auto& problem : refused["problems"])
        said = said || problem.get<std::string>().find("belongs to another user") != std::string::npos;
    EXPECT_TRUE(said) << refused["problems"];

    // Once their folders are gone, the crash goes, from folders of this user's own.
    fs::remove_all(shared / pf::Bundle::main().bundleIdentifier());
    const json sent = next();
    EXPECT_TRUE(sentOneCrash(sent)) << sent.dump();
    EXPECT_EQ(fs::status(sdkFolder()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(CrashLaunchTest, TwoProcessesCrashingAtOnceAreBothSentByTheNextLaunchInBothModes) {
    for (const char* signals : {"0", "1"}) {
        SCOPED_TRACE(signals[0] == '1' ? "signal capture" : "Mach mode");
        // Both with logs in flight: they write the log buffer's files at the same moment.
        const auto crashed = crashTogether(2, signals, true);
        const json reported = next();
        std::multiset<long> processes;
        for (const auto& sent : reported["crashes"])
            if (sent["log"].value("type", "") == "appleError") processes.insert(sent["log"].value("processId", 0L));
        EXPECT_EQ(processes, std::multiset<long>(crashed.begin(), crashed.end())) << reported.dump();
        EXPECT_EQ(reported["crashed"], true);
        EXPECT_EQ(reported["after"]["pending"], false);
        EXPECT_EQ(reported["after"]["crashFiles"], json::array());
        EXPECT_EQ(reported["problems"], json::array());
    }
}

TEST_F(CrashLaunchTest, ProcessesCrashingAtOnceAreEachSentOnceByLaunchesStartedTogetherInBothModes) {
    const struct {
        int crashes, launches;
        bool stored;     // the reports first wait in the SDK's folder: a launch asked and got no answer
        bool bothModes;  // else Mach mode only: what the launches do is the same in both
    } rounds[] = {{1, 2, false, false}, {4, 2, false, true}, {8, 4, false, true}, {4, 2, true, false}};
    for (const char* signals : {"0", "1"}) {
        for (const auto& r : rounds) {
            if (signals[0] == '1' && !r.bothModes) continue;
            SCOPED_TRACE(fmt::format("{} crashes, {} launches{} ({})", r.crashes, r.launches, r.stored ? ", stored" : "",
                                     signals[0] == '1' ? "signal capture" : "Mach mode"));
            const auto crashed = crashTogether(r.crashes, signals, r.crashes == 1);
            const std::size_t before = server_.requestCount();
            if (r.stored) {
                const json asked = sendTogether(1, {{"GW_LAUNCH_CONFIRM", "later"}})[0];
                EXPECT_EQ(asked["waiting"], r.crashes) << asked.dump();
            }
            for (const json& launch : sendTogether(r.launches)) {
                EXPECT_EQ(launch["problems"], json::array());
                EXPECT_EQ(launch["drained"], true) << launch.dump();
            }
            EXPECT_EQ(crashLogsReceived(before), std::multiset<long>(crashed.begin(), crashed.end()));
            const std::multiset<std::string> inFlight{"export_failed", "export_progress", "export_started"};
            EXPECT_EQ(received<std::string>(before, "event", "name"), r.crashes == 1 ? inFlight : std::multiset<std::string>{})
                << "the logs in flight at the crash";
            EXPECT_EQ(reportsLeft(), 0u);
        }
    }
}

TEST_F(CrashLaunchTest, CrashesMetByAFullDiskAreEachSentOnceThereIsRoomAgain) {
    // The SDK's folder on a small disk of its own, the reporter's elsewhere: a launch copies
    // the reports onto the full disk (as many as fit) and cannot store their logs. None is
    // deleted before its log is stored: each waits, pending or copied, for a later launch.
    testkit::SmallDisk disk("4m", home_.path() / ".local/share");
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here: " << disk.error();
    for (const std::uintmax_t freeKiB : {24u, 32u, 40u}) {
        SCOPED_TRACE(fmt::format("{} KiB free", freeKiB));
        const std::size_t before = server_.requestCount();
        const auto crashed = crashTogether(8, "0", false);
        ASSERT_TRUE(disk.fillLeaving(freeKiB * 1024)) << disk.available();
        sendTogether(1);
        EXPECT_EQ(crashLogsReceived(before).size() + reportsLeft(), crashed.size()) << "crashes lost";
        disk.emptyFiller();
        for (const json& launch : sendTogether(1)) EXPECT_EQ(launch["problems"], json::array());
        EXPECT_EQ(crashLogsReceived(before), std::multiset<long>(crashed.begin(), crashed.end()));
        EXPECT_EQ(reportsLeft(), 0u);
    }
}

TEST_F(CrashLaunchTest, WhatAStoppedLaunchHoldsIsLeftToItUntilItGoesOnOrDies) {
    using Events = std::multiset<std::string>;
    const Events inFlight{"export_failed", "export_progress", "export_started"};
    const struct {
        const char* stopAt;  // the holder's SDK line it stops at
        bool killed;         // then, else let go on
        Events sentMeanwhile;
    } cases[] = {
        // Holding the pending reports (the logs in flight come later): killed, its reports
        // go to the next launch.
        {"Copying the pending crash report", true, inFlight},
        // Holding its stored copy and the first log in flight, which it has read: let go
        // on, it sends both itself.
        {"Re-enqueueing buffered log", false, {"export_failed", "export_progress"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopAt);
        const std::size_t before = server_.requestCount();
        const auto crashed = crashTogether(1, "0", true);
        const fs::path stopped = home_.path() / ("stopped-" + std::to_string(before));
        const pid_t holder = startUntil("send",
                                        {{"GW_LAUNCH_URL", server_.baseURL()},
                                         {"GW_LAUNCH_STOP_AT", c.stopAt},
                                         {"GW_LAUNCH_STOPPED", stopped.string()},
                                         {kResultVariable, stopped.string() + ".json"}},
                                        stopped, "the holder never stopped");
        ASSERT_GT(holder, 0);
        // The file is written just before the holder stops itself: what it does meanwhile
        // is part of what it holds, so the next launch starts once it has stopped.
        siginfo_t info{};
        int waited;
        while ((waited = ::waitid(P_PID, id_t(holder), &info, WSTOPPED | WEXITED | WNOWAIT)) != 0 && errno == EINTR) {
        }
        ASSERT_EQ(waited, 0) << std::strerror(errno);
        ASSERT_EQ(info.si_code, CLD_STOPPED) << "the holder ended instead of stopping";

        // Another launch meanwhile neither waits for the holder nor takes, sends or purges
        // what it holds.
        const json meanwhile = sendTogether(1)[0];
        EXPECT_LT(meanwhile.value("startMs", 1L << 30), launchDeadline().count() / 2);
        EXPECT_EQ(meanwhile["problems"], json::array());
        EXPECT_EQ(crashLogsReceived(before), std::multiset<long>{});
        // What it sends is what the holder does not hold, or nothing when another of the
        // holder's threads was stopped holding the shared log store's lock; every log in
        // flight still arrives once, below.
        const Events sent = received<std::string>(before, "event", "name");
        EXPECT_TRUE(sent.empty() || sent == c.sentMeanwhile) << ::testing::PrintToString(sent);
        EXPECT_EQ(reportsLeft(), 1u);

        if (c.killed) {
            ::kill(holder, SIGKILL);
            finish(holder, launchDeadline());
            EXPECT_EQ(sendTogether(1)[0]["problems"], json::array());
        } else {
            ::kill(holder, SIGCONT);
            const int status = finish(holder, 3 * launchDeadline());
            EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        }
        EXPECT_EQ(crashLogsReceived(before), std::multiset<long>(crashed.begin(), crashed.end()));
        EXPECT_EQ(received<std::string>(before, "event", "name"), inFlight);
        EXPECT_EQ(reportsLeft(), 0u);
    }
}

TEST_F(CrashLaunchTest, WhatStandsWhereTheReportersFoldersBelongIsRemovedWithOneWarningOrNamedAsTheCause) {
    // A file or a link of the user's where one of the reporter's folders belongs is removed
    // with a warning; one that cannot be removed is named, and crashes go to a folder of the
    // user's own beside it. Before, that kept crash reporting off for good.
    if (!gwtest::runWherePermissionsBind()) return;  // a parent that cannot be written must bind as root too
    const fs::path folder = pendingReportPath().parent_path();
    const fs::path cache = home_.path() / ".cache";
    const fs::path elsewhere = home_.path() / "Elsewhere";
    const struct {
        fs::path at;
        bool link;  // to a folder elsewhere, else a file
        bool removable = true;
    } cases[] = {{folder, false}, {folder.parent_path(), false}, {folder / "queued_reports", false},
                 {folder, true},  {folder, false, false},       {folder, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at.string() + (c.link ? " (link)" : " (file)") + (c.removable ? "" : " in a read-only folder"));
        std::error_code ec;
        fs::remove_all(cache, ec);
        gwtest::writeFile(elsewhere / "notes.txt", "the user's own notes");
        fs::create_directories(c.at.parent_path());
        c.link ? fs::create_directory_symlink(elsewhere, c.at) : gwtest::writeFile(c.at, "not a folder");
        if (!c.removable) fs::permissions(c.at.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
        const std::string kind = c.link ? "symbolic link" : "file";
        const std::string found =
            "A " + kind + " was found in place of the crash reporter's folder \"" + c.at.string() + "\"";
        const std::string instead = "ERROR The crash reporter's folder \"" + c.at.string() + "\" is a " + kind +
                                    ": crash reports are kept in \"" + cache.string() + "/" +
                                    lvcrash::kCrashReporterFolderName + "-";
        const auto expectSaid = [&](const json& problems) {
            if (c.removable) {
                EXPECT_EQ(problems, json::array({"WARNING " + found + "; it was removed."}));
                return;
            }
            ASSERT_EQ(problems.size(), 2u) << problems;
            EXPECT_EQ(problems[0], "ERROR " + found + " and could not be removed (Permission denied).");
            EXPECT_TRUE(problems[1].get<std::string>().starts_with(instead)) << problems[1];
        };
        const json clean = next();
        EXPECT_EQ(clean["crashed"], false);
        expectSaid(clean["problems"]);
        EXPECT_EQ(entriesIn(elsewhere), 1) << "the link's target changed";
        if (c.removable) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(c.at, ec))) << "no folder in its place";
        }

        crash({{"GW_LAUNCH_CRASH", "segv-thread"}}, SIGSEGV);
        const json reported = next();
        fs::permissions(c.at.parent_path(), fs::perms::owner_all);
        EXPECT_EQ(reported["crashed"], true);
        EXPECT_TRUE(sentOneCrash(reported)) << reported.dump();
        if (c.removable) {
            EXPECT_EQ(reported["problems"], json::array());
        } else {
            expectSaid(reported["problems"]);
        }
        EXPECT_EQ(entriesIn(elsewhere), 1) << "the link's target changed";
    }
}

TEST_F(CrashLaunchTest, AStackOverflowOnAThreadStartedAfterEnablingIsSentInBothModes) {
    // This binary links what a program using the crashes service links, nothing of the
    // reporter's beyond it.
    for (const char* signals : {"0", "1"}) {
        SCOPED_TRACE(std::string("signal capture ") + signals);
        const int status = launch("crash", {{"GW_LAUNCH_CRASH", "overflow-thread"}, {"GW_LAUNCH_SIGNALS", signals}});
        ASSERT_TRUE(status != -1 && WIFSIGNALED(status)) << "status " << status;
        EXPECT_TRUE(WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS) << WTERMSIG(status);
        const json result = next();
        EXPECT_EQ(result["crashed"], true);
        ASSERT_TRUE(result.contains("crashes") && !result["crashes"].empty()) << result.dump();
        const json& log = result["crashes"][0]["log"];
        EXPECT_EQ(log["type"], "appleError");
        EXPECT_TRUE(log["osExceptionType"] == "SIGSEGV" || log["osExceptionType"] == "SIGBUS") << log["osExceptionType"];
        const json* crashed = nullptr;
        for (const auto& thread : log["threads"])
            if (thread["id"] == log["errorThreadId"]) crashed = &thread;
        ASSERT_TRUE(crashed);
        EXPECT_NE((*crashed)["id"], log["threads"][0]["id"]) << "the main thread did not crash";
        // The recursion, frame after frame, as deep as a report goes.
        EXPECT_GE((*crashed)["frames"].size(), 100u);
    }
}

TEST_F(CrashLaunchTest, TheHostsAnswersDecideAcrossLaunches) {
    const struct {
        const char* name;
        std::map<std::string, std::string> options;
        bool asked;
        std::size_t crashLogs;  // crash logs sent, each with 2 attachments
    } cases[] = {
        {"send once", {{"GW_LAUNCH_CONFIRM", "1"}}, true, 1},
        {"don't send", {{"GW_LAUNCH_CONFIRM", "0"}}, true, 0},
        {"filtered out", {{"GW_LAUNCH_CONFIRM", "1"}, {"GW_LAUNCH_FILTER", "NO"}}, false, 0},
        {"always", {{"GW_LAUNCH_CONFIRM", "2"}}, true, 1},
        {"after always, without asking", {{"GW_LAUNCH_CONFIRM", "1"}}, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        crash({{"GW_LAUNCH_CRASH", "segv-thread"}}, SIGSEGV);
        const json result = next(c.options);
        ASSERT_TRUE(result.contains("crashes")) << result.dump();
        EXPECT_EQ(result["asked"], c.asked);
        if (c.asked) {
            EXPECT_EQ(result["sentBeforeAnswer"], 0u) << "sent before the answer";
        }
        std::size_t crashLogs = 0;
        for (const auto& entry : result["crashes"]) crashLogs += entry["log"]["type"] == "appleError";
        EXPECT_EQ(crashLogs, c.crashLogs);
        EXPECT_EQ(result["crashes"].size(), c.crashLogs * 3);
        EXPECT_EQ(result["after"]["crashFiles"], json::array()) << "the stored report stays behind";
    }
}

TEST_F(CrashLaunchTest, AMemoryWarningIsReportedOnceAndDisablingLeavesNothingBehind) {
    crash({{"GW_LAUNCH_CRASH", "segv-thread"}, {"GW_LAUNCH_MEMORY", "1"}}, SIGSEGV);
    const json disabled = next({{"GW_LAUNCH_DISABLE", "1"}});
    ASSERT_TRUE(disabled.contains("afterDisable")) << disabled.dump();
    EXPECT_EQ(disabled["memoryWarning"], true);
    const json& before = disabled["beforeDisable"];
    EXPECT_EQ(before["crashFiles"].size(), 2u) << "the stored report and the marker: " << before.dump();
    EXPECT_EQ(before["memoryKey"], true);
    const json& after = disabled["afterDisable"];
    EXPECT_EQ(after["crashesFolder"], false);
    EXPECT_EQ(after["marker"], false);
    EXPECT_EQ(after["pending"], false);
    EXPECT_EQ(after["memoryKey"], false);
    for (const auto& size : after["bufferFiles"]) EXPECT_EQ(size, 0u) << after.dump();
    EXPECT_EQ(disabled["crashes"], json::array());

    // The launch after: the warning was reported once, the crash went with the disabling.
    const json later = next();
    ASSERT_TRUE(later.contains("crashes")) << later.dump();
    EXPECT_EQ(later["memoryWarning"], false);
    EXPECT_EQ(later["crashes"], json::array());
    EXPECT_EQ(later["buffer"], json::array());
    EXPECT_EQ(later["after"]["memoryKey"], false);
}

TEST_F(CrashLaunchTest, TheSelectorOfACrashedMethodIsNamedWhereTheSameImageIsLoaded) {
    for (const bool loaded : {true, false}) {
        SCOPED_TRACE(loaded ? "fixture loaded" : "fixture not loaded");
        crash({{"GW_LAUNCH_CRASH", "selector"}}, SIGSEGV);
        const json result = next({{"GW_LAUNCH_FIXTURE", loaded ? "1" : "0"}});
        ASSERT_TRUE(result.contains("crashes") && !result["crashes"].empty()) << result.dump();
        const json& log = result["crashes"][0]["log"];
        EXPECT_EQ(log["type"], "appleError");
        if (loaded) {
            EXPECT_EQ(log.value("selectorRegisterValue", ""), kSelector);
        } else {
            EXPECT_FALSE(log.contains("selectorRegisterValue"));
        }
        EXPECT_TRUE(binaryNamed(log, "fixture_objc_crash.dylib")) << log.dump();
    }
}

TEST_F(CrashLaunchTest, AnEventHandlersExceptionIsReportedOnlyWhenTheForwarderIsOn) {
    crash({{"GW_LAUNCH_CRASH", "forwarded"}, {"GW_LAUNCH_FORWARDER_INFO", "YES"}}, SIGABRT);
    json result = next();
    ASSERT_TRUE(result.contains("crashes")) << result.dump();
    ASSERT_EQ(result["crashes"].size(), 3u) << "one report and its attachments: " << result.dump();
    const json& log = result["crashes"][0]["log"];
    EXPECT_EQ(log["exceptionType"], "NSInvalidArgumentException");
    EXPECT_EQ(log["exceptionReason"], "layer index out of range");

    // Info key NO: the application's own report takes it, the launch goes on.
    const int status = launch("crash", {{"GW_LAUNCH_CRASH", "forwarded"}, {"GW_LAUNCH_FORWARDER_INFO", "NO"}});
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    result = next();
    EXPECT_EQ(result["crashed"], false);
    EXPECT_EQ(result["crashes"], json::array());
}

// Calls `visit` with each entry below `folder` and what lstat says of it (links not followed).
template <class Visit>
void eachBelow(const fs::path& folder, Visit visit) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0) visit(it->path(), info);
    }
}

// `folder` and every file and folder below it that its group or others may read, write or enter.
std::vector<std::string> openToOthers(const fs::path& folder) {
    std::vector<std::string> open;
    const auto check = [&](const fs::path& path, const struct stat& info) {
        if ((info.st_mode & 077) != 0) open.push_back(path.string());
    };
    if (struct stat info {}; ::lstat(folder.c_str(), &info) == 0) check(folder, info);
    eachBelow(folder, check);
    return open;
}

// The entries below `folder`, with their owner and size: what another user keeps there.
std::vector<std::string> entriesWithOwners(const fs::path& folder) {
    std::vector<std::string> found;
    eachBelow(folder, [&](const fs::path& path, const struct stat& info) {
        found.push_back(fmt::format("{} uid {} {} bytes", path.string(), info.st_uid, S_ISREG(info.st_mode) ? info.st_size : 0));
    });
    std::sort(found.begin(), found.end());
    return found;
}

// The folders below `folder` that `owner` owns.
std::vector<fs::path> foldersOf(const fs::path& folder, uid_t owner) {
    std::vector<fs::path> found;
    eachBelow(folder, [&](const fs::path& path, const struct stat& info) {
        if (S_ISDIR(info.st_mode) && info.st_uid == owner) found.push_back(path);
    });
    return found;
}

TEST_F(CrashLaunchTest, ACrashLeavesNothingAnotherUserCanRead) {
    // A crash report holds the process's stack and registers, the logs in flight its events.
    // Before, the reporter's folders were made 0755 and its reports 0644. Folders an earlier
    // version made open to others are closed on first use.
    const fs::path folder = pendingReportPath().parent_path();
    const fs::path cache = home_.path() / ".cache";
    fs::create_directories(folder / "queued_reports");
    for (const fs::path& made : {folder.parent_path(), folder, folder / "queued_reports"})
        fs::permissions(made, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    crash({{"GW_LAUNCH_CRASH", "segv-thread"}, {"GW_LAUNCH_TOKEN", "1"}}, SIGSEGV);
    // What the crash left for the next launch: its report, and the logs in flight with a token.
    EXPECT_EQ(lvcrash::finishedCrashReportPaths(folder, lvcrash::kPendingReportName).size(), 1u);
    EXPECT_TRUE(fs::exists(sdkFolder() / "crasheslogbuffer" / "1.targettoken"));
    EXPECT_EQ(openToOthers(folder.parent_path()), std::vector<std::string>{});
    EXPECT_EQ(openToOthers(sdkFolder()), std::vector<std::string>{});
    // And what the next launch makes of it: the stored copy of the report.
    const json reported = next({{"GW_LAUNCH_CONFIRM", "1"}, {"GW_LAUNCH_FILTER", "NO"}});
    EXPECT_EQ(reported["crashed"], true);
    EXPECT_EQ(openToOthers(folder.parent_path()), std::vector<std::string>{});
    EXPECT_EQ(openToOthers(sdkFolder()), std::vector<std::string>{});
}

TEST_F(CrashLaunchTest, AnotherUsersFoldersOrReportsInASharedCacheHomeAreNeitherUsedNorSent) {
    // A cache home shared with other users (a 1777 folder, as shared and network homes have):
    // another user made the reporter's folders first, or put a file or a link at their place,
    // or a report into this user's folder. Before, their folders were used as they were (this
    // user's crash written where they read it, their report sent as this user's: two crash logs
    // for one crash), and a file or a link of theirs was removed or kept crash reporting off.
    // Now what is theirs is left as it is, one error line names it, and the crash is written
    // into a folder of this user's own and sent once.
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can give a file to another user";
    const uid_t them = 65534;
    const fs::path cache = home_.path() / ".cache";
    const fs::path top = cache / lvcrash::kCrashReporterFolderName;
    const fs::path folder = pendingReportPath().parent_path();
    const auto theirs = [&](const fs::path& path) {
        ASSERT_EQ(::lchown(path.c_str(), them, them), 0) << std::strerror(errno);
    };
    const auto theirFolder = [&](const fs::path& path) {
        fs::create_directories(path);
        fs::permissions(path, fs::perms::all);
        theirs(path);
    };
    // A real report, to plant: the crash of an earlier process.
    crashTogether(1, "0", false);
    const auto left = lvcrash::finishedCrashReportPaths(folder, lvcrash::kPendingReportName);
    ASSERT_EQ(left.size(), 1u);
    const std::string planted = gwtest::readFile(left.front());
    const std::string plantedName = fs::path(left.front()).filename();
    const auto plant = [&](const fs::path& in) {
        gwtest::writeFile(in / plantedName, planted);
        using fs::perms;
        fs::permissions(in / plantedName, perms::owner_read | perms::owner_write | perms::group_read |
                                              perms::group_write | perms::others_read | perms::others_write);
        theirs(in / plantedName);
    };
    const struct {
        const char* name;
        std::function<void()> put;
        fs::path named;     // the folder the error line names
        const char* why;
    } cases[] = {
        {"their folders, with their report", [&] { theirFolder(top); theirFolder(folder); plant(folder); }, top,
         "belongs to another user (uid 65534)"},
        {"their file", [&] { gwtest::writeFile(top, "theirs"); theirs(top); }, top,
         "is a file of another user (uid 65534)"},
        {"their link to their folder, with their report",
         [&] {
             theirFolder(cache / "theirs");
             theirFolder(cache / "theirs" / folder.filename());
             plant(cache / "theirs" / folder.filename());
             fs::create_directory_symlink(cache / "theirs", top);
             theirs(top);
         },
         top, "is a symbolic link of another user (uid 65534)"},
        {"their report in this user's folder", [&] { fs::create_directories(folder); plant(folder); }, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(cache);
        fs::remove_all(sdkFolder());
        fs::create_directories(cache);
        fs::permissions(cache, fs::perms::all | fs::perms::sticky_bit);
        c.put();
        const auto before = entriesWithOwners(cache);
        const auto crashed = crashTogether(1, "0", false);
        const json reported = next();
        // Theirs as it was: nothing of theirs taken away or changed, nothing new in a folder of theirs.
        const auto after = entriesWithOwners(cache);
        for (const auto& entry : before)
            EXPECT_NE(std::find(after.begin(), after.end(), entry), after.end()) << entry << " changed or went";
        for (const auto& entry : after) {
            if (std::find(before.begin(), before.end(), entry) != before.end()) continue;
            for (const auto& theirs : foldersOf(cache, them))
                EXPECT_FALSE(entry.starts_with(theirs.string() + "/")) << entry << " made in a folder of theirs";
        }
        std::multiset<long> processes;
        for (const auto& sent : reported.value("crashes", json::array()))
            if (sent["log"].value("type", "") == "appleError") processes.insert(sent["log"].value("processId", 0L));
        EXPECT_EQ(processes, std::multiset<long>(crashed.begin(), crashed.end())) << "not this user's crash, once";
        json errors = json::array();
        for (const auto& problem : reported.value("problems", json::array()))
            if (problem.get<std::string>().starts_with("ERROR")) errors.push_back(problem);
        if (c.why) {
            ASSERT_EQ(errors.size(), 1u) << errors;
            const std::string line = errors[0];
            EXPECT_NE(line.find("\"" + c.named.string() + "\" " + c.why + ": crash reports are kept in \"" +
                                cache.string() + "/" + lvcrash::kCrashReporterFolderName + "-"),
                      std::string::npos)
                << line;
        } else {
            EXPECT_EQ(errors, json::array());
        }
        EXPECT_EQ(reported["after"]["pending"], false);
        // Where this user's crash went is this user's alone.
        eachBelow(cache, [](const fs::path& path, const struct stat& info) {
            EXPECT_TRUE(info.st_uid != ::geteuid() || (info.st_mode & 077) == 0) << path << std::oct << " " << info.st_mode;
        });
    }
}

TEST_F(CrashLaunchTest, ACrashLogHeldBackAtExitIsToldToTheDelegateAndSentByALaterLaunch) {
    // A host ends while a stopped process holds the log store's lock: its crash log waits for
    // the store, and the report stays pending, rightly. Before, the crashes delegate heard
    // nothing of it: it was told on the main thread, which runs no more at exit.
    const auto crashed = crashTogether(1, "0", false);
    ASSERT_EQ(crashed.size(), 1u);
    holdStoresLock();
    const fs::path heard = home_.path() / "heard.txt";
    const std::size_t before = server_.requestCount();
    const json held = sendTogether(1, {{"GW_LAUNCH_DELEGATE", heard.string()}})[0];
    EXPECT_EQ(held["processed"], true) << held.dump();
    EXPECT_EQ(crashLogsReceived(before), std::multiset<long>{});
    const std::string pid = std::to_string(crashed.front());
    const std::string lines = fs::exists(heard) ? gwtest::readFile(heard) : std::string();
    EXPECT_TRUE(lines.starts_with("will " + pid + "\nfailed " + pid + " ")) << lines;
    EXPECT_NE(lines.find("could not be stored"), std::string::npos) << lines;
    EXPECT_EQ(reportsLeft(), 1u) << "the crash went with the launch";

    releaseStoresLock();
    for (const json& launch : sendTogether(1)) EXPECT_EQ(launch["problems"], json::array());
    EXPECT_EQ(crashLogsReceived(before), std::multiset<long>(crashed.begin(), crashed.end()));
    EXPECT_EQ(reportsLeft(), 0u);
}

TEST_F(CrashLaunchTest, AStoredCopyThatCannotBeSyncedLeavesTheCrashPendingForALaterLaunch) {
    // The crashes service keeps its own copy of a report and purges the pending one: the copy
    // must be on the disk first. A disk that refuses to sync it (a failing device) leaves the
    // crash pending, with an error line, and a later launch sends it.
    crash({{"GW_LAUNCH_CRASH", "segv-thread"}}, SIGSEGV);
    const json failing = next({{"GW_LAUNCH_FAIL_SYNC", "RDCrashes.copy.partial"}});
    EXPECT_EQ(failing["crashes"], json::array());
    EXPECT_EQ(failing["after"]["pending"], true) << "the crash went";
    EXPECT_EQ(failing["after"]["crashFiles"], json::array());
    const std::string copy = (sdkFolder() / "crashes" / "RDCrashes.copy.partial").string();
    EXPECT_EQ(failing["problems"],
              json::array({"ERROR Couldn't write the copy of a crash report being stored \"" + copy +
                           "\": Input/output error"}));
    const json later = next();
    EXPECT_TRUE(sentOneCrash(later)) << later.dump();
    EXPECT_EQ(later["after"]["pending"], false);
}

}  // namespace
