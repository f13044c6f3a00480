// The small controls and their bindings, acted on with clicks as a user does.
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/property_observable.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/qt/pop_up_button.hpp"
#include "platform/appkit/qt/small_controls.hpp"
#include "support/gui/gui_harness.hpp"

#include <QApplication>
#include <QColorDialog>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <map>

namespace {

namespace qt = platform::appkit::qt;
using platform::appkit::ArrayController;
using platform::appkit::KeyValue;

class Model : public platform::appkit::PropertyObservable {
public:
    KeyValue valueForKey(std::string_view key) const override {
        auto it = values.find(std::string(key));
        return it == values.end() ? KeyValue() : it->second;
    }
    bool setValueForKey(std::string_view key, const KeyValue& value) override {
        values[std::string(key)] = value;
        didChangeValueForKey(key);
        return true;
    }
    std::map<std::string, KeyValue> values;
};

TEST(SmallControls, NumbersShowAsAPersonReadsThemInEveryField) {
    struct Row {
        double value;
        int fractionDigits;
        const char* text;
    };
    const Row rows[] = {
        {400, 3, "400"},           {240, 2, "240"},         {1024, 0, "1024"},
        {341.3333333333333, 2, "341.33"}, {2.5, 2, "2.5"},   {0.125, 3, "0.125"},
        {0.1f, 3, "0.1"},          {-3, 2, "-3"},           {-0.001, 2, "0"},
        {1e21, 2, "1000000000000000000000"}, {std::nan(""), 2, "0"}, {1.0 / 3, 0, "0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const platform::appkit::NumberFormatter formatter(row.fractionDigits);
        EXPECT_EQ(formatter.stringFromNumber(row.value), row.text);
        // A field bound to the number shows the same text.
        auto model = std::make_shared<Model>();
        model->values["width"] = row.value;
        qt::NumberTextField field;
        field.setFormatter(formatter);
        ASSERT_TRUE(qt::bind(field, "value", model, "width"));
        EXPECT_EQ(field.text().toStdString(), row.text);
    }
    const platform::appkit::NumberFormatter formatter;
    EXPECT_EQ(formatter.numberFromString(" 2.5 "), 2.5);
    EXPECT_FALSE(formatter.numberFromString("2.5kg"));
    EXPECT_FALSE(formatter.numberFromString(""));
    qt::NumberTextField field;
    field.setStringValue("abc");
    EXPECT_EQ(field.floatValue(), 0.0f);
    field.setStringValue("2.5kg");
    EXPECT_EQ(field.floatValue(), 2.5f);
}

TEST(SmallControls, LeavingAnUnchangedNumberFieldKeepsTheNumberItRounds) {
    auto model = std::make_shared<Model>();
    model->values["width"] = 1024.0 / 3;
    QWidget window;
    auto* field = new qt::NumberTextField(&window);
    auto* other = new QLineEdit(&window);
    field->setFormatter(platform::appkit::NumberFormatter(2));
    int actions = 0;
    field->setAction([&](qt::NumberTextField&) { ++actions; });
    ASSERT_TRUE(qt::bind(*field, "value", model, "width"));
    EXPECT_EQ(field->text(), "341.33");
    window.show();
    QApplication::setActiveWindow(&window);
    field->setFocus();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return field->hasFocus(); }));
    QTest::keyClick(field, Qt::Key_Return);
    other->setFocus();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return other->hasFocus(); }));
    EXPECT_EQ(model->values["width"], KeyValue(1024.0 / 3));
    EXPECT_EQ(actions, 0);

    // A typed number is written, once, and shown through the formatter again.
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, "300.50");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(model->values["width"], KeyValue("300.50"));
    EXPECT_EQ(actions, 1);
    model->setValueForKey("width", 300.5);
    EXPECT_EQ(field->text(), "300.5");
    other->setFocus();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return other->hasFocus(); }));
    EXPECT_EQ(actions, 1);
}

TEST(SmallControls, DescribedControlsNameTheirPartsForAssistiveTools) {
    qt::Stepper stepper;
    qt::describeControl(stepper, "Width", "Width in points");
    EXPECT_EQ(stepper.accessibleName(), "Width");
    EXPECT_EQ(stepper.toolTip(), "Width in points");
    EXPECT_EQ(stepper.upButton()->accessibleName(), "Increase Width");
    EXPECT_EQ(stepper.downButton()->accessibleName(), "Decrease Width");
    EXPECT_EQ(stepper.downButton()->toolTip(), "Width in points");
}

TEST(SmallControls, SegmentsSelectOneOrAnyAndActOnClicksOnly) {
    qt::SegmentedControl control;
    control.setSegmentCount(3);
    control.setToolTip("round", 0);
    EXPECT_EQ(control.toolTip(0), "round");
    int actions = 0;
    control.setAction([&](qt::SegmentedControl&) { ++actions; });
    control.setSelectedSegment(1);
    EXPECT_EQ(actions, 0);
    QTest::mouseClick(control.segmentButton(2), Qt::LeftButton);
    EXPECT_EQ(control.selectedSegment(), 2);
    EXPECT_FALSE(control.isSelectedForSegment(1));
    QTest::mouseClick(control.segmentButton(2), Qt::LeftButton);  // select-one: stays selected
    EXPECT_TRUE(control.isSelectedForSegment(2));
    EXPECT_EQ(actions, 2);

    control.setTrackingMode(qt::SegmentedControl::TrackingMode::selectAny);
    QTest::mouseClick(control.segmentButton(0), Qt::LeftButton);
    EXPECT_TRUE(control.isSelectedForSegment(0));
    EXPECT_TRUE(control.isSelectedForSegment(2));
    QTest::mouseClick(control.segmentButton(2), Qt::LeftButton);
    QTest::mouseClick(control.segmentButton(0), Qt::LeftButton);
    EXPECT_EQ(control.selectedSegment(), -1);
}

