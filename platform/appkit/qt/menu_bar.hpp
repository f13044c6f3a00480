#pragma once
// Renders a menu model into a Qt menu bar and makes its key equivalents application-wide:
// they fire from every window and panel, as one shared menu bar does, except while a
// modal window runs. Command is Ctrl and Option is Alt here.
#include "platform/appkit/menu.hpp"

#include <QKeySequence>
#include <QMenuBar>
#include <QObject>
#include <QPointer>

#include <set>

#include <memory>

namespace platform::appkit::qt {

class MenuBar : public QObject {
public:
    explicit MenuBar(MenuPtr mainMenu);
    ~MenuBar() override;

    // The rendered bar; a main window may place it in its layout.
    QMenuBar* menuBar() const { return bar_.data(); }
    // Renders now when the model changed since the last rendering (rendering is otherwise
    // deferred to the event loop, so an action may rebuild the menu that sent it).
    void flush();
    std::size_t renderCount() const { return renders_; }

    // Runs the item whose key equivalent matches; whether one ran.
    bool performKeyEquivalent(const QKeyEvent& event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void scheduleRender();
    void render();
    void fill(QMenu& target, const Menu& source);

    MenuPtr mainMenu_;
    int observer_ = 0;
    QPointer<QMenuBar> bar_;
    bool dirty_ = false;
    bool scheduled_ = false;
    std::size_t renders_ = 0;
};

// The Qt key sequence of a key equivalent; empty when it has none.
QKeySequence keySequence(const std::string& keyEquivalent, std::uint32_t modifierMask);
// The modifier mask of Qt modifiers.
std::uint32_t modifierMask(Qt::KeyboardModifiers modifiers);
// `title` as a menu shows it with a mnemonic: the first word-initial letter (else any
// letter or digit) not in `taken` is marked and taken; ampersands of the title stay text.
QString titleWithMnemonic(const std::string& title, std::set<QChar>& taken);

}  // namespace platform::appkit::qt
