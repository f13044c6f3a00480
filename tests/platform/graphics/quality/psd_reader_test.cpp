#include "platform/graphics/psd_reader.hpp"

#include <gtest/gtest.h>

#include <random>

#include "platform/graphics/quality/pixels.hpp"

using gwtest::argb;

namespace {

// Builds small documents the way the format lays them out, so each test states only
// what it varies.
struct PsdLayout {
    int version = 1;
    int width = 4, height = 3;
    int depth = 8;
    int mode = 3;  // RGB
    std::vector<std::vector<uint16_t>> channels;  // planar samples, row-major
    bool rle = false;
    bool transparentComposite = false;  // negative layer count
    double dpi = 0;                     // 0: no resolution resource
};

void put(std::vector<uint8_t>& b, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}

std::vector<uint8_t> packBits(const std::vector<uint8_t>& row) {
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < row.size()) {
        size_t run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
        if (run >= 2) {
            out.push_back(uint8_t(int8_t(1 - int(run))));
            out.push_back(row[i]);
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < row.size() && lit < 128 && !(i + lit + 1 < row.size() && row[i + lit] == row[i + lit + 1])) ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), row.begin() + i, row.begin() + i + lit);
        i += lit;
    }
    return out;
}

std::vector<uint8_t> writePsd(const PsdLayout& s) {
    const bool large = s.version == 2;
    std::vector<uint8_t> b = {'8', 'B', 'P', 'S'};
    put(b, s.version, 2);
    put(b, 0, 6);
    put(b, s.channels.size(), 2);
    put(b, s.height, 4);
    put(b, s.width, 4);
    put(b, s.depth, 2);
    put(b, s.mode, 2);
    put(b, 0, 4);  // colour mode data

    std::vector<uint8_t> res;
    // An unrelated resource with an odd-length name and odd-sized data tests the padding.
    res.insert(res.end(), {'8', 'B', 'I', 'M'});
    put(res, 1000, 2);
    res.insert(res.end(), {2, 'a', 'b', 0});
    put(res, 3, 4);
    res.insert(res.end(), {1, 2, 3, 0});
    if (s.dpi > 0) {
        res.insert(res.end(), {'8', 'B', 'I', 'M'});
        put(res, 1005, 2);
        put(res, 0, 2);  // empty name, padded
        put(res, 16, 4);
        const uint32_t fixed = uint32_t(s.dpi * 65536.0);
        put(res, fixed, 4), put(res, 1, 2), put(res, 1, 2);
        put(res, fixed, 4), put(res, 1, 2), put(res, 1, 2);
    }
    put(b, res.size(), 4);
    b.insert(b.end(), res.begin(), res.end());

    if (s.transparentComposite) {
        std::vector<uint8_t> layerInfo;
        put(layerInfo, uint16_t(int16_t(-1)), 2);
        put(layerInfo, 0, 2);  // padding; a real file has the layer records here
        std::vector<uint8_t> section;
        put(section, layerInfo.size(), large ? 8 : 4);
        section.insert(section.end(), layerInfo.begin(), layerInfo.end());
        put(b, section.size(), large ? 8 : 4);
        b.insert(b.end(), section.begin(), section.end());
    } else {
        put(b, 0, large ? 8 : 4);
    }

    put(b, s.rle ? 1 : 0, 2);
    const int bytesPerSample = s.depth / 8;
    std::vector<std::vector<uint8_t>> rows;
    for (const auto& plane : s.channels) {
        for (int y = 0; y < s.height; ++y) {
            std::vector<uint8_t> row;
            for (int x = 0; x < s.width; ++x) put(row, plane[size_t(y) * s.width + x], bytesPerSample);
            rows.push_back(s.rle ? packBits(row) : row);
        }
    }
    if (s.rle)
        for (const auto& r : rows) put(b, r.size(), large ? 4 : 2);
    for (const auto& r : rows) b.insert(b.end(), r.begin(), r.end());
    return b;
}

std::vector<uint16_t> plane(int w, int h, auto f) {
    std::vector<uint16_t> p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.push_back(uint16_t(f(x, y)));
    return p;
}

uint32_t pixel(const platform::graphics::DecodedBitmap& b, int x, int y) {
    uint32_t v;
    std::memcpy(&v, &b.argb32[size_t(y) * b.stride + 4 * x], 4);
    return v;
}

PsdLayout rgb8(int w, int h) {
    PsdLayout s;
    s.width = w;
    s.height = h;
    s.channels = {plane(w, h, [](int x, int y) { return x * 40 + y; }), plane(w, h, [](int x, int) { return 200 - x; }),
                  plane(w, h, [](int, int y) { return y * 7; })};
    return s;
}

std::optional<platform::graphics::DecodedBitmap> decode(const std::vector<uint8_t>& bytes, std::string* error = nullptr) {
    return platform::graphics::decodePsd(bytes, error);
}

}  // namespace

