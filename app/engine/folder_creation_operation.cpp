#include "app/engine/folder_creation_operation.hpp"
#include "platform/foundation/json.hpp"

#include "app/engine/image_creation_operation.hpp"
#include "app/engine/interrupted_writing.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <system_error>

namespace gw {

namespace pd = platform::dispatch;
namespace pf = platform::foundation;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kContentsFileName = "Contents.json";

// `path` lies strictly below `folder`, and neither names a parent folder ("..") on the
// way, so nothing planned can land outside the catalog it belongs to.
bool isStrictlyInside(const fs::path& path, const fs::path& folder) {
    for (const auto& part : path) {
        if (part == "..") return false;
    }
    const auto normalPath = path.lexically_normal();
    const auto normalFolder = folder.lexically_normal();
    auto pathIt = normalPath.begin();
    for (const auto& part : normalFolder) {
        if (part.empty()) continue;  // the trailing separator of a folder path
        if (pathIt == normalPath.end() || *pathIt != part) return false;
        ++pathIt;
    }
    for (; pathIt != normalPath.end(); ++pathIt) {
        if (!pathIt->empty() && *pathIt != ".") return true;
    }
    return false;
}

void checkTree(const FolderDefinition& folder) {
    const auto folderPath = folder.outputDirectory.fsPath();
    auto refuse = [&](const fs::path& path) {
        throw FolderCreationError(FolderCreationError::Case::pathOutsideFolder,
                                  fmt::format("The planned path {} lies outside the folder {}.", path.string(),
                                              folderPath.string()));
    };
    for (const auto& image : folder.imageDefinitions) {
        if (!isStrictlyInside(image.outputDirectory.fsPath(), folderPath)) refuse(image.outputDirectory.fsPath());
    }
    for (const auto& subfolder : folder.subfolderDefinitions) {
        if (!isStrictlyInside(subfolder.outputDirectory.fsPath(), folderPath))
            refuse(subfolder.outputDirectory.fsPath());
        checkTree(subfolder);
    }
}

// Throws the reason a folder of the plan may not be written (see WritingBoundary::refuse).
void checkNoneRefused(const FolderDefinition& folder, const WritingBoundary& boundary) {
    boundary.checkNotRefused(folder.outputDirectory.fsPath());
    for (const auto& subfolder : folder.subfolderDefinitions) checkNoneRefused(subfolder, boundary);
}

pf::URL rebased(const pf::URL& url, const fs::path& from, const fs::path& to) {
    const auto relative = url.fsPath().lexically_relative(from);
    const auto path = relative.empty() || relative == "." ? to : to / relative;
    return pf::URL::fileURL(path, url.hasDirectoryPath());
}

// The same plan written under `to` instead of `from`.
FolderDefinition rebasedTree(FolderDefinition folder, const fs::path& from, const fs::path& to) {
    folder.outputDirectory = rebased(folder.outputDirectory, from, to);
    for (auto& image : folder.imageDefinitions) image.outputDirectory = rebased(image.outputDirectory, from, to);
    for (auto& subfolder : folder.subfolderDefinitions) subfolder = rebasedTree(std::move(subfolder), from, to);
    return folder;
}

// The longest name a file system entry may have, in bytes.
constexpr std::size_t kNameMax = 255;
// What writing a file atomically adds to its name: "." before, ".XXXXXX" after.
constexpr std::size_t kTemporaryFileNameOverhead = 8;

bool isUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned value = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, value = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
            (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

void checkName(const pf::URL& url, std::size_t overhead) {
    const auto path = url.fsPath().lexically_normal();
    const auto name = (path.has_filename() ? path : path.parent_path()).filename().string();
    if (!isUTF8(name)) {
        throw FolderCreationError(FolderCreationError::Case::nameNotText,
                                  LocalizedString::text("writing.name-not-text", name));
    }
    if (name.size() + overhead > kNameMax) {
        throw FolderCreationError(FolderCreationError::Case::nameTooLong,
                                  LocalizedString::text("writing.name-too-long", name));
    }
}

}  // namespace

void prepareForWriting(FolderDefinition& folder) {
    checkName(folder.outputDirectory, kInFlightNameOverhead);
    for (auto& image : folder.imageDefinitions) {
        checkName(image.outputDirectory, kTemporaryFileNameOverhead);
        // A side that rounds to nothing cannot be drawn; the thinnest picture is one wide.
        if (!(image.size.width >= 1)) image.size.width = 1;
        if (!(image.size.height >= 1)) image.size.height = 1;
    }
    for (auto& subfolder : folder.subfolderDefinitions) prepareForWriting(subfolder);
}

FolderCreationOperation::FolderCreationOperation(FolderDefinition folderDefinition,
                                                 ProgressUpdateHandler progressUpdateHandler,
                                                 CompletionHandler completionHandler, int maxConcurrentOperationCount)
    : progressUpdateHandler_(std::move(progressUpdateHandler)),
      operationsQueue_(std::make_unique<pd::OperationQueue>()),
      maxConcurrentOperationCount_(maxConcurrentOperationCount),
      folderDefinition_(std::move(folderDefinition)),
      completionHandler_(std::move(completionHandler)) {
    operationsQueue_->setQualityOfService(pd::QualityOfService::userInitiated);
    operationsQueue_->setMaxConcurrentOperationCount(maxConcurrentOperationCount_);
    setName(folderDefinition_.outputDirectory.lastPathComponent());
}

void FolderCreationOperation::start() {
    if (executionState() != ExecutionState::initial) return;
    markExecuting();
    if (isCancelled()) {
        fail(std::make_exception_ptr(ConversionStoppedError()));
        return;
    }
    std::vector<FolderDefinition> subfolders;
    try {
        checkPlannedPaths();
        createFolder();
        writeContentsFile();
        subfolders = prepareSubfolders();
    } catch (...) {
        removeStagedFolders();
        fail(std::current_exception());
        return;
    }
    writtenSubfolders_ = std::move(subfolders);
    startChildOperations();
}

std::vector<FolderDefinition> FolderCreationOperation::prepareSubfolders() {
    if (!stagesSubfolders_) return folderDefinition_.subfolderDefinitions;
    const auto& bounds = boundary();
    std::vector<FolderDefinition> written;
    for (const auto& subfolder : folderDefinition_.subfolderDefinitions) {
        const auto target = subfolder.outputDirectory.fsPath().lexically_normal();
        const auto place = target.has_filename() ? target : target.parent_path();
        bounds.createFolders(place.parent_path());
        const auto staging = inFlightSibling(place, InFlightKind::writing, bounds);
        const auto kind = bounds.kindOf(place);
        if (kind != WritingBoundary::Kind::missing && kind != WritingBoundary::Kind::folder) {
            throw pf::Error::posix(ENOTDIR, "Cannot create folder " + place.string());
        }
        stagedFolders_.push_back({staging, place, {}});
        stagedFolders_.back().leftOut = bounds.stage(place, staging);
        written.push_back(rebasedTree(subfolder, place, staging));
    }
    return written;
}

void FolderCreationOperation::commitStagedFolders() {
    const auto& bounds = boundary();
    for (const auto& staged : stagedFolders_) {
        // Should the run be killed once the two have traded places, the old content at the
        // staging name goes back.
        const bool replacing = bounds.kindOf(staged.target) == WritingBoundary::Kind::folder;
        if (replacing) bounds.mark(staged.target, InFlightKind::replaced);
        bool swapped = false;
        try {
            swapped = bounds.exchangeOrMove(staged.staging, staged.target,
                                            inFlightSibling(staged.target, InFlightKind::replaced, bounds));
        } catch (...) {
            if (replacing) bounds.unmark(staged.target);
            throw;
        }
        try {
            bounds.unmark(staged.target);
        } catch (const std::exception& failure) {
            Logger::log("Unable to take the mark off " + staged.target.string() + ": " + failure.what());
        }
        if (!swapped) continue;
        // What this run set aside in the old content follows it to where the run looks for it.
        for (const auto& relative : staged.leftOut) {
            try {
                bounds.renameIfFree(staged.staging / relative, staged.target / relative);
            } catch (const std::exception& failure) {
                Logger::log("Unable to move " + (staged.staging / relative).string() + ": " + failure.what());
            }
        }
        // The old content now stands at the staging name: what of it the new content
        // holds goes, anything else is kept.
        try {
            bounds.report(bounds.dispose(staged.staging, staged.target, staged.target));
        } catch (const std::exception& failure) {
            Logger::log("Unable to remove " + staged.staging.string() + ": " + failure.what());
        }
    }
    stagedFolders_.clear();
}

void FolderCreationOperation::removeStagedFolders() {
    const auto& bounds = boundary();
    for (const auto& staged : stagedFolders_) {
        try {
            bounds.report(bounds.dispose(staged.staging, staged.target, staged.target));
        } catch (const std::exception& failure) {
            Logger::log("Unable to remove " + staged.staging.string() + ": " + failure.what());
        }
    }
    stagedFolders_.clear();
}

void FolderCreationOperation::checkPlannedPaths() const {
    checkTree(folderDefinition_);
    checkNoneRefused(folderDefinition_, boundary());
}

void FolderCreationOperation::createFolder() {
    const auto path = folderDefinition_.outputDirectory.fsPath();
    const auto& bounds = boundary();
    bounds.checkFolder(path);
    // Whatever already stands there stays; a file in the way makes the next step fail.
    if (bounds.exists(path)) return;
    bounds.createFolders(path);
}

void FolderCreationOperation::writeContentsFile() {
    const auto text = platform::foundation::json::serializeCatalogStyle(platform::foundation::Value(folderDefinition_.contentsDictionary));
    boundary().writeFile(folderDefinition_.outputDirectory.fsPath() / kContentsFileName, text);
}

void FolderCreationOperation::fail(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex_);
        // Kept, so that the parent folder reports it as well.
        errors_.push_back(error);
        errorPictures_.push_back(nullptr);
    }
    if (completionHandler_) completionHandler_(FolderCreationOperationResult::failure(std::move(error)));
    finish();
}

