// Call-frame information pieces on hand-made bytes: LEB128, pointer encodings, CIE and FDE
// parsing, the FDE search, CFA programs and the expression machine.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/dwarf.hpp"

using namespace lvcrash;
using namespace lvcrash::RD::async;

namespace {

const task_t self = platform::darwin::task_self();
const RDlvcrash_async_byteorder* le = lvcrash_async_byteorder_little_endian();

using Bytes = std::vector<std::uint8_t>;

// A memory object over a copy of bytes (kept alive with it).
struct Mapped {
    Bytes bytes;
    lvcrash_async_mobject mobj{};
    explicit Mapped(Bytes b) : bytes(std::move(b)) {
        if (bytes.empty()) bytes.push_back(0);
        EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, address(), bytes.size(), true), LVCRASH_ERROR_NONE);
    }
    ~Mapped() { lvcrash_async_mobject_free(&mobj); }
    lvcrash_vm_address_t address() const { return reinterpret_cast<lvcrash_vm_address_t>(bytes.data()); }
};

void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put64(Bytes& b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
void set32(Bytes& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

TEST(Dwarf, Leb128DecodesUpToTenBytes) {
    struct Case {
        Bytes bytes;
        lvcrash_error_t error;
        std::uint64_t uvalue;
        std::int64_t svalue;
        std::size_t size;
    } cases[] = {
        {{0x02}, LVCRASH_ERROR_NONE, 2, 2, 1},
        {{0x7F}, LVCRASH_ERROR_NONE, 127, -1, 1},
        {{0x80, 0x01}, LVCRASH_ERROR_NONE, 128, 128, 2},
        {{0xE5, 0x8E, 0x26}, LVCRASH_ERROR_NONE, 624485, 624485, 3},
        {{0xC0, 0xBB, 0x78}, LVCRASH_ERROR_NONE, 0x1E1DC0, -123456, 3},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, LVCRASH_ERROR_NONE, ~0ull, -1, 10},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00}, LVCRASH_ERROR_NOT_SUPPORTED, 0, 0, 0},
        {{0x80, 0x80}, LVCRASH_ERROR_INVALID_ARGUMENT, 0, 0, 0},  // runs off the mapping
    };
    for (const auto& c : cases) {
        Mapped m(c.bytes);
        // The mapping ends with the bytes only when they fill the page's end: map exactly them.
        lvcrash_async_mobject exact;
        ASSERT_EQ(lvcrash_async_mobject_init(&exact, self, m.address(), c.bytes.size(), true), LVCRASH_ERROR_NONE);
        std::uint64_t u = 0;
        std::int64_t s = 0;
        std::size_t size = 0;
        EXPECT_EQ(lvcrash_async_dwarf_read_uleb128(&exact, m.address(), 0, &u, &size), c.error);
        if (c.error == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(u, c.uvalue);
            EXPECT_EQ(size, c.size);
            EXPECT_EQ(lvcrash_async_dwarf_read_sleb128(&exact, m.address(), 0, &s, &size), LVCRASH_ERROR_NONE);
            EXPECT_EQ(s, c.svalue);
            EXPECT_EQ(lvcrash_async_dwarf_read_task_uleb128(self, m.address(), 0, &u, &size), LVCRASH_ERROR_NONE);
            EXPECT_EQ(u, c.uvalue);
        }
        lvcrash_async_mobject_free(&exact);
    }
}

