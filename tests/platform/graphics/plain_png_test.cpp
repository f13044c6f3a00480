// The quick decoder of plain PNG files against gdk-pixbuf: the same pixels for the
// files it takes, and every other file left to the general decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/graphics/image.hpp"
#include "platform/graphics/png_codec.hpp"
#include "support/picture_samples.hpp"

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using samples::Bytes;

namespace {

struct Chunk {
    std::string type;
    Bytes data;
};

std::vector<Chunk> chunksOf(const Bytes& png) {
    std::vector<Chunk> chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = (uint32_t(png[at]) << 24) | (uint32_t(png[at + 1]) << 16) |
                                (uint32_t(png[at + 2]) << 8) | png[at + 3];
        chunks.push_back({std::string(png.begin() + long(at) + 4, png.begin() + long(at) + 8),
                          Bytes(png.begin() + long(at) + 8, png.begin() + long(at) + 8 + length)});
        at += 12 + length;
    }
    return chunks;
}

Bytes pngOf(const std::vector<Chunk>& chunks) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const auto& chunk : chunks) {
        samples::putBe32(png, uint32_t(chunk.data.size()));
        Bytes typed(chunk.type.begin(), chunk.type.end());
        typed.insert(typed.end(), chunk.data.begin(), chunk.data.end());
        png.insert(png.end(), typed.begin(), typed.end());
        samples::putBe32(png, uint32_t(::crc32(0, typed.data(), uInt(typed.size()))));
    }
    return png;
}

// The file with its chunks changed by `edit`, checksums made right again.
Bytes edited(const Bytes& png, const std::function<void(std::vector<Chunk>&)>& edit) {
    auto chunks = chunksOf(png);
    edit(chunks);
    return pngOf(chunks);
}

void insertBeforeData(std::vector<Chunk>& chunks, Chunk chunk) {
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (chunks[i].type == "IDAT") {
            chunks.insert(chunks.begin() + long(i), std::move(chunk));
            return;
        }
    }
}

// RGBA pixels with every level of alpha, saved by gdk-pixbuf.
Bytes translucent(int width, int height, const char* compression) {
    GdkPixbuf* pixbuf = samples::patternPixbuf(width, height, true);
    guint8* pixels = gdk_pixbuf_get_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) pixels[y * stride + x * 4 + 3] = guint8((x * 7 + y * 3) & 0xFF);
    gchar* buffer = nullptr;
    gsize length = 0;
    const char* keys[] = {"compression", nullptr};
    const char* values[] = {compression, nullptr};
    gdk_pixbuf_save_to_bufferv(pixbuf, &buffer, &length, "png", const_cast<char**>(keys), const_cast<char**>(values),
                               nullptr);
    g_object_unref(pixbuf);
    Bytes bytes(buffer, buffer + length);
    g_free(buffer);
    return bytes;
}

// What gdk-pixbuf decodes, premultiplied as the loader keeps pixels.
std::optional<pg::DecodedBitmap> throughPixbuf(const Bytes& png) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    const bool ok = gdk_pixbuf_loader_write(loader, png.data(), png.size(), nullptr) &&
                    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf == nullptr) {
        g_object_unref(loader);
        return std::nullopt;
    }
    pg::DecodedBitmap decoded;
    decoded.width = gdk_pixbuf_get_width(pixbuf);
    decoded.height = gdk_pixbuf_get_height(pixbuf);
    decoded.stride = decoded.width * 4;
    decoded.hasAlpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    decoded.argb32.resize(size_t(decoded.stride) * decoded.height);
    for (int y = 0; y < decoded.height; ++y) {
        for (int x = 0; x < decoded.width; ++x) {
            const guint8* in = pixels + y * rowstride + x * channels;
            const uint32_t a = decoded.hasAlpha ? in[3] : 255;
            auto pre = [a](uint32_t v) { return (v * a + 127) / 255; };
            const uint32_t word = (a << 24) | (pre(in[0]) << 16) | (pre(in[1]) << 8) | pre(in[2]);
            std::memcpy(&decoded.argb32[size_t(y) * decoded.stride + size_t(x) * 4], &word, 4);
        }
    }
    g_object_unref(loader);
    return decoded;
}

}  // namespace

