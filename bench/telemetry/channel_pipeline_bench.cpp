// The channel pipeline on a real log store: enqueueing on the caller's thread (it only
// validates, stamps and queues), and enqueue to committed row, sustained.
#include "platform/foundation/uuid.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/pipeline/rddi_channel_group_default.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace {

// Accepts every batch at once, as a server answering 200 would.
class AcceptingIngestion : public rddi::RDDIIngestionProtocol {
public:
    void setEnabled(bool, bool) override {}
    void sendAsync(const std::shared_ptr<rddi::RDDILogContainer>& data,
                   rddi::RDDISendAsyncCompletionHandler handler) override {
        platform::network::HTTPURLResponse response;
        response.statusCode = 200;
        handler(data->batchId.value_or(""), response, std::nullopt, std::nullopt);
    }
    void sendAsync(const std::shared_ptr<rddi::RDDILogContainer>& data, const std::optional<std::string>&,
                   rddi::RDDISendAsyncCompletionHandler handler) override {
        sendAsync(data, std::move(handler));
    }
    bool isReadyToSend() const override { return true; }
    bool isEnabled() const override { return true; }
};

std::shared_ptr<rddi::RDDIAbstractLog> referenceEvent(int i) {
    auto log = std::make_shared<rddi::RDDIEventLog>();
    log->name = "Catalog written";
    log->eventId = platform::foundation::UUID().uuidString();
    log->sid = "6a0a7e4e-3c1b-4f6e-9d52-3b7a8f0d1c2e";
    log->properties = {{"kind", "appicon"}, {"sizes", std::to_string(i % 1024)}};
    return log;
}

struct Pipeline {
    Pipeline() {
        const auto home = std::filesystem::temp_directory_path() / ("gw-bench-" + platform::foundation::UUID().uuidString());
        std::filesystem::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        // As the analytics service does at start: stored events must read back as events.
        rddi::RDDIRegisterAnalyticsArchiveClasses();
        group = rddi::RDDIChannelGroupDefault::create(nullptr);
        unit = group->addChannelUnitWithConfiguration(rddi::RDDIChannelUnitConfiguration::defaultConfiguration("Bench"),
                                                      std::make_shared<AcceptingIngestion>());
    }
    // Every enqueued log stored (the unit stores them in groups, giving way to answers).
    void drain() const { std::static_pointer_cast<rddi::RDDIChannelUnitDefault>(unit)->stateSync(); }
    std::shared_ptr<rddi::RDDIChannelGroupDefault> group;
    std::shared_ptr<rddi::RDDIChannelUnitProtocol> unit;
};

void BM_EnqueueOnCallersThread(benchmark::State& state) {
    Pipeline pipeline;
    std::vector<double> micros;
    int i = 0;
    for (auto _ : state) {
        auto log = referenceEvent(i++);
        const auto start = std::chrono::steady_clock::now();
        pipeline.unit->enqueueItem(log, 1);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (i % 1000 == 0) {
            state.PauseTiming();
            pipeline.drain();
            state.ResumeTiming();
        }
    }
    pipeline.drain();
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) state.counters["p50_us"] = micros[micros.size() / 2];
}
BENCHMARK(BM_EnqueueOnCallersThread)->Iterations(5000)->UseRealTime();

void BM_EnqueueToCommittedRow(benchmark::State& state) {
    Pipeline pipeline;
    int i = 0;
    for (auto _ : state) {
        for (int n = 0; n < 1000; ++n) pipeline.unit->enqueueItem(referenceEvent(i++), 1);
        pipeline.drain();
    }
    state.counters["logs_per_s"] = benchmark::Counter(static_cast<double>(i), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EnqueueToCommittedRow)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
