// trackEvent to acknowledged: a launch of the SDK, started through its public calls (app
// secret, Analytics, a 256 MiB store so that nothing is evicted), tracks a burst of
// events with two properties as fast as it can; a loopback server decodes every batch
// and acknowledges it. Measured: events acknowledged per second from the first
// trackEvent to the last event acknowledged, when the first batch was acknowledged, how
// long the tracking calls took, and the launch's peak resident memory. The launch is a
// child process (this program run again), so its memory is its own and every
// repetition starts from an empty store. Goal: ≥ 3,000 logs/s on 8 cores.
//
// With the default 10 MiB store a burst of 100,000 is stored faster than it is sent and
// fills it: the oldest logs are evicted unsent. There the run ends when every event was
// handled and the store is empty again; the rate counts every event tracked, and the
// events acknowledged, evicted and acknowledged twice are reported.
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kChildVariable = "GW_DELIVERY_BENCH_CHILD";  // "<server URL> <events> <store MiB, 0: default>"

// Counts the events the channel units finished handling, stored or not.
class HandledEvents : public rddi::RDDIChannelDelegate {
public:
    void channelDidCompleteEnqueueingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog& log,
                                         const std::string&) override {
        if (dynamic_cast<const rddi::RDDIEventLog*>(&log)) ++count;
    }
    std::atomic<long> count{0};
};

