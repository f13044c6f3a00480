// The drawing steps one by one, on real pictures, checked by their pixels.
#include "app/foundation/image_operations.hpp"

#include "app/foundation/image_test_pictures.hpp"
#include "platform/log/system_log.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace pg = platform::graphics;
using gw::ImageConversionError;
using gwtest::kBlue;
using gwtest::kClear;
using gwtest::kGreen;
using gwtest::kRed;
using gwtest::pixelIs;
using gwtest::render;
using gwtest::Rgba;
using Case = ImageConversionError::Case;

// 200 x 100: red left quarter, blue middle half, green right quarter.
pg::ImagePtr threeBands() {
    return gwtest::paintedPicture(200, 100, [](int x, int) { return x < 50 ? kRed : (x < 150 ? kBlue : kGreen); });
}

template <typename F>
void expectConversionError(Case expected, F&& operation) {
    try {
        operation();
        ADD_FAILURE() << "no error, expected case " << static_cast<int>(expected);
    } catch (const ImageConversionError& error) {
        EXPECT_EQ(error.errorCase(), expected) << error.what();
    }
}

TEST(ImageResize, FitFillAndStretchDrawIntoTheirRectangles) {
    const auto source = threeBands();
    const pg::Size target{100, 100};

    // Fit: (0, 25, 100, 50), bars above and below.
    EXPECT_EQ(gw::aspectFitDrawingRect(source->size(), target), (pg::Rect{0, 25, 100, 50}));
    const auto fit = render(*gw::resized(*source, target, 2));
    ASSERT_TRUE(fit.bitmap);
    EXPECT_EQ(fit.width(), 100);
    EXPECT_EQ(fit.height(), 100);
    EXPECT_TRUE(pixelIs(fit, 50, 10, kClear));
    EXPECT_TRUE(pixelIs(fit, 50, 90, kClear));
    EXPECT_TRUE(pixelIs(fit, 10, 50, kRed));
    EXPECT_TRUE(pixelIs(fit, 50, 30, kBlue));
    EXPECT_TRUE(pixelIs(fit, 50, 69, kBlue));
    EXPECT_TRUE(pixelIs(fit, 90, 50, kGreen));

    // Fill: (-50, 0, 200, 100), only the blue middle remains.
    EXPECT_EQ(gw::aspectFillDrawingRect(source->size(), target), (pg::Rect{-50, 0, 200, 100}));
    const auto fill = render(*gw::resized(*source, target, 1));
    for (int x : {2, 50, 97}) {
        for (int y : {2, 50, 97}) EXPECT_TRUE(pixelIs(fill, x, y, kBlue));
    }

    // Stretch: (0, 0, 100, 100), bands squeezed to half their width.
    const auto stretch = render(*gw::resized(*source, target, 0));
    EXPECT_TRUE(pixelIs(stretch, 10, 2, kRed));
    EXPECT_TRUE(pixelIs(stretch, 50, 97, kBlue));
    EXPECT_TRUE(pixelIs(stretch, 90, 50, kGreen));

    // A raw value from outside the enumeration stretches.
    const auto unknown = render(*gw::resized(*source, target, 7));
    EXPECT_EQ(unknown.png, stretch.png);
}

TEST(ImageResize, PortraitSourcesAndDegenerateSizesGiveFiniteRectangles) {
    EXPECT_EQ(gw::aspectFitDrawingRect({100, 200}, {100, 100}), (pg::Rect{25, 0, 50, 100}));
    EXPECT_EQ(gw::aspectFillDrawingRect({100, 200}, {100, 100}), (pg::Rect{0, -50, 100, 200}));

    auto finite = [](const pg::Rect& r) {
        return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
               std::isfinite(r.size.height);
    };
    const pg::Size sizes[] = {{0, 0}, {0, 100}, {100, 0}, {200, 100}};
    for (const auto& source : sizes) {
        for (const auto& target : sizes) {
            EXPECT_TRUE(finite(gw::aspectFitDrawingRect(source, target)))
                << pg::describe(source) << " into " << pg::describe(target);
            EXPECT_TRUE(finite(gw::aspectFillDrawingRect(source, target)))
                << pg::describe(source) << " into " << pg::describe(target);
        }
    }
}