void FolderCreationOperation::startChildOperations() {
    std::weak_ptr<FolderCreationOperation> weakSelf =
        std::static_pointer_cast<FolderCreationOperation>(shared_from_this());
    auto forward = [weakSelf](auto&&...) {
        if (auto self = weakSelf.lock()) self->forwardProgress();
    };

    std::vector<std::shared_ptr<pd::Operation>> imageOperations;
    // A folder's pictures of the same size and settings (an icon set repeats several) are
    // drawn once.
    auto share = std::make_shared<RenderShare>();
    for (const auto& imageDefinition : folderDefinition_.imageDefinitions) {
        auto operation = std::make_shared<ImageCreationOperation>(imageDefinition, forward);
        operation->setName(imageDefinition.outputDirectory.lastPathComponent());
        operation->setRenderShare(share);
        operation->setWritingBoundary(writingBoundary_);
        imageOperations.push_back(std::move(operation));
    }
    std::vector<std::shared_ptr<pd::Operation>> folderOperations;
    // The reported definition keeps the planned names; staged children write elsewhere.
    for (const auto& subfolderDefinition : writtenSubfolders_) {
        auto operation = std::make_shared<FolderCreationOperation>(subfolderDefinition, forward, forward,
                                                                   maxConcurrentOperationCount_);
        operation->setWritingBoundary(writingBoundary_);
        folderOperations.push_back(std::move(operation));
    }
    auto finishing = std::make_shared<pd::BlockOperation>([weakSelf] {
        if (auto self = weakSelf.lock()) self->childOperationsDidFinish();
    });

    std::vector<std::shared_ptr<pd::Operation>> all = folderOperations;
    all.insert(all.end(), imageOperations.begin(), imageOperations.end());
    // A folder's own pictures wait for its whole subtree.
    for (const auto& image : imageOperations) {
        for (const auto& folder : folderOperations) image->addDependency(folder);
    }
    for (const auto& operation : all) finishing->addDependency(operation);
    {
        std::lock_guard lock(mutex_);
        allOperations_ = all;
    }
    // Cancelled while the children were made: cancel() found none of them yet.
    if (isCancelled()) {
        for (const auto& operation : all) operation->cancel();
    }
    // The largest pictures take longest: started first, they do not finish last alone.
    // Results are still gathered in the planned order.
    std::vector<std::shared_ptr<pd::Operation>> startOrder = folderOperations;
    std::vector<std::shared_ptr<pd::Operation>> largestFirst = imageOperations;
    std::stable_sort(largestFirst.begin(), largestFirst.end(), [](const auto& a, const auto& b) {
        const auto area = [](const std::shared_ptr<pd::Operation>& operation) {
            const auto& size = static_cast<const ImageCreationOperation&>(*operation).imageDefinition().size;
            return size.width * size.height;
        };
        return area(a) > area(b);
    });
    startOrder.insert(startOrder.end(), largestFirst.begin(), largestFirst.end());
    operationsQueue_->addOperation(finishing);
    operationsQueue_->addOperations(startOrder, false);
}

