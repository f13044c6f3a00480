#pragma once
// The window application's delegate: owns its long-lived services and starts them in a
// fixed order, restores the previous run's pictures when the engine is attached (read
// and decoded off the main thread, so the window shows at once; what a damaged saved
// state could not give back is told in an alert) and saves them at an orderly end, holds
// a quit back (once per launch at most) for the other-apps prompt, handles the files
// handed over and the notification clicks.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/user_defaults_cloud_sync.hpp"
#include "app/shell/launch_counter.hpp"
#include "app/shell/previous_locations_manager.hpp"
#include "app/shell/prompt_frameworks.hpp"
#include "app/shell/version_checker.hpp"
#include "app/ui/files_not_added_alert.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/norvane_support_controller.hpp"
#include "platform/appkit/application_delegate.hpp"
#include "platform/appkit/qt/life_cycle.hpp"
#include "platform/appkit/user_notification.hpp"
#include "platform/foundation/value.hpp"

#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

// The name the user knows the application by (the bundle's display name).
std::string applicationDisplayName();
// "1.0 (1)": the bundle's short version and build.
std::string applicationVersionText();

class AppDelegateError : public std::runtime_error {
public:
    // A folder inside a catalog; a location in the Trash, where what is written would be thrown away.
    enum class Case : int { insideAssetCatalogDirectory = 0, insideTrash = 1 };
    explicit AppDelegateError(Case errorCase);
    Case errorCase() const noexcept { return case_; }

private:
    Case case_;
};

// The catalog chooser as the delegate sees it: shown as a sheet once two or more
// catalogs lie below the chosen folder.
class MultipleCatalogsChoosing {
public:
    enum class Choice { selectedCatalog, newDirectory, cancelled };
    using Completion = std::function<void(Choice, std::optional<platform::foundation::URL> catalog)>;
    virtual ~MultipleCatalogsChoosing() = default;
    virtual void beginSheet(QWidget* window, std::vector<platform::foundation::URL> assetCatalogURLs,
                            Completion completion) = 0;
};

class AppDelegate : public platform::appkit::qt::ApplicationDelegate,
                    public platform::appkit::ApplicationDelegate,
                    public PreviousLocationsManagerDelegate,
                    public NorvaneSupportControllerDelegate,
                    public platform::appkit::UserNotificationCenterDelegate,
                    public OLVAppDelegateProtocol,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    // Set by the test harness: the analytics set-up is skipped under tests.
    static bool runningUnderTests;

    static std::shared_ptr<AppDelegate> make();
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Outlets. Attaching an engine restores the saved pictures into it: they are read in
    // the background and reach the engine on the main queue, before any picture asked
    // for after them.
    const std::shared_ptr<Glyphwright>& glyphwright() const { return glyphwright_; }
    void setGlyphwright(std::shared_ptr<Glyphwright> engine);
    // Waits for the restore under way, if any, and puts its pictures in the engine now
    // (done before the pictures are saved at quit).
    void finishRestoring();
    QWidget* window() const { return window_.data(); }
    void setWindow(QWidget* window) { window_ = window; }
    const std::shared_ptr<PreviousLocationsManager>& previousFileLocationsManager() const { return previousLocations_; }
    void setPreviousFileLocationsManager(std::shared_ptr<PreviousLocationsManager> manager);

    void setMultipleCatalogsPanel(std::shared_ptr<MultipleCatalogsChoosing> panel) { multipleCatalogsPanel_ = std::move(panel); }

    // Dialogs of the main window and the menu.
    void showOpenFileDialog() override;
    void showOutputDestinationDialog() override;
    // Toggles the preferences window (made on first use): shown, it closes; hidden, it
    // opens over the main window with its first control focused.
    void showSettingsDialog() override { togglePreferencesPanel(); }
    void togglePreferencesPanel();
    // The preferences window; null until first shown.
    QWidget* preferencesPanel() const { return preferencesWindow_.data(); }
    // The About box: the application's name and version, over the main window.
    void orderFrontStandardAboutPanel();
    void openFinderAtURL(const platform::foundation::URL& url) override;
    // Whether a catalog search runs (a busy indicator shows meanwhile).
    bool isSearchingForCatalogs() const { return searching_; }

    // Services.
    SiblingcastController& siblingcast() { return *siblingcast_; }
    Ratewell& myPrompter() override { return *myPrompter_; }
    LaunchCounter& launchCounter() { return *launchCounter_; }
    void setLaunchCounter(std::unique_ptr<LaunchCounter> counter) { launchCounter_ = std::move(counter); }
    NorvaneSupportController& supportController();
    // The saved-state file; computed once.
    const std::filesystem::path& storedImagesPath();

    // Life cycle.
    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    // A quit that goes ahead saves the pictures here, behind hidden windows; one whose
    // save fails shows the windows again with an alert that lets the user call it off
    // (terminateCancel) or quit without them.
    platform::appkit::qt::TerminateReply applicationShouldTerminate() override;
    // Saves the pictures unless the quit did already (an end nobody was asked about: a
    // log-out, SIGTERM); a failure is logged and written to standard error, since
    // nothing may wait for an answer then.
    void applicationWillTerminate() override;
    // Pictures among the files are read in the background and added once read; a
    // missing file is answered at once (false, named in the files-not-added alert).
    void openFiles(const std::vector<std::string>& paths) override;
    bool openFile(const std::string& path);
    // The one alert that names the files that could not be added.
    const std::shared_ptr<FilesNotAddedAlert>& filesNotAdded() const { return filesNotAdded_; }
    // The life-cycle callbacks hand each call on to whoever in the process asked for it.
    std::vector<std::string> forwardedCallbacks() const override;

    // A notification of the main window was clicked.
    void notificationActivated(const platform::foundation::Dictionary& userInfo);
    void userNotificationCenterDidActivate(const platform::appkit::UserNotification& notification) override {
        notificationActivated(notification.userInfo);
    }

    // Settles the output folder: recent list, engine, log line. A location in the Trash is
    // refused with an alert.
    void selectOutputDirectory(const platform::foundation::URL& url);

    void previousLocationsManagerDidChange(PreviousLocationsManager& manager,
                                           const platform::foundation::URL& url) override;
    void supportControllerDidPerform(NorvaneSupportController& controller,
                                     NorvaneSupportController::Action action) override;

    // What a version check's success does; the alert runs modally. Public for the loop's
    // handlers and tests.
    void handleVersionCheck(float latestBuild, const std::optional<std::string>& displayString, bool forceUpdate);
    // Whether the next quit may still be held back for the other-apps prompt.
    bool quitMayBeHeldBack() const { return !heldBackQuit_; }
    // The saved state the quit's save replaced, still open (its storage is released when
    // it is closed); empty when there is none.
    platform::foundation::files::UniqueFd takeReplacedState() { return std::move(replacedState_); }

