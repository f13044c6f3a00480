#include "platform/appkit/qt/menu_bar.hpp"

#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/qt/image_view.hpp"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QStyle>
#include <QTimer>

#include <set>

namespace platform::appkit::qt {

QString titleWithMnemonic(const std::string& title, std::set<QChar>& taken) {
    QString text = QString::fromStdString(title);
    // A title's own ampersands are text, not mnemonic marks.
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    const auto mark = [&](bool wordStartsOnly) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (!c.isLetterOrNumber() || taken.count(c.toLower())) continue;
            if (wordStartsOnly && i > 0 && text[i - 1].isLetterOrNumber()) continue;
            taken.insert(c.toLower());
            text.insert(i, QLatin1Char('&'));
            return true;
        }
        return false;
    };
    // A word's first letter reads best; any letter still free will do.
    if (!mark(true)) mark(false);
    return text;
}

QKeySequence keySequence(const std::string& keyEquivalent, std::uint32_t mask) {
    if (keyEquivalent.empty()) return {};
    const QKeySequence key = QKeySequence::fromString(QString::fromStdString(keyEquivalent).toUpper());
    if (key.isEmpty()) return {};
    Qt::KeyboardModifiers modifiers;
    if (mask & modifierCommand) modifiers |= Qt::ControlModifier;
    if (mask & modifierOption) modifiers |= Qt::AltModifier;
    if (mask & modifierShift) modifiers |= Qt::ShiftModifier;
    if (mask & modifierControl) modifiers |= Qt::MetaModifier;
    return QKeySequence(QKeyCombination(modifiers, key[0].key()));
}

std::uint32_t modifierMask(Qt::KeyboardModifiers modifiers) {
    std::uint32_t mask = modifierNone;
    if (modifiers & Qt::ControlModifier) mask |= modifierCommand;
    if (modifiers & Qt::AltModifier) mask |= modifierOption;
    if (modifiers & Qt::ShiftModifier) mask |= modifierShift;
    if (modifiers & Qt::MetaModifier) mask |= modifierControl;
    return mask;
}

MenuBar::MenuBar(MenuPtr mainMenu) : mainMenu_(std::move(mainMenu)), bar_(new QMenuBar) {
    observer_ = mainMenu_->addObserver([this](Menu&) { scheduleRender(); });
    qApp->installEventFilter(this);
    render();
}

MenuBar::~MenuBar() {
    if (qApp) qApp->removeEventFilter(this);
    mainMenu_->removeObserver(observer_);
    delete bar_.data();
}

void MenuBar::scheduleRender() {
    dirty_ = true;
    if (scheduled_) return;
    scheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        scheduled_ = false;
        flush();
    });
}

void MenuBar::flush() {
    if (dirty_) render();
}

void MenuBar::render() {
    dirty_ = false;
    ++renders_;
    if (!bar_) return;
    // Menus may be on screen or sending a signal right now: let them go once control is back.
    for (QAction* action : bar_->actions()) {
        bar_->removeAction(action);
        if (QMenu* menu = action->menu()) menu->deleteLater();
        action->deleteLater();
    }
    std::set<QChar> taken;
    for (const auto& item : mainMenu_->items()) {
        if (item->isHidden() || item->isSeparatorItem()) continue;
        // Owned by the bar, so the menus go with it (adding a menu does not hand it over).
        // Alt and a letter of the title opens it.
        auto* menu = new QMenu(titleWithMnemonic(item->submenu() ? item->submenu()->title() : item->title(), taken), bar_);
        if (item->submenu()) fill(*menu, *item->submenu());
        bar_->addMenu(menu);
    }
}

void MenuBar::fill(QMenu& target, const Menu& source) {
    // In an open menu, a letter of an item's title chooses it.
    std::set<QChar> taken;
    for (const auto& item : source.items()) {
        if (item->isSeparatorItem()) {
            target.addSeparator();
            continue;
        }
        if (item->submenu()) {
            QMenu* sub = target.addMenu(titleWithMnemonic(item->title(), taken));
            sub->setEnabled(item->isEnabled());
            sub->menuAction()->setVisible(!item->isHidden());
            fill(*sub, *item->submenu());
            continue;
        }
        QString text = titleWithMnemonic(item->title(), taken);
        const QKeySequence key = keySequence(item->keyEquivalent(), item->keyEquivalentModifierMask());
        // Shown, not bound: the key equivalents are matched by this object for the whole application.
        if (!key.isEmpty()) text += QLatin1Char('\t') + key.toString(QKeySequence::NativeText);
        QAction* action = target.addAction(text);
        action->setEnabled(item->isEnabled());
        action->setVisible(!item->isHidden());
        action->setCheckable(item->state() != ControlStateValue::off);
        action->setChecked(item->state() == ControlStateValue::on);
        if (!item->imageName().empty()) {
            if (auto image = bundleImage(item->imageName())) {
                const int side = QApplication::style()->pixelMetric(QStyle::PM_SmallIconSize);
                if (auto bitmap = image->renderBitmap(side, side)) action->setIcon(QIcon(QPixmap::fromImage(toQImage(*bitmap))));
            }
        }
        std::weak_ptr<MenuItem> weak = item;
        connect(action, &QAction::triggered, this, [weak] {
            if (auto item = weak.lock()) item->performAction();
        });
    }
}

bool MenuBar::performKeyEquivalent(const QKeyEvent& event) {
    const int key = event.key();
    std::string text;
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        text = std::string(1, static_cast<char>('0' + (key - Qt::Key_0)));
    } else if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        text = std::string(1, static_cast<char>('a' + (key - Qt::Key_A)));
    } else {
        text = QKeySequence(key).toString(QKeySequence::PortableText).toLower().toStdString();
    }
    const auto mask = modifierMask(event.modifiers() & ~Qt::KeypadModifier);
    // A key equivalent always has a modifier; plain typing belongs to the focused control.
    if (text.empty() || mask == modifierNone) return false;
    auto item = mainMenu_->itemForKeyEquivalent(text, mask);
    if (!item) return false;
    return item->performAction();
}

bool MenuBar::eventFilter(QObject* watched, QEvent* event) {
    // Key presses reach the window object first and then its focused widget; take the second.
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() && !QApplication::activeModalWidget()) {
        if (performKeyEquivalent(static_cast<const QKeyEvent&>(*event))) return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace platform::appkit::qt