TEST(ImageResize, ZeroSizedTargetIsAcceptedAndPictureWithoutRepresentationsIsRefused) {
    const auto source = threeBands();
    for (std::int64_t type : {0, 1, 2}) {
        const auto result = gw::resized(*source, {0, 0}, type);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->size(), (pg::Size{0, 0}));
    }
    const auto empty = pg::Image::make({200, 100});
    for (std::int64_t type : {0, 1, 2, 5}) {
        expectConversionError(Case::failedToResizeImage, [&] { gw::resized(*empty, {100, 100}, type); });
    }
}

TEST(ImageResize, LogsTheNewSizeAsDecimals) {
    std::mutex mutex;
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& record) {
        std::lock_guard lock(mutex);
        lines.push_back(record.message);
    });
    gw::resized(*threeBands(), {1024, 50.5}, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Resized image ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" to size: 1024.0 : 50.5"), std::string::npos) << lines[0];
}

TEST(ImageCorners, PathHasTwentyTwoElementsScaledByTheWidth) {
    const auto path = gw::continuousCornerPath({0, 0, 400, 200});
    ASSERT_EQ(path.elementCount(), 22);
    const double u = 400 / 4.3;
    const auto& e = path.elements();
    EXPECT_EQ(e[0].type, pg::BezierPath::ElementType::moveTo);
    EXPECT_DOUBLE_EQ(e[0].points[0].x, 1.52866483 * u);
    EXPECT_DOUBLE_EQ(e[0].points[0].y, 0);
    // The vertical corner extent follows the width too.
    EXPECT_EQ(e[6].type, pg::BezierPath::ElementType::lineTo);
    EXPECT_DOUBLE_EQ(e[6].points[0].y, 200 - 1.52866471 * u);
    EXPECT_EQ(e[7].type, pg::BezierPath::ElementType::curveTo);
    EXPECT_DOUBLE_EQ(e[7].points[0].x, 400 - 0.06549569 * u);
    EXPECT_DOUBLE_EQ(e[7].points[1].y, 200 - 1.08849323 * u);
    EXPECT_DOUBLE_EQ(e[7].points[2].y, 200 - 0.86840689 * u);
    EXPECT_EQ(e[20].type, pg::BezierPath::ElementType::curveTo);
    EXPECT_EQ(e[20].points[0], e[0].points[0]);
    EXPECT_EQ(e[21].type, pg::BezierPath::ElementType::closePath);
    // The outline stays inside its rectangle.
    const pg::Rect bounds = path.controlPointBounds();
    EXPECT_DOUBLE_EQ(bounds.minX(), 0);
    EXPECT_DOUBLE_EQ(bounds.maxX(), 400);
    EXPECT_DOUBLE_EQ(bounds.minY(), 0);
    EXPECT_DOUBLE_EQ(bounds.maxY(), 200);
}

TEST(ImageCorners, CornersBecomeTransparentAndTheMiddleStaysOpaque) {
    const auto source = gwtest::paintedPicture(100, 100, [](int, int) { return kRed; });
    const auto rounded = render(*gw::withRoundedCorners(*source));
    for (auto [x, y] : {std::pair{0, 0}, {99, 0}, {0, 99}, {99, 99}, {3, 3}, {96, 96}}) {
        EXPECT_TRUE(pixelIs(rounded, x, y, kClear));
    }
    for (auto [x, y] : {std::pair{50, 50}, {50, 0}, {0, 50}, {99, 50}, {50, 99}, {20, 20}}) {
        EXPECT_TRUE(pixelIs(rounded, x, y, kRed));
    }
}

TEST(ImageZoom, ZoomTwoShowsTheCentreQuarterAndHalfLeavesABorder) {
    // Blue centre square (25...75), red around it.
    const auto source = gwtest::paintedPicture(100, 100, [](int x, int y) {
        return (x >= 25 && x < 75 && y >= 25 && y < 75) ? kBlue : kRed;
    });
    const auto doubled = render(*gw::zoomed(*source, 2));
    EXPECT_EQ(doubled.width(), 100);
    for (auto [x, y] : {std::pair{2, 2}, {97, 2}, {2, 97}, {97, 97}, {50, 50}}) {
        EXPECT_TRUE(pixelIs(doubled, x, y, kBlue));
    }

    const auto halved = render(*gw::zoomed(*source, 0.5));
    EXPECT_TRUE(pixelIs(halved, 10, 10, kClear));
    EXPECT_TRUE(pixelIs(halved, 30, 30, kRed));
    EXPECT_TRUE(pixelIs(halved, 50, 50, kBlue));
    EXPECT_TRUE(pixelIs(halved, 90, 50, kClear));
}

