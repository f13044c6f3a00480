#pragma once
// Assembles the window application as its interface file would: the engine, the main
// window with the menu bar, the recent output folders and the application delegate,
// then runs the life cycle. Until the main window's content is built it is a plain
// window holding the menu bar.
#include "app/ui/app_delegate.hpp"
#include "platform/appkit/menu.hpp"
#include "platform/appkit/qt/window.hpp"

#include <memory>

namespace gw::ui {

struct DesktopApplication {
    std::shared_ptr<AppDelegate> delegate;
    std::shared_ptr<Glyphwright> engine;
    std::shared_ptr<PreviousLocationsManager> previousLocations;
    std::unique_ptr<platform::appkit::qt::Window> window;
    platform::appkit::MenuPtr mainMenu;

    // Needs the process's application object.
    static std::unique_ptr<DesktopApplication> make();
};

// The whole run: makes the QApplication, the parts above, and runs until an end. The
// arguments that QApplication does not take are files handed over.
int runDesktopApplication(int argc, char** argv);

}  // namespace gw::ui
