// The asset-size panel on real pictures loaded from PNG files and the bundle's manifest.
#include "app/foundation/image_input.hpp"
#include "app/ui/asset_size_view.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"
#include "ui_test_support.hpp"

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
    auto preset = [](std::optional<std::string> name, std::optional<pf::Value> w, std::optional<pf::Value> h) {
        pf::Dictionary d;
        if (name) d["name"] = *name;
        if (w) d["width"] = *w;
        if (h) d["height"] = *h;
        return pf::Value(d);
    };
    const Row rows[] = {
        {"no list", {}, {"Custom"}},
        {"not a list", {{"assetSizePresets", pf::Value("presets")}}, {"Custom"}},
        {"odd entries",
         {{"assetSizePresets", pf::Value(pf::Array{preset("Banner", 320, 50), preset(std::nullopt, 64, 32),
                                                  preset("Tall", std::nullopt, pf::Value("90"))})}},
         {"Custom", "Banner (320x50)", "64x32", "Tall (0x90)"}},
    };
    for (const auto& row : rows) {
        OLVPresetSizesArrayController presets{gw::ConfigFile(row.root)};
        EXPECT_EQ(presets.titles(), row.titles) << row.label;
    }

    // Two presets of one size: the later is chosen; a chosen one of that size stays.
    OLVPresetSizesArrayController twins{gw::ConfigFile(pf::Dictionary{
        {"assetSizePresets", pf::Value(pf::Array{preset("A", 50, 50), preset("B", 50, 50), preset("C", 10, 10)})}})};
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

    // Different pictures: the placeholder; padding 0.2: a centred square 80 % wide.
    auto* preview = view->paddedImageView();
    EXPECT_EQ(preview->image(), platform::appkit::qt::bundleImage("Multiple Images"));
    pictures->setSelectionIndexes({2});
    EXPECT_EQ(preview->image(), inputs[2]->image());
    inputs[2]->setPadding(0.2);
    preview->resize(200, 200);
    const QRect inner = preview->innerImageView().geometry();
    EXPECT_EQ(inner, QRect(20, 20, 160, 160));
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

}  // namespace
