#include "app/foundation/image_categories.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/vector_pictures.hpp"
#include "picture_test_support.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/svg_document.hpp"
#include "platform/log/system_log.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

namespace {

using platform::graphics::Color;
using platform::graphics::Image;
using platform::graphics::Size;

std::vector<std::string> captureLines(const std::function<void()>& work) {
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& r) { lines.push_back(r.message); });
    work();
    return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(CornerPixelColor, IsPixelOneOneOfATwoByTwoPicture) {
    auto bitmap = gwtest::makeBitmap(2, 2, [](int x, int y) {
        return x == 1 && y == 1 ? gwtest::Rgba{0, 255, 0, 255} : gwtest::Rgba{255, 0, 0, 255};
    });
    auto image = Image::withBitmap(bitmap);
    std::optional<Color> color;
    auto lines = captureLines([&] { color = gw::cornerPixelColor(*image); });
    ASSERT_TRUE(color);
    EXPECT_EQ(color->colorSpace(), platform::graphics::ColorSpace::genericRGB());
    EXPECT_NEAR(color->components()[0], 0, 0.01);
    EXPECT_NEAR(color->components()[1], 1, 0.01);
    EXPECT_EQ(color->alpha(), 1);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.at(0).rfind("Image color space: ", 0), 0u);
    EXPECT_EQ(lines.at(1), "Original color: " + color->description() + ", component count:4");
}

TEST(CornerPixelColor, TinyAndTransparentPicturesGiveBlackAndClear) {
    auto thin = gwtest::makeImage(1, 50);
    std::optional<Color> color;
    auto lines = captureLines([&] { color = gw::cornerPixelColor(*thin); });
    EXPECT_EQ(color, Color::black());
    EXPECT_TRUE(contains(lines, "Image too small to get color"));

    // Alpha 1/255 is below the threshold of 0.01.
    auto faint = gwtest::makeImage(3, 3, {255, 255, 255, 1});
    EXPECT_EQ(gw::cornerPixelColor(*faint), Color::clear());
    auto visible = gwtest::makeImage(3, 3, {255, 255, 255, 3});
    EXPECT_NE(gw::cornerPixelColor(*visible), Color::clear());

    EXPECT_EQ(gw::cornerPixelColor(*Image::make()), std::nullopt);
    EXPECT_EQ(gw::cornerPixelColor(*Image::make(Size{50, 50})), std::nullopt);
}

TEST(CornerPixelColor, VectorPicturesAreRenderedFirst) {
    gwtest::TempDir dir;
    gwtest::writePdf(dir / "square.pdf", 40, 40);
    auto image = Image::fromFile(dir / "square.pdf");
    ASSERT_TRUE(image);
    auto color = gw::cornerPixelColor(*image);
    ASSERT_TRUE(color);
    EXPECT_EQ(*color, Color::clear());  // the page corner is empty
}

// What the corner colour used to be found by: the whole picture as one bitmap (an SVG
// picture was its PDF page alone), the whole bitmap converted, then its pixel (1, 1) read.
std::optional<Color> cornerColourOfWholeConversion(const Image& image) {
    auto page = image.pdfRepresentation() ? Image::withRepresentation(image.pdfRepresentation()) : image.copy();
    auto bitmap = page->renderedBitmap();
    if (!bitmap) return std::nullopt;
    auto converted = bitmap->convertingToColorSpace(platform::graphics::ColorSpace::genericRGB());
    Color color = converted->colorAt(1, 1);
    if (color.alpha() < static_cast<double>(0.01f)) color = Color::clear();
    return color;
}

