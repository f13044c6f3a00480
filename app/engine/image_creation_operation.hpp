#pragma once
// Renders one output picture and writes it to its file: PNG through the conversion
// pipeline, written atomically; PDF through the one-page re-save. A failure is
// recorded, never thrown, and the operation always ends with progress 1. Cancelled, it
// writes nothing (ConversionStoppedError) and starts no further step (reading the
// picture's pixels again, drawing, encoding); the step under way ends with it, an encoding
// half way.
#include "app/engine/async_operation.hpp"
#include "app/engine/memory_budget.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/image_definition.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw {

// Pictures of one conversion that come out the same (same source, size and settings)
// are drawn and encoded once: the first operation to need one makes it, the others wait
// for it and write the same bytes. The bytes go once the last operation that shares them
// has written its file.
class RenderShare {
public:
    struct Entry {
        std::mutex mutex;
        bool made = false;
        bool drawn = false;
        std::shared_ptr<const std::vector<std::uint8_t>> bytes;
        std::exception_ptr error;
    };
    // One more operation will write the picture of `key`.
    void reserve(const std::string& key);
    std::shared_ptr<Entry> entry(const std::string& key);
    // An operation that reserved `key` is done with it.
    void release(const std::string& key);

private:
    struct Shared {
        std::shared_ptr<Entry> entry;
        int users = 0;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Shared> entries_;
};

// A picture that could not be drawn, with what stopped its drawing: the sizes of one
// picture can end with different problems, and the renderer's limits speak for it.
class PictureDrawingError : public ImageConversionError {
public:
    PictureDrawingError(std::string description, platform::graphics::PictureProblem problem)
        : ImageConversionError(Case::unableToGetPNGRepresentationFromFinalImage, std::move(description)),
          problem_(problem) {}
    platform::graphics::PictureProblem problem() const { return problem_; }
    // Whether `error` is a drawing stopped at one of the renderer's limits.
    static bool stoppedAtALimit(const std::exception_ptr& error);

private:
    platform::graphics::PictureProblem problem_;
};

class ImageCreationOperation : public AsyncOperation, public Progressable {
public:
    using ProgressUpdateHandler = std::function<void(float)>;

    ImageCreationOperation(ImageDefinition imageDefinition, ProgressUpdateHandler progressUpdateHandler);

    // Does the whole work on the calling thread and finishes before it returns.
    void start() override;
    // Shares what this operation draws with the others given the same share. Before start.
    void setRenderShare(std::shared_ptr<RenderShare> share);
    // The file is refused unless it is written inside the boundary. Before start.
    void setWritingBoundary(WritingBoundaryPtr boundary) { writingBoundary_ = std::move(boundary); }

    // 0 until the work is over, then 1 whether it succeeded or not.
    float progress() const override { return progress_.load(std::memory_order_acquire); }
    // The error that stopped the picture; null on success. Read once finished.
    std::exception_ptr error() const;
    const ImageDefinition& imageDefinition() const { return imageDefinition_; }

private:
    void render();
    // Waits until the memory budget admits drawing the picture, then reads its pixels
    // when they are not in memory. Throws ConversionStoppedError when stopped meanwhile.
    MemoryBudget::Admission admitDrawing(const platform::graphics::ImagePtr& image) const;
    // Draws and encodes the picture, once admitted (none when it could not be drawn or
    // encoded).
    std::shared_ptr<const std::vector<std::uint8_t>> draw(const platform::graphics::ImagePtr& image,
                                                          bool& drawn) const;
    // The PNG bytes of the picture (none when it could not be drawn or encoded).
    std::optional<std::vector<std::uint8_t>> pngBytes(const platform::graphics::Image& image, bool& drawn) const;
    // Everything the picture's pixels depend on; the source by identity.
    std::string shareKey(const platform::graphics::Image& image) const;
    // Throws ConversionStoppedError once the run is stopped: asked before each step.
    void throwIfStopped() const;

    std::atomic<float> progress_{0.0f};
    mutable std::mutex errorMutex_;
    std::exception_ptr error_;
    ProgressUpdateHandler progressUpdateHandler_;
    ImageDefinition imageDefinition_;
    std::shared_ptr<RenderShare> renderShare_;
    std::string renderShareKey_;
    WritingBoundaryPtr writingBoundary_;
    // The source's pixels are kept for this picture while it waits for its turn.
    MemoryBudget::Expectation expectation_;
};

// The localised description of an error an operation recorded, fit to be shown: its
// control characters escaped.
std::string errorDescription(const std::exception_ptr& error);

// A picture's failure as its folder reports it: the picture named, with the reason.
class PictureFailedError : public std::runtime_error {
public:
    PictureFailedError(std::string picture, std::exception_ptr cause);
    const std::string& picture() const { return picture_; }
    const std::exception_ptr& cause() const { return cause_; }

private:
    std::string picture_;
    std::exception_ptr cause_;
};

}  // namespace gw
