#include "platform/appkit/qt/window.hpp"

#include "platform/appkit/view_appearance.hpp"

#include <QGuiApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

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

void Window::center() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    // move() places the decorated frame; its margins are known only once the window
    // exists on screen, so a hidden window is centred again when it is shown.
    const QMargins margins = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    QRect frame = geometry().marginsAdded(margins);
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
    centreWhenShown_ = !isVisible();
}

void Window::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
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
