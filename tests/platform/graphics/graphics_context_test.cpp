#include <gtest/gtest.h>

#include <thread>

#include "graphics_test_support.hpp"
#include "platform/graphics/bitmap_context.hpp"
#include "platform/graphics/graphics_context.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;
using gwtest::graphics::solidBitmap;

namespace {

std::unique_ptr<pg::BitmapContext> canvas(int w, int h) {
    return pg::BitmapContext::create(w, h, 8, 0, pg::ColorSpace::deviceRGB(),
                                     pg::BitmapInfo(pg::AlphaInfo::premultipliedFirst, pg::ByteOrder::order32Little));
}

}  // namespace

TEST(GeometryTest, AspectFitCentresTheLargestRectangleOfTheRatio) {
    EXPECT_EQ(pg::aspectFitRect({200, 100}, pg::Rect{0, 0, 100, 100}), (pg::Rect{0, 25, 100, 50}));
    EXPECT_EQ(pg::aspectFitRect({100, 200}, pg::Rect{10, 10, 100, 100}), (pg::Rect{35, 10, 50, 100}));
    // A degenerate ratio collapses to the centre instead of dividing by zero.
    EXPECT_EQ(pg::aspectFitRect({0, 5}, pg::Rect{0, 0, 100, 100}), (pg::Rect{50, 50, 0, 0}));
}

TEST(ColorTest, ConvertsBetweenSpacesAndDescribesStably) {
    const pg::Color orange = pg::Color::rgb(1, 0.5, 0, 1, pg::ColorSpace::calibratedRGB());
    EXPECT_EQ(orange.description(), "calibratedRGB 1 0.5 0 1");
    EXPECT_EQ(orange.numberOfComponents(), 4);
    EXPECT_EQ(pg::Color::clear().alpha(), 0);
    EXPECT_EQ(pg::Color::white().description(), "genericGray 1 1");

    auto linear = orange.usingColorSpace(pg::ColorSpace::genericLinearRGB());
    ASSERT_TRUE(linear);
    EXPECT_NEAR(linear->components()[1], 0.214, 0.001);  // 0.5 encoded is about 0.214 linear
    auto back = linear->usingColorSpace(pg::ColorSpace::genericRGB());
    EXPECT_NEAR(back->components()[1], 0.5, 1e-9);
    auto grey = pg::Color::rgb(1, 1, 1).usingColorSpace(pg::ColorSpace::genericGray());
    EXPECT_NEAR(grey->components()[0], 1.0, 1e-9);
    // A wrong component count is repaired, not read past.
    EXPECT_EQ(pg::Color(pg::ColorSpace::deviceRGB(), {0.2}, 1).components().size(), 3u);
}

TEST(GraphicsContextTest, UserSpaceHasYUpAndStateRestores) {
    auto ctx = canvas(10, 10);
    auto& g = ctx->graphicsContext();
    g.setFillColor(pg::Color::rgb(1, 0, 0));
    g.saveState();
    g.translate(0, 5);
    g.setFillColor(pg::Color::rgb(0, 0, 1));
    g.fillRect({0, 0, 10, 5});  // upper half after the translation
    g.restoreState();
    g.fillRect({0, 0, 10, 5});  // lower half, red again
    auto image = ctx->makeImage();
    EXPECT_EQ(argbAt(*image, 5, 0).b, 255);  // top row (from the top-left) is blue
    EXPECT_EQ(argbAt(*image, 5, 9).r, 255);  // bottom row is red
    EXPECT_EQ(g.currentTransform(), pg::Transform{});
    g.restoreState();  // unbalanced: ignored
    EXPECT_EQ(g.fillColor(), pg::Color::rgb(1, 0, 0));
}

TEST(GraphicsContextTest, SingularTransformHidesDrawingOnlyUntilRestore) {
    auto ctx = canvas(4, 4);
    auto& g = ctx->graphicsContext();
    g.setFillColor(pg::Color::rgb(1, 0, 0));
    g.saveState();
    g.scale(0, 1);
    g.fillRect({0, 0, 4, 4});
    EXPECT_EQ(argbAt(*ctx->makeImage(), 1, 1).a, 0);
    g.restoreState();
    g.fillRect({0, 0, 4, 4});
    EXPECT_EQ(argbAt(*ctx->makeImage(), 1, 1).r, 255);
}

TEST(GraphicsContextTest, DestinationAtopFillShowsColourOnlyWhereTransparent) {
    auto ctx = canvas(20, 10);
    auto& g = ctx->graphicsContext();
    // Left half: opaque green picture; right half: transparent; a half-transparent column in between.
    g.setFillColor(pg::Color::rgb(0, 1, 0));
    g.fillRect({0, 0, 10, 10});
    g.setFillColor(pg::Color::rgb(0, 1, 0, 0.5));
    g.fillRect({10, 0, 1, 10});
    g.setFillColor(pg::Color::rgb(0, 0, 1));
    g.fillRect({0, 0, 20, 10}, *pg::compositingOperationFromRaw(9));
    auto image = ctx->makeImage();
    const auto left = argbAt(*image, 3, 5);
    EXPECT_EQ(left.a, 255);
    EXPECT_EQ(left.g, 255);
    EXPECT_EQ(left.b, 0);
    const auto right = argbAt(*image, 15, 5);
    EXPECT_EQ(right.a, 255);
    EXPECT_EQ(right.b, 255);
    EXPECT_EQ(right.g, 0);
    const auto mixed = argbAt(*image, 10, 5);  // picture on top, background behind it
    EXPECT_EQ(mixed.a, 255);
    EXPECT_NEAR(mixed.g, 128, 2);
    EXPECT_NEAR(mixed.b, 127, 2);
}

