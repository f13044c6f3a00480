#include "app/ui/app_delegate.hpp"

#include "app/definitions/config_file.hpp"
#include "app/engine/analytics_tracker.hpp"
#include "app/engine/catalog_search.hpp"
#include "app/engine/event_logger.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/ui/value_transformers.hpp"
#include "app/ui/preference_panel.hpp"
#include "app/shell/command_line_enabled_controller.hpp"
#include "app/shell/version_check_policy.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/open_panel.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/appkit/user_defaults_controller.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "telemetry/core/rddi_delegate_forwarder.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QTimer>
#include <QVBoxLayout>
#include "platform/appkit/workspace.hpp"
#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/host_facts.hpp"
#include "platform/foundation/trash.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"

#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace gw {

namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;

namespace {

// The maker's identifiers handed to the prompt frameworks and the tracker.
constexpr std::string_view kAppStoreID = "1000000002";
constexpr std::string_view kTeamIdentifier = "N7RV4NE2GW";
constexpr std::string_view kListwellAPIKey = "4f2c9a1e-7b3d-4e8f-a6c5-0d9e8b7a6f51";
constexpr std::string_view kListwellDomain = "news@norvane.example";
constexpr std::string_view kSiblingcastConfigURL = "https://norvane.example/siblingcast/glyphwright.json";
constexpr std::string_view kAnalyticsPropertyID = "UA-00000000-2";

std::string bundleIdentifier() {
    const auto identifier = pf::Bundle::main().bundleIdentifier();
    return identifier.empty() ? std::string("unknown.bundle.identifier") : identifier;
}

std::string appVersion() {
    const auto version = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (const auto* text = version.asString()) return *text;
    return "unknown.app.version";
}

// How long an end waits for pictures opened or handed over just before it, still being read.
constexpr auto kEndReadingWait = std::chrono::seconds(3);

struct LoggerDebugAdapter final : ratewell::DebugLogger {
    void log(const std::string& message) override { Logger::log(message); }
};

// Runs `action` on the loop's turn after `window` is first painted: a dialog shown before
// the window manager has placed its window would be placed by where that window stood
// before, off to a side of it.
class AfterFirstPaint final : public QObject {
public:
    AfterFirstPaint(QWidget& window, std::function<void()> action) : QObject(&window), action_(std::move(action)) {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && action_) {
            QTimer::singleShot(0, parent(), std::exchange(action_, nullptr));
            deleteLater();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> action_;
};

// The pictures a save could not write, one sentence each, naming why.
std::vector<std::string> unsavedList(const Glyphwright::SaveReport& report) {
    std::vector<std::string> list;
    for (const auto& picture : report.unsaved) {
        list.push_back(LocalizedString::text("saved-state.unsaved.item", picture.name, picture.reason));
    }
    return list;
}

}  // namespace

std::string applicationDisplayName() {
    const auto name = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleDisplayName");
    if (const auto* text = name.asString()) return *text;
    return "Glyphwright";
}

std::string applicationVersionText() {
    const auto build = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleVersion");
    const auto* buildText = build.asString();
    return buildText ? fmt::format("{} ({})", appVersion(), *buildText) : appVersion();
}

AppDelegateError::AppDelegateError(Case errorCase)
    : std::runtime_error(LocalizedString::text(errorCase == Case::insideTrash
                                                   ? "error.description.insideTrash"
                                                   : "error.description.insideAssetCatalogDirectory")),
      case_(errorCase) {}

bool AppDelegate::runningUnderTests = false;

std::shared_ptr<AppDelegate> AppDelegate::make() { return std::shared_ptr<AppDelegate>(new AppDelegate()); }

AppDelegate::AppDelegate() {
    // Fixed order: the cloud sync registers every setting's default last, as before.
    const std::string name = applicationDisplayName();
    listwellPrompter_ = std::make_unique<ListwellPrompter>(fmt::format("{}.com.norvane.listwell", kTeamIdentifier),
                                                           std::string(kListwellAPIKey), std::string(kListwellDomain),
                                                           pf::Bundle::main().bundleIdentifier(), name);
    auto events = std::make_shared<EventTrackingLoggerAdapter<EventLogger>>();
    siblingcast_ = std::make_unique<SiblingcastController>(std::string(kAppStoreID), name,
                                                           *pf::URL::fromString(kSiblingcastConfigURL), 2, events, nullptr);
    myPrompter_ = std::make_unique<Ratewell>(events, std::make_shared<LoggerDebugAdapter>());
    const std::string b = bundleIdentifier();
    launchCounter_ = std::make_unique<LaunchCounter>(pf::UserDefaults::standard(), b + "launchCount",
                                                     b + "firstLaunchDate", b + "appVersions", appVersion());
    versionChecker_ = std::make_unique<OLVVersionChecker>();
    userDefaultsCloudSync_ = std::make_unique<UserDefaultsCloudSync>();
}

AppDelegate::~AppDelegate() = default;

const std::filesystem::path& AppDelegate::storedImagesPath() {
    if (!storedImagesPath_) storedImagesPath_ = Glyphwright::savedStatePath();
    return *storedImagesPath_;
}

NorvaneSupportController& AppDelegate::supportController() {
    if (!supportController_) {
        supportController_ =
            std::make_unique<NorvaneSupportController>(std::string(kAppStoreID), applicationDisplayName(), weak_from_this());
    }
    return *supportController_;
}

// A restore read in the background, put in its engine on the main thread once.
struct AppDelegate::PendingRestore {
    std::weak_ptr<Glyphwright> engine;
    std::shared_ptr<Glyphwright> restored;
    std::optional<Glyphwright::SavedStateDamage> damage;
    Glyphwright::SavedStateRecord record;
    bool applied = false;
    // Set on the reading thread once the state is read.
    std::mutex mutex;
    std::condition_variable readSignal;
    bool read = false;