TEST(PsdReader, Rgb8RawAndRleGiveTheSamePixelsAndTheResolution) {
    PsdLayout s = rgb8(5, 4);
    s.dpi = 144;
    for (bool rle : {false, true}) {
        s.rle = rle;
        std::string error;
        const auto b = decode(writePsd(s), &error);
        ASSERT_TRUE(b) << error;
        EXPECT_EQ(b->width, 5);
        EXPECT_EQ(b->height, 4);
        EXPECT_EQ(b->stride, 20);
        EXPECT_DOUBLE_EQ(b->dpiX, 144.0);
        EXPECT_DOUBLE_EQ(b->dpiY, 144.0);
        EXPECT_FALSE(b->hasAlpha);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x) ASSERT_EQ(pixel(*b, x, y), argb(255, x * 40 + y, 200 - x, y * 7)) << rle;
    }
}

TEST(PsdReader, WithoutResolutionResourceReportsNoDpi) {
    const auto b = decode(writePsd(rgb8(2, 2)));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->dpiX, 0.0);
    EXPECT_EQ(b->dpiY, 0.0);

    // A resolution of 1/65536 ppi (left by writers that had no density) is as good as none:
    // taken literally it would make a 2 x 2 picture millions of points wide.
    PsdLayout s = rgb8(2, 2);
    s.dpi = 1.0 / 65536.0;
    const auto tiny = decode(writePsd(s));
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->dpiX, 0.0);
    EXPECT_EQ(tiny->dpiY, 0.0);
}

TEST(PsdReader, SixteenBitSamplesAreRoundedToEightBits) {
    PsdLayout s;
    s.depth = 16;
    s.width = 3;
    s.height = 2;
    // 0x8080 is exactly 128; 0x807F rounds down to 128 too, 0xFFFF stays 255.
    s.channels = {plane(3, 2, [](int x, int) { return x == 0 ? 0xFFFF : (x == 1 ? 0x8080 : 0x807F); }),
                  plane(3, 2, [](int, int y) { return y ? 0x0101 : 0; }), plane(3, 2, [](int, int) { return 0x7F7F; })};
    for (bool rle : {false, true}) {
        s.rle = rle;
        const auto b = decode(writePsd(s));
        ASSERT_TRUE(b);
        EXPECT_EQ(pixel(*b, 0, 0), argb(255, 255, 0, 127));
        EXPECT_EQ(pixel(*b, 1, 1), argb(255, 128, 1, 127));
        EXPECT_EQ(pixel(*b, 2, 1), argb(255, 128, 1, 127));
    }
}

TEST(PsdReader, GreyscaleAndCmyk) {
    PsdLayout grey;
    grey.mode = 1;
    grey.channels = {plane(4, 3, [](int x, int y) { return x * 60 + y; })};
    auto g = decode(writePsd(grey));
    ASSERT_TRUE(g);
    EXPECT_EQ(pixel(*g, 3, 2), argb(255, 182, 182, 182));

    // Stored values are 255 - ink: no ink is white; full black ink is black whatever else.
    PsdLayout cmyk;
    cmyk.mode = 4;
    cmyk.width = 3;
    cmyk.height = 1;
    cmyk.channels = {plane(3, 1, [](int x, int) { return x == 1 ? 0 : 255; }), plane(3, 1, [](int, int) { return 255; }),
                     plane(3, 1, [](int, int) { return 255; }), plane(3, 1, [](int x, int) { return x == 2 ? 0 : 255; })};
    auto c = decode(writePsd(cmyk));
    ASSERT_TRUE(c);
    EXPECT_EQ(pixel(*c, 0, 0), argb(255, 255, 255, 255));
    EXPECT_EQ(pixel(*c, 1, 0), argb(255, 0, 255, 255));  // full cyan
    EXPECT_EQ(pixel(*c, 2, 0), argb(255, 0, 0, 0));
}

TEST(PsdReader, TransparencyComesFromTheExtraChannelOnlyWhenTheFileSaysSo) {
    // Composite colour is stored blended against white: red at half coverage is
    // stored as (255, 127, 127); premultiplied that is (128, 0, 0) with alpha 128.
    PsdLayout s;
    s.width = 2;
    s.height = 1;
    s.channels = {plane(2, 1, [](int, int) { return 255; }), plane(2, 1, [](int x, int) { return x ? 255 : 127; }),
                  plane(2, 1, [](int x, int) { return x ? 255 : 127; }), plane(2, 1, [](int x, int) { return x ? 0 : 128; })};
    s.transparentComposite = true;
    for (int version : {1, 2}) {
        s.version = version;
        for (bool rle : {false, true}) {
            s.rle = rle;
            const auto b = decode(writePsd(s));
            ASSERT_TRUE(b);
            EXPECT_TRUE(b->hasAlpha);
            EXPECT_EQ(pixel(*b, 0, 0), argb(128, 128, 0, 0));
            EXPECT_EQ(pixel(*b, 1, 0), argb(0, 0, 0, 0));
        }
    }
    // The same fourth channel without the marker is a saved selection, not transparency.
    s.transparentComposite = false;
    const auto opaque = decode(writePsd(s));
    ASSERT_TRUE(opaque);
    EXPECT_FALSE(opaque->hasAlpha);
    EXPECT_EQ(pixel(*opaque, 1, 0), argb(255, 255, 255, 255));
}

