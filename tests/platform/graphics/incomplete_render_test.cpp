// A drawing the renderer could not finish is not a picture: rendering it gives none,
// instead of whatever part of it reached the pixels.
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image.hpp"

#include <cairo.h>
#include <gtest/gtest.h>

namespace {

namespace pg = platform::graphics;

TEST(IncompleteRender, ARendererErrorMidwayGivesNoBitmapWhileAFailingHandlerStaysTransparent) {
    // Paints, then puts the context into an error state the way a renderer does when
    // it cannot make a surface it needs.
    auto broken = pg::Image::withSize(pg::Size{8, 8}, false, [](pg::Rect rect) {
        pg::GraphicsContext* context = pg::GraphicsContext::current();
        context->setFillColor(pg::Color::rgb(1, 0, 0));
        context->fillRect(rect);
        cairo_restore(context->cairo());  // unbalanced: CAIRO_STATUS_INVALID_RESTORE
        return true;
    });
    EXPECT_FALSE(broken->renderBitmap(8, 8));
    EXPECT_FALSE(broken->renderedBitmap());

    // A handler that merely declines to draw leaves a transparent picture.
    auto declined = pg::Image::withSize(pg::Size{8, 8}, false, [](pg::Rect) { return false; });
    auto bitmap = declined->renderBitmap(8, 8);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->pixelAt(4, 4), 0u);
}

}  // namespace
