#pragma once
// Whether command-line mode may run: it needs one root folder granted by the user,
// remembered as a bookmark under the setting "rootBookmark", resolved at every start
// and held open for the life of the controller. The preferences switch and the
// command line each make their own controller.
//
// The folder is opened once, when the controller is made, and its identity checked on
// what was opened: the handle is what a run works beneath, so a folder swapped in at the
// granted path after the check is never used.
#include "app/foundation/property_observation.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/url.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

class CommandLineEnabledController : public PropertyObservable {
public:
    static constexpr std::string_view rootBookmarkKey = "rootBookmark";
    // The observable key of isCommandLineInterfaceEnabled().
    static constexpr std::string_view isCommandLineInterfaceEnabledKey = "isCommandLineInterfaceEnabled";

    // Shows a failed grant to the user (the preferences window runs an alert).
    using ErrorPresenter = std::function<void(const std::exception& error)>;

    // Resolves the stored grant; a grant that cannot be used leaves the controller off.
    CommandLineEnabledController();
    ~CommandLineEnabledController() override;
    CommandLineEnabledController(const CommandLineEnabledController&) = delete;
    CommandLineEnabledController& operator=(const CommandLineEnabledController&) = delete;

    const std::optional<platform::foundation::URL>& rootBookmarkURL() const { return rootBookmarkURL_; }
    // The granted folder, held open since this controller found it granted when it was
    // made (a grant made through it later is opened by the next controller); none while off.
    const platform::foundation::files::RootHandlePtr& rootHandle() const { return rootHandle_; }

    // Why a stored grant cannot be used.
    struct GrantProblem {
        enum class Kind {
            notAGrant,   // the setting holds something that is no grant of ours
            gone,        // nothing at the granted path
            replaced,    // another folder, or a link elsewhere, at the granted path
            // a folder at the granted path that cannot be told from the one granted, or from
            // another, once its numbers were given afresh (a remount of a file system that
            // numbers folders as it meets them, a disk attached under another device number)
            // with nothing else that tells
            unrecognised,
            notAFolder,  // the grant, or what stands at its path, is no folder
            unusable,    // the folder cannot be opened or read (`reason`)
        };
        Kind kind = Kind::notAGrant;
        std::string folder;  // the granted path; for notAGrant the settings file
        std::string reason;
        int error = 0;  // unusable: the errno, when there is one
    };
    // Set when a grant is stored and this controller found it unusable.
    const std::optional<GrantProblem>& grantProblem() const { return grantProblem_; }
    // The problem as the user is told it, naming the folder.
    static std::string describe(const GrantProblem& problem);
    bool isCommandLineInterfaceEnabled() const { return rootBookmarkURL_.has_value(); }
    // The switch in the preferences binds to the enablement (read only).
    platform::appkit::KeyValue valueForKey(std::string_view key) const override {
        if (key == isCommandLineInterfaceEnabledKey) return platform::appkit::KeyValue(isCommandLineInterfaceEnabled());
        return PropertyObservable::valueForKey(key);
    }

    // The folder the stored bookmark names; none when there is none, it no longer
    // resolves, or it is stale (each logged).
    std::optional<platform::foundation::URL> resolveRootBookmark() const;

    void setErrorPresenter(ErrorPresenter presenter) { errorPresenter_ = std::move(presenter); }

    // Grants `folder`: stores its bookmark and turns the command line on. A bookmark
    // that cannot be made, or settings that cannot be saved, are presented and logged,
    // and the command line stays as it was. Whether the grant was made.
    bool saveRootBookmark(const platform::foundation::URL& folder);
    // Lets the user pick the root folder (returns at once); OK grants it through
    // saveRootBookmark while this controller still exists. Needs the chooser the
    // desktop installs; without one nothing happens.
    void chooseRootFolder();
    // Shows a non-modal folder panel from the home folder and calls back with the
    // chosen folder, or none when cancelled.
    using RootFolderChooser =
        std::function<void(std::function<void(std::optional<platform::foundation::URL>)> chosen)>;
    static void setRootFolderChooser(RootFolderChooser chooser);

    // Removes the grant and turns the command line off.
    void disableCommandLineInterface();

    // Tests only: runs once a new controller has opened and checked the granted folder,
    // with its path, before anything uses it; a test swaps the folder there.
    static void setRootCheckedHookForTesting(std::function<void(const std::filesystem::path&)> hook);

private:
    std::optional<platform::foundation::URL> rootBookmarkURL_;
    platform::foundation::files::RootHandlePtr rootHandle_;
    std::optional<GrantProblem> grantProblem_;
    ErrorPresenter errorPresenter_;
    std::shared_ptr<CommandLineEnabledController*> self_ = std::make_shared<CommandLineEnabledController*>(this);
};

}  // namespace gw
