#include "app/ui/desktop_application.hpp"

#include "app/ui/multiple_catalogs_panel.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "app/ui/prompt_presenters.hpp"
#include "app/ui/root_folder_chooser.hpp"
#include "platform/appkit/application_instance.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/life_cycle.hpp"
#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/appkit/recent_documents.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/utf8.hpp"
#include "app/foundation/folder_scanning.hpp"

#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace gw::ui {

namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;

namespace {

// File: pictures in, the output folder (chosen or recent), create, and Quit last, where
// Linux desktops keep it.
pa::MenuPtr makeFileMenu(const std::weak_ptr<AppDelegate>& delegate, const pa::MenuItemPtr& createItem,
                         const pa::MenuItemPtr& recentFoldersItem) {
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
    fileMenu->addItem(recentFoldersItem);
    fileMenu->addItem(pa::MenuItem::separatorItem());
    fileMenu->addItem(createItem);
    fileMenu->addItem(pa::MenuItem::separatorItem());
    fileMenu->addItem(pa::MenuItem::make(
        LocalizedString::text("menu.application.quit"),
        [](pa::MenuItem&) {
            if (auto* cycle = qt::LifeCycle::shared()) cycle->terminate();
        },
        "q"));
    return fileMenu;
}

pa::MenuItemPtr menuItemWith(const std::string& titleKey, pa::MenuPtr submenu) {
    auto item = pa::MenuItem::make(LocalizedString::text(titleKey));
    item->setSubmenu(std::move(submenu));
    return item;
}

// Edit: Preferences…, where Linux desktops keep it.
pa::MenuItemPtr makeEditMenuItem(const std::weak_ptr<AppDelegate>& delegate) {
    auto editMenu = pa::Menu::make(LocalizedString::text("menu.edit.title"));
    editMenu->addItem(pa::MenuItem::make(
        LocalizedString::text("menu.application.preferences"),
        [delegate](pa::MenuItem&) {
            if (auto d = delegate.lock()) d->showSettingsDialog();
        },
        ","));
    return menuItemWith("menu.edit.title", std::move(editMenu));
}

// Help: the instructions panel and the About box.
pa::MenuItemPtr makeHelpMenuItem(const std::weak_ptr<AppDelegate>& delegate,
                                 const std::weak_ptr<MainViewViewController>& controller) {
    auto helpMenu = pa::Menu::make(LocalizedString::text("menu.help.title"));
    helpMenu->addItem(pa::MenuItem::make(LocalizedString::text("menu.help.help"), [controller](pa::MenuItem&) {
        if (auto c = controller.lock()) c->questionMarkButtonPressed();
    }));
    helpMenu->addItem(pa::MenuItem::separatorItem());
    helpMenu->addItem(pa::MenuItem::make(LocalizedString::text("menu.help.about"), [delegate](pa::MenuItem&) {
        if (auto d = delegate.lock()) d->orderFrontStandardAboutPanel();
    }));
    return menuItemWith("menu.help.title", std::move(helpMenu));
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
    return menuItemWith("menu.view.title", std::move(viewMenu));
}

}  // namespace

namespace {

// The files later launches handed over, as the instance's thread took them, until the
// main thread hands them to the life cycle.
class HandedOverFiles {
public:
    void add(std::vector<std::string> files) {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(files));
    }
    void handTo(qt::LifeCycle& cycle) {
        std::vector<std::vector<std::string>> requests;
        {
            std::lock_guard lock(mutex_);
            requests.swap(requests_);
        }
        for (auto& files : requests) cycle.handOver(std::move(files));
    }

private:
    std::mutex mutex_;
    std::vector<std::vector<std::string>> requests_;
};

