#include "platform/appkit/qt/small_controls.hpp"

#include <QColorDialog>
#include <QHBoxLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace platform::appkit::qt {

// --- SegmentedControl ---------------------------------------------------------

SegmentedControl::SegmentedControl(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

void SegmentedControl::setTrackingMode(TrackingMode mode) { mode_ = mode; }

void SegmentedControl::setSegmentCount(int count) {
    while (static_cast<int>(buttons_.size()) > count) {
        delete buttons_.back();
        buttons_.pop_back();
    }
    while (static_cast<int>(buttons_.size()) < count) {
        auto* button = new QToolButton(this);
        button->setCheckable(true);
        const int segment = static_cast<int>(buttons_.size());
        // `clicked` comes from the user (or a test clicking as one) only.
        connect(button, &QToolButton::clicked, this, [this, segment](bool) { userClicked(segment); });
        layout()->addWidget(button);
        buttons_.push_back(button);
    }
}

void SegmentedControl::setLabel(const std::string& label, int segment) {
    if (auto* b = segmentButton(segment)) b->setText(QString::fromStdString(label));
}

std::string SegmentedControl::label(int segment) const {
    auto* b = segmentButton(segment);
    return b ? b->text().toStdString() : std::string();
}

void SegmentedControl::setToolTip(const std::string& toolTip, int segment) {
    if (auto* b = segmentButton(segment)) b->setToolTip(QString::fromStdString(toolTip));
}

std::string SegmentedControl::toolTip(int segment) const {
    auto* b = segmentButton(segment);
    return b ? b->toolTip().toStdString() : std::string();
}

QAbstractButton* SegmentedControl::segmentButton(int segment) const {
    if (segment < 0 || segment >= segmentCount()) return nullptr;
    return buttons_[static_cast<std::size_t>(segment)];
}

int SegmentedControl::selectedSegment() const {
    for (int i = 0; i < segmentCount(); ++i) {
        if (buttons_[static_cast<std::size_t>(i)]->isChecked()) return i;
    }
    return -1;
}

void SegmentedControl::setSelectedSegment(int segment) {
    for (int i = 0; i < segmentCount(); ++i) buttons_[static_cast<std::size_t>(i)]->setChecked(i == segment);
}

bool SegmentedControl::isSelectedForSegment(int segment) const {
    auto* b = segmentButton(segment);
    return b && b->isChecked();
}

void SegmentedControl::setSelected(bool selected, int segment) {
    if (mode_ == TrackingMode::selectOne && selected) {
        setSelectedSegment(segment);
    } else if (auto* b = segmentButton(segment)) {
        b->setChecked(selected);
    }
}

void SegmentedControl::userClicked(int segment) {
    // Select-one: a click always leaves exactly the clicked segment selected.
    if (mode_ == TrackingMode::selectOne) setSelectedSegment(segment);
    if (auto writer = writer_) writer();
    if (auto action = action_) action(*this);
}

// --- Stepper --------------------------------------------------------------------

Stepper::Stepper(QWidget* parent) : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    layout->addWidget(up_);
    layout->addWidget(down_);
    connect(up_, &QToolButton::clicked, this, [this] { stepUp(); });
    connect(down_, &QToolButton::clicked, this, [this] { stepDown(); });
}

void Stepper::setMinValue(double value) {
    min_ = value;
    setDoubleValue(value_);
}

void Stepper::setMaxValue(double value) {
    max_ = value;
    setDoubleValue(value_);
}

void Stepper::setDoubleValue(double value) {
    if (!std::isfinite(value)) value = min_;
    value_ = std::clamp(value, min_, std::max(min_, max_));
}

void Stepper::userStep(int direction) {
    // Rounded to the increment's own precision, so 0.01 steps do not collect drift.
    double next = value_ + direction * increment_;
    if (increment_ > 0) next = std::round(next / increment_) * increment_;
    setDoubleValue(next);
    if (auto writer = writer_) writer();
    if (auto action = action_) action(*this);
}

// --- Slider -----------------------------------------------------------------------

