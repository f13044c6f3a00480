#pragma once
// The output folders the user wrote to, newest last, kept as bookmarks in the settings
// under "recentCatalogPaths" so they can be reached again after a restart; the current
// output folder (its access started while it is current); and the "recent" submenu.
// Main thread only.
#include "platform/appkit/menu.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gw {

class PreviousLocationsManager;

class PreviousLocationsManagerDelegate {
public:
    virtual ~PreviousLocationsManagerDelegate() = default;
    // The current output folder is now `url`.
    virtual void previousLocationsManagerDidChange(PreviousLocationsManager& manager,
                                                   const platform::foundation::URL& url) = 0;
};

class PreviousLocationsManager {
public:
    static constexpr std::string_view kUserDefaultsKey = "recentCatalogPaths";
    static constexpr std::size_t kMaxRecentLocations = 20;
    static constexpr std::string_view kFolderImageName = "RecentFolder";

    // Starts on the newest stored folder (its access started), or on none.
    explicit PreviousLocationsManager(platform::foundation::UserDefaults& defaults =
                                          platform::foundation::UserDefaults::standard());
    // Stops the current folder's access and saves the list.
    ~PreviousLocationsManager();
    PreviousLocationsManager(const PreviousLocationsManager&) = delete;
    PreviousLocationsManager& operator=(const PreviousLocationsManager&) = delete;

    // The item whose submenu lists the folders; setting it builds the submenu from the
    // folders known now (a submenu is made when the item has none).
    const platform::appkit::MenuItemPtr& recentLocationsMenuItem() const { return recentLocationsMenuItem_; }
    void setRecentLocationsMenuItem(platform::appkit::MenuItemPtr item);

    std::weak_ptr<PreviousLocationsManagerDelegate> delegate;

    platform::foundation::UserDefaults& defaults() const { return defaults_; }
    const std::string& userDefaultsKey() const { return userDefaultsKey_; }
    std::size_t maxRecentLocations() const { return kMaxRecentLocations; }

    const std::optional<platform::foundation::URL>& outputDirectory() const { return outputDirectory_; }
    // A new folder moves to the newest place of the list (the oldest beyond 20 dropped),
    // is saved, rebuilds the submenu and, once its access starts, is told to the delegate.
    // The current folder again does nothing; none stops the current folder's access.
    void setOutputDirectory(std::optional<platform::foundation::URL> url);

    // Oldest first; read from the settings on first use.
    const std::vector<platform::foundation::URL>& recentOutputDirectories();

    // Action of each folder item: its represented URL becomes the output folder. Any other
    // sender is a programming error.
    void recentLocationPressed(platform::appkit::MenuItem& sender);
    // Action of the Clear item: forgets every folder (the settings key too) and leaves the
    // submenu with the separator and Clear only. The output folder stays.
    void clearRecentDirectories(platform::appkit::MenuItem& sender);

    void rebuildRecentLocationsMenu();

private:
    void loadRecentOutputDirectories();
    void saveRecentOutputDirectories();
    platform::appkit::MenuItemPtr menuItemFor(const platform::foundation::URL& url);

    platform::foundation::UserDefaults& defaults_;
    std::string userDefaultsKey_{kUserDefaultsKey};
    platform::appkit::MenuItemPtr recentLocationsMenuItem_;
    std::optional<platform::foundation::URL> outputDirectory_;
    std::optional<std::vector<platform::foundation::URL>> recentOutputDirectories_;
    // Menu items outlive this object in the menu; their actions hold this token weakly.
    std::shared_ptr<PreviousLocationsManager*> self_ = std::make_shared<PreviousLocationsManager*>(this);
};

}  // namespace gw
