// The log store on a real file: saves per second on disk and on tmpfs (a connection per
// save, as the store works), bytes per stored log after a checkpoint, a 50-log batch
// load from 100,000 rows, and the memory taken while a 100,000-log group is deleted.
// Targets: ≥ 3,000 saves/s on disk, ≤ 1,600 bytes per log, ≤ 1 ms per load, RSS growth
// ≤ 40 MB. Every row holds the reference event log: its archive (~1 KB) as the store
// writes it, or its Base64 text (~1.3 KB) as earlier versions wrote it.
#include <benchmark/benchmark.h>

#include "platform/foundation/base64.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_log_db_storage.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace pf = platform::foundation;

// The reference event: device, session id and two typed properties.
std::shared_ptr<rddi::RDDIEventLog> referenceLog() {
    auto log = std::make_shared<rddi::RDDIEventLog>();
    log->name = "alpha_channel_removal_succeeded";
    log->eventId = "1C7A2F0E-5B9D-4E3A-9F61-2D8C4B7E0A15";
    log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.123);
    log->sid = "5E0B8A3C-1D2F-4A6B-8C9E-7F1A2B3C4D5E";
    log->device = rddi::RDDIDeviceTracker::sharedInstance()->device();
    log->typedProperties = std::make_shared<rddi::RDDIEventProperties>();
    log->typedProperties->setString("png", "format").setInt64(1024, "size");
    return log;
}

std::string storedText() { return pf::base64Encoded(pf::KeyedArchiver::archivedData(*referenceLog())); }

