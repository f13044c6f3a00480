#include "app/shell/command_line_enabled_controller.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/test_hook.hpp"
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

pf::TestHook<const std::filesystem::path&> rootChecked;

using GrantProblem = CommandLineEnabledController::GrantProblem;

// The stored grant's folder opened and checked, or why it cannot be used (logged); both
// none when nothing is stored.
struct StoredGrant {
    std::optional<bookmarks::OpenedFolder> opened;
    std::optional<GrantProblem> problem;
};

StoredGrant openStoredGrant() {
    auto& defaults = pf::UserDefaults::standard();
    const pf::Value stored = defaults.objectForKey(CommandLineEnabledController::rootBookmarkKey);
    if (stored.isNull()) return {};
    const auto notAGrant = [&](const std::string& why) {
        Logger::log("Error accessing saved bookmark data: " +
                    pf::Error(pf::FoundationErrorCode::bookmarkResolveFailed,
                              "The bookmark couldn't be resolved. (" + why + ")")
                        .printedDescription());
        return StoredGrant{std::nullopt, GrantProblem{GrantProblem::Kind::notAGrant, defaults.storePath().string(), why}};
    };
    const auto* data = stored.asData();
    if (!data) return notAGrant("not bookmark data");
    bookmarks::OpenedFolder opened;
    try {
        opened = bookmarks::openFolder(*data);
    } catch (const std::exception& error) {
        Logger::log("Error accessing saved bookmark data: " + printedDescription(error));
        return {std::nullopt, GrantProblem{GrantProblem::Kind::notAGrant, defaults.storePath().string(), error.what()}};
    }
    const std::string folder = opened.url.path();
    using Standing = bookmarks::OpenedFolder::Standing;
    switch (opened.standing) {
    case Standing::same: return {std::move(opened), std::nullopt};
    case Standing::replaced:
    case Standing::notAFolder:
        // Left in place: the preferences switch shows off and a new grant replaces it.
        Logger::log("No bookmark data. Is stale: true");
        return {std::nullopt, GrantProblem{opened.standing == Standing::replaced ? GrantProblem::Kind::replaced
                                                                                 : GrantProblem::Kind::notAFolder,
                                           folder, {}}};
    case Standing::unrecognised:
        Logger::log("Bookmark data not recognised: " + folder + " has new numbers and nothing else that tells it");
        return {std::nullopt, GrantProblem{GrantProblem::Kind::unrecognised, folder, {}}};
    case Standing::gone:
        Logger::log("Error accessing saved bookmark data: " +
                    pf::Error(pf::FoundationErrorCode::bookmarkResolveFailed,
                              "The bookmark couldn't be resolved. (the item at " + folder + " no longer exists)")
                        .printedDescription());
        return {std::nullopt, GrantProblem{GrantProblem::Kind::gone, folder, {}}};
    case Standing::unusable:
        Logger::log("Error accessing saved bookmark data: cannot open " + folder + ": " + opened.reason);
        return {std::nullopt, GrantProblem{GrantProblem::Kind::unusable, folder, opened.reason, opened.error}};
    }
    return {};
}

}  // namespace

CommandLineEnabledController::CommandLineEnabledController() {
    auto grant = openStoredGrant();
    grantProblem_ = std::move(grant.problem);
    if (grant.opened) {
        try {
            rootHandle_ = std::make_shared<const pf::files::RootHandle>(std::move(grant.opened->folder),
                                                                       grant.opened->url.fsPath());
            rootBookmarkURL_ = std::move(grant.opened->url);
        } catch (const pf::Error& error) {
            Logger::log("Error accessing saved bookmark data: " + error.printedDescription());
            grantProblem_ = GrantProblem{GrantProblem::Kind::unusable, grant.opened->url.path(), error.what(),
                                         error.domain() == pf::kPosixErrorDomain ? error.code() : 0};
        }
    }
    if (rootBookmarkURL_) rootChecked(rootBookmarkURL_->fsPath());
}

CommandLineEnabledController::~CommandLineEnabledController() {
    if (rootBookmarkURL_) bookmarks::stopAccessingSecurityScopedResource(*rootBookmarkURL_);
}

std::optional<pf::URL> CommandLineEnabledController::resolveRootBookmark() const {
    auto grant = openStoredGrant();
    if (!grant.opened) return std::nullopt;
    return grant.opened->url;
}

std::string CommandLineEnabledController::describe(const GrantProblem& problem) {
    switch (problem.kind) {
    case GrantProblem::Kind::notAGrant: return LocalizedString::text("command-line.grant-not-a-grant", problem.folder);
    case GrantProblem::Kind::gone: return LocalizedString::text("command-line.grant-gone", problem.folder);
    case GrantProblem::Kind::replaced: return LocalizedString::text("command-line.grant-replaced", problem.folder);
    case GrantProblem::Kind::unrecognised:
        return LocalizedString::text("command-line.grant-unrecognised", {problem.folder, problem.folder});
    case GrantProblem::Kind::notAFolder: return LocalizedString::text("command-line.grant-not-a-folder", problem.folder);
    case GrantProblem::Kind::unusable:
        return LocalizedString::text("command-line.grant-unusable", problem.folder, problem.reason);
    }
    return {};
}

void CommandLineEnabledController::setRootCheckedHookForTesting(std::function<void(const std::filesystem::path&)> hook) {
    rootChecked.set(std::move(hook));
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
    // A grant that is not on disk is lost with this process: no grant at all, also not
    // one written by a later change of another setting after the user was told so.
    if (!defaults.synchronize()) {
        defaults.discardUnsavedChange(rootBookmarkKey);
        const pf::Error error(pf::FoundationErrorCode::fileWriteFailed,
                              LocalizedString::text("command-line.settings-not-saved", defaults.storePath().string()));
        if (errorPresenter_) errorPresenter_(error);
        Logger::log("Error saving bookmark data: " + error.printedDescription());
        return false;
    }
    willChangeValueForKey(isCommandLineInterfaceEnabledKey);
    rootBookmarkURL_ = folder;
    grantProblem_.reset();
    didChangeValueForKey(isCommandLineInterfaceEnabledKey);
    return true;
}

void CommandLineEnabledController::disableCommandLineInterface() {
    pf::UserDefaults::standard().removeObject(rootBookmarkKey);
    willChangeValueForKey(isCommandLineInterfaceEnabledKey);
    rootBookmarkURL_.reset();
    rootHandle_.reset();
    grantProblem_.reset();
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
