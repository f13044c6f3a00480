#include "platform/graphics/resample.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/graphics/quality/pixels.hpp"

using gwtest::argb;
using gwtest::Bitmap;
using gwtest::channel;

namespace {

Bitmap filled(int w, int h, uint32_t colour) {
    Bitmap b(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.set(x, y, colour);
    return b;
}

// A smooth picture in output-pixel units, far below the output's Nyquist limit, so that
// a block average and an ideal low-pass filter agree to a fraction of a level.
double smooth(double u, double v, int channelIndex) {
    return 127.5 + 60.0 * std::sin(0.35 * u + channelIndex) * std::cos(0.3 * v) + 50.0 * std::sin(0.2 * (u + v));
}

}  // namespace

TEST(Resample, ConstantPictureStaysConstantAtEverySize) {
    // Semi-transparent premultiplied colour: any weight that does not sum to one, or any
    // edge treatment that pulls in "outside" pixels, changes some value.
    const uint32_t colour = argb(128, 100, 50, 10);
    const struct { int sw, sh, dw, dh; } cases[] = {
        {1024, 1024, 180, 180}, {1024, 1024, 40, 40}, {100, 61, 37, 13}, {10, 9, 33, 31},
        {7, 7, 1, 1},           {1, 1, 5, 3},         {1, 50, 1, 7},      {50, 1, 9, 1},
        {3, 200, 17, 20},
    };
    for (const auto& c : cases) {
        const Bitmap out = gwtest::resample(filled(c.sw, c.sh, colour), c.dw, c.dh);
        ASSERT_EQ(out.stride, c.dw * 4);
        ASSERT_EQ(out.bytes.size(), size_t(c.dw) * c.dh * 4);
        for (int y = 0; y < c.dh; ++y)
            for (int x = 0; x < c.dw; ++x)
                ASSERT_EQ(out.at(x, y), colour) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " at " << x << "," << y;
    }
}

TEST(Resample, DownscaleKeepsTheMeanOfAPattern) {
    // A 2x2 checkerboard of two colours averages to their midpoint at any reduction.
    Bitmap src(512, 512);
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x)
            src.set(x, y, ((x / 2 + y / 2) % 2) ? argb(255, 240, 20, 100) : argb(255, 20, 200, 60));
    for (int size : {128, 100, 37}) {
        const Bitmap out = gwtest::resample(src, size, size);
        double sums[4] = {};
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                for (int s = 0; s < 4; ++s) sums[s] += channel(out.at(x, y), s * 8);
        const double expected[4] = {80, 110, 130, 255};  // b, g, r, a
        for (int s = 0; s < 4; ++s) EXPECT_NEAR(sums[s] / (size * size), expected[s], 1.0) << "size " << size << " channel " << s;
    }
}

TEST(Resample, MatchesAnExactAreaAverageOfASmoothPicture) {
    // For a smooth picture an integer reduction has a precise answer: the mean of each
    // block. A filter that is misaligned by even a fraction of a pixel, or not
    // normalised, falls far below the threshold.
    for (int factor : {2, 4, 8}) {
        const int dst = 96, srcSize = dst * factor;
        Bitmap src(srcSize, srcSize);
        for (int y = 0; y < srcSize; ++y) {
            for (int x = 0; x < srcSize; ++x) {
                const double u = (x + 0.5) / factor, v = (y + 0.5) / factor;
                src.set(x, y, argb(255, unsigned(std::lround(smooth(u, v, 0))), unsigned(std::lround(smooth(u, v, 1))),
                                   unsigned(std::lround(smooth(u, v, 2)))));
            }
        }
        Bitmap reference(dst, dst);
        for (int y = 0; y < dst; ++y) {
            for (int x = 0; x < dst; ++x) {
                double sum[3] = {};
                for (int j = 0; j < factor; ++j)
                    for (int i = 0; i < factor; ++i)
                        for (int c = 0; c < 3; ++c) sum[c] += channel(src.at(x * factor + i, y * factor + j), 16 - 8 * c);
                const double n = factor * factor;
                reference.set(x, y, argb(255, unsigned(std::lround(sum[0] / n)), unsigned(std::lround(sum[1] / n)),
                                         unsigned(std::lround(sum[2] / n))));
            }
        }
        const Bitmap out = gwtest::resample(src, dst, dst);
        EXPECT_GE(gwtest::psnr(out, reference), 45.0) << "factor " << factor;
    }
}

