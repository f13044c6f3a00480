#pragma once
// Renders one output picture and writes it to its file: PNG through the conversion
// pipeline, written atomically; PDF through the one-page re-save. A failure is
// recorded, never thrown, and the operation always ends with progress 1.
#include "app/engine/async_operation.hpp"
#include "app/foundation/image_definition.hpp"

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

namespace gw {

class ImageCreationOperation : public AsyncOperation, public Progressable {
public:
    using ProgressUpdateHandler = std::function<void(float)>;

    ImageCreationOperation(ImageDefinition imageDefinition, ProgressUpdateHandler progressUpdateHandler);

    // Does the whole work on the calling thread and finishes before it returns.
    void start() override;

    // 0 until the work is over, then 1 whether it succeeded or not.
    float progress() const override { return progress_.load(std::memory_order_acquire); }
    // The error that stopped the picture; null on success. Read once finished.
    std::exception_ptr error() const;
    const ImageDefinition& imageDefinition() const { return imageDefinition_; }

private:
    void render();

    std::atomic<float> progress_{0.0f};
    mutable std::mutex errorMutex_;
    std::exception_ptr error_;
    ProgressUpdateHandler progressUpdateHandler_;
    ImageDefinition imageDefinition_;
};

// The localised description of an error an operation recorded.
std::string errorDescription(const std::exception_ptr& error);

}  // namespace gw
