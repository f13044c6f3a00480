#include "platform/appkit/qt/window.hpp"

#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/view_appearance.hpp"

#include <QApplication>
#include <QFontMetrics>
#include <QEventLoop>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <memory>
#include <utility>

namespace platform::appkit::qt {

Window::Window(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void Window::orderFront() {
    show();
    raise();
}

void Window::makeKeyAndOrderFront() {
    orderFront();
    makeKey(*this);
}

QWidget* blockingModal(const QWidget& window) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return nullptr;
    for (const QWidget* w = &window; w; w = w->parentWidget()) {
        if (w == modal) return nullptr;
    }
    return modal;
}

void makeKey(QWidget& window) {
    QWidget* modal = blockingModal(window);
    if (!modal) {
        window.activateWindow();
    } else if (!modal->isActiveWindow()) {
        modal->activateWindow();
    }
}

void Window::orderOut() { hide(); }

QWidget* Window::owner() const {
    if (QWidget* parent = parentWidget()) return parent->window();
    QWidget* main = Application::visibleMainWindow();
    return main == this ? nullptr : main;
}

void Window::center() {
    centreOver(*this, owner());
    // The decoration is known for sure only once the window exists on screen, so a hidden
    // window is centred again when it is shown.
    centreWhenShown_ = !isVisible();
}

namespace {

QScreen* screenOf(const QWidget& window, const QWidget* owner) {
    if (owner && owner->screen()) return owner->screen();
    return window.screen() ? window.screen() : QGuiApplication::primaryScreen();
}

// `frame` moved as little as possible to lie whole inside `area` (its top-left corner
// inside, when it is larger).
QRect keptInside(QRect frame, const QRect& area) {
    frame.moveLeft(std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() + 1 - frame.width())));
    frame.moveTop(std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() + 1 - frame.height())));
    return frame;
}

}  // namespace

QMargins decorationOf(const QWidget& window, const QWidget* like) {
    const QWindow* own = window.windowHandle();
    if (own && !own->frameMargins().isNull()) return own->frameMargins();
    const QWindow* other = like ? like->window()->windowHandle() : nullptr;
    return other ? other->frameMargins() : QMargins();
}

void centreOver(QWidget& window, const QWidget* owner) {
    QScreen* screen = screenOf(window, owner);
    if (!screen) return;
    const QWidget* over = owner ? owner->window() : nullptr;
    // move() places the decorated frame.
    QRect frame = QRect(QPoint(0, 0), window.size()).marginsAdded(decorationOf(window, over));
    const QRect available = screen->availableGeometry();
    frame.moveCenter(over ? over->frameGeometry().center() : available.center());
    // Over a main window that is on the screen, the whole window stays on the screen.
    if (over && available.contains(over->frameGeometry().center())) frame = keptInside(frame, available);
    window.move(frame.topLeft());
}

void keepTitleWhole(QWidget& window) {
    const QString name = QGuiApplication::applicationDisplayName();
    const QString title = window.windowTitle();
    // The title as the toolkit hands it to the window manager.
    const QString shown = title.isEmpty() ? name : (name.isEmpty() || title == name ? title : title + QStringLiteral(" \u2014 ") + name);
    // Title bars use a bold face of about the desktop's size; the icon and three buttons
    // take about a hundred pixels beside the title.
    QFont font = window.font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() > 0 ? font.pointSizeF() * 1.15 : 11);
    constexpr int kTitleBarFurniture = 110;
    const int needed = QFontMetrics(font).horizontalAdvance(shown) + kTitleBarFurniture;
    // A message box fixes its own size from its layout whenever it is shown: it is widened
    // through the layout.
    if (auto* box = qobject_cast<QMessageBox*>(&window)) {
        if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
            grid->addItem(new QSpacerItem(needed - grid->contentsMargins().left() - grid->contentsMargins().right(), 0,
                                          QSizePolicy::Fixed, QSizePolicy::Minimum),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
        return;
    }
    window.setMinimumWidth(std::max(window.minimumWidth(), needed));
    if (window.width() < needed) window.resize(needed, window.height());
}

void Window::attachToMainWindow() {
    if (parentWidget()) return;  // the toolkit keeps a child window above its parent already
    QWidget* main = owner();
    if (!main) return;
    // Before the window is mapped, so the window manager places and stacks it as a dialog
    // of the main window.
    setTransientFor(*this, *main);
    center();
}

