// The launch-image preview panel with the real engine, real pictures and real renders
// on the panel's queue, on the offscreen platform.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "app/ui/splash_preview_view_controller.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/graphics/bitmap.hpp"
#include "support/gui/gui_harness.hpp"
#include "ui_test_support.hpp"

#include <QTest>
#include <gtest/gtest.h>

#include <cstring>

namespace {

using gw::CollectionType;
using gw::ImageInput;
using gw::SplashPreviewViewController;
namespace pg = platform::graphics;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;

constexpr std::uint32_t red = 0xFFFF0000u;

// A 2:1 red picture whose four corner pixels are transparent.
std::shared_ptr<ImageInput> cornerCutPicture(std::uint32_t colour = red) {
    const int w = 200, h = 100;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool corner = (x < 2 || x >= w - 2) && (y < 2 || y >= h - 2);
            const std::uint32_t argb = corner ? 0u : colour;
            std::memcpy(&pixels[(static_cast<std::size_t>(y) * w + x) * 4], &argb, 4);
        }
    }
    auto input = ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(
        pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(w, h, w * 4, std::move(pixels), true)))));
    input->setBackgroundColour(std::nullopt);
    return input;
}

std::uint32_t pixelOf(const pg::ImagePtr& image, double fx, double fy) {
    const int w = static_cast<int>(image->size().width), h = static_cast<int>(image->size().height);
    auto bitmap = image->renderBitmap(w, h);
    return bitmap->pixelAt(std::min(w - 1, static_cast<int>(fx * w)), std::min(h - 1, static_cast<int>(fy * h)));
}

class SplashPreviewsTest : public ::testing::Test {
protected:
    void SetUp() override {
        pf::UserDefaults::resetStandard();
        pf::UserDefaults::standard().registerDefaults(gw::registeredDefaults());
        pf::UserDefaults::standard().setInteger(0, "DeviceColor");
        engine = gw::Glyphwright::make();
        engine->setImageInputCollectionType(CollectionType::variants);
        panel.reset(SplashPreviewViewController::makeWithInterface(engine));
    }
    void TearDown() override {
        panel.reset();
        platform::dispatch::MainLoop::drain();
    }

    void add(const std::shared_ptr<ImageInput>& picture) { engine->insert(picture); }
    // Waits for the render asked for last to reach the screens.
    void settle(std::size_t applied) {
        ASSERT_TRUE(gwtest::gui::waitFor([&] { return panel->appliedPreviewCount() >= applied; }));
        panel->waitForPendingRenders();
        platform::dispatch::MainLoop::drain();
    }
    pg::ImagePtr screen(int index) const { return panel->screenImageViews()[static_cast<std::size_t>(index)]->image(); }

    std::shared_ptr<gw::Glyphwright> engine;
    std::unique_ptr<SplashPreviewViewController> panel;
};

TEST_F(SplashPreviewsTest, RendersFiveScreensWithFitFillBackgroundAndStretch) {
    EXPECT_DOUBLE_EQ(panel->zoomSlider()->minValue(), 0.01);
    const auto sizes = panel->screenSizes();
    ASSERT_EQ(sizes.size(), 5u);
    EXPECT_EQ(sizes[3], (pg::Size{192, 256}));  // the vertical iPad before the horizontal one
    EXPECT_EQ(sizes[4], (pg::Size{256, 192}));

    panel->show();
    EXPECT_FALSE(panel->colorWell()->isEnabled());  // nothing selected yet
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(screen(i));
    auto picture = cornerCutPicture();
    add(picture);
    QTest::mouseClick(panel->scaleTypeSegmentedControl()->segmentButton(2), Qt::LeftButton);  // aspect fit
    settle(panel->appliedPreviewCount() + 1);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(screen(i)) << i;
        EXPECT_EQ(screen(i)->size(), sizes[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_EQ(pixelOf(screen(3), 0.5, 0.5), red);
    EXPECT_EQ(pixelOf(screen(3), 0.5, 0.05) >> 24, 0u);  // the band above the picture
    EXPECT_TRUE(panel->colorWell()->isEnabled());

    // A colour chosen in the well goes to every picture and fills the bands.
    const auto before = panel->appliedPreviewCount();
    panel->colorWell()->userChoseColor(pg::Color::rgb(0, 0, 1));
    settle(before + 1);
    ASSERT_TRUE(picture->backgroundColour());
    EXPECT_EQ(pixelOf(screen(3), 0.5, 0.05), 0xFF0000FFu);
    EXPECT_EQ(panel->colorWell()->color(), pg::Color::rgb(0, 0, 1));

    // Stretch: the picture covers the whole screen.
    QTest::mouseClick(panel->scaleTypeSegmentedControl()->segmentButton(0), Qt::LeftButton);
    settle(before + 2);
    EXPECT_EQ(pixelOf(screen(3), 0.5, 0.05), red);
    EXPECT_EQ(pixelOf(screen(0), 0.5, 0.02), red);
}

TEST_F(SplashPreviewsTest, BatchPlaceholderFramesAndZoom) {
    auto first = cornerCutPicture(), second = cornerCutPicture(0xFF00FF00u);
    add(first);
    add(second);
    panel->show();
    engine->setImageInputCollectionType(CollectionType::batch);
    settle(panel->appliedPreviewCount() + 1);
    ASSERT_TRUE(screen(0));
    EXPECT_NE(pixelOf(screen(0), 0.5, 0.5), red);  // the placeholder drawing, not a picture
    EXPECT_EQ(panel->colorWell()->color(), pg::Color::clear());

    // The frame colour follows "DeviceColor".
    EXPECT_EQ(panel->iPhone4Background()->image(), qt::bundleImage("iPhone_4S_black"));
    EXPECT_EQ(panel->iPhone6Background()->image(), qt::bundleImage("iPhone_6_Plus_Horz_SpaceGray"));
    QTest::mouseClick(panel->deviceBlackWhiteSegmentedControl()->segmentButton(1), Qt::LeftButton);
    EXPECT_EQ(pf::UserDefaults::standard().integerForKey("DeviceColor"), 1);
    EXPECT_EQ(panel->iPhone4Background()->image(), qt::bundleImage("iPhone_4S_white"));
    EXPECT_EQ(panel->iPhone6Background()->image(), qt::bundleImage("iPhone_6_Plus_Horz_Slvr"));
    EXPECT_EQ(panel->iPadVerticalBackground()->image(), qt::bundleImage("iPad_mini_Vert_white"));
    ASSERT_TRUE(panel->iPadHorizontalBackground()->image());

    // The zoom slider writes every picture of the engine, never below 0.01; reset gives 1.
    engine->collectionViewArrayController()->setSelectionIndexes({0});
    panel->zoomSlider()->userSetDoubleValue(0);
    for (const auto& p : {first, second}) EXPECT_FLOAT_EQ(static_cast<float>(p->zoom()), 0.01f);
    panel->zoomSlider()->userSetDoubleValue(2.5);
    for (const auto& p : {first, second}) EXPECT_FLOAT_EQ(static_cast<float>(p->zoom()), 2.5f);
    QTest::mouseClick(panel->resetZoomButton(), Qt::LeftButton);
    for (const auto& p : {first, second}) EXPECT_DOUBLE_EQ(p->zoom(), 1.0);
}

TEST_F(SplashPreviewsTest, OnlyTheLatestRequestReachesTheScreens) {
    add(cornerCutPicture());
    panel->show();
    settle(1);
    auto* segments = panel->scaleTypeSegmentedControl();
    const auto applied = panel->appliedPreviewCount();
    for (int i = 0; i < 10; ++i) QTest::mouseClick(segments->segmentButton((i + 2) % 3), Qt::LeftButton);  // ends on fit
    settle(applied + 1);
    EXPECT_EQ(panel->appliedPreviewCount(), applied + 1);
    EXPECT_EQ(pixelOf(screen(3), 0.5, 0.05) >> 24, 0u);  // the last one asked for: aspect fit

    // An invalid segment empties the queue and renders nothing.
    const auto requests = panel->previewRequestCount();
    segments->setSelectedSegment(-1);
    panel->scaleTypeChanged();
    EXPECT_EQ(panel->previewRequestCount(), requests);

    // A render finished just before the selection is emptied never repaints.
    segments->setSelectedSegment(0);
    panel->updatePreviews();
    panel->waitForPendingRenders();  // rendered; its result waits on the main queue
    engine->collectionViewArrayController()->removeAllObjects();
    platform::dispatch::MainLoop::drain();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(screen(i)) << i;
    EXPECT_EQ(panel->appliedPreviewCount(), applied + 1);
    EXPECT_FALSE(panel->colorWell()->isEnabled());
}

TEST_F(SplashPreviewsTest, CornerColoursAndInsertedPicturesTakeTheirNeighboursSettings) {
    auto first = cornerCutPicture(), second = cornerCutPicture(0xFF00FF00u);
    second->setCornerPixelColor(pg::Color::rgb(0, 1, 0));
    first->setCornerPixelColor(pg::Color::rgb(1, 0, 0));
    add(first);
    add(second);
    panel->show();
    settle(1);

    // Ticking the box gives each picture its own corner colour; they differ, so the
    // well shows the clear colour. Choosing a colour unticks the box.
    QTest::mouseClick(panel->autoSelectColorCheckbox(), Qt::LeftButton);
    ASSERT_TRUE(panel->autoSelectColorCheckbox()->isChecked());
    EXPECT_EQ(first->backgroundColour(), pg::Color::rgb(1, 0, 0));
    EXPECT_EQ(second->backgroundColour(), pg::Color::rgb(0, 1, 0));
    EXPECT_EQ(panel->colorWell()->color(), pg::Color::clear());
    panel->colorWell()->userChoseColor(pg::Color::rgb(0, 0, 1));
    EXPECT_FALSE(panel->autoSelectColorCheckbox()->isChecked());
    EXPECT_EQ(second->backgroundColour(), pg::Color::rgb(0, 0, 1));
    EXPECT_EQ(panel->colorWell()->color(), pg::Color::rgb(0, 0, 1));

    // Variants: a new picture takes the zoom, scale type and colour of a selected one.
    first->setZoom(1.5);
    first->setScaleType(gw::ScaleType::aspectFit);
    auto third = cornerCutPicture(0xFF0000FFu);
    panel->glyphwrightShowEditingPanel(third);
    EXPECT_DOUBLE_EQ(third->zoom(), 1.5);
    EXPECT_EQ(third->scaleType(), gw::ScaleType::aspectFit);
    EXPECT_EQ(third->backgroundColour(), pg::Color::rgb(0, 0, 1));

    // Single: every selected picture back to zoom 1 and stretch.
    engine->setImageInputCollectionType(CollectionType::single);
    panel->glyphwrightShowEditingPanel(first);
    EXPECT_DOUBLE_EQ(first->zoom(), 1.0);
    EXPECT_EQ(first->scaleType(), gw::ScaleType::stretch);
}

TEST_F(SplashPreviewsTest, HiddenPanelRendersNothingAndAClosedOneIsNeverCalled) {
    add(cornerCutPicture());
    add(cornerCutPicture(0xFF00FF00u));
    EXPECT_EQ(panel->previewRequestCount(), 0u);  // never shown
    panel->show();
    EXPECT_EQ(panel->previewRequestCount(), 1u);  // shown: once
    settle(1);
    panel->hide();
    add(cornerCutPicture(0xFF0000FFu));
    engine->setImageInputCollectionType(CollectionType::single);
    EXPECT_EQ(panel->previewRequestCount(), 1u);

    // Gone while a render is under way: its result, the pictures' changes and the
    // engine's notices reach nothing.
    panel->show();
    panel->updatePreviews();
    panel.reset();
    platform::dispatch::MainLoop::drain();
    add(cornerCutPicture(0xFF123456u));
    engine->setImageInputCollectionType(CollectionType::variants);
    engine->collectionViewArrayController()->removeAllObjects();
    platform::dispatch::MainLoop::drain();
}

// The panel fits a screen of 1024 x 768, every control says what it is (a label beside
// it, a tooltip and an accessible name), and the zoom reads as a percentage.
TEST_F(SplashPreviewsTest, ThePanelFitsSmallScreensAndEveryControlSaysWhatItIs) {
    const QSize wanted = panel->sizeHint().expandedTo(panel->minimumSizeHint());
    EXPECT_LE(wanted.width(), 1024);
    EXPECT_LE(wanted.height(), 768 - 60);  // room for the title bar and a panel of the desktop

    const std::pair<QWidget*, const char*> rows[] = {{panel->scaleTypeSegmentedControl(), "Scale"},
                                                     {panel->deviceBlackWhiteSegmentedControl(), "Devices"},
                                                     {panel->colorWell(), "Background"},
                                                     {panel->zoomSlider(), "Zoom"}};
    for (const auto& [control, name] : rows) gwtest::ui::expectLabelled(*panel, control, name);
    for (auto* control : std::initializer_list<QWidget*>{panel->autoSelectColorCheckbox(), panel->resetZoomButton(),
                                                         panel->zoomAmountTextField()}) {
        EXPECT_FALSE(control->accessibleName().isEmpty());
        EXPECT_FALSE(control->toolTip().isEmpty());
    }
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(panel->scaleTypeSegmentedControl()->toolTip(i).empty());

    auto picture = cornerCutPicture();
    add(picture);
    panel->show();
    picture->setZoom(1.5);
    EXPECT_EQ(panel->zoomAmountTextField()->text(), "150%");
}

}  // namespace
