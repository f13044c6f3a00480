#include "app/foundation/image_categories.hpp"

#include "app/foundation/logger.hpp"
#include "platform/graphics/bitmap_context.hpp"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>
#include <fmt/format.h>

namespace gw {

using platform::graphics::Color;
using platform::graphics::ColorSpace;
using platform::graphics::Image;
using platform::graphics::Size;

namespace {

// The pixel the corner colour is read from, counted from the top-left.
constexpr int kCornerX = 1, kCornerY = 1;
// Vector pictures are drawn only this far into their top-left corner: enough for the
// renderer's antialiasing around the pixel, a sliver of a whole render's work.
constexpr int kCornerRegion = 8;

// A one-pixel bitmap holding the picture's pixel (1, 1) as the whole-picture render
// would have it (clear outside the picture), in that bitmap's colour space. Bitmaps are
// read in place; anything else is drawn only around its corner.
platform::graphics::BitmapPtr cornerPixel(const Image& image) {
    using namespace platform::graphics;
    const auto& reps = image.representations();
    if (reps.empty()) return nullptr;
    BitmapPtr source;
    if (reps.front()->kind() == ImageRep::Kind::bitmap) {
        const auto& first = std::static_pointer_cast<BitmapRep>(reps.front());
        if (first->pixelsWide() > 0 && first->pixelsHigh() > 0) source = first->bitmap();
    }
    if (!source) {
        const long width = std::lround(image.size().width);
        const long height = std::lround(image.size().height);
        if (width <= 0 || height <= 0 || !dimensionsAcceptable(width, height)) return nullptr;
        // A vector picture answers from its PDF page, whatever else draws it: the page
        // holds everything it shows, effects included, so its corner needs nothing
        // from outside the few pixels drawn.
        const Image* drawn = &image;
        platform::graphics::ImagePtr page;
        if (auto pdf = image.pdfRepresentation(); pdf && reps.front() != pdf) {
            page = Image::withRepresentation(pdf);
            page->setSize(image.size());
            drawn = page.get();
        }
        source = drawn->renderBitmapRegion(static_cast<int>(width), static_cast<int>(height), kCornerRegion,
                                           kCornerRegion);
        if (!source) return nullptr;
    }
    const std::uint32_t word = source->pixelAt(kCornerX, kCornerY);
    std::vector<std::uint8_t> pixel(4);
    std::memcpy(pixel.data(), &word, 4);
    // An opaque bitmap's pixels all carry full alpha; outside it the pixel is clear.
    const bool hasAlpha = source->hasAlpha() || (word >> 24) != 0xFF;
    return makeSharedBitmap(Bitmap(1, 1, 4, std::move(pixel), hasAlpha, source->colorSpace()));
}

}  // namespace

std::optional<Color> cornerPixelColor(const Image& image) {
    auto bitmap = cornerPixel(image);
    if (!bitmap) return std::nullopt;
    Logger::log(fmt::format("Image color space: {}", bitmap->colorSpace().description()));
    // Converting the one pixel gives what converting the whole bitmap gives there:
    // the conversion goes pixel by pixel.
    auto converted = bitmap->convertedTo(ColorSpace::genericRGB());
    if (!converted) return std::nullopt;

    const Size size = image.size();
    if (!(size.width > 1) || !(size.height > 1)) {
        Logger::log("Image too small to get color");
        return Color::black();
    }
    Color color = converted->colorAt(0, 0);
    if (color.alpha() < static_cast<double>(0.01f)) color = Color::clear();
    Logger::log(fmt::format("Original color: {}, component count:{}", color.description(), color.numberOfComponents()));
    Logger::log(fmt::format("New color: {}, component count:{}", color.description(), color.numberOfComponents()));
    return color;
}

std::optional<Color> calibratedColor(const Color& color) {
    if (color.colorSpace().kind() == ColorSpace::Kind::calibratedRGB) return color;
    return color.usingColorSpace(ColorSpace::calibratedRGB());
}

platform::graphics::ImagePtr imageWithShadow(const Image& image) {
    using namespace platform::graphics;
    const Size size = image.size();
    const Rect rect(0, 0, size.width, size.height);
    auto bitmap = image.bitmapForProposedRect(&rect);
    if (!bitmap || !std::isfinite(size.width) || !std::isfinite(size.height)) return nullptr;
    const int width = static_cast<int>(size.width) + 4;
    const int height = static_cast<int>(size.height) + 4;
    if (width <= 4 || height <= 4) return nullptr;
    auto context = BitmapContext::create(width, height, bitmap->bitsPerComponent(), 0, ColorSpace::deviceRGB(),
                                         BitmapInfo(AlphaInfo::premultipliedLast));
    if (!context) return nullptr;
    auto& graphics = context->graphicsContext();
    graphics.saveState();
    graphics.setShadow(Shadow{Size{2, -2}, 2, Color::black().withAlpha(0.5)});
    context->drawImage(*bitmap, Rect(0, 4, size.width, size.height));
    graphics.restoreState();
    auto result = context->makeImage();
    if (!result) return nullptr;
    return Image::withBitmap(std::move(result), size);
}

Size pixelSize(const Image& image) {
    Size result{0, 0};
    for (const auto& rep : image.representations()) {
        const double wide = rep->pixelsWide();
        const double high = rep->pixelsHigh();
        if (high > result.height || wide > result.width) result = Size{wide, high};
    }
    if (result.width == 0 || result.height == 0) return image.size();
    return result;
}

std::string aspectRatioText(Size size) {
    double x = std::round(2 * size.width) / 2;
    double y = std::round(2 * size.height) / 2;
    while (y != 0 && std::isfinite(y)) {
        double r = std::fmod(x, y);
        x = y;
        y = r;
    }
    const double g = x;
    double w = size.width / g;
    double h = size.height / g;
    // No divisor (both sides zero) or a side that is not a number: nothing to show.
    if (!std::isfinite(w) || !std::isfinite(h)) return "0:0";
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%.0f:%.0f", w, h);
    return buffer;
}

std::size_t SizeHash::operator()(const Size& size) const noexcept {
    auto bits = [](double v) { return v == 0 ? std::uint64_t{0} : std::bit_cast<std::uint64_t>(v); };
    std::size_t seed = std::hash<std::uint64_t>()(bits(size.width));
    seed ^= std::hash<std::uint64_t>()(bits(size.height)) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
}

std::shared_ptr<platform::graphics::PdfRep> pdfImageRep(const Image& image) { return image.pdfRepresentation(); }

}  // namespace gw
