// The whole conversion of a picture to the picture of one PNG file: alpha removal,
// its usage events, PNG output, and many pictures at once.
#include "app/foundation/image_operations.hpp"
#include "app/foundation/usage_events.hpp"

#include "app/foundation/image_test_pictures.hpp"
#include "platform/graphics/pdf_context.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace pg = platform::graphics;
using gw::UsageEventProperties;
using gwtest::kBlue;
using gwtest::kClear;
using gwtest::kRed;
using gwtest::kWhite;
using gwtest::pixelIs;
using gwtest::render;
using gwtest::Rgba;

struct RecordedEvent {
    std::string name;
    std::optional<UsageEventProperties> properties;
};

class RecordingSink : public gw::UsageEventSink {
public:
    void log(const std::string& event, const std::optional<UsageEventProperties>& properties) override {
        std::lock_guard lock(mutex_);
        events_.push_back({event, properties});
    }
    std::vector<RecordedEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<RecordedEvent> events_;
};

class ImagePipeline : public ::testing::Test {
protected:
    void SetUp() override { gw::setUsageEventSink(sink_); }
    void TearDown() override { gw::setUsageEventSink(nullptr); }
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
};

// 100 x 100: transparent left half, red right half.
pg::ImagePtr halfTransparent() {
    return gwtest::paintedPicture(100, 100, [](int x, int) { return x < 50 ? kClear : kRed; });
}

TEST_F(ImagePipeline, AlphaRemovalWritesAnOpaquePngOnWhiteAndReportsSuccess) {
    const auto result = gw::converted(*halfTransparent(), {64, 64}, 0, 1.0, std::nullopt, true, false, false);
    const auto picture = render(*result);
    EXPECT_EQ(picture.colorType(), 2);  // RGB, no alpha
    EXPECT_EQ(picture.width(), 64);
    EXPECT_TRUE(pixelIs(picture, 10, 32, kWhite));
    EXPECT_TRUE(pixelIs(picture, 54, 32, kRed));

    const auto events = sink_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "alpha_channel_removal_succeeded");
    ASSERT_TRUE(events[0].properties);
    EXPECT_EQ(events[0].properties->size(), 1u);
    EXPECT_EQ(events[0].properties->at("image"), result->description());
}

TEST_F(ImagePipeline, ClearBackgroundBecomesWhiteOnlyWhenAlphaIsRemoved) {
    const auto source = halfTransparent();
    const auto kept = render(*gw::converted(*source, {64, 64}, 0, 1.0, pg::Color::clear(), false, false, false));
    EXPECT_EQ(kept.colorType(), 6);
    EXPECT_TRUE(pixelIs(kept, 10, 32, kClear));
    EXPECT_TRUE(sink_->events().empty());

    const auto blue = pg::Color::rgb(0, 0, 1);
    const auto filled = render(*gw::converted(*source, {64, 64}, 0, 1.0, blue, false, false, false));
    EXPECT_TRUE(pixelIs(filled, 10, 32, kBlue));

    const auto removed = render(*gw::converted(*source, {64, 64}, 0, 1.0, pg::Color::clear(), true, false, false));
    EXPECT_EQ(removed.colorType(), 2);
    EXPECT_TRUE(pixelIs(removed, 10, 32, kWhite));
}

TEST_F(ImagePipeline, StepsRunInOrderOnTheTargetSize) {
    // Fit a 200 x 100 red picture into 100 x 100 (rows 25...75), then zoom 0.5 about the
    // centre (columns 25...75, rows 37.5...62.5) and fill blue behind it.
    const auto source = gwtest::paintedPicture(200, 100, [](int, int) { return kRed; });
    const auto picture = render(*gw::converted(*source, {100, 100}, 2, 0.5, pg::Color::rgb(0, 0, 1), false, true, true));
    EXPECT_EQ(picture.width(), 100);
    EXPECT_EQ(picture.height(), 100);
    EXPECT_EQ(picture.colorType(), 2);  // filled behind: opaque, so written without alpha
    for (auto [x, y] : {std::pair{50, 50}, {30, 50}, {70, 50}, {50, 40}, {50, 60}}) {
        EXPECT_TRUE(pixelIs(picture, x, y, kRed));
    }
    for (auto [x, y] : {std::pair{50, 34}, {50, 66}, {20, 50}, {80, 50}, {0, 0}, {99, 99}}) {
        EXPECT_TRUE(pixelIs(picture, x, y, kBlue));
    }
}

TEST_F(ImagePipeline, ErrorsStopThePipeline) {
    const auto source = halfTransparent();
    try {
        gw::converted(*source, {100, 100}, 0, 0.0, std::nullopt, false, false, false);
        ADD_FAILURE() << "zoom 0 was accepted";
    } catch (const gw::ImageConversionError& error) {
        EXPECT_EQ(error.errorCase(), gw::ImageConversionError::Case::zoomFactorIsZero);
    }
    try {
        gw::converted(*source, {0, 100}, 1, 1.0, std::nullopt, true, false, false);
        ADD_FAILURE() << "a zero side was accepted";
    } catch (const gw::ImageConversionError& error) {
        // The white fill before alpha removal refuses it.
        EXPECT_EQ(error.errorCase(), gw::ImageConversionError::Case::foundSizeZero);
    }
    try {
        gw::converted(*pg::Image::make({10, 10}), {100, 100}, 2, 1.0, std::nullopt, true, true, true);
        ADD_FAILURE() << "a picture without representations was accepted";
    } catch (const gw::ImageConversionError& error) {
        EXPECT_EQ(error.errorCase(), gw::ImageConversionError::Case::failedToResizeImage);
    }
    EXPECT_TRUE(sink_->events().empty());
}