TEST(PlainPng, TakesPlainFilesWithThePixelsOfTheGeneralDecoder) {
    const Bytes rgb = samples::savedWithPixbuf("png", 173, 91);
    struct Case {
        std::string name;
        Bytes png;
    };
    const std::vector<Case> cases = {
        {"rgb", rgb},
        {"rgb stored, not compressed", samples::savedWithPixbuf("png", 64, 40, {{"compression", "0"}})},
        {"rgba with every alpha", translucent(97, 55, "6")},
        {"rgba compressed hard", translucent(40, 300, "9")},
        {"one pixel", samples::savedWithPixbuf("png", 1, 1)},
        {"data over many chunks", edited(rgb,
                                         [](std::vector<Chunk>& chunks) {
                                             std::vector<Chunk> split;
                                             for (auto& chunk : chunks) {
                                                 if (chunk.type != "IDAT") {
                                                     split.push_back(chunk);
                                                     continue;
                                                 }
                                                 for (size_t at = 0; at < chunk.data.size(); at += 1000) {
                                                     const size_t end = std::min(chunk.data.size(), at + 1000);
                                                     split.push_back({"IDAT", Bytes(chunk.data.begin() + long(at),
                                                                                    chunk.data.begin() + long(end))});
                                                 }
                                             }
                                             chunks = split;
                                         })},
        {"notes the decoders ignore", edited(rgb,
                                             [](std::vector<Chunk>& chunks) {
                                                 insertBeforeData(chunks, {"gAMA", {0, 0, 0xB1, 0x8F}});
                                                 insertBeforeData(chunks, {"sRGB", {0}});
                                                 insertBeforeData(chunks, {"bKGD", {0, 255, 0, 0, 0, 0}});
                                                 insertBeforeData(chunks, {"tEXt", samples::bytesOf(std::string("Title\0Icon", 10))});
                                             })},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.png.empty()) << c.name;
        const auto plain = pg::decodePlainPng(c.png);
        ASSERT_TRUE(plain) << c.name;
        const auto general = throughPixbuf(c.png);
        ASSERT_TRUE(general) << c.name;
        EXPECT_EQ(plain->width, general->width) << c.name;
        EXPECT_EQ(plain->height, general->height) << c.name;
        EXPECT_EQ(plain->hasAlpha, general->hasAlpha) << c.name;
        EXPECT_EQ(plain->dpiX, 0) << c.name;
        EXPECT_TRUE(plain->argb32 == general->argb32) << c.name;
        // Inflated row by row, as a large picture is: the same pixels.
        const auto streamed = pg::decodePlainPng(c.png, 0);
        ASSERT_TRUE(streamed) << c.name;
        EXPECT_TRUE(streamed->argb32 == plain->argb32) << c.name;
        EXPECT_TRUE(pg::startsAsPlainPng(c.png)) << c.name;
    }
}