std::vector<std::uint8_t> jpegBytes(const platform::graphics::BitmapPtr& bitmap) {
    auto png = platform::graphics::BitmapRep(bitmap).pngData();
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(loader, png.data(), png.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(gdk_pixbuf_loader_get_pixbuf(loader), &buffer, &size, "jpeg", nullptr, "quality", "80",
                              nullptr);
    std::vector<std::uint8_t> bytes(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(loader);
    return bytes;
}

TEST(CornerPixelColor, OnePixelCheckAnswersAsTheWholeConversionDid) {
    gwtest::TempDir dir;
    // Colours that change from pixel to pixel around the corner, so reading any
    // neighbour instead would show.
    auto noisy = gwtest::makeBitmap(64, 48, [](int x, int y) {
        return gwtest::Rgba{std::uint8_t(x * 37 + y * 11), std::uint8_t(x * 5 + y * 71), std::uint8_t(x * y * 13),
                            255};
    });
    auto faded = gwtest::makeBitmap(40, 40, [](int x, int y) {
        return gwtest::Rgba{200, 30, 90, std::uint8_t(x * 40 + y * 20)};
    });
    gwtest::writePng(dir / "noisy.png", noisy);
    gwtest::writePng(dir / "faded.png", faded);
    gwtest::writeBytes(dir / "noisy.jpg", jpegBytes(noisy));
    gwtest::writePdf(dir / "square.pdf", 40, 40);
    {
        // A page whose edge cuts through the corner pixel: the answer depends on the
        // renderer's coverage there, not just on a fill.
        auto pdf = platform::graphics::PdfContext::toFile(dir / "edge.pdf", platform::graphics::Rect(0, 0, 30, 20));
        pdf->beginPage();
        pdf->graphicsContext()->setFillColor(Color::rgb(0.2, 0.7, 0.4));
        pdf->graphicsContext()->fillRect(platform::graphics::Rect(1.4, 0, 20, 18.3));
        pdf->endPage();
        pdf->close();
    }
    const std::string svgs[] = {
        R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="50" height="40"><defs><radialGradient id="g">)svg"
        R"svg(<stop offset="0" stop-color="#fe8"/><stop offset="1" stop-color="#136"/></radialGradient></defs>)svg"
        R"svg(<rect width="50" height="40" fill="url(#g)"/><path d="M0 1.5 L50 1.5" stroke="#fff" stroke-width="0.3"/></svg>)svg",
        R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 20 20"><circle cx="10" cy="10" r="9.2" fill="#c33"/></svg>)svg",
    };

    std::vector<std::pair<std::string, platform::graphics::ImagePtr>> pictures;
    for (const char* name : {"noisy.png", "faded.png", "noisy.jpg", "square.pdf", "edge.pdf"}) {
        pictures.emplace_back(name, Image::fromFile(dir / name));
    }
    for (const auto& text : svgs) {
        auto document = platform::graphics::SvgDocument::fromData(
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        ASSERT_TRUE(document) << text;
        pictures.emplace_back(text, gw::convertToPDFImage(document));
        pictures.emplace_back(text + " drawn directly", gw::svgPicture(document));
    }
    for (const auto& [name, image] : pictures) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(image);
        const auto expected = cornerColourOfWholeConversion(*image);
        ASSERT_TRUE(expected);
        const auto actual = gw::cornerPixelColor(*image);
        ASSERT_TRUE(actual);
        EXPECT_EQ(actual->description(), expected->description());
        EXPECT_EQ(*actual, *expected);
    }
    // The cases above are not all alike: opaque, partly covered and clear corners.
    EXPECT_EQ(gw::cornerPixelColor(*pictures[0].second)->alpha(), 1);
    EXPECT_EQ(*gw::cornerPixelColor(*pictures[3].second), Color::clear());
    const double edge = gw::cornerPixelColor(*pictures[4].second)->alpha();
    EXPECT_GT(edge, 0.01);
    EXPECT_LT(edge, 1);
}

TEST(ImageWrapper, CachesTheCornerColourButNotItsAbsence) {
    auto wrapper = gw::ImageWrapper::make(gwtest::makeImage(4, 4, {0, 0, 255, 255}));
    auto first = wrapper->cornerPixelColor();
    ASSERT_TRUE(first);
    wrapper->setImage(gwtest::makeImage(4, 4, {255, 0, 0, 255}));
    EXPECT_EQ(wrapper->cornerPixelColor(), first);  // replacing the image keeps the cache
    wrapper->setCornerPixelColor(std::nullopt);
    EXPECT_NEAR(wrapper->cornerPixelColor()->components()[0], 1, 0.01);

    auto empty = gw::ImageWrapper::empty();
    EXPECT_EQ(empty->cornerPixelColor(), std::nullopt);
    empty->setImage(gwtest::makeImage(4, 4));
    EXPECT_TRUE(empty->cornerPixelColor());
}

TEST(ImageWrapper, StoresPDFInPreferenceAndFailsWithoutStorableRepresentation) {
    gwtest::TempDir dir;
    gwtest::writePdf(dir / "v.pdf", 30, 20);
    auto pdf = Image::fromFile(dir / "v.pdf");
    ASSERT_TRUE(pdf);
    // A bitmap first and the PDF second: the PDF is what is stored.
    auto mixed = Image::make(Size{30, 20});
    mixed->addRepresentation(std::make_shared<platform::graphics::BitmapRep>(gwtest::makeBitmap(30, 20, [](int, int) {
        return gwtest::Rgba{};
    })));
    mixed->addRepresentation(pdf->pdfRepresentation());
    auto stored = gw::ImageWrapper::make(mixed)->encodeJSON();
    auto read = gw::ImageWrapper::decodeJSON(stored);
    EXPECT_TRUE(read->isVector());
    EXPECT_EQ(read->size(), (Size{30, 20}));

    auto drawn = Image::withSize(Size{10, 10}, false, [](platform::graphics::Rect) { return true; });
    try {
        gw::ImageWrapper::make(drawn)->encodeJSON();
        ADD_FAILURE() << "a drawing handler was stored";
    } catch (const gw::ImageWrapper::StorageError& e) {
        EXPECT_EQ(e.errorCase(), gw::ImageWrapper::StorageError::Case::encodingFailed);
    }
    try {
        gw::ImageWrapper::decode(platform::foundation::Value::dict({{"image", platform::foundation::Data{1, 2, 3}}}));
        ADD_FAILURE() << "bytes that are not a picture were read";
    } catch (const gw::ImageWrapper::StorageError& e) {
        EXPECT_EQ(e.errorCase(), gw::ImageWrapper::StorageError::Case::decodingFailed);
    }
}

TEST(ImageWrapper, EqualityIsThatOfTheImageObject) {
    auto image = gwtest::makeImage(2, 2);
    EXPECT_TRUE(gw::ImageWrapper(image).isEqual(gw::ImageWrapper(image)));
    EXPECT_FALSE(gw::ImageWrapper(image).isEqual(gw::ImageWrapper(image->copy())));
}

TEST(PixelSize, TakesBothSidesFromOneRepresentation) {
    auto image = Image::make(Size{10, 10});
    image->addRepresentation(std::make_shared<platform::graphics::BitmapRep>(
        gwtest::makeBitmap(100, 50, [](int, int) { return gwtest::Rgba{}; })));
    image->addRepresentation(std::make_shared<platform::graphics::BitmapRep>(
        gwtest::makeBitmap(80, 60, [](int, int) { return gwtest::Rgba{}; })));
    EXPECT_EQ(gw::pixelSize(*image), (Size{80, 60}));

    // A representation without pixels of its own: the point size.
    auto drawn = Image::withSize(Size{12, 7}, false, [](platform::graphics::Rect) { return true; });
    EXPECT_EQ(gw::pixelSize(*drawn), (Size{12, 7}));
    EXPECT_EQ(gw::pixelSize(*Image::make()), (Size{0, 0}));
}

TEST(AspectRatioText, IsInLowestTermsAndNeverNotANumber) {
    EXPECT_EQ(gw::aspectRatioText(Size{1024, 768}), "4:3");
    EXPECT_EQ(gw::aspectRatioText(Size{1920, 1080}), "16:9");
    EXPECT_EQ(gw::aspectRatioText(Size{0, 5}), "0:1");
    EXPECT_EQ(gw::aspectRatioText(Size{1000.4, 500}), "2001:1000");
    EXPECT_EQ(gw::aspectRatioText(Size{0, 0}), "0:0");
}

TEST(SizeHash, TreatsBothZerosAlike) {
    gw::SizeHash hash;
    EXPECT_EQ(hash(Size{0.0, 1}), hash(Size{-0.0, 1}));
    std::unordered_set<Size, gw::SizeHash> sizes{Size{1, 2}, Size{2, 1}, Size{1, 2}};
    EXPECT_EQ(sizes.size(), 2u);
}

TEST(VectorPictures, OnlyPicturesWithAPDFRepresentationAreVector) {
    EXPECT_EQ(gw::pdfImageRep(*gwtest::makeImage(2, 2)), nullptr);
    gwtest::TempDir dir;
    gwtest::writeSvg(dir / "a.svg", "width=\"20\" height=\"10\"");
    auto document = platform::graphics::SvgDocument::fromFile(dir / "a.svg");
    ASSERT_TRUE(document);
    auto image = gw::convertToPDFImage(document);
    ASSERT_TRUE(image);
    EXPECT_NE(gw::pdfImageRep(*image), nullptr);
    EXPECT_EQ(image->size(), (Size{20, 10}));
    // The SVG's top-left red square lands at the top-left of the page, upright.
    auto bitmap = image->renderBitmap(20, 10);
    ASSERT_TRUE(bitmap);
    EXPECT_GT(bitmap->colorAt(2, 2).alpha(), 0.9);
    EXPECT_LT(bitmap->colorAt(15, 8).alpha(), 0.1);

    auto url = platform::foundation::URL::fileURL(dir / "out.pdf", false);
    ASSERT_TRUE(gw::saveAsPDFInOutputDirectory(*document, url));
    auto saved = Image::fromFile(dir / "out.pdf");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->size(), (Size{20, 10}));
}

TEST(ImageWithShadow, GrowsByFourPixelsAndKeepsThePointSize) {
    auto shadowed = gw::imageWithShadow(*gwtest::makeImage(10, 10, {255, 255, 255, 255}));
    ASSERT_TRUE(shadowed);
    EXPECT_EQ(shadowed->size(), (Size{10, 10}));
    EXPECT_EQ(gw::pixelSize(*shadowed), (Size{14, 14}));
    EXPECT_EQ(gw::imageWithShadow(*Image::make()), nullptr);
}

TEST(CalibratedColor, ConvertsOtherSpaces) {
    auto calibrated = Color::rgb(0.2, 0.4, 0.6, 1, platform::graphics::ColorSpace::calibratedRGB());
    EXPECT_EQ(gw::calibratedColor(calibrated), calibrated);
    auto grey = gw::calibratedColor(Color::white());
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->colorSpace(), platform::graphics::ColorSpace::calibratedRGB());
}

}  // namespace