void FolderCreationOperation::cancel() {
    AsyncOperation::cancel();
    // Not the finishing operation: it still has to gather the children's results.
    for (const auto& operation : allOperations()) operation->cancel();
}

void FolderCreationOperation::forwardProgress() {
    if (progressUpdateHandler_) progressUpdateHandler_(progress());
}

float FolderCreationOperation::progress() const { return progress(executionState() == ExecutionState::finished); }

float FolderCreationOperation::progressOnceFinished() const { return progress(true); }

float FolderCreationOperation::progress(bool finished) const {
    std::vector<std::shared_ptr<pd::Operation>> operations;
    {
        std::lock_guard lock(mutex_);
        operations = allOperations_;
    }
    float sum = 0.0f;
    std::size_t count = 0;
    for (const auto& operation : operations) {
        if (auto* progressable = dynamic_cast<const Progressable*>(operation.get())) {
            sum += progressable->progress();
            ++count;
        }
    }
    // With no children (yet) only a finished folder is done: one that has started but not
    // made its children would otherwise read as complete and its progress then fall back.
    if (count == 0) return finished ? 1.0f : 0.0f;
    if (sum == 0.0f) return 0.0f;
    return sum / static_cast<float>(count);
}

void FolderCreationOperation::childOperationsDidFinish() {
    std::vector<std::shared_ptr<pd::Operation>> operations;
    {
        std::lock_guard lock(mutex_);
        operations = allOperations_;
    }
    std::vector<std::exception_ptr> collected;
    std::vector<const platform::graphics::Image*> sources;
    for (const auto& operation : operations) {
        if (auto* image = dynamic_cast<ImageCreationOperation*>(operation.get())) {
            if (auto error = image->error()) {
                collected.push_back(error);
                sources.push_back(sourceImage(image->imageDefinition()).get());
            }
        }
    }
    // The picture that failed first fails with the limit the renderer stopped it at, if
    // it stopped any of its sizes: which of them ended first, and how, depends on the
    // machine (a small size may end with the renderer's report before a large one meets
    // the limit, or be stopped with it).
    for (std::size_t i = 0; i < collected.size(); ++i) {
        if (sources[i] == sources.front() && PictureDrawingError::stoppedAtALimit(collected[i])) {
            const auto limit = collected.begin() + std::ptrdiff_t(i);
            std::rotate(collected.begin(), limit, limit + 1);
            // Each error keeps its picture beside it.
            std::rotate(sources.begin(), sources.begin() + std::ptrdiff_t(i), sources.begin() + std::ptrdiff_t(i) + 1);
            break;
        }
    }
    for (const auto& operation : operations) {
        if (auto* folder = dynamic_cast<FolderCreationOperation*>(operation.get())) {
            for (auto& error : folder->errors()) collected.push_back(error);
            for (const auto* picture : folder->errorPictures()) sources.push_back(picture);
        }
    }
    // Staged subfolders take their names only when everything below them was written.
    if (collected.empty()) {
        try {
            commitStagedFolders();
        } catch (...) {
            collected.push_back(std::current_exception());
        }
    }
    removeStagedFolders();
    sources.resize(collected.size(), nullptr);
    std::exception_ptr first;
    const platform::graphics::Image* firstPicture = nullptr;
    {
        std::lock_guard lock(mutex_);
        errors_.insert(errors_.end(), collected.begin(), collected.end());
        errorPictures_.insert(errorPictures_.end(), sources.begin(), sources.end());
        if (!errors_.empty()) first = errors_.front();
        if (!errorPictures_.empty()) firstPicture = errorPictures_.front();
    }
    // The result is delivered before the operation counts as finished, so whatever
    // waits for the run to end has every folder's result by then.
    if (completionHandler_) {
        completionHandler_(first ? FolderCreationOperationResult::failure(first, firstPicture)
                                 : FolderCreationOperationResult::success(folderDefinition_));
    }
    finish();
}

std::vector<std::shared_ptr<pd::Operation>> FolderCreationOperation::allOperations() const {
    std::lock_guard lock(mutex_);
    return allOperations_;
}

std::vector<std::exception_ptr> FolderCreationOperation::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

std::vector<const platform::graphics::Image*> FolderCreationOperation::errorPictures() const {
    std::lock_guard lock(mutex_);
    return errorPictures_;
}

}  // namespace gw
