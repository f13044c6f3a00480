#include "app/engine/batch_resize_operation.hpp"

#include "app/foundation/image_operations.hpp"
#include "platform/dispatch/dispatch_queue.hpp"

namespace gw {

namespace pg = platform::graphics;
using platform::dispatch::DispatchQueue;
using platform::dispatch::MainLoop;
using platform::dispatch::QualityOfService;

BatchResizeOperation::BatchResizeOperation(ImageInputCollection imageInputCollection, std::vector<pg::Size> sizes,
                                           ScaleType scaleType, Completion completion)
    : imageInputCollection_(std::move(imageInputCollection)),
      sizes_(std::move(sizes)),
      scaleType_(scaleType),
      completion_(std::move(completion)) {}

void BatchResizeOperation::start() {
    if (executionState() != ExecutionState::initial) return;  // started once only
    if (isCancelled()) {
        finish();
        return;
    }
    markExecuting();
    if (!MainLoop::isMainThread()) {
        resizeImages();
        return;
    }
    // The submitted work keeps the operation alive until it has run.
    auto self = std::static_pointer_cast<BatchResizeOperation>(shared_from_this());
    DispatchQueue::global(QualityOfService::background).async([self] { self->resizeImages(); });
}

void BatchResizeOperation::resizeImages() {
    if (isCancelled()) {
        finish();
        return;
    }
    ImageInputPtr defaultInput;
    try {
        defaultInput = imageInputCollection_.imageInput();
    } catch (const ImageInputCollection::ImageInputCollectionError&) {
        finish();
        return;
    }
    std::vector<pg::ImagePtr> images;
    images.reserve(sizes_.size());
    for (const auto& size : sizes_) {
        if (sizeHasZeroSide(size)) continue;
        try {
            auto input = imageInputCollection_.collectionType == CollectionType::variants
                             ? imageInputCollection_.imageInput(size)
                             : defaultInput;
            auto source = input ? input->image() : nullptr;
            if (!source) continue;
            auto picture = resized(*source, size, static_cast<std::int64_t>(scaleType_));
            if (!picture) continue;
            picture = zoomed(*picture, input->zoom());
            if (auto colour = input->backgroundColour(); colour && colour->alpha() != 0) {
                picture = filledBackground(*picture, colour);
            }
            if (picture) images.push_back(std::move(picture));
        } catch (const std::exception&) {
            // A size that cannot be rendered is left out; the caller checks the count.
        }
    }
    if (completion_) completion_(images, isCancelled());
    finish();
}

}  // namespace gw
