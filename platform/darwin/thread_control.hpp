#pragma once
// Stands in for Mach's thread control (task_threads, thread_suspend/resume, thread_get_state)
// with a real-time stop signal: the target thread's handler copies its machine context into a
// preallocated slot and parks on a futex until resumed. Every call after set-up is made of
// system calls and atomics only (no heap, no locks), so it runs on a crashed thread.
// Waits are bounded: a thread that blocks the stop signal, or does not answer in time, is
// reported as not suspended and left running.
#include <cstddef>
#include <ucontext.h>

#include "platform/darwin/mach.hpp"

namespace platform::darwin {

inline constexpr std::size_t thread_control_slot_count = 1024;
// Budget for one thread to answer the stop signal.
inline constexpr long thread_stop_timeout_ms = 200;

// Set-up time: installs the stop signal's handler (SA_ONSTACK | SA_SIGINFO). Idempotent.
bool thread_control_install() noexcept;
int thread_control_stop_signal() noexcept;

port_t mach_thread_self() noexcept;

// The task's threads as listed by /proc/self/task at the time of the call.
KernReturn task_threads(port_t task, port_t* threads, std::size_t capacity, std::size_t* count) noexcept;

// kern_failure when the thread did not park within the budget (it keeps running), or when it
// is the calling thread; kern_invalid_argument for a name that is no thread.
KernReturn thread_suspend(port_t thread) noexcept;
// Suspends every listed thread but the caller: all stops are sent before any is waited for,
// within one budget for them all. Writes the threads that parked into suspended (room for
// count) and answers how many they are.
std::size_t thread_suspend_all(const port_t* threads, std::size_t count, port_t* suspended) noexcept;
KernReturn thread_resume(port_t thread) noexcept;
// Stops the thread, has it call action(context, arg) itself from the stop handler, and resumes
// it. context is the handler's own: what the thread returns to (its signal stack included).
// On kern_success the action has run; otherwise it has not run and never will.
KernReturn thread_run_stopped(port_t thread, void (*action)(ucontext_t*, void*), void* arg) noexcept;
// The machine context of a suspended thread (or of one that offers its fault context).
KernReturn thread_get_state(port_t thread, ucontext_t* context) noexcept;

// A thread that stopped in a crash handler offers its fault context: the others then read it
// without a signal. Withdraw before the handler returns.
bool thread_offer_context(const ucontext_t* context) noexcept;
void thread_withdraw_context() noexcept;

// Threads parked right now (for tests: none must stay parked after a resume).
std::size_t thread_control_parked_count() noexcept;

}  // namespace platform::darwin
