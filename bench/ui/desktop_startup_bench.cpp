// Start-up of the window application with a saved state of 50 pictures of 1024 x 1024:
// from nothing to the main window shown, the saved pictures restored into the engine.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/ui/desktop_application.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/graphics/image.hpp"
#include "platform/log/system_log.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace pa = platform::appkit;
namespace pg = platform::graphics;

const std::uint32_t kPictures = std::getenv("GW_BENCH_PICTURES") ? std::atoi(std::getenv("GW_BENCH_PICTURES")) : 50;
const int kSide = std::getenv("GW_BENCH_SIDE") ? std::atoi(std::getenv("GW_BENCH_SIDE")) : 1024;

pg::ImagePtr gradient(int side, std::uint32_t seed) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    // Artwork-like: smooth gradients, a different one per picture.
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            auto* p = &pixels[(static_cast<std::size_t>(y) * side + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / side);
            p[1] = static_cast<std::uint8_t>(y * 255 / side);
            p[2] = static_cast<std::uint8_t>(seed * 5);
            p[3] = 0xFF;
        }
    }
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
}

void writeSavedState() {
    auto engine = gw::Glyphwright::make();
    engine->setCollectionViewArrayController(std::make_shared<pa::ArrayController>());
    engine->setImageInputCollectionType(gw::CollectionType::variants);
    for (std::uint32_t i = 0; i < kPictures; ++i) {
        auto input = gw::ImageInput::make();
        input->setImageWrapper(gw::ImageWrapper::make(gradient(kSide, i)));
        input->updatePointSizeFromImage();
        engine->insert(input);
    }
    engine->save();
    if (gw::Glyphwright::restore()->imageInputs().size() != 50) std::fprintf(stderr, "the saved state does not restore\n");
}

void BM_StartUpWith50SavedPictures(benchmark::State& state) {
    for (auto _ : state) {
        auto app = gw::ui::DesktopApplication::make();
        app->window->show();
        while (!app->window->isVisible()) QApplication::processEvents();
        QApplication::processEvents();
        state.PauseTiming();
        const auto restored = app->engine->imageInputs().size();
        app.reset();
        if (restored != 50) {
            state.SkipWithError(("restored " + std::to_string(restored) + " of 50 saved pictures").c_str());
            break;
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartUpWith50SavedPictures)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    char scratch[] = "/tmp/gw-startup-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return 1;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        ::setenv(name, (std::string(scratch) + "/" + name).c_str(), 1);
    }
    platform::log::setLoggingEnabled(false);
    platform::appkit::qt::Application application(argc, argv);
    writeSavedState();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(scratch);
    return 0;
}
