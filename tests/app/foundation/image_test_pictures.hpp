#pragma once
// Real pictures for the image-operation tests, and ways to look at the pixels that
// come out: every check renders through PNG bytes and decodes them again.
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

namespace gwtest {
// Own inline namespace: another test helper header defines a different `Rgba`, and the
// two must not meet as one inline entity when test files share an executable.
inline namespace rendering {

struct Rgba {
    int r = 0, g = 0, b = 0, a = 0;
};

inline uint32_t premultipliedWord(Rgba c) {
    auto pre = [&](int v) { return static_cast<uint32_t>((v * c.a + 127) / 255); };
    return (static_cast<uint32_t>(c.a) << 24) | (pre(c.r) << 16) | (pre(c.g) << 8) | pre(c.b);
}

// A bitmap picture of width x height pixels whose colour at (x, y), counted from the
// top-left pixel, is paint(x, y). One point per pixel unless pointSize is given.
inline platform::graphics::ImagePtr paintedPicture(int width, int height, const std::function<Rgba(int, int)>& paint,
                                                   platform::graphics::Size pointSize = {},
                                                   platform::graphics::ColorSpace space = {}) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    bool alpha = false;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba c = paint(x, y);
            alpha = alpha || c.a != 255;
            const uint32_t word = premultipliedWord(c);
            std::memcpy(pixels.data() + (static_cast<size_t>(y) * width + x) * 4, &word, 4);
        }
    }
    auto bitmap = platform::graphics::makeSharedBitmap(
        platform::graphics::Bitmap(width, height, width * 4, std::move(pixels), alpha, space));
    return platform::graphics::Image::withBitmap(std::move(bitmap), pointSize);
}

inline constexpr Rgba kRed{255, 0, 0, 255};
inline constexpr Rgba kGreen{0, 255, 0, 255};
inline constexpr Rgba kBlue{0, 0, 255, 255};
inline constexpr Rgba kWhite{255, 255, 255, 255};
inline constexpr Rgba kClear{0, 0, 0, 0};

// The PNG of the picture, decoded again.
struct RenderedPicture {
    std::vector<uint8_t> png;
    platform::graphics::BitmapPtr bitmap;

    int width() const { return bitmap->width(); }
    int height() const { return bitmap->height(); }
    // Unpremultiplied, counted from the top-left pixel.
    Rgba at(int x, int y) const {
        const uint32_t p = bitmap->pixelAt(x, y);
        const int a = static_cast<int>(p >> 24);
        auto un = [a](uint32_t v) { return a == 0 ? 0 : static_cast<int>((v * 255 + a / 2) / a); };
        return Rgba{un((p >> 16) & 0xFF), un((p >> 8) & 0xFF), un(p & 0xFF), a};
    }
    // PNG colour type from the IHDR chunk: 2 RGB, 6 RGBA.
    int colorType() const { return png.size() > 25 ? png[25] : -1; }
};

inline RenderedPicture render(const platform::graphics::Image& image) {
    RenderedPicture out;
    auto png = image.pngData();
    if (!png) {
        ADD_FAILURE() << "no PNG bytes for " << image.description();
        return out;
    }
    out.png = *png;
    auto decoded = platform::graphics::Image::fromData(out.png);
    if (!decoded || decoded->representations().empty()) {
        ADD_FAILURE() << "the PNG does not decode";
        return out;
    }
    out.bitmap = std::static_pointer_cast<platform::graphics::BitmapRep>(decoded->representations().front())->bitmap();
    return out;
}

inline bool near(Rgba actual, Rgba expected, int tolerance = 8) {
    return std::abs(actual.r - expected.r) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
           std::abs(actual.b - expected.b) <= tolerance && std::abs(actual.a - expected.a) <= tolerance;
}

inline ::testing::AssertionResult pixelIs(const RenderedPicture& picture, int x, int y, Rgba expected,
                                          int tolerance = 8) {
    const Rgba actual = picture.at(x, y);
    // A fully transparent pixel has no colour worth comparing.
    const bool match = expected.a == 0 ? actual.a <= tolerance : near(actual, expected, tolerance);
    if (match) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is rgba(" << actual.r << ", " << actual.g
                                         << ", " << actual.b << ", " << actual.a << "), expected rgba(" << expected.r
                                         << ", " << expected.g << ", " << expected.b << ", " << expected.a << ")";
}

}  // namespace rendering
}  // namespace gwtest