private:
    AppDelegate();
    struct PendingRestore;
    void restore();
    // `tellUser`: a damaged saved state is shown in an alert (else only logged).
    void applyRestore(PendingRestore& pending, bool tellUser = true);
    void settleRestore(bool tellUser);
    void showDamagedState(const Glyphwright::SavedStateDamage& damage);
    // Stops a conversion under way, finishes the restore and saves; none, with the
    // reason, when the save failed.
    std::optional<Glyphwright::SaveReport> saveState(std::string& failure);
    // Adds the pictures in the background; what fails is shown on the window.
    void addImagesInBackground(std::vector<platform::foundation::URL> urls);
    void presentError(const std::string& description);
    // Tells the user and answers true when `url` lies in the Trash.
    bool refusedAsTrash(const platform::foundation::URL& url);
    void restoreWindow();

    std::shared_ptr<Glyphwright> glyphwright_;
    QPointer<QWidget> window_;
    std::shared_ptr<PreviousLocationsManager> previousLocations_;
    std::unique_ptr<ListwellPrompter> listwellPrompter_;
    std::unique_ptr<SiblingcastController> siblingcast_;
    std::unique_ptr<Ratewell> myPrompter_;
    std::unique_ptr<LaunchCounter> launchCounter_;
    std::unique_ptr<OLVVersionChecker> versionChecker_;
    std::unique_ptr<UserDefaultsCloudSync> userDefaultsCloudSync_;
    std::unique_ptr<NorvaneSupportController> supportController_;
    std::optional<std::filesystem::path> storedImagesPath_;
    std::shared_ptr<PendingRestore> pendingRestore_;
    // What this window read of the saved state and last wrote: a save keeps what another
    // process saved since.
    Glyphwright::SavedStateRecord savedStateRecord_;
    platform::foundation::files::UniqueFd replacedState_;
    bool heldBackQuit_ = false;
    // The quit under way has saved the pictures, or the user chose to quit without them.
    bool stateSettled_ = false;
    bool searching_ = false;
    std::shared_ptr<MultipleCatalogsChoosing> multipleCatalogsPanel_;
    QPointer<QWidget> preferencesWindow_;
    std::shared_ptr<FilesNotAddedAlert> filesNotAdded_ = std::make_shared<FilesNotAddedAlert>();
    void settleChosenDestination(const platform::foundation::URL& chosen, bool scan);
};

}  // namespace gw
