// From the fault to the closed report: a child with 16 threads crashes and reports how long the
// crash path took until the report file was closed (target: median of 20 children ≤ 50 ms).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Nanoseconds the child measured, or -1.
long crash_once() {
    char dir_template[] = "/tmp/gw-crash-bench-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/pending.lvcrash";
    const pid_t child = fork();
    if (child == 0) {
        execl(CRASH_CHILD_PATH, CRASH_CHILD_PATH, path.c_str(), "time-16", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    long ns = -1;
    std::ifstream(path + ".handled.elapsed") >> ns;
    for (const char* suffix : {"", ".handled", ".handled.elapsed", ".handled.parked"}) unlink((path + suffix).c_str());
    rmdir(dir.c_str());
    return ns;
}

void BM_FaultToClosedReport16Threads(benchmark::State& state) {
    std::vector<double> ms;
    for (auto _ : state) {
        const long ns = crash_once();
        if (ns < 0) {
            state.SkipWithError("the child wrote no timing");
            break;
        }
        ms.push_back(static_cast<double>(ns) / 1e6);
        state.SetIterationTime(static_cast<double>(ns) / 1e9);
    }
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_FaultToClosedReport16Threads)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