void setTransientFor(QWidget& window, QWidget& owner) {
    QWidget* ownerWindow = owner.window();
    window.winId();
    ownerWindow->winId();
    if (window.windowHandle() && ownerWindow->windowHandle())
        window.windowHandle()->setTransientParent(ownerWindow->windowHandle());
}

namespace {

// The window of `owner` while it is shown but not on the screen; null otherwise.
QWindow* notYetOnScreen(const QWidget* owner) {
    const QWidget* over = owner ? owner->window() : nullptr;
    QWindow* window = over ? over->windowHandle() : nullptr;
    if (!window || !over->isVisible()) return nullptr;
    if (over->isMinimized()) return window;
    // Offscreen no window manager places windows: they are where they say at once.
    return !window->isExposed() && QGuiApplication::platformName() != QLatin1String("offscreen") ? window : nullptr;
}

// Watches a window's exposes for whenOnScreen; goes with its action, or with its context.
class OnScreenWaiter final : public QObject {
public:
    OnScreenWaiter(const QWidget* owner, QWindow* window, QObject* context, std::function<void()> action)
        : QObject(context), owner_(owner), action_(std::move(action)) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Expose) {
            // Once the expose is handled: the window is then on the screen where it says.
            QTimer::singleShot(0, this, [this] {
                if (owner_ && notYetOnScreen(owner_)) return;
                const auto action = std::move(action_);
                deleteLater();
                if (action) action();
            });
        }
        return false;
    }

private:
    QPointer<const QWidget> owner_;
    std::function<void()> action_;
};

// How long a modal alert waits for the window it is shown over.
constexpr int kOnScreenDeadlineMs = 5000;

}  // namespace

void whenOnScreen(const QWidget* owner, QObject* context, std::function<void()> action) {
    if (QWindow* window = notYetOnScreen(owner)) {
        new OnScreenWaiter(owner, window, context, std::move(action));
        return;
    }
    action();
}

namespace {

// An alert opened before `owner`'s window was on the screen (a window manager slow to place
// it, a busy machine) opened where the window was not: it follows the window there, once it
// is on the screen itself (shown and of its size; the window manager puts it there after
// the window).
void followOntoScreen(const QWidget* owner, QWidget& alert) {
    if (!notYetOnScreen(owner)) return;
    alert.winId();
    new OnScreenWaiter(&alert, alert.windowHandle(), &alert, [&alert, over = QPointer<const QWidget>(owner)] {
        if (!over) return;
        whenOnScreen(over, &alert, [&alert, over] {
            if (over) centreOver(alert, over);
        });
    });
}

}  // namespace

void waitUntilOnScreen(const QWidget* owner, QWidget& alert) {
    if (!notYetOnScreen(owner)) return;
    QEventLoop loop;
    whenOnScreen(owner, &loop, [&loop] { loop.quit(); });
    // A window manager that never puts the window back does not keep the alert away.
    QTimer::singleShot(kOnScreenDeadlineMs, &loop, &QEventLoop::quit);
    loop.exec();
    followOntoScreen(owner, alert);
}

void openWhenOnScreen(const QWidget* owner, QWidget& alert, std::function<void()> open) {
    if (!notYetOnScreen(owner)) {
        open();
        return;
    }
    auto once = std::make_shared<std::function<void()>>(std::move(open));
    whenOnScreen(owner, &alert, [once] {
        if (*once) std::exchange(*once, nullptr)();
    });
    // A window manager that never puts the window back does not keep the alert away.
    QTimer::singleShot(kOnScreenDeadlineMs, &alert, [once, &alert, over = QPointer<const QWidget>(owner)] {
        if (!*once) return;
        std::exchange(*once, nullptr)();
        if (over) followOntoScreen(over, alert);
    });
}

void Window::setVisible(bool visible) {
    const int request = ++visibilityRequests_;
    if (visible && !isVisible()) {
        if (QWidget* over = owner(); over && notYetOnScreen(over)) {
            whenOnScreen(over, this, [this, request] {
                if (request == visibilityRequests_) showNow();
            });
            return;
        }
        showNow();
        return;
    }
    QWidget::setVisible(visible);
}

void Window::showNow() {
    // A window a modal one blocks, mapped, would be given the keyboard by the window
    // manager, and the keys typed into the modal window meanwhile dropped. A modal window
    // that opens is the one that blocks the others.
    const bool quiet = testAttribute(Qt::WA_ShowWithoutActivating);
    if (!isModal() && blockingModal(*this)) setAttribute(Qt::WA_ShowWithoutActivating);
    QWidget::setVisible(true);
    setAttribute(Qt::WA_ShowWithoutActivating, quiet);
}

