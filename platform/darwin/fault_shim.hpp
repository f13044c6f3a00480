#pragma once
// Plays the kernel's part for Mach exceptions: while an exception port covers a fault, the
// fault's signal handler raises the exception to that port with the faulting thread's context
// offered as its state, and waits (at most fault_shim_reply_timeout_ms) for the answer.
// KERN_SUCCESS re-executes the faulting instruction; anything else delivers the signal as BSD
// would: to the action installed before the shim, or by restoring the default action.
// Signals sent by kill or tgkill go straight to that action.
#include <csignal>
#include <cstdint>

#include "platform/darwin/mach_exception.hpp"

namespace platform::darwin {

inline constexpr std::uint32_t fault_shim_reply_timeout_ms = 10000;

// Set-up time: installs the handlers (SA_ONSTACK | SA_SIGINFO) for SIGSEGV, SIGBUS, SIGILL,
// SIGFPE and SIGTRAP, keeping the actions they replace. Idempotent; false when sigaction fails.
// Registering a live exception port installs it.
bool fault_shim_install() noexcept;

// The exception a kernel-made fault becomes: type and the two codes. False for a signal that
// no exception stands for, or one sent by a process (si_code <= 0).
bool fault_shim_exception_for(const siginfo_t* info, int* type, std::int64_t codes[2]) noexcept;

}  // namespace platform::darwin
