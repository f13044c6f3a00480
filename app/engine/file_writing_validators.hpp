#pragma once
// The validators that settle writing intents: what happens to a catalog or asset
// folder that already exists (reuse, new name, replace, add to, or cancel), asking the
// user through a prompt when no remembered answer applies.
//
// Nothing on disk is removed while a run is still being settled or written. An
// "overwrite" answer moves the folder aside at once, under a hidden name beside it, so
// that every later check and every builder of the same run sees it gone, as it will be.
// When a later prompt is cancelled or planning fails they are put back, so an earlier
// answer never costs the user a folder. Once the run has written everything, the
// folders whose replacements were written completely go, and those whose replacement
// failed are put back in place of whatever the failure left. A replaced catalog or asset
// set may hold anything the user made (their own sets, a dark variant, notes), so it goes
// to the Trash rather than away; of the layers a run replaces inside a set it adds to, only
// what the run wrote anew in their place goes (see WritingBoundary::dispose).
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/replaced_item.hpp"
#include "app/engine/writing_boundary.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace gw {

// The folders an unsettled run is going to remove, set aside until it is settled.
class PendingRemovals {
public:
    // Whether a failure stops the run (a catalog), fails only the folders that write the
    // item (an asset folder: see WritingBoundary::refuse), or is passed over (the overwriting
    // kind, whose writes then fail on their own).
    enum class OnFailure { report, refuseFolder, ignore };
    // What becomes of it once its replacement is written: removed as far as the new one
    // holds it (anything else of it is kept), or kept whole (moved to the Trash, or where
    // that fails, renamed beside its replacement).
    enum class Disposal { remove, keep };

    // Moves whatever stands at the URL aside under a hidden name in the same folder.
    // Nothing there: nothing to do. A failed move throws the file system's error
    // (platform Error) for OnFailure::report, naming the item.
    void schedule(const platform::foundation::URL& url, OnFailure onFailure, Disposal disposal = Disposal::remove);
    // The folders set aside, where they stood.
    std::vector<platform::foundation::URL> scheduledURLs() const;
    bool empty() const;

    // Every step goes through the boundary (everything until one is set).
    void setWritingBoundary(WritingBoundaryPtr boundary);
    WritingBoundaryPtr boundary() const;

    // Disposes of everything set aside as if every replacement had been written.
    std::vector<ReplacedItem> perform();
    // The run has written: each folder set aside is disposed of, unless `failed` says
    // the writing of its place failed; then what the run made there is removed (anything
    // else is kept) and the folder goes back. The last set aside is settled first. Returns
    // where the kept ones went. A removal that fails leaves the hidden copy behind and is
    // logged; the run goes on.
    std::vector<ReplacedItem> settle(const std::function<bool(const platform::foundation::URL&)>& failed);
    // The run ends without writing: everything set aside goes back to its place, the
    // last set aside first.
    void discard();

private:
    struct Entry {
        platform::foundation::URL url;
        std::filesystem::path setAside;
        Disposal disposal;
        // The boundary it was set aside through: it comes back or goes through the same.
        WritingBoundaryPtr boundary;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    WritingBoundaryPtr boundary_ = WritingBoundary::everything();
};

using PendingRemovalsPtr = std::shared_ptr<PendingRemovals>;

// A prompt needs a window; without one (the command line) this is the answer.
class AlreadyExistsPromptUnavailableError : public std::runtime_error {
public:
    AlreadyExistsPromptUnavailableError() : std::runtime_error(std::string(message)) {}
    static constexpr std::string_view message = "Unable to prompt user for action without the window";
};

// How the user left an already-exists prompt: Cancel (response 0) or Continue (any
// other response), the selected option row (none when nothing is selected) and the
// always box.
struct AlreadyExistsAnswer {
    int response = 0;
    std::optional<int> selectedRow;
    bool alwaysButton = false;
};

// The catalog window's question. Rows: 0 add to the catalog, 1 a new name, 2 overwrite.
struct AssetCatalogAlreadyExistsPrompt {
    platform::foundation::URL outputDirectory;
    // The pictures of the intent's imageInput options, in option order.
    std::vector<platform::graphics::ImagePtr> images;
};

// The asset window's question. Rows: 0 a new name, 1 overwrite, 2 add to the asset.
struct AssetAlreadyExistsPrompt {
    platform::foundation::URL outputDirectory;
    // Without it the append row is disabled and row 0 selected.
    bool isAppendOptionAvailable = false;
    // The picture of the first imageInput option; null leaves the window's picture as is.
    platform::graphics::ImagePtr image;
};

// The windows that ask; run application-modally on the main thread, they return when
// the user presses Continue or Cancel. The always box starts off for every prompt.
class AssetCatalogAlreadyExistsPrompting {
public:
    virtual ~AssetCatalogAlreadyExistsPrompting() = default;
    virtual AlreadyExistsAnswer runModal(const AssetCatalogAlreadyExistsPrompt& prompt) = 0;
};

class AssetAlreadyExistsPrompting {
public:
    virtual ~AssetAlreadyExistsPrompting() = default;
    virtual AlreadyExistsAnswer runModal(const AssetAlreadyExistsPrompt& prompt) = 0;
};

// The catalog folder ("Assets.xcassets"): reuse an enclosing catalog, create, or apply
// the remembered or asked action.
class AssetCatalogPathValidator : public FileWritingIntentValidator {
public:
    AssetCatalogPathValidator(std::shared_ptr<AssetCatalogAlreadyExistsPrompting> assetCatalogFolderAlreadyExistsWindow,
                              std::shared_ptr<FileAlreadyExistsActionProvider> fileAlreadyExistsActionProvider,
                              PendingRemovalsPtr pendingRemovals);
    // Throws FileWritingIntentError (cancel), the file system's error (listing),
    // AlreadyExistsPromptUnavailableError.
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override;
    // Never ask.
    FileAlreadyExistsAction askForAction(const FileWritingIntent& intent);

private:
    std::shared_ptr<AssetCatalogAlreadyExistsPrompting> window_;
    std::shared_ptr<FileAlreadyExistsActionProvider> provider_;
    PendingRemovalsPtr pendingRemovals_;
};

// An asset folder inside the catalog: create, or apply the remembered or asked action.
class AssetPathValidator : public FileWritingIntentValidator {
public:
    AssetPathValidator(std::shared_ptr<AssetAlreadyExistsPrompting> assetFolderAlreadyExistsWindow,
                       std::shared_ptr<FileAlreadyExistsActionProvider> fileAlreadyExistsActionProvider,
                       PendingRemovalsPtr pendingRemovals);
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override;
    FileAlreadyExistsAction askForAction(const platform::foundation::URL& existingURL, const FileWritingIntent& intent);

private:
    std::shared_ptr<AssetAlreadyExistsPrompting> window_;
    std::shared_ptr<FileAlreadyExistsActionProvider> provider_;
    PendingRemovalsPtr pendingRemovals_;
};

// Always replaces what is there (removal failures pass silently); never asks or throws.
class OverwritingFileWritingIntentValidator : public FileWritingIntentValidator {
public:
    explicit OverwritingFileWritingIntentValidator(PendingRemovalsPtr pendingRemovals)
        : pendingRemovals_(std::move(pendingRemovals)) {}
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override;

private:
    PendingRemovalsPtr pendingRemovals_;
};

// Accepts the folder as it is; never looks at the disk, never asks or throws.
class AlwaysAllowFileWritingIntentValidator : public FileWritingIntentValidator {
public:
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override;
};

}  // namespace gw