void Window::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) keepTitleWhole(*this);
    QWidget::showEvent(event);
    // A window coming back from being minimised stays where the user left it.
    if (!event->spontaneous()) attachToMainWindow();
    if (centreWhenShown_) center();
    platform::appkit::ViewAppearance::willAppear(*this, false);
}

void Panel::setContentView(QWidget* content) {
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("panelContent"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    content_ = content;
}

void Panel::placeBeside(QWidget& owner) {
    QWidget& main = *owner.window();
    QScreen* screen = screenOf(*this, &main);
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QMargins decoration = decorationOf(*this, &main);
    const int across = decoration.left() + decoration.right();
    // The size the content asks for, no larger than the screen.
    QSize wanted = content_ ? content_->sizeHint().expandedTo(content_->minimumSizeHint()) : sizeHint();
    wanted = wanted.expandedTo(minimumSizeHint()).expandedTo(minimumSize());
    QRect mainFrame = main.frameGeometry();
    const auto roomRight = [&] { return available.right() - mainFrame.right(); };
    const auto roomLeft = [&] { return mainFrame.left() - available.left(); };
    const int frameWidth = std::min(wanted.width() + across, available.width());
    // Where the panel fits whole beside the main window it goes there. Else the main window
    // first moves towards the other edge of the screen, as far as the panel needs, and the
    // panel takes the room beside it, narrower than it would be where the room is short
    // (its content scrolls), so that the main window's warnings and buttons stay in view.
    // Only where even that leaves no usable panel does it overlap the main window, from
    // the roomier side.
    const int narrowest = std::max(320, minimumWidth());
    if (std::max(roomRight(), roomLeft()) < frameWidth) {
        const bool towardsLeft = roomLeft() <= roomRight();
        const int shift = std::min(towardsLeft ? roomLeft() : roomRight(), frameWidth - std::max(roomLeft(), roomRight()));
        mainFrame.translate(towardsLeft ? -shift : shift, 0);
        main.move(mainFrame.topLeft());
    }
    const bool right = roomRight() >= frameWidth || (roomLeft() < frameWidth && roomRight() >= roomLeft());
    const int room = right ? roomRight() : roomLeft();
    QSize size(std::max(frameWidth - across, minimumWidth()), wanted.height());
    if (room < frameWidth && room - across >= narrowest) size.setWidth(room - across);
    // Content whose height follows its width (a canvas of fixed proportions) gets it.
    if (content_ && content_->hasHeightForWidth())
        size.setHeight(std::max(size.height(), content_->heightForWidth(size.width())));
    size.setHeight(std::min(size.height(), available.height() - decoration.top() - decoration.bottom()));
    size = size.expandedTo(minimumSize());
    resize(size);
    QRect frame(QPoint(0, 0), size.grownBy(decoration));
    frame.moveTop(mainFrame.top());
    if (right) frame.moveLeft(mainFrame.right() + 1);
    else frame.moveRight(mainFrame.left() - 1);
    move(keptInside(frame, available).topLeft());
    placed_ = true;
}

void Panel::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) keepTitleWhole(*this);
    if (!event->spontaneous() && !placed_) {
        if (QWidget* over = owner()) placeBeside(*over);
    }
    Window::showEvent(event);
}

void Window::setFrame(const QRect& frame, bool display) {
    setGeometry(frame);
    if (display && isVisible()) repaint();
}

int Window::addCloseHandler(std::function<void()> handler) {
    const int token = nextToken_++;
    closeHandlers_.emplace_back(token, std::move(handler));
    return token;
}

void Window::removeCloseHandler(int token) {
    std::erase_if(closeHandlers_, [token](const auto& entry) { return entry.first == token; });
}

void Window::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && defaultButton_ &&
        defaultButton_->isEnabled()) {
        defaultButton_->click();
        return;
    }
    if (plain && event->key() == Qt::Key_Escape) {
        if (cancelButton_ && cancelButton_->isEnabled()) {
            cancelButton_->click();
        } else {
            close();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void Window::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // A minimised window is hidden spontaneously and still open.
    if (event->spontaneous()) return;
    auto handlers = closeHandlers_;
    for (auto& [token, handler] : handlers) handler();
}

}  // namespace platform::appkit::qt
