#include "support/machine_pace.hpp"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace gwtest {

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Keeps the spin from being folded away.
volatile std::uint64_t sink;

// User and system time of a live process from its stat line, with that of the children it
// waited for when `reaped`; its parent in `parent`. Zero when it has ended.
std::chrono::milliseconds timeOf(const std::filesystem::path& stat, pid_t* parent, bool reaped = false) {
    std::ifstream in(stat);
    std::string line;
    if (!std::getline(in, line)) return {};
    // The fields after the command name, which is in parentheses: state, ppid, … utime (the
    // 12th after it), stime, cutime and cstime.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 1; i <= 15 && fields >> field; ++i) {
        if (i == 2) *parent = static_cast<pid_t>(std::stol(field));
        if (i == 12 || i == 13 || (reaped && i >= 14)) ticks += std::stoll(field);
    }
    return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

// The processor time of the running children of `parent`.
std::chrono::milliseconds childrenTime(pid_t parent) {
    std::chrono::milliseconds total{};
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t parentOfIt = 0;
        const auto time = timeOf(entry->path() / "stat", &parentOfIt);
        if (parentOfIt == parent) total += time;
    }
    return total;
}

// The processor time getrusage counts for `who` (RUSAGE_SELF or RUSAGE_CHILDREN).
std::chrono::milliseconds processorTimeOfUsage(int who) {
    const auto of = [](const timeval& t) { return std::chrono::milliseconds(t.tv_sec * 1000 + t.tv_usec / 1000); };
    rusage usage{};
    ::getrusage(who, &usage);
    return of(usage.ru_utime) + of(usage.ru_stime);
}

}  // namespace

std::chrono::milliseconds reapedChildrenProcessorTime() { return processorTimeOfUsage(RUSAGE_CHILDREN); }

std::chrono::milliseconds processorTimeWithChildren() {
    return processorTimeOfUsage(RUSAGE_SELF) + reapedChildrenProcessorTime() + childrenTime(::getpid());
}

std::chrono::milliseconds processorTimeOf(pid_t pid) {
    pid_t parent = 0;
    const auto own = timeOf("/proc/" + std::to_string(pid) + "/stat", &parent, true);
    return own + childrenTime(pid);
}

std::optional<std::chrono::nanoseconds> processorWait() {
    // Time on a processor, time waiting for one, slices run.
    std::ifstream in("/proc/thread-self/schedstat");
    long long running = 0, waiting = 0;
    if (!(in >> running >> waiting)) return std::nullopt;
    return std::chrono::nanoseconds(waiting);
}

double buildSlowdown() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 4.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return 4.0;
#else
    return 1.0;
#endif
#else
    return 1.0;
#endif
}

double measurePace() {
    // Long enough to span several of the scheduler's slices when many tasks share a
    // processor, short enough to be asked often.
    constexpr double kSpin = 0.06;
    const double wallStart = seconds(CLOCK_MONOTONIC);
    const double cpuStart = seconds(CLOCK_THREAD_CPUTIME_ID);
    std::uint64_t x = 88172645463325252ULL;
    double cpu = 0;
    do {
        for (int i = 0; i < 20000; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        cpu = seconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    } while (cpu < kSpin);
    sink = x;
    const double wall = seconds(CLOCK_MONOTONIC) - wallStart;
    // A machine so loaded that a thread gets a fiftieth of a processor fails any test.
    return std::clamp(wall / cpu, 1.0, 50.0);
}

Pace::Pace() : worst_(measurePace()) {}

double Pace::factor() {
    worst_ = std::max(worst_, measurePace());
    return worst_;
}

std::chrono::milliseconds Pace::bound(std::chrono::milliseconds idle) {
    const double scaled = static_cast<double>(idle.count()) * factor() * buildSlowdown();
    return std::chrono::milliseconds(static_cast<std::int64_t>(scaled));
}

}  // namespace gwtest
