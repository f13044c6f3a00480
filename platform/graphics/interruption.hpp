#pragma once
// Work that nobody will keep can be given up half way: while an InterruptionScope lives
// on a thread, the long loops of that thread's drawing and encoding (the PNG encoder's
// rows) ask it between steps and stop early, giving no result, once it says so. A
// conversion stopped at quit ends within moments instead of finishing its pictures.
#include <functional>

namespace platform::graphics {

class InterruptionScope {
public:
    // `isInterrupted` is asked on this thread, often: it must be cheap.
    explicit InterruptionScope(std::function<bool()> isInterrupted);
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    friend bool interruptionRequested();
    std::function<bool()> isInterrupted_;
    InterruptionScope* outer_;
};

// Whether a scope of the calling thread, the innermost or one around it, asks its work to
// stop; false without one.
bool interruptionRequested();

}  // namespace platform::graphics
