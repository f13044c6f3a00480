#pragma once
// Stand-ins for the platform's small controls: segmented control, stepper, slider,
// colour well and a number text field. Each runs its action when the user changes it,
// never when code sets its value. Limits a design gives are stored on the control and
// applied there, not expressed as layout constraints.
#include "platform/appkit/number_formatter.hpp"
#include "platform/graphics/color.hpp"

#include <QAbstractButton>
#include <QColor>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace platform::appkit::qt {

// A row of segments. Select-one: exactly one segment (or none, -1) is selected;
// select-any: each segment toggles on its own.
class SegmentedControl : public QWidget {
public:
    enum class TrackingMode { selectOne, selectAny };
    using Action = std::function<void(SegmentedControl& sender)>;

    explicit SegmentedControl(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    // Runs before the action on every user change; a binding writes back through it.
    void setBindingWriter(std::function<void()> writer) { writer_ = std::move(writer); }
    void setTrackingMode(TrackingMode mode);
    TrackingMode trackingMode() const { return mode_; }

    void setSegmentCount(int count);
    int segmentCount() const { return static_cast<int>(buttons_.size()); }
    void setLabel(const std::string& label, int segment);
    std::string label(int segment) const;
    void setToolTip(const std::string& toolTip, int segment);
    std::string toolTip(int segment) const;

    // The first selected segment, -1 when none. Setting -1 deselects every segment.
    int selectedSegment() const;
    void setSelectedSegment(int segment);
    bool isSelectedForSegment(int segment) const;
    void setSelected(bool selected, int segment);

    // The segment's button, for acting on it as a user does.
    QAbstractButton* segmentButton(int segment) const;

private:
    void userClicked(int segment);

    std::vector<QToolButton*> buttons_;
    TrackingMode mode_ = TrackingMode::selectOne;
    Action action_;
    std::function<void()> writer_;
};

// Up and down arrows that step a number between limits.
class Stepper : public QWidget {
public:
    using Action = std::function<void(Stepper& sender)>;

    explicit Stepper(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    // Runs before the action on every user change; a binding writes back through it.
    void setBindingWriter(std::function<void()> writer) { writer_ = std::move(writer); }
    double minValue() const { return min_; }
    double maxValue() const { return max_; }
    double increment() const { return increment_; }
    void setMinValue(double value);
    void setMaxValue(double value);
    void setIncrement(double value) { increment_ = value; }
    double doubleValue() const { return value_; }
    // Kept within the limits.
    void setDoubleValue(double value);

    // What a click on an arrow does.
    void stepUp() { userStep(+1); }
    void stepDown() { userStep(-1); }
    QAbstractButton* upButton() const { return up_; }
    QAbstractButton* downButton() const { return down_; }

private:
    void userStep(int direction);

    QToolButton* up_;
    QToolButton* down_;
    double min_ = 0, max_ = 59, increment_ = 1, value_ = 0;
    Action action_;
    std::function<void()> writer_;
};

// A horizontal slider over a range of doubles.
class Slider : public QSlider {
public:
    using Action = std::function<void(Slider& sender)>;
    static constexpr int resolution = 10000;

    explicit Slider(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    // Runs before the action on every user change; a binding writes back through it.
    void setBindingWriter(std::function<void()> writer) { writer_ = std::move(writer); }
    double minValue() const { return min_; }
    double maxValue() const { return max_; }
    void setMinValue(double value);
    void setMaxValue(double value);
    double doubleValue() const { return value_; }
    float floatValue() const { return static_cast<float>(value_); }
    // Kept within the limits.
    void setDoubleValue(double value);
    // What dragging the knob to `value` does.
    void userSetDoubleValue(double value);

private:
    void place();

    double min_ = 0, max_ = 1, value_ = 0;
    bool placing_ = false;
    Action action_;
    std::function<void()> writer_;
};

// A swatch of a colour; clicking it opens a colour panel (the toolkit's own dialog,
// with alpha) whose choice becomes the colour and runs the action.
class ColorWell : public QPushButton {
public:
    using Action = std::function<void(ColorWell& sender)>;

    explicit ColorWell(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    // Runs before the action on every user change; a binding writes back through it.
    void setBindingWriter(std::function<void()> writer) { writer_ = std::move(writer); }
    const graphics::Color& color() const { return color_; }
    void setColor(graphics::Color color);
    // What choosing `color` in the panel does.
    void userChoseColor(graphics::Color color);

    // The panel of the last click, while open (for tests acting on it).
    QWidget* openPanel() const { return panel_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void openColorPanel();

    graphics::Color color_ = graphics::Color::clear();
    QPointer<QWidget> panel_;  // cleared by Qt when the panel goes
    Action action_;
    std::function<void()> writer_;
};

QColor toQColor(const graphics::Color& color);
graphics::Color fromQColor(const QColor& color);

// A text field for numbers, shown through its formatter ("400", "341.33"). What the user
// types is handed on when editing ends, and only when the user changed the text: leaving
// a field untouched never rounds the number behind it to what the field shows.
class NumberTextField : public QLineEdit {
public:
    using Action = std::function<void(NumberTextField& sender)>;

    explicit NumberTextField(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    // Runs before the action on every user change; a binding writes back through it.
    void setBindingWriter(std::function<void()> writer) { writer_ = std::move(writer); }
    const NumberFormatter& formatter() const { return formatter_; }
    // Shown numbers follow the new formatter from the next value on.
    void setFormatter(NumberFormatter formatter) { formatter_ = formatter; }
    std::string stringValue() const { return text().toStdString(); }
    void setStringValue(const std::string& text) { setText(QString::fromStdString(text)); }
    // The leading number of the text, 0 when there is none ("abc").
    double doubleValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    void setDoubleValue(double value);

private:
    NumberFormatter formatter_;
    Action action_;
    std::function<void()> writer_;
};

// Names a control for people and for assistive tools alike: `name` becomes its accessible
// name and `toolTip` its tooltip. A stepper's two arrows are named after it ("Increase
// Width", "Decrease Width"), a segmented control's segments keep their own labels.
void describeControl(QWidget& control, const std::string& name, const std::string& toolTip);

}  // namespace platform::appkit::qt