Slider::Slider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, resolution);
    connect(this, &QSlider::valueChanged, this, [this](int position) {
        if (placing_) return;
        value_ = min_ + (max_ - min_) * position / resolution;
        if (auto writer = writer_) writer();
        if (auto action = action_) action(*this);
    });
}

void Slider::setMinValue(double value) {
    min_ = value;
    setDoubleValue(value_);
}

void Slider::setMaxValue(double value) {
    max_ = value;
    setDoubleValue(value_);
}

void Slider::setDoubleValue(double value) {
    if (!std::isfinite(value)) value = min_;
    value_ = std::clamp(value, min_, std::max(min_, max_));
    place();
}

void Slider::userSetDoubleValue(double value) {
    setDoubleValue(value);
    if (auto writer = writer_) writer();
    if (auto action = action_) action(*this);
}

void Slider::place() {
    placing_ = true;
    const double span = max_ - min_;
    setValue(span > 0 ? static_cast<int>(std::lround((value_ - min_) / span * resolution)) : 0);
    placing_ = false;
}

// --- ColorWell ----------------------------------------------------------------------

QColor toQColor(const graphics::Color& color) {
    double r = 0, g = 0, b = 0, a = 0;
    color.displayRGBA(r, g, b, a);
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b), static_cast<float>(a));
}

graphics::Color fromQColor(const QColor& color) {
    return graphics::Color::rgb(color.redF(), color.greenF(), color.blueF(), color.alphaF());
}

ColorWell::ColorWell(QWidget* parent) : QPushButton(parent) {
    setMinimumSize(44, 23);
    connect(this, &QPushButton::clicked, this, [this] { openColorPanel(); });
}

void ColorWell::setColor(graphics::Color color) {
    color_ = std::move(color);
    update();
}

void ColorWell::userChoseColor(graphics::Color color) {
    setColor(std::move(color));
    if (auto writer = writer_) writer();
    if (auto action = action_) action(*this);
}

void ColorWell::openColorPanel() {
    auto* dialog = new QColorDialog(toQColor(color_), this);
    dialog->setOption(QColorDialog::DontUseNativeDialog);
    dialog->setOption(QColorDialog::ShowAlphaChannel);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    panel_ = dialog;
    connect(dialog, &QColorDialog::colorSelected, this, [this](const QColor& chosen) { userChoseColor(fromQColor(chosen)); });
    dialog->open();
}

void ColorWell::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    QPainter painter(this);
    QRect swatch = rect().adjusted(6, 5, -6, -5);
    // Checks behind, so a clear or translucent colour reads as such.
    painter.fillRect(swatch, Qt::white);
    for (int y = swatch.top(); y < swatch.bottom(); y += 4)
        for (int x = swatch.left() + ((y - swatch.top()) / 4 % 2) * 4; x < swatch.right(); x += 8)
            painter.fillRect(QRect(x, y, 4, 4).intersected(swatch), Qt::lightGray);
    painter.fillRect(swatch, toQColor(color_));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(swatch);
}

// --- NumberTextField -------------------------------------------------------------------

NumberTextField::NumberTextField(QWidget* parent) : QLineEdit(parent) {
    connect(this, &QLineEdit::editingFinished, this, [this] {
        if (!isModified()) return;
        if (auto writer = writer_) writer();
        if (auto action = action_) action(*this);
    });
}

double NumberTextField::doubleValue() const {
    const auto text = stringValue();
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() || !std::isfinite(value) ? 0 : value;
}

void NumberTextField::setDoubleValue(double value) { setStringValue(formatter_.stringFromNumber(value)); }

void describeControl(QWidget& control, const std::string& name, const std::string& toolTip) {
    const QString shown = QString::fromStdString(name);
    control.setAccessibleName(shown);
    control.setToolTip(QString::fromStdString(toolTip));
    if (auto* stepper = dynamic_cast<Stepper*>(&control)) {
        stepper->upButton()->setAccessibleName(QStringLiteral("Increase ") + shown);
        stepper->downButton()->setAccessibleName(QStringLiteral("Decrease ") + shown);
        stepper->upButton()->setToolTip(QString::fromStdString(toolTip));
        stepper->downButton()->setToolTip(QString::fromStdString(toolTip));
    }
}

}  // namespace platform::appkit::qt
