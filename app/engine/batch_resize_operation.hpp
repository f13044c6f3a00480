#pragma once
// Renders one picture of the collection per target size, for previews: resized by the
// scale type, zoomed by the picture's zoom and laid on its background colour. Nothing
// is written; the pictures go to the completion with the operation's cancelled flag.
//
// Cancellation counts only before the work begins; a cancelled operation finishes
// without calling the completion. A size that cannot be rendered is left out, so the
// list can be shorter than the sizes. The execution state is atomic: it is written by
// the thread doing the work and read by the queue on another.
#include "app/foundation/image_input_collection.hpp"
#include "app/foundation/scale_type.hpp"
#include "platform/dispatch/operation.hpp"
#include "platform/graphics/image.hpp"

#include <functional>
#include <vector>

namespace gw {

class BatchResizeOperation : public platform::dispatch::AsynchronousOperation {
public:
    using Completion = std::function<void(const std::vector<platform::graphics::ImagePtr>& images, bool isCancelled)>;

    BatchResizeOperation(ImageInputCollection imageInputCollection, std::vector<platform::graphics::Size> sizes,
                         ScaleType scaleType, Completion completion);
    BatchResizeOperation() = delete;

    // Cancelled: finished at once. Otherwise executing; the work runs here, or, when
    // started on the main thread, on the background global queue.
    void start() override;
    // The work, inline on the calling thread.
    void main() override { resizeImages(); }
    void resizeImages();

    const ImageInputCollection& imageInputCollection() const { return imageInputCollection_; }
    const std::vector<platform::graphics::Size>& sizes() const { return sizes_; }
    ScaleType scaleType() const { return scaleType_; }

private:
    ImageInputCollection imageInputCollection_;
    std::vector<platform::graphics::Size> sizes_;
    ScaleType scaleType_;
    Completion completion_;
};

}  // namespace gw