TEST(Dwarf, PointerEncodings) {
    Bytes b(32, 0);
    set32(b, 8, 0xFFFFFFF0u);  // -16
    std::uint64_t absolute = 0x1122334455667788ull;
    std::memcpy(b.data() + 16, &absolute, 8);
    Mapped m(b);
    const auto at = m.address();
    gnu_ehptr_reader<std::uint64_t> reader(le);
    std::uint64_t value = 0;
    std::size_t size = 0;
    // pc-relative sdata4 adds the value to the field's own address.
    ASSERT_EQ(reader.read(&m.mobj, at, 8, DW_EH_PE_pcrel | DW_EH_PE_sdata4, &value, &size), LVCRASH_ERROR_NONE);
    EXPECT_EQ(value, at + 8 - 16);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(reader.read(&m.mobj, at, 16, DW_EH_PE_absptr, &value, &size), LVCRASH_ERROR_NONE);
    EXPECT_EQ(value, absolute);
    EXPECT_EQ(reader.read(&m.mobj, at, 8, DW_EH_PE_omit, &value, &size), LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(reader.read(&m.mobj, at, 8, DW_EH_PE_datarel | DW_EH_PE_sdata4, &value, &size), LVCRASH_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(reader.read(&m.mobj, at, 8, 0x07, &value, &size), LVCRASH_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(reader.read(&m.mobj, at, 8, 0x60 | DW_EH_PE_udata4, &value, &size), LVCRASH_ERROR_NOT_SUPPORTED);
    reader.set_data_base(1000);
    ASSERT_EQ(reader.read(&m.mobj, at, 8, DW_EH_PE_datarel | DW_EH_PE_sdata4, &value, &size), LVCRASH_ERROR_NONE);
    EXPECT_EQ(value, 1000u - 16);
    // Aligned: from offset 9 the value is read at offset 16, the padding counted in the size.
    reader.set_frame_section_base(at, at);
    ASSERT_EQ(reader.read(&m.mobj, at, 9, DW_EH_PE_aligned, &value, &size), LVCRASH_ERROR_NONE);
    EXPECT_EQ(value, absolute);
    EXPECT_EQ(size, 15u);
    // Indirect: the word at the decoded address.
    std::uint64_t target = 0xABCDEF;
    const std::uint64_t where = reinterpret_cast<std::uint64_t>(&target);
    Bytes ind(8);
    std::memcpy(ind.data(), &where, 8);
    Mapped mi(ind);
    ASSERT_EQ(reader.read(&mi.mobj, mi.address(), 0, DW_EH_PE_indirect | DW_EH_PE_absptr, &value, &size), LVCRASH_ERROR_NONE);
    EXPECT_EQ(value, 0xABCDEFu);
}

// An .eh_frame-style section: one CIE, then FDEs.
struct Section {
    Bytes bytes;
    // CIE with augmentation (e.g. "zPLR"), version, and initial instructions.
    std::size_t add_cie(const std::string& augmentation, std::uint8_t version, const Bytes& aug_data,
                        const Bytes& instructions, std::uint64_t ra = 16, std::uint32_t id = 0) {
        const std::size_t at = bytes.size();
        Bytes body;
        put32(body, id);
        body.push_back(version);
        for (char c : augmentation) body.push_back(static_cast<std::uint8_t>(c));
        body.push_back(0);
        body.push_back(1);     // code alignment
        body.push_back(0x78);  // data alignment -8
        if (version == 1) body.push_back(static_cast<std::uint8_t>(ra));
        else body.push_back(static_cast<std::uint8_t>(ra));  // uleb, < 128
        if (!augmentation.empty()) {
            body.push_back(static_cast<std::uint8_t>(aug_data.size()));
            append(body, aug_data);
        }
        append(body, instructions);
        put32(bytes, static_cast<std::uint32_t>(body.size()));
        append(bytes, body);
        return at;
    }
    // FDE with pcrel sdata4 start (pointing at `start`) and udata4 range.
    std::size_t add_fde(std::size_t cie_at, std::uint64_t start, std::uint64_t range, const Bytes& aug,
                        const Bytes& instructions, bool with_aug = true) {
        const std::size_t at = bytes.size();
        Bytes body;
        put32(body, static_cast<std::uint32_t>(at + 4 - cie_at));
        put64(body, start);
        put64(body, range);
        if (with_aug) {
            body.push_back(static_cast<std::uint8_t>(aug.size()));
            append(body, aug);
        }
        append(body, instructions);
        put32(bytes, static_cast<std::uint32_t>(body.size()));
        append(bytes, body);
        return at;
    }
};

TEST(Dwarf, CieAndFdeParsing) {
    // "zPLR": personality (absptr), LSDA encoding, pointer encoding absptr; the FDE carries an
    // 8-byte LSDA pointer in its augmentation data, and its instructions start after it.
    Section s;
    Bytes aug{DW_EH_PE_absptr};
    put64(aug, 0x4242);
    aug.push_back(DW_EH_PE_absptr);  // L
    aug.push_back(DW_EH_PE_absptr);  // R
    const auto cie = s.add_cie("zPLR", 1, aug, {0x0C, 0x07, 0x08, 0x90, 0x01});
    Bytes lsda;
    put64(lsda, 0x5151);
    const auto fde = s.add_fde(cie, 0x1000, 0x100, lsda, {0x41, 0x0E, 0x10});
    put32(s.bytes, 0);
    Mapped m(s.bytes);
    gnu_ehptr_reader<std::uint64_t> ptr(le);
    lvcrash_async_dwarf_cie_info info;
    ASSERT_EQ(lvcrash_async_dwarf_cie_info_init<std::uint64_t>(&info, &m.mobj, le, &ptr, m.address() + cie),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(info.cie_version, 1);
    EXPECT_EQ(info.return_address_register, 16u);  // one byte in version 1
    EXPECT_EQ(info.data_alignment_factor, -8);
    EXPECT_TRUE(info.eh_augmentation.has_personality_address);
    EXPECT_EQ(info.eh_augmentation.personality_address, 0x4242u);
    EXPECT_TRUE(info.eh_augmentation.has_lsda_encoding);
    EXPECT_TRUE(info.eh_augmentation.has_pointer_encoding);
    EXPECT_EQ(info.initial_instructions_length, 5u);

    lvcrash_async_dwarf_fde_info f;
    ASSERT_EQ(lvcrash_async_dwarf_fde_info_init<std::uint64_t>(&f, &m.mobj, le, m.address() + fde, false),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(f.pc_start, 0x1000u);
    EXPECT_EQ(f.pc_end, 0x1100u);
    EXPECT_EQ(f.cie_offset, cie);
    EXPECT_EQ(f.instructions_length, 3u);
    EXPECT_EQ(f.instructions_offset, fde + 4 + 4 + 8 + 8 + 1 + 8);

    // The search: a pc at the FDE's end is not covered by it.
    lvcrash_async_dwarf_frame_reader reader;
    lvcrash_async_dwarf_frame_reader_init(&reader, &m.mobj, le, true, false);
    EXPECT_EQ(lvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x10FF, &f), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x1100, &f), LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(lvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0xFFF, &f), LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(lvcrash_async_dwarf_frame_reader_find_fde(&reader, 1 << 20, 0x1000, &f), LVCRASH_ERROR_INVALID_ARGUMENT);
}

TEST(Dwarf, DebugFrameUsesAllOnesIdsAndAbsoluteCieOffsets) {
    Section s;
    const auto cie = s.add_cie("", 3, {}, {0x0C, 0x07, 0x08}, 16, 0xFFFFFFFFu);
    // A debug-frame FDE: CIE pointer is the offset from the section start, absptr start and range.
    Bytes body;
    put32(body, static_cast<std::uint32_t>(cie));
    put64(body, 0x2000);
    put64(body, 0x40);
    body.push_back(0x41);
    put32(s.bytes, static_cast<std::uint32_t>(body.size()));
    append(s.bytes, body);
    Mapped m(s.bytes);
    lvcrash_async_dwarf_frame_reader reader;
    lvcrash_async_dwarf_frame_reader_init(&reader, &m.mobj, le, true, true);
    lvcrash_async_dwarf_fde_info f;
    ASSERT_EQ(lvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x2010, &f), LVCRASH_ERROR_NONE);
    EXPECT_EQ(f.pc_end, 0x2040u);
    EXPECT_EQ(f.cie_offset, cie);
}

TEST(Dwarf, DamagedCiesAreRefused) {
    struct Case {
        const char* what;
        std::string augmentation;
        std::uint8_t version;
        std::uint32_t id;
        lvcrash_error_t error;
    } cases[] = {
        {"bad id", "zR", 1, 7, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"version 2", "zR", 2, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"version 5", "zR", 5, 0, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"augmentation not starting with z", "eh", 1, 0, LVCRASH_ERROR_NOT_SUPPORTED},
        {"version 4", "", 4, 0, LVCRASH_ERROR_NONE},
    };
    for (const auto& c : cases) {
        Section s;
        s.add_cie(c.augmentation, c.version, c.augmentation.empty() ? Bytes{} : Bytes{DW_EH_PE_absptr}, {0, 0, 0}, 16,
                  c.id);
        Mapped m(s.bytes);
        gnu_ehptr_reader<std::uint64_t> ptr(le);
        lvcrash_async_dwarf_cie_info info;
        EXPECT_EQ(lvcrash_async_dwarf_cie_info_init<std::uint64_t>(&info, &m.mobj, le, &ptr, m.address()), c.error) << c.what;
    }
    // A CIE longer than the mapping.
    Section s;
    s.add_cie("zR", 1, {DW_EH_PE_absptr}, {0, 0, 0});
    set32(s.bytes, 0, 4000);
    Bytes exact = s.bytes;
    lvcrash_async_mobject tight;
    ASSERT_EQ(lvcrash_async_mobject_init(&tight, self, reinterpret_cast<std::uint64_t>(exact.data()), exact.size(), true),
              LVCRASH_ERROR_NONE);
    gnu_ehptr_reader<std::uint64_t> ptr(le);
    lvcrash_async_dwarf_cie_info info;
    EXPECT_EQ(lvcrash_async_dwarf_cie_info_init<std::uint64_t>(&info, &tight, le, &ptr,
                                                               reinterpret_cast<std::uint64_t>(exact.data())),
              LVCRASH_ERROR_INVALID_ARGUMENT);
    lvcrash_async_mobject_free(&tight);
}

// ---- CFA programs ----

lvcrash_async_dwarf_cie_info cie_for(std::uint64_t ra = 16) {
    lvcrash_async_dwarf_cie_info cie{};
    cie.cie_version = 3;
    cie.code_alignment_factor = 1;
    cie.data_alignment_factor = -8;
    cie.return_address_register = ra;
    return cie;
}

lvcrash_error_t run_program(dwarf_cfa_state<std::uint64_t, std::int64_t>* state, const Bytes& program,
                            std::uint64_t pc = 0, const lvcrash_async_dwarf_cie_info& cie = cie_for()) {
    Mapped m(program);
    return state->eval_program(&m.mobj, pc, 0x1000, &cie, nullptr, le, m.address(), 0,
                               static_cast<lvcrash_vm_off_t>(program.size()));
}

TEST(CfaProgram, Instructions) {
    using State = dwarf_cfa_state<std::uint64_t, std::int64_t>;
    {
        State st;  // def_cfa rsp+8, offset rip at cfa-8, advance, def_cfa_offset 16, offset rbp
        ASSERT_EQ(run_program(&st, {0x0C, 0x07, 0x08, 0x90, 0x01, 0x41, 0x0E, 0x10, 0x86, 0x02}), LVCRASH_ERROR_NONE);
        EXPECT_EQ(st.get_cfa_rule().type, DW_CFA_RULE_TYPE_REGISTER);
        EXPECT_EQ(st.get_cfa_rule().regnum, 7u);
        EXPECT_EQ(st.get_cfa_rule().offset, 16u);
        lvcrash_dwarf_cfa_reg_rule_t rule;
        std::uint64_t value;
        ASSERT_TRUE(st.get_register_rule(6, &rule, &value));
        EXPECT_EQ(rule, DW_CFA_STATE_REG_RULE_OFFSET);
        EXPECT_EQ(static_cast<std::int64_t>(value), -16);
        EXPECT_EQ(st.get_register_count(), 2);
    }
    {
        State st;  // the row at pc stops before an advance past it
        ASSERT_EQ(run_program(&st, {0x0C, 0x07, 0x08, 0x44, 0x0E, 0x10}, 0x1003), LVCRASH_ERROR_NONE);
        EXPECT_EQ(st.get_cfa_rule().offset, 8u);
        State at;
        ASSERT_EQ(run_program(&at, {0x0C, 0x07, 0x08, 0x44, 0x0E, 0x10}, 0x1004), LVCRASH_ERROR_NONE);
        EXPECT_EQ(at.get_cfa_rule().offset, 16u);
    }
    {
        State st;  // def_cfa_offset after def_cfa_sf turns the rule back into the unsigned kind
        ASSERT_EQ(run_program(&st, {0x12, 0x07, 0x7E, 0x0E, 0x20}), LVCRASH_ERROR_NONE);
        EXPECT_EQ(st.get_cfa_rule().type, DW_CFA_RULE_TYPE_REGISTER);
        EXPECT_EQ(st.get_cfa_rule().regnum, 7u);
        EXPECT_EQ(st.get_cfa_rule().offset, 0x20u);
        State sf;
        ASSERT_EQ(run_program(&sf, {0x12, 0x07, 0x7E}), LVCRASH_ERROR_NONE);
        EXPECT_EQ(sf.get_cfa_rule().type, DW_CFA_RULE_TYPE_REGISTER_SIGNED);
        EXPECT_EQ(static_cast<std::int64_t>(sf.get_cfa_rule().offset), 16);  // -2 x -8
    }
    {
        State st;  // remember, change, restore
        ASSERT_EQ(run_program(&st, {0x0C, 0x07, 0x08, 0x86, 0x02, 0x0A, 0x0E, 0x30, 0xC6, 0x41}, 0x1000),
                  LVCRASH_ERROR_NONE);
        EXPECT_EQ(st.get_cfa_rule().offset, 0x30u);  // in force until restore_state
        lvcrash_dwarf_cfa_reg_rule_t rule;
        std::uint64_t value;
        EXPECT_FALSE(st.get_register_rule(6, &rule, &value));  // restore with no initial rule
        State back;
        ASSERT_EQ(run_program(&back, {0x0C, 0x07, 0x08, 0x86, 0x02, 0x0A, 0x0E, 0x30, 0xC6, 0x0B}), LVCRASH_ERROR_NONE);
        EXPECT_EQ(back.get_cfa_rule().offset, 8u);
        EXPECT_TRUE(back.get_register_rule(6, &rule, &value));
    }
    {
        State st;  // GNU_args_size is accepted and changes nothing
        ASSERT_EQ(run_program(&st, {0x0C, 0x07, 0x08, 0x2E, 0x10, 0x2E, 0x80, 0x01}), LVCRASH_ERROR_NONE);
        EXPECT_EQ(st.get_cfa_rule().offset, 8u);
        EXPECT_EQ(st.get_register_count(), 0);
    }
    struct Refused {
        const char* what;
        Bytes program;
        lvcrash_error_t error;
    } refused[] = {
        {"restore_state at level 0", {0x0B}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"sixth remember_state", {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, LVCRASH_ERROR_NO_MEMORY},
        {"def_cfa_register without a register rule", {0x0D, 0x07}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"def_cfa_offset without a register rule", {0x0E, 0x08}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"unknown opcode", {0x17}, LVCRASH_ERROR_NOT_SUPPORTED},
        {"register number above 32 bits", {0x07, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, LVCRASH_ERROR_NOT_SUPPORTED},
        {"operand past the end", {0x0C, 0x07}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"expression past the end", {0x10, 0x03, 0x05, 0x76}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"eleven-byte LEB128", {0x0E, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00},
         LVCRASH_ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : refused) {
        State st;
        EXPECT_EQ(run_program(&st, c.program), c.error) << c.what;
    }
    {
        State st;  // five nested remember_state instructions succeed
        EXPECT_EQ(run_program(&st, {0x0A, 0x0A, 0x0A, 0x0A, 0x0A}), LVCRASH_ERROR_NONE);
    }
}

TEST(CfaProgram, RuleTableHoldsAHundredRules) {
    dwarf_cfa_state<std::uint64_t, std::int64_t> st;
    for (std::uint32_t r = 0; r < 100; ++r) ASSERT_TRUE(st.set_register(r * 3, DW_CFA_STATE_REG_RULE_OFFSET, r));
    EXPECT_FALSE(st.set_register(1000, DW_CFA_STATE_REG_RULE_OFFSET, 0));
    EXPECT_TRUE(st.set_register(42 * 3, DW_CFA_STATE_REG_RULE_VAL_OFFSET, 7));  // updates always succeed
    EXPECT_EQ(st.get_register_count(), 100);
    EXPECT_FALSE(st.push_state());  // the copy runs out of entries and leaves the level as it was
    EXPECT_EQ(st.get_register_count(), 100);
    st.remove_register(0);
    EXPECT_EQ(st.get_register_count(), 99);
    EXPECT_TRUE(st.set_register(1000, DW_CFA_STATE_REG_RULE_OFFSET, 0));
    // The iterator visits every rule once.
    dwarf_cfa_state_iterator<std::uint64_t, std::int64_t> it(&st);
    std::uint32_t reg, n = 0;
    lvcrash_dwarf_cfa_reg_rule_t rule;
    std::uint64_t value;
    while (it.next(&reg, &rule, &value)) ++n;
    EXPECT_EQ(n, 100u);
    // A program that defines a 101st rule.
    Bytes program;
    for (std::uint32_t r = 0; r < 101; ++r) {
        program.push_back(0x05);
        program.push_back(static_cast<std::uint8_t>(0x80 | (r & 0x7F)));
        program.push_back(static_cast<std::uint8_t>(r >> 7));
        program.push_back(0x01);
    }
    dwarf_cfa_state<std::uint64_t, std::int64_t> full;
    EXPECT_EQ(run_program(&full, program), LVCRASH_ERROR_NO_MEMORY);
}

TEST(CfaProgram, ApplyOnArm64AndX86_64) {
    // arm64: CFA = fp + 16; lr (DWARF 30) at CFA - 8 sets both lr and pc; fp at CFA - 16.
    std::uint64_t stack[4] = {0xAAAA, 0xBBBB, 0x1111, 0x2222};  // [fp] = caller fp, [fp+8] = lr
    const auto fp = reinterpret_cast<std::uint64_t>(&stack[0]);
    lvcrash_async_thread_state arm;
    lvcrash_async_thread_state_init(&arm, LVCRASH_CPU_TYPE_ARM64);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_FP, fp);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_SP, fp - 32);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_IP, 0x4000);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_ARM64_LR, 0x5555);
    {
        dwarf_cfa_state<std::uint64_t, std::int64_t> st;
        ASSERT_EQ(run_program(&st, {0x0C, 29, 16, 0x9E, 0x01, 0x9D, 0x02}, 0, cie_for(30)), LVCRASH_ERROR_NONE);
        lvcrash_async_thread_state next;
        const auto cie = cie_for(30);
        ASSERT_EQ(st.apply_state(self, &cie, &arm, le, &next), LVCRASH_ERROR_NONE);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), fp + 16);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_ARM64_LR), 0xBBBBu);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0xBBBBu);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_FP), 0xAAAAu);
    }
    {
        // No rule for lr: the caller's pc is the current lr.
        dwarf_cfa_state<std::uint64_t, std::int64_t> st;
        ASSERT_EQ(run_program(&st, {0x0C, 31, 0}, 0, cie_for(30)), LVCRASH_ERROR_NONE);
        lvcrash_async_thread_state next;
        const auto cie = cie_for(30);
        ASSERT_EQ(st.apply_state(self, &cie, &arm, le, &next), LVCRASH_ERROR_NONE);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x5555u);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), fp - 32);
    }
    lvcrash_async_thread_state x86;
    lvcrash_async_thread_state_init(&x86, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_thread_state_set_reg(&x86, LVCRASH_REG_SP, fp);
    lvcrash_async_thread_state_set_reg(&x86, LVCRASH_REG_IP, 0x4000);
    struct Case {
        const char* what;
        Bytes program;
        lvcrash_error_t error;
    } cases[] = {
        {"CFA register unavailable (rbp)", {0x0C, 0x06, 0x10, 0x90, 0x01}, LVCRASH_ERROR_NOT_FOUND},
        {"CFA register without a generic number", {0x0C, 0x40, 0x10, 0x90, 0x01}, LVCRASH_ERROR_NOT_SUPPORTED},
        {"no CFA rule", {0x90, 0x01}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"rule for an unmapped register", {0x0C, 0x07, 0x10, 0x90, 0x01, 0xA1, 0x01}, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"same value of an unavailable register", {0x0C, 0x07, 0x10, 0x90, 0x01, 0x08, 0x03}, LVCRASH_ERROR_NOT_FOUND},
        {"undefined return address: the outermost frame", {0x0C, 0x07, 0x10, 0x07, 0x10}, LVCRASH_ERROR_NOT_FOUND},
        {"saved at CFA - 8", {0x0C, 0x07, 0x10, 0x90, 0x01}, LVCRASH_ERROR_NONE},
    };
    for (const auto& c : cases) {
        dwarf_cfa_state<std::uint64_t, std::int64_t> st;
        ASSERT_EQ(run_program(&st, c.program), LVCRASH_ERROR_NONE) << c.what;
        lvcrash_async_thread_state next;
        const auto cie = cie_for(16);
        EXPECT_EQ(st.apply_state(self, &cie, &x86, le, &next), c.error) << c.what;
        if (c.error == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0xBBBBu);
        }
    }
}

