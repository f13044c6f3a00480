#include <gtest/gtest.h>

#include <thread>

#include "graphics_test_support.hpp"
#include "platform/graphics/bitmap_context.hpp"
#include "platform/graphics/image.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;
using gwtest::graphics::pngHeader;
using gwtest::graphics::solidBitmap;

TEST(ImageTest, DrawingHandlerRunsLazilyOnTheRenderingThreadWithACurrentContext) {
    int calls = 0;
    std::thread::id ranOn;
    pg::Rect received;
    bool hadContext = false;
    auto image = pg::Image::withSize({40, 20}, false, [&](pg::Rect r) {
        ++calls;
        ranOn = std::this_thread::get_id();
        received = r;
        hadContext = pg::GraphicsContext::current() != nullptr;
        pg::GraphicsContext::current()->setFillColor(pg::Color::rgb(1, 0, 0));
        pg::GraphicsContext::current()->fillRect({0, 0, 20, 20});  // left half
        return true;
    });
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(image->representations().size(), 1u);
    EXPECT_EQ(image->representations()[0]->pixelsWide(), 0);
    EXPECT_EQ(image->representations()[0]->pixelsHigh(), 0);

    std::shared_ptr<pg::BitmapRep> rendered;
    std::thread worker([&] { rendered = image->renderedBitmap(); });
    const auto workerId = worker.get_id();
    worker.join();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ranOn, workerId);
    EXPECT_TRUE(hadContext);
    EXPECT_EQ(received, (pg::Rect{0, 0, 40, 20}));
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->pixelsWide(), 40);
    EXPECT_EQ(argbAt(*rendered->bitmap(), 5, 10).r, 255);
    EXPECT_EQ(argbAt(*rendered->bitmap(), 35, 10).a, 0);
}

TEST(ImageTest, NestedHandlersDrawThroughEachOtherScaledAndUpright) {
    // Source: 100 x 100 with a red bottom half (y up).
    auto source = pg::Image::withSize({100, 100}, false, [](pg::Rect) {
        auto* g = pg::GraphicsContext::current();
        g->setFillColor(pg::Color::rgb(1, 0, 0));
        g->fillRect({0, 0, 100, 50});
        return true;
    });
    auto scaled = pg::Image::withSize({10, 10}, false, [source](pg::Rect r) { return source->drawInRect(r); });
    auto flippedView = pg::Image::withSize({10, 10}, true, [source](pg::Rect r) { return source->drawInRect(r); });
    auto a = scaled->renderedBitmap()->bitmap();
    EXPECT_EQ(argbAt(*a, 5, 8).r, 255);  // bottom stays bottom
    EXPECT_EQ(argbAt(*a, 5, 1).a, 0);
    auto b = flippedView->renderedBitmap()->bitmap();
    EXPECT_EQ(argbAt(*b, 5, 8).r, 255);  // images draw upright in flipped handlers too
    EXPECT_EQ(argbAt(*b, 5, 1).a, 0);
}

TEST(ImageTest, FailingHandlerLeavesTheImageTransparent) {
    auto image = pg::Image::withSize({8, 8}, false, [](pg::Rect) { return false; });
    auto rendered = image->renderedBitmap();
    ASSERT_TRUE(rendered);
    EXPECT_EQ(argbAt(*rendered->bitmap(), 4, 4).a, 0);
    EXPECT_FALSE(pg::Image::make({8, 8})->renderedBitmap());  // no representations
    EXPECT_FALSE(pg::Image::make({8, 8})->pngData());
    EXPECT_FALSE(image->drawInRect({0, 0, 8, 8}));  // no current context
}

TEST(ImageTest, PngHasExactlyTheTargetPixelsAndDropsAlphaWhenOpaque) {
    // A 1024 picture shrunk to 180 x 180 by a drawing step, as the catalog does.
    auto big = pg::Image::withBitmap(solidBitmap(1024, 1024, 0xFF3366CCu, false));
    auto resized = pg::Image::withSize({180, 180}, false, [big](pg::Rect r) { return big->drawInRect(r); });
    auto png = resized->pngData();
    ASSERT_TRUE(png);
    auto header = pngHeader(*png);
    EXPECT_EQ(header.width, 180u);
    EXPECT_EQ(header.height, 180u);
    EXPECT_EQ(header.colorType, 2);  // every pixel opaque: written without alpha

    // One see-through pixel is enough to keep the alpha channel.
    auto holed = pg::Image::withSize({180, 180}, false, [big](pg::Rect r) {
        return big->drawInRect(pg::Rect{r.origin.x + 1, r.origin.y, r.width() - 1, r.height()});
    });
    auto holedPng = holed->pngData();
    ASSERT_TRUE(holedPng);
    EXPECT_EQ(pngHeader(*holedPng).colorType, 6);

    // Alpha removed through an opaque bitmap context: written as RGB.
    auto ctx = pg::BitmapContext::create(180, 180, 8, 0, pg::ColorSpace::deviceRGB(), pg::BitmapInfo(5));
    ASSERT_TRUE(ctx);
    ctx->drawImage(*resized->renderedBitmap()->bitmap(), {0, 0, 180, 180});
    auto opaque = pg::Image::withBitmap(ctx->makeImage());
    EXPECT_EQ(opaque->size(), (pg::Size{180, 180}));
    auto rgb = opaque->pngData();
    ASSERT_TRUE(rgb);
    EXPECT_EQ(pngHeader(*rgb).colorType, 2);
    EXPECT_EQ(pngHeader(*rgb).width, 180u);
    auto back = pg::Image::fromData(*rgb);
    ASSERT_TRUE(back);
    const auto c = argbAt(*std::static_pointer_cast<pg::BitmapRep>(back->representations()[0])->bitmap(), 90, 90);
    EXPECT_NEAR(c.r, 0x33, 1);
    EXPECT_NEAR(c.g, 0x66, 1);
    EXPECT_NEAR(c.b, 0xCC, 1);
}

