#include "crashreporter/compact_unwind.hpp"

#include "crashreporter/frame_cursor.hpp"

namespace lvcrash {
namespace {

constexpr std::uint32_t kind_regular = 2;
constexpr std::uint32_t kind_compressed = 3;

struct Table {
    const lvcrash_async_mobject* mobj;
    lvcrash_vm_address_t base;
    lvcrash_vm_size_t length;
    // A span [offset, offset + size) of the section, or nullptr when it isn't inside.
    const std::uint8_t* span(std::uint64_t offset, std::uint64_t size) const {
        if (offset > length || size > length - offset) return nullptr;
        return static_cast<const std::uint8_t*>(
            lvcrash_async_mobject_remap_address(mobj, base + offset, 0, static_cast<std::size_t>(size)));
    }
};

std::uint32_t u32_at(const std::uint8_t* p) {
    std::uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}
std::uint16_t u16_at(const std::uint8_t* p) {
    std::uint16_t v;
    __builtin_memcpy(&v, p, 2);
    return v;
}

// The last of count entries whose key <= pc, by the table's binary search; -1 when none.
template <typename Key>
long search(std::uint32_t count, std::uint64_t pc, Key key) {
    if (count == 0) return -1;
    long low = 0, high = static_cast<long>(count) - 1;
    while (low <= high) {
        const long mid = (low + high) / 2;
        const std::uint64_t at = key(mid);
        if (at < pc) {
            if (mid == high || key(mid + 1) > pc) return mid;
            low = mid + 1;
        } else if (at > pc) {
            if (mid == 0) return -1;
            high = mid - 1;
        } else {
            return mid;
        }
    }
    return -1;
}

bool is_x86(std::uint32_t cpu) { return cpu == LVCRASH_CPU_TYPE_X86 || cpu == LVCRASH_CPU_TYPE_X86_64; }

bool translate_x86(std::uint32_t cpu, std::uint32_t code, std::uint32_t* reg) {
    // x86-64: 1 rbx, 2 r12, 3 r13, 4 r14, 5 r15, 6 rbp. x86: 1 ebx, 2 ecx, 3 edx, 4 edi, 5 esi, 6 ebp.
    static constexpr std::uint32_t x86_64[7] = {LVCRASH_ASYNC_CFE_REG_NONE, 4, 13, 14, 15, 16, 1};
    static constexpr std::uint32_t x86[7] = {LVCRASH_ASYNC_CFE_REG_NONE, 6, 5, 4, 8, 7, 1};
    if (code > 6) return false;
    *reg = cpu == LVCRASH_CPU_TYPE_X86_64 ? x86_64[code] : x86[code];
    return true;
}

}  // namespace

lvcrash_error_t lvcrash_async_cfe_reader_init(lvcrash_async_cfe_reader* reader, const lvcrash_async_mobject* mobj,
                                              std::uint32_t cpu_type) {
    if (cpu_type != LVCRASH_CPU_TYPE_X86 && cpu_type != LVCRASH_CPU_TYPE_X86_64 && cpu_type != LVCRASH_CPU_TYPE_ARM64)
        return LVCRASH_ERROR_NOT_SUPPORTED;
    reader->mobj = mobj;
    reader->cpu_type = cpu_type;
    reader->byteorder = lvcrash_async_byteorder_little_endian();
    const void* header =
        lvcrash_async_mobject_remap_address(mobj, lvcrash_async_mobject_base_address(mobj), 0, sizeof reader->header);
    if (!header) return LVCRASH_ERROR_INVALID_ARGUMENT;
    __builtin_memcpy(reader->header, header, sizeof reader->header);
    if (reader->header[0] != 1) return LVCRASH_ERROR_NOT_SUPPORTED;
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_cfe_reader_free(lvcrash_async_cfe_reader*) {}

lvcrash_error_t lvcrash_async_cfe_reader_find_pc(const lvcrash_async_cfe_reader* reader, std::uint64_t pc,
                                                 std::uint64_t* function_base, std::uint32_t* encoding) {
    const Table t{reader->mobj, lvcrash_async_mobject_base_address(reader->mobj),
                  lvcrash_async_mobject_length(reader->mobj)};
    const std::uint32_t common_offset = reader->header[1], common_count = reader->header[2];
    const std::uint32_t index_offset = reader->header[5], index_count = reader->header[6];
    const std::uint8_t* common = t.span(common_offset, std::uint64_t{common_count} * 4);
    if (!common && common_count != 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (index_count == 0) return LVCRASH_ERROR_NOT_FOUND;
    // The last entry only marks the end of the covered range.
    const std::uint8_t* index = t.span(index_offset, std::uint64_t{index_count} * 12);
    if (!index) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const std::uint32_t usable = index_count - 1;
    const long first = search(usable, pc, [&](long i) { return std::uint64_t{u32_at(index + i * 12)}; });
    if (first < 0) return LVCRASH_ERROR_NOT_FOUND;
    const std::uint32_t first_function = u32_at(index + first * 12);
    const std::uint32_t page_offset = u32_at(index + first * 12 + 4);
    const std::uint8_t* kind_at = t.span(page_offset, 4);
    if (!kind_at) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const std::uint32_t kind = u32_at(kind_at);
    if (kind == kind_compressed) {
        const std::uint8_t* page = t.span(page_offset, 12);
        if (!page) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const std::uint16_t entry_offset = u16_at(page + 4), entry_count = u16_at(page + 6);
        const std::uint16_t enc_offset = u16_at(page + 8), enc_count = u16_at(page + 10);
        if (entry_count == 0) return LVCRASH_ERROR_NOT_FOUND;
        const std::uint8_t* entries = t.span(std::uint64_t{page_offset} + entry_offset, std::uint64_t{entry_count} * 4);
        if (!entries) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const long at = search(entry_count, pc, [&](long i) {
            return std::uint64_t{u32_at(entries + i * 4) & 0xFFFFFF} + first_function;
        });
        if (at < 0) return LVCRASH_ERROR_NOT_FOUND;
        const std::uint32_t word = u32_at(entries + at * 4);
        *function_base = std::uint64_t{word & 0xFFFFFF} + first_function;
        const std::uint32_t enc_index = word >> 24;
        if (enc_index < common_count) {
            *encoding = u32_at(common + enc_index * 4);
        } else {
            const std::uint32_t local = enc_index - common_count;
            if (local >= enc_count) return LVCRASH_ERROR_INVALID_ARGUMENT;
            const std::uint8_t* encodings =
                t.span(std::uint64_t{page_offset} + enc_offset, std::uint64_t{enc_count} * 4);
            if (!encodings) return LVCRASH_ERROR_INVALID_ARGUMENT;
            *encoding = u32_at(encodings + local * 4);
        }
        return LVCRASH_ERROR_NONE;
    }
    if (kind == kind_regular) {
        const std::uint8_t* page = t.span(page_offset, 8);
        if (!page) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const std::uint16_t entry_offset = u16_at(page + 4), entry_count = u16_at(page + 6);
        if (entry_count == 0) return LVCRASH_ERROR_NOT_FOUND;
        const std::uint8_t* entries = t.span(std::uint64_t{page_offset} + entry_offset, std::uint64_t{entry_count} * 8);
        if (!entries) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const long at = search(entry_count, pc, [&](long i) { return std::uint64_t{u32_at(entries + i * 8)}; });
        if (at < 0) return LVCRASH_ERROR_NOT_FOUND;
        *function_base = u32_at(entries + at * 8);
        *encoding = u32_at(entries + at * 8 + 4);
        return LVCRASH_ERROR_NONE;
    }
    return LVCRASH_ERROR_INVALID_ARGUMENT;
}

lvcrash_error_t lvcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t registers[]) {
    if (count > 6) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (count == 0) return LVCRASH_ERROR_NONE;
    std::uint32_t digits[6] = {};
    std::uint32_t p = permutation;
    switch (count) {
        case 6:
        case 5:
            digits[0] = p / 120;
            p %= 120;
            digits[1] = p / 24;
            p %= 24;
            digits[2] = p / 6;
            p %= 6;
            digits[3] = p / 2;
            digits[4] = p % 2;
            digits[5] = 0;
            break;
        case 4:
            digits[0] = p / 60;
            p %= 60;
            digits[1] = p / 12;
            p %= 12;
            digits[2] = p / 3;
            digits[3] = p % 3;
            break;
        case 3:
            digits[0] = p / 20;
            p %= 20;
            digits[1] = p / 4;
            digits[2] = p % 4;
            break;
        case 2:
            digits[0] = p / 5;
            digits[1] = p % 5;
            break;
        case 1: digits[0] = p; break;
    }
    bool taken[7] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t seen = 0;
        std::uint32_t chosen = 0;
        for (std::uint32_t n = 1; n <= 6; ++n) {
            if (taken[n]) continue;
            if (seen == digits[i]) {
                chosen = n;
                break;
            }
            ++seen;
        }
        // A digit past the numbers still free: the permutation is damaged.
        if (chosen == 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
        taken[chosen] = true;
        registers[i] = chosen;
    }
    return LVCRASH_ERROR_NONE;
}

std::uint32_t lvcrash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count) {
    std::uint32_t d[6] = {};
    for (std::uint32_t i = 0; i < count && i < 6; ++i) {
        std::uint32_t smaller = 0;
        for (std::uint32_t j = 0; j < i; ++j)
            if (registers[j] < registers[i]) ++smaller;
        d[i] = registers[i] - 1 - smaller;
    }
    switch (count) {
        case 1: return d[0];
        case 2: return d[0] * 5 + d[1];
        case 3: return d[0] * 20 + d[1] * 4 + d[2];
        case 4: return d[0] * 60 + d[1] * 12 + d[2] * 3 + d[3];
        case 5:
        case 6: return d[0] * 120 + d[1] * 24 + d[2] * 6 + d[3] * 2 + d[4];
        default: return 0;
    }
}

lvcrash_error_t lvcrash_async_cfe_entry_init(lvcrash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                             std::uint32_t encoding) {
    lvcrash_async_memset(entry, 0, sizeof *entry);
    entry->cpu_type = cpu_type;
    entry->return_address_register = LVCRASH_ASYNC_CFE_REG_NONE;
    const std::uint32_t mode = (encoding >> 24) & 0xF;
    if (mode > 4) return LVCRASH_ERROR_NOT_SUPPORTED;
    if (cpu_type == LVCRASH_CPU_TYPE_ARM64) {
        const auto pairs = [&]() {
            static constexpr std::uint32_t bits[5] = {0x10, 0x08, 0x04, 0x02, 0x01};
            for (int i = 0; i < 5; ++i) {
                if (!(encoding & bits[i])) continue;
                // x28,x27 / x26,x25 / x24,x23 / x22,x21 / x20,x19 (generic x0 = 3).
                const std::uint32_t high = 3 + 28 - 2 * static_cast<std::uint32_t>(i);
                entry->register_list[entry->register_count++] = high;
                entry->register_list[entry->register_count++] = high - 1;
            }
        };
        switch (mode) {
            case 0: entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_NONE; return LVCRASH_ERROR_NONE;
            case 2:
                entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
                entry->stack_offset = (encoding >> 8) & 0xFFF0;
                entry->return_address_register = LVCRASH_ARM64_LR;
                pairs();
                return LVCRASH_ERROR_NONE;
            case 3:
                entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
                entry->stack_offset = encoding & 0xFFFFFF;
                return LVCRASH_ERROR_NONE;
            case 4:
                entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR;
                pairs();
                entry->stack_offset = -8 * static_cast<std::int64_t>(entry->register_count);
                return LVCRASH_ERROR_NONE;
            default: return LVCRASH_ERROR_NOT_SUPPORTED;
        }
    }
    if (!is_x86(cpu_type)) return LVCRASH_ERROR_NOT_SUPPORTED;
    const std::int64_t word = cpu_type == LVCRASH_CPU_TYPE_X86_64 ? 8 : 4;
    switch (mode) {
        case 0: entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_NONE; return LVCRASH_ERROR_NONE;
        case 1: {
            entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR;
            entry->stack_offset = -static_cast<std::int64_t>((encoding >> 16) & 0xFF) * word;
            std::uint32_t bits = encoding & 0x7FFF;
            while (bits != 0 && entry->register_count < 5) {
                std::uint32_t reg;
                if (!translate_x86(cpu_type, bits & 7, &reg)) return LVCRASH_ERROR_INVALID_ARGUMENT;
                entry->register_list[entry->register_count++] = reg;
                bits >>= 3;
            }
            return LVCRASH_ERROR_NONE;
        }
        case 2:
        case 3: {
            if (mode == 2) {
                entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
                entry->stack_offset = static_cast<std::int64_t>((encoding >> 16) & 0xFF) * word;
            } else {
                entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT;
                entry->stack_offset = (encoding >> 16) & 0xFF;
                entry->stack_adjust = static_cast<std::uint32_t>(((encoding >> 13) & 0x7) * word);
            }
            const std::uint32_t count = (encoding >> 10) & 0x7;
            std::uint32_t codes[6];
            const lvcrash_error_t err = lvcrash_async_cfe_register_decode(encoding & 0x3FF, count, codes);
            if (err != LVCRASH_ERROR_NONE) return err;
            for (std::uint32_t i = 0; i < count; ++i) {
                std::uint32_t reg;
                if (!translate_x86(cpu_type, codes[i], &reg)) return LVCRASH_ERROR_INVALID_ARGUMENT;
                entry->register_list[entry->register_count++] = reg;
            }
            return LVCRASH_ERROR_NONE;
        }
        case 4:
            entry->type = LVCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
            entry->stack_offset = encoding & 0xFFFFFF;
            return LVCRASH_ERROR_NONE;
    }
    return LVCRASH_ERROR_NOT_SUPPORTED;
}

void lvcrash_async_cfe_entry_free(lvcrash_async_cfe_entry*) {}
lvcrash_async_cfe_entry_type_t lvcrash_async_cfe_entry_type(const lvcrash_async_cfe_entry* e) { return e->type; }
std::int64_t lvcrash_async_cfe_entry_stack_offset(const lvcrash_async_cfe_entry* e) { return e->stack_offset; }
std::uint32_t lvcrash_async_cfe_entry_stack_adjust(const lvcrash_async_cfe_entry* e) { return e->stack_adjust; }
std::uint32_t lvcrash_async_cfe_entry_return_address_register(const lvcrash_async_cfe_entry* e) {
    return e->return_address_register;
}
std::uint32_t lvcrash_async_cfe_entry_register_count(const lvcrash_async_cfe_entry* e) { return e->register_count; }
void lvcrash_async_cfe_entry_register_list(const lvcrash_async_cfe_entry* e, std::uint32_t* registers,
                                           std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && i < e->register_count; ++i) registers[i] = e->register_list[i];
}

