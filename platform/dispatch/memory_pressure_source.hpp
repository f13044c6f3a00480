#pragma once
// Memory-pressure events delivered on a target queue; stands in for the platform's
// memory-pressure dispatch source. Linux reports memory stalls in
// /proc/pressure/memory. One monitor thread serves every source of the process and
// uses, in order of preference:
//  - kernel triggers on that file (a stall of 10% of a 2 s window: "some" tasks
//    stalled → warning, "full" stall → critical); registering one needs a recent
//    kernel or CAP_SYS_RESOURCE;
//  - the file read every 2 s: "some avg10" ≥ 10 → warning, "full avg10" ≥ 10 →
//    critical, delivered when the level rises or changes, not at every sample;
//  - neither: no events ever, and one log line says so.
// Like the platform's sources a source starts suspended, and firings that arrive
// before its handler ran merge into one whose data() holds every level seen.
#include "platform/dispatch/dispatch_queue.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::dispatch {

// The levels, as bits of a mask.
enum MemoryPressureLevel : unsigned long {
    memoryPressureNormal = 0x1,
    memoryPressureWarning = 0x2,
    memoryPressureCritical = 0x4,
};

class MemoryPressureSource {
public:
    // Which way the process watches memory pressure.
    enum class Monitor { trigger, sampling, none };

    // `mask`: the levels this source reports (e.g. warning | critical).
    MemoryPressureSource(unsigned long mask, DispatchQueue target);

    unsigned long mask() const;
    void setEventHandler(DispatchQueue::Work handler) const;
    void resume() const;
    // No event is delivered after this returns, even one already queued; a handler
    // running right now finishes.
    void cancel() const;
    bool isCancelled() const;
    // Inside the handler: the levels of the event being delivered.
    unsigned long data() const;

    // Starts the process's monitor if it is not running yet and answers how it watches.
    static Monitor monitor();
    // Delivers `level` to every resumed source exactly as the monitor would; for
    // tests, which cannot make the machine short of memory on demand.
    static void simulate(unsigned long level);

    struct State;

private:
    std::shared_ptr<State> state_;
};

namespace detail {
// The level that the contents of /proc/pressure/memory stand for; nothing when the
// text holds no "some" line.
std::optional<unsigned long> memoryPressureLevelOf(std::string_view text);
}  // namespace detail

}  // namespace platform::dispatch
