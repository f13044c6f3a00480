// From a stored crash report to its log on the "Crashes" unit, once the processing delay
// has passed (budget 50 ms): decoding, formatting, the device lookup and the enqueue.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "crashreporter/crash_reporter.hpp"
#include "platform/foundation/clock.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

namespace {

using namespace rddi;
namespace pf = platform::foundation;

void BM_PendingReportToEnqueuedLog(benchmark::State& state) {
    testkit::TelemetryTestEnvironment env;
    // A real report of this process, as a crashed launch would have left it.
    lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
    const auto bytes = maker.generateLiveReport();
    if (!bytes) {
        state.SkipWithError("no live report");
        return;
    }
    auto clock = std::make_shared<pf::ManualClock>();
    pf::Clock::setCurrent(clock);
    for (auto _ : state) {
        state.PauseTiming();
        RDDICrashes::resetSharedInstance();
        testkit::TelemetryTestEnvironment::resetSdk();
        lvcrash::lvcrash_reporter_reset_for_tests();
        RDDICrashesLogBuffer::resetForTesting();
        const std::filesystem::path folder = RDDIUtility::dezIdedevDirectoryURL() / "crashes";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "800000001", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
        const auto before = env.channelGroup()->storedLogs("Crashes").size();
        RDDIDezIdedev::start("secret", {RDDICrashes::serviceClass()});
        state.ResumeTiming();

        clock->advance(std::chrono::seconds(1));
        RDDICrashes::sharedInstance()->unprocessedCrashReports();  // returns once processing has run

        state.PauseTiming();
        if (env.channelGroup()->storedLogs("Crashes").size() != before + 1) state.SkipWithError("no crash log sent");
        state.ResumeTiming();
    }
    RDDICrashes::resetSharedInstance();
    lvcrash::lvcrash_reporter_reset_for_tests();
    pf::Clock::setCurrent(nullptr);
}
BENCHMARK(BM_PendingReportToEnqueuedLog)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace
