// The asset-size panel on real pictures loaded from PNG files and the bundle's manifest.
#include "app/foundation/image_input.hpp"
#include "app/ui/asset_size_view.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"
#include "ui_test_support.hpp"

#include <QAbstractButton>
#include <QTest>
#include <gtest/gtest.h>


namespace {

using gw::AssetSizeView;
using gw::ImageInput;
using gw::OLVPresetSize;
using gw::OLVPresetSizesArrayController;
using platform::appkit::ArrayController;
namespace pf = platform::foundation;

class AssetSizePanelTest : public ::testing::Test {
protected:
    gwtest::TempDir dir;
    std::shared_ptr<ArrayController> pictures = std::make_shared<ArrayController>();
    std::vector<std::shared_ptr<ImageInput>> inputs;

    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            auto path = gwtest::ui::writeSolidPng(dir / ("p" + std::to_string(i) + ".png"), 90, 60, 0x102030u * (i + 1));
            auto input = ImageInput::load(pf::URL::fileURL(path, false));
            inputs.push_back(input);
            pictures->addObject(input);
        }
        pictures->setSelectionIndexes({0, 1});
    }

    int presetIndex(const OLVPresetSizesArrayController& presets, float w, float h) {
        auto arranged = presets.arrangedObjects();
        for (std::size_t i = 0; i < arranged.size(); ++i) {
            auto p = arranged[i].as<OLVPresetSize>();
            if (p && p->width == w && p->height == h) return static_cast<int>(i);
        }
        return -1;
    }
};

TEST_F(AssetSizePanelTest, PresetsSetTheSelectedPicturesAndFollowTypedSizes) {
    auto presets = std::make_shared<OLVPresetSizesArrayController>();  // the bundle's manifest
    ASSERT_GT(presets->count(), 1u);
    EXPECT_TRUE(presets->arrangedObjects().front().as<gw::OLVNoPresetSize>());
    std::unique_ptr<AssetSizeView> view(AssetSizeView::makeWithInterface(pictures, presets));
    auto* popUp = view->presetPopUp();
    EXPECT_EQ(popUp->numberOfItems(), static_cast<int>(presets->count()));

    const int preset = presetIndex(*presets, 1024, 768);
    ASSERT_GT(preset, 0);
    EXPECT_EQ(popUp->itemTitleAt(preset).find("(1024x768)") != std::string::npos, true);
    popUp->setCurrentIndex(preset);
    emit popUp->activated(preset);  // the user's choice
    for (int i : {0, 1}) {
        EXPECT_DOUBLE_EQ(inputs[i]->assetPointWidth(), 1024);
        EXPECT_DOUBLE_EQ(inputs[i]->assetPointHeight(), 768);
        EXPECT_FALSE(inputs[i]->isAspectRatioLocked());
    }
    EXPECT_NE(inputs[2]->assetPointWidth(), 1024);
    EXPECT_EQ(popUp->indexOfSelectedItem(), preset);
    EXPECT_EQ(view->widthField()->text(), "1024");

    // Typing a size: a preset of that size is selected, any other size the no-preset entry.
    const int square = presetIndex(*presets, 60, 60);
    ASSERT_GT(square, 0);
    for (auto* field : {view->widthField(), view->heightField()}) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, "60");
        QTest::keyClick(field, Qt::Key_Return);
    }
    EXPECT_DOUBLE_EQ(inputs[0]->assetPointHeight(), 60);
    EXPECT_EQ(popUp->indexOfSelectedItem(), square);
    view->widthField()->selectAll();
    QTest::keyClicks(view->widthField(), "61");
    QTest::keyClick(view->widthField(), Qt::Key_Return);
    EXPECT_EQ(popUp->indexOfSelectedItem(), 0);

    // The no-preset entry changes nothing.
    popUp->setCurrentIndex(0);
    emit popUp->activated(0);
    EXPECT_DOUBLE_EQ(inputs[0]->assetPointWidth(), 61);
}

TEST_F(AssetSizePanelTest, ManifestPresetListsOfEveryShape) {
    struct Row {
        const char* label;
        pf::Dictionary root;
        std::vector<std::string> titles;
    };
    // A preset of the entries given (a missing one stays missing).
    auto preset = [](pf::Dictionary entries) { return pf::Value(std::move(entries)); };
    const Row rows[] = {
        {"no list", {}, {"Custom"}},
        {"not a list", {{"assetSizePresets", pf::Value("presets")}}, {"Custom"}},
        {"odd entries",
         {{"assetSizePresets",
           pf::Value(pf::Array{preset({{"name", pf::Value("Banner")}, {"width", 320}, {"height", 50}}),
                               preset({{"width", 64}, {"height", 32}}),
                               preset({{"name", pf::Value("Tall")}, {"height", pf::Value("90")}}),
                               preset({{"name", pf::Value("iPad Pro")}, {"width", 83.5}, {"height", 83.5}})})}},
         {"Custom", "Banner (320x50)", "64x32", "Tall (0x90)", "iPad Pro (83.5x83.5)"}},
    };
    for (const auto& row : rows) {
        OLVPresetSizesArrayController presets{gw::ConfigFile(row.root)};
        EXPECT_EQ(presets.titles(), row.titles) << row.label;
    }

    // Two presets of one size: the later is chosen; a chosen one of that size stays.
    OLVPresetSizesArrayController twins{gw::ConfigFile(pf::Dictionary{
        {"assetSizePresets", pf::Value(pf::Array{preset({{"name", pf::Value("A")}, {"width", 50}, {"height", 50}}),
                                                 preset({{"name", pf::Value("B")}, {"width", 50}, {"height", 50}}),
                                                 preset({{"name", pf::Value("C")}, {"width", 10}, {"height", 10}})})}})};
    twins.updateSelectionWithWidth(50, 50);
    EXPECT_EQ(twins.selectionIndexes(), (std::set<std::size_t>{2}));
    twins.setSelectionIndexes({1});
    twins.updateSelectionWithWidth(50, 50);
    EXPECT_EQ(twins.selectionIndexes(), (std::set<std::size_t>{1}));
    twins.updateSelectionWithWidth(10, 11);
    EXPECT_EQ(twins.selectionIndexes(), (std::set<std::size_t>{0}));
}

TEST_F(AssetSizePanelTest, DeviceTypesPaddingAndPreview) {
    auto presets = std::make_shared<OLVPresetSizesArrayController>();
    std::unique_ptr<AssetSizeView> view(AssetSizeView::makeWithInterface(pictures, presets));
    view->resize(300, 420);
    view->show();
    auto* devices = view->deviceTypeSegmentedControl();

    EXPECT_EQ(devices->selectedSegment(), 0);  // both universal
    inputs[0]->setDeviceTypesRawValues({1});
    inputs[1]->setDeviceTypesRawValues({2});
    pictures->setSelectionIndexes({0});
    EXPECT_TRUE(devices->isSelectedForSegment(1));
    EXPECT_FALSE(devices->isSelectedForSegment(0));
    pictures->setSelectionIndexes({0, 1});
    EXPECT_EQ(devices->selectedSegment(), -1);  // the pictures disagree
    QTest::mouseClick(devices->segmentButton(1), Qt::LeftButton);
    QTest::mouseClick(devices->segmentButton(3), Qt::LeftButton);
    for (int i : {0, 1}) EXPECT_EQ(inputs[i]->deviceTypesRawValues(), (std::set<std::int64_t>{1, 3}));
    EXPECT_TRUE(devices->isSelectedForSegment(1));
    EXPECT_TRUE(devices->isSelectedForSegment(3));
    QTest::mouseClick(devices->segmentButton(1), Qt::LeftButton);
    QTest::mouseClick(devices->segmentButton(3), Qt::LeftButton);
    for (int i : {0, 1}) EXPECT_TRUE(inputs[i]->deviceTypesRawValues().empty());

    auto* stepper = view->paddingStepper();
    auto* slider = view->paddingSlider();
    EXPECT_DOUBLE_EQ(stepper->increment(), 0.01);
    inputs[0]->setPadding(0.97);
    inputs[1]->setPadding(0.97);
    QTest::mouseClick(stepper->upButton(), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(inputs[0]->padding(), 0.98);
    for (int i = 0; i < 3; ++i) QTest::mouseClick(stepper->upButton(), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(inputs[1]->padding(), 0.99);
    slider->userSetDoubleValue(1.5);
    EXPECT_DOUBLE_EQ(inputs[0]->padding(), 0.99);

    // Different pictures: the placeholder in a square; padding 0.2: the picture 80 % of
    // the frame, centred.
    auto* preview = view->paddedImageView();
    EXPECT_EQ(preview->image(), platform::appkit::qt::bundleImage("Multiple Images"));
    inputs[0]->setAssetPointWidth(50);
    preview->resize(202, 202);
    EXPECT_EQ(preview->outputRect(), QRect(1, 1, 200, 200));
    pictures->setSelectionIndexes({2});
    EXPECT_EQ(preview->image(), inputs[2]->image());
    inputs[2]->setIsAspectRatioLocked(false);
    inputs[2]->setAssetPointWidth(200);
    inputs[2]->setAssetPointHeight(200);
    inputs[2]->setPadding(0.2);
    EXPECT_EQ(preview->innerImageView().geometry(), QRect(21, 21, 160, 160));
    for (double bad : {-0.5, 1.7}) {
        inputs[2]->setPadding(bad);  // a saved state may hold one
        const QRect clamped = preview->innerImageView().geometry();
        EXPECT_GE(clamped.width(), 0);
        EXPECT_LE(clamped.width(), 200);
        EXPECT_EQ(clamped.width(), clamped.height());
    }

    // The panel goes away; the pictures change on without it.
    view.reset();
    EXPECT_EQ(pictures->observerCount(), 0u);
    EXPECT_EQ(inputs[2]->observerCount(), 0u);
    inputs[2]->setPadding(0.1);
    pictures->setSelectionIndexes({0, 1, 2});
}

// What the panel shows is the picture as it will be written, whole, whatever shape the
// panel is given: the frame takes the asset's proportions and fits inside the preview.
TEST_F(AssetSizePanelTest, ThePreviewShowsTheWholeWrittenPictureAtAnyPanelShape) {
    struct Row {
        const char* label;
        QSize preview;
        double width, height, padding;
        QRect frame, picture;
    };
    const Row rows[] = {
        {"wide asset, wide strip", {402, 122}, 400, 240, 0, {101, 1, 200, 120}, {101, 1, 200, 120}},
        {"wide asset, tall preview", {162, 402}, 400, 240, 0.5, {1, 153, 160, 96}, {41, 177, 80, 48}},
        {"square asset, wide strip", {302, 122}, 64, 64, 0.1, {91, 1, 120, 120}, {97, 7, 108, 108}},
        {"tall asset, square preview", {202, 202}, 50, 100, 0, {51, 1, 100, 200}, {51, 1, 100, 200}},
    };
    auto presets = std::make_shared<OLVPresetSizesArrayController>();
    std::unique_ptr<AssetSizeView> view(AssetSizeView::makeWithInterface(pictures, presets));
    pictures->setSelectionIndexes({0});
    auto* preview = view->paddedImageView();
    inputs[0]->setIsAspectRatioLocked(false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        preview->resize(row.preview);
        inputs[0]->setAssetPointWidth(row.width);
        inputs[0]->setAssetPointHeight(row.height);
        inputs[0]->setPadding(row.padding);
        const QRect frame = preview->outputRect();
        EXPECT_EQ(frame, row.frame);
        EXPECT_TRUE(preview->rect().contains(frame));
        EXPECT_EQ(preview->innerImageView().geometry(), row.picture);
        // Stretched over its share of the frame, as the writer draws it.
        EXPECT_EQ(preview->innerImageView().imageRect(), preview->innerImageView().rect());
    }
}

// Every control of the panel says what it is: a label beside it, a tooltip and an
// accessible name; the tvOS preset shows its size as "400" by "240".
TEST_F(AssetSizePanelTest, EveryControlIsLabelledAndPresetSizesReadAsWholeNumbers) {
    auto presets = std::make_shared<OLVPresetSizesArrayController>();
    std::unique_ptr<AssetSizeView> view(AssetSizeView::makeWithInterface(pictures, presets));
    pictures->setSelectionIndexes({0});
    view->show();

    const std::pair<QWidget*, const char*> rows[] = {{view->presetPopUp(), "Preset"},
                                                     {view->widthField(), "Width"},
                                                     {view->heightField(), "Height"},
                                                     {view->deviceTypeSegmentedControl(), "Devices"},
                                                     {view->paddingSlider(), "Padding"}};
    for (const auto& [control, name] : rows) gwtest::ui::expectLabelled(*view, control, name);
    EXPECT_EQ(view->paddingStepper()->upButton()->accessibleName(), "Increase Padding");
    // No button of the panel is blank: each shows a text or has a name.
    for (auto* button : view->findChildren<QAbstractButton*>()) {
        const bool named = !button->text().isEmpty() || !button->accessibleName().isEmpty();
        EXPECT_TRUE(named) << button->metaObject()->className();
    }

    int tvOS = -1;
    for (int i = 0; i < view->presetPopUp()->numberOfItems(); ++i)
        if (view->presetPopUp()->itemTitleAt(i) == "tvOS App Icon (400x240)") tvOS = i;
    ASSERT_GT(tvOS, 0);
    view->presetPopUp()->setCurrentIndex(tvOS);
    emit view->presetPopUp()->activated(tvOS);
    EXPECT_EQ(view->widthField()->text(), "400");
    EXPECT_EQ(view->heightField()->text(), "240");
    // A third of a point shows to a hundredth; the picture keeps its exact size.
    inputs[0]->setAssetPointWidth(1024.0 / 3);
    EXPECT_EQ(view->widthField()->text(), "341.33");
    EXPECT_DOUBLE_EQ(inputs[0]->assetPointWidth(), 1024.0 / 3);
}

}  // namespace
