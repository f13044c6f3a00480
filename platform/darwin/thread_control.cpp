#include "platform/darwin/thread_control.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::darwin {
namespace {

enum SlotState : std::uint32_t { slot_free = 0, slot_requested, slot_capturing, slot_parked, slot_resuming, slot_offered };

struct Slot {
    std::atomic<int> tid;
    std::atomic<std::uint32_t> state;
    ucontext_t context;
    // Run by the stopped thread itself before it parks (nullptr: nothing).
    std::atomic<void (*)(ucontext_t*, void*)> action;
    void* action_arg;
};

Slot slots[thread_control_slot_count];
std::atomic<bool> installed{false};

int stop_signal() noexcept { return SIGRTMAX - 3; }

int own_tid() noexcept { return static_cast<int>(syscall(SYS_gettid)); }

void futex_wake(std::atomic<std::uint32_t>* word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

// Waits while *word == value, at most until deadline (CLOCK_MONOTONIC; nullptr: no limit).
void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t value, const timespec* deadline) noexcept {
    timespec rel{};
    timespec* timeout = nullptr;
    if (deadline) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long ns = (deadline->tv_sec - now.tv_sec) * 1000000000LL + (deadline->tv_nsec - now.tv_nsec);
        if (ns <= 0) return;
        rel.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        rel.tv_nsec = static_cast<long>(ns % 1000000000LL);
        timeout = &rel;
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
}

bool past(const timespec& deadline) noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

Slot* find_slot(int tid) noexcept {
    for (auto& slot : slots)
        if (slot.tid.load(std::memory_order_acquire) == tid) return &slot;
    return nullptr;
}

Slot* claim_slot(int tid) noexcept {
    for (auto& slot : slots) {
        int expected = 0;
        if (slot.tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) return &slot;
    }
    return nullptr;
}

void release_slot(Slot* slot) noexcept {
    slot->state.store(slot_free, std::memory_order_release);
    slot->tid.store(0, std::memory_order_release);
    futex_wake(&slot->state);
}

void stop_handler(int, siginfo_t*, void* raw) {
    const int saved = errno;
    Slot* slot = find_slot(own_tid());
    std::uint32_t expected = slot_requested;
    // No request (it timed out and was withdrawn): the late signal is ignored.
    if (slot && slot->state.compare_exchange_strong(expected, slot_capturing, std::memory_order_acq_rel)) {
        std::memcpy(&slot->context, raw, sizeof(ucontext_t));
        if (auto* action = slot->action.exchange(nullptr, std::memory_order_acq_rel)) action(static_cast<ucontext_t*>(raw), slot->action_arg);
        slot->state.store(slot_parked, std::memory_order_release);
        futex_wake(&slot->state);
        while (slot->state.load(std::memory_order_acquire) == slot_parked) futex_wait(&slot->state, slot_parked, nullptr);
        release_slot(slot);
    }
    errno = saved;
}

}  // namespace

bool thread_control_install() noexcept {
    if (installed.load()) return true;
    struct sigaction action {};
    action.sa_sigaction = stop_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(stop_signal(), &action, nullptr) != 0) return false;
    installed.store(true);
    return true;
}

int thread_control_stop_signal() noexcept { return stop_signal(); }

port_t mach_thread_self() noexcept { return thread_self(); }

KernReturn task_threads(port_t task, port_t* threads, std::size_t capacity, std::size_t* count) noexcept {
    *count = 0;
    if (task != task_self()) return kern_invalid_argument;
    const int saved = errno;
    const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved;
        return kern_failure;
    }
    alignas(8) char buffer[4096];
    for (;;) {
        const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            const char* record = buffer + at;
            unsigned short reclen;
            std::memcpy(&reclen, record + 16, sizeof reclen);
            const char* name = record + 19;
            int tid = 0;
            bool numeric = name[0] != '\0';
            for (const char* c = name; *c; ++c) {
                if (*c < '0' || *c > '9') {
                    numeric = false;
                    break;
                }
                tid = tid * 10 + (*c - '0');
            }
            if (numeric && *count < capacity) threads[(*count)++] = thread_port_for_tid(tid);
            at += reclen;
        }
    }
    close(fd);
    errno = saved;
    return kern_success;
}

namespace {

timespec stop_deadline() noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += thread_stop_timeout_ms * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return deadline;
}

// A stop on its way: the slot the thread parks in, or the answer when there is nothing to
// wait for (slot nullptr).
struct StopRequest {
    Slot* slot;
    KernReturn answer;
};

// Sends the stop signal without waiting for the thread to take it.
StopRequest request_stop(port_t thread, void (*action)(ucontext_t*, void*), void* arg,
                         const timespec& deadline) noexcept {
    const int tid = thread_port_tid(thread);
    if (tid <= 0) return {nullptr, kern_invalid_argument};
    if (tid == own_tid() || !installed.load()) return {nullptr, kern_failure};
    // A thread still leaving its previous stop holds its slot for a moment.
    while (Slot* held = find_slot(tid)) {
        const std::uint32_t state = held->state.load(std::memory_order_acquire);
        if (state == slot_offered) return {nullptr, action ? kern_failure : kern_success};
        if (state == slot_free) continue;  // its tid is being cleared
        if (state != slot_resuming || past(deadline)) return {nullptr, kern_failure};
        futex_wait(&held->state, state, &deadline);
    }
    Slot* slot = claim_slot(tid);
    if (!slot) return {nullptr, kern_no_space};
    slot->action_arg = arg;
    slot->action.store(action, std::memory_order_release);
    slot->state.store(slot_requested, std::memory_order_release);
    const int saved = errno;
    if (syscall(SYS_tgkill, static_cast<long>(getpid()), static_cast<long>(tid), stop_signal()) != 0) {
        errno = saved;
        release_slot(slot);
        return {nullptr, kern_invalid_argument};
    }
    errno = saved;
    return {slot, kern_success};
}

