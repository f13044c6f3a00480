#pragma once
// The register set of one frame of one thread, with the set of registers whose values are
// known. Registers are addressed by generic numbers shared by every unwinder (0 pc, 1 frame
// pointer, 2 sp on every architecture) and map to and from DWARF numbers. Plain values:
// everything here is async-signal-safe and allocates nothing.
#include <cstdint>

#include "crashreporter/async.hpp"

namespace lvcrash {

inline constexpr std::uint32_t LVCRASH_CPU_TYPE_X86 = 7;
inline constexpr std::uint32_t LVCRASH_CPU_TYPE_X86_64 = 0x01000007;
inline constexpr std::uint32_t LVCRASH_CPU_TYPE_ARM = 12;
inline constexpr std::uint32_t LVCRASH_CPU_TYPE_ARM64 = 0x0100000C;

inline constexpr std::uint32_t LVCRASH_ARM_THREAD_STATE32 = 9;
inline constexpr std::uint32_t LVCRASH_ARM_THREAD_STATE64 = 6;
inline constexpr std::uint32_t LVCRASH_X86_THREAD_STATE64 = 4;

enum lvcrash_async_thread_stack_direction_t : std::uint32_t {
    LVCRASH_ASYNC_THREAD_STACK_DIRECTION_UP = 1,
    LVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN = 2,
};

using lvcrash_regnum_t = std::uint32_t;

// Generic numbers that mean the same on every architecture.
inline constexpr lvcrash_regnum_t LVCRASH_REG_IP = 0;
inline constexpr lvcrash_regnum_t LVCRASH_REG_FP = 1;
inline constexpr lvcrash_regnum_t LVCRASH_REG_SP = 2;
// x86-64 (in generic order after ip, fp, sp).
inline constexpr lvcrash_regnum_t LVCRASH_X86_64_RAX = 3;
inline constexpr lvcrash_regnum_t LVCRASH_X86_64_RBX = 4;
inline constexpr lvcrash_regnum_t LVCRASH_X86_64_R12 = 13;
inline constexpr lvcrash_regnum_t LVCRASH_X86_64_R15 = 16;
// arm64.
inline constexpr lvcrash_regnum_t LVCRASH_ARM64_X0 = 3;
inline constexpr lvcrash_regnum_t LVCRASH_ARM64_X19 = 22;
inline constexpr lvcrash_regnum_t LVCRASH_ARM64_LR = 32;
inline constexpr lvcrash_regnum_t LVCRASH_ARM64_CPSR = 33;

struct lvcrash_arm_state32 {
    std::uint32_t r[13];
    std::uint32_t sp, lr, pc, cpsr;
};
struct lvcrash_arm_state64 {
    std::uint64_t x[29];
    std::uint64_t fp, lr, sp, pc;
    std::uint32_t cpsr;
    std::uint32_t pad;
};
// Mach's x86-64 order: rax rbx rcx rdx rdi rsi rbp rsp r8-r15 rip rflags cs fs gs.
struct lvcrash_x86_state64 {
    std::uint64_t r[21];
};

struct lvcrash_async_unified_state {
    std::uint32_t flavor;
    std::uint32_t count;
    union {
        lvcrash_arm_state32 ts_32;
        lvcrash_arm_state64 ts_64;
        lvcrash_x86_state64 ts_x86_64;
    } uts;
};

// Frame flags: the frame's pc is where it was interrupted (the first frame, or the frame a
// signal frame resumes), not a return address; its unwind rules are looked up at pc itself
// rather than at pc - 1.
inline constexpr std::uint32_t LVCRASH_ASYNC_THREAD_STATE_PC_EXACT = 1;

struct lvcrash_async_thread_state {
    std::uint32_t stack_direction;
    std::uint32_t greg_size;
    std::uint64_t valid_regs;
    lvcrash_async_unified_state thread_state;
    std::uint32_t frame_flags;
};

lvcrash_error_t lvcrash_async_thread_state_init(lvcrash_async_thread_state* state, std::uint32_t cpu_type);
// From a signal's machine context (a Linux ucontext_t's uc_mcontext; x86-64 or arm64 by host).
lvcrash_error_t lvcrash_async_thread_state_mcontext_init(lvcrash_async_thread_state* state, const void* mcontext);
// From a suspended thread (platform/darwin thread control).
lvcrash_error_t lvcrash_async_thread_state_mach_thread_init(lvcrash_async_thread_state* state, thread_t thread);

using lvcrash_async_thread_state_current_callback = lvcrash_error_t (*)(lvcrash_async_thread_state* state,
                                                                        void* context);
// Captures the caller's frame (pc = the return address of this call, sp = the caller's sp
// after it returns, callee-saved registers as on entry) and calls callback with it.
extern "C" lvcrash_error_t lvcrash_async_thread_state_current(lvcrash_async_thread_state_current_callback callback,
                                                              void* context);

void lvcrash_async_thread_state_copy(lvcrash_async_thread_state* dest, const lvcrash_async_thread_state* source);
bool lvcrash_async_thread_state_has_reg(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum);
void lvcrash_async_thread_state_clear_reg(lvcrash_async_thread_state* state, lvcrash_regnum_t regnum);
void lvcrash_async_thread_state_clear_all_regs(lvcrash_async_thread_state* state);
void lvcrash_async_thread_state_clear_volatile_regs(lvcrash_async_thread_state* state);
std::uint64_t lvcrash_async_thread_state_get_reg(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum);
void lvcrash_async_thread_state_set_reg(lvcrash_async_thread_state* state, lvcrash_regnum_t regnum,
                                        std::uint64_t value);
std::uint32_t lvcrash_async_thread_state_get_reg_count(const lvcrash_async_thread_state* state);
const char* lvcrash_async_thread_state_get_reg_name(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum);
std::uint32_t lvcrash_async_thread_state_get_stack_direction(const lvcrash_async_thread_state* state);
std::uint32_t lvcrash_async_thread_state_get_greg_size(const lvcrash_async_thread_state* state);
bool lvcrash_async_thread_state_map_reg_to_dwarf(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum,
                                                 std::uint64_t* dwarf_reg);
bool lvcrash_async_thread_state_map_dwarf_to_reg(const lvcrash_async_thread_state* state, std::uint64_t dwarf_reg,
                                                 lvcrash_regnum_t* regnum);
// The CPU type a state describes.
std::uint32_t lvcrash_async_thread_state_cpu_type(const lvcrash_async_thread_state* state);

}  // namespace lvcrash
