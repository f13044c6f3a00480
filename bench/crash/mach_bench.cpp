// Mach mode: a fault in a process of 16 parked threads until its report is closed (target
// 60 ms), and the resident memory enabling the reporter adds to a 50-thread process (target
// 2 MiB). Each iteration runs in a child, which dies of its fault.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report_support.hpp"

namespace {

using namespace lvcrash;

int result_fd = -1;
std::chrono::steady_clock::time_point fault_time;
volatile int sink;

void reportClosed(siginfo_t*, ucontext_t*, void*) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - fault_time).count();
    if (write(result_fd, &ms, sizeof ms) != sizeof ms) _exit(81);
}

long residentKiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * (getpagesize() / 1024);
}

// Runs body in a child and reads the one number it sends back; negative when none came.
double inChild(void (*body)(const std::string& base)) {
    char pattern[] = "/tmp/gw-mach-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return -1;
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        result_fd = fds[1];
        body(pattern);
        _exit(0);
    }
    close(fds[1]);
    double value = -1;
    if (read(fds[0], &value, sizeof value) != sizeof value) value = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(pattern);
    return value;
}

void faultWith16Threads(const std::string& base) {
    report_support::ParkedThreads parked(16, 25, nullptr);
    RDLVCrashReporter reporter("bench", "1", std::nullopt,
                               RDLVCrashReporterConfig(LVCrashReporterSignalHandlerTypeMach, 0, false, base));
    LVCrashReporterCallbacks callbacks{0, nullptr, reportClosed};
    reporter.setCrashCallbacks(&callbacks);
    if (!reporter.enableCrashReporter()) _exit(70);
    void* page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    fault_time = std::chrono::steady_clock::now();
    sink = *static_cast<volatile int*>(page);
}

void BM_MachFaultToClosedReport16Threads(benchmark::State& state) {
    for (auto _ : state) {
        const double ms = inChild(faultWith16Threads);
        if (ms < 0) {
            state.SkipWithError("no report");
            break;
        }
        state.SetIterationTime(ms / 1000.0);
    }
}
BENCHMARK(BM_MachFaultToClosedReport16Threads)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void enableWith50Threads(const std::string& base) {
    report_support::ParkedThreads parked(50, 4, nullptr);
    RDLVCrashReporter reporter("bench", "1", std::nullopt,
                               RDLVCrashReporterConfig(LVCrashReporterSignalHandlerTypeMach, 0, true, base));
    const long before = residentKiB();
    if (!reporter.enableCrashReporter()) _exit(70);
    const double added = static_cast<double>(residentKiB() - before);
    if (write(result_fd, &added, sizeof added) != sizeof added) _exit(81);
}

void BM_EnableResidentGrowth50Threads(benchmark::State& state) {
    double added = 0;
    for (auto _ : state) added = inChild(enableWith50Threads);
    state.counters["added_KiB"] = added;
}
BENCHMARK(BM_EnableResidentGrowth50Threads)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
