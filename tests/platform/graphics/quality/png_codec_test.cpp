#include "platform/graphics/png_codec.hpp"

#include <cairo.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <memory>
#include <random>

#include "platform/graphics/quality/pixels.hpp"

using gwtest::argb;
using gwtest::Bitmap;
using gwtest::channel;

namespace {

struct Decoded {
    cairo_format_t format = CAIRO_FORMAT_INVALID;
    Bitmap pixels;
};

// Reads PNG bytes back through Cairo's reader (libpng underneath, which checks CRCs).
Decoded decodeWithCairo(const std::vector<uint8_t>& png) {
    struct Source {
        const std::vector<uint8_t>* data;
        size_t at = 0;
    } source{&png};
    auto read = [](void* closure, unsigned char* out, unsigned int length) -> cairo_status_t {
        auto* s = static_cast<Source*>(closure);
        if (length > s->data->size() - s->at) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(out, s->data->data() + s->at, length);
        s->at += length;
        return CAIRO_STATUS_SUCCESS;
    };
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create_from_png_stream(read, &source), cairo_surface_destroy);
    Decoded d;
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return d;
    d.format = cairo_image_surface_get_format(surface.get());
    const int w = cairo_image_surface_get_width(surface.get()), h = cairo_image_surface_get_height(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    const uint8_t* data = cairo_image_surface_get_data(surface.get());
    d.pixels = Bitmap(w, h);
    for (int y = 0; y < h; ++y) std::memcpy(&d.pixels.bytes[size_t(y) * w * 4], data + size_t(y) * stride, size_t(w) * 4);
    return d;
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// Every premultiplied value a pixel can hold: colour never exceeds alpha.
Bitmap randomPremultiplied(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    Bitmap b(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const unsigned a = (x + y) % 7 == 0 ? 255 : ((x + y) % 11 == 0 ? 0 : rng() % 256);
            auto c = [&] { return a ? unsigned(rng() % (a + 1)) : 0u; };
            const unsigned r = c(), g = c(), bl = c();
            b.set(x, y, argb(a, r, g, bl));
        }
    }
    return b;
}

// Gradients, soft shapes and mild noise: compresses like a rendered icon or photo.
Bitmap photoLike(int w, int h) {
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    Bitmap b(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double dx = x - w * 0.4, dy = y - h * 0.55;
            const double disc = std::exp(-(dx * dx + dy * dy) / (0.05 * w * h));
            auto v = [&](double base) { return unsigned(std::clamp(base + noise(rng), 0.0, 255.0)); };
            b.set(x, y, argb(255, v(40 + 180.0 * x / w * (1 - disc) + 200 * disc), v(60 + 120.0 * y / h), v(200 - 150 * disc)));
        }
    }
    return b;
}

}  // namespace

TEST(PngEncoder, WithAlphaRoundTripsEveryPremultipliedPixelExactly) {
    // Odd sizes exercise the filters' left edge and a single-row or single-column image.
    for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {257, 131}}) {
        const Bitmap src = randomPremultiplied(w, h, unsigned(w * 31 + h));
        const auto png = platform::graphics::encodePng(src.view(), true);
        ASSERT_GT(png.size(), 33u);
        EXPECT_EQ(png[25], 6) << "colour type RGBA";
        EXPECT_EQ(png[24], 8) << "bit depth";
        const Decoded d = decodeWithCairo(png);
        ASSERT_EQ(d.format, CAIRO_FORMAT_ARGB32);
        ASSERT_EQ(d.pixels.width, w);
        ASSERT_EQ(d.pixels.height, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_EQ(d.pixels.at(x, y), src.at(x, y)) << w << "x" << h << " at " << x << "," << y;
    }
}