// ---- Expressions ----

struct ExprCase {
    const char* what;
    Bytes program;
    std::vector<std::uint64_t> initial;
    lvcrash_error_t error;
    std::uint64_t result;
};

lvcrash_error_t eval64(const Bytes& program, const std::vector<std::uint64_t>& initial, std::uint64_t* result,
                       const lvcrash_async_thread_state* state) {
    Mapped m(program);
    return lvcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
        &m.mobj, self, state, le, m.address(), 0, static_cast<lvcrash_vm_off_t>(program.size()), initial.data(),
        initial.size(), result);
}

TEST(DwarfExpression, Operators) {
    static std::uint64_t memory[2] = {0x1122334455667788ull, 0x99};
    const auto mem = reinterpret_cast<std::uint64_t>(&memory[0]);
    lvcrash_async_thread_state state;
    lvcrash_async_thread_state_init(&state, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_thread_state_set_reg(&state, LVCRASH_REG_SP, mem);    // DWARF 7
    lvcrash_async_thread_state_set_reg(&state, LVCRASH_REG_IP, 0x500);  // DWARF 16
    const std::uint64_t m1 = ~0ull;  // -1
    Bytes deref_mem{0x0E};
    for (int i = 0; i < 8; ++i) deref_mem.push_back(static_cast<std::uint8_t>(mem >> (8 * i)));
    Bytes deref_size = deref_mem;
    deref_size.insert(deref_size.end(), {0x94, 0x02});
    deref_mem.push_back(0x06);
    const ExprCase cases[] = {
        {"lit and plus", {0x33, 0x34, 0x22}, {}, LVCRASH_ERROR_NONE, 7},
        {"initial stack", {0x23, 0x08}, {100}, LVCRASH_ERROR_NONE, 108},
        {"div is signed", {0x11, 0x79, 0x32, 0x1B}, {}, LVCRASH_ERROR_NONE, static_cast<std::uint64_t>(-3)},
        {"mod is unsigned", {0x11, 0x79, 0x32, 0x1D}, {}, LVCRASH_ERROR_NONE, (~0ull - 6) % 2},
        {"shr is logical", {0x11, 0x7F, 0x08, 0x3F, 0x25}, {}, LVCRASH_ERROR_NONE, 1},
        {"shra is arithmetic", {0x11, 0x7F, 0x08, 0x3F, 0x26}, {}, LVCRASH_ERROR_NONE, m1},
        {"shift count modulo 64", {0x31, 0x10, 0x41, 0x24}, {}, LVCRASH_ERROR_NONE, 2},
        {"lt is signed", {0x11, 0x7F, 0x31, 0x2D}, {}, LVCRASH_ERROR_NONE, 1},
        {"gt is signed", {0x11, 0x7F, 0x31, 0x2B}, {}, LVCRASH_ERROR_NONE, 0},
        {"ge, le, eq, ne", {0x32, 0x32, 0x2A, 0x32, 0x33, 0x2C, 0x22, 0x31, 0x31, 0x29, 0x22, 0x31, 0x30, 0x2E, 0x22},
         {}, LVCRASH_ERROR_NONE, 4},
        {"abs, neg, not", {0x11, 0x7B, 0x19, 0x1F, 0x20}, {}, LVCRASH_ERROR_NONE, 4},
        {"and, or, xor, mul, minus", {0x3C, 0x3A, 0x1A, 0x31, 0x21, 0x33, 0x27, 0x33, 0x1E, 0x31, 0x1C}, {},
         LVCRASH_ERROR_NONE, 29},
        {"consts", {0x08, 0xFF, 0x09, 0xFF, 0x22}, {}, LVCRASH_ERROR_NONE, 254},
        {"const2s/4u", {0x0B, 0xFE, 0xFF, 0x0C, 0x10, 0x00, 0x00, 0x00, 0x22}, {}, LVCRASH_ERROR_NONE, 14},
        {"dup, drop, over, pick, swap, rot", {0x31, 0x32, 0x33, 0x17, 0x16, 0x14, 0x15, 0x01, 0x12, 0x13, 0x22}, {},
         LVCRASH_ERROR_NONE, 3},
        {"deref", deref_mem, {}, LVCRASH_ERROR_NONE, 0x1122334455667788ull},
        {"deref_size 2", deref_size, {}, LVCRASH_ERROR_NONE, 0x7788},
        {"breg7 (rsp) + 8, deref", {0x77, 0x08, 0x06}, {}, LVCRASH_ERROR_NONE, 0x99},
        {"breg16 (rip) as in PLT CFA expressions", {0x80, 0x01}, {}, LVCRASH_ERROR_NONE, 0x501},
        {"bregx", {0x92, 0x10, 0x02}, {}, LVCRASH_ERROR_NONE, 0x502},
        {"bra with zero falls through", {0x30, 0x28, 0x01, 0x00, 0x35, 0x36}, {}, LVCRASH_ERROR_NONE, 6},
        {"bra taken", {0x31, 0x28, 0x01, 0x00, 0x35, 0x36}, {}, LVCRASH_ERROR_NONE, 6},
        {"skip", {0x37, 0x2F, 0x01, 0x00, 0x35}, {}, LVCRASH_ERROR_NONE, 7},
        {"nop", {0x96, 0x31}, {}, LVCRASH_ERROR_NONE, 1},
        {"bra outside the expression", {0x31, 0x28, 0x10, 0x00}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"skip before the start", {0x2F, 0xF0, 0xFF}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"division by zero", {0x31, 0x30, 0x1B}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"modulo by zero", {0x31, 0x30, 0x1D}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"deref_size 3", {0x31, 0x94, 0x03}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"breg of an unavailable register", {0x70, 0x00}, {}, LVCRASH_ERROR_NOT_FOUND, 0},
        {"breg without a generic number", {0x8F, 0x00}, {}, LVCRASH_ERROR_NOT_SUPPORTED, 0},
        {"unknown opcode", {0x31, 0x50}, {}, LVCRASH_ERROR_NOT_SUPPORTED, 0},
        {"empty stack at the end", {0x96}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"plus on an empty stack", {0x22}, {}, LVCRASH_ERROR_INTERNAL, 0},
        {"swap on one entry", {0x31, 0x16}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"pick past the depth", {0x31, 0x15, 0x01}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"operand past the end", {0x0C, 0x01}, {}, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t result = 0;
        const lvcrash_error_t err = eval64(c.program, c.initial, &result, &state);
        EXPECT_EQ(err, c.error) << c.what;
        if (c.error == LVCRASH_ERROR_NONE && err == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(result, c.result) << c.what;
        }
    }
    // The deref of unmapped memory fails with the task read's own error.
    std::uint64_t result;
    EXPECT_NE(eval64({0x30, 0x06}, {}, &result, &state), LVCRASH_ERROR_NONE);
    // A hundred initial values fill the stack; one more push fails; dup on a full stack too.
    std::vector<std::uint64_t> hundred(100, 1);
    EXPECT_EQ(eval64({0x96}, hundred, &result, &state), LVCRASH_ERROR_NONE);
    EXPECT_EQ(eval64({0x31}, hundred, &result, &state), LVCRASH_ERROR_INTERNAL);
    EXPECT_EQ(eval64({0x12}, hundred, &result, &state), LVCRASH_ERROR_INVALID_ARGUMENT);
    std::vector<std::uint64_t> hundred_one(101, 1);
    EXPECT_EQ(eval64({0x96}, hundred_one, &result, &state), LVCRASH_ERROR_INTERNAL);

    // arm64: breg31 (sp) 8, deref.
    lvcrash_async_thread_state arm;
    lvcrash_async_thread_state_init(&arm, LVCRASH_CPU_TYPE_ARM64);
    lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_SP, mem);
    EXPECT_EQ(eval64({0x8F, 0x08, 0x06}, {}, &result, &arm), LVCRASH_ERROR_NONE);
    EXPECT_EQ(result, 0x99u);
    // 32-bit words: arithmetic wraps at 32 bits, div stays signed.
    Mapped m({0x11, 0x79, 0x32, 0x1B});
    std::uint32_t r32 = 0;
    ASSERT_EQ((lvcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(&m.mobj, self, &arm, le, m.address(), 0,
                                                                               4, nullptr, 0, &r32)),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(r32, static_cast<std::uint32_t>(-3));
}

}  // namespace
