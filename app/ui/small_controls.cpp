#include "app/ui/small_controls.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/qt/small_controls.hpp"

#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QVariant>

#include <fmt/format.h>

namespace gw {

namespace qt = platform::appkit::qt;

// --- OLVTextFieldAnimatingDots ----------------------------------------------------

OLVTextFieldAnimatingDots::OLVTextFieldAnimatingDots(QWidget* parent) : QLabel(parent) {}

OLVTextFieldAnimatingDots::~OLVTextFieldAnimatingDots() { stopAnimation(); }

void OLVTextFieldAnimatingDots::setIsAnimating(bool animating) {
    if (animating) {
        if (!timer_) {
            platform::dispatch::DispatchTimer timer(platform::dispatch::DispatchQueue::main());
            // The firing runs on the main thread, where the pointer is checked; a label
            // gone meanwhile is not touched.
            QPointer<OLVTextFieldAnimatingDots> weak(this);
            timer.setEventHandler([weak] {
                if (weak) weak->appendFullStop();
            });
            timer.scheduleSeconds(0.5, 0.5);
            timer.resume();
            timer_ = std::move(timer);
        }
    } else {
        stopAnimation();
    }
    isAnimating_ = animating;
}

void OLVTextFieldAnimatingDots::appendFullStop() {
    if (text().endsWith(QStringLiteral("...."))) {
        trimDotsOffTitle();
    } else {
        setText(text() + QStringLiteral("."));
    }
}

void OLVTextFieldAnimatingDots::stopAnimation() {
    if (timer_) timer_->cancel();
    timer_.reset();
    trimDotsOffTitle();
}

void OLVTextFieldAnimatingDots::trimDotsOffTitle() {
    QString title = text();
    qsizetype begin = 0, end = title.size();
    while (begin < end && title[begin] == QLatin1Char('.')) ++begin;
    while (end > begin && title[end - 1] == QLatin1Char('.')) --end;
    setText(title.mid(begin, end - begin));
}

// --- WrappingButton -------------------------------------------------------------------

namespace {
QFont wrappingFont(const QWidget& widget) {
    QFont font = widget.font();
    font.setPointSizeF(10);
    return font;
}
}  // namespace

WrappingButton::WrappingButton(QWidget* parent) : QPushButton(parent) {}

QString WrappingButton::wrappedTitle() const {
    QString title = text();
    title.replace(QLatin1Char(' '), QLatin1Char('\n'));
    return title;
}

QRect WrappingButton::titleRect() const {
    QFontMetrics metrics(wrappingFont(*this));
    QRect bounds = metrics.boundingRect(QRect(0, 0, width(), 100000), Qt::AlignLeft | Qt::AlignTop, wrappedTitle());
    return QRect(0, (height() - bounds.height()) / 2, width(), bounds.height());
}

void WrappingButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(wrappingFont(*this));
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawText(titleRect(), Qt::AlignLeft | Qt::AlignTop, wrappedTitle());
}

// --- TextFieldPlaceholderColor ------------------------------------------------------------

TextFieldPlaceholderColor::TextFieldPlaceholderColor(QWidget* parent)
    : QLineEdit(parent), placeholderTextColor_(qt::fromQColor(palette().color(QPalette::PlaceholderText))) {}

void TextFieldPlaceholderColor::setPlaceholderString(const QString& text) {
    QPalette colours = palette();
    colours.setColor(QPalette::PlaceholderText, qt::toQColor(placeholderTextColor_));
    setPalette(colours);
    setPlaceholderText(text);
}

// --- ArrowIncrementingTextField ---------------------------------------------------------------

ArrowIncrementingTextField::ArrowIncrementingTextField(QWidget* parent) : QLineEdit(parent) {}

float ArrowIncrementingTextField::floatValue() const {
    const auto text = this->text().toStdString();
    char* end = nullptr;
    float value = std::strtof(text.c_str(), &end);
    return end == text.c_str() || !std::isfinite(value) ? 0.0f : value;
}

