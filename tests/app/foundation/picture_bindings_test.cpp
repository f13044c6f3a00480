// Pictures, layer frames and settings as the panels reach them: through an array
// controller's key paths and the settings controller.
#include "app/foundation/image_input.hpp"
#include "picture_test_support.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/binding.hpp"
#include "platform/appkit/user_defaults_controller.hpp"

#include <gtest/gtest.h>

namespace {

using gw::ImageInput;
using gw::ImageWrapper;
using platform::appkit::ArrayController;
using platform::appkit::Bindings;
using platform::appkit::BoundValue;
using platform::appkit::KeyValue;

class PictureBindingsTest : public ::testing::Test {
protected:
    gwtest::ScopedSettings settings;
    std::shared_ptr<ArrayController> controller = std::make_shared<ArrayController>();

    std::shared_ptr<ImageInput> picture(int w, int h) {
        auto input = ImageInput::make();
        input->setImageWrapper(ImageWrapper::make(gwtest::makeImage(w, h)));
        input->updatePointSizeFromImage();
        input->setTvOSAppIconlayerFrame(gw::LayerFrame::make({double(w), double(h)}, {400, 240}));
        controller->addObject(input);
        return input;
    }
};

TEST_F(PictureBindingsTest, SelectionReadsAgreeingPicturesAndWritesAllOfThem) {
    auto a = picture(30, 20), b = picture(30, 20);
    a->setPadding(0.1);
    b->setPadding(0.2);
    controller->setSelectionIndexes({0, 1});
    EXPECT_TRUE(valueForKeyPath(*controller, "selection.padding").isMultipleValues());
    ASSERT_TRUE(setValueForKeyPath(*controller, "selection.padding", 0.3));
    EXPECT_DOUBLE_EQ(a->padding(), 0.3);
    EXPECT_DOUBLE_EQ(b->padding(), 0.3);
    EXPECT_EQ(valueForKeyPath(*controller, "selection.padding"), KeyValue(0.3));

    // Different pictures: the image is mixed; the same wrapper: it agrees.
    EXPECT_TRUE(valueForKeyPath(*controller, "selection.imageWrapper.image").isMultipleValues());
    b->setImageWrapper(a->imageWrapper());
    EXPECT_EQ(valueForKeyPath(*controller, "selection.imageWrapper.image").image(), a->image());

    controller->setSelectionIndexes({0});
    ASSERT_TRUE(setValueForKeyPath(*controller, "arrangedObjects.zoom", 0.5));
    EXPECT_DOUBLE_EQ(a->zoom(), 0.5);
    EXPECT_DOUBLE_EQ(b->zoom(), 0.5);

    // Kinds and ranges the pictures refuse leave them as they were.
    struct Row {
        const char* key;
        KeyValue value;
        bool stored;
    };
    const Row rows[] = {
        {"selection.padding", KeyValue("abc"), false},
        {"selection.scaleType", KeyValue(std::int64_t{3}), false},
        {"selection.scaleType", KeyValue(std::int64_t{2}), true},
        {"selection.deviceTypesRawValues", KeyValue(KeyValue::IntegerSet{1, 6}), false},
        {"selection.deviceTypesRawValues", KeyValue(KeyValue::IntegerSet{1, 2}), true},
        {"selection.backgroundColour", KeyValue(1.0), false},
        {"selection.backgroundColour", KeyValue(platform::graphics::Color::white()), true},
        {"selection.noSuchKey", KeyValue(1.0), false},
        {"selection.assetPointWidth", KeyValue("64"), true},  // numeric text from a field
    };
    for (const auto& row : rows) {
        EXPECT_EQ(setValueForKeyPath(*controller, row.key, row.value), row.stored) << row.key;
    }
    EXPECT_DOUBLE_EQ(a->assetPointWidth(), 64);
    EXPECT_DOUBLE_EQ(a->padding(), 0.3);
    EXPECT_EQ(a->scaleType(), gw::ScaleType::aspectFit);
    EXPECT_EQ(a->deviceTypesRawValues(), (std::set<std::int64_t>{1, 2}));
    EXPECT_EQ(a->backgroundColour(), platform::graphics::Color::white());
}

TEST_F(PictureBindingsTest, BindingFollowsSelectionDeviceTypesAndLayerFrames) {
    auto a = picture(40, 40), b = picture(80, 40);
    controller->setSelectionIndexes({0});
    Bindings bindings;
    std::vector<KeyValue> devices, widths;
    bindings.bind("value", controller, "selection.deviceTypesRawValues", {},
                  [&](const BoundValue& v) { devices.push_back(v.value); });
    bindings.bind("width", controller, "selection.tvOSAppIconlayerFrame.width", {},
                  [&](const BoundValue& v) { widths.push_back(v.value); });
    ASSERT_TRUE(a->tvOSAppIconlayerFrame());
    EXPECT_EQ(widths.back(), KeyValue(a->tvOSAppIconlayerFrame()->width()));

    a->setDeviceTypesRawValues({2});  // announced under the raw-value key too
    EXPECT_EQ(devices.back(), KeyValue(KeyValue::IntegerSet{2}));
    controller->setSelectionIndexes({0, 1});
    EXPECT_TRUE(devices.back().isMultipleValues());

    controller->setSelectionIndexes({1});
    a->tvOSAppIconlayerFrame()->setWidth(7);  // no longer selected: not shown
    EXPECT_EQ(widths.back(), KeyValue(b->tvOSAppIconlayerFrame()->width()));
    ASSERT_TRUE(bindings.write("width", KeyValue("3.5")));
    EXPECT_DOUBLE_EQ(b->tvOSAppIconlayerFrame()->width(), 3.5);
    EXPECT_EQ(widths.back(), KeyValue(3.5));

    // A new frame object replaces the old one on the path.
    auto oldFrame = b->tvOSAppIconlayerFrame();
    b->setTvOSAppIconlayerFrame(gw::LayerFrame::make({10, 10}, {400, 240}));
    EXPECT_EQ(oldFrame->observerCount(), 0u);
    EXPECT_EQ(widths.back(), KeyValue(10.0));
}

TEST_F(PictureBindingsTest, SettingsValuesReadWriteAndNotify) {
    auto settingsController = platform::appkit::UserDefaultsController::shared();
    std::vector<KeyValue> shown;
    {
        Bindings bindings;
        bindings.bind("selectedIndex", settingsController, "values.DeviceColor", {},
                      [&](const BoundValue& v) { shown.push_back(v.value); });
        EXPECT_EQ(shown.back(), KeyValue(std::int64_t{0}));
        settings.defaults().setInteger(1, "DeviceColor");
        EXPECT_EQ(shown.back(), KeyValue(std::int64_t{1}));
        ASSERT_TRUE(bindings.write("selectedIndex", std::int64_t{0}));
        EXPECT_EQ(settings.defaults().integerForKey("DeviceColor"), 0);
    }
    const auto count = shown.size();
    settings.defaults().setInteger(1, "DeviceColor");
    EXPECT_EQ(shown.size(), count);
}

}  // namespace
