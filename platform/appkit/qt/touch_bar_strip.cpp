#include "platform/appkit/qt/touch_bar_strip.hpp"

#include "platform/appkit/qt/window.hpp"

#include "platform/appkit/qt/image_view.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QVBoxLayout>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QToolButton>

namespace platform::appkit::qt {

namespace {

constexpr int thumbnailSide = 30;

// The strips alive, so the menu item can show or hide them all.
std::set<TouchBarStrip*>& liveStrips() {
    static std::set<TouchBarStrip*> strips;
    return strips;
}

class Thumbnail : public ImageView {
public:
    Thumbnail(std::weak_ptr<Scrubber> scrubber, std::size_t index, QWidget* parent)
        : ImageView(parent), scrubber_(std::move(scrubber)), index_(index) {
        setFixedSize(thumbnailSide, thumbnailSide);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        event->accept();
        if (const auto scrubber = scrubber_.lock()) scrubber->userSelect(index_);
    }
    void paintEvent(QPaintEvent* event) override {
        ImageView::paintEvent(event);
        const auto scrubber = scrubber_.lock();
        if (!scrubber || scrubber->selectedIndex() != static_cast<long>(index_)) return;
        QPainter painter(this);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 3, 3);
    }

private:
    std::weak_ptr<Scrubber> scrubber_;
    std::size_t index_;
};

}  // namespace

ScrubberStrip::ScrubberStrip(std::shared_ptr<Scrubber> scrubber, QWidget* parent)
    : QWidget(parent), scrubber_(std::move(scrubber)), row_(new QWidget(this)), rowLayout_(new QHBoxLayout(row_)),
      left_(new QToolButton(this)), right_(new QToolButton(this)) {
    rowLayout_->setContentsMargins(0, 0, 0, 0);
    rowLayout_->setSpacing(4);
    left_->setArrowType(Qt::LeftArrow);
    right_->setArrowType(Qt::RightArrow);
    connect(left_, &QToolButton::clicked, this, [this] {
        offset_ = std::max(0, offset_ - thumbnailSide * 3);
        updateArrows();
    });
    connect(right_, &QToolButton::clicked, this, [this] {
        offset_ = std::min(std::max(0, row_->sizeHint().width() - width()), offset_ + thumbnailSide * 3);
        updateArrows();
    });
    setMinimumSize(thumbnailSide * 3, thumbnailSide + 4);
    QPointer<ScrubberStrip> self(this);
    scrubber_->setChangeHandler([self] {
        if (self) self->reload();
    });
    reload();
}

void ScrubberStrip::reload() {
    const std::size_t count = scrubber_->numberOfItems();
    if (count != thumbnails_.size()) {
        for (auto* thumbnail : thumbnails_) delete thumbnail;
        thumbnails_.clear();
        for (std::size_t i = 0; i < count; ++i) {
            auto* thumbnail = new Thumbnail(scrubber_, i, row_);
            rowLayout_->addWidget(thumbnail);
            // Shown now, not on a later turn as a layout shows a new child: the row is
            // sized below from its layout, which leaves hidden widgets out (a row sized
            // to nothing would show none of them).
            thumbnail->show();
            thumbnails_.push_back(thumbnail);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        static_cast<Thumbnail*>(thumbnails_[i])->setImage(scrubber_->imageForItem(i));
        thumbnails_[i]->update();
    }
    row_->adjustSize();
    updateArrows();
}

bool ScrubberStrip::showsOverflowArrows() const { return !left_->isHidden(); }

void ScrubberStrip::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateArrows();
}

void ScrubberStrip::updateArrows() {
    const int needed = row_->sizeHint().width();
    const bool overflow = scrubber_->showsAdditionalContentIndicators && needed > width();
    left_->setVisible(overflow);
    right_->setVisible(overflow);
    const int arrow = overflow ? 16 : 0;
    if (!overflow) offset_ = 0;
    row_->setGeometry(arrow - offset_, 2, needed, thumbnailSide);
    left_->setGeometry(0, 2, arrow, thumbnailSide);
    right_->setGeometry(width() - arrow, 2, arrow, thumbnailSide);
    left_->raise();
    right_->raise();
}

bool TouchBarStrip::isShownInSettings() {
    return foundation::UserDefaults::standard().boolForKey(showTouchBarKey);
}

void TouchBarStrip::setShownInSettings(bool shown) { foundation::UserDefaults::standard().setBool(shown, showTouchBarKey); }

TouchBarStrip::TouchBarStrip(QWidget* window, std::shared_ptr<TouchBar> bar)
    : QWidget(window), bar_(std::move(bar)), layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(6, 4, 6, 4);
    setAutoFillBackground(true);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    setPalette(dark);
    if (window) {
        window->installEventFilter(this);
        windowBottomMargin_ = window->contentsMargins().bottom();
    }
    rebuild();
    place();
    setVisible(isShownInSettings());
    liveStrips().insert(this);
}

TouchBarStrip::~TouchBarStrip() { liveStrips().erase(this); }

