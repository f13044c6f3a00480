#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include "graphics_test_support.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/image_io.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "support/picture_samples.hpp"
#include "support/temp_dir.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;

namespace {

constexpr int kW = 30;
constexpr int kH = 20;

namespace samples = gwtest::samples;

// A picture with a red top half and a blue bottom half, saved by gdk-pixbuf.
std::vector<uint8_t> savedWithPixbuf(const char* type, std::vector<std::pair<std::string, std::string>> options = {},
                                     bool alpha = false) {
    return samples::savedWithPixbuf(type, kW, kH, std::move(options), samples::Pattern::redOverBlue, alpha);
}

void expectRedOverBlue(const pg::ImagePtr& image, const std::string& format, int tolerance) {
    ASSERT_TRUE(image) << format;
    auto rep = std::dynamic_pointer_cast<pg::BitmapRep>(image->representations().at(0));
    ASSERT_TRUE(rep) << format;
    EXPECT_EQ(rep->pixelsWide(), kW) << format;
    EXPECT_EQ(rep->pixelsHigh(), kH) << format;
    const auto top = argbAt(*rep->bitmap(), kW / 2, 2);
    const auto bottom = argbAt(*rep->bitmap(), kW / 2, kH - 3);
    EXPECT_NEAR(top.r, 255, tolerance) << format;
    EXPECT_NEAR(top.b, 0, tolerance) << format;
    EXPECT_NEAR(bottom.b, 255, tolerance) << format;
    EXPECT_NEAR(bottom.r, 0, tolerance) << format;
}

}  // namespace

TEST(ImageLoadingTest, EveryBitmapFormatLoadsWithItsPixelAndPointSize) {
    const std::map<std::string, std::vector<uint8_t>> files = {
        {"png", savedWithPixbuf("png")},   {"jpeg", savedWithPixbuf("jpeg", {{"quality", "100"}})},
        {"tiff", savedWithPixbuf("tiff")}, {"bmp", savedWithPixbuf("bmp")},
        {"ico", savedWithPixbuf("ico", {}, true)}, {"webp", savedWithPixbuf("webp", {{"lossless", "true"}})},
        {"gif", samples::gif(kW, kH, samples::Pattern::redOverBlue)},
        {"psd", samples::psd(kW, kH, samples::Pattern::redOverBlue)},
    };
    gwtest::TempDir dir;
    for (const auto& [format, bytes] : files) {
        ASSERT_FALSE(bytes.empty()) << format;
        EXPECT_STREQ(pg::formatName(pg::detectImageFormat(bytes)), format.c_str());
        const auto path = dir / ("picture." + format);
        gwtest::writeFile(path, std::string(bytes.begin(), bytes.end()));
        std::string error;
        auto image = pg::Image::fromFile(path, &error);
        ASSERT_TRUE(image) << format << ": " << error;
        expectRedOverBlue(image, format, format == "jpeg" || format == "webp" ? 12 : 0);
        EXPECT_EQ(image->size(), (pg::Size{kW, kH})) << format;
    }
}

TEST(ImageLoadingTest, FileResolutionSetsThePointSize) {
    auto png = pg::Image::fromData(savedWithPixbuf("png", {{"x-dpi", "144"}, {"y-dpi", "144"}}));
    ASSERT_TRUE(png);
    EXPECT_EQ(png->size(), (pg::Size{kW / 2.0, kH / 2.0}));
    EXPECT_EQ(png->representations()[0]->pixelsWide(), kW);
    auto jpeg = pg::Image::fromData(savedWithPixbuf("jpeg", {{"x-dpi", "36"}, {"y-dpi", "36"}}));
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->size(), (pg::Size{kW * 2.0, kH * 2.0}));
}

