#pragma once
// Queues of work; stand in for the platform's dispatch queues. A serial queue runs
// one item at a time in submission order; a concurrent queue runs items side by
// side, except barrier items, which run alone. Both run on the shared thread pool.
// The main queue runs only where the main loop is drained (see MainLoop).
//
// DispatchQueue is a handle: copies refer to the same queue, and queued work keeps
// the queue alive.
#include "platform/dispatch/quality_of_service.hpp"
#include "platform/foundation/clock.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace platform::dispatch {

class DispatchGroup;

class DispatchQueue {
public:
    using Work = std::function<void()>;
    using Duration = foundation::Clock::Duration;
    enum class Attributes { serial, concurrent };

    explicit DispatchQueue(std::string label, Attributes attributes = Attributes::serial,
                           QualityOfService qos = QualityOfService::defaultLevel);

    // The queue of the process's main thread.
    static DispatchQueue main();
    // The shared concurrent queue of a quality of service.
    static DispatchQueue global(QualityOfService qos = QualityOfService::defaultLevel);

    const std::string& label() const;
    QualityOfService qualityOfService() const;
    bool isConcurrent() const;
    bool isMain() const;

    void async(Work work) const;
    // Enters the group now and leaves it when the work has run.
    void async(const DispatchGroup& group, Work work) const;
    // Runs the work on this queue after `delay` on the current clock.
    void asyncAfter(Duration delay, Work work) const;
    void asyncAfter(double seconds, Work work) const;

    // Runs the work and returns when it has run; an exception it throws reaches the
    // caller. Waiting on the queue the caller is already running on would never end,
    // so that is stopped as a fatal error (also main().sync() on the main thread).
    void sync(const Work& work) const;
    template <class F>
        requires(!std::is_void_v<std::invoke_result_t<F&>>)
    std::invoke_result_t<F&> sync(F&& work) const {
        std::optional<std::invoke_result_t<F&>> result;
        sync(Work([&] { result.emplace(work()); }));
        return std::move(*result);
    }

    // On a concurrent queue a barrier waits for the work before it and holds back the
    // work after it; on a serial queue it is ordinary work.
    void asyncBarrier(Work work) const;
    void syncBarrier(const Work& work) const;

    // True while the calling thread runs work of this queue (including sync work).
    bool isCurrent() const;

    friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) { return a.state_ == b.state_; }

    struct State;

private:
    explicit DispatchQueue(std::shared_ptr<State> state);
    void submit(Work work, bool barrier) const;
    void runSync(const Work& work, bool barrier) const;

    std::shared_ptr<State> state_;
};

// The main thread's run loop as far as the main queue is concerned. A driver, when
// installed, is called from any thread whenever main-queue work arrives and must
// arrange for drain() to run soon on the main thread (the desktop app posts an
// event to its event loop); it must not run the work itself. Without a driver the
// command line and tests drain by hand.
class MainLoop {
public:
    using Driver = std::function<void()>;

    static void setDriver(Driver wake);
    // Runs the main-queue work queued when it is called (work queued meanwhile
    // waits for the next drain). Main thread only. Returns how many items ran.
    static std::size_t drain();
    // Drains repeatedly, waiting for new work in between, until `done` returns true
    // or `timeout` (real time) has passed. Main thread only. Returns done().
    static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Whether the calling thread is the process's main thread.
    static bool isMainThread();
};

}  // namespace platform::dispatch