TEST(PlainPng, LeavesEveryOtherFileToTheGeneralDecoder) {
    const Bytes rgb = samples::savedWithPixbuf("png", 64, 48);
    auto withHeader = [&](size_t offset, uint8_t value) {
        return edited(rgb, [&](std::vector<Chunk>& chunks) { chunks.front().data[offset] = value; });
    };
    struct Case {
        std::string name;
        Bytes png;
        bool loads;  // whether the general decoder still reads it
    };
    std::vector<Case> cases = {
        {"resolution", samples::savedWithPixbuf("png", 64, 48, {{"x-dpi", "144"}, {"y-dpi", "144"}}), true},
        {"transparent colour", edited(rgb, [](std::vector<Chunk>& c) { insertBeforeData(c, {"tRNS", {0, 1, 0, 2, 0, 3}}); }),
         true},
        {"colour profile", edited(rgb, [](std::vector<Chunk>& c) { insertBeforeData(c, {"iCCP", {'x', 0, 0, 0x78, 0x9C, 3, 0, 0, 0, 0, 1}}); }),
         true},
        {"unknown chunk", edited(rgb, [](std::vector<Chunk>& c) { insertBeforeData(c, {"prVt", {1, 2, 3}}); }), true},
        {"16 bits", withHeader(8, 16), false},
        {"fewer significant bits", edited(rgb, [](std::vector<Chunk>& chunks) {
             for (auto& chunk : chunks) {
                 if (chunk.type == "sBIT") chunk.data = {5, 6, 5};
             }
         }), true},
        {"grey", withHeader(9, 0), false},
        {"interlaced", withHeader(12, 1), false},
        {"enormous", samples::pngClaiming(100000, 100000), false},
        {"bad checksum", [&] {
             auto b = rgb;
             b[b.size() - 20] ^= 0x40;
             return b;
         }(), false},
        {"bytes after the end", [&] {
             auto b = rgb;
             b.insert(b.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
             return b;
         }(), true},
        {"no end", Bytes(rgb.begin(), rgb.end() - 12), true},
        {"filter type 5", edited(rgb, [](std::vector<Chunk>& chunks) {
             for (auto& chunk : chunks) {
                 if (chunk.type != "IDAT") continue;
                 uLongf size = 64 * 48 * 3 + 48;
                 Bytes raw(size);
                 uncompress(raw.data(), &size, chunk.data.data(), chunk.data.size());
                 raw[(64 * 3 + 1) * 7] = 5;
                 uLongf packedSize = compressBound(raw.size());
                 chunk.data.assign(packedSize, 0);
                 compress(chunk.data.data(), &packedSize, raw.data(), raw.size());
                 chunk.data.resize(packedSize);
             }
         }), false},
    };
    for (const auto& [name, cut] : samples::truncations(rgb)) cases.push_back({"cut: " + name, cut, false});
    for (const auto& c : cases) {
        EXPECT_FALSE(pg::decodePlainPng(c.png)) << c.name;
        EXPECT_FALSE(pg::decodePlainPng(c.png, 0)) << c.name;
        // Read as before: by the general decoder, or refused by it with its reason.
        std::string error;
        const auto image = pg::Image::fromData(c.png, &error);
        EXPECT_EQ(image != nullptr, c.loads) << c.name << ": " << error;
    }
}

TEST(PlainPng, WhatItTakesFromDamagedFilesTheGeneralDecoderTakesAlike) {
    // Damage inside sound chunks (checksums made right again), where only the decoders'
    // own checks can tell: a file the quick decoder takes must be one gdk-pixbuf takes,
    // with the same pixels.
    const Bytes sound = translucent(23, 17, "6");
    const auto chunks = chunksOf(sound);
    Bytes raw(size_t(23 * 4 + 1) * 17);
    uLongf rawSize = raw.size();
    for (const auto& chunk : chunks) {
        if (chunk.type == "IDAT") {
            ASSERT_EQ(uncompress(raw.data(), &rawSize, chunk.data.data(), chunk.data.size()), Z_OK);
        }
    }
    std::mt19937 rng(15);
    int taken = 0;
    for (int round = 0; round < 400; ++round) {
        auto damaged = chunks;
        auto mutatedRaw = raw;
        switch (rng() % 4) {
            case 0: mutatedRaw[rng() % mutatedRaw.size()] = uint8_t(rng()); break;              // a pixel or a filter type
            case 1: mutatedRaw.resize(rng() % mutatedRaw.size()); break;                        // rows missing
            case 2: mutatedRaw.insert(mutatedRaw.end(), 1 + rng() % 40, uint8_t(rng())); break;  // rows too many
            default: damaged.front().data[rng() % 13] = uint8_t(rng()); break;                   // the header
        }
        for (auto& chunk : damaged) {
            if (chunk.type != "IDAT") continue;
            uLongf packedSize = compressBound(mutatedRaw.size());
            chunk.data.assign(packedSize, 0);
            compress(chunk.data.data(), &packedSize, mutatedRaw.data(), mutatedRaw.size());
            chunk.data.resize(packedSize);
        }
        const Bytes png = pngOf(damaged);
        const auto plain = pg::decodePlainPng(png);
        // Row by row, exactly the same files are taken, with the same pixels.
        const auto streamed = pg::decodePlainPng(png, 0);
        ASSERT_EQ(bool(streamed), bool(plain)) << "round " << round;
        if (!plain) continue;
        EXPECT_TRUE(streamed->argb32 == plain->argb32) << "round " << round;
        ++taken;
        const auto general = throughPixbuf(png);
        ASSERT_TRUE(general) << "round " << round;
        EXPECT_EQ(plain->width, general->width) << "round " << round;
        EXPECT_EQ(plain->height, general->height) << "round " << round;
        EXPECT_TRUE(plain->argb32 == general->argb32) << "round " << round;
    }
    // Damaged pixels still make a picture: some rounds must have been taken.
    EXPECT_GT(taken, 50);
}

TEST(PlainPng, ItsFirstBytesTellWhetherAFileIsPlain) {
    const Bytes rgb = samples::savedWithPixbuf("png", 64, 48);
    EXPECT_TRUE(pg::startsAsPlainPng(Bytes(rgb.begin(), rgb.begin() + 80)));
    auto withChunk = [&](Chunk chunk) {
        return edited(rgb, [&](std::vector<Chunk>& chunks) { insertBeforeData(chunks, chunk); });
    };
    for (const auto& [name, png] : std::vector<std::pair<std::string, Bytes>>{
             {"resolution", samples::savedWithPixbuf("png", 64, 48, {{"x-dpi", "144"}, {"y-dpi", "144"}})},
             {"transparent colour", withChunk({"tRNS", {0, 1, 0, 2, 0, 3}})},
             {"fewer significant bits", withChunk({"sBIT", {5, 6, 5}})},
             {"grey", edited(rgb, [](std::vector<Chunk>& chunks) { chunks.front().data[9] = 0; })},
             {"interlaced", edited(rgb, [](std::vector<Chunk>& chunks) { chunks.front().data[12] = 1; })},
             {"only its header", Bytes(rgb.begin(), rgb.begin() + 33)},
             {"no PNG", samples::savedWithPixbuf("bmp", 4, 4)}}) {
        EXPECT_FALSE(pg::startsAsPlainPng(png)) << name;
    }
}
