// One 1024 x 1024 picture rendered into the 20 files of an iOS icon set the way a
// catalog build renders them: conversion pipeline (stretch, zoom 1, corners and shadow
// off, alpha removal on) and PNG encoding, written to disk. Beside it, in the same run,
// ImageMagick doing the same 20 resizes and RGB PNG writes from the same picture.
//
// Per image: divide the iteration time by 20 (the counter "per_image_ms" does it).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "app/foundation/image_operations.hpp"
#include "bench/graphics/noisy_picture.hpp"
#include "platform/graphics/image.hpp"

namespace {

namespace pg = platform::graphics;
namespace fs = std::filesystem;

constexpr int kFiles = static_cast<int>(std::size(gwbench::kIosIconSetSizes));

pg::ImagePtr sourcePicture() {
    static const pg::ImagePtr image = [] {
        gwbench::Picture p = gwbench::noisyPicture(1024);
        auto bitmap = pg::makeSharedBitmap(pg::Bitmap(p.width, p.height, p.stride, std::move(p.argb), false));
        return pg::Image::withBitmap(std::move(bitmap));
    }();
    return image;
}

struct Scratch {
    fs::path dir;
    fs::path input;
    Scratch() {
        dir = fs::temp_directory_path() / fmt::format("gw-ops-bench-{}", ::getpid());
        fs::create_directories(dir / "out");
        input = dir / "noisy-1024.png";
        const auto png = sourcePicture()->pngData();
        std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(png->data()), png->size());
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
};

const Scratch& scratch() {
    static const Scratch s;
    return s;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> renderIcon(const pg::Image& source, int size) {
    const auto image = gw::converted(source, pg::Size{double(size), double(size)}, 0, 1.0, std::nullopt,
                                     /*isAlphaChannelRemoved=*/true, /*roundCorners=*/false, /*addShadow=*/false);
    return gw::pngData(*image).value_or(std::vector<uint8_t>{});
}

// Wall time per written file, averaged over the run.
class PerImageClock {
public:
    void finish(benchmark::State& state, size_t bytes = 0) const {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        if (state.iterations() > 0) state.counters["per_image_ms"] = ms / (double(state.iterations()) * kFiles);
        if (bytes > 0) state.counters["png_bytes"] = double(bytes);
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The whole set, one picture after another on one thread.
void BM_PipelineIosIconSet(benchmark::State& state) {
    const auto source = sourcePicture();
    const fs::path out = scratch().dir / "out";
    size_t bytes = 0;
    const PerImageClock clock;
    for (auto _ : state) {
        bytes = 0;
        for (int i = 0; i < kFiles; ++i) {
            const auto png = renderIcon(*source, gwbench::kIosIconSetSizes[i]);
            bytes += png.size();
            writeFile(out / fmt::format("{}-{}.png", i, gwbench::kIosIconSetSizes[i]), png);
        }
    }
    clock.finish(state, bytes);
}
BENCHMARK(BM_PipelineIosIconSet)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same set spread over the engine's way of working: one thread per picture, at
// most as many as the machine has cores.
void BM_PipelineIosIconSetParallel(benchmark::State& state) {
    const auto source = sourcePicture();
    const fs::path out = scratch().dir / "out";
    const int workers = int(state.range(0));
    const PerImageClock clock;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int w = 0; w < workers; ++w) {
            threads.emplace_back([&, w] {
                for (int i = w; i < kFiles; i += workers) {
                    writeFile(out / fmt::format("p{}-{}.png", i, gwbench::kIosIconSetSizes[i]),
                              renderIcon(*source, gwbench::kIosIconSetSizes[i]));
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }
    clock.finish(state);
}
BENCHMARK(BM_PipelineIosIconSetParallel)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// ImageMagick, one process: decodes the PNG once, then 20 Lanczos resizes written as
// RGB PNGs. Its time includes starting the process and decoding the 1024 px input.
void runMagick(benchmark::State& state, const std::string& environment) {
    if (std::system("command -v convert >/dev/null 2>&1") != 0) {
        state.SkipWithError("ImageMagick's convert is not installed");
        return;
    }
    const auto& s = scratch();
    std::string command = environment + " convert '" + s.input.string() + "' -filter Lanczos";
    for (int i = 0; i < kFiles; ++i) {
        const int size = gwbench::kIosIconSetSizes[i];
        command += fmt::format(" \\( +clone -resize {0}x{0}! -alpha off -write 'PNG24:{1}/out/m{2}-{0}.png' +delete \\)",
                               size, s.dir.string(), i);
    }
    command += " null: >/dev/null 2>&1";
    const PerImageClock clock;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("convert failed");
            return;
        }
    }
    clock.finish(state);
}

void BM_ImageMagickIosIconSet(benchmark::State& state) { runMagick(state, ""); }
BENCHMARK(BM_ImageMagickIosIconSet)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImageMagickIosIconSetOneThread(benchmark::State& state) { runMagick(state, "MAGICK_THREAD_LIMIT=1"); }
BENCHMARK(BM_ImageMagickIosIconSetOneThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// ImageMagick's fixed costs alone (process start, decoding the input), to read the
// difference above fairly.
void BM_ImageMagickDecodeOnly(benchmark::State& state) {
    if (std::system("command -v convert >/dev/null 2>&1") != 0) {
        state.SkipWithError("ImageMagick's convert is not installed");
        return;
    }
    const std::string command = "convert '" + scratch().input.string() + "' null: >/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("convert failed");
            return;
        }
    }
}
BENCHMARK(BM_ImageMagickDecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
