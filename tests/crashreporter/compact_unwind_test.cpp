// Compact unwind: encodings, permutations, table lookups on hand-made sections, application to
// synthetic stacks, and the arm64 fixture's real table walked over stacks laid out per its
// prologues (the image is mapped, not run).
#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/compact_unwind.hpp"
#include "crashreporter/fixture_support.hpp"
#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;

namespace {

const task_t self = platform::darwin::task_self();

TEST(CompactUnwind, PermutationsRoundTrip) {
    for (std::uint32_t count = 1; count <= 6; ++count) {
        std::vector<std::uint32_t> pool{1, 2, 3, 4, 5, 6};
        std::set<std::vector<std::uint32_t>> seen;
        // Every ordered choice of count codes from 1..6.
        do {
            std::vector<std::uint32_t> codes(pool.begin(), pool.begin() + count);
            if (!seen.insert(codes).second) continue;
            const std::uint32_t p = lvcrash_async_cfe_register_encode(codes.data(), count);
            EXPECT_LT(p, 1024u);
            std::uint32_t back[6] = {};
            ASSERT_EQ(lvcrash_async_cfe_register_decode(p, count, back), LVCRASH_ERROR_NONE);
            EXPECT_TRUE(std::equal(codes.begin(), codes.end(), back)) << "count " << count << " p " << p;
        } while (std::next_permutation(pool.begin(), pool.end()));
        static const std::size_t choices[7] = {0, 6, 30, 120, 360, 720, 720};
        EXPECT_EQ(seen.size(), choices[count]);
    }
    std::uint32_t regs[7];
    EXPECT_EQ(lvcrash_async_cfe_register_decode(0, 7, regs), LVCRASH_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(lvcrash_async_cfe_register_decode(0, 0, regs), LVCRASH_ERROR_NONE);
}

TEST(CompactUnwind, EncodingsDecode) {
    constexpr std::uint32_t none = LVCRASH_ASYNC_CFE_REG_NONE;
    struct Case {
        const char* what;
        std::uint32_t cpu;
        std::uint32_t encoding;
        lvcrash_error_t error;
        lvcrash_async_cfe_entry_type_t type;
        std::int64_t stack_offset;
        std::uint32_t stack_adjust;
        std::uint32_t ra;
        std::vector<std::uint32_t> registers;
    } cases[] = {
        {"arm64 frameless 16 bytes", LVCRASH_CPU_TYPE_ARM64, 0x02001000, 0, LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD,
         16, 0, LVCRASH_ARM64_LR, {}},
        {"arm64 frame, pairs 0x11", LVCRASH_CPU_TYPE_ARM64, 0x04000011, 0, LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR, -32,
         0, none, {31, 30, 23, 22}},
        {"arm64 DWARF", LVCRASH_CPU_TYPE_ARM64, 0x03000014, 0, LVCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF, 0x14, 0, none, {}},
        {"arm64 none", LVCRASH_CPU_TYPE_ARM64, 0, 0, LVCRASH_ASYNC_CFE_ENTRY_TYPE_NONE, 0, 0, none, {}},
        {"arm64 mode 1", LVCRASH_CPU_TYPE_ARM64, 0x01000000, LVCRASH_ERROR_NOT_SUPPORTED, {}, 0, 0, none, {}},
        {"mode 5", LVCRASH_CPU_TYPE_X86_64, 0x05000000, LVCRASH_ERROR_NOT_SUPPORTED, {}, 0, 0, none, {}},
        {"x86-64 frame, rbx r12 saved 2 words down", LVCRASH_CPU_TYPE_X86_64, 0x01020011, 0,
         LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR, -16, 0, none, {4, 13}},
        {"x86-64 frame, register code 7", LVCRASH_CPU_TYPE_X86_64, 0x01010007, LVCRASH_ERROR_INVALID_ARGUMENT, {}, 0, 0,
         none, {}},
        {"x86-64 frameless 48 bytes, rbx", LVCRASH_CPU_TYPE_X86_64, 0x02060400, 0,
         LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD, 48, 0, none, {4}},
        {"x86-64 frameless indirect", LVCRASH_CPU_TYPE_X86_64, 0x03142800, 0,
         LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT, 0x14, 8, none, {4, 13}},
        {"x86-64 frameless, 7 registers", LVCRASH_CPU_TYPE_X86_64, 0x02061C00, LVCRASH_ERROR_INVALID_ARGUMENT, {}, 0, 0,
         none, {}},
        {"x86-64 DWARF", LVCRASH_CPU_TYPE_X86_64, 0x04000048, 0, LVCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF, 0x48, 0, none, {}},
        {"x86 frameless uses 4-byte words", LVCRASH_CPU_TYPE_X86, 0x02060400, 0,
         LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD, 24, 0, none, {6}},
    };
    for (const auto& c : cases) {
        lvcrash_async_cfe_entry e;
        ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, c.cpu, c.encoding), c.error) << c.what;
        if (c.error != LVCRASH_ERROR_NONE) continue;
        EXPECT_EQ(lvcrash_async_cfe_entry_type(&e), c.type) << c.what;
        EXPECT_EQ(lvcrash_async_cfe_entry_stack_offset(&e), c.stack_offset) << c.what;
        EXPECT_EQ(lvcrash_async_cfe_entry_stack_adjust(&e), c.stack_adjust) << c.what;
        EXPECT_EQ(lvcrash_async_cfe_entry_return_address_register(&e), c.ra) << c.what;
        std::vector<std::uint32_t> regs(lvcrash_async_cfe_entry_register_count(&e));
        lvcrash_async_cfe_entry_register_list(&e, regs.data(), static_cast<std::uint32_t>(regs.size()));
        EXPECT_EQ(regs, c.registers) << c.what;
        lvcrash_async_cfe_entry_free(&e);
    }
}

