#include "platform/appkit/qt/window.hpp"

#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/view_appearance.hpp"

#include <QGuiApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

#include <algorithm>

namespace platform::appkit::qt {

Window::Window(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void Window::orderFront() {
    show();
    raise();
}

void Window::makeKeyAndOrderFront() {
    orderFront();
    activateWindow();
}

void Window::orderOut() { hide(); }

QWidget* Window::owner() const {
    if (QWidget* parent = parentWidget()) return parent->window();
    QWidget* main = Application::visibleMainWindow();
    return main == this ? nullptr : main;
}

void Window::center() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    // move() places the decorated frame; its margins are known only once the window
    // exists on screen, so a hidden window is centred again when it is shown.
    const QMargins margins = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    QRect frame = geometry().marginsAdded(margins);
    const QWidget* over = owner();
    frame.moveCenter(over ? over->frameGeometry().center() : screen->availableGeometry().center());
    // Over a main window near the screen's edge, the whole prompt stays on the screen.
    const QRect available = screen->availableGeometry();
    if (over && available.contains(over->frameGeometry().center())) {
        frame.moveLeft(std::clamp(frame.left(), available.left(), std::max(available.left(), available.right() - frame.width())));
        frame.moveTop(std::clamp(frame.top(), available.top(), std::max(available.top(), available.bottom() - frame.height())));
    }
    move(frame.topLeft());
    centreWhenShown_ = !isVisible();
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

void Window::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from being minimised stays where the user left it.
    if (!event->spontaneous()) attachToMainWindow();
    if (centreWhenShown_) center();
    platform::appkit::ViewAppearance::willAppear(*this, false);
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