TEST(ImageTest, BestRepresentationPrefersExactPixelsThenVectorsThenLarger) {
    auto image = pg::Image::make({100, 100});
    auto small = std::make_shared<pg::BitmapRep>(solidBitmap(50, 50, 0xFF000000u), pg::Size{100, 100});
    auto large = std::make_shared<pg::BitmapRep>(solidBitmap(200, 200, 0xFF000000u), pg::Size{100, 100});
    auto huge = std::make_shared<pg::BitmapRep>(solidBitmap(400, 400, 0xFF000000u), pg::Size{100, 100});
    image->addRepresentation(small);
    image->addRepresentation(huge);
    image->addRepresentation(large);
    EXPECT_EQ(image->bestRepresentationForRect({0, 0, 50, 50}), small);
    EXPECT_EQ(image->bestRepresentationForRect({0, 0, 150, 150}), large);
    EXPECT_EQ(image->bestRepresentationForRect({0, 0, 1000, 1000}), huge);
    auto handler = std::make_shared<pg::DrawingHandlerRep>(pg::Size{100, 100}, false, [](pg::Rect) { return true; });
    image->addRepresentation(handler);
    EXPECT_EQ(image->bestRepresentationForRect({0, 0, 150, 150}), handler);
    EXPECT_EQ(image->bestRepresentationForRect({0, 0, 200, 200}), large);
    EXPECT_FALSE(pg::Image::make()->bestRepresentationForRect({0, 0, 1, 1}));
}

TEST(ImageTest, CopySharesRepresentationsButNotTheList) {
    auto image = pg::Image::withBitmap(solidBitmap(4, 2, 0xFFFFFFFFu), {8, 4});
    auto copy = image->copy();
    EXPECT_NE(copy.get(), image.get());
    EXPECT_EQ(copy->size(), image->size());
    EXPECT_EQ(copy->representations(), image->representations());
    copy->addRepresentation(std::make_shared<pg::BitmapRep>(solidBitmap(1, 1, 0)));
    EXPECT_EQ(image->representations().size(), 1u);
    EXPECT_EQ(image->description(), image->copy()->description());
    EXPECT_NE(image->description().find("4x2"), std::string::npos) << image->description();
    // The first bitmap is the rendered bitmap as is: no redraw, its point size kept.
    EXPECT_EQ(image->renderedBitmap(), image->representations()[0]);
}

TEST(ImageTest, BitmapForProposedRectReusesExactBitmapsAndRendersOthers) {
    auto bitmap = solidBitmap(10, 10, 0xFF00FF00u);
    auto image = pg::Image::withBitmap(bitmap);
    EXPECT_EQ(image->bitmapForProposedRect(nullptr), bitmap);
    pg::Rect half{0, 0, 5, 5};
    auto smaller = image->bitmapForProposedRect(&half);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller->width(), 5);
    EXPECT_EQ(argbAt(*smaller, 2, 2).g, 255);
}

TEST(ImageTest, ColourAtReadsFromTheTopLeftAndConverts) {
    auto ctx = pg::BitmapContext::create(4, 4, 8, 0, pg::ColorSpace::deviceRGB(), pg::BitmapInfo(2));
    ctx->graphicsContext().setFillColor(pg::Color::rgb(1, 0, 0, 0.5));
    ctx->graphicsContext().fillRect({0, 3, 1, 1});  // top-left pixel in y-up space
    pg::BitmapRep rep(ctx->makeImage());
    const auto c = rep.colorAt(0, 0);
    EXPECT_NEAR(c.components()[0], 1.0, 0.01);  // unpremultiplied
    EXPECT_NEAR(c.alpha(), 0.5, 0.01);
    EXPECT_EQ(rep.colorAt(1, 1).alpha(), 0);
    EXPECT_EQ(rep.colorAt(-1, 99).alpha(), 0);
    auto generic = rep.convertingToColorSpace(pg::ColorSpace::genericRGB());
    EXPECT_EQ(generic->colorSpace(), pg::ColorSpace::genericRGB());
    EXPECT_NEAR(generic->colorAt(0, 0).components()[0], 1.0, 0.01);
}