TEST(ImageLoadingTest, PdfLoadsAsAVectorRepresentationOfItsPageSize) {
    auto pdf = pg::PdfContext::toMemory(pg::Rect{0, 0, 300, 150});
    pdf->beginPage();
    pdf->graphicsContext()->setFillColor(pg::Color::rgb(0, 1, 0));
    pdf->graphicsContext()->fillRect({0, 0, 150, 150});
    pdf->endPage();
    ASSERT_TRUE(pdf->close());
    auto image = pg::Image::fromData(pdf->data());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (pg::Size{300, 150}));
    auto rep = image->pdfRepresentation();
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->pixelsWide(), 300);
    EXPECT_EQ(rep->pdfData(), pdf->data());
    auto rendered = image->renderedBitmap()->bitmap();
    EXPECT_EQ(argbAt(*rendered, 50, 75).g, 255);   // left half green
    EXPECT_EQ(argbAt(*rendered, 250, 75).a, 0);    // right half empty
}

TEST(ImageLoadingTest, BadInputIsRefusedWithAReason) {
    const auto goodPng = savedWithPixbuf("png");
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        std::string reasonContains;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "format"},
        {"unknown", gwtest::graphics::bytesOf("hello, not a picture"), "format"},
        {"truncated", std::vector<uint8_t>(goodPng.begin(), goodPng.begin() + 50), "png"},  // inside IDAT
        {"truncated jpeg", [] {
             auto b = savedWithPixbuf("jpeg");
             b.resize(b.size() / 2);
             return b;
         }(), "jpeg"},
        {"truncated gif", [] {
             auto b = samples::gif(kW, kH, samples::Pattern::redOverBlue);
             b.resize(b.size() / 2);
             return b;
         }(), "gif"},
        {"corrupt", [&] {
             auto b = goodPng;
             for (size_t i = 16; i < b.size(); ++i) b[i] ^= 0x5A;
             return b;
         }(), "png"},
        {"enormous", samples::pngClaiming(100000, 100000), "too large"},
        {"over the total", samples::pngClaiming(9000, 9000), "too large"},
        {"zero", samples::pngClaiming(0, 10), ""},
        {"enormous gif", samples::gifClaimingTheMost(), "too large"},
        {"enormous bmp", samples::bmpClaiming(60000, 60000), "too large"},
        {"enormous tiff", samples::tiffClaiming(70000, 70000), ""},
        {"broken pdf", gwtest::graphics::bytesOf("%PDF-1.4\n1 0 obj garbage"), "PDF"},
        {"broken psd", gwtest::graphics::bytesOf("8BPS\0\1garbage"), ""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(pg::Image::fromData(c.bytes, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_NE(error.find(c.reasonContains), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(pg::Image::fromFile("/nonexistent/picture.png", &error));
    EXPECT_NE(error.find("no file"), std::string::npos);
}

// Whether a picture's pixels are in memory is answered at once, also while they are read
// again on another thread (a large photograph takes seconds): the window asks as it paints.
TEST(ImageLoadingTest, WhetherThePixelsAreHeldIsToldWithoutWaitingForThemToBeReadAgain) {
    auto rep = std::make_shared<pg::BitmapRep>(
        pg::makeSharedBitmap(pg::Bitmap(4, 4, 4 * 4, std::vector<uint8_t>(4 * 4 * 4, 0), true)));
    std::promise<void> reading, mayFinish;
    auto finish = mayFinish.get_future().share();
    rep->setReload([&reading, finish] {
        reading.set_value();
        finish.wait();
        return pg::makeSharedBitmap(pg::Bitmap(4, 4, 4 * 4, std::vector<uint8_t>(4 * 4 * 4, 0), true));
    });
    ASSERT_TRUE(rep->releasePixels());
    auto reader = std::async(std::launch::async, [rep] { return rep->bitmap(); });
    reading.get_future().wait();
    auto asked = std::async(std::launch::async, [rep] { return rep->hasPixels(); });
    const bool answered = asked.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    mayFinish.set_value();
    EXPECT_TRUE(answered) << "the answer waited for the pixels to be read";
    EXPECT_FALSE(asked.get());
    EXPECT_EQ(reader.get()->width(), 4);
    EXPECT_TRUE(rep->hasPixels());
}

TEST(ImageLoadingTest, PixelsLetGoAreReadAgainFromTheUnchangedFileOnly) {
    gwtest::TempDir dir;
    for (const auto& sample : samples::bitmapSamples()) {
        const auto path = dir / ("picture." + sample.extension);
        gwtest::writeFile(path, std::string(sample.bytes.begin(), sample.bytes.end()));
        auto image = pg::Image::fromFile(path);
        ASSERT_TRUE(image) << sample.format;
        auto rep = std::dynamic_pointer_cast<pg::BitmapRep>(image->representations().at(0));
        ASSERT_TRUE(rep) << sample.format;
        const auto before = rep->bitmap();
        // Nothing to read them from yet: the pixels stay.
        EXPECT_FALSE(image->releasePixels()) << sample.format;
        ASSERT_TRUE(image->reloadPixelsFrom(path)) << sample.format;
        ASSERT_TRUE(image->releasePixels()) << sample.format;
        EXPECT_FALSE(rep->hasPixels()) << sample.format;
        // What is known without the pixels stays known.
        EXPECT_EQ(rep->pixelsWide(), before->width()) << sample.format;
        EXPECT_EQ(rep->pixelsHigh(), before->height()) << sample.format;
        EXPECT_EQ(rep->hasAlpha(), before->hasAlpha()) << sample.format;
        rep->description();
        EXPECT_FALSE(rep->hasPixels()) << "describing reads no pixels: " << sample.format;
        // Many drawings at once read the file once and see the same pixels.
        std::vector<pg::BitmapPtr> seen(6);
        std::vector<std::thread> threads;
        for (auto& slot : seen) threads.emplace_back([&slot, rep] { slot = rep->bitmap(); });
        for (auto& thread : threads) thread.join();
        for (const auto& bitmap : seen) EXPECT_EQ(bitmap, seen.front()) << sample.format;
        const auto again = seen.front();
        ASSERT_EQ(again->height(), before->height()) << sample.format;
        for (int y = 0; y < before->height(); ++y) {
            ASSERT_EQ(0, std::memcmp(again->data() + size_t(y) * again->stride(),
                                     before->data() + size_t(y) * before->stride(), size_t(before->width()) * 4))
                << sample.format << " row " << y;
        }
        EXPECT_EQ(image->pngData(), pg::Image::withBitmap(before)->pngData()) << sample.format;
    }

    // A file changed or gone since: no pixels rather than another picture's.
    const auto path = dir / "changing.png";
    const auto first = samples::savedWithPixbuf("png", 40, 30);
    gwtest::writeFile(path, std::string(first.begin(), first.end()));
    struct Change {
        std::string name;
        std::function<void()> apply;
    };
    const std::vector<Change> changes = {
        {"other size", [&] {
             const auto other = samples::savedWithPixbuf("png", 41, 30);
             gwtest::writeFile(path, std::string(other.begin(), other.end()));
         }},
        {"cut short", [&] {
             gwtest::writeFile(path, std::string(first.begin(), first.begin() + long(first.size() / 2)));
         }},
        {"gone", [&] { std::filesystem::remove(path); }},
    };
    for (const auto& change : changes) {
        gwtest::writeFile(path, std::string(first.begin(), first.end()));
        auto image = pg::Image::fromFile(path);
        ASSERT_TRUE(image && image->reloadPixelsFrom(path)) << change.name;
        ASSERT_TRUE(image->releasePixels()) << change.name;
        change.apply();
        auto rep = std::static_pointer_cast<pg::BitmapRep>(image->representations().at(0));
        EXPECT_EQ(rep->bitmap()->width(), 0) << change.name;
        EXPECT_FALSE(image->pngData()) << change.name;
        // Drawn into another picture, it leaves that drawing unfinished, not blank.
        EXPECT_FALSE(image->renderBitmap(20, 15)) << change.name;
        EXPECT_TRUE(pg::Image::withBitmap(gwtest::graphics::solidBitmap(4, 4, 0xFF00FF00))->renderBitmap(2, 2));
        EXPECT_FALSE(rep->hasPixels()) << change.name;
    }
    // Vector pictures have no pixels to let go.
    const auto pdfPath = dir / "page.pdf";
    const auto pdf = samples::pdf(30, 20);
    gwtest::writeFile(pdfPath, std::string(pdf.begin(), pdf.end()));
    auto page = pg::Image::fromFile(pdfPath);
    ASSERT_TRUE(page);
    EXPECT_FALSE(page->reloadPixelsFrom(pdfPath));
    EXPECT_FALSE(page->releasePixels());
}
