#include "app/engine/file_writing_validators.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/interrupted_writing.hpp"
#include "app/foundation/file_categories.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/date.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/trash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace gw {

namespace pf = platform::foundation;
namespace fs = std::filesystem;
using Result = FileWritingIntentValidatorResult;

namespace {

// Whether `folder` holds anything at any depth, hidden files included. Throws the file
// system's error when it cannot be listed.
bool holdsAnything(const fs::path& folder, const WritingBoundary& boundary) {
    bool any = false;
    // Walk it all, so that a folder that cannot be read below reports it.
    for (const auto& item : boundary.list(folder)) {
        any = true;
        if (item.kind == WritingBoundary::Kind::folder) holdsAnything(folder / item.name, boundary);
    }
    return any;
}

// Whether `folder` holds anything but folders and Contents.json lists (the name is the
// program's, whatever stands at it), at any depth, hidden files included. Throws the file
// system's error when it cannot be listed.
bool holdsMoreThanListings(const fs::path& folder, const WritingBoundary& boundary) {
    for (const auto& item : boundary.list(folder)) {
        if (item.kind == WritingBoundary::Kind::folder) {
            if (holdsMoreThanListings(folder / item.name, boundary)) return true;
        } else if (item.name != "Contents.json") {
            return true;
        }
    }
    return false;
}

FileAlreadyExistsAction actionFromRow(std::optional<int> row, std::initializer_list<FileAlreadyExistsAction> rows) {
    if (!row || *row < 0 || static_cast<std::size_t>(*row) >= rows.size()) return FileAlreadyExistsAction::cancel;
    return *(rows.begin() + *row);
}

// The answer of a prompt; the always box only counts after Continue, and then
// remembers whatever was chosen, cancel included.
FileAlreadyExistsAction settleAnswer(const AlreadyExistsAnswer& answer,
                                     std::initializer_list<FileAlreadyExistsAction> rows,
                                     FileAlreadyExistsActionProvider& provider) {
    if (answer.response == 0) return FileAlreadyExistsAction::cancel;
    const auto action = actionFromRow(answer.selectedRow, rows);
    if (answer.alwaysButton) provider.setFileAlreadyExistsAction(action);
    return action;
}

// The action's answer for the existing, non-empty folder `directory`; what overwrite
// replaces is disposed of as `disposal` says once the run has written, and should it not be
// set aside, `onFailure` says what fails.
Result apply(FileAlreadyExistsAction action, const pf::URL& directory, PendingRemovals& pending,
             PendingRemovals::Disposal disposal, PendingRemovals::OnFailure onFailure) {
    switch (action) {
    case FileAlreadyExistsAction::increment:
        return Result::overwritableURL(nextAvailablePath(directory));
    case FileAlreadyExistsAction::overwrite:
        pending.schedule(directory, onFailure, disposal);
        return Result::overwritableURL(directory);
    case FileAlreadyExistsAction::append:
        return Result::appendableURL(directory);
    case FileAlreadyExistsAction::ask:
    case FileAlreadyExistsAction::cancel:
        break;
    }
    throw FileWritingIntentError::userCancelled(directory);
}

}  // namespace

// --- PendingRemovals -------------------------------------------------------------

void PendingRemovals::setWritingBoundary(WritingBoundaryPtr boundary) {
    std::lock_guard lock(mutex_);
    boundary_ = boundary ? std::move(boundary) : WritingBoundary::everything();
}

WritingBoundaryPtr PendingRemovals::boundary() const {
    std::lock_guard lock(mutex_);
    return boundary_;
}

