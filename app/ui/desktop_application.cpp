#include "app/ui/desktop_application.hpp"

#include "app/ui/multiple_catalogs_panel.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/ui/prompt_presenters.hpp"
#include "app/ui/root_folder_chooser.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/life_cycle.hpp"
#include "platform/appkit/qt/menu_bar.hpp"

#include <QVBoxLayout>

#include <string>
#include <vector>

namespace gw::ui {

namespace pa = platform::appkit;
namespace qt = platform::appkit::qt;

namespace {

pa::MenuPtr makeFileMenu(const std::weak_ptr<AppDelegate>& delegate, const pa::MenuItemPtr& createItem) {
    auto fileMenu = pa::Menu::make(LocalizedString::text("menu.file.title"));
    fileMenu->addItem(pa::MenuItem::make(
        LocalizedString::text("menu.file.open"),
        [delegate](pa::MenuItem&) {
            if (auto d = delegate.lock()) d->showOpenFileDialog();
        },
        "o"));
    fileMenu->addItem(pa::MenuItem::make(LocalizedString::text("menu.file.destination"), [delegate](pa::MenuItem&) {
        if (auto d = delegate.lock()) d->showOutputDestinationDialog();
    }));
    fileMenu->addItem(pa::MenuItem::separatorItem());
    fileMenu->addItem(createItem);
    return fileMenu;
}

pa::MenuPtr makeMainMenu() {
    auto mainMenu = pa::Menu::make();
    auto appMenu = pa::Menu::make(LocalizedString::text("menu.application.title"));
    appMenu->addItem(pa::MenuItem::make(
        LocalizedString::text("menu.application.quit"),
        [](pa::MenuItem&) {
            if (auto* cycle = qt::LifeCycle::shared()) cycle->terminate();
        },
        "q"));
    auto appItem = pa::MenuItem::make(LocalizedString::text("menu.application.title"));
    appItem->setSubmenu(appMenu);
    mainMenu->addItem(appItem);
    return mainMenu;
}

// Show Touch Bar and Customize Touch Bar…, for the main window's strip.
pa::MenuItemPtr makeViewMenuItem(QPointer<qt::TouchBarStrip> strip) {
    auto viewMenu = pa::Menu::make(LocalizedString::text("menu.view.title"));
    viewMenu->addItem(qt::TouchBarStrip::makeShowTouchBarMenuItem(LocalizedString::text("touch-bar.menu.show")));
    viewMenu->addItem(pa::MenuItem::make(LocalizedString::text("touch-bar.menu.customize"), [strip](pa::MenuItem&) {
        if (!strip) return;
        if (auto* dialog = strip->makeCustomizationDialog(LocalizedString::text("touch-bar.menu.customize"))) {
            dialog->open();
        }
    }));
    auto viewItem = pa::MenuItem::make(LocalizedString::text("menu.view.title"));
    viewItem->setSubmenu(viewMenu);
    return viewItem;
}

}  // namespace

std::unique_ptr<DesktopApplication> DesktopApplication::make() {
    auto app = std::make_unique<DesktopApplication>();
    installRootFolderChooser();
    app->mainMenu = makeMainMenu();
    qt::Application::shared()->setMainMenu(app->mainMenu);

    app->engine = Glyphwright::make();
    app->engine->setCollectionViewArrayController(std::make_shared<pa::ArrayController>());
    auto ui = loadMainInterface(app->engine);
    app->window = std::move(ui.window);
    app->mainViewController = ui.controller;
    app->outputTypeSelectionHandler = ui.outputTypeSelectionHandler;
    app->touchBarStrip = ui.touchBarStrip;
    if (auto* bar = qt::Application::shared()->menuBar()) {
        bar->flush();
        app->window->layout()->setMenuBar(bar->menuBar());
    }
    app->assetCatalogAlreadyExistsWindow = std::make_shared<AssetCatalogAlreadyExistsWindow>();
    app->assetAlreadyExistsWindow = std::make_shared<AssetAlreadyExistsWindow>();
    app->engine->setAssetCatalogFolderAlreadyExistsWindow(app->assetCatalogAlreadyExistsWindow);
    app->engine->setAssetFolderAlreadyExistsWindow(app->assetAlreadyExistsWindow);
    QWidget* window = app->window.get();
    app->engine->setImageLoadAlertHandler([window](const AddImageAlertError& error) {
        (void)window;
        qt::Alert alert;
        alert.messageText = error.messageText();
        alert.informativeText = error.informativeText();
        alert.buttons = {LocalizedString::text("generic.ok")};
        alert.style = qt::AlertStyle::critical;
        alert.runModal();
    });
    app->previousLocations = std::make_shared<PreviousLocationsManager>();

    // Outlets in the order the interface file connects them: the engine last, which
    // restores the saved pictures.
    app->delegate = AppDelegate::make();
    app->delegate->setWindow(window);
    app->delegate->setPreviousFileLocationsManager(app->previousLocations);
    app->delegate->setMultipleCatalogsPanel(std::make_shared<MultipleCatalogsPanel>());
    app->delegate->setGlyphwright(app->engine);
    app->mainViewController->setAppDelegate(app->delegate);
    {
        const std::weak_ptr<AppDelegate> weak = app->delegate;
        auto& appMenu = app->mainMenu->itemAt(0)->submenu();
        appMenu->insertItem(pa::MenuItem::make(
                                LocalizedString::text("menu.application.preferences"),
                                [weak](pa::MenuItem&) {
                                    if (auto d = weak.lock()) d->showSettingsDialog();
                                },
                                ","),
                            0);
    }
    auto fileItem = pa::MenuItem::make(LocalizedString::text("menu.file.title"));
    fileItem->setSubmenu(makeFileMenu(app->delegate, ui.createMenuItem));
    app->mainMenu->addItem(fileItem);
    app->mainMenu->addItem(ui.outputTypeMenuItem);
    app->mainMenu->addItem(makeViewMenuItem(app->touchBarStrip));
    app->delegate->siblingcast().setPresenter(
        makeOtherAppsPresenter("https://apps.apple.com/developer/norvane/id1000000001"));
    app->delegate->myPrompter().setPresenter(
        makeReviewPresenter("https://apps.apple.com/app/id1000000002?action=write-review"));
    return app;
}

int runDesktopApplication(int argc, char** argv) {
    qt::Application application(argc, argv);
    auto app = DesktopApplication::make();
    std::vector<std::string> files;
    const auto arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) files.push_back(arguments[i].toStdString());
    qt::LifeCycle cycle(*app->delegate);
    const int status = cycle.run(app->window.get(), std::move(files));
    // The engine's operations may still run on workers: they finish before anything goes.
    app->engine->waitUntilAllOperationsAreFinished();
    return status;
}

}  // namespace gw::ui