MenuItemPtr TouchBarStrip::makeShowTouchBarMenuItem(std::string title) {
    auto item = MenuItem::make(std::move(title), [](MenuItem& sender) {
        const bool shown = !isShownInSettings();
        setShownInSettings(shown);
        sender.setState(shown ? ControlStateValue::on : ControlStateValue::off);
        for (auto* strip : liveStrips()) strip->setVisible(shown);
    });
    item->setState(isShownInSettings() ? ControlStateValue::on : ControlStateValue::off);
    return item;
}

QDialog* TouchBarStrip::makeCustomizationDialog(const std::string& title) {
    auto* dialog = new QDialog(window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QString::fromStdString(title));
    auto* layout = new QVBoxLayout(dialog);
    const auto shown = bar_->itemIdentifiers();
    std::vector<std::pair<TouchBarItemIdentifier, QCheckBox*>> boxes;
    for (const auto& identifier : bar_->customizationAllowedItemIdentifiers) {
        std::string label = identifier;
        const auto item = bar_->itemForIdentifier(identifier);
        if (item && !item->customizationLabel.empty()) {
            label = item->customizationLabel;
        } else if (const auto custom = std::dynamic_pointer_cast<CustomTouchBarItem>(item)) {
            if (const auto button = std::dynamic_pointer_cast<TouchBarButton>(custom->view())) label = button->title();
        }
        auto* box = new QCheckBox(QString::fromStdString(label), dialog);
        box->setObjectName(QString::fromStdString(identifier));
        box->setChecked(std::find(shown.begin(), shown.end(), identifier) != shown.end());
        layout->addWidget(box);
        boxes.emplace_back(identifier, box);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    layout->addWidget(buttons);
    keepTitleWhole(*dialog);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QPointer<TouchBarStrip> self(this);
    connect(dialog, &QDialog::accepted, dialog, [self, boxes] {
        if (!self) return;
        std::vector<TouchBarItemIdentifier> chosen;
        for (const auto& [identifier, box] : boxes)
            if (box->isChecked()) chosen.push_back(identifier);
        self->bar_->setCustomizedItemIdentifiers(chosen);
        self->rebuild();
    });
    return dialog;
}

void TouchBarStrip::rebuild() {
    for (auto& [identifier, widget] : widgets_) delete widget;
    widgets_.clear();
    while (auto* item = layout_->takeAt(0)) delete item;
    if (!bar_) return;
    for (const auto& item : bar_->items()) {
        const auto custom = std::dynamic_pointer_cast<CustomTouchBarItem>(item);
        if (!custom) continue;
        QWidget* widget = nullptr;
        if (const auto button = std::dynamic_pointer_cast<TouchBarButton>(custom->view())) {
            auto* push = new QPushButton(QString::fromStdString(button->title()), this);
            const std::weak_ptr<TouchBarButton> weak = button;
            connect(push, &QPushButton::clicked, push, [weak] {
                if (const auto b = weak.lock()) b->press();
            });
            QPointer<QPushButton> target(push);
            const auto show = [weak, target] {
                const auto b = weak.lock();
                if (!b || !target) return;
                target->setText(QString::fromStdString(b->title()));
                target->setEnabled(b->isEnabled());
                target->setHidden(b->isHidden());
                if (b->bezelColor()) {
                    double r = 0, g = 0, bl = 0, a = 1;
                    b->bezelColor()->displayRGBA(r, g, bl, a);
                    target->setStyleSheet(QStringLiteral("background-color: rgba(%1,%2,%3,%4)")
                                              .arg(int(r * 255)).arg(int(g * 255)).arg(int(bl * 255)).arg(int(a * 255)));
                }
            };
            button->setChangeHandler(show);
            show();
            widget = push;
        } else if (const auto scrubber = std::dynamic_pointer_cast<Scrubber>(custom->view())) {
            widget = new ScrubberStrip(scrubber, this);
            layout_->addWidget(widget, 1);
            widgets_.emplace(item->identifier(), widget);
            continue;
        }
        if (!widget) continue;
        layout_->addWidget(widget);
        widgets_.emplace(item->identifier(), widget);
    }
}

QWidget* TouchBarStrip::widgetFor(const TouchBarItemIdentifier& identifier) const {
    const auto found = widgets_.find(identifier);
    return found == widgets_.end() ? nullptr : found->second;
}

QPushButton* TouchBarStrip::buttonFor(const TouchBarItemIdentifier& identifier) const {
    return dynamic_cast<QPushButton*>(widgetFor(identifier));
}

ScrubberStrip* TouchBarStrip::scrubberFor(const TouchBarItemIdentifier& identifier) const {
    return dynamic_cast<ScrubberStrip*>(widgetFor(identifier));
}

bool TouchBarStrip::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize) place();
    return false;
}

void TouchBarStrip::setVisible(bool visible) {
    QWidget::setVisible(visible);
    reserveRoom();
}

void TouchBarStrip::reserveRoom() {
    auto* window = parentWidget();
    if (!window) return;
    const QMargins margins = window->contentsMargins();
    window->setContentsMargins(margins.left(), margins.top(), margins.right(),
                               isHidden() ? windowBottomMargin_ : windowBottomMargin_ + stripHeight);
}

void TouchBarStrip::place() {
    if (!parentWidget()) return;
    setGeometry(0, parentWidget()->height() - stripHeight, parentWidget()->width(), stripHeight);
    raise();
}

}  // namespace platform::appkit::qt
