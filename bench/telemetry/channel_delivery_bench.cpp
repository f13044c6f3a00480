// Delivery through the whole pipeline: the WAL log store on disk, the channel group and
// unit, the SDK's HTTP client and a loopback server answering 200.
//  - a batch: flush of 50 stored reference events, to the 2xx answer, to their rows
//    deleted (p50, p99);
//  - a backlog of 100k stored events (storage limit 256 MiB): time to drain it to the
//    server, and the resident memory while it waits, drains, or is deleted by a disable.
#include "platform/foundation/uuid.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_channel_group_default.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

namespace pf = platform::foundation;
using Clock = std::chrono::steady_clock;

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The highest resident size seen while it runs.
class PeakSampler {
public:
    PeakSampler() : thread_([this] {
          while (!stop_) {
              const double now = residentMegabytes();
              double seen = peak_.load();
              while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
      }) {}
    double finish() {
        stop_ = true;
        thread_.join();
        return std::max(peak_.load(), residentMegabytes());
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> peak_{0};
    std::thread thread_;
};

// Counts what the unit reports as sent or dropped.
class Outcomes : public rddi::RDDIChannelDelegate {
public:
    void channelDidSucceedSendingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog&) override { add(sent_); }
    void channelDidFailSendingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog&,
                                  const std::string&) override {
        add(failed_);
    }
    bool waitForSent(long count) { return waitFor(sent_, count); }
    bool waitForFailed(long count) { return waitFor(failed_, count); }
    long sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    void add(long& counter) {
        std::lock_guard lock(mutex_);
        ++counter;
        changed_.notify_all();
    }
    bool waitFor(long& counter, long count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(5), [&] { return counter >= count; });
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    long sent_ = 0;
    long failed_ = 0;
};

std::shared_ptr<rddi::RDDIAbstractLog> referenceEvent(int i) {
    auto log = std::make_shared<rddi::RDDIEventLog>();
    log->name = "Catalog written";
    log->eventId = pf::UUID().uuidString();
    log->sid = "6a0a7e4e-3c1b-4f6e-9d52-3b7a8f0d1c2e";
    log->properties = {{"kind", "appicon"}, {"sizes", std::to_string(i % 1024)}};
    return log;
}

struct Delivery {
    Delivery() {
        home = std::filesystem::temp_directory_path() / ("gw-bench-" + pf::UUID().uuidString());
        std::filesystem::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        rddi::RDDIUtility::resetDezIdedevDirectoryURL();
        rddi::RDDIRegisterAnalyticsArchiveClasses();

        server.set_keep_alive_max_count(1'000'000);
        server.set_tcp_nodelay(true);
        server.Post(".*", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("{}", "application/json");
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        listening = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

        client = rddi::RDDIHttpClient::create(
            std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); }));
        group = rddi::RDDIChannelGroupDefault::create(client, pf::UUID(), "http://127.0.0.1:" + std::to_string(port));
        group->setAppSecret("0123456789abcdef0123456789abcdef");
        group->setMaxStorageSize(256L * 1024 * 1024, nullptr);
        unit = std::static_pointer_cast<rddi::RDDIChannelUnitDefault>(
            group->addChannelUnitWithConfiguration(rddi::RDDIChannelUnitConfiguration::defaultConfiguration("Bench")));
        unit->addDelegate(outcomes);
        drain();
    }
    ~Delivery() {
        drain();
        unit.reset();
        group.reset();
        client.reset();
        server.stop();
        listening.join();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    // Every enqueued log stored (the unit stores them in groups, giving way to answers).
    void drain() const {
        unit->stateSync();
        group->logsDispatchQueue().sync([] {});
    }

    // Stores `count` reference events with the unit paused; its count then holds the
    // last `counted` of them, and the rest are copies made directly in the file.
    void storeWhilePaused(long count, int counted) {
        unit->pauseWithIdentifyingObject(lane);
        unit->enqueueItem(referenceEvent(0), 1);
        drain();
        sqlite3* db = nullptr;
        sqlite3_open((rddi::RDDIUtility::dezIdedevDirectoryURL() / "Logs.sqlite").c_str(), &db);
        sqlite3_busy_timeout(db, 10000);
        const std::string copies = std::to_string(count - counted);
        sqlite3_exec(db,
                     ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + copies +
                      ") INSERT INTO logs (groupId, log, priority) SELECT groupId, log, priority FROM logs, n "
                      "WHERE logs.id = (SELECT MIN(id) FROM logs)")
                         .c_str(),
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
        for (int i = 1; i < counted; ++i) unit->enqueueItem(referenceEvent(i), 1);
        drain();
    }

    std::filesystem::path home;
    httplib::Server server;
    std::thread listening;
    std::shared_ptr<rddi::RDDIHttpClient> client;
    std::shared_ptr<rddi::RDDIChannelGroupDefault> group;
    std::shared_ptr<rddi::RDDIChannelUnitDefault> unit;
    std::shared_ptr<Outcomes> outcomes = std::make_shared<Outcomes>();
    std::shared_ptr<int> lane = std::make_shared<int>(0);
};

void BM_BatchFlushToRowsDeleted(benchmark::State& state) {
    Delivery delivery;
    std::vector<double> latencies;
    long sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        delivery.unit->pauseWithIdentifyingObject(delivery.lane);
        for (int i = 0; i < 50; ++i) delivery.unit->enqueueItem(referenceEvent(i), 1);
        delivery.drain();
        state.ResumeTiming();
        const auto start = Clock::now();
        delivery.unit->resumeWithIdentifyingObject(delivery.lane);  // a full batch: flushed at once
        sent += 50;
        if (!delivery.outcomes->waitForSent(sent)) state.SkipWithError("the batch was not answered");
        delivery.drain();  // the rows are deleted right after the success is reported
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["p50_ms"] = latencies[latencies.size() / 2];
        state.counters["p99_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
}
BENCHMARK(BM_BatchFlushToRowsDeleted)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Backlog100k(benchmark::State& state) {
    constexpr long kBacklog = 100'000;
    for (auto _ : state) {
        Delivery delivery;
        const double baseline = residentMegabytes();

        delivery.storeWhilePaused(kBacklog, 50);
        const double waiting = residentMegabytes();
        auto start = Clock::now();
        PeakSampler draining;
        delivery.unit->resumeWithIdentifyingObject(delivery.lane);
        if (!delivery.outcomes->waitForSent(kBacklog)) state.SkipWithError("the backlog did not drain");
        delivery.drain();
        const double drainSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double drainPeak = draining.finish();

        delivery.storeWhilePaused(kBacklog, 1);
        start = Clock::now();
        PeakSampler deleting;
        delivery.unit->setEnabled(false, true);
        if (!delivery.outcomes->waitForFailed(kBacklog)) state.SkipWithError("the backlog was not deleted");
        delivery.drain();
        const double deleteSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double deletePeak = deleting.finish();

        state.counters["drain_s"] = drainSeconds;
        state.counters["drain_logs_per_s"] = static_cast<double>(kBacklog) / drainSeconds;
        state.counters["delete_s"] = deleteSeconds;
        state.counters["rss_waiting_MB"] = waiting - baseline;
        state.counters["rss_draining_MB"] = drainPeak - baseline;
        state.counters["rss_deleting_MB"] = deletePeak - baseline;
    }
}
BENCHMARK(BM_Backlog100k)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
