// Start-up and quit of the window application with saved pictures. Start-up: from nothing
// to the main window shown, and on to the saved pictures restored into the engine (read
// and decoded off the main thread meanwhile). Quit: what the application does between
// the quit and the process's end (stopping the engine's work, saving the pictures).
//
// Two saved states: 50 pictures of 1024 x 1024 (gradients, made in memory, so stored as
// PNG), and seven photographs of 8192 x 8192 read from PNG files of about 200 MB (noise
// over a gradient, which no encoding makes much smaller), stored as those files' bytes:
// a saved state of 1.9 GB.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/ui/desktop_application.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/files.hpp"
#include "platform/graphics/image.hpp"
#include "platform/log/system_log.hpp"
#include "tests/support/photo_like_png.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace pa = platform::appkit;
namespace pg = platform::graphics;
namespace pf = platform::foundation;
using Clock = std::chrono::steady_clock;

const std::uint32_t kPictures = std::getenv("GW_BENCH_PICTURES") ? std::atoi(std::getenv("GW_BENCH_PICTURES")) : 50;
const int kSide = std::getenv("GW_BENCH_SIDE") ? std::atoi(std::getenv("GW_BENCH_SIDE")) : 1024;
std::filesystem::path gScratch;

// Artwork-like: smooth gradients, a different one per picture; with `noise`, a few
// random low bits in every pixel, as a photograph has.
pg::ImagePtr gradient(int side, std::uint32_t seed, bool noise = false) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    std::uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            auto* p = &pixels[(static_cast<std::size_t>(y) * side + x) * 4];
            state = state * 1664525u + 1013904223u;
            const std::uint8_t jitter = noise ? static_cast<std::uint8_t>(state >> 29) : 0;
            p[0] = static_cast<std::uint8_t>(x * 255 / side) ^ jitter;
            p[1] = static_cast<std::uint8_t>(y * 255 / side) ^ jitter;
            p[2] = static_cast<std::uint8_t>(seed * 5) ^ jitter;
            p[3] = 0xFF;
        }
    }
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
}

std::shared_ptr<gw::Glyphwright> emptyEngine(gw::CollectionType type) {
    auto engine = gw::Glyphwright::make();
    engine->setCollectionViewArrayController(std::make_shared<pa::ArrayController>());
    engine->setImageInputCollectionType(type);
    return engine;
}

void saveFiftyGradients() {
    auto engine = emptyEngine(gw::CollectionType::variants);
    for (std::uint32_t i = 0; i < kPictures; ++i) {
        auto input = gw::ImageInput::make();
        input->setImageWrapper(gw::ImageWrapper::make(gradient(kSide, i)));
        input->updatePointSizeFromImage();
        engine->insert(input);
    }
    engine->save();
}

void saveSevenPhotographs() {
    const auto png = gwtest::photoLikePng(8192);
    std::vector<pf::URL> files;
    for (int i = 1; i <= 7; ++i) {
        const auto file = gScratch / ("photo" + std::to_string(i) + ".png");
        std::ofstream(file, std::ios::binary) << png;
        files.push_back(pf::URL::fileURL(file));
    }
    auto engine = emptyEngine(gw::CollectionType::batch);
    engine->addImages(files);
    engine->setImageInputCollectionType(gw::CollectionType::batch);
    engine->save();
    std::fprintf(stderr, "seven 8192 x 8192 photographs: %.0f MB of PNG files, a saved state of %.0f MB\n",
                 7 * png.size() / 1e6, std::filesystem::file_size(gw::Glyphwright::savedStatePath()) / 1e6);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// One start: the main window shown (`shown` seconds), the saved pictures in the engine
// (`restored` seconds), then the quit (`quit` seconds). Returns the pictures restored.
std::size_t startAndQuit(double& shown, double& restored, double& quit) {
    const auto start = Clock::now();
    auto app = gw::ui::DesktopApplication::make();
    app->window->show();
    while (!app->window->isVisible()) QApplication::processEvents();
    QApplication::processEvents();
    shown = secondsSince(start);
    app->engine->waitForBackgroundReading();
    platform::dispatch::MainLoop::drain();
    restored = secondsSince(start);
    const auto count = app->engine->imageInputs().size();
    const auto quitting = Clock::now();
    app->window->hide();
    app->delegate->applicationWillTerminate();
    app->engine->cancelAllOperations();
    app->engine->waitUntilAllOperationsAreFinished();
    quit = secondsSince(quitting);
    app.reset();
    return count;
}

// Runs starts and quits with the saved state `save` writes; `part` 0 reports the time to
// the window, 1 to the restored pictures, 2 the quit.
void startsAndQuits(benchmark::State& state, void (*save)(), std::size_t expected) {
    // Each quit saves the same pictures again: the state is written once per scenario.
    static void (*saved)() = nullptr;
    if (saved != save) save();
    saved = save;
    for (auto _ : state) {
        double shown = 0, restored = 0, quit = 0;
        const auto count = startAndQuit(shown, restored, quit);
        if (count != expected) {
            state.SkipWithError(("restored " + std::to_string(count) + " of the saved pictures").c_str());
            break;
        }
        state.SetIterationTime(state.range(0) == 0 ? shown : state.range(0) == 1 ? restored : quit);
    }
}

// Three parts of each start and quit, timed by hand.
void threeParts(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgName("window0_restored1_quit2")->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
}

void BM_FiftySavedGradients(benchmark::State& state) { startsAndQuits(state, saveFiftyGradients, kPictures); }
BENCHMARK(BM_FiftySavedGradients)->Apply(threeParts);

void BM_SevenSaved8192PixelPhotographs(benchmark::State& state) { startsAndQuits(state, saveSevenPhotographs, 7); }
BENCHMARK(BM_SevenSaved8192PixelPhotographs)->Apply(threeParts);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    char scratch[] = "/tmp/gw-startup-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return 1;
    gScratch = scratch;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        ::setenv(name, (std::string(scratch) + "/" + name).c_str(), 1);
    }
    platform::log::setLoggingEnabled(false);
    platform::appkit::qt::Application application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(scratch);
    return 0;
}
