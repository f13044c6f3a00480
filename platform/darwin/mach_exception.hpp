#pragma once
// Stands in for Mach's exception ports: per-task and per-thread registrations by exception
// type, the client side of the exception_raise family (a request to the registered port and
// a wait for its reply), and thread_get_state answering the x86-64 thread-state flavor.
// Like the ports themselves, everything is preallocated and lock-free of mutexes, since the
// fault shim raises from a signal handler.
#include <cstddef>
#include <cstdint>

#include "platform/darwin/mach_port.hpp"

namespace platform::darwin {

enum ExceptionType : int {
    exc_bad_access = 1,
    exc_bad_instruction = 2,
    exc_arithmetic = 3,
    exc_emulation = 4,
    exc_software = 5,
    exc_breakpoint = 6,
    exc_syscall = 7,
    exc_mach_syscall = 8,
    exc_rpc_alert = 9,
    exc_crash = 10,
    exc_resource = 11,
    exc_guard = 12,
    exc_corpse_notify = 13,
};
inline constexpr std::size_t exc_types_count = 14;
constexpr std::uint32_t exc_mask(int type) { return 1u << type; }

enum ExceptionBehavior : std::int32_t {
    exception_default = 1,
    exception_state = 2,
    exception_state_identity = 3,
};
inline constexpr std::int32_t mach_exception_codes = static_cast<std::int32_t>(0x80000000u);

inline constexpr int x86_thread_state64 = 4;
inline constexpr std::uint32_t x86_thread_state64_count = 42;  // 21 registers of 64 bits
inline constexpr std::uint32_t thread_state_max = 1296;
inline constexpr std::size_t exception_code_max = 2;
inline constexpr int mig_reply_mismatch = -301;
inline constexpr int mig_bad_arguments = -304;

// Message ids of the requests; replies are id + 100.
inline constexpr std::int32_t exception_raise_id = 2401;
inline constexpr std::int32_t exception_raise_state_id = 2402;
inline constexpr std::int32_t exception_raise_state_identity_id = 2403;
inline constexpr std::int32_t mach_exception_raise_id = 2405;
inline constexpr std::int32_t mach_exception_raise_state_id = 2406;
inline constexpr std::int32_t mach_exception_raise_state_identity_id = 2407;

// The request mach_exception_raise sends with two codes: 84 bytes.
#pragma pack(push, 4)
struct MachExceptionRaiseRequest {
    MsgHeader header;
    MsgBody body;
    PortDescriptor thread;
    PortDescriptor task;
    NdrRecord ndr;
    std::int32_t exception;
    std::uint32_t code_count;
    std::int64_t code[exception_code_max];
};
struct ExceptionRaiseReply {
    MsgHeader header;
    NdrRecord ndr;
    std::int32_t return_code;
};
#pragma pack(pop)
static_assert(sizeof(MachExceptionRaiseRequest) == 84);
static_assert(sizeof(ExceptionRaiseReply) == 36);

// get: *count holds the room of the arrays and receives the entries written. Entries are
// merged by (port, behavior, flavor), their masks joined; each port comes with a send right.
KernReturn task_get_exception_ports(port_t task, std::uint32_t mask, std::uint32_t* masks, std::uint32_t* count,
                                    port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept;
KernReturn task_set_exception_ports(port_t task, std::uint32_t mask, port_t port, std::int32_t behavior,
                                    std::int32_t flavor) noexcept;
KernReturn task_swap_exception_ports(port_t task, std::uint32_t mask, port_t port, std::int32_t behavior,
                                     std::int32_t flavor, std::uint32_t* masks, std::uint32_t* count, port_t* ports,
                                     std::int32_t* behaviors, std::int32_t* flavors) noexcept;
KernReturn thread_get_exception_ports(port_t thread, std::uint32_t mask, std::uint32_t* masks, std::uint32_t* count,
                                      port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept;
KernReturn thread_set_exception_ports(port_t thread, std::uint32_t mask, port_t port, std::int32_t behavior,
                                      std::int32_t flavor) noexcept;
KernReturn thread_swap_exception_ports(port_t thread, std::uint32_t mask, port_t port, std::int32_t behavior,
                                       std::int32_t flavor, std::uint32_t* masks, std::uint32_t* count,
                                       port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept;

// The registration that takes an exception of this type raised on the thread: the thread's
// own first, then the task's. False when neither has a live port for it. No reference taken.
struct ExceptionTarget {
    port_t port;
    std::int32_t behavior;
    std::int32_t flavor;
};
bool exception_target_for(port_t thread, int type, ExceptionTarget* target) noexcept;

// Client calls: send the request to port and wait for the reply. timeout_ms 0 waits without a
// limit; a reply that does not come in time gives mach_rcv_timed_out. The result is the
// receiver's return code, or the messaging error.
int mach_exception_raise(port_t port, port_t thread, port_t task, int exception, const std::int64_t* code,
                         std::uint32_t code_count, std::uint32_t timeout_ms = 0) noexcept;
int exception_raise(port_t port, port_t thread, port_t task, int exception, const std::int32_t* code,
                    std::uint32_t code_count, std::uint32_t timeout_ms = 0) noexcept;
int mach_exception_raise_state(port_t port, int exception, const std::int64_t* code, std::uint32_t code_count,
                               int* flavor, const std::uint32_t* old_state, std::uint32_t old_count,
                               std::uint32_t* new_state, std::uint32_t* new_count) noexcept;
int exception_raise_state(port_t port, int exception, const std::int32_t* code, std::uint32_t code_count,
                          int* flavor, const std::uint32_t* old_state, std::uint32_t old_count,
                          std::uint32_t* new_state, std::uint32_t* new_count) noexcept;
int mach_exception_raise_state_identity(port_t port, port_t thread, port_t task, int exception,
                                        const std::int64_t* code, std::uint32_t code_count, int* flavor,
                                        const std::uint32_t* old_state, std::uint32_t old_count,
                                        std::uint32_t* new_state, std::uint32_t* new_count) noexcept;
int exception_raise_state_identity(port_t port, port_t thread, port_t task, int exception, const std::int32_t* code,
                                   std::uint32_t code_count, int* flavor, const std::uint32_t* old_state,
                                   std::uint32_t old_count, std::uint32_t* new_state,
                                   std::uint32_t* new_count) noexcept;

// Raises as the kernel does for a fault: by the target's behavior (codes of 64 or 32 bits, the
// state forms with the thread's state of the target's flavor), waiting at most timeout_ms for
// the reply. The new state a receiver returns is not applied.
int exception_raise_to_target(const ExceptionTarget& target, port_t thread, int exception, const std::int64_t* code,
                              std::uint32_t code_count, std::uint32_t timeout_ms) noexcept;

// The thread's registers in the x86-64 flavor (Mach's order: rax rbx rcx rdx rdi rsi rbp rsp
// r8-r15 rip rflags cs fs gs). The calling thread reads its own; another thread must be
// suspended or offer its fault context. Other flavors: kern_invalid_argument.
KernReturn thread_get_state(port_t thread, int flavor, std::uint32_t* state, std::uint32_t* count) noexcept;

}  // namespace platform::darwin
