#pragma once
// The small views of the interface: a status label with animated dots, a button that
// puts one word per line, a field with a coloured placeholder, a number field stepped
// by the arrow keys, a popover that closes on Escape, settable background colour and
// corner radius of any view, and the two framed picture views.
#include "platform/appkit/qt/image_view.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/graphics/color.hpp"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <optional>
#include <string>

namespace gw {

// Status text with trailing dots that grow every half second while animating:
// "Text", "Text.", ... "Text....", "Text", ... The timer runs on the main queue (and so on
// the injectable clock) and ends with the label.
class OLVTextFieldAnimatingDots : public QLabel {
public:
    explicit OLVTextFieldAnimatingDots(QWidget* parent = nullptr);
    ~OLVTextFieldAnimatingDots() override;

    bool isAnimating() const { return isAnimating_; }
    void setIsAnimating(bool animating);
    void appendFullStop();
    void stopAnimation();
    void trimDotsOffTitle();
    bool hasTimer() const { return timer_.has_value(); }

private:
    bool isAnimating_ = false;
    std::optional<platform::dispatch::DispatchTimer> timer_;
};

// A button whose title is drawn one word per line, 10-point system font, left aligned,
// centred vertically in the button.
class WrappingButton : public QPushButton {
public:
    explicit WrappingButton(QWidget* parent = nullptr);
    // The text drawn (spaces turned into line breaks) and where it goes.
    QString wrappedTitle() const;
    QRect titleRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A text field whose placeholder is drawn in a chosen colour; a new colour applies at
// the next setting of the placeholder.
class TextFieldPlaceholderColor : public QLineEdit {
public:
    explicit TextFieldPlaceholderColor(QWidget* parent = nullptr);
    const platform::graphics::Color& placeholderTextColor() const { return placeholderTextColor_; }
    void setPlaceholderTextColor(platform::graphics::Color color) { placeholderTextColor_ = std::move(color); }
    QString placeholderString() const { return placeholderText(); }
    void setPlaceholderString(const QString& text);

private:
    platform::graphics::Color placeholderTextColor_;
};

// Up and down arrows step the number by 1 while the field is being edited; the new
// text goes to the object of the field's "value" binding.
class ArrowIncrementingTextField : public QLineEdit {
public:
    explicit ArrowIncrementingTextField(QWidget* parent = nullptr);
    float floatValue() const;
    // True when the key was used; false hands it on.
    bool performKeyEquivalent(const QKeyEvent& event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A popover panel that closes on Escape.
class EscapeKeyHandlingPopover : public QFrame {
public:
    explicit EscapeKeyHandlingPopover(QWidget* parent = nullptr);
    void cancelOperation() { close(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// Background colour and corner radius of any view, kept on the view and drawn by its
// style sheet.
std::optional<platform::graphics::Color> backgroundColor(const QWidget& view);
void setBackgroundColor(QWidget& view, const std::optional<platform::graphics::Color>& color);
std::int64_t cornerRadius(const QWidget& view);
void setCornerRadius(QWidget& view, std::int64_t radius);

// Names a control from the strings table, for people and assistive tools alike: the text
// of `key` is its accessible name, the text of "<key>.tooltip" its tooltip.
void describeControlByKey(QWidget& control, const std::string& key);
// A label showing the text of `key` for `control` (its buddy, for the keyboard), the
// control named by that key as describeControlByKey names it.
QLabel* labelForControl(QWidget& control, const std::string& key, QWidget* parent);

// A picture view with a 1-point mid-grey border and 6-point rounded corners.
class OLVImageViewForScreenshots : public platform::appkit::qt::ImageView {
public:
    explicit OLVImageViewForScreenshots(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A picture view with a soft drop shadow (only with exactly one screen attached).
class OLVImageViewForDeviceShots : public platform::appkit::qt::ImageView {
public:
    explicit OLVImageViewForDeviceShots(QWidget* parent = nullptr);
};

}  // namespace gw