void PendingRemovals::schedule(const pf::URL& url, OnFailure onFailure, Disposal disposal) {
    const auto bounds = boundary();
    const auto path = url.fsPath();
    try {
        if (!bounds->exists(path)) return;
        const auto aside = inFlightSibling(path, InFlightKind::replaced, *bounds);
        try {
            bounds->setAside(path, aside);
        } catch (const pf::Error& failure) {
            throw pf::Error(std::string(pf::kPosixErrorDomain),
                            failure.domain() == pf::kPosixErrorDomain ? failure.code() : EIO,
                            "Cannot replace " + path.string() + ": " + failure.what());
        }
        std::lock_guard lock(mutex_);
        entries_.push_back({url, aside, disposal, bounds});
    } catch (...) {
        if (onFailure == OnFailure::report) throw;
        if (onFailure == OnFailure::refuseFolder) bounds->refuse(path, std::current_exception());
    }
}

std::vector<pf::URL> PendingRemovals::scheduledURLs() const {
    std::lock_guard lock(mutex_);
    std::vector<pf::URL> urls;
    for (const auto& entry : entries_) urls.push_back(entry.url);
    return urls;
}

bool PendingRemovals::empty() const {
    std::lock_guard lock(mutex_);
    return entries_.empty();
}

std::vector<ReplacedItem> PendingRemovals::perform() {
    return settle([](const pf::URL&) { return false; });
}

std::vector<ReplacedItem> PendingRemovals::settle(const std::function<bool(const pf::URL&)>& failed) {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    std::vector<ReplacedItem> kept;
    const auto keep = [&kept](std::vector<ReplacedItem> items) {
        for (auto& item : items) kept.push_back(std::move(item));
    };
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto path = it->url.fsPath();
        const auto& bounds = *it->boundary;
        try {
            if (!bounds.exists(it->setAside)) {
                Logger::log(fmt::format("Unable to settle {}: {} is gone", path.string(), it->setAside.string()));
            } else if (failed(it->url)) {
                // What the failed run left at the name goes as far as the run made it;
                // what was there comes back.
                keep(bounds.dispose(path));
                bounds.putBack(it->setAside, path);
            } else if (it->disposal == Disposal::keep) {
                kept.push_back(keepReplaced(it->url, it->setAside, bounds));
            } else {
                // The run's own earlier output goes; anything the user added is kept.
                keep(bounds.dispose(it->setAside, path, path));
            }
        } catch (const std::exception& failure) {
            Logger::log(fmt::format("Unable to settle {} (kept as {}): {}", path.string(), it->setAside.string(),
                                    failure.what()));
        }
    }
    // In the order the answers were given.
    std::reverse(kept.begin(), kept.end());
    return kept;
}

void PendingRemovals::discard() {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto path = it->url.fsPath();
        const auto& bounds = *it->boundary;
        bool putBack = false;
        try {
            if (!bounds.exists(path)) bounds.putBack(it->setAside, path);
            putBack = !bounds.exists(it->setAside);
        } catch (const std::exception&) {
        }
        if (!putBack) {
            Logger::log(fmt::format("Unable to put back {}; it is kept as {}", path.string(), it->setAside.string()));
        }
    }
}

// --- AssetCatalogPathValidator ----------------------------------------------------

AssetCatalogPathValidator::AssetCatalogPathValidator(std::shared_ptr<AssetCatalogAlreadyExistsPrompting> window,
                                                     std::shared_ptr<FileAlreadyExistsActionProvider> provider,
                                                     PendingRemovalsPtr pendingRemovals)
    : window_(std::move(window)), provider_(std::move(provider)), pendingRemovals_(std::move(pendingRemovals)) {}

Result AssetCatalogPathValidator::validate(const FileWritingIntent& intent) {
    const auto& directory = intent.intendedDirectory();
    // Output chosen inside an existing catalog: that catalog receives the output.
    if (auto enclosing = enclosingAssetCatalog(directory)) return Result::appendableURL(*enclosing);
    const auto bounds = pendingRemovals_->boundary();
    if (!bounds->exists(directory.fsPath())) return Result::overwritableURL(directory);
    // An empty folder is reused as it is.
    if (!holdsAnything(directory.fsPath(), *bounds)) return Result::overwritableURL(directory);
    auto action = provider_->fileAlreadyExistsAction();
    if (action == FileAlreadyExistsAction::ask) action = askForAction(intent);
    return apply(action, directory, *pendingRemovals_, PendingRemovals::Disposal::keep,
                 PendingRemovals::OnFailure::report);
}

