// End-to-end stack walks: the state captured at a known point walks, frame by frame, through
// real code of every shape (our own, the loaded Mach-O fixtures, libc and libstdc++).
#include <csignal>
#include <execinfo.h>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/unwind_chain.hpp"
#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;
using unwind_support::FedList;

extern "C" {
long unwind_chain_enter(void* fn, long value, const void* steps, long rbx_value, long r12_value);
extern char unwind_chain_enter_end[];
lvcrash_error_t unwind_capture_known(lvcrash_async_thread_state_current_callback callback, void* context);
extern char unwind_capture_known_return[];
extern std::uint64_t unwind_capture_expect[3];  // sp, pc, rbp at the capture call
}

namespace {

#if defined(__x86_64__)

TEST(ThreadStateCapture, RecordsTheCallerRightAfterTheCallReturns) {
    lvcrash_async_thread_state captured{};
    ASSERT_EQ(unwind_capture_known(
                  [](lvcrash_async_thread_state* state, void* out) {
                      *static_cast<lvcrash_async_thread_state*>(out) = *state;
                      return LVCRASH_ERROR_NONE;
                  },
                  &captured),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&captured, LVCRASH_REG_IP),
              reinterpret_cast<std::uint64_t>(unwind_capture_known_return));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&captured, LVCRASH_REG_SP), unwind_capture_expect[0]);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&captured, LVCRASH_REG_FP), unwind_capture_expect[2]);
    const std::uint64_t expected[5] = {0x1111111111111111, 0x2222222222222222, 0x3333333333333333,
                                       0x4444444444444444, 0x5555555555555555};
    const lvcrash_regnum_t regs[5] = {LVCRASH_X86_64_RBX, 13, 14, 15, 16};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&captured, regs[i]), expected[i])
            << lvcrash_async_thread_state_get_reg_name(&captured, regs[i]);
    }
    EXPECT_EQ(captured.valid_regs & 0x1FFFFF, 0x1FFFFFu);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg_count(&captured), 21u);
}

// Our walk from the capture point against backtrace() from the same function: both start in it
// (at different calls); from its caller on they must agree frame for frame to the bottom of the
// stack. A sanitizer's interceptor may add its own frame to backtrace()'s list: skip it.
void expect_same_frames(const unwind_support::Walk& walk, void* const* bt, int bt_count) {
    const auto& steps = walk.steps;
    ASSERT_GE(steps.size(), 2u);
    int shift = -1;
    for (int j = 1; j <= 2 && j < bt_count; ++j)
        if (reinterpret_cast<std::uint64_t>(bt[j]) == steps[1].pc) shift = j - 1;
    ASSERT_GE(shift, 0) << "our caller frame is not among backtrace()'s first frames";
    ASSERT_EQ(steps.size(), static_cast<std::size_t>(bt_count - shift));
    for (int i = 1; i + shift < bt_count; ++i)
        EXPECT_EQ(steps[i].pc, reinterpret_cast<std::uint64_t>(bt[i + shift])) << "frame " << i;
}

// ---- ELF: optimised frameless code through qsort and std::call_once, against backtrace() ----

struct ElfProbe {
    void* backtrace_pcs[64];
    int backtrace_count = 0;
    unwind_support::Walk walk;
};

lvcrash_error_t walk_here(lvcrash_async_thread_state* state, void* raw) {
    static_cast<ElfProbe*>(raw)->walk = unwind_support::walk(*state, nullptr, 0);
    return LVCRASH_ERROR_NONE;
}

__attribute__((noinline)) void elf_probe(void* raw) {
    auto* probe = static_cast<ElfProbe*>(raw);
    probe->backtrace_count = backtrace(probe->backtrace_pcs, 64);
    lvcrash_async_thread_state_current(walk_here, probe);
    asm volatile("" ::: "memory");
}

TEST(StackWalk, ElfFramesThroughLibcAndLibstdcxxMatchBacktrace) {
    FedList list;
    void* warm[4];
    backtrace(warm, 4);  // the first call loads the unwinder library
    ElfProbe probe;
    ASSERT_EQ(unwind_chain::run(elf_probe, &probe), 1);
    ASSERT_GT(probe.backtrace_count, 10);
    expect_same_frames(probe.walk, probe.backtrace_pcs, probe.backtrace_count);
    // _start marks its return address undefined: the walk ends there instead of repeating it.
    EXPECT_EQ(probe.walk.end, LVCRASH_FRAME_NO_FRAME);
}

// ---- Through a signal frame: handler <- __restore_rt ('S' CIE, rules by expressions) ----

ElfProbe* signal_probe = nullptr;

void usr1_handler(int) {
    signal_probe->backtrace_count = backtrace(signal_probe->backtrace_pcs, 64);
    lvcrash_async_thread_state_current(walk_here, signal_probe);
    asm volatile("" ::: "memory");
}

