#include "platform/darwin/fault_shim.hpp"

#include <atomic>
#include <cerrno>
#include <sched.h>
#include <cstring>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"

namespace platform::darwin {
namespace {

constexpr int shim_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
constexpr int max_signal = 65;

struct sigaction previous_actions[max_signal];
std::atomic<bool> installed{false};
std::atomic<std::uint32_t> install_lock{0};

// Restores the default action and makes the signal happen again: a fault re-executes by
// itself, but a trap (already past its instruction) or a sent signal must be queued anew.
void deliver_default(int signo, siginfo_t* info) noexcept {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    if (signo == SIGTRAP || info == nullptr || info->si_code <= 0 || info->si_code == SI_KERNEL) {
        syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), signo, info);
    }
}

void deliver_as_bsd(int signo, siginfo_t* info, void* context) noexcept {
    const struct sigaction& previous = previous_actions[signo];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signo, info, context);
        return;
    }
    // An ignored fault cannot be ignored: the kernel forces the default action, so do we.
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
        deliver_default(signo, info);
        return;
    }
    previous.sa_handler(signo);
}

void shim_handler(int signo, siginfo_t* info, void* raw_context) {
    const int saved_errno = errno;
    int type = 0;
    std::int64_t codes[2] = {};
    ExceptionTarget target{};
    const port_t thread = mach_thread_self();
    if (fault_shim_exception_for(info, &type, codes) && exception_target_for(thread, type, &target)) {
        // A thread that itself serves the port would wait for its own answer.
        if (mach_port_receiver_tid(target.port) != static_cast<int>(syscall(SYS_gettid))) {
            thread_offer_context(static_cast<const ucontext_t*>(raw_context));
            int result = exception_raise_to_target(target, thread, type, codes, 2, fault_shim_reply_timeout_ms);
            thread_withdraw_context();
            if (result == kern_success) {
                errno = saved_errno;
                return;  // handled: the instruction runs again
            }
        }
    }
    deliver_as_bsd(signo, info, raw_context);
    errno = saved_errno;
}

}  // namespace

bool fault_shim_exception_for(const siginfo_t* info, int* type, std::int64_t codes[2]) noexcept {
    if (info == nullptr || info->si_code <= 0) return false;
    const auto address = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(info->si_addr));
    switch (info->si_signo) {
    case SIGSEGV:
        *type = exc_bad_access;
        codes[0] = info->si_code == SEGV_MAPERR ? kern_invalid_address : kern_protection_failure;
        break;
    case SIGBUS:
        *type = exc_bad_access;
        codes[0] = kern_protection_failure;
        break;
    case SIGILL:
        *type = exc_bad_instruction;
        codes[0] = info->si_code;
        break;
    case SIGFPE:
        *type = exc_arithmetic;
        codes[0] = info->si_code;
        break;
    case SIGTRAP:
        *type = exc_breakpoint;
        codes[0] = info->si_code;
        break;
    default:
        return false;
    }
    codes[1] = address;
    return true;
}

bool fault_shim_install() noexcept {
    if (installed.load(std::memory_order_acquire)) return true;
    while (install_lock.exchange(1, std::memory_order_acquire) != 0) sched_yield();
    bool ok = true;
    if (!installed.load(std::memory_order_relaxed)) {
        for (int signo : shim_signals) {
            struct sigaction action {};
            action.sa_sigaction = shim_handler;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK;
            sigemptyset(&action.sa_mask);
            if (sigaction(signo, &action, &previous_actions[signo]) != 0) ok = false;
        }
        installed.store(ok, std::memory_order_release);
    }
    install_lock.store(0, std::memory_order_release);
    return ok;
}

}  // namespace platform::darwin
