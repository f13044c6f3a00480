#include <gtest/gtest.h>

#include "graphics_test_support.hpp"
#include "platform/graphics/bitmap_context.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;
using gwtest::graphics::solidBitmap;

TEST(BitmapContextTest, AcceptsTheSupportedLayouts) {
    const pg::ColorSpace rgb = pg::ColorSpace::deviceRGB();
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 8, 0, rgb, pg::BitmapInfo(1)));  // premultiplied last
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 8, 32, rgb, pg::BitmapInfo(0x2002)));
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 8, 0, rgb, pg::BitmapInfo(5)));  // none-skip last
    // The opaque redraw of alpha removal: skip-last with a 16-bit byte order on 8-bit pixels.
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 8, 32, rgb, pg::BitmapInfo(0x1005)));
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 16, 0, pg::ColorSpace::genericLinearRGB(), pg::BitmapInfo(0x1005)));
    EXPECT_TRUE(pg::BitmapContext::create(8, 8, 8, 0, pg::ColorSpace::genericGray(), pg::BitmapInfo(0)));
}

TEST(BitmapContextTest, RefusesUnsupportedBitmapInfo) {
    const pg::ColorSpace rgb = pg::ColorSpace::deviceRGB();
    std::string why;
    // Skip-last alpha in a grey space: grey bitmaps have no alpha kinds at all.
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 0, pg::ColorSpace::genericGray(), pg::BitmapInfo(0x1005), &why));
    EXPECT_NE(why.find("0x1005"), std::string::npos) << why;
    EXPECT_NE(why.find("genericGray"), std::string::npos) << why;
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 0, rgb, pg::BitmapInfo(0)));  // RGB without alpha or skip
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 0, rgb, pg::BitmapInfo(3)));  // non-premultiplied alpha
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 0, pg::ColorSpace::genericGray(), pg::BitmapInfo(1)));
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 5, 0, rgb, pg::BitmapInfo(1)));
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 31, rgb, pg::BitmapInfo(1)));  // rows too short
    EXPECT_FALSE(pg::BitmapContext::create(8, 8, 8, 0, rgb, pg::BitmapInfo(1u << 20)));  // unknown bits
    EXPECT_FALSE(pg::BitmapContext::create(0, 8, 8, 0, rgb, pg::BitmapInfo(1)));
    EXPECT_FALSE(pg::BitmapContext::create(100000, 100000, 8, 0, rgb, pg::BitmapInfo(1)));
}

TEST(BitmapContextTest, SkipAlphaMakesAnOpaqueImageOverBlack) {
    auto ctx = pg::BitmapContext::create(4, 4, 8, 0, pg::ColorSpace::deviceRGB(), pg::BitmapInfo(5));
    ASSERT_TRUE(ctx);
    auto halfRed = solidBitmap(4, 4, 0x80800000u);  // red at alpha 0.5, premultiplied
    ctx->drawImage(*halfRed, {0, 0, 2, 4});
    auto image = ctx->makeImage();
    EXPECT_FALSE(image->hasAlpha());
    EXPECT_EQ(image->alphaInfo(), pg::AlphaInfo::noneSkipLast);
    EXPECT_EQ(image->bytesPerRow(), 16);
    const auto drawn = argbAt(*image, 0, 0);
    EXPECT_EQ(drawn.a, 255);
    EXPECT_NEAR(drawn.r, 128, 1);
    const auto untouched = argbAt(*image, 3, 0);
    EXPECT_EQ(untouched.a, 255);
    EXPECT_EQ(untouched.r, 0);
}

TEST(BitmapContextTest, GreyContextKeepsLuma) {
    auto ctx = pg::BitmapContext::create(2, 2, 8, 0, pg::ColorSpace::genericGray(), pg::BitmapInfo(0));
    ASSERT_TRUE(ctx);
    ctx->graphicsContext().setFillColor(pg::Color::rgb(0, 1, 0));
    ctx->graphicsContext().fillRect({0, 0, 2, 2});
    auto image = ctx->makeImage();
    const auto c = image->colorAt(0, 0);
    EXPECT_EQ(c.colorSpace(), pg::ColorSpace::genericGray());
    EXPECT_NEAR(c.components()[0], pg::linearToSrgb(0.7152), 0.01);
}
