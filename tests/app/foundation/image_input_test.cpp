#include "app/foundation/image_input.hpp"

#include "app/foundation/image_categories.hpp"
#include "picture_test_support.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/log/system_log.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using gw::DeviceType;
using gw::ImageInput;
using gw::ScaleType;
using gw::UserDefaultsKey;
using platform::foundation::URL;
using platform::graphics::Size;
using Case = ImageInput::ImageInputError::Case;

class ImageInputTest : public ::testing::Test {
protected:
    gwtest::ScopedSettings settings;
    gwtest::TempDir dir;

    URL png(const std::string& name, int w, int h, std::optional<double> dpi = std::nullopt) {
        gwtest::writePng(dir / name, w, h, {10, 20, 30, 255}, dpi);
        return URL::fileURL(dir / name, false);
    }
    Case loadError(const URL& url) {
        try {
            ImageInput::load(url);
        } catch (const ImageInput::ImageInputError& e) {
            return e.errorCase();
        }
        ADD_FAILURE() << "loaded " << url.path();
        return Case::nothingAtPath;
    }
};

TEST_F(ImageInputTest, ANewPictureHasTheDefaults) {
    auto input = ImageInput::make();
    EXPECT_EQ(input->imageName(), "Image");
    EXPECT_EQ(input->zoom(), 1.0);
    EXPECT_EQ(input->padding(), 0.0);
    EXPECT_EQ(input->deviceTypes(), gw::DeviceTypes{DeviceType::universal});
    EXPECT_EQ(input->scaleType(), ScaleType::stretch);
    EXPECT_FALSE(input->imageURL());
    EXPECT_FALSE(input->tvOSAppIconlayerFrame());
    EXPECT_FALSE(input->tvOSLeaderboardLayerFrame());
    EXPECT_EQ(input->selectedPointSize(), (Size{0, 0}));
    EXPECT_TRUE(input->isAspectRatioLocked());
    EXPECT_FALSE(input->isVector());
    // The empty picture has no ratio, yet every number stays a number.
    EXPECT_TRUE(std::isfinite(input->widthToHeightRatio()));
    EXPECT_TRUE(std::isfinite(input->heightToWidthRatio()));
    EXPECT_EQ(input->id().size(), 36u);
    EXPECT_EQ(input->id(), platform::foundation::UUID::fromString(input->id())->uuidString());
    EXPECT_NE(input->id(), ImageInput::make()->id());

    settings.set(UserDefaultsKey::aspectRatioLocked, false);
    EXPECT_FALSE(ImageInput::make()->isAspectRatioLocked());
}

TEST_F(ImageInputTest, ScaleAndDeviceTypesAcceptOnlyTheirRawValues) {
    EXPECT_EQ(gw::scaleTypeFromRawValue(0), ScaleType::stretch);
    EXPECT_EQ(gw::scaleTypeFromRawValue(1), ScaleType::aspectFill);
    EXPECT_EQ(gw::scaleTypeFromRawValue(2), ScaleType::aspectFit);
    EXPECT_EQ(gw::scaleTypeFromRawValue(3), std::nullopt);
    EXPECT_EQ(gw::scaleTypeFromRawValue(-1), std::nullopt);
    EXPECT_EQ(gw::deviceTypeFromRawValue(5), DeviceType::watch);
    EXPECT_EQ(gw::deviceTypeFromRawValue(6), std::nullopt);
    EXPECT_EQ(gw::idiom(DeviceType::iphone), "iphone");
    EXPECT_EQ(gw::scaleFactor(DeviceType::universal), 3);
    EXPECT_EQ(gw::scaleFactor(DeviceType::watch), 2);
}

