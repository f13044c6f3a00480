#include "platform/dispatch/dispatch_queue.hpp"

#include "platform/dispatch/group.hpp"
#include "platform/dispatch/thread_pool.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace platform::dispatch {

namespace {

// Waits for its turn on a queue so that sync work runs on the caller's own thread.
struct SyncTicket {
    std::mutex mutex;
    std::condition_variable granted;
    bool isGranted = false;
};

struct Item {
    DispatchQueue::Work work;
    bool barrier = false;
    SyncTicket* ticket = nullptr;
};

// The queues whose work the calling thread is running, innermost first, and whether
// that work holds its queue alone (serial queue, barrier, main queue). Each entry lives
// on the stack of the call that runs the work: the thread's list needs no memory of its
// own, which a new thread short of memory could not have.
struct RunningScope {
    RunningScope(const DispatchQueue::State* state, bool exclusive)
        : state(state), exclusive(exclusive), outer(tInnermost) {
        tInnermost = this;
    }
    ~RunningScope() { tInnermost = outer; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

    const DispatchQueue::State* const state;
    const bool exclusive;
    RunningScope* const outer;
    static thread_local RunningScope* tInnermost;
};
thread_local RunningScope* RunningScope::tInnermost = nullptr;

const RunningScope* findRunning(const DispatchQueue::State* state) {
    for (const RunningScope* scope = RunningScope::tInnermost; scope != nullptr; scope = scope->outer) {
        if (scope->state == state) return scope;
    }
    return nullptr;
}

}  // namespace

struct DispatchQueue::State : std::enable_shared_from_this<DispatchQueue::State> {
    State(std::string label, bool concurrent, QualityOfService qos, bool main)
        : label(std::move(label)), concurrent(concurrent), qos(qos), isMain(main) {}

    const std::string label;
    const bool concurrent;
    const QualityOfService qos;
    const bool isMain;

    std::mutex mutex;
    std::deque<Item> pending;
    std::size_t running = 0;
    bool exclusiveRunning = false;
    std::condition_variable arrived;  // main queue: work was queued

    void enqueue(Item item);
    void pump(std::unique_lock<std::mutex>& lock);
    void finished(bool exclusive);
};

namespace {

struct MainLoopState {
    std::mutex mutex;
    MainLoop::Driver driver;
};

MainLoopState& mainLoopState() {
    static auto* s = new MainLoopState;
    return *s;
}

void wakeMainDriver() {
    MainLoop::Driver driver;
    {
        auto& s = mainLoopState();
        std::lock_guard lock(s.mutex);
        driver = s.driver;
    }
    if (driver) driver();
}

std::shared_ptr<DispatchQueue::State>& mainState() {
    static auto* state = new std::shared_ptr<DispatchQueue::State>(
        std::make_shared<DispatchQueue::State>("main", false, QualityOfService::userInteractive, true));
    return *state;
}

}  // namespace

void DispatchQueue::State::enqueue(Item item) {
    if (isMain) {
        {
            std::lock_guard lock(mutex);
            pending.push_back(std::move(item));
        }
        arrived.notify_all();
        wakeMainDriver();
        return;
    }
    std::unique_lock lock(mutex);
    pending.push_back(std::move(item));
    pump(lock);
}

// Starts every queued item that may run now. Called with the lock held; returns with it released.
void DispatchQueue::State::pump(std::unique_lock<std::mutex>& lock) {
    struct Launch {
        Item item;
        bool alone;
    };
    std::vector<Launch> launch;
    while (!pending.empty() && !exclusiveRunning) {
        bool alone = !concurrent || pending.front().barrier;
        if (alone && running > 0) break;
        ++running;
        exclusiveRunning = alone;
        launch.push_back(Launch{std::move(pending.front()), alone});
        pending.pop_front();
    }
    lock.unlock();
    for (auto& [item, alone] : launch) {
        if (item.ticket) {
            std::lock_guard ticketLock(item.ticket->mutex);
            item.ticket->isGranted = true;
            item.ticket->granted.notify_one();
            continue;
        }
        detail::ThreadPool::shared().submit(
            qos, [self = shared_from_this(), work = std::move(item.work), alone = alone] {
                {
                    RunningScope scope(self.get(), alone);
                    work();
                }
                self->finished(alone);
            });
    }
}

void DispatchQueue::State::finished(bool exclusive) {
    std::unique_lock lock(mutex);
    --running;
    if (exclusive) exclusiveRunning = false;
    pump(lock);
}

DispatchQueue::DispatchQueue(std::string label, Attributes attributes, QualityOfService qos)
    : state_(std::make_shared<State>(std::move(label), attributes == Attributes::concurrent, qos, false)) {}

DispatchQueue::DispatchQueue(std::shared_ptr<State> state) : state_(std::move(state)) {}

DispatchQueue DispatchQueue::main() { return DispatchQueue(mainState()); }

DispatchQueue DispatchQueue::global(QualityOfService qos) {
    static auto* queues = [] {
        auto* made = new std::vector<std::shared_ptr<State>>;
        for (auto q : {QualityOfService::background, QualityOfService::utility, QualityOfService::defaultLevel,
                       QualityOfService::userInitiated, QualityOfService::userInteractive}) {
            made->push_back(std::make_shared<State>(fmt::format("global.{}", qualityOfServiceName(q)), true, q, false));
        }
        return made;
    }();
    return DispatchQueue((*queues)[static_cast<std::size_t>(qualityOfServiceRank(qos))]);
}

const std::string& DispatchQueue::label() const { return state_->label; }
QualityOfService DispatchQueue::qualityOfService() const { return state_->qos; }
bool DispatchQueue::isConcurrent() const { return state_->concurrent; }
bool DispatchQueue::isMain() const { return state_->isMain; }
bool DispatchQueue::isCurrent() const { return findRunning(state_.get()) != nullptr; }

void DispatchQueue::submit(Work work, bool barrier) const {
    if (!work) return;
    state_->enqueue(Item{std::move(work), barrier, nullptr});
}

void DispatchQueue::async(Work work) const { submit(std::move(work), false); }

void DispatchQueue::asyncBarrier(Work work) const { submit(std::move(work), true); }

void DispatchQueue::async(const DispatchGroup& group, Work work) const {
    group.enter();
    submit(
        [group, work = std::move(work)] {
            struct Leave {
                const DispatchGroup& group;
                ~Leave() { group.leave(); }
            } leave{group};
            if (work) work();
        },
        false);
}

void DispatchQueue::asyncAfter(Duration delay, Work work) const {
    if (!work) return;
    detail::scheduleOnce(*this, delay, std::move(work));
}

void DispatchQueue::asyncAfter(double seconds, Work work) const {
    asyncAfter(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)), std::move(work));
}

