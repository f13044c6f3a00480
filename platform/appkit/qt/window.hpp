#pragma once
// Stands in for the platform's windows and panels: a top-level widget that is made once
// and reused (closing hides it), with a default button for Return and a cancel button
// for Escape. A window without a parent that is not the application's main window is a
// sheet or prompt of it: each time it is shown it stays above the main window (transient
// for it) and opens centred on it.
#include <QAbstractButton>
#include <QMargins>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <vector>

namespace platform::appkit::qt {

class Window : public QWidget {
public:
    explicit Window(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);

    void orderFront();
    // Shows, raises and gives it the keyboard (through makeKey).
    void makeKeyAndOrderFront();
    void orderOut();
    // Centred on the window it belongs to (its parent's window, else the application's
    // visible main window), else on the screen it is on (the primary one when it has
    // none); decorations included.
    void center();
    // The frame is the window's own rectangle (the window manager's decoration excluded).
    QRect frame() const { return geometry(); }
    void setFrame(const QRect& frame, bool display = true);

    // Return presses the default button, Escape the cancel button (or closes the window).
    void setDefaultButton(QAbstractButton* button) { defaultButton_ = button; }
    void setCancelButton(QAbstractButton* button) { cancelButton_ = button; }

    // Shown while the window it belongs to is not on the screen (minimised, or not yet
    // placed there by the window manager at the start), it opens once that window is:
    // placed beside or over a window the window manager had not placed yet, it went where
    // that window was not, and stayed unpainted.
    void setVisible(bool visible) override;

    // Told whenever the window is hidden by code or closed by any means.
    int addCloseHandler(std::function<void()> handler);
    void removeCloseHandler(int token);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void showEvent(QShowEvent* event) override;

    // The window this one opens over; null when none.
    QWidget* owner() const;

private:
    void attachToMainWindow();
    void showNow();

    QPointer<QAbstractButton> defaultButton_;
    QPointer<QAbstractButton> cancelButton_;
    std::vector<std::pair<int, std::function<void()>>> closeHandlers_;
    int nextToken_ = 1;
    bool centreWhenShown_ = false;
    int visibilityRequests_ = 0;
};

// Runs `action` once `owner`'s window is on the screen where the window manager put it (at
// once when it is, when it is not shown, and offscreen, where nothing places windows), as
// long as `context` lives. For what is placed beside or over it.
void whenOnScreen(const QWidget* owner, QObject* context, std::function<void()> action);
// Waits, running the loop, until `owner`'s window is on the screen, for a few seconds at
// most: for a modal alert (`alert`), which must be placed over it before it runs. Past
// that the alert opens, and comes over the window once the window is on the screen.
void waitUntilOnScreen(const QWidget* owner, QWidget& alert);
// The same without waiting: `open` runs once `owner`'s window is on the screen, or after a
// few seconds at most (as long as `alert` lives); opened before that, the alert comes over
// the window once the window is on the screen.
void openWhenOnScreen(const QWidget* owner, QWidget& alert, std::function<void()> open);

// The modal window that blocks input to the top-level `window`: the application's modal
// window while it is shown, unless `window` is that one or one it opened; null otherwise.
QWidget* blockingModal(const QWidget& window);
// Gives the top-level `window` the keyboard. A window a modal one blocks drops every key
// while it has it: that modal window keeps the keyboard instead, as a sheet stays key over
// its window.
void makeKey(QWidget& window);

// Makes the top-level `window` transient for `owner`'s window, so the window manager keeps
// it above that window and places it as a dialog of it; best before it is first shown.
void setTransientFor(QWidget& window, QWidget& owner);

// The decoration the window manager puts around the top-level `window`: its own once it
// has been on screen, else that of `like` (a window the same manager decorates already),
// else none.
QMargins decorationOf(const QWidget& window, const QWidget* like);
// Moves the top-level `window` so that its decorated frame is centred on `owner`'s (on its
// screen's free area when there is no owner), and kept whole on the screen.
void centreOver(QWidget& window, const QWidget* owner);
// Makes the top-level `window` at least as wide as the window manager needs to show its
// title whole (as the manager shows it: with the application's name), beside the icon and
// buttons of its title bar.
void keepTitleWhole(QWidget& window);

// A utility window: stays above its application's windows, no task-bar entry. Its content
// sits in a scroll area, so that it can be given less room than it would take; the first
// time it opens it is placed beside the window it belongs to (Algorithm in placeBeside).
class Panel : public Window {
public:
    explicit Panel(QWidget* parent = nullptr) : Window(parent, Qt::Tool) {}

    // The panel's content; the panel's size follows the content's wish.
    void setContentView(QWidget* content);
    QWidget* contentView() const { return content_; }
    // Sizes and places the panel beside `owner`'s window as its first opening does (which
    // may move that window aside on a small screen).
    void placeBeside(QWidget& owner);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPointer<QWidget> content_;
    bool placed_ = false;
};

}  // namespace platform::appkit::qt