TEST_F(ImageInputTest, APictureFileIsNamedWithoutExtensionAndScaleSuffix) {
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& r) { lines.push_back(r.message); });
    std::vector<URL> recent;
    gw::setRecentDocumentHandler([&](const URL& url) { recent.push_back(url); });

    // 200 x 200 pixels written at 144 dpi: the file says 100 x 100 points.
    auto url = png("Logo@2x.png", 200, 200, 144);
    auto input = ImageInput::load(url);
    gw::setRecentDocumentHandler({});

    EXPECT_EQ(input->imageName(), "Logo");
    EXPECT_TRUE(input->imageNameIsFileName());
    EXPECT_EQ(input->imageURL(), url);
    EXPECT_EQ(recent, std::vector<URL>{url});
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Automatically named image: [\"Logo\"]"), lines.end());

    // Sizes follow the pixels, not the resolution: 200 / 3 points for every device,
    // 100 x 100 (a 2x picture's points) once it serves the iPad only.
    EXPECT_EQ(gw::pixelSize(*input->image()), (Size{200, 200}));
    EXPECT_DOUBLE_EQ(input->assetPointWidth(), 200.0 / 3);
    input->setDeviceTypesRawValues({2});
    EXPECT_EQ(input->selectedPointSize(), (Size{100, 100}));
    EXPECT_EQ(input->deviceTypesRawValues(), std::set<std::int64_t>{2});

    input->setImageName("Other");
    EXPECT_FALSE(input->imageNameIsFileName());
    input->setImageNameIsFileName(true);
    EXPECT_EQ(input->imageName(), "Logo");
    input->setImageNameIsFileName(false);
    EXPECT_EQ(input->imageName(), "Image");

    auto unnamed = ImageInput::make();
    unnamed->setImageNameIsFileName(true);
    EXPECT_EQ(unnamed->imageName(), "Image");
    EXPECT_FALSE(unnamed->imageNameIsFileName());
}

TEST_F(ImageInputTest, PointSizesFollowTheLargestScaleOfTheDevices) {
    auto input = ImageInput::load(png("big.png", 1024, 1024));
    EXPECT_DOUBLE_EQ(input->assetPointWidth(), 1024.0 / 3);
    EXPECT_DOUBLE_EQ(input->assetPointHeight(), 1024.0 / 3);
    EXPECT_EQ(input->defaultScaleFactor(), 3);

    input->setDeviceTypesRawValues({2, 3});
    EXPECT_EQ(input->defaultScaleFactor(), 2);
    input->setDeviceTypesRawValues({2, 1});
    EXPECT_EQ(input->defaultScaleFactor(), 3);
    input->setDeviceTypesRawValues({});
    EXPECT_EQ(input->defaultScaleFactor(), 3);
}

TEST_F(ImageInputTest, VectorPicturesArePointForPixel) {
    gwtest::writePdf(dir / "vector.pdf", 120, 80);
    auto pdf = ImageInput::load(URL::fileURL(dir / "vector.pdf", false));
    EXPECT_TRUE(pdf->isVector());
    pdf->setDeviceTypesRawValues({1});
    EXPECT_EQ(pdf->selectedPointSize(), (Size{120, 80}));

    gwtest::writeSvg(dir / "Badge.SVG", "width=\"64\" height=\"32\"");
    auto svg = ImageInput::load(URL::fileURL(dir / "Badge.SVG", false));
    EXPECT_TRUE(svg->isVector());
    EXPECT_EQ(svg->imageName(), "Badge");
    EXPECT_EQ(svg->selectedPointSize(), (Size{64, 32}));

    // An SVG with only a viewBox takes its size; one without any size is drawn on a
    // 100 x 100 page.
    gwtest::writeSvg(dir / "viewbox.svg", "viewBox=\"0 0 200 100\"");
    EXPECT_EQ(ImageInput::load(URL::fileURL(dir / "viewbox.svg", false))->selectedPointSize(), (Size{200, 100}));
    gwtest::writeSvg(dir / "nosize.svg", "");
    EXPECT_EQ(ImageInput::load(URL::fileURL(dir / "nosize.svg", false))->selectedPointSize(), (Size{100, 100}));
}

