#include "app/foundation/pasteboard_loading.hpp"

#include "app/foundation/file_operations.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/group.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/graphics/image.hpp"

#include <mutex>

namespace gw {

namespace appkit = platform::appkit;
using platform::foundation::URL;
using platform::graphics::Image;
using platform::graphics::ImagePtr;

namespace {

std::exception_ptr noLoadableImagesFound() { return std::make_exception_ptr(PasteboardError()); }

// What the readers of one file-promise drop collect; only the group's completion
// reads it, after the last reader.
struct PromiseCollection {
    std::mutex mutex;
    std::vector<ImagePtr> images;
    std::vector<std::exception_ptr> errors;
};

void loadFilePromises(const appkit::Pasteboard& pasteboard, PasteboardLoadCompletion completion) {
    auto receivers = pasteboard.readFilePromiseReceivers();
    if (!receivers) {
        completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
        return;
    }
    auto collected = std::make_shared<PromiseCollection>();
    platform::dispatch::DispatchGroup group;
    auto queue = std::make_shared<platform::dispatch::OperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    queue->setName("Received files");

    URL destination;
    try {
        destination = temporaryFolderURL();
    } catch (...) {
        completion(PasteboardLoadResult::failure(std::current_exception()));
        return;
    }

    for (const auto& receiver : *receivers) {
        if (!receiver) continue;
        for (std::size_t i = 0; i < receiver->fileCount(); ++i) group.enter();
        receiver->receivePromisedFiles(destination, {}, *queue,
                                       [collected, group](const URL& file, std::exception_ptr error) {
                                           {
                                               std::lock_guard lock(collected->mutex);
                                               if (error) {
                                                   collected->errors.push_back(error);
                                               } else if (auto image = Image::fromFile(file.fsPath())) {
                                                   collected->images.push_back(std::move(image));
                                               } else {
                                                   collected->errors.push_back(noLoadableImagesFound());
                                               }
                                           }
                                           group.leave();
                                       });
    }

    group.notify(platform::dispatch::DispatchQueue::main(), [collected, queue, completion] {
        std::lock_guard lock(collected->mutex);
        if (!collected->images.empty()) {
            completion(PasteboardLoadResult::images(collected->images));
        } else if (!collected->errors.empty()) {
            completion(PasteboardLoadResult::failure(collected->errors.front()));
        } else {
            completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
        }
    });
}

}  // namespace

bool offersAcceptedType(const appkit::Pasteboard& pasteboard) {
    return pasteboard.availableTypeFromArray(acceptedPasteboardTypes()).has_value();
}

void loadImages(const appkit::Pasteboard& pasteboard, PasteboardLoadCompletion completion) {
    auto type = pasteboard.availableTypeFromArray(acceptedPasteboardTypes());
    if (!type) {
        completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
        return;
    }
    if (*type == appkit::pasteboardTypeFileURL) {
        auto urls = pasteboard.readFileURLs();
        if (!urls) {
            completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
            return;
        }
        completion(PasteboardLoadResult::fileURLs(std::move(*urls)));
        return;
    }
    if (*type == appkit::pasteboardTypeTIFF || *type == appkit::pasteboardTypePNG) {
        auto data = pasteboard.dataForType(*type);
        ImagePtr image = data ? Image::fromData(*data) : nullptr;
        if (!image) {
            completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
            return;
        }
        // Saved later as these bytes (when compact) rather than encoded anew.
        image->keepEncodedBytes(std::make_shared<const std::vector<std::uint8_t>>(std::move(*data)));
        completion(PasteboardLoadResult::images({std::move(image)}));
        return;
    }
    if (*type == appkit::filesPromisePboardType) {
        loadFilePromises(pasteboard, std::move(completion));
        return;
    }
    completion(PasteboardLoadResult::failure(noLoadableImagesFound()));
}

}  // namespace gw
