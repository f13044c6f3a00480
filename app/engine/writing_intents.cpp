#include "app/engine/writing_intents.hpp"

#include "platform/foundation/error.hpp"

namespace gw {

namespace pf = platform::foundation;

namespace {

// Keeps a validator inside the boundary: the folder it is asked about is judged before
// it looks at or moves anything, and the folder it answers with (a new name, an
// enclosing catalog) after.
class BoundedValidator : public FileWritingIntentValidator {
public:
    BoundedValidator(std::shared_ptr<FileWritingIntentValidator> validator, WritingBoundaryPtr boundary)
        : validator_(std::move(validator)), boundary_(std::move(boundary)) {}
    FileWritingIntentValidatorResult validate(const FileWritingIntent& intent) override {
        boundary_->checkFolder(intent.intendedDirectory().fsPath());
        auto result = validator_->validate(intent);
        boundary_->checkFolder(result.url().fsPath());
        return result;
    }

private:
    std::shared_ptr<FileWritingIntentValidator> validator_;
    WritingBoundaryPtr boundary_;
};

}  // namespace

RealWritingIntentFactory::RealWritingIntentFactory(
    std::shared_ptr<FileWritingIntentValidator> catalogValidator,
    std::shared_ptr<FileWritingIntentValidator> assetValidator,
    std::shared_ptr<OverwritingFileWritingIntentValidator> overwritingValidator,
    std::shared_ptr<AlwaysAllowFileWritingIntentValidator> appendingValidator, PendingRemovalsPtr pendingRemovals)
    : catalogValidator_(std::move(catalogValidator)),
      assetValidator_(std::move(assetValidator)),
      overwritingValidator_(std::move(overwritingValidator)),
      appendingValidator_(std::move(appendingValidator)),
      pendingRemovals_(std::move(pendingRemovals)) {}

std::shared_ptr<RealWritingIntentFactory> RealWritingIntentFactory::make(
    std::shared_ptr<AssetCatalogAlreadyExistsPrompting> catalogWindow,
    std::shared_ptr<AssetAlreadyExistsPrompting> assetWindow,
    std::shared_ptr<FileAlreadyExistsActionProvider> catalogProvider,
    std::shared_ptr<FileAlreadyExistsActionProvider> contentsProvider) {
    auto pending = std::make_shared<PendingRemovals>();
    return std::make_shared<RealWritingIntentFactory>(
        std::make_shared<AssetCatalogPathValidator>(std::move(catalogWindow), std::move(catalogProvider), pending),
        std::make_shared<AssetPathValidator>(std::move(assetWindow), std::move(contentsProvider), pending),
        std::make_shared<OverwritingFileWritingIntentValidator>(pending),
        std::make_shared<AlwaysAllowFileWritingIntentValidator>(), pending);
}

std::shared_ptr<FileWritingIntent> RealWritingIntentFactory::make(const pf::URL& directory, WritingIntentKind kind,
                                                                  const std::vector<FileWritingIntent::Options>& options) {
    std::shared_ptr<FileWritingIntentValidator> validator;
    switch (kind) {
    case WritingIntentKind::catalog:
        validator = catalogValidator_;
        break;
    case WritingIntentKind::asset:
        validator = assetValidator_;
        break;
    case WritingIntentKind::overwrite:
        validator = overwritingValidator_;
        break;
    case WritingIntentKind::append:
        validator = appendingValidator_;
        break;
    }
    if (!validator) pf::fatalError("Writing intent of an unknown kind");
    WritingBoundaryPtr boundary;
    {
        std::lock_guard lock(mutex_);
        boundary = writingBoundary_;
    }
    if (boundary) validator = std::make_shared<BoundedValidator>(std::move(validator), std::move(boundary));
    return std::make_shared<FileWritingIntent>(directory, kind, options, std::move(validator));
}

std::vector<ReplacedItem> RealWritingIntentFactory::performPendingRemovals() { return pendingRemovals_->perform(); }

void RealWritingIntentFactory::setWritingBoundary(WritingBoundaryPtr boundary) {
    pendingRemovals_->setWritingBoundary(boundary);
    std::lock_guard lock(mutex_);
    writingBoundary_ = std::move(boundary);
}

void RealWritingIntentFactory::discardPendingRemovals() { pendingRemovals_->discard(); }

std::shared_ptr<FileWritingIntent> FakeWritingIntentFactory::make(const pf::URL& directory, WritingIntentKind kind,
                                                                  const std::vector<FileWritingIntent::Options>&) {
    return std::make_shared<FileWritingIntent>(directory, kind, std::vector<FileWritingIntent::Options>{},
                                               alwaysSucceedsValidator_);
}

}  // namespace gw