TEST(Resample, MirrorSymmetricInputGivesMirrorSymmetricOutput) {
    // Pixel centres at +0.5 map the picture's centre onto the output's centre; a
    // half-pixel error shows up as asymmetry. Odd and even sizes, shrinking and growing,
    // on both axes.
    Bitmap src(301, 200);
    std::mt19937 rng(7);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x <= 150; ++x) {
            const uint32_t p = argb(255, rng() & 0xff, rng() & 0xff, rng() & 0xff);
            src.set(x, y, p);
            src.set(300 - x, y, p);
            src.set(x, 199 - y, p);
            src.set(300 - x, 199 - y, p);
        }
    }
    auto near = [](uint32_t a, uint32_t b) {  // float sums in mirrored order may round apart by one
        for (int s = 0; s < 32; s += 8)
            if (std::abs(int(channel(a, s)) - int(channel(b, s))) > 1) return false;
        return true;
    };
    for (auto [w, h] : {std::pair{180, 50}, {47, 33}, {40, 40}, {7, 1}, {1, 7}, {333, 201}, {640, 401}}) {
        const Bitmap out = gwtest::resample(src, w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                ASSERT_TRUE(near(out.at(x, y), out.at(w - 1 - x, y))) << w << "x" << h << " at " << x << "," << y;
                ASSERT_TRUE(near(out.at(x, y), out.at(x, h - 1 - y))) << w << "x" << h << " at " << x << "," << y;
            }
        }
    }
}

TEST(Resample, TransparentSurroundsLeaveNoDarkFringe) {
    // Opaque white square on a transparent field: premultiplied input means every
    // partially covered output pixel is still pure white once unpremultiplied.
    Bitmap src(400, 400);
    for (int y = 100; y < 300; ++y)
        for (int x = 100; x < 300; ++x) src.set(x, y, argb(255, 255, 255, 255));
    for (int size : {180, 57, 40, 900}) {
        const Bitmap out = gwtest::resample(src, size, size);
        int partial = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const uint32_t p = out.at(x, y);
                const unsigned a = channel(p, 24);
                for (int s = 0; s < 24; s += 8) ASSERT_EQ(channel(p, s), a) << size << " at " << x << "," << y;
                partial += a > 0 && a < 255;
            }
        }
        EXPECT_GT(partial, 0);
    }
}

TEST(Resample, UpscaleInterpolatesBetweenSamples) {
    // Two pixels, black and white: the enlarged row rises monotonically apart from small
    // ringing, and starts and ends at the original values.
    Bitmap src(2, 1);
    src.set(0, 0, argb(255, 0, 0, 0));
    src.set(1, 0, argb(255, 255, 255, 255));
    const Bitmap out = gwtest::resample(src, 64, 3);
    EXPECT_LE(channel(out.at(0, 1), 16), 8u);
    EXPECT_GE(channel(out.at(63, 1), 16), 247u);
    EXPECT_LT(channel(out.at(20, 1), 16), channel(out.at(32, 1), 16));
    EXPECT_LT(channel(out.at(32, 1), 16), channel(out.at(44, 1), 16));
    EXPECT_EQ(out.at(10, 0), out.at(10, 2));
}

TEST(Resample, RespectsSourceStrideAndRefusesEmptyRequests) {
    Bitmap packed(33, 20);
    std::mt19937 rng(3);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 33; ++x) {
            const unsigned a = rng() & 0xff;
            packed.set(x, y, argb(a, (rng() & 0xff) * a / 255, (rng() & 0xff) * a / 255, (rng() & 0xff) * a / 255));
        }
    // Same pixels with 13 padding bytes per row (an unaligned stride).
    const int paddedStride = 33 * 4 + 13;
    std::vector<uint8_t> padded(size_t(paddedStride) * 20, 0xAB);
    for (int y = 0; y < 20; ++y) std::memcpy(&padded[size_t(y) * paddedStride], &packed.bytes[size_t(y) * packed.stride], 33 * 4);
    int stride = -1;
    const auto fromPadded = platform::graphics::resampleArgb32({padded.data(), 33, 20, paddedStride}, 10, 7, &stride);
    EXPECT_EQ(stride, 40);
    EXPECT_EQ(fromPadded, gwtest::resample(packed, 10, 7).bytes);

    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-1, 3}}) {
        stride = -1;
        EXPECT_TRUE(platform::graphics::resampleArgb32(packed.view(), w, h, &stride).empty());
        EXPECT_EQ(stride, 0);
    }
    EXPECT_TRUE(platform::graphics::resampleArgb32({nullptr, 10, 10, 40}, 5, 5, &stride).empty());
}