TEST_F(ImageInputTest, BadFilesThrowTheirCaseAndNeverMakeAPicture) {
    EXPECT_EQ(loadError(URL::fileURL(dir / "missing.png", false)), Case::nothingAtPath);
    EXPECT_EQ(loadError(URL::fileURL(dir / "missing.svg", false)), Case::nothingAtPath);

    gwtest::writeFile(dir / "empty.png", "");
    EXPECT_EQ(loadError(URL::fileURL(dir / "empty.png", false)), Case::unableToLoadNSImageAtPath);
    gwtest::writeFile(dir / "text.png", "this is not a picture");
    EXPECT_EQ(loadError(URL::fileURL(dir / "text.png", false)), Case::unableToLoadNSImageAtPath);

    // A PNG cut off in the middle of its pixels.
    gwtest::writePng(dir / "whole.png", 64, 64);
    auto bytes = platform::foundation::files::readData(dir / "whole.png");
    bytes.resize(bytes.size() / 2);
    gwtest::writeBytes(dir / "cut.png", bytes);
    EXPECT_EQ(loadError(URL::fileURL(dir / "cut.png", false)), Case::unableToLoadNSImageAtPath);

    gwtest::writeFile(dir / "broken.svg", "<svg");
    EXPECT_EQ(loadError(URL::fileURL(dir / "broken.svg", false)), Case::unableToLoadSVGImage);
    gwtest::writeSvg(dir / "zero.svg", "width=\"0\" height=\"0\"");
    auto zero = URL::fileURL(dir / "zero.svg", false);
    try {
        auto input = ImageInput::load(zero);
        EXPECT_TRUE(std::isfinite(input->assetPointWidth()));
        EXPECT_TRUE(std::isfinite(input->widthToHeightRatio()));
    } catch (const ImageInput::ImageInputError&) {
        // Refusing a picture of no size is as good as loading it.
    }
}

TEST_F(ImageInputTest, TheLockKeepsTheRatioRoundingDown) {
    auto input = ImageInput::load(png("wide.png", 600, 300));
    ASSERT_EQ(input->widthToHeightRatio(), 0.5);
    input->setAssetPointWidth(101);
    EXPECT_EQ(input->assetPointHeight(), 50);
    input->setAssetPointHeight(40);
    EXPECT_EQ(input->assetPointWidth(), 80);

    input->setIsAspectRatioLocked(false);
    EXPECT_FALSE(settings.boolFor(UserDefaultsKey::aspectRatioLocked));
    input->setAssetPointWidth(7);
    EXPECT_EQ(input->assetPointHeight(), 40);

    input->setIsAspectRatioLocked(true);
    EXPECT_TRUE(settings.boolFor(UserDefaultsKey::aspectRatioLocked));
    EXPECT_EQ(input->selectedPointSize(), (Size{200, 100}));
}

TEST_F(ImageInputTest, LayerFramesAreResetToThePixelSize) {
    auto input = ImageInput::load(png("layer.png", 300, 150));
    input->setTvOSAppIconlayerFrame(gw::LayerFrame::make(Size{10, 10}, Size{400, 240}));
    input->setTvOSLeaderboardLayerFrame(gw::LayerFrame::make(Size{10, 10}, Size{659, 371}));
    input->updatePointSizeFromImage();
    for (const auto& frame : {input->tvOSAppIconlayerFrame(), input->tvOSLeaderboardLayerFrame()}) {
        EXPECT_EQ(frame->selectedPointSize(), (Size{300, 150}));
        EXPECT_EQ(frame->widthToHeightRatio(), 0.5);
        EXPECT_EQ(frame->heightToWidthRatio(), 2);
    }
}

TEST_F(ImageInputTest, NamesNeverLeaveTheOutputFolder) {
    auto input = ImageInput::make();
    for (const std::string name : {"../../etc/passwd", "a/b", "..", ".", "", "tab\there", "new\nline"}) {
        input->setImageName(name);
        const auto& stored = input->imageName();
        EXPECT_EQ(stored.find('/'), std::string::npos) << name;
        EXPECT_NE(stored, "..");
        EXPECT_NE(stored, ".");
        EXPECT_FALSE(stored.empty());
        for (char c : stored) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << name;
        auto folder = std::filesystem::path("/out") / stored;
        EXPECT_EQ(folder.lexically_normal().parent_path(), "/out") << name;
    }
    input->setImageName("Café Icon");
    EXPECT_EQ(input->imageName(), "Café Icon");

    // A file whose name is nothing but dots.
    gwtest::writePng(dir / "...png", 4, 4);
    auto dots = ImageInput::load(URL::fileURL(dir / "...png", false));
    EXPECT_NE(dots->imageName(), "..");
    EXPECT_NE(dots->imageName(), ".");
}