TEST_F(ImagePipeline, AlphaRemovalGivesAPointSizeEqualToThePixelSize) {
    // 64 x 64 pixels shown at 32 x 32 points.
    const auto source = gwtest::paintedPicture(64, 64, [](int, int) { return Rgba{0, 0, 255, 200}; }, {32, 32});
    const auto opaque = gw::removingAlphaChannel(*source);
    EXPECT_EQ(opaque->size(), (pg::Size{64, 64}));
    const auto picture = render(*opaque);
    EXPECT_EQ(picture.colorType(), 2);
    EXPECT_EQ(picture.at(5, 5).a, 255);
}

TEST_F(ImagePipeline, RefusedBitmapContextKeepsAlphaAndReportsFiveProperties) {
    // A grey picture with alpha: no opaque grey layout with a skipped byte exists.
    const auto source = gwtest::paintedPicture(
        16, 8, [](int x, int) { return x < 8 ? kClear : kWhite; }, {}, pg::ColorSpace::genericGray());
    try {
        gw::removingAlphaChannel(*source);
        ADD_FAILURE() << "the grey bitmap context was accepted";
    } catch (const gw::RemovingAlphaError& error) {
        EXPECT_EQ(error.errorCase(), gw::RemovingAlphaError::Case::CGContextInitFail);
        ASSERT_TRUE(error.imageRef());
        EXPECT_EQ(error.imageRef()->width(), 16);
        EXPECT_EQ(error.bitmapInfo().raw, 4101u);
        EXPECT_EQ(error.colorSpace(), pg::ColorSpace::genericGray());
    }

    const auto kept = gw::removingAlphaChannelReportingFailures(*source);
    EXPECT_EQ(kept->representations(), source->representations());
    EXPECT_EQ(render(*kept).colorType(), 6);

    const auto events = sink_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "alpha_channel_removal_failed");
    ASSERT_TRUE(events[0].properties);
    const auto& p = *events[0].properties;
    EXPECT_EQ(p.size(), 5u);
    EXPECT_EQ(p.at("bitsPerComponent"), "8");
    EXPECT_EQ(p.at("bytesPerRow"), "64");
    EXPECT_EQ(p.at("bitmapInfo"), pg::BitmapInfo(4101).description());
    EXPECT_EQ(p.at("colorSpace"), pg::ColorSpace::genericGray().description());
    EXPECT_NE(p.at("imageRef").find("16x8"), std::string::npos) << p.at("imageRef");
}

TEST_F(ImagePipeline, UnrenderablePictureReportsTheErrorText) {
    const auto empty = pg::Image::make({10, 10});
    try {
        gw::removingAlphaChannel(*empty);
        ADD_FAILURE() << "nothing to render, but no error";
    } catch (const gw::RemovingAlphaError& error) {
        EXPECT_EQ(error.errorCase(), gw::RemovingAlphaError::Case::CGImageSourceCreateImageAtIndexFail);
    }
    const auto kept = gw::removingAlphaChannelReportingFailures(*empty);
    EXPECT_EQ(kept->size(), (pg::Size{10, 10}));
    const auto events = sink_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "alpha_channel_removal_failed");
    ASSERT_TRUE(events[0].properties);
    EXPECT_EQ(events[0].properties->size(), 1u);
    EXPECT_EQ(events[0].properties->at("error"),
              gw::RemovingAlphaError(gw::RemovingAlphaError::Case::CGImageSourceCreateImageAtIndexFail)
                  .localizedDescription());
}

TEST_F(ImagePipeline, ManyPicturesConvertAtOnceWithTheSameResult) {
    // Several sources, each converted on many threads at once, several times.
    std::vector<pg::ImagePtr> sources;
    for (int i = 0; i < 4; ++i) {
        sources.push_back(gwtest::paintedPicture(300 + 10 * i, 200, [i](int x, int y) {
            return (x + y + i) % 37 < 18 ? Rgba{255, 64 * i, 0, 255} : Rgba{0, 0, 255, (x * 255) / 340};
        }));
    }
    // And a vector page, whose one document is drawn by every thread.
    auto pdf = pg::PdfContext::toMemory(pg::Rect{0, 0, 80, 120});
    pdf->beginPage();
    pdf->graphicsContext()->setFillColor(pg::Color::rgb(0, 0.5, 0));
    pdf->graphicsContext()->fillPath(pg::BezierPath::oval({0, 0, 80, 120}));
    pdf->close();
    sources.push_back(pg::Image::withRepresentation(pg::PdfRep::fromData(pdf->data())));

    auto convert = [](const pg::Image& source) {
        return gw::pngData(*gw::converted(source, {120, 120}, 2, 1.25, pg::Color::rgb(0.5, 0.5, 0.5), true, true,
                                          true));
    };
    std::vector<std::vector<uint8_t>> expected;
    for (const auto& source : sources) expected.push_back(convert(*source).value_or(std::vector<uint8_t>{}));

    constexpr int kThreads = 8;
    std::vector<std::vector<uint8_t>> results(kThreads * 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                results[t * 3 + round] = convert(*sources[t % sources.size()]).value_or(std::vector<uint8_t>{});
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int round = 0; round < 3; ++round) {
            EXPECT_FALSE(results[t * 3 + round].empty());
            EXPECT_EQ(results[t * 3 + round], expected[t % sources.size()]) << "thread " << t << " round " << round;
        }
    }
    EXPECT_EQ(sink_->events().size(), sources.size() + kThreads * 3);
}

}  // namespace
