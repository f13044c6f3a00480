#include "app/shell/previous_locations_manager.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/trash.hpp"
#include "platform/foundation/utf8.hpp"

#include <algorithm>

namespace gw {

namespace pa = platform::appkit;
namespace pf = platform::foundation;

namespace {

bool startAccess(const pf::URL& url) {
    const bool started = pf::bookmarks::startAccessingSecurityScopedResource(url);
    if (!started) Logger::log("Error accessing security scoped resource");
    return started;
}

}  // namespace

PreviousLocationsManager::PreviousLocationsManager(pf::UserDefaults& defaults) : defaults_(defaults) {
    const auto& recent = recentOutputDirectories();
    if (!recent.empty()) {
        outputDirectory_ = recent.back();
        startAccess(*outputDirectory_);
    }
}

PreviousLocationsManager::~PreviousLocationsManager() {
    if (outputDirectory_) pf::bookmarks::stopAccessingSecurityScopedResource(*outputDirectory_);
    if (recentOutputDirectories_) saveRecentOutputDirectories();
}

void PreviousLocationsManager::setRecentLocationsMenuItem(pa::MenuItemPtr item) {
    recentLocationsMenuItem_ = std::move(item);
    // Folders may have been chosen before the item was connected: the submenu shows them.
    rebuildRecentLocationsMenu();
}

void PreviousLocationsManager::setOutputDirectory(std::optional<pf::URL> url) {
    const auto previous = outputDirectory_;
    const bool changes = url != previous;
    if (changes && previous) pf::bookmarks::stopAccessingSecurityScopedResource(*previous);
    outputDirectory_ = url;
    if (!url || !changes) return;

    recentOutputDirectories();
    auto& recent = *recentOutputDirectories_;
    if (const auto found = std::find(recent.begin(), recent.end(), *url); found != recent.end()) recent.erase(found);
    recent.push_back(*url);
    if (recent.size() > kMaxRecentLocations) recent.erase(recent.begin());
    saveRecentOutputDirectories();
    rebuildRecentLocationsMenu();
    if (!startAccess(*url)) return;
    if (const auto told = delegate.lock()) told->previousLocationsManagerDidChange(*this, *url);
}

const std::vector<pf::URL>& PreviousLocationsManager::recentOutputDirectories() {
    if (!recentOutputDirectories_) loadRecentOutputDirectories();
    return *recentOutputDirectories_;
}

void PreviousLocationsManager::loadRecentOutputDirectories() {
    recentOutputDirectories_.emplace();
    const auto stored = defaults_.arrayForKey(userDefaultsKey_);
    if (!stored) return;
    // Only a list of bookmark data is ours; anything else under the key counts as none.
    if (!std::all_of(stored->begin(), stored->end(), [](const pf::Value& entry) { return entry.isData(); })) return;
    for (const auto& entry : *stored) {
        try {
            const auto resolved = pf::bookmarks::resolve(*entry.asData());
            if (resolved.isStale) {
                Logger::log("No bookmark data. Is stale: true");
                continue;
            }
            // A folder that has gone to the Trash is no place to write to any more.
            if (pf::files::isInTrash(resolved.url.fsPath())) {
                Logger::log("Recent output folder in the Trash dropped: " + resolved.url.path());
                continue;
            }
            recentOutputDirectories_->push_back(resolved.url);
        } catch (const pf::Error& error) {
            Logger::log("Error accessing saved bookmark data: " + error.printedDescription());
        }
    }
}

void PreviousLocationsManager::saveRecentOutputDirectories() {
    pf::Array bookmarks;
    for (const auto& url : recentOutputDirectories()) {
        try {
            bookmarks.emplace_back(pf::bookmarks::create(url));
        } catch (const pf::Error& error) {
            Logger::log("Error saving bookmark data: " + error.printedDescription());
        }
    }
    // An empty list and no list mean the same; no key is left behind for it.
    if (bookmarks.empty()) {
        if (!defaults_.objectForKey(userDefaultsKey_).isNull()) defaults_.removeObject(userDefaultsKey_);
        return;
    }
    defaults_.setObject(pf::Value(std::move(bookmarks)), userDefaultsKey_);
}

void PreviousLocationsManager::rebuildRecentLocationsMenu() {
    if (!recentLocationsMenuItem_) return;
    if (!recentLocationsMenuItem_->submenu()) recentLocationsMenuItem_->setSubmenu(pa::Menu::make());
    const auto& submenu = recentLocationsMenuItem_->submenu();
    submenu->removeAllItems();
    const auto& recent = recentOutputDirectories();
    for (auto url = recent.rbegin(); url != recent.rend(); ++url) submenu->addItem(menuItemFor(*url));
    submenu->addItem(pa::MenuItem::separatorItem());
    std::weak_ptr<PreviousLocationsManager*> self = self_;
    auto clear = pa::MenuItem::make(LocalizedString::menuPreviousFileLocationsClear(), [self](pa::MenuItem& sender) {
        if (const auto manager = self.lock()) (*manager)->clearRecentDirectories(sender);
    });
    // Nothing to clear: offered, but off.
    clear->setEnabled(!recent.empty());
    submenu->addItem(std::move(clear));
}

pa::MenuItemPtr PreviousLocationsManager::menuItemFor(const pf::URL& url) {
    std::weak_ptr<PreviousLocationsManager*> self = self_;
    // path() is decoded once already: a folder named "100%25" shows as such.
    auto item = pa::MenuItem::make(pf::escapedForDisplay(url.path()), [self](pa::MenuItem& sender) {
        if (const auto manager = self.lock()) (*manager)->recentLocationPressed(sender);
    });
    item->setRepresentedObject(url);
    item->setImageName(std::string(kFolderImageName));
    return item;
}

void PreviousLocationsManager::recentLocationPressed(pa::MenuItem& sender) {
    const auto* url = std::any_cast<pf::URL>(&sender.representedObject());
    if (!url) pf::fatalError("Unexpected menu item press");
    setOutputDirectory(*url);
}

void PreviousLocationsManager::clearRecentDirectories(pa::MenuItem&) {
    defaults_.removeObject(userDefaultsKey_);
    recentOutputDirectories_.emplace();
    // Left as it was, the submenu would still offer the folders just forgotten, and
    // choosing one would bring it back.
    rebuildRecentLocationsMenu();
}

}  // namespace gw
