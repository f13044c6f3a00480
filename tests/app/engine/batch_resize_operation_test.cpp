#include "app/engine/batch_resize_operation.hpp"

#include "app/foundation/image_wrapper.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/graphics/bitmap.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using gw::BatchResizeOperation;
using gw::CollectionType;
using gw::ImageInput;
using gw::ImageInputCollection;
using gw::ScaleType;
namespace pg = platform::graphics;
namespace pd = platform::dispatch;

// A picture of `w` x `h` pixels in one colour (0xAARRGGBB, premultiplied when translucent).
std::shared_ptr<ImageInput> picture(int w, int h, std::uint32_t argb) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) std::memcpy(&pixels[i], &argb, 4);
    auto image = pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(w, h, w * 4, std::move(pixels), (argb >> 24) != 0xFF)));
    auto input = ImageInput::make();
    input->setImageWrapper(gw::ImageWrapper::make(image));
    input->setBackgroundColour(std::nullopt);
    return input;
}

std::uint32_t pixel(const pg::ImagePtr& image, int x, int y) {
    auto bitmap = image->renderBitmap(static_cast<int>(image->size().width), static_cast<int>(image->size().height));
    return bitmap->pixelAt(x, y);
}

// What the completion saw, and on which thread.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    std::vector<pg::ImagePtr> images;
    bool cancelled = false;
    std::thread::id thread;

    BatchResizeOperation::Completion completion() {
        return [this](const std::vector<pg::ImagePtr>& result, bool isCancelled) {
            std::lock_guard lock(mutex);
            ++calls;
            images = result;
            cancelled = isCancelled;
            thread = std::this_thread::get_id();
            changed.notify_all();
        };
    }
};

std::shared_ptr<BatchResizeOperation> operation(std::vector<std::shared_ptr<ImageInput>> inputs, CollectionType type,
                                                std::vector<pg::Size> sizes, Outcome& outcome,
                                                ScaleType scale = ScaleType::stretch) {
    return std::make_shared<BatchResizeOperation>(ImageInputCollection{{inputs.begin(), inputs.end()}, type},
                                                  std::move(sizes), scale, outcome.completion());
}

TEST(BatchResizeOperation, UnusableCollectionsAndCancelledOperationsFinishWithoutCompletion) {
    auto red = picture(8, 8, 0xFFFF0000u);
    struct Row {
        const char* label;
        std::vector<std::shared_ptr<ImageInput>> inputs;
        CollectionType type;
        bool cancel;
    };
    const Row rows[] = {
        {"empty", {}, CollectionType::single, false},
        {"batch of two", {red, picture(4, 4, 0xFF00FF00u)}, CollectionType::batch, false},
        {"cancelled", {red}, CollectionType::single, true},
    };
    for (const auto& row : rows) {
        Outcome outcome;
        auto op = operation(row.inputs, row.type, {{4, 4}}, outcome);
        if (row.cancel) op->cancel();
        op->main();  // inline, on this (non-queue) path
        auto again = operation(row.inputs, row.type, {{4, 4}}, outcome);
        if (row.cancel) again->cancel();
        pd::OperationQueue queue;
        queue.addOperation(again);
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_TRUE(again->isFinished()) << row.label;
        EXPECT_FALSE(again->isExecuting()) << row.label;
        EXPECT_EQ(outcome.calls, 0) << row.label;
    }
}

TEST(BatchResizeOperation, RendersEachSizeWithZoomBackgroundAndBestVariant) {
    // A 2:1 picture that is transparent everywhere: what shows is the background.
    auto clear = picture(20, 10, 0x00000000u);
    clear->setBackgroundColour(pg::Color::rgb(0, 0, 1, 0));  // fully transparent: no fill
    Outcome outcome;
    auto op = operation({clear}, CollectionType::single, {{10, 10}, {0, 5}, {4, 8}, {6, 3}, {5, 5}}, outcome);
    pd::OperationQueue queue;
    queue.addOperation(op);
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_EQ(outcome.images.size(), 4u);  // the zero-width size is left out
    EXPECT_FALSE(outcome.cancelled);
    EXPECT_EQ(outcome.images[1]->size(), (pg::Size{4, 8}));
    EXPECT_EQ(pixel(outcome.images[0], 5, 5) >> 24, 0u);

    clear->setBackgroundColour(pg::Color::rgb(0, 0, 1, 1));
    Outcome filled;
    auto blue = operation({clear}, CollectionType::single, {{10, 10}}, filled);
    blue->main();
    ASSERT_EQ(filled.images.size(), 1u);
    EXPECT_EQ(pixel(filled.images[0], 5, 5), 0xFF0000FFu);

    // Aspect fit of a 2:1 red picture into a square leaves transparent bands; zoom 2
    // then fills the square from the middle.
    auto red = picture(20, 10, 0xFFFF0000u);
    Outcome fit, zoomedFit;
    operation({red}, CollectionType::single, {{10, 10}}, fit, ScaleType::aspectFit)->main();
    EXPECT_EQ(pixel(fit.images[0], 5, 0) >> 24, 0u);
    EXPECT_EQ(pixel(fit.images[0], 5, 5), 0xFFFF0000u);
    red->setZoom(2);
    operation({red}, CollectionType::single, {{10, 10}}, zoomedFit, ScaleType::aspectFit)->main();
    EXPECT_EQ(pixel(zoomedFit.images[0], 5, 1), 0xFFFF0000u);

    // Variants: each size from its own best picture.
    auto wide = picture(40, 20, 0xFF00FF00u), tall = picture(20, 40, 0xFF0000FFu);
    Outcome variants;
    operation({wide, tall}, CollectionType::variants, {{40, 20}, {20, 40}}, variants)->main();
    ASSERT_EQ(variants.images.size(), 2u);
    EXPECT_EQ(pixel(variants.images[0], 2, 2), 0xFF00FF00u);
    EXPECT_EQ(pixel(variants.images[1], 2, 2), 0xFF0000FFu);
}

TEST(BatchResizeOperation, StartedOnTheMainThreadWorksInTheBackground) {
    Outcome outcome;
    auto op = operation({picture(8, 8, 0xFFFF0000u)}, CollectionType::single, {{4, 4}}, outcome);
    std::atomic<int> executingSeen{0};
    op->addObserver([&](pd::Operation& o, pd::Operation::Change change) {
        if (change == pd::Operation::Change::executing && o.isExecuting()) ++executingSeen;
    });
    ASSERT_TRUE(pd::MainLoop::isMainThread());
    op->start();
    op->start();  // a second start changes nothing
    op->waitUntilFinished();
    std::lock_guard lock(outcome.mutex);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    EXPECT_TRUE(op->isFinished());
    EXPECT_FALSE(op->isExecuting());
    EXPECT_EQ(executingSeen.load(), 1);
}

}  // namespace
