// The log store's faults, seen from outside: launches of the SDK (this program run
// again as a child process) start it with an app secret and Analytics and track named
// events through the public calls, against a loopback ingestion server that decodes
// every batch; the test counts the events tracked, stored and received by name (every
// event's name is unique) across launches.
#include "platform/foundation/bundle.hpp"
#include "support/machine_pace.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/fast_clock.hpp"
#include "telemetry/support/http/loopback_server.hpp"
#include "telemetry/support/scenario_environment.hpp"
#include "telemetry/support/small_disk.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using rddi::RDDIAnalytics;
using rddi::RDDIDezIdedev;
using rddi::testkit::ScenarioEnvironment;
using rddi::testkit::SmallDisk;

constexpr const char* kLaunchVariable = "GW_STORE_LAUNCH";  // see LaunchPlan
constexpr const char* kReportVariable = "GW_STORE_LAUNCH_REPORT";
constexpr const char* kHolderVariable = "GW_STORE_LOCK_HOLDER";  // the lock file a holder holds
// A file an "exit" launch waits for before it ends, when set.
constexpr const char* kGateVariable = "GW_STORE_LAUNCH_GATE";
constexpr const char* kDiskFullDiscard = "Log could not be stored because the disk is full; discarding the log.";
constexpr const char* kRefusedURL = "http://127.0.0.1:1";
// What the delegates hear for every log the store cannot write.
constexpr const char* kCannotWriteError =
    "Error Domain=com.Ridevedod.DezIdedev.ErrorDomain Code=101 \"The log could not be stored: the log store cannot be "
    "written.\"";
// What the analytics delegate hears for an event refused where it was tracked.
constexpr const char* kRefusedAtEntryError =
    "Error Domain=com.Ridevedod.DezIdedev.ErrorDomain Code=102 \"The log was refused: a property key or value holds a "
    "NUL character.\"";

// What one launch does: track `events` events named "<prefix><n>" (`perSecond` of them
// a second, 0 for a burst), then end at once ("exit"), or wait until every one of them
// was handled and then either report the events left in the store ("stored") or wait
// until the store is empty ("drain").
struct LaunchPlan {
    std::string url;
    int events = 0;
    std::string prefix;
    std::string until = "drain";
    int perSecond = 0;
    std::string dataHome;  // XDG_DATA_HOME, when not the test's
    long storageBytes = 0;  // the store's size limit; 0 for the default 10 MiB
    // Before tracking event `removeAt` the launch takes the store away: "files" deletes
    // Logs.sqlite with its -wal and -shm, "folder" the whole SDK folder, "blocked" puts a
    // file in the folder's place, which goes again before event `restoreAt`; "locked" takes
    // every permission off the folder until then, "log" deletes only the -wal and -shm,
    // "older-log" copies the -wal aside and puts the copy back in its place then; "log-gone"
    // deletes nothing but waits until another launch has deleted the -wal and -shm;
    // "wal-link" puts a link to a file of the user's ("<data home>/notes.txt") in the
    // -wal's place.
    // "nul" puts a NUL into a property of every tenth log instead.
    int removeAt = -1;
    std::string remove = "-";
    int restoreAt = -1;
    // The app secret the launch starts with: "-" a sound one, "empty" none at all, "nul"
    // one holding a NUL.
    std::string secret = "-";

    std::string encoded() const {
        return url + " " + std::to_string(events) + " " + (prefix.empty() ? "-" : prefix) + " " + until + " " +
               std::to_string(perSecond) + " " + std::to_string(storageBytes) + " " + std::to_string(removeAt) + " " +
               remove + " " + std::to_string(restoreAt) + " " + secret;
    }
};

std::string startStringFor(const std::string& secret) {
    if (secret == "empty") return "";
    if (secret == "nul") return std::string("0123456789abcdef\0" "0123456789abcde", 32);
    return "0123456789abcdef0123456789abcdef";
}

sqlite3* openLogs(int flags = SQLITE_OPEN_READONLY) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(ScenarioEnvironment::logsPath().c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    return db;
}

// The names of the events stored in the file, read as another program would.
std::vector<std::string> storedEventNames() {
    std::vector<std::string> names;
    sqlite3* db = openLogs();
    if (!db) return names;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT log FROM logs", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 0));
            platform::foundation::Data data(bytes, bytes + sqlite3_column_bytes(statement, 0));
            const auto log = rddi::RDDIUtility::unarchiveKeyedData<rddi::RDDIAbstractLog>(data);
            if (const auto* event = dynamic_cast<const rddi::RDDIEventLog*>(log.get()); event && event->name) {
                names.push_back(*event->name);
            }
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

// Counts the events whose handling the units finished (stored or not), and hands on the
// name of every event reported as failed with the error it was reported with.
class HandledEvents : public rddi::RDDIChannelDelegate {
public:
    using Failed = std::function<void(const std::string& name, const std::string& error)>;
    explicit HandledEvents(Failed failed) : failed_(std::move(failed)) {}
    void channelDidCompleteEnqueueingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog& log,
                                         const std::string&) override {
        if (dynamic_cast<const rddi::RDDIEventLog*>(&log)) ++count;
    }
    void channelDidFailSendingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog& log,
                                  const std::string& error) override {
        if (const auto* event = dynamic_cast<const rddi::RDDIEventLog*>(&log); event && event->name) {
            failed_(*event->name, error);
        }
    }
    std::atomic<int> count{0};

private:
    Failed failed_;
};

// Hears of the logs refused where they were tracked, which never reach a channel.
struct RefusedLogs : rddi::RDDIAnalyticsDelegate {
    RefusedLogs(std::shared_ptr<HandledEvents> handled, HandledEvents::Failed failed)
        : handled(std::move(handled)), failed(std::move(failed)) {}
    void analyticsDidFailSendingEventLog(RDDIAnalytics&, const rddi::RDDIEventLog& log, const std::string& error) override {
        heard(log, error);
    }
    void analyticsDidFailSendingPageLog(RDDIAnalytics&, const rddi::RDDIPageLog& log, const std::string& error) override {
        heard(log, error);
    }
    void heard(const rddi::RDDILogWithNameAndProperties& log, const std::string& error) {
        if (error != kRefusedAtEntryError || !log.name) return;
        failed(*log.name, error);
        ++handled->count;
    }
    std::shared_ptr<HandledEvents> handled;
    HandledEvents::Failed failed;
};

// Takes the store away from a running launch as a user or a cleaning tool would, and gives
// it back (see LaunchPlan).
bool waitFor(const std::function<bool()>& done, std::chrono::seconds timeout);

// The SDK folder below a data home.
fs::path sdkFolderUnder(const fs::path& home) {
    for (const auto& entry : fs::recursive_directory_iterator(home))
        if (entry.is_directory() && entry.path().filename() == "com.ridevedod.dezidedev") return entry.path();
    return {};
}

// A file of the user's beside the SDK's folders, which nothing of the SDK may write.
fs::path userNotes() { return rddi::RDDIUtility::dezIdedevDirectoryURL().parent_path().parent_path() / "notes.txt"; }
constexpr const char* kUserNotes = "the user's own notes, not to be overwritten by anyone\n";

void takeStoreAway(const std::string& how) {
    const fs::path folder = rddi::RDDIUtility::dezIdedevDirectoryURL();
    if (how == "log-gone") {
        const auto gone = [&] { return !fs::exists(folder / "Logs.sqlite-wal") && !fs::exists(folder / "Logs.sqlite-shm"); };
        EXPECT_TRUE(waitFor(gone, std::chrono::seconds(120)));
        return;
    }
    if (how == "older-log") return (void)fs::copy_file(folder / "Logs.sqlite-wal", folder / "older-wal");
    if (how == "wal-link") {
        // Put in place at once, as a user's `ln -sf` does.
        fs::create_symlink(userNotes(), folder / "notes-link");
        return fs::rename(folder / "notes-link", folder / "Logs.sqlite-wal");
    }
    if (how == "files" || how == "log") {
        if (how == "files") fs::remove(folder / "Logs.sqlite");
        for (const char* suffix : {"-wal", "-shm"}) fs::remove(folder / (std::string("Logs.sqlite") + suffix));
        return;
    }
    if (how == "locked") return fs::permissions(folder, fs::perms::none);
    fs::remove_all(folder);
    if (how == "blocked") std::ofstream(folder) << "not a folder";
}

void giveStoreBack(const std::string& how) {
    const fs::path folder = rddi::RDDIUtility::dezIdedevDirectoryURL();
    if (how == "locked") return fs::permissions(folder, fs::perms::owner_all);
    if (how == "older-log") return fs::rename(folder / "older-wal", folder / "Logs.sqlite-wal");
    fs::remove(folder);
}

