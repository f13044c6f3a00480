// Writing and reading reports: 16 parked threads of about 30 frames written without and with
// symbolication (targets 50 ms and 32 KiB, 150 ms), one symbol lookup in a libstdc++ frame
// (200 µs), and decoding a report at the 256 KiB limit (10 ms).
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <exception>

#include "crashreporter/report.hpp"
#include "crashreporter/report_support.hpp"
#include "crashreporter/unwind_support.hpp"

namespace {

using namespace lvcrash;

void BM_WriteReport16Threads(benchmark::State& state) {
    unwind_support::FedList list;
    report_support::ParkedThreads parked(16, 25, nullptr);
    report_support::WriteOptions options;
    options.strategy = static_cast<std::uint32_t>(state.range(0));
    std::size_t size = 0;
    for (auto _ : state) size = report_support::write_report(list.get(), options).size();
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_WriteReport16Threads)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_SymbolLookupInLibstdcxx(benchmark::State& state) {
    unwind_support::FedList list;
    const auto pc = reinterpret_cast<std::uint64_t>(&std::current_exception) + 1;
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    lvcrash_async_image_list_set_reading(list.get(), true);
    lvcrash_async_image* image = lvcrash_frame_image_for_pc(list.get(), pc);
    if (image == nullptr) state.SkipWithError("no image for libstdc++");
    for (auto _ : state) {
        if (image == nullptr) break;
        benchmark::DoNotOptimize(lvcrash_async_find_symbol(
            image, 3, &cache, pc, [](lvcrash_vm_address_t, const char*, void*) {}, nullptr));
    }
    lvcrash_async_image_list_set_reading(list.get(), false);
    lvcrash_async_objc_cache_free(&cache);
}
BENCHMARK(BM_SymbolLookupInLibstdcxx)->Unit(benchmark::kMicrosecond);

void BM_Decode256KiBReport(benchmark::State& state) {
    unwind_support::FedList list;
    std::vector<std::uint8_t> bytes;
    {
        report_support::ParkedThreads parked(50, 600, nullptr);
        report_support::WriteOptions options;
        options.strategy = 3;
        bytes = report_support::write_report(list.get(), options);
    }
    for (auto _ : state) benchmark::DoNotOptimize(CrashReport::decode(bytes, nullptr));
    state.counters["bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_Decode256KiBReport)->Unit(benchmark::kMillisecond);

}  // namespace