TEST(SmallControls, StepperAndSliderKeepTheirLimitsAndWriteThroughBindings) {
    auto model = std::make_shared<Model>();
    model->values["padding"] = 0.97;
    qt::Stepper stepper;
    stepper.setMinValue(0);
    stepper.setMaxValue(0.99);
    stepper.setIncrement(0.01);
    qt::Slider slider;
    slider.setMinValue(0);
    slider.setMaxValue(0.99);
    ASSERT_TRUE(qt::bind(stepper, "value", model, "padding"));
    ASSERT_TRUE(qt::bind(slider, "value", model, "padding"));
    EXPECT_DOUBLE_EQ(stepper.doubleValue(), 0.97);
    for (int i = 0; i < 5; ++i) QTest::mouseClick(stepper.upButton(), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(model->values["padding"].doubleValue(), 0.99);
    EXPECT_DOUBLE_EQ(slider.doubleValue(), 0.99);  // the other control follows the model
    QTest::mouseClick(stepper.downButton(), Qt::LeftButton);
    EXPECT_DOUBLE_EQ(model->values["padding"].doubleValue(), 0.98);
    slider.userSetDoubleValue(5);
    EXPECT_DOUBLE_EQ(model->values["padding"].doubleValue(), 0.99);
    EXPECT_DOUBLE_EQ(stepper.doubleValue(), 0.99);
    slider.userSetDoubleValue(-1);
    EXPECT_DOUBLE_EQ(model->values["padding"].doubleValue(), 0.0);
}

TEST(SmallControls, TextFieldShowsMarkersAndBindingsEndWithTheWidget) {
    auto controller = std::make_shared<ArrayController>();
    auto a = std::make_shared<Model>(), b = std::make_shared<Model>();
    a->values["width"] = 2.5;
    b->values["width"] = 4.0;
    controller->addObjects({ArrayController::Element::of(a), ArrayController::Element::of(b)});
    controller->setSelectionIndexes({0});
    auto field = std::make_unique<QLineEdit>();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(qt::bind(*field, "value", controller, "selection.width"));
    EXPECT_EQ(field->text(), "2.5");
    EXPECT_EQ(a->observerCount("width"), 1u);
    controller->setSelectionIndexes({0, 1});
    EXPECT_EQ(field->text(), "");
    EXPECT_EQ(field->placeholderText(), qt::multipleValuesText);
    controller->setSelectionIndexes({});
    EXPECT_EQ(field->placeholderText(), qt::noSelectionText);
    EXPECT_TRUE(field->isReadOnly());

    controller->setSelectionIndexes({1});
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field.get(), "12");
    QTest::keyClick(field.get(), Qt::Key_Return);
    EXPECT_EQ(b->values["width"], KeyValue("12"));  // a text field writes text

    QWidget parentless;
    qt::PopUpButton popUp;
    popUp.addItemWithTitle("black");
    popUp.addItemWithTitle("white");
    a->values["colour"] = std::int64_t{1};
    ASSERT_TRUE(qt::bind(popUp, "selectedIndex", a, "colour"));
    EXPECT_EQ(popUp.indexOfSelectedItem(), 1);
    EXPECT_FALSE(qt::bind(parentless, "selectedIndex", a, "colour"));  // not a control with items

    field.reset();
    EXPECT_EQ(b->observerCount(), 0u);
    EXPECT_EQ(controller->observerCount(), 0u);
    b->setValueForKey("width", 1.0);  // nothing is left to call
}

TEST(SmallControls, ColourWellOpensTheToolkitPanelWithAlphaAndWritesTheChoice) {
    auto model = std::make_shared<Model>();
    qt::ColorWell well;
    ASSERT_TRUE(qt::bind(well, "value", model, "background"));
    EXPECT_EQ(well.color(), platform::graphics::Color::clear());
    int actions = 0;
    well.setAction([&](qt::ColorWell&) { ++actions; });
    QTest::mouseClick(&well, Qt::LeftButton);
    auto* dialog = qobject_cast<QColorDialog*>(well.openPanel());
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->testOption(QColorDialog::ShowAlphaChannel));
    EXPECT_TRUE(dialog->testOption(QColorDialog::DontUseNativeDialog));
    dialog->setCurrentColor(QColor(255, 0, 0, 128));
    dialog->accept();
    EXPECT_EQ(actions, 1);
    auto stored = model->values["background"].color();
    ASSERT_TRUE(stored);
    EXPECT_NEAR(stored->alpha(), 128.0 / 255, 1e-3);
}

}  // namespace