bool waitFor(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A launch's report file. Held by the SDK's log handler and delegate as well: their calls
// from other threads may come after the launch's test has returned.
class LaunchLines {
public:
    explicit LaunchLines(const char* path) : file_(path, std::ios::app) {}
    void add(char kind, const std::string& text) {
        std::lock_guard lock(mutex_);
        // Each line is seen at once: the test waits on some while the launch runs (which of
        // them a buffer holds back depends on how fast the machine runs the launch), and what
        // is said as the process exits is flushed by nothing else.
        file_ << kind << ' ' << text << std::endl;
    }
    void flush() {
        std::lock_guard lock(mutex_);
        file_.flush();
    }

private:
    std::mutex mutex_;
    std::ofstream file_;
};

// The launch itself: runs only as a child process of the tests below. It reports "r"
// once start() returned, "t <name>" for each tracked event, "s <name>" for each event
// left stored, "f <name> <error>" for each event reported to the delegates as failed,
// "e <text>" for each ERROR line of the SDK and "w <text>" for each WARNING line.
TEST(StoreLaunchChildProcess, TrackEventsThenWait) {
    const char* encoded = std::getenv(kLaunchVariable);
    if (!encoded) GTEST_SKIP() << "runs as a child process only";
    LaunchPlan plan;
    std::istringstream words(encoded);
    words >> plan.url >> plan.events >> plan.prefix >> plan.until >> plan.perSecond >> plan.storageBytes >>
        plan.removeAt >> plan.remove >> plan.restoreAt >> plan.secret;
    auto report = std::make_shared<LaunchLines>(std::getenv(kReportVariable));

    // A launch that drains its store runs the SDK's timers ten times faster: a batch short of
    // full goes after a tenth of its flush interval's three seconds, which it would otherwise
    // spend waiting on an idle processor. It ends only once every batch was answered; the
    // other launches keep the real clock, under which what they leave stored is what the
    // tests expect.
    const rddi::testkit::FastClock fastClock(std::chrono::milliseconds(10), std::chrono::milliseconds(100),
                                             plan.until == "drain");

    rddi::testkit::TelemetryTestEnvironment::resetSdk();
    rddi::RDDIDependencyConfiguration::setChannelGroupFactory({});
    rddi::RDDIDependencyConfiguration::setHttpClient(rddi::RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); })));
    RDDIDezIdedev::setLogHandler([report](const rddi::RDDILogMessageProvider& provider, rddi::RDDILogLevel level,
                                          const std::string&, const char*, const char*, std::uint32_t) {
        if (level < rddi::RDDILogLevelWarning || !provider) return;
        auto text = provider();
        std::replace(text.begin(), text.end(), '\n', ' ');
        report->add(level == rddi::RDDILogLevelWarning ? 'w' : 'e', text);
    });
    RDDIDezIdedev::setLogLevel(rddi::RDDILogLevelWarning);
    if (plan.storageBytes > 0) RDDIDezIdedev::setMaxStorageSize(plan.storageBytes, nullptr);
    RDDIDezIdedev::setLogUrl(plan.url);
    const auto starting = Clock::now();
    RDDIDezIdedev::start(startStringFor(plan.secret), {RDDIAnalytics::serviceClass()});
    const auto startTook = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - starting);
    report->add('d', std::to_string(startTook.count()));
    report->add('r', "started");
    auto handled = std::make_shared<HandledEvents>(
        [report](const std::string& name, const std::string& error) { report->add('f', name + " " + error); });
    RDDIDezIdedev::sharedInstance()->channelGroup()->addDelegate(handled);
    auto refusedAtEntry = std::make_shared<RefusedLogs>(
        handled, [report](const std::string& name, const std::string& error) { report->add('f', name + " " + error); });
    RDDIAnalytics::setDelegate(refusedAtEntry);

    const auto started = Clock::now();
    for (int i = 0; i < plan.events; ++i) {
        // Waiting for another launch to take the store away, this one takes nothing away itself.
        const bool taking = i == plan.removeAt && plan.remove != "log-gone";
        if (taking || i == plan.restoreAt) {
            // Every event tracked before met the store as it was, however far behind it is.
            ASSERT_TRUE(waitFor([&] { return handled->count >= i; }, std::chrono::seconds(120)));
        }
        if (taking) {
            // A unit with nothing more to send loads its stored logs again only with its next
            // log or launch, not when a store it could not reach comes back: the start-service
            // log leaves first.
            ASSERT_TRUE(waitFor([] { return ScenarioEnvironment::rowCount("DezIdedev") == 0; }, std::chrono::seconds(120)));
        }
        if (i == plan.removeAt) takeStoreAway(plan.remove);
        if (i == plan.restoreAt) giveStoreBack(plan.remove);
        const std::string name = plan.prefix + std::to_string(i);
        report->add('t', name);
        rddi::RDDIStringProperties properties{{"launch", plan.prefix}, {"n", std::to_string(i)}};
        // "nul": a NUL in a string value, a string key, a typed key, a page's property, in turn.
        const int nulTurn = plan.remove == "nul" && i % 10 == 5 ? i / 10 % 4 : -1;
        const std::string nul("n\0ul", 4);
        if (nulTurn == 0) properties.emplace("value", nul);
        if (nulTurn == 1) properties.emplace(nul, "key");
        if (nulTurn == 2) {
            auto typed = std::make_shared<rddi::RDDIEventProperties>(properties);
            typed->setInt64(1, nul);
            RDDIAnalytics::trackEvent(name, typed);
        } else if (nulTurn == 3) {
            RDDIAnalytics::trackPage(name, rddi::RDDIStringProperties{{"value", nul}});
        } else {
            RDDIAnalytics::trackEvent(name, properties);
        }
        if (plan.perSecond > 0) std::this_thread::sleep_until(started + std::chrono::microseconds(1'000'000LL * (i + 1) / plan.perSecond));
    }
    // The process ends at once, as the command line does after its work: whatever was
    // tracked is stored on the way out.
    if (plan.until == "exit") {
        if (const char* gate = std::getenv(kGateVariable)) {
            report->add('g', "at the gate");
            EXPECT_TRUE(waitFor([gate] { return fs::exists(gate); }, std::chrono::seconds(240)));
        }
        return report->flush();
    }
    ASSERT_TRUE(waitFor([&] { return handled->count >= plan.events; }, std::chrono::seconds(120)))
        << handled->count << " of " << plan.events << " events handled";
    if (plan.until == "stored") {
        // What is left once every batch this launch could send has been answered.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (const auto& name : storedEventNames()) report->add('s', name);
    } else {
        ASSERT_TRUE(waitFor([] { return ScenarioEnvironment::rowCount() == 0; }, std::chrono::seconds(120)))
            << ScenarioEnvironment::rowCount() << " rows left";
    }
    report->flush();
}

// A process holding the store's lock as a launch stopped in the middle of an operation
// (Ctrl-Z, a debugger) would: runs only as a child process of the tests below, reports
// "held" once it holds the lock, and holds it until it is killed.
TEST(StoreLockHolderChildProcess, HoldTheLock) {
    const char* path = std::getenv(kHolderVariable);
    if (!path) GTEST_SKIP() << "runs as a child process only";
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0) << std::strerror(errno);
    std::ofstream(std::getenv(kReportVariable)) << "held" << std::endl;
    for (;;) ::pause();
}

struct LaunchReport {
    int status = -1;
    long startMilliseconds = -1;  // how long start() took
    std::vector<std::string> tracked, stored, failed, errors, warnings;
    std::vector<std::string> failures;  // the error of each failed event, in the order of `failed`
    std::string output;  // what the launch printed, for failures

    long errorsContaining(const std::string& text) const {
        return std::count_if(errors.begin(), errors.end(), [&](const auto& e) { return e.find(text) != std::string::npos; });
    }
    // Failures reported with another error than the store's own.
    long otherFailures() const {
        return std::count_if(failures.begin(), failures.end(), [](const auto& e) { return e != kCannotWriteError; });
    }
    // The events the store refused.
    std::set<std::string> refused() const {
        std::set<std::string> names;
        for (std::size_t i = 0; i < failed.size(); ++i)
            if (failures[i] == kCannotWriteError) names.insert(failed[i]);
        return names;
    }
    std::string allErrors() const {
        std::string text;
        for (const auto& error : errors) text += error + "\n";
        return text;
    }
};

