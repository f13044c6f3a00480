#pragma once
// Assembles the window application as its interface file would: the engine, the main
// window with the menu bar, the recent output folders and the application delegate,
// then runs the life cycle.
#include "app/ui/app_delegate.hpp"
#include "app/ui/asset_already_exists_window.hpp"
#include "app/ui/asset_catalog_already_exists_window.hpp"
#include "app/ui/main_window.hpp"
#include "platform/appkit/menu.hpp"
#include "platform/appkit/qt/window.hpp"

#include <memory>

namespace gw::ui {

struct DesktopApplication {
    ~DesktopApplication();
    std::shared_ptr<AppDelegate> delegate;
    std::shared_ptr<Glyphwright> engine;
    std::shared_ptr<PreviousLocationsManager> previousLocations;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<MainViewViewController> mainViewController;
    std::shared_ptr<OutputTypeSelectionHandler> outputTypeSelectionHandler;
    QPointer<platform::appkit::qt::TouchBarStrip> touchBarStrip;
    platform::appkit::MenuPtr mainMenu;
    // Kept last in the menu bar: the support menu goes before it.
    platform::appkit::MenuItemPtr helpMenuItem;
    // The prompts of a run that meets an existing catalog or asset; the engine holds them weakly.
    std::shared_ptr<AssetCatalogAlreadyExistsWindow> assetCatalogAlreadyExistsWindow;
    std::shared_ptr<AssetAlreadyExistsWindow> assetAlreadyExistsWindow;
    // Tells the files that could not be added (the delegate's).
    std::shared_ptr<FilesNotAddedAlert> filesNotAdded;

    // Needs the process's application object.
    static std::unique_ptr<DesktopApplication> make();
};

// The whole run: makes the QApplication, the parts above, and runs until an end. The
// arguments that QApplication does not take are files handed over.
int runDesktopApplication(int argc, char** argv);

}  // namespace gw::ui
