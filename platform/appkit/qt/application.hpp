#pragma once
// Stands in for the platform's application object: owns the process's QApplication,
// drives the main queue from the event loop, runs windows application-modally and holds
// the menu bar. One per process, made and used on the main thread.
#include "platform/appkit/menu.hpp"

#include <QApplication>
#include <QPointer>

#include <memory>
#include <vector>

namespace platform::appkit::qt {

class MenuBar;
class Window;

class Application {
public:
    // Adopts the QApplication when one exists already (test harnesses make their own),
    // else makes one from argc/argv (which must outlive this object). Installs the
    // main-queue driver.
    Application(int& argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The application made last; null when there is none.
    static Application* shared();

    QApplication& qApplication() const { return *app_; }
    int run();

    // Shows `window` application-modally and runs a nested event loop until stopModal()
    // or until the window is closed by any other means (title-bar button, Escape, the
    // window manager), which ends it with 0. The main queue keeps draining meanwhile.
    // The window stays shown: the caller orders it out.
    int runModal(Window& window);
    // Ends the innermost modal loop with `code`; nothing when none runs.
    void stopModal(int code);
    bool isRunningModal() const { return !sessions_.empty(); }
    Window* modalWindow() const;

    // The menu bar's model; its key equivalents work from every window.
    const MenuPtr& mainMenu() const { return mainMenu_; }
    void setMainMenu(MenuPtr menu);
    MenuBar* menuBar() const { return menuBar_.get(); }

    // The window sheets, prompts and alerts belong to: they stay above it (transient for
    // it) and open centred on it. Null when there is none.
    QWidget* mainWindow() const { return mainWindow_.data(); }
    void setMainWindow(QWidget* window) { mainWindow_ = window; }
    // The shared application's main window while it is shown; null otherwise.
    static QWidget* visibleMainWindow();

private:
    struct Session;
    void endSession(Session& session, int code);

    QApplication* app_ = nullptr;
    std::unique_ptr<QApplication> ownedApp_;
    std::vector<Session*> sessions_;
    MenuPtr mainMenu_;
    std::unique_ptr<MenuBar> menuBar_;
    QPointer<QWidget> mainWindow_;
    // Gives the keyboard back to a modal window when a window it blocks was made active.
    std::unique_ptr<QObject> modalKeeper_;
};

}  // namespace platform::appkit::qt