// A launch running as a child process.
class Launch {
public:
    explicit Launch(const LaunchPlan& plan, const fs::path& gate = {}) {
        report_ = scratch_ / "report.txt";
        rddi::testkit::SelfLaunch launch{"StoreLaunchChildProcess.TrackEventsThenWait",
                                         {{kLaunchVariable, plan.encoded()}, {kReportVariable, report_.string()}},
                                         report_.parent_path() / "output.txt"};
        if (!plan.dataHome.empty()) launch.environment.emplace_back("XDG_DATA_HOME", plan.dataHome);
        if (!gate.empty()) launch.environment.emplace_back(kGateVariable, gate.string());
        pid_ = rddi::testkit::spawnSelf(launch);
    }
    // A launch still running when its test ends, passed or failed, ends with it.
    ~Launch() {
        if (pid_ > 0) rddi::testkit::waitForChild(pid_, std::chrono::milliseconds(0));
    }
    Launch(const Launch&) = delete;
    Launch& operator=(const Launch&) = delete;
    // Waits for the launch's end, at most `deadline` (then it is killed, status -1).
    LaunchReport finish(std::chrono::milliseconds deadline = std::chrono::minutes(6)) {
        LaunchReport result;
        const int status = pid_ > 0 ? rddi::testkit::waitForChild(pid_, deadline) : -1;
        pid_ = -1;
        result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (fs::exists(report_.parent_path() / "output.txt")) result.output = gwtest::readFile(report_.parent_path() / "output.txt");
        std::ifstream lines(report_);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 2) continue;
            const std::string text = line.substr(2);
            if (line[0] == 't') result.tracked.push_back(text);
            if (line[0] == 's') result.stored.push_back(text);
            if (line[0] == 'f') {
                const auto space = text.find(' ');
                result.failed.push_back(text.substr(0, space));
                result.failures.push_back(space == std::string::npos ? std::string() : text.substr(space + 1));
            }
            if (line[0] == 'e') result.errors.push_back(text);
            if (line[0] == 'w') result.warnings.push_back(text);
            if (line[0] == 'd') result.startMilliseconds = std::stol(text);
        }
        return result;
    }
    // Stops or continues the launch as Ctrl-Z and `fg` would.
    void signal(int number) const {
        if (pid_ > 0) ::kill(pid_, number);
    }
    // Whether the launch has a file open that was deleted from `path` (a log it has not yet
    // followed since a cleaning tool deleted it).
    bool holdsDeleted(const fs::path& path) const {
        std::error_code error;
        // The store opens its files through its folder's own path, links resolved.
        const auto deleted = (fs::weakly_canonical(path.parent_path(), error) / path.filename()).string() + " (deleted)";
        fs::directory_iterator entry("/proc/" + std::to_string(pid_) + "/fd", error);
        for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
            std::error_code unreadable;  // closed meanwhile
            if (fs::read_symlink(entry->path(), unreadable).string() == deleted) return true;
        }
        return false;
    }
    // Whether the launch has reported a line of `kind` holding `text` so far.
    bool hasReported(char kind, const std::string& text) const {
        std::ifstream lines(report_);
        for (std::string line; std::getline(lines, line);)
            if (line.size() >= 2 && line[0] == kind && line.find(text, 2) != std::string::npos) return true;
        return false;
    }

private:
    gwtest::TempDir scratch_;
    fs::path report_;
    pid_t pid_ = -1;
};

LaunchReport runLaunch(const LaunchPlan& plan) { return Launch(plan).finish(); }

// 1,500 events at 300 a second, the store taken away (see LaunchPlan) before the 500th.
LaunchPlan busyLaunch(const std::string& url, const std::string& prefix, const std::string& remove) {
    LaunchPlan plan{url, 1500, prefix, "drain", 300};
    plan.removeAt = 500;
    plan.remove = remove;
    return plan;
}

// A process of its own holding the lock of the store under the test's home, stopped (as
// by Ctrl-Z) once it holds it. It lets go when it is released, killed as a user would.
class StoppedLockHolder {
public:
    StoppedLockHolder() {
        const auto lock = ScenarioEnvironment::logsPath().string() + "-lock";
        const auto report = scratch_.path() / "held.txt";
        pid_ = rddi::testkit::spawnSelf({"StoreLockHolderChildProcess.HoldTheLock",
                                         {{kHolderVariable, lock}, {kReportVariable, report.string()}},
                                         scratch_.path() / "output.txt"});
        held_ = pid_ > 0 && waitFor([&] { return fs::exists(report) && gwtest::readFile(report).starts_with("held"); },
                                    std::chrono::seconds(120));
        if (held_) ::kill(pid_, SIGSTOP);
    }
    ~StoppedLockHolder() { release(); }
    bool held() const { return held_; }
    void release() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        rddi::testkit::waitForChild(pid_, std::chrono::minutes(1));
        pid_ = -1;
    }

private:
    gwtest::TempDir scratch_;
    pid_t pid_ = -1;
    bool held_ = false;
};

// Every arrival of an event at the server, by name.
std::map<std::string, int> arrivals(const rddi::testkit::LoopbackServer& server) {
    std::map<std::string, int> seen;
    for (const auto& request : server.requests()) {
        if (!request.path.starts_with("/logs") || !request.json) continue;
        for (const auto& log : (*request.json)["logs"])
            if (log.value("type", "") == "event") ++seen[log.value("name", "")];
    }
    return seen;
}

int duplicatesOf(const std::map<std::string, int>& seen) {
    int duplicates = 0;
    for (const auto& [name, count] : seen) duplicates += count - 1;
    return duplicates;
}

// The names that arrived more than once, for a failure's message.
std::string sentTwice(const std::map<std::string, int>& seen) {
    std::string names;
    int count = 0;
    for (const auto& [name, arrived] : seen) {
        if (arrived < 2) continue;
        if (++count <= 10) names += " " + name + " (" + std::to_string(arrived) + ")";
    }
    return count == 0 ? std::string() : std::to_string(count) + " sent again:" + names + (count > 10 ? " ..." : "");
}

std::map<std::string, int> arrivalsWithPrefix(const rddi::testkit::LoopbackServer& server, const std::string& prefix) {
    auto seen = arrivals(server);
    std::erase_if(seen, [&](const auto& entry) { return !entry.first.starts_with(prefix); });
    return seen;
}

std::set<std::string> namesWithPrefix(const std::map<std::string, int>& seen, const std::string& prefix) {
    std::set<std::string> names;
    for (const auto& [name, count] : seen)
        if (name.starts_with(prefix)) names.insert(name);
    return names;
}

// What every run of two launches sharing the store holds: both ended well, tracked all
// they were asked to, and each event of theirs arrived once or was reported as failed.
void expectEachEventOnceOrFailed(const LaunchReport& one, const LaunchReport& two,
                                 const std::map<std::string, int>& seen, int events) {
    EXPECT_EQ(duplicatesOf(seen), 0);
    for (const auto* launch : {&one, &two}) {
        ASSERT_EQ(launch->status, 0) << launch->output;
        EXPECT_EQ(launch->tracked.size(), static_cast<std::size_t>(events));
        const std::set<std::string> failed(launch->failed.begin(), launch->failed.end());
        for (const auto& name : launch->tracked)
            ASSERT_TRUE(seen.contains(name) || failed.contains(name)) << name << " neither sent nor failed";
    }
}

class StoreFaultsTest : public ::testing::Test {
protected:
    // The SDK folder is worked out once and kept: an earlier case's home must not be read.
    void SetUp() override { rddi::RDDIUtility::resetDezIdedevDirectoryURL(); }

    // A store an earlier launch made and left, its log recorded beside it, and a process
    // holding its lock, stopped.
    std::unique_ptr<StoppedLockHolder> stoppedHolderBesideAStore() {
        const auto earlier = runLaunch({server_.baseURL(), 10, "earlier", "drain"});
        EXPECT_EQ(earlier.status, 0) << earlier.output;
        return std::make_unique<StoppedLockHolder>();
    }

    gwtest::ScopedXdgHome xdg_;
    rddi::testkit::LoopbackServer server_;
};

TEST_F(StoreFaultsTest, AFullDiskKeepsSendingWhatItHoldsAndSaysWhyNewLogsAreDiscarded) {
    SmallDisk disk("3m");
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here: " << disk.error();
    const std::string home = disk.path().string();

    // The server refuses connections: the store fills the disk and keeps what it could store.
    const auto filling = runLaunch({kRefusedURL, 6000, "fill", "stored", 0, home});
    ASSERT_EQ(filling.status, 0) << filling.output;
    ASSERT_EQ(filling.tracked.size(), 6000u);
    EXPECT_GT(filling.stored.size(), 500u);
    EXPECT_LT(filling.stored.size(), 6000u);
    // One line for the episode, none for each discarded log; each is reported as failed.
    EXPECT_EQ(filling.errorsContaining("is full: stored rows can still be deleted"), 1);
    EXPECT_EQ(filling.errorsContaining(kDiskFullDiscard), 0);
    EXPECT_EQ(filling.errorsContaining("no logs with equal or lower priority exist"), 0);
    EXPECT_EQ(filling.refused().size() + filling.stored.size(), 6000u);

    // The next launch tracks nothing: what the full disk holds is sent at start, once.
    const auto sending = runLaunch({server_.baseURL(), 0, "none", "drain", 0, home});
    ASSERT_EQ(sending.status, 0) << sending.output;
    auto seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    EXPECT_EQ(namesWithPrefix(seen, "fill"), std::set<std::string>(filling.stored.begin(), filling.stored.end()));

    // A burst larger than the disk, with the server up: the store fills and empties as
    // batches leave; every event is either received once or discarded with its reason.
    const auto burst = runLaunch({server_.baseURL(), 6000, "burst", "drain", 0, home});
    ASSERT_EQ(burst.status, 0) << burst.output;
    seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    const auto received = namesWithPrefix(seen, "burst").size();
    EXPECT_GT(received, filling.stored.size()) << "the disk's room was not used again";
    // The delegates heard of every discarded event as failed, and of no received one.
    auto accountedFor = namesWithPrefix(seen, "burst");
    accountedFor.insert(burst.failed.begin(), burst.failed.end());
    EXPECT_EQ(accountedFor.size(), 6000u) << "events neither received nor reported as failed";
    EXPECT_EQ(received + burst.failed.size(), 6000u);
    EXPECT_EQ(burst.otherFailures(), 0);
    // The disk fills and empties again as batches leave: one line each time it fills.
    const auto episodes = burst.errorsContaining("is full: stored rows can still be deleted");
    EXPECT_GE(episodes, 1);
    EXPECT_EQ(burst.errorsContaining(kDiskFullDiscard), 0);
    EXPECT_EQ(static_cast<long>(burst.errors.size()), episodes) << burst.allErrors();
}

