// Renders the noisy 1024 x 1024 picture to the 20 files of an iOS icon set (resample
// and PNG encode, as a catalog build does), plus the two halves separately.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include "bench/graphics/noisy_picture.hpp"
#include "platform/graphics/png_codec.hpp"
#include "platform/graphics/resample.hpp"

namespace {

using platform::graphics::PixelView;

const gwbench::Picture& picture() {
    static const gwbench::Picture p = gwbench::noisyPicture();
    return p;
}

void BM_IosIconSet(benchmark::State& state) {
    const auto& src = picture();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (int size : gwbench::kIosIconSetSizes) {
            int stride = 0;
            const auto pixels = platform::graphics::resampleArgb32(src.view(), size, size, &stride);
            const auto png = platform::graphics::encodePng(PixelView{pixels.data(), size, size, stride}, false);
            bytes += png.size();
            benchmark::DoNotOptimize(png.data());
        }
    }
    state.counters["png_bytes"] = double(bytes);
}
BENCHMARK(BM_IosIconSet)->Unit(benchmark::kMillisecond);

void BM_Resample(benchmark::State& state) {
    const int size = int(state.range(0));
    for (auto _ : state) {
        int stride = 0;
        auto pixels = platform::graphics::resampleArgb32(picture().view(), size, size, &stride);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(BM_Resample)->Arg(180)->Arg(40)->Arg(2048)->Unit(benchmark::kMillisecond);

void BM_EncodePng(benchmark::State& state) {
    const int size = int(state.range(0));
    int stride = 0;
    const auto pixels = platform::graphics::resampleArgb32(picture().view(), size, size, &stride);
    size_t bytes = 0;
    for (auto _ : state) {
        const auto png = platform::graphics::encodePng(PixelView{pixels.data(), size, size, stride}, false);
        bytes = png.size();
        benchmark::DoNotOptimize(png.data());
    }
    state.counters["png_bytes"] = double(bytes);
}
BENCHMARK(BM_EncodePng)->Arg(1024)->Arg(180)->Unit(benchmark::kMillisecond);

// The baseline the encoder replaces: zlib level 6 over the same RGB rows (no filtering
// choice, filter byte 0), i.e. the deflate cost alone.
void BM_ZlibLevel6Deflate1024(benchmark::State& state) {
    const auto& src = picture();
    std::vector<uint8_t> rows;
    rows.reserve(size_t(src.height) * (src.width * 3 + 1));
    for (int y = 0; y < src.height; ++y) {
        rows.push_back(0);
        for (int x = 0; x < src.width; ++x)
            for (int shift : {16, 8, 0}) rows.push_back(uint8_t(src.argb[size_t(y) * src.stride + 4 * x + shift / 8]));
    }
    std::vector<uint8_t> out(compressBound(rows.size()));
    uLongf size = 0;
    for (auto _ : state) {
        size = out.size();
        compress2(out.data(), &size, rows.data(), rows.size(), 6);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["deflate_bytes"] = double(size);
}
BENCHMARK(BM_ZlibLevel6Deflate1024)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