TEST(CompactUnwind, ApplyToSyntheticStacks) {
    // arm64 frame with pairs 0x11: x28, x27, x20, x19 from fp - 32 .. fp - 8.
    alignas(16) std::uint64_t stack[8] = {0x28, 0x27, 0x20, 0x19, 0xCA11E4F0, 0xBEEF, 0, 0};
    const auto fp = reinterpret_cast<std::uint64_t>(&stack[4]);
    lvcrash_async_thread_state arm;
    lvcrash_async_thread_state_init(&arm, LVCRASH_CPU_TYPE_ARM64);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_FP, fp);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_IP, 0x4000);
    lvcrash_async_cfe_entry e;
    ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, LVCRASH_CPU_TYPE_ARM64, 0x04000011), LVCRASH_ERROR_NONE);
    lvcrash_async_thread_state next;
    ASSERT_EQ(lvcrash_async_cfe_entry_apply(self, 0x4000, &arm, &e, &next), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0xBEEFu);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_FP), 0xCA11E4F0u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), fp + 16);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_ARM64_X0 + 28), 0x28u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_ARM64_X0 + 27), 0x27u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_ARM64_X0 + 20), 0x20u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_ARM64_X0 + 19), 0x19u);
    // Frameless arm64: pc from lr, which must be available.
    ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, LVCRASH_CPU_TYPE_ARM64, 0x02001000), LVCRASH_ERROR_NONE);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_SP, fp);
    EXPECT_EQ(lvcrash_async_cfe_entry_apply(self, 0x4000, &arm, &e, &next), LVCRASH_ERROR_NOT_FOUND);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_ARM64_LR, 0x4444);
    ASSERT_EQ(lvcrash_async_cfe_entry_apply(self, 0x4000, &arm, &e, &next), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x4444u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), fp + 16);

    // x86-64 frameless, 48 bytes with rbx pushed below the return address.
    alignas(16) std::uint64_t x[6] = {0, 0, 0, 0, 0xB0B, 0x7777};
    const auto sp = reinterpret_cast<std::uint64_t>(&x[0]);
    lvcrash_async_thread_state xs;
    lvcrash_async_thread_state_init(&xs, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_thread_state_set_reg(&xs, LVCRASH_REG_SP, sp);
    lvcrash_async_thread_state_set_reg(&xs, LVCRASH_REG_IP, 0x9000);
    lvcrash_async_thread_state_set_reg(&xs, LVCRASH_X86_64_RAX, 1);
    ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, LVCRASH_CPU_TYPE_X86_64, 0x02060400), LVCRASH_ERROR_NONE);
    ASSERT_EQ(lvcrash_async_cfe_entry_apply(self, 0x9000, &xs, &e, &next), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x7777u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), sp + 48);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_X86_64_RBX), 0xB0Bu);
    EXPECT_FALSE(lvcrash_async_thread_state_has_reg(&next, LVCRASH_X86_64_RAX));
    // Indirect: the stack size is the 32-bit immediate at function + 2, plus the adjust.
    alignas(4) std::uint8_t code[8] = {0x48, 0x81, 40, 0, 0, 0, 0, 0};
    ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, LVCRASH_CPU_TYPE_X86_64, 0x03022400), LVCRASH_ERROR_NONE);
    ASSERT_EQ(lvcrash_async_cfe_entry_apply(self, reinterpret_cast<std::uint64_t>(code), &xs, &e, &next),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), sp + 48);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x7777u);
    // DWARF and none entries are not applied here.
    ASSERT_EQ(lvcrash_async_cfe_entry_init(&e, LVCRASH_CPU_TYPE_X86_64, 0x04000048), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_cfe_entry_apply(self, 0x9000, &xs, &e, &next), LVCRASH_ERROR_NOT_SUPPORTED);
}

