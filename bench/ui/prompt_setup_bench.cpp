// Time from "the catalog exists" to a filled prompt window: listing a catalog of 300
// image sets, decoding the four pictures it shows, the option titles and the width rule.
// For contrast, decoding one picture per image set, as a window showing them all would.
#include <benchmark/benchmark.h>

#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/ui/asset_catalog_already_exists_window.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/log/system_log.hpp"

#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace pg = platform::graphics;

constexpr int kImageSets = 300;

struct Catalog {
    fs::path root;
    fs::path catalog;
    Catalog() {
        std::string pattern = (fs::temp_directory_path() / "gw-ui-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        catalog = root / "Assets.xcassets";
        for (int i = 0; i < kImageSets; ++i) {
            // Different sizes, so the largest-first order has work to do.
            const int side = 96 + (i * 37) % 160;
            std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
            for (std::size_t p = 0; p < pixels.size(); p += 4) {
                const std::uint32_t argb = 0xFF000000u | static_cast<std::uint32_t>((i * 2654435761u + p) & 0xFFFFFFu);
                std::memcpy(&pixels[p], &argb, 4);
            }
            auto image = pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), false)));
            const auto folder = catalog / ("Set" + std::to_string(i) + ".imageset");
            fs::create_directories(folder);
            const auto png = gw::pngData(*image);
            std::ofstream(folder / "Picture.png", std::ios::binary)
                .write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
            std::ofstream(folder / "Contents.json") << "{}\n";
        }
    }
    ~Catalog() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Catalog& catalog() {
    static Catalog c;
    return c;
}

void BM_CatalogPromptSetUp(benchmark::State& state) {
    gw::AssetCatalogAlreadyExistsWindow window;
    const auto url = pf::URL::fileURL(catalog().catalog, true);
    for (auto _ : state) {
        window.setOutputDirectory(url);
        window.setUpForOutputDirectory();
        window.updateInputImageViews();
        benchmark::DoNotOptimize(window.existingImageView(3)->image());
    }
}
BENCHMARK(BM_CatalogPromptSetUp)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeEveryImageSet(benchmark::State& state) {
    const auto url = pf::URL::fileURL(catalog().catalog, true);
    for (auto _ : state) benchmark::DoNotOptimize(gw::imagesInFolder(url).size());
}
BENCHMARK(BM_DecodeEveryImageSet)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("GW_RESOURCES_DIR", GW_SOURCE_DIR "/resources", 1);
    platform::log::setLoggingEnabled(false);
    QApplication app(argc, argv);
    catalog();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
