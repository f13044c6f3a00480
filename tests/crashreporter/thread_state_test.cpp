// Register sets: generic numbering per architecture, masks, callee-saved registers, DWARF pairs,
// and states taken from a real machine context.
#include <ucontext.h>

#include <gtest/gtest.h>

#include "crashreporter/thread_state.hpp"

using namespace lvcrash;

namespace {

TEST(ThreadState, ArchitecturesAndRegisterTables) {
    struct Case {
        std::uint32_t cpu;
        std::uint32_t count;
        std::uint32_t word;
        std::vector<const char*> names;  // generic 0, 1, 2, 3 and the last
        std::vector<lvcrash_regnum_t> callee_saved;
        std::vector<std::pair<std::uint64_t, lvcrash_regnum_t>> dwarf;  // dwarf -> generic
        std::vector<std::uint64_t> no_generic;                          // dwarf numbers without a pair
        std::vector<lvcrash_regnum_t> no_dwarf;                         // generic numbers without a pair
    } cases[] = {
        {LVCRASH_CPU_TYPE_ARM, 17, 4, {"pc", "r7", "sp", "r0", "cpsr"}, {7, 8, 9, 1, 10, 12, 13},
         {{0, 3}, {7, 1}, {13, 2}, {14, 15}, {15, 0}}, {16}, {16}},
        {LVCRASH_CPU_TYPE_ARM64, 34, 8, {"pc", "fp", "sp", "x0", "cpsr"},
         {22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 1},
         {{0, 3}, {19, 22}, {28, 31}, {29, 1}, {30, 32}, {31, 2}}, {32, 33}, {0, 33}},
        {LVCRASH_CPU_TYPE_X86_64, 21, 8, {"rip", "rbp", "rsp", "rax", "gs"}, {4, 1, 13, 14, 15, 16},
         {{0, 3}, {1, 6}, {2, 5}, {3, 4}, {4, 8}, {5, 7}, {6, 1}, {7, 2}, {8, 9}, {15, 16}, {16, 0}}, {17, 49}, {17, 18}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cpu);
        lvcrash_async_thread_state s;
        ASSERT_EQ(lvcrash_async_thread_state_init(&s, c.cpu), LVCRASH_ERROR_NONE);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg_count(&s), c.count);
        EXPECT_EQ(lvcrash_async_thread_state_get_greg_size(&s), c.word);
        EXPECT_EQ(lvcrash_async_thread_state_get_stack_direction(&s), LVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN);
        EXPECT_EQ(lvcrash_async_thread_state_cpu_type(&s), c.cpu);
        EXPECT_STREQ(lvcrash_async_thread_state_get_reg_name(&s, 0), c.names[0]);
        EXPECT_STREQ(lvcrash_async_thread_state_get_reg_name(&s, 1), c.names[1]);
        EXPECT_STREQ(lvcrash_async_thread_state_get_reg_name(&s, 2), c.names[2]);
        EXPECT_STREQ(lvcrash_async_thread_state_get_reg_name(&s, 3), c.names[3]);
        EXPECT_STREQ(lvcrash_async_thread_state_get_reg_name(&s, c.count - 1), c.names[4]);
        // Every register set and read back, each with its own value; the mask follows.
        EXPECT_EQ(s.valid_regs, 0u);
        for (lvcrash_regnum_t n = 0; n < c.count; ++n) lvcrash_async_thread_state_set_reg(&s, n, 0x100 + n);
        for (lvcrash_regnum_t n = 0; n < c.count; ++n) {
            EXPECT_TRUE(lvcrash_async_thread_state_has_reg(&s, n));
            EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, n), 0x100u + n) << n;
        }
        lvcrash_async_thread_state_clear_volatile_regs(&s);
        std::uint64_t expected = 0;
        for (auto n : c.callee_saved) expected |= 1ull << n;
        EXPECT_EQ(s.valid_regs, expected);
        lvcrash_async_thread_state_clear_reg(&s, c.callee_saved[0]);
        EXPECT_FALSE(lvcrash_async_thread_state_has_reg(&s, c.callee_saved[0]));
        lvcrash_async_thread_state_clear_all_regs(&s);
        EXPECT_EQ(s.valid_regs, 0u);
        for (auto [dwarf, generic] : c.dwarf) {
            lvcrash_regnum_t n = 999;
            EXPECT_TRUE(lvcrash_async_thread_state_map_dwarf_to_reg(&s, dwarf, &n));
            EXPECT_EQ(n, generic) << "dwarf " << dwarf;
            std::uint64_t back = 999;
            EXPECT_TRUE(lvcrash_async_thread_state_map_reg_to_dwarf(&s, generic, &back));
            EXPECT_EQ(back, dwarf);
        }
        for (auto dwarf : c.no_generic) {
            lvcrash_regnum_t n;
            EXPECT_FALSE(lvcrash_async_thread_state_map_dwarf_to_reg(&s, dwarf, &n)) << dwarf;
        }
        for (auto generic : c.no_dwarf) {
            std::uint64_t d;
            EXPECT_FALSE(lvcrash_async_thread_state_map_reg_to_dwarf(&s, generic, &d)) << generic;
        }
    }
    lvcrash_async_thread_state s;
    EXPECT_EQ(lvcrash_async_thread_state_init(&s, 18), LVCRASH_ERROR_NOT_SUPPORTED);
}

