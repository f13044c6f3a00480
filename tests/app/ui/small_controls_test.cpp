// The interface's value transformers and small views, on the offscreen platform.
#include "app/foundation/image_input.hpp"
#include "app/ui/small_controls.hpp"
#include "app/ui/value_transformers.hpp"
#include "platform/appkit/property_observable.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/qt/small_controls.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/clock.hpp"
#include "support/gui/gui_harness.hpp"
#include "ui_test_support.hpp"

#include <QKeyEvent>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using platform::appkit::KeyValue;
using platform::appkit::ValueTransformer;
using platform::graphics::Color;
namespace pf = platform::foundation;

KeyValue transform(std::string_view name, const KeyValue& value) {
    auto transformer = ValueTransformer::valueTransformerForName(name);
    EXPECT_TRUE(transformer) << name;
    return transformer ? transformer->transformedValue(value) : KeyValue();
}

TEST(ValueTransformers, EveryRuleAndEdge) {
    gw::registerInterfaceValueTransformers();
    gw::registerValueTransformer<gw::BoolToBlackAndWhiteTransformer>();
    gw::registerValueTransformer<gw::NonEmptyArrayTransformer>();
    const auto picture = gwtest::ui::solidImage(300, 200, 0x336699);
    struct Row {
        std::string_view transformer;
        KeyValue input;
        KeyValue expected;
    };
    const Row rows[] = {
        {"OLVFloatToPercentageStringTransformer", 0.5, "50%"},
        {"OLVFloatToPercentageStringTransformer", 0.53, "53%"},  // 52.999996 as a bare float product
        {"OLVFloatToPercentageStringTransformer", 0.59, "59%"},
        {"OLVFloatToPercentageStringTransformer", 0.999, "99%"},
        {"OLVFloatToPercentageStringTransformer", -0.5, "-50%"},
        {"OLVFloatToPercentageStringTransformer", KeyValue(), "0%"},
        {"OLVZoomAtDefaultTransformer", 1.0, std::int64_t{0}},
        {"OLVZoomAtDefaultTransformer", 1.0001, std::int64_t{1}},
        {"OLVZoomAtDefaultTransformer", 1.00000001, std::int64_t{0}},  // 1 as a 32-bit float
        {"OLVBoolToBlackAndWhiteTransformer", true, Color::white()},
        {"OLVBoolToBlackAndWhiteTransformer", KeyValue(), gw::controlTextColor()},
        {"OLVBoolToBlackAndWhiteTransformer", std::int64_t{1}, Color::white()},
        {"BoolToBlackAndWhiteTransformer", true, Color::white()},
        {"BoolToBlackAndWhiteTransformer", false, gw::controlTextColor()},
        {"BoolToBlackAndWhiteTransformer", std::int64_t{1}, KeyValue()},
        {"BoolToBlackAndWhiteTransformer", KeyValue(), KeyValue()},
        {"NonEmptyArrayTransformer", std::int64_t{3}, true},
        {"NonEmptyArrayTransformer", std::int64_t{0}, false},
        {"NonEmptyArrayTransformer", std::int64_t{-2}, false},
        {"NonEmptyArrayTransformer", KeyValue(), KeyValue()},
        {"NonEmptyArrayTransformer", "3", KeyValue()},
        {"OLVImageSizeToLabelTextTransformer", KeyValue(), "Input image's dimensions: (no image yet)"},
        {"OLVImageSizeToLabelTextTransformer", picture, "Input image's dimensions: 300 x 200"},
        {"OLVImageWithMultipleValuesPlaceholder", picture, picture},
        {"OLVImageWithMultipleValuesPlaceholder", KeyValue::noSelection(), KeyValue::noSelection()},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(transform(row.transformer, row.input), row.expected)
            << row.transformer << " of " << row.input.stringValue();
    }
    auto placeholder = transform("OLVImageWithMultipleValuesPlaceholder", KeyValue::multipleValues()).image();
    ASSERT_TRUE(placeholder);
    EXPECT_EQ(placeholder, platform::appkit::qt::bundleImage("Multiple Images"));
}

class ManualClockTest : public ::testing::Test {
protected:
    void SetUp() override { pf::Clock::setCurrent(clock); }
    void TearDown() override { pf::Clock::setCurrent(nullptr); }
    void tick() {
        clock->advanceSeconds(0.5);
        platform::dispatch::MainLoop::drain();
    }
    std::shared_ptr<pf::ManualClock> clock = std::make_shared<pf::ManualClock>();
};