lvcrash_error_t lvcrash_async_cfe_entry_apply(task_t task, lvcrash_vm_address_t function_address,
                                              const lvcrash_async_thread_state* thread_state,
                                              const lvcrash_async_cfe_entry* entry,
                                              lvcrash_async_thread_state* new_thread_state) {
    const std::uint64_t w = lvcrash_async_thread_state_get_greg_size(thread_state);
    lvcrash_async_thread_state next;
    lvcrash_async_thread_state_copy(&next, thread_state);
    lvcrash_async_thread_state_clear_volatile_regs(&next);
    next.frame_flags = 0;
    const auto read_word = [&](lvcrash_vm_address_t at, std::uint64_t* value) {
        *value = 0;
        return lvcrash_async_task_memcpy(task, at, 0, value, w);
    };
    lvcrash_vm_address_t saved_start = 0;
    lvcrash_error_t err;
    switch (entry->type) {
        case LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR: {
            if (!lvcrash_async_thread_state_has_reg(thread_state, LVCRASH_REG_FP)) return LVCRASH_ERROR_NOT_FOUND;
            const std::uint64_t fp = lvcrash_async_thread_state_get_reg(thread_state, LVCRASH_REG_FP);
            if (fp + 2 * w < fp) return LVCRASH_ERROR_INVALID_ARGUMENT;
            std::uint64_t caller_fp, pc;
            if ((err = read_word(fp, &caller_fp)) != LVCRASH_ERROR_NONE) return err;
            if ((err = read_word(fp + w, &pc)) != LVCRASH_ERROR_NONE) return err;
            lvcrash_async_thread_state_set_reg(&next, LVCRASH_REG_SP, fp + 2 * w);
            lvcrash_async_thread_state_set_reg(&next, LVCRASH_REG_FP, caller_fp);
            lvcrash_async_thread_state_set_reg(&next, LVCRASH_REG_IP, pc);
            saved_start = fp + static_cast<std::uint64_t>(entry->stack_offset);
            break;
        }
        case LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD:
        case LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT: {
            if (!lvcrash_async_thread_state_has_reg(thread_state, LVCRASH_REG_SP)) return LVCRASH_ERROR_NOT_FOUND;
            std::uint64_t size = static_cast<std::uint64_t>(entry->stack_offset);
            if (entry->type == LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT) {
                std::uint32_t immediate;
                if ((err = lvcrash_async_task_memcpy(task, function_address + size, 0, &immediate, 4)) != LVCRASH_ERROR_NONE)
                    return err;
                size = std::uint64_t{immediate} + entry->stack_adjust;
            }
            const std::uint64_t sp = lvcrash_async_thread_state_get_reg(thread_state, LVCRASH_REG_SP) + size;
            lvcrash_async_thread_state_set_reg(&next, LVCRASH_REG_SP, sp);
            const std::uint64_t count = entry->register_count;
            if (entry->return_address_register != LVCRASH_ASYNC_CFE_REG_NONE) {
                if (!lvcrash_async_thread_state_has_reg(thread_state, entry->return_address_register))
                    return LVCRASH_ERROR_NOT_FOUND;
                lvcrash_async_thread_state_set_reg(
                    &next, LVCRASH_REG_IP, lvcrash_async_thread_state_get_reg(thread_state, entry->return_address_register));
                saved_start = sp - w * count;
            } else {
                std::uint64_t pc;
                if ((err = read_word(sp - w, &pc)) != LVCRASH_ERROR_NONE) return err;
                lvcrash_async_thread_state_set_reg(&next, LVCRASH_REG_IP, pc);
                saved_start = sp - w - w * count;
            }
            break;
        }
        default: return LVCRASH_ERROR_NOT_SUPPORTED;
    }
    for (std::uint32_t i = 0; i < entry->register_count; ++i) {
        if (entry->register_list[i] == LVCRASH_ASYNC_CFE_REG_NONE) continue;
        std::uint64_t value;
        if ((err = read_word(saved_start + i * w, &value)) != LVCRASH_ERROR_NONE) return err;
        lvcrash_async_thread_state_set_reg(&next, entry->register_list[i], value);
    }
    lvcrash_async_thread_state_copy(new_thread_state, &next);
    return LVCRASH_ERROR_NONE;
}

