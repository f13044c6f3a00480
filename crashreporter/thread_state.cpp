#include "crashreporter/thread_state.hpp"

#include <cstdlib>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"

namespace lvcrash {
namespace {

enum class Arch { arm32, arm64, x86_64 };

Arch arch_of(const lvcrash_async_thread_state* state) {
    switch (state->thread_state.flavor) {
        case LVCRASH_ARM_THREAD_STATE32: return Arch::arm32;
        case LVCRASH_X86_THREAD_STATE64: return Arch::x86_64;
        default: return Arch::arm64;
    }
}

constexpr std::uint32_t none = 0xFFFFFFFFu;

// Generic number -> word index in Mach's x86-64 block.
constexpr std::uint8_t x86_64_slot[21] = {16, 6, 7, 0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20};
constexpr const char* x86_64_names[21] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8", "r9",
                                          "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs"};
// DWARF number (index) -> generic, x86-64 psABI: rax rdx rcx rbx rsi rdi rbp rsp r8-r15 rip.
constexpr std::uint32_t x86_64_dwarf[17] = {3, 6, 5, 4, 8, 7, 1, 2, 9, 10, 11, 12, 13, 14, 15, 16, 0};

constexpr const char* arm32_names[17] = {"pc", "r7", "sp", "r0", "r1", "r2", "r3", "r4", "r5",
                                         "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr"};
// Generic -> index in r0..r12, sp 13, lr 14, pc 15, cpsr 16 (the block order).
constexpr std::uint8_t arm32_slot[17] = {15, 7, 13, 0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 14, 16};
// DWARF 0..15 -> generic.
constexpr std::uint32_t arm32_dwarf[16] = {3, 4, 5, 6, 7, 8, 9, 1, 10, 11, 12, 13, 14, 2, 15, 0};

constexpr const char* arm64_names[34] = {"pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",
                                         "x6",  "x7",  "x8",  "x9",  "x10", "x11", "x12", "x13", "x14",
                                         "x15", "x16", "x17", "x18", "x19", "x20", "x21", "x22", "x23",
                                         "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr"};

// This host's addresses are 48 bits wide; higher bits of a code or stack pointer on arm64 are
// authentication codes or tags.
constexpr std::uint64_t arm64_pointer_mask = 0xFFFFFFFFFFFFull;

std::uint64_t* arm64_slot(lvcrash_arm_state64* s, lvcrash_regnum_t n) {
    switch (n) {
        case 0: return &s->pc;
        case 1: return &s->fp;
        case 2: return &s->sp;
        case 32: return &s->lr;
        default: return &s->x[n - 3];
    }
}

[[noreturn]] void bad_register() { std::abort(); }

}  // namespace

lvcrash_error_t lvcrash_async_thread_state_init(lvcrash_async_thread_state* state, std::uint32_t cpu_type) {
    lvcrash_async_memset(state, 0, sizeof *state);
    state->stack_direction = LVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    switch (cpu_type) {
        case LVCRASH_CPU_TYPE_ARM:
            state->thread_state.flavor = LVCRASH_ARM_THREAD_STATE32;
            state->thread_state.count = 17;
            state->greg_size = 4;
            return LVCRASH_ERROR_NONE;
        case LVCRASH_CPU_TYPE_ARM64:
            state->thread_state.flavor = LVCRASH_ARM_THREAD_STATE64;
            state->thread_state.count = 68;
            state->greg_size = 8;
            return LVCRASH_ERROR_NONE;
        case LVCRASH_CPU_TYPE_X86_64:
            state->thread_state.flavor = LVCRASH_X86_THREAD_STATE64;
            state->thread_state.count = 42;
            state->greg_size = 8;
            return LVCRASH_ERROR_NONE;
        default: return LVCRASH_ERROR_NOT_SUPPORTED;
    }
}