    void finishReading() {
        {
            std::lock_guard lock(mutex);
            read = true;
        }
        readSignal.notify_all();
    }
    // Waits for the state alone, not for the pictures asked to be read after it.
    void waitRead() {
        std::unique_lock lock(mutex);
        readSignal.wait(lock, [this] { return read; });
    }
};

void AppDelegate::setGlyphwright(std::shared_ptr<Glyphwright> engine) {
    glyphwright_ = std::move(engine);
    if (glyphwright_) restore();
}

void AppDelegate::restore() {
    // The saved pictures may be large: the window shows while they are read.
    auto pending = std::make_shared<PendingRestore>();
    pending->engine = glyphwright_;
    pendingRestore_ = pending;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    glyphwright_->readInBackground([weak, pending, path = storedImagesPath()]() -> std::function<void()> {
        // Read, or failed to be: a quit that waits for it goes on either way.
        struct Finished {
            PendingRestore& pending;
            ~Finished() { pending.finishReading(); }
        } finished{*pending};
        auto restored = Glyphwright::restoreSavedState(path, &pending->record);
        pending->restored = std::move(restored.engine);
        pending->damage = std::move(restored.damage);
        return [weak, pending] {
            if (auto self = weak.lock()) self->applyRestore(*pending);
        };
    });
}

void AppDelegate::finishRestoring() { settleRestore(true); }

void AppDelegate::settleRestore(bool tellUser) {
    const auto pending = pendingRestore_;
    if (!pending || pending->applied) return;
    pending->waitRead();
    applyRestore(*pending, tellUser);
}

void AppDelegate::applyRestore(PendingRestore& pending, bool tellUser) {
    if (pending.applied) return;
    pending.applied = true;
    savedStateRecord_ = std::move(pending.record);
    const auto engine = pending.engine.lock();
    if (!engine) return;
    if (pending.damage) {
        const auto& damage = *pending.damage;
        Logger::log("Failed to restore image inputs " + damage.reason + "; the saved state " +
                    (damage.keptAs.empty() ? "could not be moved aside: " + damage.notKeptBecause
                                           : "was kept as " + damage.keptAs.string()));
        if (tellUser) showDamagedState(damage);
    }
    if (!pending.restored) {
        if (!pending.damage) Logger::log("Failed to restore image inputs: there is no saved state");
        return;
    }
    const auto restored = std::move(pending.restored);
    engine->setImageInputCollectionType(restored->imageInputCollectionType());
    const auto& controller = engine->collectionViewArrayController();
    if (!controller) return;
    const auto inputs = restored->imageInputs();
    std::vector<platform::appkit::ArrayController::Element> objects;
    for (const auto& input : inputs) objects.push_back(platform::appkit::ArrayController::Element::of(input));
    controller->addObjects(objects);
    if (const auto& restoredController = restored->collectionViewArrayController()) {
        controller->setSelectionIndexes(restoredController->selectionIndexes());
    }
}

void AppDelegate::showDamagedState(const Glyphwright::SavedStateDamage& damage) {
    std::vector<std::string> sentences;
    std::string lost;
    // Damage may leave thousands of places that looked like pictures: laid out whole, their
    // names held the window for seconds. The first are named, the others counted.
    const std::size_t named = std::min(damage.lostPictures.size(), FilesNotAddedAlert::kNamed);
    for (std::size_t i = 0; i < named; ++i) {
        const auto& picture = damage.lostPictures[i];
        lost += lost.empty() ? "" : ", ";
        lost += picture.name.empty() ? LocalizedString::text("saved-state.restore.lost.unnamed",
                                                             std::to_string(picture.position + 1))
                                     : "“" + picture.name + "”";
    }
    if (damage.lostPictures.size() > named) {
        lost += " " + LocalizedString::text("saved-state.restore.lost.more",
                                            std::to_string(damage.lostPictures.size() - named));
    }
    if (!lost.empty()) sentences.push_back(LocalizedString::text("saved-state.restore.lost", lost));
    if (damage.breaksOff) {
        sentences.push_back(damage.lastPictureBeforeBreak.empty()
                                ? LocalizedString::text("saved-state.restore.breaks-off.unnamed")
                                : LocalizedString::text("saved-state.restore.breaks-off", damage.lastPictureBeforeBreak));
    }
    if (damage.unreadable && lost.empty() && !damage.breaksOff) {
        sentences.push_back(LocalizedString::text("saved-state.restore.unreadable", damage.reason));
    }
    if (!damage.unreadable && lost.empty() && !damage.breaksOff) {
        sentences.push_back(LocalizedString::text("saved-state.restore.all-back"));
    }
    sentences.push_back(damage.keptAs.empty()
                            ? LocalizedString::text("saved-state.restore.not-kept.saved-beside", damage.notKeptBecause,
                                                    Glyphwright::besideDamagedPath(storedImagesPath()).string())
                            : LocalizedString::text("saved-state.restore.kept", damage.keptAs.string()));
    std::string informative;
    for (const auto& sentence : sentences) informative += (informative.empty() ? "" : " ") + sentence;
    const char* message = damage.unreadable                                    ? "saved-state.restore.unreadable.message"
                          : damage.lostPictures.empty() && !damage.breaksOff ? "saved-state.restore.all-back.message"
                                                                              : "saved-state.restore.damaged.message";
    // Shown without waiting for an answer: the restore is not held up, nor a quit that
    // comes meanwhile.
    QPointer<QWidget> owner = window_ ? window_->window() : nullptr;
    const auto show = [owner, message = LocalizedString::text(message), informative] {
        qt::presentError(owner.data(), message, informative)->setObjectName(QStringLiteral("savedStateDamagedAlert"));
    };
    // A restore read quickly is done before the window is on the screen.
    const auto* cycle = qt::LifeCycle::shared();
    if (owner && cycle && cycle->isRunning() && !cycle->mainWindowAppeared()) {
        new AfterFirstPaint(*owner, show);
    } else {
        show();
    }
}

void AppDelegate::setPreviousFileLocationsManager(std::shared_ptr<PreviousLocationsManager> manager) {
    previousLocations_ = std::move(manager);
    if (previousLocations_) previousLocations_->delegate = weak_from_this();
}

void AppDelegate::applicationWillFinishLaunching() {
    rddi::RDDIAppDelegateForwarder::forward("applicationWillFinishLaunching:");
    registerValueTransformer<NonEmptyArrayTransformer>();
    registerValueTransformer<BoolToBlackAndWhiteTransformer>();
    // The panels name the other five by class name.
    registerInterfaceValueTransformers();
    if (!runningUnderTests) {
        if (auto tracker = KKGAI()) {
            tracker->setTrackingID(std::string(kAnalyticsPropertyID));
            if (auto hit = KKGADictionaryBuilder::createScreenView("Launch Main App")->build()) tracker->send(*hit);
            const std::string version = pf::HostFacts().osVersion();
            if (auto hit = KKGADictionaryBuilder::createEventWithCategory("System Info", version, version, 0)->build()) {
                tracker->send(*hit);
            }
        }
    }
    siblingcast_->prepare([] {});
}

std::vector<std::string> AppDelegate::forwardedCallbacks() const {
    return {"applicationWillFinishLaunching:", "applicationDidFinishLaunching:", "applicationWillTerminate:",
            "application:openFiles:"};
}

void AppDelegate::applicationDidFinishLaunching() {
    rddi::RDDIAppDelegateForwarder::forward("applicationDidFinishLaunching:");
    if (auto* application = qt::Application::shared()) {
        supportController().addSupportMenu(*application);
        // Help stays the last menu, where Linux desktops keep it.
        if (const auto& mainMenu = application->mainMenu()) {
            if (auto help = mainMenu->itemWithTitle(LocalizedString::text("menu.help.title"))) mainMenu->addItem(help);
        }
    }
    launchCounter_->recordLaunch();
    userDefaultsCloudSync_->start();
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    versionChecker_->checkIfCurrentVersion(
        [weak](float latestBuild, const std::optional<std::string>& displayString, bool forceUpdate) {
            if (auto self = weak.lock()) self->handleVersionCheck(latestBuild, displayString, forceUpdate);
        },
        [](const pf::Error& error) { VersionCheckPolicy().handleFailure(error); });
    platform::appkit::UserNotificationCenter::defaultCenter().setDelegate(weak);
    if (glyphwright_ && previousLocations_) glyphwright_->setOutputDirectory(previousLocations_->outputDirectory());
}

void AppDelegate::handleVersionCheck(float latestBuild, const std::optional<std::string>& displayString,
                                     bool forceUpdate) {
    const auto update =
        VersionCheckPolicy().handleSuccess(OLVVersionChecker::currentAppBuild(), latestBuild, displayString, forceUpdate);
    if (!update) return;
    qt::Alert alert;
    alert.messageText = update->messageText;
    alert.informativeText = update->informativeText;
    alert.buttons = {update->buttonTitle};
    alert.runModal();
    if (update->forceUpdate) {
        // Not an orderly end: nothing is saved, and the loop is left rather than the
        // process ended under running worker threads.
        if (auto* cycle = qt::LifeCycle::shared()) cycle->exitWithoutTerminating(0);
    }
}

qt::TerminateReply AppDelegate::applicationShouldTerminate() {
    const bool suppressed = pf::UserDefaults::standard().boolForKey("suppressAllPromptsToReview");
    const bool frameworkAgrees = siblingcast_->shouldPrompt();
    // Held back once per launch at most: a prompt that shows nothing, or a framework
    // that keeps agreeing, must not make quitting impossible.
    if (!suppressed && frameworkAgrees && (launchCounter_->launchCount() & 7) == 0 && !heldBackQuit_) {
        heldBackQuit_ = true;
        siblingcast_->showPrompt();
        return qt::TerminateReply::terminateCancel;
    }
    // The windows go first, as at any end: a large state takes seconds to write, and
    // windows that no longer answer must not stand meanwhile.
    std::vector<QPointer<QWidget>> hidden;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible()) continue;
        hidden.emplace_back(widget);
        widget->hide();
    }
    if (!hidden.empty()) QGuiApplication::sync();
    std::string failure;
    const auto report = saveState(failure);
    if (report && report->unsaved.empty()) {
        stateSettled_ = true;
        return qt::TerminateReply::terminateNow;
    }
    // Ended now, pictures in the window would be gone at the next start without a word:
    // the user is asked, over the window, which stays while asked. One key must not throw
    // them away: Return keeps the window.
    for (const auto& widget : hidden) {
        if (widget) widget->show();
    }
    qt::Alert alert;
    if (report) {
        alert.messageText = LocalizedString::text("saved-state.unsaved.message");
        alert.informativeText = LocalizedString::text("saved-state.unsaved.informative", unsavedList(*report));
    } else {
        alert.messageText = LocalizedString::text("saved-state.save-failed.message");
        alert.informativeText = LocalizedString::text("saved-state.save-failed.informative", failure);
    }
    alert.buttons = {LocalizedString::text("saved-state.save-failed.quit-anyway"),
                     LocalizedString::text("saved-state.save-failed.cancel")};
    alert.defaultButton = 1;
    alert.style = qt::AlertStyle::critical;
    if (alert.runModal() != qt::kAlertFirstButtonReturn) {
        replacedState_ = {};
        return qt::TerminateReply::terminateCancel;
    }
    stateSettled_ = true;
    return qt::TerminateReply::terminateNow;
}

