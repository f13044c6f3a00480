#pragma once
// The base of the operations that write a conversion to disk: work that a queue
// starts and that signals its own end, with blocks run when it starts executing and
// when it finishes, and a log line at each of the two moments.
#include "platform/dispatch/operation.hpp"

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

// What a folder or picture operation reports when its run was stopped before it was
// written (a quit during a conversion): nothing of it was put in place.
class ConversionStoppedError : public std::runtime_error {
public:
    ConversionStoppedError();
};

// One progress value from 0 (nothing done) to 1 (all done).
class Progressable {
public:
    virtual ~Progressable() = default;
    virtual float progress() const = 0;
};

class AsyncOperation : public platform::dispatch::AsynchronousOperation {
public:
    using Block = std::function<void(AsyncOperation&)>;

    // Does nothing: every subclass starts its own work, calls markExecuting() first and
    // finish() once everything it is responsible for is done.
    void start() override {}

    void addDidStartBlock(Block block);
    void addDidFinishBlock(Block block);

    // State executing (the queue is told), the did-start blocks in the order added,
    // then the line "Operation Started " + the described name.
    void markExecuting();
    // State finished (the queue is told and dependents may run), the did-finish blocks,
    // then the line "Operation Finished " + the described name.
    void finish();

    // `Optional("<name>")` for a named operation, `nil` otherwise.
    static std::string describedName(const std::optional<std::string>& name);

private:
    std::vector<Block> blocksSnapshot(const std::vector<Block>& blocks) const;

    mutable std::mutex blocksMutex_;
    std::vector<Block> didStartBlocks_;
    std::vector<Block> didFinishBlocks_;
};

}  // namespace gw
