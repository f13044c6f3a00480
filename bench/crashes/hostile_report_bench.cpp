// Hostile pending reports at start (tests/crashreporter/hostile_reports.hpp: a crafted file of
// 7 MB, huge counts, enumerations of 0xFFFFFFFF, sections repeated to 1 MiB), each refused by the crashes service as the SDK
// starts (targets: the start returns within 100 ms, the peak resident memory grows by less than
// 64 MiB), beside the same start without a pending report. Every case runs in a child of its own,
// so that its peak is its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/hostile_reports.hpp"
#include "platform/foundation/clock.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

namespace {

using namespace rddi;
namespace fs = std::filesystem;

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct ChildResult {
    double startMs[10];
    long peakGrowthKiB;
};

// In the child: ten launches, each finding the damaged report pending.
ChildResult measure(int which) {
    ChildResult result{};
    testkit::TelemetryTestEnvironment env(false);
    lvcrash::RDLVCrashReporter maker(lvcrash::RDLVCrashReporterConfig(1, 0, true, std::nullopt));
    auto bytes = maker.generateLiveReport();
    if (!bytes) return result;
    const auto& damages = hostile_reports::damages();
    if (which < static_cast<int>(damages.size())) damages[static_cast<std::size_t>(which)].apply(&*bytes);
    auto clock = std::make_shared<platform::foundation::ManualClock>();
    platform::foundation::Clock::setCurrent(clock);
    const long before = peakResidentKiB();
    for (double& ms : result.startMs) {
        testkit::TelemetryTestEnvironment::resetSdk();
        RDDICrashes::resetSharedInstance();
        lvcrash::lvcrash_reporter_reset_for_tests();
        RDDICrashesLogBuffer::resetForTesting();
        fs::create_directories(fs::path(maker.crashReportPath()).parent_path());
        std::ofstream(maker.crashReportPath(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
        const auto start = std::chrono::steady_clock::now();
        if (which >= static_cast<int>(damages.size())) fs::remove(maker.crashReportPath());
        RDDIDezIdedev::start("secret", {RDDICrashes::serviceClass()});
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (RDDICrashes::lastSessionCrashReport()) ms = -1;  // not refused
    }
    result.peakGrowthKiB = peakResidentKiB() - before;
    return result;
}

void BM_HostilePendingReportRefusedAtStart(benchmark::State& state) {
    ChildResult result{};
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) break;
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const ChildResult measured = measure(static_cast<int>(state.range(0)));
            _exit(write(fds[1], &measured, sizeof measured) == sizeof measured ? 0 : 1);
        }
        close(fds[1]);
        const bool got = read(fds[0], &result, sizeof result) == sizeof result;
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        if (!got) {
            state.SkipWithError("the child measured nothing");
            return;
        }
    }
    std::vector<double> ms(std::begin(result.startMs), std::end(result.startMs));
    if (std::find(ms.begin(), ms.end(), -1.0) != ms.end()) {
        state.SkipWithError("a report was not refused");
        return;
    }
    std::sort(ms.begin(), ms.end());
    state.SetIterationTime(ms[ms.size() / 2] / 1e3);
    state.counters["start_median_ms"] = ms[ms.size() / 2];
    state.counters["start_max_ms"] = ms.back();
    state.counters["peak_growth_MiB"] = static_cast<double>(result.peakGrowthKiB) / 1024.0;
}
BENCHMARK(BM_HostilePendingReportRefusedAtStart)
    // 0: 7 MB file, 1: 100,000 frames, 2: 5,000 threads, 3: 30,000 images, 4: bad operating system,
    // 5: bad architecture, 6: exception repeated, 7: signal repeated, 8: no pending report
    ->ArgName("case")
    ->DenseRange(0, static_cast<int>(hostile_reports::damages().size()))
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
