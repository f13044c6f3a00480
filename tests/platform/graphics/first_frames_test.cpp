// An animated picture is read as its first frame, placed on its canvas as the
// animation shows it, without decoding the frames after it; a first frame that cannot
// be placed is refused.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "graphics_test_support.hpp"
#include "platform/graphics/image.hpp"
#include "support/picture_samples.hpp"

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using samples::Bytes;
using P = pg::PictureProblem;

// A still WebP's own chunks (after its extended header) as the one frame of an
// animation on a canvas of its size.
Bytes animationOf(const Bytes& still, uint32_t width, uint32_t height) {
    Bytes frame = samples::webpFrameHeader(0, 0, width, height, 0);
    for (size_t at = 12; at + 8 <= still.size();) {
        const std::string tag(still.begin() + long(at), still.begin() + long(at) + 4);
        const size_t length = size_t(still[at + 4]) | size_t(still[at + 5]) << 8 | size_t(still[at + 6]) << 16 |
                              size_t(still[at + 7]) << 24;
        if (tag != "VP8X") {
            samples::putChunk(frame, tag, Bytes(still.begin() + long(at) + 8, still.begin() + long(at + 8 + length)));
        }
        at += 8 + length + (length & 1);
    }
    return samples::animatedWebpOf(width, height, {frame});
}

// A lossy WebP of red over blue whose right half is clear: its alpha is a chunk of
// its own beside the lossy pixels.
Bytes translucentWebp(int width, int height) {
    GdkPixbuf* pixbuf = samples::patternPixbuf(width, height, true, samples::Pattern::redOverBlue);
    guint8* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        for (int x = width / 2; x < width; ++x) pixels[y * gdk_pixbuf_get_rowstride(pixbuf) + x * 4 + 3] = 0;
    }
    gchar* buffer = nullptr;
    gsize length = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "webp", nullptr, nullptr);
    g_object_unref(pixbuf);
    Bytes bytes(buffer, buffer + length);
    g_free(buffer);
    return bytes;
}

struct Pixel {
    int x, y;
    bool red;  // else clear
};

struct Animation {
    std::string name;
    Bytes bytes;
    int width = 0, height = 0;
    std::vector<Pixel> pixels;
    P refused = P::none;
};

TEST(FirstFrames, AnAnimationIsItsFirstFrameOnItsCanvas) {
    const std::vector<Animation> animations = {
        {"two webp frames of 64 x 64: the first is red",
         samples::animatedWebp(64, 64, 2),
         64,
         64,
         {{32, 32, true}, {0, 63, true}}},
        {"a webp frame of 32 x 16 at (8, 40) on 64 x 64",
         samples::animatedWebp(64, 64, 3, 32, 16, 8, 40),
         64,
         64,
         {{10, 42, true}, {39, 55, true}, {2, 2, false}, {60, 60, false}, {41, 42, false}}},
        {"a lossy webp frame with its alpha apart",
         animationOf(translucentWebp(48, 32), 48, 32),
         48,
         32,
         {{8, 4, true}, {40, 4, false}}},
        {"three gif frames: the first is red", samples::manyFramesGif(3), 1, 1, {{0, 0, true}}},
        {"a webp frame reaching past its canvas",
         samples::animatedWebp(64, 64, 2, 32, 32, 40, 40),
         0,
         0,
         {},
         P::damaged},
        {"a webp animation without frames", samples::animatedWebp(64, 64, 0), 0, 0, {}, P::truncated},
    };
    for (const auto& animation : animations) {
        SCOPED_TRACE(animation.name);
        std::string why;
        P problem = P::none;
        const auto image = pg::Image::fromData(animation.bytes, &why, &problem);
        if (animation.refused != P::none) {
            EXPECT_FALSE(image);
            EXPECT_EQ(problem, animation.refused) << why;
            continue;
        }
        ASSERT_TRUE(image) << why;
        ASSERT_EQ(image->representations().size(), 1u);
        EXPECT_EQ(image->representations()[0]->pixelsWide(), animation.width);
        EXPECT_EQ(image->representations()[0]->pixelsHigh(), animation.height);
        const auto bitmap = image->renderBitmap(animation.width, animation.height);
        ASSERT_TRUE(bitmap);
        for (const auto& pixel : animation.pixels) {
            const auto argb = gwtest::graphics::argbAt(*bitmap, pixel.x, pixel.y);
            if (pixel.red) {
                EXPECT_TRUE(argb.a == 255 && argb.r > 200 && argb.g < 60 && argb.b < 60)
                    << pixel.x << "," << pixel.y << ": " << argb.a << " " << argb.r << " " << argb.g << " " << argb.b;
            } else {
                EXPECT_EQ(argb.a, 0) << pixel.x << "," << pixel.y;
            }
        }
    }
}

}  // namespace
