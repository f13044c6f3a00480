// A C++ throw caught 20 frames up, with the program's throw entry recording the stack
// (budget: 25 µs a throw) and without (no handler registered: the entry only tests its flag).
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"

namespace {

using rddi::RDDICrashesUncaughtCXXExceptionHandlerManager;

__attribute__((noinline)) int throwFrom(int depth) {
    if (depth == 0) throw std::runtime_error("deep");
    const int below = throwFrom(depth - 1);
    benchmark::DoNotOptimize(below);
    return below + 1;
}

void throwAndCatch(benchmark::State& state) {
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(throwFrom(20));
        } catch (const std::runtime_error& e) {
            benchmark::DoNotOptimize(e.what());
        }
    }
}

void noteHandler(const rddi::RDDICrashesCXXExceptionInfo*) {}

void BM_ThrowCatch20Deep_NotRecording(benchmark::State& state) { throwAndCatch(state); }
BENCHMARK(BM_ThrowCatch20Deep_NotRecording)->Unit(benchmark::kMicrosecond);

void BM_ThrowCatch20Deep_Recording(benchmark::State& state) {
    RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(noteHandler);
    throwAndCatch(state);
    RDDICrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(noteHandler);
}
BENCHMARK(BM_ThrowCatch20Deep_Recording)->Unit(benchmark::kMicrosecond);

}  // namespace
