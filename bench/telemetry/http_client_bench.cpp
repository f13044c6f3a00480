// One batch send as the pipeline makes it: ~35 KB of JSON logs, gzipped by the client,
// posted over a reused loopback connection and answered 200. Reports p50 and p99.
#include "telemetry/pipeline/rddi_http_client.hpp"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace {

namespace pf = platform::foundation;

std::string batchOf35Kilobytes() {
    std::string logs = "{\"logs\":[";
    for (int i = 0; logs.size() < 35 * 1024; ++i) {
        if (i > 0) logs += ",";
        logs += "{\"type\":\"event\",\"id\":\"" + std::to_string(100000 + i) +
                "\",\"name\":\"Catalog written\",\"timestamp\":\"2026-12-07T12:00:00.000Z\","
                "\"sid\":\"6a0a7e4e-3c1b-4f6e-9d52-3b7a8f0d1c2e\",\"properties\":{\"sizes\":\"" +
                std::to_string(i * 7 % 1024) + "\",\"kind\":\"appicon\"}}";
    }
    return logs + "]}";
}

void BM_PostGzippedBatch(benchmark::State& state) {
    httplib::Server server;
    server.set_keep_alive_max_count(1'000'000);
    // Headers and body leave in separate writes; without this each answer waits for a delayed ACK.
    server.set_tcp_nodelay(true);
    server.Post("/logs", [](const httplib::Request&, httplib::Response& response) { response.set_content("{}", "application/json"); });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread listening([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto client = rddi::RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); }));
    const auto url = *pf::URL::fromString("http://127.0.0.1:" + std::to_string(port) + "/logs");
    const auto body = pf::dataFromString(batchOf35Kilobytes());
    auto sendOne = [&] {
        std::promise<int> done;
        client->sendAsync(url, "POST", {{"Install-ID", "bench"}}, body,
                          [&done](const auto&, const auto& response, const auto&) { done.set_value(response ? response->statusCode : 0); });
        return done.get_future().get();
    };
    if (sendOne() != 200) state.SkipWithError("the loopback server did not answer 200");  // also opens the connection

    std::vector<double> latencies;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(sendOne());
        latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["p50_ms"] = latencies[latencies.size() / 2];
        state.counters["p99_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    client.reset();
    server.stop();
    listening.join();
}
BENCHMARK(BM_PostGzippedBatch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

