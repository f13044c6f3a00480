// One preview request of the launch-image panel: the five screens (iPhone 4, iPhone 5,
// iPhone 6 Plus, both iPads) rendered from a 2048 x 2048 picture with zoom and a
// background colour, inline on the calling thread (one core).
#include <benchmark/benchmark.h>

#include "app/engine/batch_resize_operation.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "platform/graphics/bitmap.hpp"

#include <cstring>
#include <stdexcept>

namespace {

namespace pg = platform::graphics;

std::shared_ptr<gw::ImageInput> bigPicture() {
    constexpr int side = 2048;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            // A gradient with transparent corners, so the background fill has work to do.
            const bool corner = (x < 64 || x >= side - 64) && (y < 64 || y >= side - 64);
            const std::uint32_t argb = corner ? 0u : 0xFF000000u | (std::uint32_t(x / 8) << 16) | (std::uint32_t(y / 8) << 8) | 0x40u;
            std::memcpy(&pixels[(static_cast<std::size_t>(y) * side + x) * 4], &argb, 4);
        }
    }
    auto input = gw::ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(
        pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(side, side, side * 4, std::move(pixels), true)))));
    input->setZoom(1.2);
    input->setBackgroundColour(pg::Color::rgb(0.2, 0.4, 0.8));
    return input;
}

void BM_FivePreviews(benchmark::State& state) {
    const auto picture = bigPicture();
    const std::vector<pg::Size> screens = {{160, 240}, {160, 284}, {368, 207}, {192, 256}, {256, 192}};
    const auto scale = static_cast<gw::ScaleType>(state.range(0));
    for (auto _ : state) {
        std::size_t rendered = 0;
        gw::BatchResizeOperation operation(gw::ImageInputCollection{{picture}, gw::CollectionType::single}, screens,
                                           scale, [&](const std::vector<pg::ImagePtr>& images, bool) {
                                               // Force the drawing: previews are shown at once.
                                               for (const auto& image : images) {
                                                   auto bitmap = image->renderBitmap(
                                                       static_cast<int>(image->size().width),
                                                       static_cast<int>(image->size().height));
                                                   benchmark::DoNotOptimize(bitmap);
                                               }
                                               rendered = images.size();
                                           });
        operation.main();
        if (rendered != screens.size()) throw std::runtime_error("a preview was not rendered");
    }
}
BENCHMARK(BM_FivePreviews)->Arg(0)->Arg(1)->Arg(2)->ArgName("scaleType")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
