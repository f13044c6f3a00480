#include "app/shell/command_line_enabled_controller.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"

namespace gw {

namespace pf = platform::foundation;
namespace bookmarks = platform::foundation::bookmarks;

namespace {

std::string printedDescription(const std::exception& error) {
    if (const auto* platformError = dynamic_cast<const pf::Error*>(&error)) return platformError->printedDescription();
    return error.what();
}

}  // namespace

CommandLineEnabledController::CommandLineEnabledController() {
    if (auto url = resolveRootBookmark()) {
        if (bookmarks::startAccessingSecurityScopedResource(*url)) rootBookmarkURL_ = std::move(url);
    }
}

CommandLineEnabledController::~CommandLineEnabledController() {
    if (rootBookmarkURL_) bookmarks::stopAccessingSecurityScopedResource(*rootBookmarkURL_);
}

std::optional<pf::URL> CommandLineEnabledController::resolveRootBookmark() const {
    const auto data = pf::UserDefaults::standard().dataForKey(rootBookmarkKey);
    if (!data) return std::nullopt;
    try {
        const auto resolved = bookmarks::resolve(*data);
        if (resolved.isStale) {
            // Left in place: the preferences switch shows off and a new grant replaces it.
            Logger::log("No bookmark data. Is stale: true");
            return std::nullopt;
        }
        return resolved.url;
    } catch (const std::exception& error) {
        Logger::log("Error accessing saved bookmark data: " + printedDescription(error));
        return std::nullopt;
    }
}

bool CommandLineEnabledController::saveRootBookmark(const pf::URL& folder) {
    pf::Data data;
    try {
        // The settings hold text: such a path would come back changed and name nothing.
        if (!pf::isValidUTF8(folder.path())) {
            throw pf::Error(pf::FoundationErrorCode::fileWriteFailed,
                            LocalizedString::text("command-line.root-not-text", folder.path()));
        }
        data = bookmarks::create(folder);
    } catch (const std::exception& error) {
        if (errorPresenter_) errorPresenter_(error);
        Logger::log("Error saving bookmark data: " + printedDescription(error));
        return false;
    }
    auto& defaults = pf::UserDefaults::standard();
    defaults.setObject(pf::Value(std::move(data)), rootBookmarkKey);
    // A grant that is not on disk is lost with this process: no grant at all.
    if (!defaults.synchronize()) {
        const pf::Error error(pf::FoundationErrorCode::fileWriteFailed,
                              LocalizedString::text("command-line.settings-not-saved", defaults.storePath().string()));
        if (errorPresenter_) errorPresenter_(error);
        Logger::log("Error saving bookmark data: " + error.printedDescription());
        return false;
    }
    willChangeValueForKey(isCommandLineInterfaceEnabledKey);
    rootBookmarkURL_ = folder;
    didChangeValueForKey(isCommandLineInterfaceEnabledKey);
    return true;
}

void CommandLineEnabledController::disableCommandLineInterface() {
    pf::UserDefaults::standard().removeObject(rootBookmarkKey);
    willChangeValueForKey(isCommandLineInterfaceEnabledKey);
    rootBookmarkURL_.reset();
    didChangeValueForKey(isCommandLineInterfaceEnabledKey);
}

namespace {
CommandLineEnabledController::RootFolderChooser& rootFolderChooser() {
    static CommandLineEnabledController::RootFolderChooser chooser;
    return chooser;
}
}  // namespace

void CommandLineEnabledController::setRootFolderChooser(RootFolderChooser chooser) {
    rootFolderChooser() = std::move(chooser);
}

void CommandLineEnabledController::chooseRootFolder() {
    if (!rootFolderChooser()) return;
    std::weak_ptr<CommandLineEnabledController*> weak = self_;
    rootFolderChooser()([weak](std::optional<platform::foundation::URL> folder) {
        const auto self = weak.lock();
        if (!self || !folder) return;
        (*self)->saveRootBookmark(*folder);
    });
}

}  // namespace gw