TEST_F(ManualClockTest, DotsCycleEveryHalfSecondAndEndWithTheLabel) {
    auto label = std::make_unique<gw::OLVTextFieldAnimatingDots>();
    label->setText("Text");
    label->setIsAnimating(true);
    label->setIsAnimating(true);  // one timer only
    std::vector<QString> seen;
    for (int i = 0; i < 6; ++i) {
        tick();
        seen.push_back(label->text());
    }
    EXPECT_EQ(seen, (std::vector<QString>{"Text.", "Text..", "Text...", "Text....", "Text", "Text."}));
    tick();
    tick();
    label->setIsAnimating(false);
    EXPECT_EQ(label->text(), "Text");
    EXPECT_FALSE(label->hasTimer());
    tick();
    EXPECT_EQ(label->text(), "Text");

    label->setText("..Saving...");
    label->stopAnimation();
    EXPECT_EQ(label->text(), "Saving");

    // Destroyed while animating: later firings reach nothing.
    label->setIsAnimating(true);
    tick();
    label.reset();
    tick();
    tick();
}

TEST(SmallViews, ArrowsStepTheBoundNumberOnlyWhileEditing) {
    auto frame = gw::LayerFrame::make({10, 10}, {400, 240});
    frame->setIsAspectRatioLocked(false);
    frame->setWidth(2.5);
    QWidget window;
    auto* field = new gw::ArrowIncrementingTextField(&window);
    auto* other = new QLineEdit(&window);
    ASSERT_TRUE(platform::appkit::qt::bind(*field, "value", frame, "width"));
    EXPECT_EQ(field->text(), "2.5");
    window.show();
    QApplication::setActiveWindow(&window);
    field->setFocus();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return field->hasFocus(); }));
    QTest::keyClick(field, Qt::Key_Up);
    EXPECT_EQ(field->text(), "3.5");
    EXPECT_DOUBLE_EQ(frame->width(), 3.5);
    QTest::keyClick(field, Qt::Key_Down);
    QTest::keyClick(field, Qt::Key_Down);
    EXPECT_EQ(field->text(), "1.5");

    field->setText("abc");  // not a number: read as 0
    QTest::keyClick(field, Qt::Key_Up);
    EXPECT_EQ(field->text(), "1");  // whole numbers as every field shows them
    EXPECT_DOUBLE_EQ(frame->width(), 1.0);

    other->setFocus();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return other->hasFocus(); }));
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    EXPECT_FALSE(field->performKeyEquivalent(up));  // handed on
    EXPECT_EQ(field->text(), "1");
}

TEST(SmallViews, WrappingTitlesPlaceholdersLayersAndPopover) {
    gw::WrappingButton button;
    button.resize(80, 90);
    button.setText("Add New Picture");
    EXPECT_EQ(button.wrappedTitle(), "Add\nNew\nPicture");
    const QRect title = button.titleRect();
    QFont font = button.font();
    font.setPointSizeF(10);
    const QFontMetrics metrics(font);
    EXPECT_GE(title.height(), 3 * metrics.height());  // three lines, no fourth
    EXPECT_LT(title.height(), 4 * metrics.height());
    EXPECT_NEAR(title.top(), (90 - title.height()) / 2, 1);

    gw::TextFieldPlaceholderColor field;
    field.setPlaceholderTextColor(Color::rgb(1, 0, 0));
    field.setPlaceholderString("Name");
    EXPECT_EQ(field.placeholderString(), "Name");
    EXPECT_EQ(field.palette().color(QPalette::PlaceholderText), QColor(Qt::red));

    QWidget view;
    EXPECT_FALSE(gw::backgroundColor(view));
    EXPECT_EQ(gw::cornerRadius(view), 0);
    gw::setBackgroundColor(view, Color::rgb(0, 0, 1));
    gw::setCornerRadius(view, 7);
    ASSERT_TRUE(gw::backgroundColor(view));
    EXPECT_EQ(platform::appkit::qt::toQColor(*gw::backgroundColor(view)), QColor(Qt::blue));
    EXPECT_EQ(gw::cornerRadius(view), 7);
    gw::setBackgroundColor(view, std::nullopt);
    EXPECT_FALSE(gw::backgroundColor(view));

    gw::EscapeKeyHandlingPopover popover;
    popover.show();
    ASSERT_TRUE(popover.isVisible());
    QTest::keyClick(&popover, Qt::Key_Escape);
    EXPECT_FALSE(popover.isVisible());
}

}  // namespace