FileAlreadyExistsAction AssetCatalogPathValidator::askForAction(const FileWritingIntent& intent) {
    if (!window_) throw AlreadyExistsPromptUnavailableError();
    AssetCatalogAlreadyExistsPrompt prompt;
    prompt.outputDirectory = intent.intendedDirectory();
    for (const auto& option : intent.options()) {
        if (auto input = option.imageInputValue()) prompt.images.push_back(input->image());
    }
    const auto answer = window_->runModal(prompt);
    return settleAnswer(answer,
                        {FileAlreadyExistsAction::append, FileAlreadyExistsAction::increment,
                         FileAlreadyExistsAction::overwrite},
                        *provider_);
}

// --- AssetPathValidator -----------------------------------------------------------

AssetPathValidator::AssetPathValidator(std::shared_ptr<AssetAlreadyExistsPrompting> window,
                                       std::shared_ptr<FileAlreadyExistsActionProvider> provider,
                                       PendingRemovalsPtr pendingRemovals)
    : window_(std::move(window)), provider_(std::move(provider)), pendingRemovals_(std::move(pendingRemovals)) {}

Result AssetPathValidator::validate(const FileWritingIntent& intent) {
    const auto& directory = intent.intendedDirectory();
    const auto bounds = pendingRemovals_->boundary();
    // A folder with nothing but folders and Contents.json lists counts as new, and so does
    // anything that is no folder (writing it then fails); nothing is removed. Anything else
    // in a folder may be the user's (a picture of a kind the program does not read, notes):
    // the folder is an existing one, whose action decides what becomes of it.
    if (!bounds->leadsToFolder(directory.fsPath()) || !holdsMoreThanListings(directory.fsPath(), *bounds)) {
        return Result::overwritableURL(directory);
    }
    auto action = provider_->fileAlreadyExistsAction();
    if (action == FileAlreadyExistsAction::ask ||
        (action == FileAlreadyExistsAction::append && !intent.hasAppendableOption())) {
        action = askForAction(directory, intent);
    }
    // A user adds files of their own to a set (a dark variant, notes): what it held is kept.
    // One that cannot be set aside fails only the folder that writes it (a picture of a batch).
    return apply(action, directory, *pendingRemovals_, PendingRemovals::Disposal::keep,
                 PendingRemovals::OnFailure::refuseFolder);
}

FileAlreadyExistsAction AssetPathValidator::askForAction(const pf::URL& existingURL, const FileWritingIntent& intent) {
    if (!window_) throw AlreadyExistsPromptUnavailableError();
    AssetAlreadyExistsPrompt prompt;
    prompt.outputDirectory = existingURL;
    prompt.isAppendOptionAvailable = intent.hasAppendableOption();
    if (auto input = intent.imageInput()) prompt.image = input->image();
    const auto answer = window_->runModal(prompt);
    return settleAnswer(answer,
                        {FileAlreadyExistsAction::increment, FileAlreadyExistsAction::overwrite,
                         FileAlreadyExistsAction::append},
                        *provider_);
}

// --- the two that never ask -------------------------------------------------------

Result OverwritingFileWritingIntentValidator::validate(const FileWritingIntent& intent) {
    pendingRemovals_->schedule(intent.intendedDirectory(), PendingRemovals::OnFailure::ignore);
    return Result::overwritableURL(intent.intendedDirectory());
}

Result AlwaysAllowFileWritingIntentValidator::validate(const FileWritingIntent& intent) {
    return Result::appendableURL(intent.intendedDirectory());
}

}  // namespace gw
