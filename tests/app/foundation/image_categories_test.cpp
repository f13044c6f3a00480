#include "app/foundation/image_categories.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/vector_pictures.hpp"
#include "picture_test_support.hpp"
#include "platform/log/system_log.hpp"

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
    auto image = gw::convertToPDFImage(*document);
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