TEST_F(StoreFaultsTest, ADamagedPageIsMovedAsideAndTheReadableLogsStillGoOnce) {
    const auto storing = runLaunch({kRefusedURL, 400, "kept", "stored", 0, ""});
    ASSERT_EQ(storing.status, 0) << storing.output;
    ASSERT_EQ(storing.stored.size(), 400u);

    // Everything into the file, then one page in its middle zeroed.
    sqlite3* db = openLogs(SQLITE_OPEN_READWRITE);
    ASSERT_NE(db, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    long pages = 0, pageSize = 0;
    for (auto [query, value] : {std::pair{"PRAGMA page_count", &pages}, std::pair{"PRAGMA page_size", &pageSize}}) {
        sqlite3_prepare_v2(db, query, -1, &statement, nullptr);
        if (sqlite3_step(statement) == SQLITE_ROW) *value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    ASSERT_GT(pages, 20);
    {
        std::fstream file(ScenarioEnvironment::logsPath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((pages / 2 - 1) * pageSize);
        const std::string zeros(static_cast<std::size_t>(pageSize), '\0');
        file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }

    const auto next = runLaunch({server_.baseURL(), 50, "new", "drain", 0, ""});
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(next.errorsContaining("is damaged (its integrity check failed)"), 1);
    EXPECT_TRUE(fs::exists(ScenarioEnvironment::logsPath().string() + ".corrupt"));
    const auto seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    EXPECT_EQ(namesWithPrefix(seen, "new").size(), 50u);
    const auto kept = namesWithPrefix(seen, "kept");
    for (const auto& name : kept) EXPECT_NE(std::find(storing.stored.begin(), storing.stored.end(), name), storing.stored.end());
    // Only the rows on and around the damaged page are lost.
    EXPECT_GE(kept.size(), 380u);
    EXPECT_EQ(ScenarioEnvironment::rowCount(), 0);
}

// Writes what the store's log holds into its file and removes the log, as the last
// process to close the file does; answers the file's page size and page count.
std::pair<long, long> checkpointed(const fs::path& file) {
    sqlite3* db = nullptr;
    long pages = 0, pageSize = 0;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        for (auto [query, value] : {std::pair{"PRAGMA page_count", &pages}, std::pair{"PRAGMA page_size", &pageSize}}) {
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(db, query, -1, &statement, nullptr);
            if (sqlite3_step(statement) == SQLITE_ROW) *value = sqlite3_column_int64(statement, 0);
            sqlite3_finalize(statement);
        }
    }
    sqlite3_close(db);
    return {pageSize, pages};
}

TEST_F(StoreFaultsTest, AStoreCutShortInsideItsLastPageIsKeptBesideAndStartReturnsAtOnce) {
    // Before, the recovery of a store cut inside its last page read rows 1 to 11 of the
    // damaged b-tree, then row 0, and the same rows again for ever: start() never returned,
    // at every launch. Now it returns at once, the file is kept beside with one line, what
    // can still be read is sent once and new logs are stored and sent. A 12-log store is
    // 36,864 bytes, nine pages; it is cut at 33,000, 34,500 and 36,000 bytes.
    gwtest::Pace pace;
    const struct {
        int logs;
        long intoLastPage;  // bytes of the last page left
    } cases[] = {{12, 232}, {12, 1732}, {12, 3232}, {200, 1732}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.logs) + " logs, " + std::to_string(c.intoLastPage) + " bytes into the last page");
        gwtest::TempDir home;
        const std::string prefix = "cut" + std::to_string(c.logs) + "-" + std::to_string(c.intoLastPage) + "-";
        const auto storing = runLaunch({kRefusedURL, c.logs, prefix + "kept-", "stored", 0, home.path().string()});
        ASSERT_EQ(storing.status, 0) << storing.output;
        ASSERT_EQ(storing.stored.size(), static_cast<std::size_t>(c.logs));
        const fs::path file = sdkFolderUnder(home.path()) / "Logs.sqlite";
        const auto [pageSize, pages] = checkpointed(file);
        ASSERT_GT(pages, 2);
        ASSERT_EQ(fs::file_size(file), static_cast<std::uintmax_t>(pageSize * pages));
        fs::resize_file(file, (pages - 1) * pageSize + c.intoLastPage);

        // A launch that hangs is ended, and fails here. It stores its events and sends what it
        // can: a row of the cut page that holds no log is dropped when a batch meets it, and the
        // rows after it wait for the next load, here the next launch's.
        const auto next = Launch({server_.baseURL(), 20, prefix + "new-", "stored", 0, home.path().string()})
                              .finish(pace.bound(std::chrono::seconds(60)));
        ASSERT_EQ(next.status, 0) << next.output;
        // The wall clock is the point: normally a few milliseconds, scaled by the machine's pace.
        EXPECT_LT(next.startMilliseconds, pace.bound(std::chrono::seconds(2)).count());
        EXPECT_EQ(next.errorsContaining("is damaged (it is cut short"), 1) << next.allErrors();
        EXPECT_EQ(next.errorsContaining("moved to \"" + file.string() + ".corrupt\""), 1) << next.allErrors();
        EXPECT_TRUE(fs::exists(file.string() + ".corrupt")) << "not kept beside";
        // Nothing is read from it again, and every log goes once.
        const auto after = runLaunch({server_.baseURL(), 0, "none", "drain", 0, home.path().string()});
        ASSERT_EQ(after.status, 0) << after.output;
        EXPECT_EQ(after.errorsContaining("is damaged"), 0) << after.allErrors();
        // A row of the cut page may come back as bytes no log is made of: it is said and
        // dropped by the launch whose batch meets it.
        for (const auto* launch : {&next, &after}) {
            for (const auto& error : launch->errors) {
                EXPECT_TRUE(error.find("is damaged") != std::string::npos ||
                            error.starts_with("Deserialization failed for log") ||
                            error.starts_with("Unarchiving NSData failed"))
                    << error;
            }
        }
        const auto seen = arrivalsWithPrefix(server_, prefix);
        EXPECT_EQ(duplicatesOf(seen), 0) << sentTwice(seen);
        EXPECT_EQ(namesWithPrefix(seen, prefix + "new-").size(), 20u);
        const auto kept = namesWithPrefix(seen, prefix + "kept-");
        for (const auto& name : kept)
            EXPECT_NE(std::find(storing.stored.begin(), storing.stored.end(), name), storing.stored.end()) << name;
        // The rows of the pages before the cut are read; those of the cut page (about four of
        // these logs fill one) may be lost.
        EXPECT_GE(kept.size() + 4, static_cast<std::size_t>(c.logs)) << kept.size() << " kept";
    }
}

TEST_F(StoreFaultsTest, TwoProcessesSharingTheFolderSendEachLogOnce) {
    // Paced, in bursts, and while a cleaning tool deletes the "-wal" and "-shm" three times:
    // one process writes the log back (one ERROR line each time), and no event is lost unreported.
    struct Case {
        const char* name;
        int events;
        int perSecond;
        int deletions;
    };
    const Case cases[] = {{"paced", 1500, 500, 0}, {"burst", 3000, 0, 0}, {"log-deleted", 1500, 300, 3}};
    const auto path = ScenarioEnvironment::logsPath().string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string a = std::string(c.name) + "-a", b = std::string(c.name) + "-b";
        Launch first({server_.baseURL(), c.events, a, "drain", c.perSecond, ""});
        Launch second({server_.baseURL(), c.events, b, "drain", c.perSecond, ""});
        for (int deletion = 1; deletion <= c.deletions; ++deletion) {
            // Each deletion meets both launches mid-way, with the log begun since the last deletion
            // beside the file and no launch still tracking with a deleted one open, however fast
            // the machine runs them: then one of them writes it back. (At fixed times, two
            // deletions could fall before either launch looked, or one before they opened the
            // store.) A launch done tracking may operate no more, and keep the log it had.
            const std::string due = std::to_string(c.events * deletion / (c.deletions + 1));
            const std::string last = std::to_string(c.events - 1);
            const auto followed = [&](const Launch& launch, const std::string& prefix) {
                return launch.hasReported('t', prefix + last) || !launch.holdsDeleted(path + "-wal");
            };
            ASSERT_TRUE(waitFor(
                [&] {
                    return first.hasReported('t', a + due) && second.hasReported('t', b + due) &&
                           fs::exists(path + "-wal") && fs::exists(path + "-shm") && followed(first, a) &&
                           followed(second, b);
                },
                std::chrono::seconds(120)))
                << "deletion " << deletion;
            for (const char* suffix : {"-wal", "-shm"}) fs::remove(path + suffix);
        }
        const auto one = first.finish();
        const auto two = second.finish();
        expectEachEventOnceOrFailed(one, two, arrivals(server_), c.events);
        for (const auto* launch : {&one, &two}) {
            EXPECT_EQ(launch->errorsContaining("write-ahead log"), static_cast<long>(launch->errors.size()))
                << launch->allErrors();
        }
        EXPECT_EQ(one.errors.size() + two.errors.size(), static_cast<std::size_t>(c.deletions))
            << one.allErrors() << two.allErrors();
        EXPECT_FALSE(fs::exists(path + ".corrupt"));
    }
    // What the file still holds goes once with the next launch.
    const auto next = runLaunch({server_.baseURL(), 0, "none", "drain", 0, ""});
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_TRUE(next.errors.empty()) << next.allErrors();
    EXPECT_EQ(duplicatesOf(arrivals(server_)), 0);
}