TEST(PngEncoder, APictureLargeEnoughToBeCompressedAsAStreamRoundTripsExactly) {
    // Past 64 MiB of filtered rows the encoder compresses row by row.
    constexpr int w = 4200, h = 4200;
    Bitmap src(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const unsigned a = (x * 7 + y * 3) % 256;
            src.set(x, y, argb(a, (x % 256) * a / 255, (y % 256) * a / 255, ((x ^ y) % 256) * a / 255));
        }
    }
    const auto png = platform::graphics::encodePng(src.view(), true);
    ASSERT_GT(png.size(), 33u);
    const Decoded d = decodeWithCairo(png);
    ASSERT_EQ(d.format, CAIRO_FORMAT_ARGB32);
    ASSERT_EQ(d.pixels.width, w);
    ASSERT_EQ(d.pixels.height, h);
    EXPECT_TRUE(d.pixels.bytes == src.bytes) << "the picture did not come back exactly";
}

TEST(PngEncoder, WithoutAlphaWritesRgbWithTheExactColours) {
    const Bitmap src = photoLike(180, 180);
    const auto png = platform::graphics::encodePng(src.view(), false);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(be32(png, 16), 180u);
    EXPECT_EQ(be32(png, 20), 180u);
    EXPECT_EQ(png[25], 2) << "colour type RGB";
    const Decoded d = decodeWithCairo(png);
    ASSERT_EQ(d.format, CAIRO_FORMAT_RGB24);
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 180; ++x) ASSERT_EQ(d.pixels.at(x, y) & 0xffffff, src.at(x, y) & 0xffffff);
}

TEST(PngEncoder, DroppingAlphaKeepsTheUnpremultipliedColour) {
    // Half-transparent red written without alpha is full red, not dark red.
    Bitmap src(4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) src.set(x, y, argb(128, 128, 0, 0));
    const Decoded d = decodeWithCairo(platform::graphics::encodePng(src.view(), false));
    ASSERT_EQ(d.format, CAIRO_FORMAT_RGB24);
    EXPECT_EQ(channel(d.pixels.at(2, 2), 16), 255u);
    EXPECT_EQ(channel(d.pixels.at(2, 2), 8), 0u);
}

TEST(PngEncoder, CompressesNoWorseThanZlibLevel6OnTheSameFilteredRows) {
    const Bitmap src = photoLike(512, 512);
    for (bool alpha : {true, false}) {
        const auto png = platform::graphics::encodePng(src.view(), alpha);
        // Walk the chunks, checking each CRC and collecting the IDAT stream.
        std::vector<uint8_t> idat;
        size_t at = 8;
        bool sawEnd = false;
        while (at + 12 <= png.size()) {
            const uint32_t len = be32(png, at);
            ASSERT_LE(at + 12 + len, png.size());
            const std::string type(png.begin() + at + 4, png.begin() + at + 8);
            const uLong crc = crc32(0, png.data() + at + 4, len + 4);
            EXPECT_EQ(crc, be32(png, at + 8 + len)) << type;
            if (type == "IDAT") idat.insert(idat.end(), png.begin() + at + 8, png.begin() + at + 8 + len);
            sawEnd = type == "IEND";
            at += 12 + len;
        }
        EXPECT_TRUE(sawEnd);
        EXPECT_EQ(at, png.size());

        const size_t rawSize = size_t(512) * (512 * (alpha ? 4 : 3) + 1);
        std::vector<uint8_t> filtered(rawSize);
        uLongf filteredSize = rawSize;
        ASSERT_EQ(uncompress(filtered.data(), &filteredSize, idat.data(), idat.size()), Z_OK);
        ASSERT_EQ(filteredSize, rawSize);

        std::vector<uint8_t> zlib(compressBound(rawSize));
        uLongf zlibSize = zlib.size();
        ASSERT_EQ(compress2(zlib.data(), &zlibSize, filtered.data(), rawSize, 6), Z_OK);
        EXPECT_LE(idat.size(), zlibSize) << (alpha ? "RGBA" : "RGB");
    }
}

TEST(PngEncoder, RefusesAnEmptyView) {
    const uint8_t pixel[4] = {};
    EXPECT_TRUE(platform::graphics::encodePng({nullptr, 4, 4, 16}, true).empty());
    EXPECT_TRUE(platform::graphics::encodePng({pixel, 0, 1, 4}, true).empty());
    EXPECT_TRUE(platform::graphics::encodePng({pixel, 2, 1, 4}, true).empty());
}