// Hands the open file to a child process that keeps it until this process has ended (its
// end closes the pipe the child waits on), then ends too: the storage of the saved state
// a quit replaced (2 GB take half a second to release) is released after the quit,
// which ends as soon as the new state is in place. The child only waits; between the
// fork and its end it makes nothing but system calls.
void releaseAfterThisProcess(pf::files::UniqueFd file) {
    int wake[2];
    if (file.get() < 0 || ::pipe2(wake, O_CLOEXEC) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
        // Nothing of this process's but the file and the pipe: no lock, socket or bus
        // connection of it outlives it in the child.
        if (::dup2(file.get(), 3) < 0 || ::dup2(wake[0], 4) < 0) ::_exit(0);
        ::syscall(SYS_close_range, 5u, ~0u, 0u);
        for (int fd = 0; fd < 3; ++fd) ::close(fd);
        char byte;
        while (::read(4, &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(wake[0]);
    // The write end stays open for as long as this process lives; once it has ended the
    // child is taken over (and reaped) by whoever reaps orphans.
    if (child < 0) ::close(wake[1]);
}

// A start that ends before its window was ever drawn says why on its error output:
// otherwise whoever started it sees nothing at all.
void reportEndBeforeWindow(const qt::LifeCycle& cycle) {
    std::string reason;
    switch (cycle.end()) {
        case qt::LifeCycle::End::signal: {
            const char* name = cycle.endSignal() == SIGINT ? "SIGINT" : cycle.endSignal() == SIGTERM ? "SIGTERM" : nullptr;
            reason = LocalizedString::text("desktop.end.before-window.signal",
                                           name ? std::string(name) : std::to_string(cycle.endSignal()));
            break;
        }
        case qt::LifeCycle::End::quit: reason = LocalizedString::text("desktop.end.before-window.quit"); break;
        case qt::LifeCycle::End::exitWithoutTerminating:
        case qt::LifeCycle::End::none: reason = LocalizedString::text("desktop.end.before-window.other"); break;
    }
    std::fprintf(stderr, "%s\n", reason.c_str());
}

}  // namespace

std::unique_ptr<DesktopApplication> DesktopApplication::make() {
    auto app = std::make_unique<DesktopApplication>();
    const std::string name = applicationDisplayName();
    // Window titles and the dialogs without a title of their own carry this name, not the
    // executable's.
    QGuiApplication::setApplicationDisplayName(QString::fromStdString(name));
    installRootFolderChooser();
    // Opened pictures go to the desktop's recently-used list, under the application's name.
    setRecentDocumentHandler([name](const pf::URL& url) {
        pa::RecentDocuments::noteNewRecentDocumentURL(url, name, "glyphwright %u");
    });
    app->mainMenu = pa::Menu::make();
    qt::Application::shared()->setMainMenu(app->mainMenu);

    app->engine = Glyphwright::make();
    app->engine->setCollectionViewArrayController(std::make_shared<pa::ArrayController>());
    auto ui = loadMainInterface(app->engine);
    app->window = std::move(ui.window);
    app->window->setWindowTitle(QString::fromStdString(name));
    qt::Application::shared()->setMainWindow(app->window.get());
    app->mainViewController = ui.controller;
    app->outputTypeSelectionHandler = ui.outputTypeSelectionHandler;
    app->touchBarStrip = ui.touchBarStrip;
    if (auto* bar = qt::Application::shared()->menuBar()) {
        app->window->layout()->setMenuBar(bar->menuBar());
    }
    app->assetCatalogAlreadyExistsWindow = std::make_shared<AssetCatalogAlreadyExistsWindow>();
    app->assetAlreadyExistsWindow = std::make_shared<AssetAlreadyExistsWindow>();
    app->engine->setAssetCatalogFolderAlreadyExistsWindow(app->assetCatalogAlreadyExistsWindow);
    app->engine->setAssetFolderAlreadyExistsWindow(app->assetAlreadyExistsWindow);
    app->previousLocations = std::make_shared<PreviousLocationsManager>();

    // Outlets in the order the interface file connects them: the engine last, which
    // restores the saved pictures.
    app->delegate = AppDelegate::make();
    app->delegate->setWindow(app->window.get());
    app->delegate->setPreviousFileLocationsManager(app->previousLocations);
    app->delegate->setMultipleCatalogsPanel(std::make_shared<MultipleCatalogsPanel>());
    app->delegate->setGlyphwright(app->engine);
    app->mainViewController->setAppDelegate(app->delegate);
    // Files handed over with others, or found in a folder, that cannot be read as pictures
    // are told with those missing, in the one alert: the engine only reports them, from
    // whichever thread read them.
    app->filesNotAdded = app->delegate->filesNotAdded();
    setSkippedPictureHandler([weak = std::weak_ptr<FilesNotAddedAlert>(app->filesNotAdded)](const pf::URL&,
                                                                                          const std::string& why) {
        if (auto alert = weak.lock()) alert->add(why);
    });
    // So is a file that is no picture in single-image mode, where it replaces nothing: an
    // alert of its own each, waiting for an answer, held the window (and its end) once for
    // every such file handed over. One line each, as the alert lists them.
    app->engine->setImageLoadAlertHandler(
        [weak = std::weak_ptr<FilesNotAddedAlert>(app->filesNotAdded)](const AddImageAlertError& error) {
            auto why = error.informativeText();
            std::replace(why.begin(), why.end(), '\n', ' ');
            if (auto alert = weak.lock()) alert->add(std::move(why));
        });

    // The menus in the places Linux desktops keep them; the support menu joins before
    // Help once launching has finished.
    auto recentFoldersItem = pa::MenuItem::make(LocalizedString::text("menu.file.recent-destinations"));
    app->previousLocations->setRecentLocationsMenuItem(recentFoldersItem);
    app->mainMenu->addItem(
        menuItemWith("menu.file.title", makeFileMenu(app->delegate, ui.createMenuItem, recentFoldersItem)));
    app->mainMenu->addItem(makeEditMenuItem(app->delegate));
    app->mainMenu->addItem(ui.outputTypeMenuItem);
    app->mainMenu->addItem(makeViewMenuItem(app->touchBarStrip));
    app->helpMenuItem = makeHelpMenuItem(app->delegate, app->mainViewController);
    app->mainMenu->addItem(app->helpMenuItem);
    if (auto* bar = qt::Application::shared()->menuBar()) bar->flush();
    app->delegate->siblingcast().setPresenter(
        makeOtherAppsPresenter("https://apps.apple.com/developer/norvane/id1000000001"));
    app->delegate->myPrompter().setPresenter(
        makeReviewPresenter("https://apps.apple.com/app/id1000000002?action=write-review"));
    return app;
}

DesktopApplication::~DesktopApplication() {
    if (filesNotAdded) setSkippedPictureHandler({});
}

int runDesktopApplication(int argc, char** argv) {
    // "--" ends the options: what follows it is a file whatever it looks like, and the
    // toolkit never sees it.
    int toolkitArgc = argc;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") != 0) continue;
        toolkitArgc = i;
        files.assign(argv + i + 1, argv + argc);
        break;
    }
    std::vector<char*> toolkitArgv(argv, argv + toolkitArgc);
    toolkitArgv.push_back(nullptr);
    qt::Application application(toolkitArgc, toolkitArgv.data());
    // What the toolkit left of the arguments (it takes its own out), as the bytes the
    // system gave: a file name need not be text in any encoding.
    files.insert(files.begin(), toolkitArgv.begin() + 1, toolkitArgv.begin() + toolkitArgc);
    // One window program per user: a later launch hands what it was asked to open to this
    // one's window and ends; one that comes while this one saves its quit waits for that.
    // Named relative to the folder this start was made in: taken from there, or, when
    // that folder is gone, refused by name (the window would take them from its own).
    std::vector<std::string> handed, unplaced;
    for (const auto& file : files) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(file, error);
        (error ? unplaced : handed).push_back(error ? file : absolute.string());
    }
    if (!unplaced.empty()) {
        std::error_code error;
        auto folder = std::filesystem::read_symlink("/proc/self/cwd", error).string();
        if (error) folder = "?";
        std::string list;
        for (const auto& file : unplaced) list += (list.empty() ? "" : ", ") + pf::escapedForDisplay(file);
        std::fprintf(stderr, "%s\n",
                     LocalizedString::text("desktop.launch.no-working-folder", list, pf::escapedForDisplay(folder))
                         .c_str());
        return 1;
    }
    pa::ApplicationInstance::Options options;
    options.givingUp = [] { return qt::LifeCycle::signalPending(); };
    options.waiting = [](pa::ApplicationInstance::Waiting why) {
        const char* key = why == pa::ApplicationInstance::Waiting::ending ? "desktop.launch.waiting-for-instance"
                                                                         : "desktop.launch.waiting-for-instance.no-answer";
        std::fprintf(stderr, "%s\n", LocalizedString::text(key).c_str());
    };
    // Taken on the instance's own thread; kept here until the main thread opens them, so
    // that an end decided meanwhile still finds them and saves them.
    auto inbox = std::make_shared<HandedOverFiles>();
    auto claim = pa::ApplicationInstance::claim(
        pf::Bundle::main().bundleIdentifier(), handed,
        [inbox](std::vector<std::string> requested) {
            inbox->add(std::move(requested));
            platform::dispatch::DispatchQueue::main().async([inbox] {
                if (auto* cycle = qt::LifeCycle::shared()) inbox->handTo(*cycle);
            });
        },
        options);
    if (claim.handedOver) return 0;
    if (claim.gaveUp) {
        // Asked to end while a running window kept it waiting: nothing was read, and the
        // saved state is the running window's.
        const int signal = qt::LifeCycle::takePendingSignal();
        const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : nullptr;
        const auto reason = LocalizedString::text("desktop.end.before-window.signal",
                                                  name ? std::string(name) : std::to_string(signal));
        std::fprintf(stderr, "%s\n", reason.c_str());
        // A start of very many files hands them over in parts: those before are opened.
        if (claim.filesHandedOver >= files.size()) return 0;
        std::string list;
        for (auto file = files.begin() + static_cast<std::ptrdiff_t>(claim.filesHandedOver); file != files.end(); ++file) {
            list += (list.empty() ? "" : ", ") + pf::escapedForDisplay(*file);
        }
        std::fprintf(stderr, "%s\n", LocalizedString::text("desktop.launch.not-opened", list).c_str());
        return 1;
    }
    if (!claim.instance) {
        std::fprintf(stderr, "%s\n",
                     LocalizedString::text("desktop.launch.own-window", pf::escapedForDisplay(claim.failure)).c_str());
    }
    auto app = DesktopApplication::make();
    // The delegate is installed: whoever forwards its callbacks hears of it before the
    // first one, and lets go of it before the window system goes.
    pa::ApplicationDelegateRegistry::setDelegate(app->delegate);
    qt::LifeCycle cycle(*app->delegate);
    if (claim.instance) {
        cycle.setEndingObserver([instance = claim.instance.get(), inbox, &cycle](bool ending) {
            instance->setEnding(ending);
            // Taken before the end was decided: handed to the window now, for the save.
            if (ending) inbox->handTo(cycle);
        });
        // Taken while the window was made, before there was a life cycle to hand them to:
        // opened once launching has finished.
        inbox->handTo(cycle);
    }
    const int status = cycle.run(app->window.get(), std::move(files));
    releaseAfterThisProcess(app->delegate->takeReplacedState());
    if (!cycle.mainWindowAppeared()) reportEndBeforeWindow(cycle);
    // The engine's operations may still run on workers: stopped, they finish before
    // anything goes.
    app->engine->cancelAllOperations();
    app->engine->waitUntilAllOperationsAreFinished();
    pa::ApplicationDelegateRegistry::setDelegate(nullptr);
    setRecentDocumentHandler({});
    pa::RecentDocuments::waitUntilWritten();
    if (app->engine->readingGivenUpGoesOn()) {
        // A picture the end did not wait for is still being read (a large one, or from a
        // disk that does not answer): everything is saved and named, so the process ends
        // now rather than after it, without unwinding what that reading still uses.
        claim.instance.reset();
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}

}  // namespace gw::ui