std::optional<Glyphwright::SaveReport> AppDelegate::saveState(std::string& failure) {
    // A conversion still going is stopped, not waited for: it winds down while the
    // pictures are saved, and leaves no set half written.
    if (glyphwright_) glyphwright_->cancelAllOperations();
    // Saved pictures still being read are in the engine before it is saved, however long
    // that takes (what was saved must not be lost); a damaged state found meanwhile is only
    // logged, since the windows are going. So are pictures opened or handed over just
    // before, as far as they are read in a few seconds: an end waits no longer for them,
    // and names the others. What could not be added is told in no alert now: nobody would
    // see it, and the end would wait for its answer.
    settleRestore(false);
    if (glyphwright_) {
        const auto notRead = glyphwright_->finishBackgroundReading(std::chrono::steady_clock::now() + kEndReadingWait);
        if (!notRead.empty()) {
            std::string names;
            for (const auto& url : notRead) names += (names.empty() ? "" : ", ") + pf::escapedForDisplay(url.path());
            const auto line = LocalizedString::text("saved-state.not-read-at-end", names);
            Logger::log(line);
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    try {
        if (glyphwright_) {
            auto report = glyphwright_->save(storedImagesPath(), &savedStateRecord_);
            replacedState_ = std::move(report.replaced);
            if (!report.damagedKeptAs.empty()) {
                Logger::log("The damaged saved state was moved aside at last, as " + report.damagedKeptAs.string());
            }
            if (report.savedAs != storedImagesPath()) {
                Logger::log("The pictures were saved as " + report.savedAs.string() +
                            ": the damaged saved state could not be moved aside (" + report.damagedNotMovedBecause + ")");
            }
            return report;
        }
        std::filesystem::create_directories(storedImagesPath().parent_path());
        pf::files::AtomicFileWriter file(storedImagesPath());
        file.write("null");
        file.commit();
        return Glyphwright::SaveReport{};
    } catch (const std::exception& error) {
        failure = error.what();
        Logger::log(std::string("Failed to save Glyphwright to disk ") + error.what());
        return std::nullopt;
    }
}

void AppDelegate::applicationWillTerminate() {
    rddi::RDDIAppDelegateForwarder::forward("applicationWillTerminate:");
    if (stateSettled_) return;
    std::string failure;
    const auto report = saveState(failure);
    std::string line;
    if (!report) {
        line = LocalizedString::text("saved-state.save-failed.at-end", failure);
        // Which pictures the window held that went unsaved, by name.
        std::string names;
        for (const auto& input : glyphwright_ ? glyphwright_->imageInputs() : std::vector<ImageInputPtr>{}) {
            names += (names.empty() ? "" : ", ") + ("“" + pf::escapedForDisplay(input->imageName()) + "”");
        }
        if (!names.empty()) line += " " + LocalizedString::text("saved-state.save-failed.at-end.pictures", names);
    } else if (!report->unsaved.empty()) {
        std::string list;
        for (const auto& item : unsavedList(*report)) list += (list.empty() ? "" : " ") + item;
        line = LocalizedString::text("saved-state.unsaved.at-end", list);
    }
    if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
}

void AppDelegate::notificationActivated(const pf::Dictionary& userInfo) {
    const auto found = userInfo.find("output_path");
    if (found == userInfo.end()) return;
    const auto* text = found->second.asString();
    if (!text) return;
    const auto url = pf::URL::fromString(*text);
    if (!url) return;
    platform::appkit::Workspace::activateFileViewerSelecting({*url});
}

void AppDelegate::openFinderAtURL(const pf::URL& url) { platform::appkit::Workspace::activateFileViewerSelecting({url}); }

void AppDelegate::togglePreferencesPanel() {
    if (preferencesWindow_ && preferencesWindow_->isVisible()) {
        preferencesWindow_->close();
        return;
    }
    if (!preferencesWindow_) {
        // A dialog of the main window (it goes with it), holding the panel as its content.
        auto* window = new qt::Window(window_.data(), Qt::Dialog);
        window->setObjectName(QStringLiteral("preferencesWindow"));
        window->setWindowTitle(QString::fromStdString(LocalizedString::text("menu.application.preferences.title")));
        auto* layout = new QVBoxLayout(window);
        layout->addWidget(PreferencePanel::make(std::make_shared<CommandLineEnabledController>(), window));
        window->setMinimumSize(window->sizeHint().expandedTo(QSize(420, 0)));
        window->resize(window->minimumSize());
        preferencesWindow_ = window;
    }
    auto* window = static_cast<qt::Window*>(preferencesWindow_.data());
    window->center();
    window->makeKeyAndOrderFront();
    if (auto* panel = window->findChild<PreferencePanel*>()) panel->focusFirstControl();
}

void AppDelegate::orderFrontStandardAboutPanel() {
    qt::Alert alert;
    alert.messageText = applicationDisplayName();
    alert.informativeText = LocalizedString::text("about.version", applicationVersionText());
    alert.buttons = {LocalizedString::genericOk()};
    alert.style = qt::AlertStyle::informational;
    alert.runModal();
}

bool AppDelegate::refusedAsTrash(const pf::URL& url) {
    // Neither the output nor the recent folders ever lead into the Trash: the next
    // conversion would be written among what was thrown away.
    if (!pf::files::isInTrash(url.fsPath())) return false;
    presentError(AppDelegateError(AppDelegateError::Case::insideTrash).what());
    return true;
}

void AppDelegate::selectOutputDirectory(const pf::URL& url) {
    if (refusedAsTrash(url)) return;
    if (previousLocations_) previousLocations_->setOutputDirectory(url);
    if (glyphwright_) glyphwright_->setOutputDirectory(url);
    Logger::log("Save path is now: " + url.path());
}

void AppDelegate::previousLocationsManagerDidChange(PreviousLocationsManager&, const pf::URL& url) {
    if (glyphwright_) glyphwright_->setOutputDirectory(url);
}

void AppDelegate::supportControllerDidPerform(NorvaneSupportController&, NorvaneSupportController::Action) {
    EventLogger().logSharingEvent(std::nullopt, std::nullopt);
}

// Descriptions of failed intake may quote a file's path as it is.
void AppDelegate::presentError(const std::string& description) {
    qt::presentError(window_.data(), pf::escapedForDisplay(description));
}

void AppDelegate::restoreWindow() {
    if (window_ && window_->isMinimized()) window_->showNormal();
}

bool AppDelegate::openFile(const std::string& path) {
    Logger::log("Application opened with file to open: " + path);
    const auto url = pf::URL::fileURL(path);
    if (isAssetCatalog(url)) {
        selectOutputDirectory(url);
        return true;
    }
    if (!glyphwright_) return false;
    std::error_code error;
    if (!std::filesystem::exists(url.fsPath(), error)) {
        // With what other launches name meanwhile, in one alert.
        filesNotAdded_->add(GlyphwrightError(GlyphwrightError::Case::unableToOpenImageFromURL, url).what());
        return false;
    }
    addImagesInBackground({url});
    restoreWindow();
    return true;
}

void AppDelegate::addImagesInBackground(std::vector<pf::URL> urls) {
    if (!glyphwright_) return;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    glyphwright_->addImagesInBackground(std::move(urls), std::nullopt, [weak](std::exception_ptr failure) {
        auto self = weak.lock();
        if (!self || !failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            // With whatever else could not be added, in the one alert.
            self->filesNotAdded_->add(error.what());
        } catch (...) {
        }
    });
}

void AppDelegate::openFiles(const std::vector<std::string>& paths) {
    rddi::RDDIAppDelegateForwarder::forward("application:openFiles:", paths);
    if (paths.size() == 1) {
        openFile(paths.front());
        return;
    }
    std::string list;
    for (const auto& path : paths) list += (list.empty() ? "" : ", ") + path;
    Logger::log("Application opened with files to open: [" + list + "]");
    // Each on its own: one that is not there is named with the others that could not be
    // added, and costs the rest nothing.
    std::vector<pf::URL> urls;
    for (const auto& path : paths) {
        auto url = pf::URL::fileURL(path);
        std::error_code error;
        if (!std::filesystem::exists(url.fsPath(), error)) {
            reportSkippedPicture(url, GlyphwrightError(GlyphwrightError::Case::unableToOpenImageFromURL, url).what());
            continue;
        }
        urls.push_back(std::move(url));
    }
    if (urls.empty()) return;
    for (const auto& url : urls) {
        if (isAssetCatalog(slashTrimmed(url))) {
            selectOutputDirectory(url);
            restoreWindow();
            return;
        }
    }
    addImagesInBackground(std::move(urls));
    restoreWindow();
}

void AppDelegate::showOpenFileDialog() {
    auto panel = std::make_shared<qt::OpenPanel>();
    panel->canChooseDirectories = true;
    panel->allowsMultipleSelection = true;
    panel->allowedFileTypes = supportedImageFileExtensions();
    panel->prompt = LocalizedString::text("open-panel.open-image.prompt");
    panel->title = LocalizedString::text("open-panel.open-image.title");
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    panel->beginSheetModal(window_.data(), [weak, panel](qt::ModalResponse response) {
        auto self = weak.lock();
        if (!self || response != qt::ModalResponse::ok) return;
        self->addImagesInBackground(panel->urls());
    });
}

void AppDelegate::showOutputDestinationDialog() {
    auto* checkbox = new QCheckBox(QString::fromStdString(
        LocalizedString::text("destination-open-panel.accessory-view.scanButtonTitle")));
    checkbox->setObjectName("scanSubfoldersCheckbox");
    checkbox->setChecked(pf::UserDefaults::standard().boolForKey("scanSubfoldersForAssetCatalogs"));
    QPointer<QCheckBox> scan = checkbox;
    auto panel = std::make_shared<qt::OpenPanel>();
    panel->accessoryView = checkbox;
    panel->canChooseFiles = false;
    panel->canChooseDirectories = true;
    panel->resolvesAliases = true;
    panel->prompt = LocalizedString::text("open-panel.select-destination.prompt");
    panel->canCreateDirectories = true;
    panel->allowsMultipleSelection = false;
    panel->title = LocalizedString::text("open-panel.select-destination.title");
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    panel->beginSheetModal(window_.data(), [weak, panel, scan](qt::ModalResponse response) {
        auto self = weak.lock();
        if (!self) return;
        Logger::log(std::string("Destination Panel Result: ") + std::to_string(static_cast<int>(response)));
        if (response != qt::ModalResponse::ok) return;
        std::string list;
        for (const auto& url : panel->urls()) list += (list.empty() ? "" : ", ") + url.absoluteString();
        Logger::log("Destination Panel URLS: [" + list + "]");
        if (panel->urls().empty()) return;
        const auto chosen = panel->urls().front();
        if (isInsideAssetCatalog(chosen) && !isAssetCatalog(slashTrimmed(chosen))) {
            self->presentError(AppDelegateError(AppDelegateError::Case::insideAssetCatalogDirectory).what());
            return;
        }
        if (self->refusedAsTrash(chosen)) return;
        const bool scanning = scan && scan->isChecked();
        pf::UserDefaults::standard().setBool(scanning, "scanSubfoldersForAssetCatalogs");
        self->settleChosenDestination(chosen, scanning);
    });
}

void AppDelegate::settleChosenDestination(const pf::URL& chosen, bool scan) {
    if (!scan) {
        selectOutputDirectory(chosen);
        return;
    }
    // A large folder takes a while to search: off the main thread, with a busy indicator.
    searching_ = true;
    auto* busy = new QProgressDialog(window_.data());
    busy->setObjectName("catalogSearchIndicator");
    busy->setRange(0, 0);
    busy->setCancelButton(nullptr);
    busy->setMinimumDuration(300);
    QPointer<QProgressDialog> indicator = busy;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform::dispatch::DispatchQueue::global().async([weak, chosen, indicator] {
        std::vector<pf::URL> found;
        std::string failure;
        try {
            found = assetCatalogURLs(chosen);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        platform::dispatch::DispatchQueue::main().async([weak, chosen, indicator, found, failure] {
            if (indicator) indicator->deleteLater();
            auto self = weak.lock();
            if (!self) return;
            self->searching_ = false;
            if (!failure.empty()) {
                Logger::log("Unable to look for Asset Catalog directories: " + failure);
                return;
            }
            if (found.empty()) {
                self->selectOutputDirectory(chosen);
            } else if (found.size() == 1) {
                self->selectOutputDirectory(found.front());
            } else if (self->multipleCatalogsPanel_) {
                std::weak_ptr<AppDelegate> again = self;
                self->multipleCatalogsPanel_->beginSheet(
                    self->window_.data(), found,
                    [again, chosen](MultipleCatalogsChoosing::Choice choice, std::optional<pf::URL> catalog) {
                        auto delegate = again.lock();
                        if (!delegate) return;
                        if (choice == MultipleCatalogsChoosing::Choice::selectedCatalog && catalog) {
                            delegate->selectOutputDirectory(*catalog);
                        } else if (choice == MultipleCatalogsChoosing::Choice::newDirectory) {
                            delegate->selectOutputDirectory(chosen);
                        }
                    });
            }
        });
    });
}

}  // namespace gw
