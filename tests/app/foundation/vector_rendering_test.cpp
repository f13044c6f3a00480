// Vector pictures drawn small and drawn from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/foundation/image_categories.hpp"
#include "app/foundation/vector_pictures.hpp"
#include "picture_test_support.hpp"
#include "platform/graphics/svg_document.hpp"

namespace {

namespace pg = platform::graphics;

// The document as a picture, through its PDF page and straight, and its PDF page read
// back as a PDF file (drawn by poppler).
std::vector<pg::ImagePtr> vectorPictures(const std::string& svg) {
    auto document = pg::SvgDocument::fromData(std::span(reinterpret_cast<const std::uint8_t*>(svg.data()), svg.size()));
    if (!document) return {nullptr};
    auto page = gw::convertToPDFImage(document);
    if (!page) return {nullptr};
    return {page, gw::svgPicture(document), pg::Image::fromData(gw::pdfImageRep(*page)->pdfData())};
}

// The brightest green channel (premultiplied, over transparent) in row `y`.
int brightestInRow(const pg::Bitmap& bitmap, int y) {
    int brightest = 0;
    for (int x = 0; x < bitmap.width(); ++x) brightest = std::max<int>(brightest, (bitmap.pixelAt(x, y) >> 8) & 0xFF);
    return brightest;
}

TEST(VectorRendering, ThinStrokesKeepTheirWidthWhenDrawnSmall) {
    // A 1024-unit drawing: a dark ground and white lines one unit wide,
    // horizontal and at an angle. Drawn at 40 px a line is 1/25.6 of a pixel wide
    // and must stay faint.
    for (const auto& picture :
         vectorPictures(R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="1024" height="1024">)svg"
                        R"svg(<rect width="1024" height="1024" fill="#000"/>)svg"
                        R"svg(<path d="M0 512.5 H1024" stroke="#fff" stroke-width="1"/>)svg"
                        R"svg(<path d="M0 0 L1024 700" stroke="#fff" stroke-width="1" fill="none"/></svg>)svg")) {
        ASSERT_TRUE(picture);
        for (int side : {40, 58, 180}) {
            SCOPED_TRACE(side);
            auto bitmap = picture->renderBitmap(side, side);
            ASSERT_TRUE(bitmap);
            const int lineRow = side / 2;
            // Width times scale, as coverage: about 255 / 25.6 at 40 px. A line
            // widened to a device pixel would reach full white.
            const int expected = static_cast<int>(255.0 * side / 1024.0);
            int brightest = 0;
            for (int y = lineRow - 1; y <= lineRow + 1; ++y)
                brightest = std::max(brightest, brightestInRow(*bitmap, y));
            // The rasteriser's sample grid may miss a line this thin altogether at 40
            // px.
            if (side > 40) {
                EXPECT_GE(brightest, expected / 3);
            }
            EXPECT_LE(brightest, expected * 2 + 8);
        }
        // At the drawing's own size a one-unit line is a full pixel: nothing is
        // made fainter.
        auto full = picture->renderBitmap(1024, 1024);
        ASSERT_TRUE(full);
        EXPECT_GE(brightestInRow(*full, 512), 250);
    }
}

TEST(VectorRendering, ManyThreadsDrawingOnePictureGetWhatOneThreadGets) {
    std::string svg = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="300" height="300"><defs>)svg";
    svg += R"svg(<radialGradient id="g"><stop offset="0" stop-color="#f90"/><stop offset="1" stop-color="#024"/>)svg";
    svg += R"svg(</radialGradient></defs><rect width="300" height="300" fill="url(#g)"/>)svg";
    for (int i = 0; i < 60; ++i) {
        svg += "<path d=\"M" + std::to_string(i * 5) + " 0 C 40 " + std::to_string(i * 3) + ", 200 " +
               std::to_string(300 - i * 4) + ", 300 " + std::to_string(i * 5) +
               "\" stroke=\"#fff\" stroke-width=\"0.7\" fill=\"none\"/>";
    }
    svg += "</svg>";
    for (const auto& picture : vectorPictures(svg)) {
        ASSERT_TRUE(picture);
        const std::vector<int> sides = {300, 180, 120, 87, 60, 40, 29, 20};
        std::vector<pg::BitmapPtr> serial;
        for (int side : sides) serial.push_back(picture->renderBitmap(side, side));

        for (int round = 0; round < 3; ++round) {
            std::vector<pg::BitmapPtr> parallel(sides.size());
            std::vector<std::thread> threads;
            for (size_t i = 0; i < sides.size(); ++i) {
                threads.emplace_back([&, i] { parallel[i] = picture->renderBitmap(sides[i], sides[i]); });
            }
            for (auto& thread : threads) thread.join();
            for (size_t i = 0; i < sides.size(); ++i) {
                SCOPED_TRACE(sides[i]);
                ASSERT_TRUE(serial[i]);
                ASSERT_TRUE(parallel[i]);
                const size_t bytes = static_cast<size_t>(serial[i]->stride()) * serial[i]->height();
                EXPECT_EQ(std::memcmp(serial[i]->data(), parallel[i]->data(), bytes), 0);
            }
        }
    }
}

}  // namespace