// ---- Lookups on a hand-made __unwind_info ----

using Words = std::vector<std::uint32_t>;

struct UnwindInfo {
    std::vector<std::uint8_t> bytes;
    void u32(std::size_t at, std::uint32_t v) {
        if (bytes.size() < at + 4) bytes.resize(at + 4);
        std::memcpy(bytes.data() + at, &v, 4);
    }
    void u16(std::size_t at, std::uint16_t v) {
        if (bytes.size() < at + 2) bytes.resize(at + 2);
        std::memcpy(bytes.data() + at, &v, 2);
    }
};

// Common encodings {0xC0, 0xC1}; index: [0x1000 -> regular page], [0x2000 -> compressed page],
// end marker 0x3000. Regular: 0x1000 enc 0xA0, 0x1100 enc 0xA1. Compressed: +0 common 1,
// +0x10 page-local 0 (0xB0), +0x20 page-local 1 (0xB1).
UnwindInfo make_info() {
    UnwindInfo u;
    u.u32(0, 1);
    u.u32(4, 28);  // common encodings
    u.u32(8, 2);
    u.u32(12, 0);
    u.u32(16, 0);
    u.u32(20, 36);  // index
    u.u32(24, 3);
    u.u32(28, 0xC0);
    u.u32(32, 0xC1);
    const std::uint32_t regular = 72, compressed = 96;
    u.u32(36, 0x1000), u.u32(40, regular), u.u32(44, 0);
    u.u32(48, 0x2000), u.u32(52, compressed), u.u32(56, 0);
    u.u32(60, 0x3000), u.u32(64, 0), u.u32(68, 0);
    u.u32(regular, 2), u.u16(regular + 4, 8), u.u16(regular + 6, 2);
    u.u32(regular + 8, 0x1000), u.u32(regular + 12, 0xA0);
    u.u32(regular + 16, 0x1100), u.u32(regular + 20, 0xA1);
    u.u32(compressed, 3), u.u16(compressed + 4, 12), u.u16(compressed + 6, 3);
    u.u16(compressed + 8, 24), u.u16(compressed + 10, 2);
    u.u32(compressed + 12, (1u << 24) | 0x00);
    u.u32(compressed + 16, (2u << 24) | 0x10);
    u.u32(compressed + 20, (3u << 24) | 0x20);
    u.u32(compressed + 24, 0xB0), u.u32(compressed + 28, 0xB1);
    return u;
}