lvcrash_error_t lvcrash_async_thread_state_mcontext_init(lvcrash_async_thread_state* state, const void* mcontext) {
#if defined(__x86_64__)
    lvcrash_async_thread_state_init(state, LVCRASH_CPU_TYPE_X86_64);
    const auto* mc = static_cast<const mcontext_t*>(mcontext);
    std::uint64_t* r = state->thread_state.uts.ts_x86_64.r;
    const auto g = [mc](int i) { return static_cast<std::uint64_t>(mc->gregs[i]); };
    r[0] = g(REG_RAX);
    r[1] = g(REG_RBX);
    r[2] = g(REG_RCX);
    r[3] = g(REG_RDX);
    r[4] = g(REG_RDI);
    r[5] = g(REG_RSI);
    r[6] = g(REG_RBP);
    r[7] = g(REG_RSP);
    r[8] = g(REG_R8);
    r[9] = g(REG_R9);
    r[10] = g(REG_R10);
    r[11] = g(REG_R11);
    r[12] = g(REG_R12);
    r[13] = g(REG_R13);
    r[14] = g(REG_R14);
    r[15] = g(REG_R15);
    r[16] = g(REG_RIP);
    r[17] = g(REG_EFL);
    const std::uint64_t csgsfs = g(REG_CSGSFS);
    r[18] = csgsfs & 0xFFFF;
    r[19] = (csgsfs >> 32) & 0xFFFF;
    r[20] = (csgsfs >> 16) & 0xFFFF;
    state->valid_regs = ~0ull;
    return LVCRASH_ERROR_NONE;
#elif defined(__aarch64__)
    lvcrash_async_thread_state_init(state, LVCRASH_CPU_TYPE_ARM64);
    const auto* mc = static_cast<const mcontext_t*>(mcontext);
    lvcrash_arm_state64* s = &state->thread_state.uts.ts_64;
    for (int i = 0; i < 29; ++i) s->x[i] = mc->regs[i];
    s->fp = mc->regs[29];
    s->lr = mc->regs[30];
    s->sp = mc->sp;
    s->pc = mc->pc;
    s->cpsr = static_cast<std::uint32_t>(mc->pstate);
    state->valid_regs = ~0ull;
    return LVCRASH_ERROR_NONE;
#else
    (void)state;
    (void)mcontext;
    return LVCRASH_ERROR_NOT_SUPPORTED;
#endif
}

lvcrash_error_t lvcrash_async_thread_state_mach_thread_init(lvcrash_async_thread_state* state, thread_t thread) {
    ucontext_t context;
    if (platform::darwin::thread_get_state(thread, &context) != platform::darwin::kern_success)
        return LVCRASH_ERROR_INTERNAL;
    return lvcrash_async_thread_state_mcontext_init(state, &context.uc_mcontext);
}

