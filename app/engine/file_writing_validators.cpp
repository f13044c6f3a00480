#include "app/engine/file_writing_validators.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/interrupted_writing.hpp"
#include "app/foundation/file_categories.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>

namespace gw {

namespace pf = platform::foundation;
namespace fs = std::filesystem;
using Result = FileWritingIntentValidatorResult;

namespace {

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Whether `folder` holds anything at any depth, hidden files included. Throws the file
// system's error when it cannot be listed.
bool holdsAnything(const pf::URL& folder) {
    std::error_code error;
    const auto root = folder.fsPath();
    auto fail = [&] { throw pf::Error::posix(error.value(), "Unable to list the folder " + root.string()); };
    fs::recursive_directory_iterator it(root, fs::directory_options::none, error);
    if (error) fail();
    const bool any = it != fs::recursive_directory_iterator();
    // Walk the rest, so that a folder that cannot be read below reports it.
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error) fail();
    }
    if (error) fail();
    return any;
}

fs::path setAsidePath(const fs::path& path) { return inFlightSibling(path, InFlightKind::replaced); }

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

// The action's answer for the existing, non-empty folder `directory`.
Result apply(FileAlreadyExistsAction action, const pf::URL& directory, PendingRemovals& pending) {
    switch (action) {
    case FileAlreadyExistsAction::increment:
        return Result::overwritableURL(nextAvailablePath(directory));
    case FileAlreadyExistsAction::overwrite:
        pending.schedule(directory, PendingRemovals::OnFailure::report);
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

void PendingRemovals::schedule(const pf::URL& url, OnFailure onFailure) {
    const auto path = url.fsPath();
    if (!itemExists(path)) return;
    const auto aside = setAsidePath(path);
    std::error_code error;
    fs::rename(path, aside, error);
    if (error) {
        if (onFailure == OnFailure::report) throw pf::Error::posix(error.value(), "Unable to remove " + path.string());
        return;
    }
    std::lock_guard lock(mutex_);
    entries_.push_back({url, aside});
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

void PendingRemovals::perform() {
    settle([](const pf::URL&) { return false; });
}

void PendingRemovals::settle(const std::function<bool(const pf::URL&)>& failed) {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto path = it->url.fsPath();
        try {
            if (failed(it->url)) {
                // What the failed run left at the name goes; what was there comes back.
                discardTree(path);
                fs::rename(it->setAside, path);
            } else {
                discardTree(it->setAside);
            }
        } catch (const std::exception& failure) {
            Logger::log(fmt::format("Unable to settle {} (kept as {}): {}", path.string(), it->setAside.string(),
                                    failure.what()));
        }
    }
}

void PendingRemovals::discard() {
    std::vector<Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto path = it->url.fsPath();
        std::error_code error;
        if (!itemExists(path)) fs::rename(it->setAside, path, error);
        if (error || itemExists(it->setAside))
            Logger::log(fmt::format("Unable to put back {}; it is kept as {}", path.string(), it->setAside.string()));
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
    if (!itemExists(directory.fsPath())) return Result::overwritableURL(directory);
    // An empty folder is reused as it is.
    if (!holdsAnything(directory)) return Result::overwritableURL(directory);
    auto action = provider_->fileAlreadyExistsAction();
    if (action == FileAlreadyExistsAction::ask) action = askForAction(intent);
    return apply(action, directory, *pendingRemovals_);
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
    const bool holdsPictures = itemExists(directory.fsPath()) && !imageFileURLs(directory).empty();
    // A folder with only a Contents.json or other files counts as new; nothing is removed.
    if (!holdsPictures) return Result::overwritableURL(directory);
    auto action = provider_->fileAlreadyExistsAction();
    if (action == FileAlreadyExistsAction::ask ||
        (action == FileAlreadyExistsAction::append && !intent.hasAppendableOption())) {
        action = askForAction(directory, intent);
    }
    return apply(action, directory, *pendingRemovals_);
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