lvcrash_frame_error_t lvcrash_frame_reader_compact_unwind(task_t task, lvcrash_async_image_list* image_list,
                                                          const lvcrash_async_thread_state* current,
                                                          const lvcrash_async_thread_state* previous,
                                                          lvcrash_async_thread_state* next) {
    if (!lvcrash_async_thread_state_has_reg(current, LVCRASH_REG_IP)) return LVCRASH_FRAME_BAD_FRAME;
    if (lvcrash_async_thread_state_get_reg(current, LVCRASH_REG_IP) == 0) return LVCRASH_FRAME_NOT_SUPPORTED;
    if (image_list == nullptr) return LVCRASH_FRAME_NOT_SUPPORTED;
    const lvcrash_vm_address_t pc = lvcrash_frame_lookup_pc(current, previous);
    lvcrash_async_image_list_set_reading(image_list, true);
    lvcrash_frame_error_t result = LVCRASH_FRAME_NOT_SUPPORTED;
    lvcrash_async_image* image = lvcrash_frame_image_for_pc(image_list, pc);
    lvcrash_async_mobject section;
    // ELF objects have no compact unwind table.
    if (image && image->kind == LVCRASH_ASYNC_IMAGE_MACHO &&
        lvcrash_async_macho_map_section(&image->macho, "__TEXT", "__unwind_info", &section) == LVCRASH_ERROR_NONE) {
        const lvcrash_vm_address_t header = image->macho.header_addr;
        lvcrash_async_cfe_reader reader;
        std::uint64_t function_base = 0;
        std::uint32_t encoding = 0;
        lvcrash_async_cfe_entry entry;
        if (lvcrash_async_cfe_reader_init(&reader, &section, lvcrash_async_macho_cpu_type(&image->macho)) !=
            LVCRASH_ERROR_NONE) {
            result = LVCRASH_FRAME_INVALID_ARGUMENT;
        } else if (pc < header ||
                   lvcrash_async_cfe_reader_find_pc(&reader, pc - header, &function_base, &encoding) != LVCRASH_ERROR_NONE ||
                   lvcrash_async_cfe_entry_init(&entry, reader.cpu_type, encoding) != LVCRASH_ERROR_NONE) {
            result = LVCRASH_FRAME_NOT_SUPPORTED;
        } else if (entry.type == LVCRASH_ASYNC_CFE_ENTRY_TYPE_NONE) {
            result = LVCRASH_FRAME_NO_FRAME;
        } else if (header + function_base < header) {
            result = LVCRASH_FRAME_INVALID_ARGUMENT;
        } else {
            result = lvcrash_async_cfe_entry_apply(task, header + function_base, current, &entry, next) == LVCRASH_ERROR_NONE
                         ? LVCRASH_FRAME_OK
                         : LVCRASH_FRAME_NO_FRAME;
        }
        lvcrash_async_mobject_free(&section);
    }
    lvcrash_async_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace lvcrash
