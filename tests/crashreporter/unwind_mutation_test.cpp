// Deterministic mutations of real unwind tables: the fixture's `__unwind_info` and `__eh_frame`
// in the loaded copy, and copies of libc FDEs. Every step must end in a result code, and
// nothing may be read outside a mapping (run under ASan+UBSan by the sanitizer stage).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sys/mman.h>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/dwarf.hpp"
#include "crashreporter/fixture_support.hpp"
#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;

namespace {

const task_t self = platform::darwin::task_self();

void mutate(std::uint8_t* bytes, std::size_t size, std::mt19937_64& rng) {
    static constexpr std::uint32_t interesting[] = {0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = rng() % size;
        switch (rng() % 4) {
            case 0: bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
            case 1: bytes[at] = static_cast<std::uint8_t>(rng()); break;
            case 2:
                if (at + 4 <= size) {
                    const std::uint32_t v = interesting[rng() % std::size(interesting)];
                    std::memcpy(bytes + at, &v, 4);
                }
                break;
            default:
                if (at + 2 <= size) {
                    const std::uint16_t v = static_cast<std::uint16_t>(rng());
                    std::memcpy(bytes + at, &v, 2);
                }
                break;
        }
    }
}

// A stack of words that are mostly plausible: addresses inside the stack and inside code.
void fill_stack(std::uint64_t* stack, std::size_t n, std::uint64_t code_base, std::mt19937_64& rng) {
    const auto base = reinterpret_cast<std::uint64_t>(stack);
    for (std::size_t i = 0; i < n; ++i) {
        switch (rng() % 4) {
            case 0: stack[i] = base + 8 * (rng() % n); break;
            case 1: stack[i] = code_base + rng() % 0x1000; break;
            case 2: stack[i] = rng(); break;
            default: stack[i] = rng() % 64; break;
        }
    }
}

void check_walk(const lvcrash_async_thread_state& start, std::size_t max) {
    lvcrash_frame_cursor cursor;
    lvcrash_frame_cursor_init(&cursor, self, &start, unwind_support::fed_list());
    for (std::size_t i = 0; i < max; ++i) {
        const lvcrash_frame_error_t err = lvcrash_frame_cursor_next(&cursor);
        ASSERT_LE(static_cast<std::uint32_t>(err), static_cast<std::uint32_t>(LVCRASH_FRAME_BAD_REGISTER));
        if (err != LVCRASH_FRAME_OK) break;
    }
    lvcrash_frame_cursor_free(&cursor);
}

TEST(UnwindMutation, MachOUnwindInfoAndEhFrameInTheLoadedCopy) {
    unwind_support::FedList list;
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {false, 11, {}});
    const char* names[] = {"_fixture_frameless_leaf", "_fixture_frame",       "_fixture_dynamic_alloca",
                           "_fixture_chain_frame",    "_fixture_chain_alloca", "_fixture_dwarf_only",
                           "_fixture_chain_dwarf",    "_fixture_chain_frameless"};
    std::vector<std::uint64_t> functions;
    for (const char* name : names) functions.push_back(image->symbol(name));
    const std::uint64_t page = platform::darwin::page_size();
    std::mt19937_64 rng(20261207);
    for (const char* section : {"__unwind_info", "__eh_frame"}) {
        SCOPED_TRACE(section);
        std::uint64_t size = 0;
        auto* data = const_cast<std::uint8_t*>(platform::darwin::loader_section_data(image->header(), "__TEXT", section, &size));
        ASSERT_TRUE(data && size > 0);
        const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
        const auto last = (reinterpret_cast<std::uintptr_t>(data) + size + page - 1) & ~(page - 1);
        ASSERT_EQ(mprotect(reinterpret_cast<void*>(first), last - first, PROT_READ | PROT_WRITE), 0);
        const std::vector<std::uint8_t> original(data, data + size);
        for (int round = 0; round < 8000; ++round) {
            std::memcpy(data, original.data(), size);
            mutate(data, size, rng);
            alignas(16) std::uint64_t stack[64];
            fill_stack(stack, 64, functions[0], rng);
            lvcrash_async_thread_state start;
            lvcrash_async_thread_state_init(&start, LVCRASH_CPU_TYPE_X86_64);
            lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_IP, functions[rng() % functions.size()] + rng() % 48);
            lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_SP, reinterpret_cast<std::uint64_t>(&stack[rng() % 16]));
            lvcrash_async_thread_state_set_reg(&start, LVCRASH_REG_FP, reinterpret_cast<std::uint64_t>(&stack[16 + rng() % 16]));
            lvcrash_async_thread_state_set_reg(&start, LVCRASH_X86_64_RBX, rng());
            check_walk(start, 8);
            if (HasFatalFailure()) return;
        }
        std::memcpy(data, original.data(), size);
        mprotect(reinterpret_cast<void*>(first), last - first, PROT_READ | PROT_EXEC);
    }
}

