// The stored form of a log and the body of a request: the reference event log (device,
// session id, two typed properties) archived and Base64-encoded, and a batch of 50 such
// logs serialised to JSON. Targets: at most 1,400 Base64 bytes and 30 µs per archive,
// 1 ms per 50-log batch.
#include <benchmark/benchmark.h>

#include "platform/foundation/base64.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_log_container.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <cstdlib>
#include <filesystem>

namespace {

namespace pf = platform::foundation;

std::shared_ptr<rddi::RDDIEventLog> referenceEvent() {
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

void setUp() {
    // Settings and the SDK folder go to a scratch home, not the user's.
    static const bool ready = [] {
        const auto home = std::filesystem::temp_directory_path() / "gw-telemetry-bench";
        std::filesystem::create_directories(home);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        rddi::RDDILogger::setLogHandler({});
        rddi::RDDIRegisterAnalyticsArchiveClasses();
        return true;
    }();
    (void)ready;
}

void BM_ArchiveReferenceEvent(benchmark::State& state) {
    setUp();
    const auto log = referenceEvent();
    std::size_t archived = 0, encoded = 0;
    for (auto _ : state) {
        const auto data = rddi::RDDIUtility::archiveKeyedData(log.get());
        const std::string text = pf::base64Encoded(*data);
        archived = data->size();
        encoded = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["archive_bytes"] = static_cast<double>(archived);
    state.counters["base64_bytes"] = static_cast<double>(encoded);
}
BENCHMARK(BM_ArchiveReferenceEvent)->Unit(benchmark::kMicrosecond);

void BM_UnarchiveReferenceEvent(benchmark::State& state) {
    setUp();
    const auto data = rddi::RDDIUtility::archiveKeyedData(referenceEvent().get());
    for (auto _ : state) benchmark::DoNotOptimize(rddi::RDDIUtility::unarchiveKeyedData(data));
}
BENCHMARK(BM_UnarchiveReferenceEvent)->Unit(benchmark::kMicrosecond);

void BM_SerialiseFiftyLogContainer(benchmark::State& state) {
    setUp();
    std::vector<std::shared_ptr<rddi::RDDIAbstractLog>> logs;
    for (int i = 0; i < 50; ++i) logs.push_back(referenceEvent());
    const rddi::RDDILogContainer container("batch", logs);
    for (auto _ : state) benchmark::DoNotOptimize(container.serializeLog());
}
BENCHMARK(BM_SerialiseFiftyLogContainer)->Unit(benchmark::kMicrosecond);

}  // namespace