bool ArrowIncrementingTextField::performKeyEquivalent(const QKeyEvent& event) {
    // Only the field being edited steps; anywhere else the arrows do their usual work.
    if (!hasFocus()) return false;
    int step = 0;
    if (event.key() == Qt::Key_Up) step = 1;
    if (event.key() == Qt::Key_Down) step = -1;
    if (step == 0) return false;
    const float next = floatValue() + static_cast<float>(step);
    // Shown as every number field shows one ("6", "3.5"); the float's own noise is not.
    const std::string shown = platform::appkit::NumberFormatter().stringFromNumber(next);
    setText(QString::fromStdString(shown));
    auto& bindings = qt::bindingsOf(*this);
    if (auto info = bindings.infoForBinding("value")) {
        if (auto object = info->observedObject.lock()) {
            platform::appkit::setValueForKeyPath(*object, info->observedKeyPath, platform::appkit::KeyValue(shown));
        }
    }
    return true;
}

void ArrowIncrementingTextField::keyPressEvent(QKeyEvent* event) {
    if (performKeyEquivalent(*event)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

// --- EscapeKeyHandlingPopover ---------------------------------------------------------------------

EscapeKeyHandlingPopover::EscapeKeyHandlingPopover(QWidget* parent) : QFrame(parent, Qt::Popup) {
    setFrameShape(QFrame::StyledPanel);
}

void EscapeKeyHandlingPopover::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        cancelOperation();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

// --- view background and corners --------------------------------------------------------------------

namespace {
constexpr const char* backgroundProperty = "gwBackgroundColor";
constexpr const char* radiusProperty = "gwCornerRadius";

void applyLayerStyle(QWidget& view) {
    QString style;
    auto colour = backgroundColor(view);
    if (colour) {
        QColor c = qt::toQColor(*colour);
        style += QString::fromStdString(
            fmt::format("background-color: rgba({}, {}, {}, {});", c.red(), c.green(), c.blue(), c.alpha()));
    }
    if (auto radius = cornerRadius(view); radius > 0) style += QStringLiteral("border-radius: %1px;").arg(radius);
    view.setAttribute(Qt::WA_StyledBackground, true);
    view.setStyleSheet(style);
}
}  // namespace

std::optional<platform::graphics::Color> backgroundColor(const QWidget& view) {
    QVariant stored = view.property(backgroundProperty);
    if (!stored.isValid() || !stored.canConvert<QColor>()) return std::nullopt;
    return qt::fromQColor(stored.value<QColor>());
}

void setBackgroundColor(QWidget& view, const std::optional<platform::graphics::Color>& color) {
    view.setProperty(backgroundProperty, color ? QVariant(qt::toQColor(*color)) : QVariant());
    applyLayerStyle(view);
}

std::int64_t cornerRadius(const QWidget& view) { return view.property(radiusProperty).toLongLong(); }

void setCornerRadius(QWidget& view, std::int64_t radius) {
    view.setProperty(radiusProperty, QVariant::fromValue<qlonglong>(radius));
    applyLayerStyle(view);
}

// --- framed picture views -----------------------------------------------------------------------------

OLVImageViewForScreenshots::OLVImageViewForScreenshots(QWidget* parent) : ImageView(parent) { setCornerRadius(*this, 6); }

void OLVImageViewForScreenshots::paintEvent(QPaintEvent* event) {
    ImageView::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor::fromRgbF(0.5f, 0.5f, 0.5f, 1.0f), 1.0));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}

OLVImageViewForDeviceShots::OLVImageViewForDeviceShots(QWidget* parent) : ImageView(parent) {
    if (QGuiApplication::screens().size() == 1) {
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(QColor::fromRgbF(0, 0, 0, 0.5f));
        shadow->setOffset(2.0, 2.0);  // down and to the right: (2, -2) where y grows upwards
        shadow->setBlurRadius(10.0);
        setGraphicsEffect(shadow);
    }
}

void describeControlByKey(QWidget& control, const std::string& key) {
    qt::describeControl(control, LocalizedString::text(key), LocalizedString::text(key + ".tooltip"));
}

QLabel* labelForControl(QWidget& control, const std::string& key, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(LocalizedString::text(key)), parent);
    label->setBuddy(&control);
    describeControlByKey(control, key);
    return label;
}

}  // namespace gw