TEST(ThreadState, PointerMasksAndWordWidths) {
    lvcrash_async_thread_state arm64;
    lvcrash_async_thread_state_init(&arm64, LVCRASH_CPU_TYPE_ARM64);
    const std::uint64_t tagged = 0x0012000100001234ull;
    for (lvcrash_regnum_t n : {LVCRASH_REG_IP, LVCRASH_REG_FP, LVCRASH_REG_SP, LVCRASH_ARM64_LR}) {
        lvcrash_async_thread_state_set_reg(&arm64, n, tagged);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&arm64, n), 0x000100001234ull) << n;  // 48-bit addresses here
    }
    lvcrash_async_thread_state_set_reg(&arm64, LVCRASH_ARM64_X0 + 5, tagged);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&arm64, LVCRASH_ARM64_X0 + 5), tagged);
    lvcrash_async_thread_state_set_reg(&arm64, LVCRASH_ARM64_CPSR, 0x1'6000'0000ull);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&arm64, LVCRASH_ARM64_CPSR), 0x6000'0000u);

    lvcrash_async_thread_state x86;
    lvcrash_async_thread_state_init(&x86, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_thread_state_set_reg(&x86, LVCRASH_REG_IP, 0xFFFF800000001234ull);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&x86, LVCRASH_REG_IP), 0xFFFF800000001234ull);  // no mask

    lvcrash_async_thread_state arm;
    lvcrash_async_thread_state_init(&arm, LVCRASH_CPU_TYPE_ARM);
    lvcrash_async_thread_state_set_reg(&arm, 3, 0x1'0000'0005ull);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&arm, 3), 5u);
}

TEST(ThreadState, FromAMachineContextEveryRegisterIsAvailable) {
    ucontext_t context;
    ASSERT_EQ(getcontext(&context), 0);
    context.uc_mcontext.gregs[REG_R11] = 0;  // left zero, still reported available
    lvcrash_async_thread_state s;
    ASSERT_EQ(lvcrash_async_thread_state_mcontext_init(&s, &context.uc_mcontext), LVCRASH_ERROR_NONE);
    for (lvcrash_regnum_t n = 0; n < lvcrash_async_thread_state_get_reg_count(&s); ++n)
        EXPECT_TRUE(lvcrash_async_thread_state_has_reg(&s, n)) << n;
#if defined(__x86_64__)
    const auto g = [&](int r) { return static_cast<std::uint64_t>(context.uc_mcontext.gregs[r]); };
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, LVCRASH_REG_IP), g(REG_RIP));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, LVCRASH_REG_SP), g(REG_RSP));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, LVCRASH_REG_FP), g(REG_RBP));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, LVCRASH_X86_64_RBX), g(REG_RBX));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, 7), g(REG_RDI));
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, 12), 0u);  // r11
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&s, LVCRASH_X86_64_R15), g(REG_R15));
#endif
}

}  // namespace
