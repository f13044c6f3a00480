#pragma once
// Writes one folder of the output catalog and everything below it: creates the folder,
// writes its Contents.json, then runs on a queue of its own one operation per
// subfolder and, once they are all done, one per picture, and finally reports the
// result of the whole subtree. Every start ends with exactly one result and the
// operation finished, whatever fails, so a run never hangs.
#include "app/definitions/folder_definition.hpp"
#include "app/engine/async_operation.hpp"
#include "app/engine/writing_boundary.hpp"
#include "platform/dispatch/operation_queue.hpp"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace gw {

// A planned path that is not strictly inside the folder that plans it.
class FolderCreationError : public std::runtime_error {
public:
    enum class Case : int { pathOutsideFolder = 0, nameTooLong = 1, nameNotText = 2 };
    FolderCreationError(Case errorCase, const std::string& description)
        : std::runtime_error(description), case_(errorCase) {}
    Case errorCase() const noexcept { return case_; }

private:
    Case case_;
};

// Makes a planned catalog fit to be written, before anything is: every picture side is
// at least one pixel (or point), and every folder and file name is valid UTF-8 and
// short enough for the file system together with the hidden names used while writing.
// Throws FolderCreationError (nameTooLong, nameNotText) naming the first bad name.
void prepareForWriting(FolderDefinition& folder);

class FolderCreationOperation : public AsyncOperation, public Progressable {
public:
    // Success with the definition written, or failure with the first error of the
    // folder's subtree.
    class FolderCreationOperationResult {
    public:
        enum class Case : int { success = 0, failure = 1 };
        static FolderCreationOperationResult success(FolderDefinition definition) {
            return FolderCreationOperationResult(Case::success, std::move(definition), nullptr);
        }
        // `picture`: the source of the picture whose drawing or writing failed with it, if one did.
        static FolderCreationOperationResult failure(std::exception_ptr error,
                                                     const platform::graphics::Image* picture = nullptr) {
            FolderCreationOperationResult result(Case::failure, {}, std::move(error));
            result.picture_ = picture;
            return result;
        }
        Case resultCase() const { return case_; }
        bool isSuccess() const { return case_ == Case::success; }
        // The written definition (success only).
        const FolderDefinition& folderDefinition() const { return folderDefinition_; }
        // The error (failure only).
        const std::exception_ptr& error() const { return error_; }
        const platform::graphics::Image* failedPicture() const { return picture_; }

    private:
        FolderCreationOperationResult(Case c, FolderDefinition definition, std::exception_ptr error)
            : case_(c), folderDefinition_(std::move(definition)), error_(std::move(error)) {}
        Case case_;
        FolderDefinition folderDefinition_;
        std::exception_ptr error_;
        const platform::graphics::Image* picture_ = nullptr;
    };

    using ProgressUpdateHandler = std::function<void(float)>;
    using CompletionHandler = std::function<void(const FolderCreationOperationResult&)>;

    // `maxConcurrentOperationCount` bounds how many children of each folder of the tree
    // run at once; the default lets the queue choose.
    FolderCreationOperation(FolderDefinition folderDefinition, ProgressUpdateHandler progressUpdateHandler,
                            CompletionHandler completionHandler,
                            int maxConcurrentOperationCount =
                                platform::dispatch::OperationQueue::defaultMaxConcurrentOperationCount);

    // With staging on, each subfolder is written under a hidden name beside its place
    // (starting from a copy of what stands there) and takes its name only once its whole
    // subtree is written; a subtree that fails leaves its place as it was. What the old
    // content held that the new one does not is kept (see WritingBoundary::dispose) and
    // reported through the boundary. Off by default.
    void setStagesSubfolders(bool stages) { stagesSubfolders_ = stages; }
    // Every folder and file of the subtree is written through the boundary, and refused
    // unless it lies inside. Before start.
    void setWritingBoundary(WritingBoundaryPtr boundary) { writingBoundary_ = std::move(boundary); }
    // Every step writes through it (everything when none was set).
    const WritingBoundary& boundary() const {
        return writingBoundary_ ? *writingBoundary_ : *WritingBoundary::everything();
    }

    // Creates the folder, writes Contents.json and queues the children; returns once
    // they are queued. When the paths, the folder or the file fail, the result is
    // reported and the operation finished before this returns. Cancelled before it
    // starts, it writes nothing and reports ConversionStoppedError.
    void start() override;
    // Cancels the children as well: those not started write nothing, a picture being
    // encoded gives up, and the subtree reports failure, so staged subfolders never
    // take their names (a set is put in place whole or not at all).
    void cancel() override;

    // The mean progress of the child operations; 0 before start and 1 once started
    // when there are none.
    float progress() const override;
    // What progress() reads once this folder has finished: its completion handler is
    // called just before it has.
    float progressOnceFinished() const;

    // Throws when something other than a folder stands in the way or creation fails.
    void createFolder();
    // Writes Contents.json atomically: the old file stays whole when writing fails.
    void writeContentsFile();
    void startChildOperations();
    void forwardProgress();
    void childOperationsDidFinish();

    const FolderDefinition& folderDefinition() const { return folderDefinition_; }
    // The children once queued: subfolder operations, then picture operations.
    std::vector<std::shared_ptr<platform::dispatch::Operation>> allOperations() const;
    // What failed in this folder's subtree, in the order collected.
    std::vector<std::exception_ptr> errors() const;
    // For each of errors(), the source of the picture that failed with it (or null).
    std::vector<const platform::graphics::Image*> errorPictures() const;

private:
    struct StagedFolder {
        std::filesystem::path staging;
        std::filesystem::path target;
        // What this run set aside inside the target, left out of the staged copy.
        std::vector<std::filesystem::path> leftOut;
    };
    void checkPlannedPaths() const;
    float progress(bool finished) const;
    // The subfolder definitions as written: moved under their staging names when staging.
    std::vector<FolderDefinition> prepareSubfolders();
    void commitStagedFolders();
    void removeStagedFolders();
    void fail(std::exception_ptr error);

    ProgressUpdateHandler progressUpdateHandler_;
    bool stagesSubfolders_ = false;
    WritingBoundaryPtr writingBoundary_;
    std::vector<StagedFolder> stagedFolders_;
    std::vector<FolderDefinition> writtenSubfolders_;
    std::unique_ptr<platform::dispatch::OperationQueue> operationsQueue_;
    int maxConcurrentOperationCount_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<platform::dispatch::Operation>> allOperations_;
    std::vector<std::exception_ptr> errors_;
    std::vector<const platform::graphics::Image*> errorPictures_;
    FolderDefinition folderDefinition_;
    CompletionHandler completionHandler_;
};

}  // namespace gw
