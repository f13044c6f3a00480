#include <gtest/gtest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <array>
#include <map>

#include "graphics_test_support.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/image_io.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "support/temp_dir.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;

namespace {

constexpr int kW = 30;
constexpr int kH = 20;

// A picture with a red top half and a blue bottom half, saved by gdk-pixbuf.
std::vector<uint8_t> savedWithPixbuf(const char* type, std::vector<std::pair<std::string, std::string>> options = {},
                                     bool alpha = false) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, kW, kH);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    guint8* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            guint8* p = pixels + y * stride + x * channels;
            p[0] = y < kH / 2 ? 255 : 0;
            p[1] = 0;
            p[2] = y < kH / 2 ? 0 : 255;
            if (alpha) p[3] = 255;
        }
    }
    std::vector<char*> keys, values;
    for (auto& [k, v] : options) {
        keys.push_back(k.data());
        values.push_back(v.data());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    gchar* buffer = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    const bool ok = gdk_pixbuf_save_to_bufferv(pixbuf, &buffer, &length, type, keys.data(), values.data(), &error);
    g_object_unref(pixbuf);
    if (!ok) {
        ADD_FAILURE() << "cannot save " << type << ": " << (error ? error->message : "");
        if (error) g_error_free(error);
        return {};
    }
    std::vector<uint8_t> bytes(buffer, buffer + length);
    g_free(buffer);
    return bytes;
}

// A GIF written by hand: four colours, a clear code before every pixel so
// the code width stays at three bits.
std::vector<uint8_t> handMadeGif() {
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', kW, 0, kH, 0, 0x81, 0, 0};
    const uint8_t palette[12] = {255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0};
    gif.insert(gif.end(), palette, palette + 12);
    const uint8_t descriptor[10] = {0x2C, 0, 0, 0, 0, kW, 0, kH, 0, 0};
    gif.insert(gif.end(), descriptor, descriptor + 10);
    gif.push_back(2);  // minimum code size
    std::vector<uint8_t> data;
    uint32_t bits = 0;
    int count = 0;
    auto emit = [&](uint32_t code) {
        bits |= code << count;
        count += 3;
        while (count >= 8) {
            data.push_back(uint8_t(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    };
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            emit(4);
            emit(y < kH / 2 ? 0 : 1);
        }
    emit(5);
    if (count > 0) data.push_back(uint8_t(bits & 0xFF));
    for (size_t i = 0; i < data.size(); i += 255) {
        const size_t n = std::min<size_t>(255, data.size() - i);
        gif.push_back(uint8_t(n));
        gif.insert(gif.end(), data.begin() + long(i), data.begin() + long(i + n));
    }
    gif.push_back(0);
    gif.push_back(0x3B);
    return gif;
}

// A raw (uncompressed) RGB composite, planar, no resources.
std::vector<uint8_t> handMadePsd() {
    std::vector<uint8_t> psd = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3};
    auto be32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) psd.push_back(uint8_t(v >> s));
    };
    be32(kH);
    be32(kW);
    psd.insert(psd.end(), {0, 8, 0, 3});
    be32(0);  // colour mode data
    be32(0);  // image resources
    be32(0);  // layers and masks
    psd.insert(psd.end(), {0, 0});  // raw
    for (int channel = 0; channel < 3; ++channel)
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool top = y < kH / 2;
                psd.push_back(channel == 0 ? (top ? 255 : 0) : channel == 2 ? (top ? 0 : 255) : 0);
            }
    return psd;
}

