#pragma once
// The two writing-intent factories: the real one, whose validators look at the disk,
// may pick a new name, schedule removals and ask the user; and the dry-run one, which
// accepts every intent as it stands and never touches the disk.
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/engine/file_writing_validators.hpp"
#include "app/engine/writing_boundary.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace gw {

class RealWritingIntentFactory : public FileWritingIntentFactory {
public:
    // The validators share `pendingRemovals`, the removals of the run being settled.
    RealWritingIntentFactory(std::shared_ptr<FileWritingIntentValidator> catalogValidator,
                             std::shared_ptr<FileWritingIntentValidator> assetValidator,
                             std::shared_ptr<OverwritingFileWritingIntentValidator> overwritingValidator,
                             std::shared_ptr<AlwaysAllowFileWritingIntentValidator> appendingValidator,
                             PendingRemovalsPtr pendingRemovals);

    // The factory of a conversion run: the catalog validator with the catalog window
    // and the catalog provider, the asset validator with the asset window and the
    // contents provider. A window may be null (no desktop): a prompt then fails with
    // AlreadyExistsPromptUnavailableError.
    static std::shared_ptr<RealWritingIntentFactory> make(
        std::shared_ptr<AssetCatalogAlreadyExistsPrompting> assetCatalogFolderAlreadyExistsWindow,
        std::shared_ptr<AssetAlreadyExistsPrompting> assetFolderAlreadyExistsWindow,
        std::shared_ptr<FileAlreadyExistsActionProvider> catalogExistsActionProvider,
        std::shared_ptr<FileAlreadyExistsActionProvider> catalogContentsExistsActionProvider);

    // A new intent with the validator of its kind and the options unchanged.
    std::shared_ptr<FileWritingIntent> make(const platform::foundation::URL& directory, WritingIntentKind kind,
                                            const std::vector<FileWritingIntent::Options>& options) override;

    // Disposes of every folder the answers so far set aside; returns where the kept ones
    // went. The engine does not call it: it settles them itself once the run has written
    // (PendingRemovals::settle), so that a folder whose replacement failed comes back.
    std::vector<ReplacedItem> performPendingRemovals();
    // The run ended without writing (cancelled or failed): nothing is removed. Also
    // called when a run begins, so that nothing of an abandoned run carries over.
    void discardPendingRemovals();
    const PendingRemovalsPtr& pendingRemovals() const { return pendingRemovals_; }

    // With a boundary, every intent is refused (OutsideWritingBoundaryError) when its
    // folder, or the folder its validator answers with, leads outside it; the refusal
    // comes before the validator looks at or moves anything. None: no limit.
    void setWritingBoundary(WritingBoundaryPtr boundary);

    const std::shared_ptr<FileWritingIntentValidator>& catalogValidator() const { return catalogValidator_; }
    const std::shared_ptr<FileWritingIntentValidator>& assetValidator() const { return assetValidator_; }

private:
    std::shared_ptr<FileWritingIntentValidator> catalogValidator_;
    std::shared_ptr<FileWritingIntentValidator> assetValidator_;
    std::shared_ptr<OverwritingFileWritingIntentValidator> overwritingValidator_;
    std::shared_ptr<AlwaysAllowFileWritingIntentValidator> appendingValidator_;
    PendingRemovalsPtr pendingRemovals_;
    std::mutex mutex_;
    WritingBoundaryPtr writingBoundary_;
};

// For dry runs: every intent, whatever its kind, is accepted as it stands with no
// options; usable from any thread.
class FakeWritingIntentFactory : public FileWritingIntentFactory {
public:
    FakeWritingIntentFactory() : alwaysSucceedsValidator_(std::make_shared<AlwaysAllowFileWritingIntentValidator>()) {}
    std::shared_ptr<FileWritingIntent> make(const platform::foundation::URL& directory, WritingIntentKind kind,
                                            const std::vector<FileWritingIntent::Options>& options) override;

private:
    std::shared_ptr<AlwaysAllowFileWritingIntentValidator> alwaysSucceedsValidator_;
};

}  // namespace gw