// A fresh SDK folder under `root` for every call.
void useHome(const std::filesystem::path& root) {
    static int serial = 0;
    static const bool registered = [] {
        rddi::RDDILogger::setLogHandler({});
        rddi::RDDIRegisterAnalyticsArchiveClasses();
        return true;
    }();
    (void)registered;
    // One scratch home at a time: the previous one (up to 150 MB) goes, the last at exit.
    static std::filesystem::path current;
    static const bool cleanedAtExit = [] {
        std::atexit([] {
            std::error_code error;
            if (!current.empty()) std::filesystem::remove_all(current, error);
        });
        return true;
    }();
    (void)cleanedAtExit;
    std::error_code error;
    if (!current.empty()) std::filesystem::remove_all(current, error);
    const auto home = root / ("gw-log-store-bench-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    current = home;
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    rddi::RDDIUtility::resetDezIdedevDirectoryURL();
}

std::filesystem::path diskRoot() {
    const char* dir = std::getenv("GW_BENCH_DISK_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::path("/var/tmp");
}

std::filesystem::path logsPath() { return rddi::RDDIUtility::dezIdedevDirectoryURL() / "Logs.sqlite"; }

// Rows as the store writes them (the archive's bytes), or as Base64 text.
void bulkInsert(const std::string& group, int rows, bool asText = false) {
    sqlite3* db = nullptr;
    sqlite3_open(logsPath().c_str(), &db);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO logs (groupId, log, priority) VALUES (?, ?, 1)", -1, &statement, nullptr);
    const auto text = storedText();
    const auto archive = pf::KeyedArchiver::archivedData(*referenceLog());
    for (int i = 0; i < rows; ++i) {
        sqlite3_bind_text(statement, 1, group.c_str(), -1, SQLITE_TRANSIENT);
        if (asText) {
            sqlite3_bind_text(statement, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_blob(statement, 2, archive.data(), static_cast<int>(archive.size()), SQLITE_TRANSIENT);
        }
        sqlite3_step(statement);
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void BM_SaveLog(benchmark::State& state) {
    const bool tmpfs = state.range(0) == 1;
    useHome(tmpfs ? std::filesystem::path("/dev/shm") : diskRoot());
    rddi::RDDILogDBStorage storage;
    storage.setMaxStorageSize(1L << 30, nullptr);
    const auto log = referenceLog();
    for (auto _ : state) {
        if (!storage.saveLog(log, "Analytics", rddi::RDDIFlagsNormal)) state.SkipWithError("save failed");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(tmpfs ? "tmpfs" : "disk");
}
// Wall-clock time: waiting for the disk is part of a save.
BENCHMARK(BM_SaveLog)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BytesPerStoredLog(benchmark::State& state) {
    useHome(diskRoot());
    constexpr int kRows = 10000;
    double bytesPerLog = 0;
    for (auto _ : state) {
        rddi::RDDILogDBStorage storage;
        storage.setMaxStorageSize(1L << 30, nullptr);
        for (int i = 0; i < kRows; ++i) storage.saveLog(referenceLog(), "Analytics", rddi::RDDIFlagsNormal);
        sqlite3* db = nullptr;
        sqlite3_open(logsPath().c_str(), &db);
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        bytesPerLog = static_cast<double>(std::filesystem::file_size(logsPath())) / kRows;
        storage.deleteLogsWithGroupId("Analytics", nullptr);
    }
    state.counters["bytes_per_log"] = bytesPerLog;
    state.counters["archive_bytes"] = static_cast<double>(pf::KeyedArchiver::archivedData(*referenceLog()).size());
}
BENCHMARK(BM_BytesPerStoredLog)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Load50From100k(benchmark::State& state) {
    useHome(diskRoot());
    rddi::RDDILogDBStorage storage;
    storage.setMaxStorageSize(1L << 30, nullptr);
    const bool asText = state.range(0) == 1;
    bulkInsert("Analytics", 100000, asText);
    bulkInsert("Other", 1000, asText);
    for (auto _ : state) {
        std::optional<std::string> batch;
        storage.loadLogsWithGroupId("Analytics", 50, std::nullopt,
                                    [&](const auto& logs, const auto& batchId) {
                                        benchmark::DoNotOptimize(logs.size());
                                        batch = batchId;
                                    });
        state.PauseTiming();
        if (batch) storage.deleteLogsWithBatchId(*batch, "Analytics");
        state.ResumeTiming();
    }
    state.SetLabel(asText ? "Base64 text rows" : "archive rows");
}
BENCHMARK(BM_Load50From100k)->Arg(0)->Arg(1)->Iterations(300)->Unit(benchmark::kMicrosecond);

// The same batch's rows without decoding them: what the query and the connection cost.
void BM_Select51RowsFrom100k(benchmark::State& state) {
    useHome(diskRoot());
    rddi::RDDILogDBStorage storage;
    storage.setMaxStorageSize(1L << 30, nullptr);
    bulkInsert("Analytics", 100000);
    rddi::RDDIStorageBindableArray values;
    values.addString("Analytics");
    for (auto _ : state) {
        benchmark::DoNotOptimize(storage.executeSelectionQuery(
            "SELECT * FROM \"logs\" WHERE \"groupId\" = ? ORDER BY \"priority\" DESC, \"id\" ASC LIMIT 51", &values));
    }
}
BENCHMARK(BM_Select51RowsFrom100k)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_DeleteGroupOf100k(benchmark::State& state) {
    useHome(diskRoot());
    double growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rddi::RDDILogDBStorage storage;
        storage.setMaxStorageSize(1L << 30, nullptr);
        bulkInsert("Analytics", 100000);
        const double baseline = residentMegabytes();
        double peak = baseline;
        std::size_t seen = 0;
        state.ResumeTiming();
        storage.deleteLogsWithGroupId("Analytics", [&](const auto&) {
            if (++seen % 1000 == 0) peak = std::max(peak, residentMegabytes());
        });
        peak = std::max(peak, residentMegabytes());
        growth = peak - baseline;
        if (seen != 100000) state.SkipWithError("not every log was handed over");
    }
    state.counters["rss_growth_MB"] = growth;
}
BENCHMARK(BM_DeleteGroupOf100k)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