std::vector<uint8_t> pngWithHeader(uint32_t width, uint32_t height) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
    std::vector<uint8_t> chunk = {'I', 'H', 'D', 'R'};
    for (uint32_t v : {width, height})
        for (int s = 24; s >= 0; s -= 8) chunk.push_back(uint8_t(v >> s));
    chunk.insert(chunk.end(), {8, 6, 0, 0, 0});
    const uint32_t crc = crc32(0, chunk.data(), uInt(chunk.size()));
    png.insert(png.end(), chunk.begin(), chunk.end());
    for (int s = 24; s >= 0; s -= 8) png.push_back(uint8_t(crc >> s));
    // A little IDAT of zeros that would inflate to a lot.
    std::vector<uint8_t> zeros(1 << 20, 0), packed(compressBound(zeros.size()));
    uLongf packedSize = packed.size();
    compress(packed.data(), &packedSize, zeros.data(), zeros.size());
    for (int s = 24; s >= 0; s -= 8) png.push_back(uint8_t(packedSize >> s));
    png.insert(png.end(), {'I', 'D', 'A', 'T'});
    png.insert(png.end(), packed.begin(), packed.begin() + long(packedSize));
    png.insert(png.end(), {0, 0, 0, 0});
    return png;
}

// Headers that claim enormous pictures, followed by a little data.
std::vector<uint8_t> hugeGif() {
    auto gif = handMadeGif();
    for (size_t offset : {size_t(6), size_t(8), size_t(30), size_t(32)}) gif[offset] = gif[offset + 1] = 0xFF;
    return gif;
}

std::vector<uint8_t> hugeBmp() {
    std::vector<uint8_t> bmp = {'B', 'M'};
    auto le32 = [&](uint32_t v) {
        for (int s = 0; s < 32; s += 8) bmp.push_back(uint8_t(v >> s));
    };
    le32(54 + 1024);
    le32(0);
    le32(54);
    le32(40);
    le32(60000);
    le32(60000);
    bmp.insert(bmp.end(), {1, 0, 24, 0});
    for (int i = 0; i < 6; ++i) le32(0);
    bmp.resize(bmp.size() + 1024, 0x7F);
    return bmp;
}

std::vector<uint8_t> hugeTiff() {
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto le16 = [&](uint16_t v) { tiff.insert(tiff.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    auto le32 = [&](uint32_t v) {
        for (int s = 0; s < 32; s += 8) tiff.push_back(uint8_t(v >> s));
    };
    const std::vector<std::array<uint32_t, 3>> entries = {
        {256, 4, 70000}, {257, 4, 70000}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
        {273, 4, 200},   {277, 3, 1},     {278, 4, 70000}, {279, 4, 1024},
    };
    le16(uint16_t(entries.size()));
    for (const auto& [tag, type, value] : entries) {
        le16(uint16_t(tag));
        le16(uint16_t(type));
        le32(1);
        if (type == 3) {
            le16(uint16_t(value));
            le16(0);
        } else {
            le32(value);
        }
    }
    le32(0);
    tiff.resize(200 + 1024, 0x7F);
    return tiff;
}

void expectRedOverBlue(const pg::ImagePtr& image, const std::string& format, int tolerance) {
    ASSERT_TRUE(image) << format;
    auto rep = std::dynamic_pointer_cast<pg::BitmapRep>(image->representations().at(0));
    ASSERT_TRUE(rep) << format;
    EXPECT_EQ(rep->pixelsWide(), kW) << format;
    EXPECT_EQ(rep->pixelsHigh(), kH) << format;
    const auto top = argbAt(*rep->bitmap(), kW / 2, 2);
    const auto bottom = argbAt(*rep->bitmap(), kW / 2, kH - 3);
    EXPECT_NEAR(top.r, 255, tolerance) << format;
    EXPECT_NEAR(top.b, 0, tolerance) << format;
    EXPECT_NEAR(bottom.b, 255, tolerance) << format;
    EXPECT_NEAR(bottom.r, 0, tolerance) << format;
}

}  // namespace

TEST(ImageLoadingTest, EveryBitmapFormatLoadsWithItsPixelAndPointSize) {
    const std::map<std::string, std::vector<uint8_t>> files = {
        {"png", savedWithPixbuf("png")},   {"jpeg", savedWithPixbuf("jpeg", {{"quality", "100"}})},
        {"tiff", savedWithPixbuf("tiff")}, {"bmp", savedWithPixbuf("bmp")},
        {"ico", savedWithPixbuf("ico", {}, true)}, {"webp", savedWithPixbuf("webp", {{"lossless", "true"}})},
        {"gif", handMadeGif()},            {"psd", handMadePsd()},
    };
    gwtest::TempDir dir;
    for (const auto& [format, bytes] : files) {
        ASSERT_FALSE(bytes.empty()) << format;
        EXPECT_STREQ(pg::formatName(pg::detectImageFormat(bytes)), format.c_str());
        const auto path = dir / ("picture." + format);
        gwtest::writeFile(path, std::string(bytes.begin(), bytes.end()));
        std::string error;
        auto image = pg::Image::fromFile(path, &error);
        ASSERT_TRUE(image) << format << ": " << error;
        expectRedOverBlue(image, format, format == "jpeg" || format == "webp" ? 12 : 0);
        EXPECT_EQ(image->size(), (pg::Size{kW, kH})) << format;
    }
}

TEST(ImageLoadingTest, FileResolutionSetsThePointSize) {
    auto png = pg::Image::fromData(savedWithPixbuf("png", {{"x-dpi", "144"}, {"y-dpi", "144"}}));
    ASSERT_TRUE(png);
    EXPECT_EQ(png->size(), (pg::Size{kW / 2.0, kH / 2.0}));
    EXPECT_EQ(png->representations()[0]->pixelsWide(), kW);
    auto jpeg = pg::Image::fromData(savedWithPixbuf("jpeg", {{"x-dpi", "36"}, {"y-dpi", "36"}}));
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->size(), (pg::Size{kW * 2.0, kH * 2.0}));
}