TEST(StackWalk, ThroughASignalHandlerMatchesBacktrace) {
    FedList list;
    void* warm[4];
    backtrace(warm, 4);
    ElfProbe probe;
    signal_probe = &probe;
    struct sigaction action {}, old {};
    action.sa_handler = usr1_handler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &old, nullptr);
    ASSERT_GT(probe.backtrace_count, 4);
    expect_same_frames(probe.walk, probe.backtrace_pcs, probe.backtrace_count);
    const auto& steps = probe.walk.steps;
    ASSERT_GE(steps.size(), 4u);
    // The frame the signal interrupted is looked up at its own pc (flagged by the 'S' CIE).
    EXPECT_NE(steps[2].state.frame_flags & LVCRASH_ASYNC_THREAD_STATE_PC_EXACT, 0u);
    EXPECT_EQ(steps[3].state.frame_flags & LVCRASH_ASYNC_THREAD_STATE_PC_EXACT, 0u);
}

// ---- Mach-O: test -> DWARF-only -> dynamic alloca -> frame -> frameless -> callback ----

struct ChainStep {
    long (*fn)(long, const ChainStep*);
};

struct MachOProbe {
    unwind_support::Walk walk;
    unwind_support::Walk walk_without_fp;
};
MachOProbe* macho_probe = nullptr;

lvcrash_error_t walk_chain(lvcrash_async_thread_state* state, void*) {
    macho_probe->walk = unwind_support::walk(*state, nullptr, 0, 12);
    static constexpr lvcrash_frame_reader_t tables_only[] = {lvcrash_frame_reader_compact_unwind,
                                                             lvcrash_frame_reader_dwarf};
    macho_probe->walk_without_fp = unwind_support::walk(*state, tables_only, 2, 12);
    return LVCRASH_ERROR_NONE;
}

__attribute__((noinline)) long chain_callback(long value, const ChainStep*) {
    lvcrash_async_thread_state_current(walk_chain, nullptr);
    asm volatile("" ::: "memory");
    return value;
}

void check_chain(const std::string& fixture) {
    SCOPED_TRACE(fixture);
    FedList list;
    auto image = platform::darwin::load_macho_image(fixtures::macho_path(fixture), {true, 7, {}});
    const auto symbols = fixtures::nm_listing(fixture);
    const auto name_at = [&](std::uint64_t pc) {
        std::string name = "?";
        const std::uint64_t link = pc - 1 - static_cast<std::uint64_t>(image->slide());
        for (const auto& s : symbols)
            if (fixtures::is_function(s) && s.value <= link) name = s.name;
        return name;
    };
    using Fn = long (*)(long, const ChainStep*);
    const ChainStep steps[] = {{reinterpret_cast<Fn>(image->symbol("_fixture_chain_alloca"))},
                               {reinterpret_cast<Fn>(image->symbol("_fixture_chain_frame"))},
                               {reinterpret_cast<Fn>(image->symbol("_fixture_chain_frameless"))},
                               {chain_callback}};
    MachOProbe probe;
    macho_probe = &probe;
    const long rbx_value = 0x0123456789ABCDEF, r12_value = 0x0FEDCBA987654321;
    unwind_chain_enter(reinterpret_cast<void*>(image->symbol("_fixture_chain_dwarf")), 5, steps, rbx_value, r12_value);

    const auto& walk = probe.walk.steps;
    ASSERT_GE(walk.size(), 7u);
    // Frame 0 is the callback; then the fixture's chain, then our entry point.
    const char* expected[] = {"_fixture_chain_frameless", "_fixture_chain_frame", "_fixture_chain_alloca",
                              "_fixture_chain_dwarf"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(name_at(walk[i + 1].pc), expected[i]) << "frame " << i + 1;
    const auto enter = reinterpret_cast<std::uint64_t>(&unwind_chain_enter);
    const auto enter_end = reinterpret_cast<std::uint64_t>(unwind_chain_enter_end);
    EXPECT_TRUE(walk[5].pc > enter && walk[5].pc <= enter_end) << std::hex << walk[5].pc;
    // Which reader alone unwinds each frame: the callback (ELF) and the .s function by DWARF,
    // the compiled fixture functions by compact unwind.
    const int compact = 0, dwarf = 1;
    EXPECT_EQ(walk[1].reader, dwarf);
    EXPECT_EQ(walk[2].reader, compact);
    EXPECT_EQ(walk[3].reader, compact);
    EXPECT_EQ(walk[4].reader, compact);
    EXPECT_EQ(walk[5].reader, dwarf);
    // The DWARF-only function's saved rbx (by expression) and r12 come back as the entry put them.
    ASSERT_TRUE(lvcrash_async_thread_state_has_reg(&walk[5].state, LVCRASH_X86_64_RBX));
    ASSERT_TRUE(lvcrash_async_thread_state_has_reg(&walk[5].state, LVCRASH_X86_64_R12));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&walk[5].state, LVCRASH_X86_64_RBX), static_cast<std::uint64_t>(rbx_value));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&walk[5].state, LVCRASH_X86_64_R12), static_cast<std::uint64_t>(r12_value));
    // Without the frame-pointer reader the walk is the same.
    const auto& tables = probe.walk_without_fp.steps;
    ASSERT_GE(tables.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(tables[i].pc, walk[i].pc) << "frame " << i;
}

TEST(StackWalk, MachOChainThroughEveryFrameShape) {
    check_chain("fixture_x86_64");
    check_chain("fixture_x86_64_nofp");
}

#endif

}  // namespace
