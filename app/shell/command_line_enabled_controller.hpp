#pragma once
// Whether command-line mode may run: it needs one root folder granted by the user,
// remembered as a bookmark under the setting "rootBookmark", resolved at every start
// and held open for the life of the controller. The preferences switch and the
// command line each make their own controller.
#include "app/foundation/property_observation.hpp"
#include "platform/foundation/url.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
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

private:
    std::optional<platform::foundation::URL> rootBookmarkURL_;
    ErrorPresenter errorPresenter_;
    std::shared_ptr<CommandLineEnabledController*> self_ = std::make_shared<CommandLineEnabledController*>(this);
};

}  // namespace gw