TEST(UnwindMutation, CopiedLibcFdes) {
    unwind_support::FedList list;
    std::mt19937_64 rng(7);
    const void* targets[] = {reinterpret_cast<const void*>(&qsort), reinterpret_cast<const void*>(&std::fprintf),
                             reinterpret_cast<const void*>(&abort), reinterpret_cast<const void*>(&std::memmove)};
    int rounds = 0;
    for (const void* target : targets) {
        const auto pc = reinterpret_cast<std::uint64_t>(target) + 4;
        lvcrash_async_image_list_set_reading(list.get(), true);
        lvcrash_async_image* image = lvcrash_frame_image_for_pc(list.get(), pc);
        lvcrash_async_image_list_set_reading(list.get(), false);
        ASSERT_TRUE(image && image->kind == LVCRASH_ASYNC_IMAGE_ELF);
        lvcrash_vm_address_t fde_address = 0, eh_frame = 0;
        ASSERT_EQ(lvcrash_async_dwarf_eh_frame_hdr_search(self, image->elf.eh_frame_hdr, image->elf.eh_frame_hdr_size, pc,
                                                          &fde_address, &eh_frame),
                  LVCRASH_ERROR_NONE);
        std::uint32_t fde_length = 0, cie_pointer = 0, cie_length = 0;
        std::memcpy(&fde_length, reinterpret_cast<const void*>(fde_address), 4);
        std::memcpy(&cie_pointer, reinterpret_cast<const void*>(fde_address + 4), 4);
        const std::uint64_t cie_address = fde_address + 4 - cie_pointer;
        std::memcpy(&cie_length, reinterpret_cast<const void*>(cie_address), 4);
        // [CIE][FDE][terminator], with the FDE's CIE pointer made relative to the copy.
        std::vector<std::uint8_t> copy(4 + cie_length + 4 + fde_length + 4, 0);
        std::memcpy(copy.data(), reinterpret_cast<const void*>(cie_address), 4 + cie_length);
        const std::size_t fde_at = 4 + cie_length;
        std::memcpy(copy.data() + fde_at, reinterpret_cast<const void*>(fde_address), 4 + fde_length);
        const std::uint32_t relative = static_cast<std::uint32_t>(fde_at + 4);
        std::memcpy(copy.data() + fde_at + 4, &relative, 4);
        const std::vector<std::uint8_t> original = copy;

        // The unmutated copy covers a range at its new place (pc-relative start): find it.
        lvcrash_async_mobject mobj;
        ASSERT_EQ(lvcrash_async_mobject_init(&mobj, self, reinterpret_cast<std::uint64_t>(copy.data()), copy.size(), true),
                  LVCRASH_ERROR_NONE);
        lvcrash_async_dwarf_fde_info fde;
        ASSERT_EQ(RD::async::lvcrash_async_dwarf_fde_info_init<std::uint64_t>(
                      &fde, &mobj, lvcrash_async_byteorder_little_endian(),
                      reinterpret_cast<std::uint64_t>(copy.data()) + fde_at, false),
                  LVCRASH_ERROR_NONE);
        lvcrash_async_mobject_free(&mobj);
        ASSERT_GT(fde.pc_end, fde.pc_start);

        for (int round = 0; round < 1000; ++round, ++rounds) {
            copy = original;
            mutate(copy.data(), copy.size() - 4, rng);
            ASSERT_EQ(lvcrash_async_mobject_init(&mobj, self, reinterpret_cast<std::uint64_t>(copy.data()), copy.size(), true),
                      LVCRASH_ERROR_NONE);
            alignas(16) std::uint64_t stack[64];
            fill_stack(stack, 64, fde.pc_start, rng);
            lvcrash_async_thread_state current;
            lvcrash_async_thread_state_init(&current, LVCRASH_CPU_TYPE_X86_64);
            const std::uint64_t at_pc = fde.pc_start + rng() % (fde.pc_end - fde.pc_start);
            lvcrash_async_thread_state_set_reg(&current, LVCRASH_REG_IP, at_pc);
            lvcrash_async_thread_state_set_reg(&current, LVCRASH_REG_SP, reinterpret_cast<std::uint64_t>(&stack[8]));
            lvcrash_async_thread_state_set_reg(&current, LVCRASH_REG_FP, reinterpret_cast<std::uint64_t>(&stack[24]));
            lvcrash_async_thread_state next;
            const lvcrash_frame_error_t err = lvcrash_frame_dwarf_unwind_fde(
                self, &mobj, reinterpret_cast<std::uint64_t>(copy.data()) + fde_at, true, false, at_pc, &current, &next);
            lvcrash_async_mobject_free(&mobj);
            ASSERT_LE(static_cast<std::uint32_t>(err), static_cast<std::uint32_t>(LVCRASH_FRAME_BAD_REGISTER));
        }
    }
    EXPECT_EQ(rounds, 4000);
}

}  // namespace