// Called by the assembly capture routine with the caller's registers in Mach's block order.
extern "C" lvcrash_error_t lvcrash_async_thread_state_current_finish(const std::uint64_t* block,
                                                                     lvcrash_async_thread_state_current_callback cb,
                                                                     void* context) {
    lvcrash_async_thread_state state;
#if defined(__x86_64__)
    lvcrash_async_thread_state_init(&state, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_memcpy(state.thread_state.uts.ts_x86_64.r, block, sizeof state.thread_state.uts.ts_x86_64.r);
#else
    lvcrash_async_thread_state_init(&state, LVCRASH_CPU_TYPE_ARM64);
    lvcrash_async_memcpy(&state.thread_state.uts.ts_64, block, 33 * 8);
#endif
    state.valid_regs = ~0ull;
    return cb(&state, context);
}

void lvcrash_async_thread_state_copy(lvcrash_async_thread_state* dest, const lvcrash_async_thread_state* source) {
    lvcrash_async_memcpy(dest, source, sizeof *dest);
}

std::uint32_t lvcrash_async_thread_state_get_reg_count(const lvcrash_async_thread_state* state) {
    switch (arch_of(state)) {
        case Arch::arm32: return 17;
        case Arch::x86_64: return 21;
        default: return 34;
    }
}

bool lvcrash_async_thread_state_has_reg(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum) {
    return regnum < 64 && (state->valid_regs & (1ull << regnum)) != 0;
}

void lvcrash_async_thread_state_clear_reg(lvcrash_async_thread_state* state, lvcrash_regnum_t regnum) {
    if (regnum < 64) state->valid_regs &= ~(1ull << regnum);
}

void lvcrash_async_thread_state_clear_all_regs(lvcrash_async_thread_state* state) { state->valid_regs = 0; }

void lvcrash_async_thread_state_clear_volatile_regs(lvcrash_async_thread_state* state) {
    std::uint64_t keep = 0;
    switch (arch_of(state)) {
        case Arch::arm32:
            // r4 r5 r6 r7 r8 r10 r11
            keep = (1ull << 7) | (1ull << 8) | (1ull << 9) | (1ull << 1) | (1ull << 10) | (1ull << 12) | (1ull << 13);
            break;
        case Arch::arm64:
            for (lvcrash_regnum_t n = LVCRASH_ARM64_X19; n <= LVCRASH_ARM64_X19 + 9; ++n) keep |= 1ull << n;
            keep |= 1ull << LVCRASH_REG_FP;
            break;
        case Arch::x86_64:
            keep = (1ull << LVCRASH_X86_64_RBX) | (1ull << LVCRASH_REG_FP);
            for (lvcrash_regnum_t n = LVCRASH_X86_64_R12; n <= LVCRASH_X86_64_R15; ++n) keep |= 1ull << n;
            break;
    }
    state->valid_regs &= keep;
}

std::uint64_t lvcrash_async_thread_state_get_reg(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum) {
    if (regnum >= lvcrash_async_thread_state_get_reg_count(state)) bad_register();
    switch (arch_of(state)) {
        case Arch::arm32: {
            std::uint32_t word;
            lvcrash_async_memcpy(&word, reinterpret_cast<const char*>(&state->thread_state.uts.ts_32) + 4 * arm32_slot[regnum], 4);
            return word;
        }
        case Arch::x86_64: return state->thread_state.uts.ts_x86_64.r[x86_64_slot[regnum]];
        case Arch::arm64: {
            auto* s = const_cast<lvcrash_arm_state64*>(&state->thread_state.uts.ts_64);
            if (regnum == LVCRASH_ARM64_CPSR) return s->cpsr;
            const std::uint64_t value = *arm64_slot(s, regnum);
            if (regnum <= LVCRASH_REG_SP || regnum == LVCRASH_ARM64_LR) return value & arm64_pointer_mask;
            return value;
        }
    }
    return 0;
}

void lvcrash_async_thread_state_set_reg(lvcrash_async_thread_state* state, lvcrash_regnum_t regnum,
                                        std::uint64_t value) {
    if (regnum >= lvcrash_async_thread_state_get_reg_count(state)) bad_register();
    switch (arch_of(state)) {
        case Arch::arm32: {
            const std::uint32_t word = static_cast<std::uint32_t>(value);
            lvcrash_async_memcpy(reinterpret_cast<char*>(&state->thread_state.uts.ts_32) + 4 * arm32_slot[regnum], &word, 4);
            break;
        }
        case Arch::x86_64: state->thread_state.uts.ts_x86_64.r[x86_64_slot[regnum]] = value; break;
        case Arch::arm64:
            if (regnum == LVCRASH_ARM64_CPSR)
                state->thread_state.uts.ts_64.cpsr = static_cast<std::uint32_t>(value);
            else
                *arm64_slot(&state->thread_state.uts.ts_64, regnum) = value;
            break;
    }
    state->valid_regs |= 1ull << regnum;
}

const char* lvcrash_async_thread_state_get_reg_name(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum) {
    if (regnum >= lvcrash_async_thread_state_get_reg_count(state)) bad_register();
    switch (arch_of(state)) {
        case Arch::arm32: return arm32_names[regnum];
        case Arch::x86_64: return x86_64_names[regnum];
        default: return arm64_names[regnum];
    }
}

std::uint32_t lvcrash_async_thread_state_get_stack_direction(const lvcrash_async_thread_state* state) {
    return state->stack_direction;
}

std::uint32_t lvcrash_async_thread_state_get_greg_size(const lvcrash_async_thread_state* state) {
    return state->greg_size;
}

bool lvcrash_async_thread_state_map_dwarf_to_reg(const lvcrash_async_thread_state* state, std::uint64_t dwarf_reg,
                                                 lvcrash_regnum_t* regnum) {
    switch (arch_of(state)) {
        case Arch::arm32:
            if (dwarf_reg >= 16) return false;
            *regnum = arm32_dwarf[dwarf_reg];
            return true;
        case Arch::x86_64:
            if (dwarf_reg >= 17) return false;
            *regnum = x86_64_dwarf[dwarf_reg];
            return true;
        case Arch::arm64:
            if (dwarf_reg >= 32) return false;
            if (dwarf_reg <= 28) *regnum = static_cast<lvcrash_regnum_t>(dwarf_reg) + 3;
            else if (dwarf_reg == 29) *regnum = LVCRASH_REG_FP;
            else if (dwarf_reg == 30) *regnum = LVCRASH_ARM64_LR;
            else *regnum = LVCRASH_REG_SP;
            return true;
    }
    return false;
}

bool lvcrash_async_thread_state_map_reg_to_dwarf(const lvcrash_async_thread_state* state, lvcrash_regnum_t regnum,
                                                 std::uint64_t* dwarf_reg) {
    for (std::uint64_t d = 0; d < 32; ++d) {
        lvcrash_regnum_t n;
        if (lvcrash_async_thread_state_map_dwarf_to_reg(state, d, &n) && n == regnum) {
            *dwarf_reg = d;
            return true;
        }
    }
    return false;
}

std::uint32_t lvcrash_async_thread_state_cpu_type(const lvcrash_async_thread_state* state) {
    switch (arch_of(state)) {
        case Arch::arm32: return LVCRASH_CPU_TYPE_ARM;
        case Arch::x86_64: return LVCRASH_CPU_TYPE_X86_64;
        default: return LVCRASH_CPU_TYPE_ARM64;
    }
}

}  // namespace lvcrash