TEST(ImageLoadingTest, PdfLoadsAsAVectorRepresentationOfItsPageSize) {
    auto pdf = pg::PdfContext::toMemory(pg::Rect{0, 0, 300, 150});
    pdf->beginPage();
    pdf->graphicsContext()->setFillColor(pg::Color::rgb(0, 1, 0));
    pdf->graphicsContext()->fillRect({0, 0, 150, 150});
    pdf->endPage();
    ASSERT_TRUE(pdf->close());
    auto image = pg::Image::fromData(pdf->data());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (pg::Size{300, 150}));
    auto rep = image->pdfRepresentation();
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->pixelsWide(), 300);
    EXPECT_EQ(rep->pdfData(), pdf->data());
    auto rendered = image->renderedBitmap()->bitmap();
    EXPECT_EQ(argbAt(*rendered, 50, 75).g, 255);   // left half green
    EXPECT_EQ(argbAt(*rendered, 250, 75).a, 0);    // right half empty
}

TEST(ImageLoadingTest, BadInputIsRefusedWithAReason) {
    const auto goodPng = savedWithPixbuf("png");
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        std::string reasonContains;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "format"},
        {"unknown", gwtest::graphics::bytesOf("hello, not a picture"), "format"},
        {"truncated", std::vector<uint8_t>(goodPng.begin(), goodPng.begin() + 50), "png"},  // inside IDAT
        {"truncated jpeg", [] {
             auto b = savedWithPixbuf("jpeg");
             b.resize(b.size() / 2);
             return b;
         }(), "jpeg"},
        {"truncated gif", [] {
             auto b = handMadeGif();
             b.resize(b.size() / 2);
             return b;
         }(), "gif"},
        {"corrupt", [&] {
             auto b = goodPng;
             for (size_t i = 16; i < b.size(); ++i) b[i] ^= 0x5A;
             return b;
         }(), "png"},
        {"enormous", pngWithHeader(100000, 100000), "too large"},
        {"over the total", pngWithHeader(9000, 9000), "too large"},
        {"zero", pngWithHeader(0, 10), ""},
        {"enormous gif", hugeGif(), "too large"},
        {"enormous bmp", hugeBmp(), "too large"},
        {"enormous tiff", hugeTiff(), ""},
        {"broken pdf", gwtest::graphics::bytesOf("%PDF-1.4\n1 0 obj garbage"), "PDF"},
        {"broken psd", gwtest::graphics::bytesOf("8BPS\0\1garbage"), ""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(pg::Image::fromData(c.bytes, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_NE(error.find(c.reasonContains), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(pg::Image::fromFile("/nonexistent/picture.png", &error));
    EXPECT_NE(error.find("no file"), std::string::npos);
}