TEST(PsdReader, LargeDocumentVariantWithRle) {
    PsdLayout s = rgb8(300, 2);  // rows longer than one PackBits run
    s.version = 2;
    s.rle = true;
    s.dpi = 300;
    const auto b = decode(writePsd(s));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->width, 300);
    EXPECT_DOUBLE_EQ(b->dpiX, 300.0);
    EXPECT_EQ(pixel(*b, 299, 1), argb(255, (299 * 40 + 1) & 0xffff & 0xff, (200 - 299) & 0xff, 7));
}

TEST(PsdReader, EveryTruncationIsRefusedWithAReason) {
    for (bool rle : {false, true}) {
        PsdLayout s = rgb8(6, 5);
        s.rle = rle;
        s.dpi = 96;
        s.transparentComposite = true;
        s.channels.push_back(plane(6, 5, [](int x, int) { return x * 30; }));
        const auto full = writePsd(s);
        ASSERT_TRUE(decode(full));
        for (size_t n = 0; n < full.size(); ++n) {
            std::string error;
            const std::vector<uint8_t> cut(full.begin(), full.begin() + n);
            EXPECT_FALSE(decode(cut, &error)) << "length " << n;
            EXPECT_EQ(error.rfind("PSD: ", 0), 0u) << "length " << n;
        }
    }
}

TEST(PsdReader, HostileHeadersAndDataAreRefused) {
    auto refusedWith = [](std::vector<uint8_t> bytes, const std::string& fragment) {
        std::string error;
        EXPECT_FALSE(decode(bytes, &error));
        EXPECT_NE(error.find(fragment), std::string::npos) << error;
    };
    auto withHeader = [](int w, int h, int depth, int mode, int channels) {
        PsdLayout s = rgb8(1, 1);
        auto b = writePsd(s);
        auto set = [&](size_t at, uint64_t v, int n) {
            for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * (n - 1 - i)));
        };
        set(12, channels, 2), set(14, h, 4), set(18, w, 4), set(22, depth, 2), set(24, mode, 2);
        return b;
    };
    using platform::graphics::kMaxImagePixels;
    using platform::graphics::kMaxImageSide;
    const int tallest = int(kMaxImagePixels / kMaxImageSide);
    refusedWith(withHeader(kMaxImageSide + 1, 1, 8, 3, 3), "size limit");
    refusedWith(withHeader(1, kMaxImageSide + 1, 8, 3, 3), "size limit");
    refusedWith(withHeader(kMaxImageSide, tallest + 1, 8, 3, 3), "size limit");
    refusedWith(withHeader(0, 5, 8, 3, 3), "zero");
    // At the limit the header is fine, but the data is missing: refused before allocating.
    refusedWith(withHeader(kMaxImageSide, tallest, 8, 3, 3), "truncated");
    refusedWith(withHeader(1, 1, 32, 3, 3), "bit depth");
    refusedWith(withHeader(1, 1, 8, 2, 3), "indexed");
    refusedWith(withHeader(1, 1, 8, 3, 2), "too few channels");
    refusedWith(withHeader(1, 1, 8, 3, 0), "channel count");

    auto b = writePsd(rgb8(2, 2));
    b[4] = 0, b[5] = 3;
    refusedWith(b, "version");
    b = writePsd(rgb8(2, 2));
    b[0] = 'X';
    refusedWith(b, "signature");

    // ZIP-compressed composite.
    b = writePsd(rgb8(2, 2));
    const size_t compressionAt = b.size() - 12 - 2;
    b[compressionAt + 1] = 2;
    refusedWith(b, "ZIP");

    // A PackBits run that would overflow its row (the last row is one run: -3, 0).
    PsdLayout s = rgb8(4, 1);
    s.rle = true;
    b = writePsd(s);
    b[b.size() - 2] = uint8_t(int8_t(-100));
    refusedWith(b, "corrupt RLE");

    // Random damage to valid files of every supported layout never crashes, and
    // whatever still decodes stays within the bytes actually present.
    PsdLayout cmykAlpha;
    cmykAlpha.mode = 4;
    cmykAlpha.version = 2;
    cmykAlpha.rle = true;
    cmykAlpha.transparentComposite = true;
    cmykAlpha.dpi = 72;
    for (int c = 0; c < 5; ++c) cmykAlpha.channels.push_back(plane(4, 3, [c](int x, int y) { return (x * 50 + y * 9 + c * 31) % 256; }));
    PsdLayout rgb16 = rgb8(3, 3);
    rgb16.depth = 16;
    rgb16.rle = true;
    std::mt19937 rng(5);
    for (const auto& seed : {writePsd(rgb8(3, 3)), writePsd(cmykAlpha), writePsd(rgb16)}) {
        for (int i = 0; i < 3000; ++i) {
            std::vector<uint8_t> junk = seed;
            for (int k = 0; k < 4; ++k) junk[4 + rng() % (junk.size() - 4)] = uint8_t(rng());
            std::string error;
            const auto r = decode(junk, &error);
            if (!r) EXPECT_FALSE(error.empty());
            else EXPECT_LE(size_t(r->width) * r->height, junk.size());
        }
    }
}