struct Lookup {
    lvcrash_error_t init;
    lvcrash_error_t find;
    std::uint64_t base;
    std::uint32_t encoding;
};

Lookup lookup(const UnwindInfo& u, std::uint64_t pc) {
    lvcrash_async_mobject mobj;
    Lookup out{};
    EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, reinterpret_cast<std::uint64_t>(u.bytes.data()), u.bytes.size(), true),
              LVCRASH_ERROR_NONE);
    lvcrash_async_cfe_reader reader;
    out.init = lvcrash_async_cfe_reader_init(&reader, &mobj, LVCRASH_CPU_TYPE_X86_64);
    if (out.init == LVCRASH_ERROR_NONE) out.find = lvcrash_async_cfe_reader_find_pc(&reader, pc, &out.base, &out.encoding);
    lvcrash_async_cfe_reader_free(&reader);
    lvcrash_async_mobject_free(&mobj);
    return out;
}

TEST(CompactUnwind, TableLookups) {
    const UnwindInfo info = make_info();
    struct Case {
        std::uint64_t pc;
        lvcrash_error_t error;
        std::uint64_t base;
        std::uint32_t encoding;
    } cases[] = {
        {0x0FFF, LVCRASH_ERROR_NOT_FOUND, 0, 0},  // below the first entry
        {0x1000, 0, 0x1000, 0xA0},
        {0x10FF, 0, 0x1000, 0xA0},
        {0x1100, 0, 0x1100, 0xA1},
        {0x1FFF, 0, 0x1100, 0xA1},
        {0x2005, 0, 0x2000, 0xC1},  // index 1: a common encoding
        {0x2010, 0, 0x2010, 0xB0},  // index 2: the page's first own encoding
        {0x2FFF, 0, 0x2020, 0xB1},
    };
    for (const auto& c : cases) {
        const auto r = lookup(info, c.pc);
        ASSERT_EQ(r.init, LVCRASH_ERROR_NONE);
        EXPECT_EQ(r.find, c.error) << std::hex << c.pc;
        if (c.error == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(r.base, c.base) << std::hex << c.pc;
            EXPECT_EQ(r.encoding, c.encoding) << std::hex << c.pc;
        }
    }
    struct Damage {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        bool half;
        std::uint64_t pc;
        lvcrash_error_t init;
        lvcrash_error_t find;
    } damages[] = {
        {"version 2", 0, 2, false, 0x1000, LVCRASH_ERROR_NOT_SUPPORTED, 0},
        {"index only the end marker", 24, 1, false, 0x1000, 0, LVCRASH_ERROR_NOT_FOUND},
        {"index outside the section", 20, 0x10000, false, 0x1000, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"common encodings outside the section", 4, 0xFFFFFFF0, false, 0x1000, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"page offset outside the section", 40, 0x10000, false, 0x1000, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"unknown page kind", 72, 4, false, 0x1000, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"regular page without entries", 78, 0, true, 0x1000, 0, LVCRASH_ERROR_NOT_FOUND},
        {"entries outside the section", 76, 0xFFF0, true, 0x1000, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"page-local index beyond the page's encodings", 106, 1, true, 0x2020, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
    };
    for (const auto& d : damages) {
        UnwindInfo damaged = info;
        if (d.half) damaged.u16(d.at, static_cast<std::uint16_t>(d.value));
        else damaged.u32(d.at, d.value);
        const auto r = lookup(damaged, d.pc);
        EXPECT_EQ(r.init, d.init) << d.what;
        if (d.init == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(r.find, d.find) << d.what;
        }
    }
    // A section too short for its header.
    UnwindInfo tiny;
    tiny.u32(0, 1);
    lvcrash_async_mobject mobj;
    ASSERT_EQ(lvcrash_async_mobject_init(&mobj, self, reinterpret_cast<std::uint64_t>(tiny.bytes.data()), 4, true),
              LVCRASH_ERROR_NONE);
    lvcrash_async_cfe_reader reader;
    EXPECT_EQ(lvcrash_async_cfe_reader_init(&reader, &mobj, LVCRASH_CPU_TYPE_X86_64), LVCRASH_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(lvcrash_async_cfe_reader_init(&reader, &mobj, 18), LVCRASH_ERROR_NOT_SUPPORTED);
    lvcrash_async_mobject_free(&mobj);
}

// ---- The arm64 fixture's own tables over a stack laid out per its prologues ----

TEST(CompactUnwind, Arm64FixtureStacksUnwindThroughFrameFramelessAndDwarfEntries) {
    unwind_support::FedList list;
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_arm64"), {false, 0, {}});
    const std::uint64_t leaf = image->symbol("_fixture_frameless_leaf");
    const std::uint64_t pairs = image->symbol("_fixture_saved_pairs");
    const std::uint64_t dwarf_only = image->symbol("_fixture_dwarf_only");
    const std::uint64_t frame = image->symbol("_fixture_frame");
    ASSERT_TRUE(leaf && pairs && dwarf_only && frame);

    // leaf (no stack) <- saved_pairs (x28 x27 x20 x19, then fp/lr) <- dwarf_only (fp/lr, x19) <- frame.
    alignas(16) std::uint64_t stack[16] = {};
    const auto at = [&](int i) { return reinterpret_cast<std::uint64_t>(&stack[i]); };
    stack[0] = 0x2828, stack[1] = 0x2727, stack[2] = 0x2020, stack[3] = 0x1919;
    stack[4] = at(6), stack[5] = dwarf_only + 0x14;  // saved_pairs' frame record
    stack[6] = at(12), stack[7] = frame + 0x40;      // dwarf_only's frame record
    stack[8] = 0x1900;                               // dwarf_only's x19
    stack[12] = 0, stack[13] = 0;                    // frame's record: the end

    lvcrash_async_thread_state start;
    lvcrash_async_thread_state_init(&start, LVCRASH_CPU_TYPE_ARM64);
    lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_IP, leaf + 4);
    lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_SP, at(0));
    lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_FP, at(4));
    lvcrash_async_thread_state_set_reg(&start, LVCRASH_ARM64_LR, pairs + 0x1C);

    static constexpr lvcrash_frame_reader_t tables_only[] = {lvcrash_frame_reader_compact_unwind,
                                                             lvcrash_frame_reader_dwarf};
    const auto walk = unwind_support::walk(start, tables_only, 2, 8);
    ASSERT_EQ(walk.steps.size(), 4u);
    EXPECT_EQ(walk.steps[1].pc, pairs + 0x1C);
    EXPECT_EQ(walk.steps[2].pc, dwarf_only + 0x14);
    EXPECT_EQ(walk.steps[3].pc, frame + 0x40);
    EXPECT_EQ(walk.steps[1].reader, 0);  // frameless: compact
    EXPECT_EQ(walk.steps[2].reader, 0);  // frame with pairs 0x11: compact
    EXPECT_EQ(walk.steps[3].reader, 1);  // DWARF
    const auto& after_pairs = walk.steps[2].state;
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&after_pairs, LVCRASH_ARM64_X0 + 19), 0x1919u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&after_pairs, LVCRASH_ARM64_X0 + 20), 0x2020u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&after_pairs, LVCRASH_ARM64_X0 + 27), 0x2727u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&after_pairs, LVCRASH_ARM64_X0 + 28), 0x2828u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&walk.steps[3].state, LVCRASH_ARM64_X0 + 19), 0x1900u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&walk.steps[3].state, LVCRASH_REG_SP), at(10));
    EXPECT_EQ(walk.end, LVCRASH_FRAME_NO_FRAME);
}

}  // namespace