TEST_F(StoreFaultsTest, ALaunchThatEndsRightAfterTrackingStoresEverythingItTracked) {
    // Batches are answered while the burst is stored, so the storing gives way to them
    // right up to the end.
    const auto ending = runLaunch({server_.baseURL(), 3000, "end", "exit", 0, ""});
    ASSERT_EQ(ending.status, 0) << ending.output;
    ASSERT_EQ(ending.tracked.size(), 3000u);
    const auto seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    std::set<std::string> kept = namesWithPrefix(seen, "end");
    rddi::RDDIRegisterAnalyticsArchiveClasses();
    // Batches still on the wire when the process ended stay stored for the next launch:
    // at most the pending batches limit of them.
    std::size_t onTheWire = 0;
    for (const auto& name : storedEventNames()) onTheWire += !kept.insert(name).second;
    EXPECT_LE(onTheWire, 150u);
    EXPECT_EQ(kept.size(), 3000u);
}

// The error lines a launch against a server that refuses connections prints for each batch.
bool isRefusedSendLine(const std::string& error) {
    return error.starts_with("HTTP request error") || error.starts_with("Log(s) sent with failure");
}

TEST_F(StoreFaultsTest, AStoreAtItsSizeLimitEvictsTheOldestAndKeepsEachLogOnce) {
    // The default 10 MiB store, filled beyond its limit while the server refuses
    // connections, then further by a second launch: each time it holds the newest events,
    // each once.
    std::vector<std::string> tracked;
    std::size_t held = 0;
    for (const auto& [prefix, events] : {std::pair{"first", 12000}, std::pair{"second", 5000}}) {
        SCOPED_TRACE(prefix);
        const auto launch = runLaunch({kRefusedURL, events, prefix, "stored"});
        ASSERT_EQ(launch.status, 0) << launch.output;
        tracked.insert(tracked.end(), launch.tracked.begin(), launch.tracked.end());
        const std::set<std::string> stored(launch.stored.begin(), launch.stored.end());
        EXPECT_EQ(stored.size(), launch.stored.size()) << "events stored in more than one row";
        // What is left is the newest events, every one of them: the oldest were evicted.
        held = stored.size();
        ASSERT_LE(held, tracked.size());
        EXPECT_EQ(stored, std::set<std::string>(tracked.end() - static_cast<long>(held), tracked.end()));
        // About 1 KB a row: a store that keeps each log once holds well over 8,000 of them.
        EXPECT_GT(held, 8000u);
        const auto unexpected = std::find_if_not(launch.errors.begin(), launch.errors.end(), isRefusedSendLine);
        EXPECT_TRUE(unexpected == launch.errors.end()) << *unexpected;
    }
    // Once the server answers, what the store holds arrives, once each.
    const auto draining = runLaunch({server_.baseURL(), 0, "none", "drain"});
    ASSERT_EQ(draining.status, 0) << draining.output;
    const auto seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    EXPECT_EQ(seen.size(), held);
    EXPECT_TRUE(draining.errors.empty()) << draining.errors.front();
}

TEST_F(StoreFaultsTest, ABurstThatFillsTheStoreWhileItIsSentArrivesOnceEach) {
    // A 1 MiB store fills within a burst of 10,000 while batches leave: logs are evicted
    // unsent, and none is sent twice.
    const auto burst = runLaunch({server_.baseURL(), 10000, "burst", "drain", 0, "", 1024 * 1024});
    ASSERT_EQ(burst.status, 0) << burst.output;
    const auto seen = arrivals(server_);
    EXPECT_EQ(duplicatesOf(seen), 0);
    const auto received = namesWithPrefix(seen, "burst").size();
    EXPECT_GT(received, 500u);
    EXPECT_LE(received, 10000u);
    EXPECT_TRUE(burst.errors.empty()) << burst.errors.front() << " (" << burst.errors.size() << " error lines)";
}

// The folder made read-only in place while it lives: a read-only bind mount of it onto
// itself where this process may mount (as root, where permissions do not bind), its write
// permissions and those of its files taken away otherwise. (The SDK gives its folder back
// its owner's permissions when it opens it, so then the files are what cannot be written,
// and new ones take the database's read-only mode: they are made writable afterwards.)
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(fs::path path) : path_(std::move(path)) {
        if (::mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            mounted_ = true;
            readOnly_ = ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
            if (!readOnly_) why_ = std::strerror(errno);
            return;
        }
        why_ = std::strerror(errno);
        if (::geteuid() == 0) return;
        for (const auto& entry : fs::directory_iterator(path_)) protect(entry.path());
        protect(path_);
        readOnly_ = true;
    }
    ~ReadOnlyFolder() {
        if (mounted_ && ::umount2(path_.c_str(), 0) != 0) ::umount2(path_.c_str(), MNT_DETACH);
        for (const auto& [path, permissions] : saved_) fs::permissions(path, permissions);
        if (mounted_) return;
        for (const auto& entry : fs::directory_iterator(path_))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    bool readOnly() const { return readOnly_; }
    const std::string& why() const { return why_; }

private:
    void protect(const fs::path& path) {
        saved_.emplace_back(path, fs::status(path).permissions());
        fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }

    fs::path path_;
    bool mounted_ = false;
    bool readOnly_ = false;
    std::string why_;
    std::vector<std::pair<fs::path, fs::perms>> saved_;
};