// Waits until the thread of a sent request has parked, or withdraws the request at the
// deadline (a late signal then finds no request and is ignored).
KernReturn await_stop(Slot* slot, bool has_action, const timespec& deadline) noexcept {
    for (;;) {
        std::uint32_t state = slot->state.load(std::memory_order_acquire);
        if (state == slot_parked) return kern_success;
        // It stopped in a crash handler meanwhile and offers that context instead.
        if (state == slot_offered) return has_action ? kern_failure : kern_success;
        if (past(deadline)) {
            std::uint32_t expected = slot_requested;
            if (slot->state.compare_exchange_strong(expected, slot_free, std::memory_order_acq_rel)) {
                slot->action.store(nullptr, std::memory_order_release);
                slot->tid.store(0, std::memory_order_release);
                return kern_failure;
            }
            // The handler is copying its context: that takes no time at all.
            state = slot->state.load(std::memory_order_acquire);
            if (state == slot_capturing) continue;
            if (state == slot_parked) return kern_success;
            return kern_failure;
        }
        if (state == slot_requested) futex_wait(&slot->state, state, &deadline);
    }
}

KernReturn suspend_with(port_t thread, void (*action)(ucontext_t*, void*), void* arg) noexcept {
    const timespec deadline = stop_deadline();
    const StopRequest request = request_stop(thread, action, arg, deadline);
    if (!request.slot) return request.answer;
    return await_stop(request.slot, action != nullptr, deadline);
}

}  // namespace

std::size_t thread_suspend_all(const port_t* threads, std::size_t count, port_t* suspended) noexcept {
    // A stopped thread answers only once the scheduler runs it: on a busy machine that is a
    // wait per thread. Every stop is sent first, so the threads take them side by side and the
    // waits overlap, all within one budget.
    constexpr std::size_t batch = 128;
    const timespec deadline = stop_deadline();
    std::size_t parked = 0;
    for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t n = count - first < batch ? count - first : batch;
        Slot* pending[batch];
        for (std::size_t i = 0; i < n; ++i) {
            const StopRequest request = request_stop(threads[first + i], nullptr, nullptr, deadline);
            pending[i] = request.slot;
            if (!request.slot && request.answer == kern_success) suspended[parked++] = threads[first + i];
        }
        for (std::size_t i = 0; i < n; ++i)
            if (pending[i] && await_stop(pending[i], false, deadline) == kern_success)
                suspended[parked++] = threads[first + i];
    }
    return parked;
}

KernReturn thread_suspend(port_t thread) noexcept { return suspend_with(thread, nullptr, nullptr); }

KernReturn thread_run_stopped(port_t thread, void (*action)(ucontext_t*, void*), void* arg) noexcept {
    const KernReturn result = suspend_with(thread, action, arg);
    if (result != kern_success) return result;
    return thread_resume(thread);
}

KernReturn thread_resume(port_t thread) noexcept {
    const int tid = thread_port_tid(thread);
    if (tid <= 0) return kern_invalid_argument;
    Slot* slot = find_slot(tid);
    if (!slot) return kern_failure;
    std::uint32_t expected = slot_parked;
    if (slot->state.compare_exchange_strong(expected, slot_resuming, std::memory_order_acq_rel)) {
        futex_wake(&slot->state);
        return kern_success;
    }
    return expected == slot_offered ? kern_success : kern_failure;
}

KernReturn thread_get_state(port_t thread, ucontext_t* context) noexcept {
    const int tid = thread_port_tid(thread);
    if (tid <= 0) return kern_invalid_argument;
    Slot* slot = find_slot(tid);
    if (!slot) return kern_failure;
    const std::uint32_t state = slot->state.load(std::memory_order_acquire);
    if (state != slot_parked && state != slot_offered) return kern_failure;
    std::memcpy(context, &slot->context, sizeof(ucontext_t));
    return kern_success;
}

bool thread_offer_context(const ucontext_t* context) noexcept {
    const int tid = own_tid();
    Slot* slot = find_slot(tid);
    if (!slot) slot = claim_slot(tid);
    if (!slot) return false;
    std::memcpy(&slot->context, context, sizeof(ucontext_t));
    slot->state.store(slot_offered, std::memory_order_release);
    return true;
}

void thread_withdraw_context() noexcept {
    Slot* slot = find_slot(own_tid());
    if (slot && slot->state.load(std::memory_order_acquire) == slot_offered) release_slot(slot);
}

std::size_t thread_control_parked_count() noexcept {
    std::size_t n = 0;
    for (auto& slot : slots) {
        const std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == slot_parked || state == slot_capturing || state == slot_resuming) ++n;
    }
    return n;
}

}  // namespace platform::darwin
