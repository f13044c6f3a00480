// Time to follow a damaged saved state whose damage leaves many objects open (each a
// place the reading tries as a picture's start), by the size of the damage: linear, where
// trying each place to the end of the text made it quadratic (600 KB took 77 s).
#include <benchmark/benchmark.h>

#include "app/engine/saved_state_text.hpp"

#include <string>

namespace {

// Two whole pictures around `opened` objects that never close.
std::string damagedState(long opened) {
    const std::string picture = R"({"imageName":"P","imageWrapper":{"image":"iVBORw0KGgo="}})";
    std::string text = R"({"imageInputCollectionType":1,"imageInputs":[)" + picture + R"(,{"imageName":"Open","imageWrapper":)";
    for (long i = 0; i < opened; ++i) text += R"({"a":)";
    return text + picture + R"(],"selectionIndexes":{"indexes":[]}})";
}

void BM_SalvageOfUnclosedObjects(benchmark::State& state) {
    const auto text = damagedState(state.range(0));
    for (auto _ : state) {
        auto salvaged = gw::saved_state::salvagedState(text, "damaged");
        benchmark::DoNotOptimize(salvaged);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<long long>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_SalvageOfUnclosedObjects)->RangeMultiplier(2)->Range(20'000, 320'000)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
