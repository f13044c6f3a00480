#include "app/engine/folder_creation_operation.hpp"
#include "platform/foundation/json.hpp"

#include "app/engine/image_creation_operation.hpp"
#include "platform/foundation/files.hpp"

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

}  // namespace

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
    try {
        checkPlannedPaths();
        createFolder();
        writeContentsFile();
    } catch (...) {
        fail(std::current_exception());
        return;
    }
    startChildOperations();
}

void FolderCreationOperation::checkPlannedPaths() const { checkTree(folderDefinition_); }

void FolderCreationOperation::createFolder() {
    const auto path = folderDefinition_.outputDirectory.fsPath();
    std::error_code error;
    // Whatever already stands there stays; a file in the way makes the next step fail.
    if (fs::exists(fs::symlink_status(path, error))) return;
    pf::files::createDirectories(path);
}

void FolderCreationOperation::writeContentsFile() {
    const auto text = platform::foundation::json::serializeCatalogStyle(platform::foundation::Value(folderDefinition_.contentsDictionary));
    pf::files::writeAtomically(folderDefinition_.outputDirectory.fsPath() / kContentsFileName, text);
}

void FolderCreationOperation::fail(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex_);
        // Kept, so that the parent folder reports it as well.
        errors_.push_back(error);
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
    for (const auto& imageDefinition : folderDefinition_.imageDefinitions) {
        auto operation = std::make_shared<ImageCreationOperation>(imageDefinition, forward);
        operation->setName(imageDefinition.outputDirectory.lastPathComponent());
        imageOperations.push_back(std::move(operation));
    }
    std::vector<std::shared_ptr<pd::Operation>> folderOperations;
    for (const auto& subfolderDefinition : folderDefinition_.subfolderDefinitions) {
        folderOperations.push_back(std::make_shared<FolderCreationOperation>(
            subfolderDefinition, forward, forward, maxConcurrentOperationCount_));
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
    operationsQueue_->addOperation(finishing);
    operationsQueue_->addOperations(all, false);
}

void FolderCreationOperation::forwardProgress() {
    if (progressUpdateHandler_) progressUpdateHandler_(progress());
}

float FolderCreationOperation::progress() const {
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
    if (count == 0) return executionState() == ExecutionState::finished ? 1.0f : 0.0f;
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
    for (const auto& operation : operations) {
        if (auto* image = dynamic_cast<ImageCreationOperation*>(operation.get())) {
            if (auto error = image->error()) collected.push_back(error);
        }
    }
    for (const auto& operation : operations) {
        if (auto* folder = dynamic_cast<FolderCreationOperation*>(operation.get())) {
            for (auto& error : folder->errors()) collected.push_back(error);
        }
    }
    std::exception_ptr first;
    {
        std::lock_guard lock(mutex_);
        errors_.insert(errors_.end(), collected.begin(), collected.end());
        if (!errors_.empty()) first = errors_.front();
    }
    // The result is delivered before the operation counts as finished, so whatever
    // waits for the run to end has every folder's result by then.
    if (completionHandler_) {
        completionHandler_(first ? FolderCreationOperationResult::failure(first)
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

}  // namespace gw