TEST(GraphicsContextTest, CopyReplacesAndClearErases) {
    auto ctx = canvas(4, 4);
    auto& g = ctx->graphicsContext();
    g.setFillColor(pg::Color::rgb(1, 0, 0));
    g.fillRect({0, 0, 4, 4});
    g.setFillColor(pg::Color::rgb(0, 0, 1, 0.5));
    g.fillRect({0, 0, 2, 4}, pg::CompositingOperation::copy);
    g.fillRect({2, 0, 1, 4}, pg::CompositingOperation::clear);
    auto image = ctx->makeImage();
    EXPECT_NEAR(argbAt(*image, 0, 0).a, 128, 1);
    EXPECT_EQ(argbAt(*image, 0, 0).r, 0);
    EXPECT_EQ(argbAt(*image, 2, 0).a, 0);
    EXPECT_EQ(argbAt(*image, 3, 0).r, 255);
    EXPECT_FALSE(pg::compositingOperationFromRaw(12));
}

TEST(GraphicsContextTest, ShadowDarkensBelowTheShapeAndLeavesFarPixelsClear) {
    auto ctx = canvas(100, 100);
    auto& g = ctx->graphicsContext();
    g.setShadow(pg::Shadow{{0, -8}, 6, pg::Color::gray(0, 0.5)});
    g.setFillColor(pg::Color::white());
    g.fillRect({30, 40, 40, 40});  // y 40...80 in y-up space: rows 20...60 from the top
    auto image = ctx->makeImage();
    EXPECT_EQ(argbAt(*image, 50, 40).a, 255);  // the shape itself stays white on top
    EXPECT_EQ(argbAt(*image, 50, 40).r, 255);
    const auto below = argbAt(*image, 50, 63);  // just under the shape: shadow
    EXPECT_GT(below.a, 60);
    EXPECT_EQ(below.r, 0);
    EXPECT_EQ(argbAt(*image, 50, 90).a, 0);  // far below
    EXPECT_EQ(argbAt(*image, 5, 5).a, 0);    // far corner
    // Soft edge: the shadow fades with distance.
    EXPECT_GT(argbAt(*image, 50, 63).a, argbAt(*image, 50, 70).a);
    // Only where the offset pushes it: above the shape stays clear.
    EXPECT_EQ(argbAt(*image, 50, 14).a, 0);
}

TEST(GraphicsContextTest, CurrentContextIsPerThreadAndNests) {
    auto outer = canvas(2, 2);
    auto inner = canvas(2, 2);
    EXPECT_EQ(pg::GraphicsContext::current(), nullptr);
    {
        pg::GraphicsContext::CurrentScope a(&outer->graphicsContext());
        {
            pg::GraphicsContext::CurrentScope b(&inner->graphicsContext());
            EXPECT_EQ(pg::GraphicsContext::current(), &inner->graphicsContext());
            pg::GraphicsContext* seenElsewhere = &inner->graphicsContext();
            std::thread([&] { seenElsewhere = pg::GraphicsContext::current(); }).join();
            EXPECT_EQ(seenElsewhere, nullptr);
        }
        EXPECT_EQ(pg::GraphicsContext::current(), &outer->graphicsContext());
    }
    EXPECT_EQ(pg::GraphicsContext::current(), nullptr);
}

TEST(GraphicsContextTest, BezierPathClipsAndFillsInTheCurrentContext) {
    auto ctx = canvas(20, 20);
    pg::GraphicsContext::CurrentScope scope(&ctx->graphicsContext());
    ctx->graphicsContext().setFillColor(pg::Color::rgb(1, 0, 0));
    pg::BezierPath triangle;
    triangle.moveTo({0, 0});
    triangle.lineTo({20, 0});
    triangle.lineTo({0, 20});
    triangle.closePath();
    triangle.addClip();
    pg::BezierPath::rect({0, 0, 20, 20}).fill();
    auto image = ctx->makeImage();
    EXPECT_EQ(argbAt(*image, 2, 17).a, 255);  // bottom-left corner: inside
    EXPECT_EQ(argbAt(*image, 17, 2).a, 0);    // top-right corner: clipped away
    EXPECT_EQ(triangle.controlPointBounds(), (pg::Rect{0, 0, 20, 20}));
}

TEST(GraphicsContextTest, ShrinkingABitmapAveragesInsteadOfAliasing) {
    // One-pixel black and white stripes: a point-sampled shrink shows only one
    // of the two; a filtered one gives grey.
    std::vector<uint8_t> pixels(64 * 64 * 4);
    auto* words = reinterpret_cast<uint32_t*>(pixels.data());
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) words[y * 64 + x] = (x % 2 == 0) ? 0xFFFFFFFFu : 0xFF000000u;
    auto stripes = pg::makeSharedBitmap(pg::Bitmap(64, 64, 256, std::move(pixels), false));
    auto ctx = canvas(16, 16);
    ctx->graphicsContext().drawBitmap(*stripes, {0, 0, 16, 16});
    auto image = ctx->makeImage();
    EXPECT_NEAR(argbAt(*image, 8, 8).r, 128, 24);
    EXPECT_EQ(argbAt(*image, 8, 8).a, 255);
    EXPECT_EQ(argbAt(*image, 0, 0).a, 255);  // edges stay opaque
}