TEST(ImageZoom, ExactlyOneIsAPlainCopyAndNonPositiveZoomIsRefused) {
    const auto source = threeBands();
    const auto same = gw::zoomed(*source, 1.0);
    EXPECT_NE(same.get(), source.get());
    EXPECT_EQ(same->representations(), source->representations());

    for (double zoom : {0.0, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
        expectConversionError(Case::zoomFactorIsZero, [&] { gw::zoomed(*source, zoom); });
    }
}

TEST(ImageBackground, ColourShowsOnlyWhereThePictureIsTransparent) {
    // Transparent left third, half-transparent red middle third, opaque red right third.
    const auto source = gwtest::paintedPicture(90, 30, [](int x, int) {
        if (x < 30) return kClear;
        if (x < 60) return Rgba{255, 0, 0, 128};
        return kRed;
    });
    const auto filled = render(*gw::filledBackground(*source, pg::Color::rgb(0, 0, 1)));
    EXPECT_TRUE(pixelIs(filled, 15, 15, kBlue));
    EXPECT_TRUE(pixelIs(filled, 45, 15, Rgba{128, 0, 127, 255}, 10));
    EXPECT_TRUE(pixelIs(filled, 75, 15, kRed));
}

TEST(ImageShadow, ShadowFallsBelowThePicture) {
    // An opaque white square in the middle of a transparent 200 x 200 canvas.
    const auto source = gwtest::paintedPicture(200, 200, [](int x, int y) {
        return (x >= 60 && x < 140 && y >= 60 && y < 140) ? gwtest::kWhite : kClear;
    });
    const auto shadowed = render(*gw::withShadow(*source));
    EXPECT_TRUE(pixelIs(shadowed, 100, 100, gwtest::kWhite));
    const Rgba below = shadowed.at(100, 141);
    const Rgba above = shadowed.at(100, 58);
    EXPECT_GT(below.a, 20);
    EXPECT_LT(below.r, 10);  // black, at alpha 0.4 at most
    EXPECT_LE(below.a, 103);
    EXPECT_GT(below.a, above.a);
    EXPECT_TRUE(pixelIs(shadowed, 10, 10, kClear));
}

TEST(ImageSteps, ZeroSidesAndMissingRepresentationsAreRefused) {
    const auto zero = gw::resized(*threeBands(), {0, 100}, 0);
    expectConversionError(Case::foundSizeZero, [&] { gw::withRoundedCorners(*zero); });
    expectConversionError(Case::foundSizeZero, [&] { gw::zoomed(*zero, 2); });
    expectConversionError(Case::foundSizeZero, [&] { gw::filledBackground(*zero, pg::Color::white()); });
    expectConversionError(Case::foundSizeZero, [&] { gw::withShadow(*zero); });
    // Zoom 1 copies without looking at the size.
    EXPECT_TRUE(gw::zoomed(*zero, 1));

    const auto empty = pg::Image::make({100, 100});
    expectConversionError(Case::failedReplacingTransparentPixels, [&] { gw::withRoundedCorners(*empty); });
    expectConversionError(Case::failedDrawingZoomedImage, [&] { gw::zoomed(*empty, 2); });
    expectConversionError(Case::failedReplacingTransparentPixels,
                          [&] { gw::filledBackground(*empty, pg::Color::white()); });
    EXPECT_TRUE(gw::withShadow(*empty));  // the shadow only looks when it draws
}

TEST(ImageSteps, SourcesAreLeftUnchanged) {
    const auto source = threeBands();
    const auto before = render(*source).png;
    const auto reps = source->representations();
    gw::withShadow(*gw::filledBackground(*gw::zoomed(*gw::withRoundedCorners(*source), 1.5), pg::Color::white()));
    EXPECT_EQ(source->representations(), reps);
    EXPECT_EQ(source->size(), (pg::Size{200, 100}));
    EXPECT_EQ(render(*source).png, before);
}

}  // namespace
