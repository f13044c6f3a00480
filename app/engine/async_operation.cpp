#include "app/engine/async_operation.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"

#include <fmt/format.h>

namespace gw {

ConversionStoppedError::ConversionStoppedError()
    : std::runtime_error(LocalizedString::text("error.description.conversionStopped")) {}

void AsyncOperation::addDidStartBlock(Block block) {
    std::lock_guard lock(blocksMutex_);
    didStartBlocks_.push_back(std::move(block));
}

void AsyncOperation::addDidFinishBlock(Block block) {
    std::lock_guard lock(blocksMutex_);
    didFinishBlocks_.push_back(std::move(block));
}

std::vector<AsyncOperation::Block> AsyncOperation::blocksSnapshot(const std::vector<Block>& blocks) const {
    std::lock_guard lock(blocksMutex_);
    return blocks;
}

void AsyncOperation::markExecuting() {
    AsynchronousOperation::markExecuting();
    // A block may add further blocks; it runs on a copy so that is safe.
    for (auto& block : blocksSnapshot(didStartBlocks_)) block(*this);
    Logger::log("Operation Started " + describedName(name()));
}

void AsyncOperation::finish() {
    // Keep the operation alive while its blocks run: finishing may release the queue's
    // reference to it.
    auto self = weak_from_this().lock();
    auto blocks = blocksSnapshot(didFinishBlocks_);
    const auto line = "Operation Finished " + describedName(name());
    AsynchronousOperation::finish();
    for (auto& block : blocks) block(*this);
    Logger::log(line);
}

std::string AsyncOperation::describedName(const std::optional<std::string>& name) {
    if (!name) return "nil";
    return fmt::format("Optional(\"{}\")", *name);
}

}  // namespace gw