TEST_F(StoreFaultsTest, AFolderThatCannotBeWrittenRefusesNewLogsClearlyAndSendsWhatItHeldOnceWritable) {
    struct Case {
        const char* name;
        // The last process closed the file, so no write-ahead log is left beside it: then
        // not even a read can open it.
        bool closedCleanly;
    };
    for (const auto& c : {Case{"log left beside it", false}, Case{"closed cleanly", true}}) {
        SCOPED_TRACE(c.name);
        gwtest::TempDir home;
        const std::string prefix = c.closedCleanly ? "closed-" : "open-";
        const auto earlier = runLaunch({kRefusedURL, 100, prefix + "kept", "stored", 0, home.path().string()});
        ASSERT_EQ(earlier.status, 0) << earlier.output;
        ASSERT_EQ(earlier.stored.size(), 100u);
        const auto folder = sdkFolderUnder(home.path());
        ASSERT_FALSE(folder.empty());
        if (c.closedCleanly) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open_v2((folder / "Logs.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
            // The last connection to close checkpoints the log and removes it.
            sqlite3_exec(db, "SELECT COUNT(*) FROM logs", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            ASSERT_FALSE(fs::exists(folder / "Logs.sqlite-wal"));
        }
        {
            ReadOnlyFolder readOnly(folder);
            if (!readOnly.readOnly()) GTEST_SKIP() << "the folder cannot be made read-only here: " << readOnly.why();
            // The server answers: nothing may leave that cannot be deleted once it arrived.
            const auto refused = runLaunch({server_.baseURL(), 500, prefix + "refused", "stored", 0, home.path().string()});
            ASSERT_EQ(refused.status, 0) << refused.output;
            ASSERT_EQ(refused.tracked.size(), 500u);
            EXPECT_EQ(std::set<std::string>(refused.failed.begin(), refused.failed.end()),
                      std::set<std::string>(refused.tracked.begin(), refused.tracked.end()))
                << "every refused event is reported as failed";
            EXPECT_EQ(refused.failed.size(), 500u);
            EXPECT_EQ(refused.otherFailures(), 0) << refused.failures.front();
            std::string errors;
            for (const auto& error : refused.errors) errors += error + "\n";
            ASSERT_EQ(refused.errors.size(), 1u) << errors;
            EXPECT_NE(refused.errors.front().find("cannot be written"), std::string::npos) << errors;
        }
        // Writable again: what the store held is sent, once each; nothing of the refused launch.
        const auto writable = runLaunch({server_.baseURL(), 50, prefix + "after", "drain", 0, home.path().string()});
        ASSERT_EQ(writable.status, 0) << writable.output;
        const auto seen = arrivals(server_);
        EXPECT_EQ(duplicatesOf(seen), 0);
        EXPECT_EQ(namesWithPrefix(seen, prefix + "kept"),
                  std::set<std::string>(earlier.stored.begin(), earlier.stored.end()));
        EXPECT_EQ(namesWithPrefix(seen, prefix + "after").size(), 50u);
        EXPECT_TRUE(namesWithPrefix(seen, prefix + "refused").empty());
        EXPECT_TRUE(writable.errors.empty()) << writable.errors.front();
    }
}

TEST_F(StoreFaultsTest, WhatTheStoreCannotTakeIsReportedOnceAndEveryOtherEventArrivesOnceAcrossLaunches) {
    // 200 events a second; the store goes after four seconds with about 30 logs unsent, which
    // the new store gets from the old file the SDK still has open. Events tracked while no store
    // can be had, or holding a NUL (it could never be read back to be sent), are refused; an
    // older copy of the write-ahead log put back in its place is never read as the log.
    if (!gwtest::runWherePermissionsBind()) return;  // "locked" must bind as root too
    const struct {
        const char* what;  // see LaunchPlan
        int events, removeAt, restoreAt;
        bool refusing;  // events from `removeAt` to `restoreAt` are refused
        const char* line;  // what the one ERROR line says (one for each log with a NUL)
    } cases[] = {
        {"files", 1600, 830, -1, true, "was gone (deleted or moved away)"},
        {"folder", 1600, 830, -1, true, "was gone (deleted or moved away)"},
        {"blocked", 1600, 830, 1230, true, "was gone (deleted or moved away)"},
        {"locked", 2400, 830, 2230, true, "cannot be written"},
        {"log", 1600, 830, -1, true, "write-ahead log"},
        {"older-log", 1600, 830, 1230, false, "write-ahead log"},
        // A link in the log's place is set aside as anything else at a name of the store's.
        {"wal-link", 1600, 830, -1, false, "write-ahead log"},
        {"nul", 400, -1, -1, false, "cannot contain a NUL character"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gwtest::TempDir home;
        const fs::path notes = home.path() / "notes.txt";
        gwtest::writeFile(notes, kUserNotes);
        const std::string prefix = std::string(c.what) + "-";
        LaunchPlan plan{server_.baseURL(), c.events, prefix, "drain", 200, home.path().string()};
        plan.removeAt = c.removeAt;
        plan.remove = c.what;
        plan.restoreAt = c.restoreAt;
        const auto launch = runLaunch(plan);
        ASSERT_EQ(launch.status, 0) << launch.output;
        const bool nul = plan.remove == "nul";
        const auto seen = arrivals(server_);
        const std::set<std::string> failed(launch.failed.begin(), launch.failed.end());
        std::vector<std::string> wrong;
        std::size_t refusing = 0;
        for (int i = 0; i < c.events; ++i) {
            const std::string name = prefix + std::to_string(i);
            const bool refused = nul ? i % 10 == 5 : c.refusing && i >= c.removeAt && i < c.restoreAt;
            refusing += refused;
            if (seen.contains(name) == refused || failed.contains(name) != refused) wrong.push_back(name);
        }
        EXPECT_TRUE(wrong.empty()) << wrong.size() << " events lost or reported wrongly, the first " << wrong.front();
        EXPECT_EQ(launch.failures, std::vector<std::string>(refusing, nul ? kRefusedAtEntryError : kCannotWriteError));
        const std::size_t lines = nul ? refusing : 1;
        EXPECT_EQ(launch.errorsContaining(c.line), static_cast<long>(lines)) << launch.allErrors();
        EXPECT_EQ(launch.errors.size(), lines) << launch.allErrors();
        if (plan.remove == "folder") {
            EXPECT_EQ(fs::status(sdkFolderUnder(home.path())).permissions() & fs::perms::all, fs::perms::owner_all);
        }
        if (plan.remove == "wal-link") {
            const fs::path log = sdkFolderUnder(home.path()) / "Logs.sqlite-wal";
            EXPECT_EQ(fs::symlink_status(log.string() + ".aside").type(), fs::file_type::symlink);
            EXPECT_EQ(std::count_if(launch.warnings.begin(), launch.warnings.end(),
                                    [&](const std::string& w) {
                                        return w.starts_with("\"" + log.string() + "\" was a symbolic link");
                                    }),
                      1)
                << ::testing::PrintToString(launch.warnings);
        }
        EXPECT_EQ(gwtest::readFile(notes), kUserNotes) << "written through a link";
        // Nothing the store held is sent again.
        const auto next = runLaunch({server_.baseURL(), 0, "none", "drain", 0, home.path().string()});
        ASSERT_EQ(next.status, 0) << next.output;
        EXPECT_TRUE(next.errors.empty()) << next.allErrors();
        EXPECT_EQ(duplicatesOf(arrivals(server_)), 0);
    }
}

TEST_F(StoreFaultsTest, StartWithoutAUsableAppSecretSaysSoAndReportsEveryEventItCannotSend) {
    // Without a secret no log of the Dez Idedev channel can be sent: the start says so, and
    // each event is reported to the delegates as failed instead of vanishing.
    const std::string noSecretError =
        "Error Domain=com.Ridevedod.DezIdedev.ErrorDomain Code=104 \"The log cannot be sent: Dez Idedev was started "
        "without an app secret.\"";
    const struct {
        const char* secret;
        std::vector<std::string> lines;  // what the ERROR lines say, in order
    } cases[] = {
        {"empty", {"started without an app secret"}},
        {"nul", {"The app secret holds a line break or NUL character", "started without an app secret"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secret);
        const std::string prefix = std::string(c.secret) + "-";
        LaunchPlan plan{server_.baseURL(), 21, prefix, "drain"};
        plan.secret = c.secret;
        const auto launch = runLaunch(plan);
        ASSERT_EQ(launch.status, 0) << launch.output;
        ASSERT_EQ(launch.errors.size(), c.lines.size()) << launch.allErrors();
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_NE(launch.errors[i].find(c.lines[i]), std::string::npos) << launch.errors[i];
        EXPECT_EQ(std::set<std::string>(launch.failed.begin(), launch.failed.end()),
                  std::set<std::string>(launch.tracked.begin(), launch.tracked.end()));
        EXPECT_EQ(launch.failures, std::vector<std::string>(launch.tracked.size(), noSecretError));
        EXPECT_TRUE(namesWithPrefix(arrivals(server_), prefix).empty());
    }
}

TEST_F(StoreFaultsTest, BesideAStoppedLockHolderStartReturnsAtOnceAndALogDeletedMeanwhileIsWrittenBackOnceItLetsGo) {
    // Two launches start beside a stopped process holding the store's lock and write the file
    // without the lock, when a cleaning tool deletes the "-wal" and "-shm". Neither acts on
    // the replaced log without the lock: each waits for it, and the first to take it writes
    // the log back. The first launch deletes them itself between two of its events, once
    // both have stored some, and the second goes on tracking only once they are gone: both
    // meet the deleted log, however fast the machine runs either of them.
    const auto holder = stoppedHolderBesideAStore();
    ASSERT_TRUE(holder->held());
    Launch first(busyLaunch(server_.baseURL(), "busy-a", "log"));
    Launch second(busyLaunch(server_.baseURL(), "busy-b", "log-gone"));
    // The store is opened on the SDK's own queue: start() does not wait for the holder.
    EXPECT_TRUE(waitFor([&] { return first.hasReported('r', "started") && second.hasReported('r', "started"); },
                        std::chrono::seconds(60)))
        << "start() waited for the stopped process";
    const auto path = ScenarioEnvironment::logsPath().string();
    const std::string waiting = "while another process holds the store's lock";
    EXPECT_TRUE(waitFor([&] { return first.hasReported('w', waiting) && second.hasReported('w', waiting); },
                        std::chrono::seconds(120)));
    holder->release();
    const auto one = first.finish();
    const auto two = second.finish();
    expectEachEventOnceOrFailed(one, two, arrivals(server_), 1500);
    EXPECT_TRUE(one.failed.empty() && two.failed.empty()) << "events lost, reported as failed";
    // One write-back, by whichever took the lock first.
    EXPECT_EQ(one.errors.size() + two.errors.size(), 1u) << one.allErrors() << two.allErrors();
    EXPECT_EQ(one.errorsContaining("write-ahead log") + two.errorsContaining("write-ahead log"), 1);
    EXPECT_FALSE(fs::exists(path + ".corrupt"));
}

TEST_F(StoreFaultsTest, BesideAStoppedHolderWithTheLogDeletedEveryEventArrivesOnceOrIsReportedFailed) {
    // A host tracks 6,000 events beside a stopped process holding the store's lock, and
    // deletes the write-ahead log on the way; a second launch starts meanwhile. Neither can
    // reach the store without the lock: their events wait in memory, a bounded number of
    // them, and the rest, and those still waiting when a host ends, are reported as failed.
    // Before, the host's logs queue waited for the lock without end: at its exit 5,000
    // events were gone unreported, and the launch started meanwhile began a log of its own
    // that the host, once the lock came, wrote over and removed.
    // Only the host has the deleted log, which holds what it stored and deleted since the
    // file's last checkpoint (SQLite makes one every 1,000 pages, which this host reaches
    // about when it deletes the log): it writes the log into the file on its way out, or
    // once it has the lock, before the launch started meanwhile begins a log of its own.
    // Before, a host that ended first took the log with it, and so did a host the other
    // launch took the lock before (the host stopped, or slower to try it): the events the
    // file got at the checkpoint were sent again after the host had sent them (51 in a
    // loaded run), and events stored since were lost.
    const struct {
        const char* name;
        const char* prefix;
        bool hostEndsFirst;  // the host ends before the holder goes on, else it runs on
        // The host's batches are answered only once its log is gone: what it stored then is
        // still to be sent, and their deletions wait for the lock.
        bool answeredLate;
        bool hostStopped;  // the host is stopped (Ctrl-Z) while the holder lets go
    } cases[] = {
        {"the host ends first", "ends-", true, false, false},
        {"the host runs on", "runs-", false, false, false},
        {"the host ends first, answered late", "late-", true, true, false},
        {"the host is stopped as the holder lets go, answered late", "stopped-", false, true, true},
    };
    const std::string held = "while another process holds the store's lock";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::TempDir home;
        const std::string prefix = c.prefix;
        const auto earlier = runLaunch({server_.baseURL(), 10, prefix + "earlier-", "drain", 0, home.path().string()});
        ASSERT_EQ(earlier.status, 0) << earlier.output;
        rddi::RDDIUtility::resetDezIdedevDirectoryURL();
        gwtest::ScopedEnv dataHome("XDG_DATA_HOME", home.path().string());
        StoppedLockHolder holder;
        ASSERT_TRUE(holder.held());
        const std::string gate = prefix + "host-";
        server_.setResponder([gate, late = c.answeredLate](const rddi::testkit::RecordedRequest& request)
                                 -> std::optional<rddi::testkit::ScriptedAnswer> {
            if (!late || !request.json) return std::nullopt;
            for (const auto& log : (*request.json)["logs"])
                if (log.value("name", "").starts_with(gate)) return rddi::testkit::ScriptedAnswer{.gate = gate};
            return std::nullopt;
        });
        LaunchPlan hostPlan{server_.baseURL(), 6000, prefix + "host-", c.hostEndsFirst ? "exit" : "drain", 1000,
                            home.path().string()};
        hostPlan.removeAt = 1000;
        hostPlan.remove = "log";
        Launch host(hostPlan);
        ASSERT_TRUE(waitFor([&] { return host.hasReported('w', held); }, std::chrono::seconds(120)));
        // Answered while the host still has 5,000 events to track.
        server_.openGate(gate);
        EXPECT_TRUE(waitFor([&] { return server_.heldCount() == 0; }, std::chrono::seconds(60)));
        Launch meanwhile({server_.baseURL(), 600, prefix + "meanwhile-", "drain", 300, home.path().string()});
        EXPECT_TRUE(waitFor([&] { return meanwhile.hasReported('w', held); }, std::chrono::seconds(60)))
            << "the launch started meanwhile wrote the store without the lock";
        std::optional<LaunchReport> ended;
        if (c.hostEndsFirst) ended = host.finish();
        if (c.hostStopped) host.signal(SIGSTOP);
        holder.release();
        if (c.hostStopped) {
            EXPECT_TRUE(waitFor([&] { return meanwhile.hasReported('w', "still has it open"); }, std::chrono::seconds(60)))
                << "the launch started meanwhile began a log of its own beside the stopped host's";
            host.signal(SIGCONT);
        }
        const auto one = ended ? *ended : host.finish();
        const auto two = meanwhile.finish();
        server_.setResponder({});
        for (const auto* launch : {&one, &two}) {
            ASSERT_EQ(launch->status, 0) << launch->output;
            EXPECT_EQ(launch->otherFailures(), 0) << launch->failures.front();
        }
        auto seen = arrivalsWithPrefix(server_, prefix);
        EXPECT_EQ(duplicatesOf(seen), 0) << sentTwice(seen);
        EXPECT_EQ(one.tracked.size(), 6000u);
        std::vector<std::string> lost;
        for (const auto* launch : {&one, &two}) {
            const std::set<std::string> failed(launch->failed.begin(), launch->failed.end());
            for (const auto& name : launch->tracked)
                if (seen.contains(name) == failed.contains(name)) lost.push_back(name);
        }
        EXPECT_TRUE(lost.empty()) << lost.size() << " events neither arrived once nor were reported failed, the first "
                                  << lost.front();
        // The launch started meanwhile kept its own events: fewer than it holds at most.
        EXPECT_TRUE(two.failed.empty()) << two.failed.size() << " reported failed";
        // Nothing the store held is sent again.
        const auto next = runLaunch({server_.baseURL(), 0, "none", "drain", 0, home.path().string()});
        ASSERT_EQ(next.status, 0) << next.output;
        seen = arrivalsWithPrefix(server_, prefix);
        EXPECT_EQ(duplicatesOf(seen), 0) << sentTwice(seen);
        EXPECT_FALSE(fs::exists(ScenarioEnvironment::logsPath().string() + ".corrupt"));
    }
}

TEST_F(StoreFaultsTest, BesideAStoppedLockHolderADeletedStoreIsMadeAnewOnlyOnceTheLockIsLetGo) {
    // The store's files are deleted while a stopped process holds the store's lock: the
    // launch does not make a new file without the lock (the holder may be making or mending
    // one), its operations wait, and once the lock is let go the new file gets the rows the
    // deleted one held; every event arrives once.
    const auto holder = stoppedHolderBesideAStore();
    ASSERT_TRUE(holder->held());
    Launch launch(busyLaunch(server_.baseURL(), "gone-", "files"));
    const std::string waiting = "while another process holds the store's lock";
    ASSERT_TRUE(waitFor([&] { return launch.hasReported('w', waiting); }, std::chrono::seconds(120)));
    // Events go on being tracked meanwhile; none of them makes a file.
    ASSERT_TRUE(waitFor([&] { return launch.hasReported('t', "gone-1000"); }, std::chrono::seconds(120)));
    EXPECT_FALSE(fs::exists(ScenarioEnvironment::logsPath())) << "made without the lock";
    holder->release();
    const auto ended = launch.finish();
    ASSERT_EQ(ended.status, 0) << ended.output;
    const auto seen = arrivalsWithPrefix(server_, "gone-");
    EXPECT_EQ(duplicatesOf(seen), 0) << sentTwice(seen);
    EXPECT_EQ(seen.size(), 1500u);
    EXPECT_TRUE(ended.failed.empty()) << ended.failed.size() << " reported failed";
    EXPECT_EQ(ended.errorsContaining("was gone (deleted or moved away)"), 1) << ended.allErrors();
}

TEST_F(StoreFaultsTest, ALogDeletedBesideAStoppedHolderIsNotWrittenBackAtExitOverALogBegunSince) {
    // A host ends while a stopped process holds the store's lock and its own write-ahead log
    // was deleted; meanwhile another program opened the store (plain SQLite, which takes no
    // lock of the SDK's) and began a log of its own beside the file. What the host's log holds
    // is older than that: written into the file, it would go under the other log's newer
    // pages. The host says so and leaves it.
    const auto holder = stoppedHolderBesideAStore();
    ASSERT_TRUE(holder->held());
    gwtest::TempDir scratch;
    const fs::path gate = scratch.path() / "gate";
    LaunchPlan hostPlan{server_.baseURL(), 400, "host-", "exit", 200};
    hostPlan.removeAt = 200;
    hostPlan.remove = "log";
    Launch host(hostPlan, gate);
    ASSERT_TRUE(waitFor([&] { return host.hasReported('g', "at the gate"); }, std::chrono::seconds(120)));
    const auto path = ScenarioEnvironment::logsPath().string();
    ASSERT_FALSE(fs::exists(path + "-wal"));
    {
        sqlite3* db = openLogs(SQLITE_OPEN_READWRITE);
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(sqlite3_exec(db, "INSERT INTO logs (groupId, log, priority) VALUES ('Other', 'x', 1)", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    ASSERT_TRUE(fs::exists(path + "-wal")) << "the other program's log was not left beside the file";
    gwtest::writeFile(gate, "go");
    const auto ended = host.finish();
    ASSERT_EQ(ended.status, 0) << ended.output;
    EXPECT_EQ(ended.errorsContaining("was written into the store as this process ended"), 0) << ended.allErrors();
    EXPECT_EQ(ended.errorsContaining("another log or file was begun since"), 1) << ended.allErrors();
    holder->release();
    // The next launch finds the file sound.
    const auto next = runLaunch({server_.baseURL(), 0, "none", "drain"});
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(next.errorsContaining("is damaged"), 0) << next.allErrors();
}

// What a launch that met something not the store's own at one of its names holds: one
// warning naming where it was moved from, no error, and each of its events arrived once.
void expectOneSetAsideAndEachEventOnce(const LaunchReport& launch, const fs::path& at,
                                       const std::map<std::string, int>& seen, const std::string& prefix,
                                       std::size_t events) {
    std::vector<std::string> warnings;
    for (const auto& warning : launch.warnings)
        if (warning.find("moved to") != std::string::npos) warnings.push_back(warning);
    EXPECT_EQ(warnings.size(), 1u);
    for (const auto& warning : warnings) EXPECT_NE(warning.find(at.string()), std::string::npos) << warning;
    EXPECT_TRUE(launch.errors.empty()) << launch.allErrors();
    EXPECT_EQ(duplicatesOf(seen), 0);
    EXPECT_EQ(namesWithPrefix(seen, prefix).size(), events);
}

TEST_F(StoreFaultsTest, NothingIsWrittenThroughALinkOrIntoANonFileAtTheStoresNames) {
    // A link to a file of the user's, a dangling link, a folder or a FIFO where the store
    // keeps its lock, its database or its reserve, or where SQLite looks for a rollback
    // journal: set aside with one warning, never written through or waited on; start()
    // returns at once, the store makes its own file and every event goes once. Before, a
    // FIFO at the journal's name held start() for good, in open(), and a link or a folder
    // there had every log of every launch reported failed.
    const auto earlier = runLaunch({server_.baseURL(), 10, "earlier", "drain"});
    ASSERT_EQ(earlier.status, 0) << earlier.output;
    gwtest::Pace pace;
    const fs::path folder = ScenarioEnvironment::logsPath().parent_path();
    gwtest::TempDir user;
    const std::string precious = "the user's own words, not to be overwritten by anyone\n";
    const struct {
        std::string kind;
        fs::file_type setAside;
    } kinds[] = {{"link", fs::file_type::symlink}, {"dangling", fs::file_type::symlink},
                 {"folder", fs::file_type::directory}, {"fifo", fs::file_type::fifo}};
    int n = 0;
    for (const std::string name : {"Logs.sqlite-lock", "Logs.sqlite", "Logs.sqlite-reserve", "Logs.sqlite-journal"}) {
        // A store that writes ahead keeps no journal.
        const bool kept = name != "Logs.sqlite-journal";
        for (const auto& [kind, setAside] : kinds) {
            SCOPED_TRACE(name + " " + kind);
            const fs::path at = folder / name;
            const fs::path target = user.path() / ("file-" + std::to_string(n));
            fs::remove(at);
            for (const char* left : {".aside", "-wal", "-shm"}) fs::remove(at.string() + left);
            if (kind == "link") std::ofstream(target) << precious;
            if (kind == "link" || kind == "dangling") fs::create_symlink(target, at);
            if (kind == "folder") fs::create_directory(at);
            ASSERT_TRUE(kind != "fifo" || ::mkfifo(at.c_str(), 0600) == 0) << std::strerror(errno);
            const std::string prefix = "aside" + std::to_string(n++) + "-";
            // A launch that hangs is ended, and fails here.
            const auto launch =
                Launch({server_.baseURL(), 20, prefix, "drain"}).finish(pace.bound(std::chrono::seconds(60)));
            ASSERT_EQ(launch.status, 0) << launch.output;
            // Normally tens of milliseconds; the wall clock is the point, scaled by the machine's pace.
            EXPECT_LT(launch.startMilliseconds, pace.bound(std::chrono::seconds(2)).count());
            if (kind == "link") {
                EXPECT_EQ(gwtest::readFile(target), precious);
            } else {
                EXPECT_FALSE(fs::exists(fs::symlink_status(target))) << "made where the link led";
            }
            EXPECT_EQ(fs::symlink_status(at.string() + ".aside").type(), setAside);
            EXPECT_EQ(fs::symlink_status(at).type(), kept ? fs::file_type::regular : fs::file_type::not_found);
            expectOneSetAsideAndEachEventOnce(launch, at, arrivals(server_), prefix, 20);
        }
    }
}

TEST_F(StoreFaultsTest, AHardLinkOrAnotherUsersFileAtAnyOfTheStoresNamesIsSetAsideUnwritten) {
    // Before, a hard link at the lock, the reserve, the write-ahead log or its index had the
    // file of its other name written over, and another user's file was taken as the store's.
    const auto earlier = runLaunch({server_.baseURL(), 10, "earlier", "drain"});
    ASSERT_EQ(earlier.status, 0) << earlier.output;
    const fs::path folder = ScenarioEnvironment::logsPath().parent_path();
    gwtest::TempDir user;
    const std::string precious = "the user's own words, not to be overwritten by anyone\n";
    std::vector<std::string> kinds = {"hard link"};
    if (::geteuid() == 0) kinds.push_back("another user's file");
    int n = 0;
    for (const char* name : {"Logs.sqlite", "Logs.sqlite-lock", "Logs.sqlite-reserve", "Logs.sqlite-wal",
                             "Logs.sqlite-shm"}) {
        for (const auto& kind : kinds) {
            SCOPED_TRACE(std::string(name) + ", " + kind);
            // The store closed as the last process leaves it: its log written in, the names free.
            if (sqlite3* db = openLogs(SQLITE_OPEN_READWRITE)) {
                sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
                sqlite3_close(db);
            }
            const fs::path at = folder / name;
            for (const char* left : {"", ".aside"}) fs::remove(at.string() + left);
            const fs::path theirs = kind == "hard link" ? user.path() / ("file-" + std::to_string(n)) : at;
            gwtest::writeFile(theirs, precious);
            if (kind == "hard link") fs::create_hard_link(theirs, at);
            if (kind != "hard link") {
                ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0) << std::strerror(errno);
            }

            const std::string prefix = "linked" + std::to_string(n++) + "-";
            // A full batch: it leaves at once.
            const auto launch = runLaunch({server_.baseURL(), 50, prefix, "drain"});
            ASSERT_EQ(launch.status, 0) << launch.output;
            const fs::path aside = at.string() + ".aside";
            EXPECT_EQ(gwtest::readFile(aside), precious) << "written over";
            if (kind == "hard link") {
                EXPECT_TRUE(fs::equivalent(aside, theirs));
            }
            struct stat status {};
            ASSERT_EQ(::lstat(at.c_str(), &status), 0);
            EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == ::geteuid());
            expectOneSetAsideAndEachEventOnce(launch, at, arrivals(server_), prefix, 50);
        }
    }
}

TEST_F(StoreFaultsTest, AnotherUsersFoldersInASharedDataHomeAreNotUsedAndTheStoresOwnAreClosedToOthers) {
    // A data home shared with other users (mode 1777, as /tmp): a folder another user made
    // first at the application's or the SDK's place is not used, with an ERROR line naming
    // it, and every log is reported as failed; the folders the SDK makes itself, and its
    // files, are closed to everyone else. Before, such folders were used as they were, with
    // Logs.sqlite made 0644 in them.
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can make a folder another user's";
    gwtest::TempDir shared;
    fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
    const fs::path application = shared.path() / platform::foundation::Bundle::main().bundleIdentifier();
    const auto theirs = [](const fs::path& folder) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::all);
        EXPECT_EQ(::chown(folder.c_str(), 65534, 65534), 0) << std::strerror(errno);
    };
    const auto entries = [](const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(entry.path().string());
        return names;
    };
    for (const char* made : {"the application's folder", "the SDK's folder"}) {
        SCOPED_TRACE(made);
        fs::remove_all(application);
        theirs(application);
        if (made == std::string("the SDK's folder")) theirs(application / "com.ridevedod.dezidedev");
        const auto before = entries(application);
        const std::string prefix = made[4] == 'a' ? "theirs-app-" : "theirs-sdk-";
        const auto launch = runLaunch({server_.baseURL(), 20, prefix, "stored", 0, shared.path().string()});
        ASSERT_EQ(launch.status, 0) << launch.output;
        EXPECT_EQ(entries(application), before) << "a file made in another user's folder";
        EXPECT_EQ(launch.refused(), std::set<std::string>(launch.tracked.begin(), launch.tracked.end()));
        EXPECT_TRUE(namesWithPrefix(arrivals(server_), prefix).empty());
        EXPECT_EQ(launch.errorsContaining("belongs to another user"), 2) << launch.allErrors();
    }

    fs::remove_all(application);
    const auto launch = runLaunch({server_.baseURL(), 20, "own-", "drain", 0, shared.path().string()});
    ASSERT_EQ(launch.status, 0) << launch.output;
    EXPECT_EQ(namesWithPrefix(arrivals(server_), "own-").size(), 20u);
    const fs::path sdk = application / "com.ridevedod.dezidedev";
    EXPECT_EQ(fs::status(sdk).permissions() & fs::perms::all, fs::perms::owner_all);
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sdk)) {
        const auto others = fs::perms::group_all | fs::perms::others_all;
        EXPECT_EQ(entry.symlink_status().permissions() & others, fs::perms::none) << entry.path();
        files += entry.is_regular_file();
    }
    EXPECT_GE(files, 2u);  // the store and its lock at least
}

}  // namespace
