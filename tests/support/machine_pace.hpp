#pragma once
// Wall-clock bounds that hold on a machine busy with other work.
//
// A test whose point is "this ends soon" cannot state "soon" in seconds of an idle machine: on
// two processors shared with other jobs a process gets a fraction of one, and a fixed bound
// fails for the machine, not the program. `Pace` measures that fraction now: a fixed piece of
// work is run and its wall time compared with the processor time it got (a spinning thread
// that waits for a processor half the time runs at pace 2). A bound is the idle machine's
// figure times the slowest pace seen since the `Pace` was made, measured again when asked, so
// a load that comes during the test widens the bound too. A sanitizer build multiplies by its
// own slowdown on top.
//
// Bounds that are the program's own (processor time, counts, events) need none of this; use
// it only where the wall clock is what the test is about.
#include <sys/types.h>

#include <chrono>
#include <optional>

namespace gwtest {

// The slowdown of the build the tests run in: 1, or about that of AddressSanitizer.
double buildSlowdown();

class Pace {
public:
    // Measures at once.
    Pace();

    // The slowest pace measured so far, measuring once more first; at least 1.
    double factor();
    // `idle` scaled by factor() and the build's slowdown.
    std::chrono::milliseconds bound(std::chrono::milliseconds idle);

private:
    double worst_ = 1.0;
};

// One measurement: wall time over processor time of a short spin, at least 1.
double measurePace();

// The processor time this process has had, with its children's: those it has waited for and
// those still running (the helpers it keeps), since it started. A bound of work that a busy
// machine does not move: the difference across a piece of work is what that work cost.
std::chrono::milliseconds processorTimeWithChildren();

// The processor time of the children this process has waited for (and of theirs), since it
// started: a child's whole cost, once it has ended and been reaped.
std::chrono::milliseconds reapedChildrenProcessorTime();

// The processor time the running process `pid` and its running children have had; zero when
// it has ended. What grows while a program makes progress, however busy the machine.
std::chrono::milliseconds processorTimeOf(pid_t pid);

// How long the calling thread has waited for a processor since it started, as the kernel's
// scheduler counts it; none where the kernel keeps no such count. A wall time less this wait
// is what the thread spent working or blocked: a bound on it holds on any machine.
std::optional<std::chrono::nanoseconds> processorWait();

}  // namespace gwtest