TEST_F(ImageInputTest, SettingTheNameAnnouncesTheFileNameFlagAroundIt) {
    auto input = ImageInput::make();
    std::vector<std::string> events;
    input->addObserver(
        "imageNameIsFileName",
        [&](const gw::PropertyChange& c) { events.push_back(std::string(c.isPrior ? "will " : "did ") + input->imageName()); },
        true);
    input->addObserver("imageName", [&](const gw::PropertyChange&) { events.push_back("name"); });
    input->setImageName("Next");
    EXPECT_EQ(events, (std::vector<std::string>{"will Image", "name", "did Next"}));

    std::vector<std::string> keys;
    auto token = input->addObserver("", [&](const gw::PropertyChange& c) { keys.emplace_back(c.key); });
    input->setZoom(2);
    input->setScaleType(ScaleType::aspectFit);
    input->removeObserver(token);
    input->setPadding(0.1);
    EXPECT_EQ(keys, (std::vector<std::string>{"zoom", "scaleType"}));
}

TEST_F(ImageInputTest, CornerAndBackgroundColoursAreDecidedOnce) {
    gwtest::writePng(dir / "corner.png",
                     gwtest::makeBitmap(4, 4, [](int x, int y) {
                         return x == 1 && y == 1 ? gwtest::Rgba{255, 0, 0, 255} : gwtest::Rgba{0, 0, 255, 255};
                     }));
    auto input = ImageInput::load(URL::fileURL(dir / "corner.png", false));
    auto corner = input->cornerPixelColor();
    ASSERT_TRUE(corner);
    EXPECT_NEAR(corner->components()[0], 1.0, 0.01);
    EXPECT_NEAR(corner->components()[2], 0.0, 0.01);
    ASSERT_TRUE(input->backgroundColour());
    EXPECT_EQ(*input->backgroundColour(), *corner);

    input->setCornerPixelColor(platform::graphics::Color::white());
    EXPECT_EQ(input->cornerPixelColor(), platform::graphics::Color::white());
    input->setBackgroundColour(std::nullopt);
    EXPECT_EQ(input->backgroundColour(), std::nullopt);

    settings.set(UserDefaultsKey::autoSelectBackgroundColour, false);
    auto plain = ImageInput::load(URL::fileURL(dir / "corner.png", false));
    EXPECT_EQ(plain->backgroundColour(), std::nullopt);
    settings.set(UserDefaultsKey::autoSelectBackgroundColour, true);
    EXPECT_EQ(plain->backgroundColour(), std::nullopt);

    // The empty picture has no corner colour and asks again each time.
    auto empty = ImageInput::make();
    EXPECT_EQ(empty->cornerPixelColor(), std::nullopt);
    EXPECT_EQ(empty->backgroundColour(), std::nullopt);
}

TEST_F(ImageInputTest, HoldersReportPointsPixelsAndAssetPoints) {
    auto input = ImageInput::load(png("holder.png", 90, 60, 144));
    EXPECT_EQ(gw::BareImageHolder(input->image()).size(), (Size{45, 30}));
    EXPECT_EQ(input->imageWrapper()->size(), (Size{90, 60}));
    EXPECT_EQ(input->size(), (Size{30, 20}));
}

using ImageInputDeathTest = ImageInputTest;

TEST_F(ImageInputDeathTest, ADeviceTypeOutsideTheSixStopsTheProcess) {
    auto input = ImageInput::make();
    EXPECT_DEATH(input->setDeviceTypesRawValues({0, 6}), "Unknown device type 6");
}

}  // namespace