void DispatchQueue::sync(const Work& work) const { runSync(work, false); }

void DispatchQueue::syncBarrier(const Work& work) const { runSync(work, true); }

void DispatchQueue::runSync(const Work& work, bool barrier) const {
    State* state = state_.get();
    bool exclusive = !state->concurrent || barrier;
    if (state->isMain && MainLoop::isMainThread()) {
        foundation::fatalError("sync onto the main queue from the main thread would never return");
    }
    // Waiting for a queue that our own work keeps busy: a serial queue, or a
    // concurrent one held by a barrier or asked for one.
    const RunningScope* running = findRunning(state);
    if (running && (exclusive || running->exclusive || state->isMain)) {
        foundation::fatalError(
            fmt::format("sync onto queue \"{}\" from work running on it would never return", state->label));
    }

    if (state->isMain) {
        // Main-queue work must run on the main thread: hand it over and wait.
        struct Done {
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
            std::exception_ptr error;
        };
        auto done = std::make_shared<Done>();
        state->enqueue(Item{[done, &work] {
                                try {
                                    if (work) work();
                                } catch (...) {
                                    done->error = std::current_exception();
                                }
                                std::lock_guard lock(done->mutex);
                                done->done = true;
                                done->cv.notify_all();
                            },
                            false, nullptr});
        std::unique_lock lock(done->mutex);
        done->cv.wait(lock, [&] { return done->done; });
        if (done->error) std::rethrow_exception(done->error);
        return;
    }

    SyncTicket ticket;
    state->enqueue(Item{nullptr, barrier, &ticket});
    {
        std::unique_lock lock(ticket.mutex);
        ticket.granted.wait(lock, [&] { return ticket.isGranted; });
    }
    struct Release {
        State* state;
        bool exclusive;
        ~Release() { state->finished(exclusive); }
    } release{state, exclusive};
    RunningScope scope(state, exclusive);
    if (work) work();
}

// --- MainLoop ---------------------------------------------------------------------------------

void MainLoop::setDriver(Driver wake) {
    bool hasWork;
    {
        auto& s = mainLoopState();
        std::lock_guard lock(s.mutex);
        s.driver = std::move(wake);
    }
    {
        auto& state = *mainState();
        std::lock_guard lock(state.mutex);
        hasWork = !state.pending.empty();
    }
    if (hasWork) wakeMainDriver();
}

std::size_t MainLoop::drain() {
    if (!isMainThread()) foundation::fatalError("the main queue can only be drained on the main thread");
    auto& state = *mainState();
    std::size_t count;
    {
        std::lock_guard lock(state.mutex);
        count = state.pending.size();
    }
    std::size_t ran = 0;
    for (; ran < count; ++ran) {
        Item item;
        {
            std::lock_guard lock(state.mutex);
            if (state.pending.empty()) break;
            item = std::move(state.pending.front());
            state.pending.pop_front();
        }
        RunningScope scope(&state, true);
        item.work();
    }
    return ran;
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto& state = *mainState();
    for (;;) {
        drain();
        if (done()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Wake for new work at once; look at `done` again now and then, since other
        // threads may satisfy it without queuing anything here.
        std::unique_lock lock(state.mutex);
        state.arrived.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)),
                                 [&] { return !state.pending.empty(); });
    }
}

bool MainLoop::isMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

}  // namespace platform::dispatch
