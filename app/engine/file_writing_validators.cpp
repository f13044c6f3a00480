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
// replaces is disposed of as `disposal` says once the run has written.
Result apply(FileAlreadyExistsAction action, const pf::URL& directory, PendingRemovals& pending,
             PendingRemovals::Disposal disposal) {
    switch (action) {
    case FileAlreadyExistsAction::increment:
        return Result::overwritableURL(nextAvailablePath(directory));
    case FileAlreadyExistsAction::overwrite:
        pending.schedule(directory, PendingRemovals::OnFailure::report, disposal);
        return Result::overwritableURL(directory);
    case FileAlreadyExistsAction::append:
        return Result::appendableURL(directory);
    case FileAlreadyExistsAction::ask:
    case FileAlreadyExistsAction::cancel:
        break;
    }
    throw FileWritingIntentError::userCancelled(directory);
}

// The longest prefix of `text` of at most `bytes` bytes that does not cut a character.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// "<name> (replaced <date> <time>)<extension>", free beside `place` and in the Trash
// that would take it: a name a person reads as the old one, which keeps its extension (a
// catalog stays a catalog, and no folder scan takes pictures from it). Runs within one
// second number their names after the time ("… 01.38.56 2)"), since the Trash's own
// numbering would cut into the time. Short enough for the Trash's info file beside it.
fs::path replacedSibling(const fs::path& place, const WritingBoundary& boundary) {
    const std::string name = place.filename().string();
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot != 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    const std::string stamp = pf::Date::fromTimeIntervalSince1970(static_cast<double>(std::time(nullptr))).localFileNameStamp();
    constexpr std::size_t kNameMax = 255 - std::string_view(".trashinfo").size();
    for (int number = 1;; ++number) {
        const std::string suffix = number == 1 ? fmt::format(" (replaced {})", stamp)
                                               : fmt::format(" (replaced {} {})", stamp, number);
        const std::size_t room = kNameMax - std::min(kNameMax, suffix.size() + extension.size());
        const auto candidate = place.parent_path() / (utf8Prefix(stem, room) + suffix + extension);
        if (!boundary.exists(candidate) && !pf::files::trashHoldsName(candidate)) return candidate;
    }
}

}  // namespace

ReplacedItem keepReplaced(const pf::URL& original, const fs::path& setAside, const WritingBoundary& boundary) {
    ReplacedItem item;
    item.original = original;
    const auto visible = replacedSibling(original.fsPath(), boundary);
    bool renamed = true;
    try {
        boundary.rename(setAside, visible);
    } catch (const std::exception& failure) {
        renamed = false;
        Logger::log(fmt::format("Unable to rename {} to {}: {}", setAside.string(), visible.string(), failure.what()));
    }
    const fs::path kept = renamed ? visible : setAside;
    try {
        item.keptAt = boundary.moveToTrash(kept);
        item.inTrash = true;
    } catch (const std::exception& failure) {
        item.keptAt = kept;
        item.trashFailure = failure.what();
    }
    return item;
}

bool ReplacedItem::isCatalog() const { return isAssetCatalog(original); }

std::string ReplacedItem::description() const {
    const std::string what = original.path();
    if (!restoredFrom.empty()) {
        const std::string leftover = restoredFrom.string();
        if (!inTrash) {
            return LocalizedString::text("writing.recovered.kept", {leftover, what, keptAt.string()}) + " " +
                   LocalizedString::text("writing.replaced.trash-refused", trashFailure);
        }
        if (keptAt.empty()) return LocalizedString::text("writing.recovered.trashed-somewhere", leftover, what);
        return LocalizedString::text("writing.recovered.trashed", {leftover, what, keptAt.string()});
    }
    if (!inTrash) {
        return LocalizedString::text("writing.replaced.kept", what, keptAt.string()) + " " +
               LocalizedString::text("writing.replaced.trash-refused", trashFailure);
    }
    if (keptAt.empty()) return LocalizedString::text("writing.replaced.trashed-somewhere", what);
    return LocalizedString::text("writing.replaced.trashed", what, keptAt.string());
}

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
            bounds->rename(path, aside);
        } catch (const pf::Error& failure) {
            throw pf::Error::posix(failure.domain() == pf::kPosixErrorDomain ? failure.code() : EIO,
                                   "Unable to remove " + path.string());
        }
        std::lock_guard lock(mutex_);
        entries_.push_back({url, aside, disposal, bounds});
    } catch (...) {
        if (onFailure == OnFailure::report) throw;
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
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const auto path = it->url.fsPath();
        const auto& bounds = *it->boundary;
        try {
            if (failed(it->url)) {
                // What the failed run left at the name goes; what was there comes back.
                discardTree(path, bounds);
                bounds.rename(it->setAside, path);
            } else if (it->disposal == Disposal::keep) {
                kept.push_back(keepReplaced(it->url, it->setAside, bounds));
            } else {
                discardTree(it->setAside, bounds);
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
            if (!bounds.exists(path)) bounds.rename(it->setAside, path);
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
    return apply(action, directory, *pendingRemovals_, PendingRemovals::Disposal::keep);
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
    const bool holdsPictures =
        bounds->exists(directory.fsPath()) && !imageFileURLs(directory, {}, {}, bounds->handle().get()).empty();
    // A folder with only a Contents.json or other files counts as new; nothing is removed.
    if (!holdsPictures) return Result::overwritableURL(directory);
    auto action = provider_->fileAlreadyExistsAction();
    if (action == FileAlreadyExistsAction::ask ||
        (action == FileAlreadyExistsAction::append && !intent.hasAppendableOption())) {
        action = askForAction(directory, intent);
    }
    // A user adds files of their own to a set (a dark variant, notes): what it held is kept.
    return apply(action, directory, *pendingRemovals_, PendingRemovals::Disposal::keep);
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