// Rows left in the launch's store.
long storedRows() {
    sqlite3* db = nullptr;
    long rows = -1;
    const auto path = rddi::RDDIUtility::dezIdedevDirectoryURL() / "Logs.sqlite";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM logs", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            rows = sqlite3_column_int64(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// The launch: starts the SDK, reports "start", tracks the burst, reports "tracked" (with
// the default store also "drained" once every event was handled and the store is empty),
// waits for the parent to close its input, and reports its peak resident size in KiB.
int runLaunch(const std::string& arguments) {
    char url[256] = {};
    long events = 0, storeMiB = 0;
    if (std::sscanf(arguments.c_str(), "%255s %ld %ld", url, &events, &storeMiB) != 3) return 2;
    rddi::RDDIDependencyConfiguration::setHttpClient(rddi::RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); })));
    if (storeMiB > 0) rddi::RDDIDezIdedev::setMaxStorageSize(storeMiB * 1024 * 1024, nullptr);
    rddi::RDDIDezIdedev::setLogUrl(url);
    rddi::RDDIDezIdedev::start("5d6b3e3c-8f0e-4a39-9d7a-2b1c0e9f4a11", {rddi::RDDIAnalytics::serviceClass()});
    auto handled = std::make_shared<HandledEvents>();
    rddi::RDDIDezIdedev::sharedInstance()->channelGroup()->addDelegate(handled);
    std::printf("start\n");
    std::fflush(stdout);
    for (long i = 0; i < events; ++i) {
        rddi::RDDIAnalytics::trackEvent("Catalog written", rddi::RDDIStringProperties{{"kind", "appicon"},
                                                                                    {"serial", std::to_string(i)}});
    }
    std::printf("tracked\n");
    std::fflush(stdout);
    if (storeMiB == 0) {
        while (handled->count < events || storedRows() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::printf("drained\n");
        std::fflush(stdout);
    }
    for (int c; (c = std::getchar()) != EOF;) {
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("rss %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    std::_Exit(0);
}

// Counts the events it acknowledges, by id.
class AcknowledgingServer {
public:
    AcknowledgingServer() {
        server_.set_keep_alive_max_count(1'000'000);
        server_.set_tcp_nodelay(true);
        server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            auto body = nlohmann::json::parse(request.body, nullptr, false);
            {
                std::lock_guard lock(mutex_);
                if (body.is_object() && body.contains("logs")) {
                    for (const auto& log : body["logs"]) {
                        if (log.value("type", "") != "event") continue;
                        if (!ids_.insert(log.value("id", "")).second) ++duplicates_;
                        if (!firstAt_) firstAt_ = Clock::now();
                    }
                }
                changed_.notify_all();
            }
            response.set_content("{}", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~AcknowledgingServer() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // When the count was reached, or none after the timeout.
    std::optional<Clock::time_point> waitFor(std::size_t count, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return ids_.size() >= count; })) return std::nullopt;
        return Clock::now();
    }
    std::optional<Clock::time_point> firstAt() {
        std::lock_guard lock(mutex_);
        return firstAt_;
    }
    long duplicates() {
        std::lock_guard lock(mutex_);
        return duplicates_;
    }
    long acknowledged() {
        std::lock_guard lock(mutex_);
        return static_cast<long>(ids_.size());
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_set<std::string> ids_;
    long duplicates_ = 0;
    std::optional<Clock::time_point> firstAt_;
};

struct Launch {
    pid_t pid = -1;
    FILE* output = nullptr;
    int input = -1;

    std::string readLine() {
        char line[128] = {};
        if (!output || !std::fgets(line, sizeof line, output)) return {};
        return line;
    }
};

Launch startLaunch(const std::string& url, long events, long storeMiB, const std::filesystem::path& home) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return {};
    Launch launch;
    launch.pid = ::fork();
    if (launch.pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::setenv(kChildVariable, (url + " " + std::to_string(events) + " " + std::to_string(storeMiB)).c_str(), 1);
        ::execl("/proc/self/exe", "telemetry_delivery_bench", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    launch.input = toChild[1];
    launch.output = ::fdopen(fromChild[0], "r");
    return launch;
}

void BM_TrackEventToAcknowledged(benchmark::State& state) {
    const long events = state.range(0);
    // 0: the default 10 MiB, which a large burst fills.
    const long storeMiB = state.range(1);
    for (auto _ : state) {
        const auto home = std::filesystem::temp_directory_path() / ("gw-delivery-bench-" + std::to_string(::getpid()));
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        AcknowledgingServer server;
        Launch launch = startLaunch(server.url(), events, storeMiB, home);
        if (launch.pid <= 0 || launch.readLine() != "start\n") {
            state.SkipWithError("the launch did not start");
            break;
        }
        const auto started = Clock::now();
        const bool tracked = launch.readLine() == "tracked\n";
        const auto trackedAt = Clock::now();
        std::optional<Clock::time_point> acknowledged;
        if (storeMiB > 0) {
            acknowledged = server.waitFor(static_cast<std::size_t>(events), std::chrono::minutes(10));
        } else if (tracked && launch.readLine() == "drained\n") {
            acknowledged = Clock::now();
        }
        ::close(launch.input);
        long peakKiB = 0;
        std::sscanf(launch.readLine().c_str(), "rss %ld", &peakKiB);
        std::fclose(launch.output);
        int status = 0;
        ::waitpid(launch.pid, &status, 0);
        std::filesystem::remove_all(home);
        if (!tracked || !acknowledged) {
            state.SkipWithError("the burst was not acknowledged in time");
            break;
        }
        const double seconds = std::chrono::duration<double>(*acknowledged - started).count();
        const auto first = server.firstAt().value_or(*acknowledged);
        state.SetIterationTime(seconds);
        state.counters["logs_per_s"] = static_cast<double>(events) / seconds;
        state.counters["first_ack_ms"] = std::chrono::duration<double, std::milli>(first - started).count();
        state.counters["tracking_ms"] = std::chrono::duration<double, std::milli>(trackedAt - started).count();
        state.counters["peak_rss_MB"] = static_cast<double>(peakKiB) / 1024.0;
        state.counters["duplicates"] = static_cast<double>(server.duplicates());
        if (storeMiB == 0) {
            state.counters["acknowledged"] = static_cast<double>(server.acknowledged());
            state.counters["evicted"] = static_cast<double>(events - server.acknowledged());
        }
    }
}
// Bursts of 10,000 and 100,000 into a store that never fills, then 100,000 into the
// default one, which it fills.
BENCHMARK(BM_TrackEventToAcknowledged)->Args({10'000, 256})->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_TrackEventToAcknowledged)->Args({100'000, 256})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_TrackEventToAcknowledged)->Args({100'000, 0})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (const char* arguments = std::getenv(kChildVariable)) return runLaunch(arguments);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
