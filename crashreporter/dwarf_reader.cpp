// The DWARF frame reader: finds the FDE covering a frame's pc (a linear walk of a Mach-O
// image's `__eh_frame` or `__debug_frame`, a binary search of an ELF image's `.eh_frame_hdr`),
// builds the row in force at that pc and applies it.
#include "crashreporter/dwarf.hpp"
#include "crashreporter/frame_cursor.hpp"

namespace lvcrash {
namespace {

using namespace RD::async;

template <typename T, typename S>
lvcrash_frame_error_t unwind_with_fde(task_t task, const lvcrash_async_mobject* fde_mobj,
                                      const lvcrash_async_mobject* cie_mobj, lvcrash_vm_address_t section_base,
                                      const RDlvcrash_async_byteorder* bo, const lvcrash_async_dwarf_fde_info* fde,
                                      lvcrash_vm_address_t pc, const lvcrash_async_thread_state* current,
                                      lvcrash_async_thread_state* next) {
    gnu_ehptr_reader<T> ptr(bo);
    ptr.set_frame_section_base(section_base, section_base);
    lvcrash_async_dwarf_cie_info cie;
    if (lvcrash_async_dwarf_cie_info_init<T>(&cie, cie_mobj, bo, &ptr, section_base + fde->cie_offset) !=
        LVCRASH_ERROR_NONE)
        return LVCRASH_FRAME_NOT_SUPPORTED;
    dwarf_cfa_state<T, S> state;
    const lvcrash_vm_address_t cie_base = lvcrash_async_mobject_base_address(cie_mobj);
    if (state.eval_program(cie_mobj, static_cast<T>(pc), static_cast<T>(fde->pc_start), &cie, &ptr, bo, cie_base,
                           static_cast<lvcrash_vm_off_t>(cie.initial_instructions_offset),
                           static_cast<lvcrash_vm_off_t>(cie.initial_instructions_length)) != LVCRASH_ERROR_NONE)
        return LVCRASH_FRAME_NOT_SUPPORTED;
    if (state.eval_program(fde_mobj, static_cast<T>(pc), static_cast<T>(fde->pc_start), &cie, &ptr, bo, section_base,
                           static_cast<lvcrash_vm_off_t>(fde->instructions_offset),
                           static_cast<lvcrash_vm_off_t>(fde->instructions_length)) != LVCRASH_ERROR_NONE)
        return LVCRASH_FRAME_NOT_SUPPORTED;
    if (state.apply_state(task, &cie, current, bo, next) != LVCRASH_ERROR_NONE) return LVCRASH_FRAME_NO_FRAME;
    // The caller of a signal frame was interrupted, not calling: its own rules apply at its pc.
    if (cie.eh_augmentation.signal_frame) next->frame_flags |= LVCRASH_ASYNC_THREAD_STATE_PC_EXACT;
    return LVCRASH_FRAME_OK;
}

lvcrash_frame_error_t macho_dwarf(task_t task, lvcrash_async_macho* image, lvcrash_vm_address_t pc,
                                  const lvcrash_async_thread_state* current, lvcrash_async_thread_state* next) {
    lvcrash_async_mobject section;
    bool debug_frame = false;
    if (lvcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section) != LVCRASH_ERROR_NONE) {
        if (lvcrash_async_macho_map_section(image, "__DWARF", "__debug_frame", &section) != LVCRASH_ERROR_NONE)
            return LVCRASH_FRAME_NO_FRAME;
        debug_frame = true;
    }
    const RDlvcrash_async_byteorder* bo = lvcrash_async_macho_byteorder(image);
    lvcrash_frame_error_t result = LVCRASH_FRAME_NOT_SUPPORTED;
    lvcrash_async_dwarf_frame_reader reader;
    lvcrash_async_dwarf_fde_info fde;
    if (lvcrash_async_dwarf_frame_reader_init(&reader, &section, bo, image->m64, debug_frame) != LVCRASH_ERROR_NONE) {
        result = LVCRASH_FRAME_INVALID_ARGUMENT;
    } else if (lvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, pc, &fde) == LVCRASH_ERROR_NONE) {
        const lvcrash_vm_address_t base = lvcrash_async_mobject_base_address(&section);
        result = image->m64 ? unwind_with_fde<std::uint64_t, std::int64_t>(task, &section, &section, base, bo, &fde, pc,
                                                                           current, next)
                            : unwind_with_fde<std::uint32_t, std::int32_t>(task, &section, &section, base, bo, &fde, pc,
                                                                           current, next);
    }
    lvcrash_async_mobject_free(&section);
    return result;
}

// One CIE or FDE whole, from its initial length on: copied into buffer when it fits, else
// mapped (then *mapped is set and the caller frees it).
lvcrash_error_t map_entry(task_t task, lvcrash_vm_address_t address, lvcrash_async_mobject* mobj, void* buffer,
                          std::size_t capacity, bool* mapped) {
    *mapped = false;
    std::uint32_t len32;
    if (lvcrash_async_task_memcpy(task, address, 0, &len32, 4) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    std::uint64_t total = 4ull + len32;
    if (len32 == 0xFFFFFFFFu) {
        std::uint64_t len64;
        if (lvcrash_async_task_memcpy(task, address, 4, &len64, 8) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (len64 > (1ull << 32)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        total = 12 + len64;
    }
    if (len32 == 0) return LVCRASH_ERROR_NOT_FOUND;
    if (lvcrash_async_mobject_local_copy(mobj, task, address, total, buffer, capacity)) return LVCRASH_ERROR_NONE;
    const lvcrash_error_t err = lvcrash_async_mobject_init(mobj, task, address, total, true);
    *mapped = err == LVCRASH_ERROR_NONE;
    return err;
}

lvcrash_frame_error_t elf_dwarf(task_t task, const lvcrash_async_elf* image, lvcrash_vm_address_t pc,
                                const lvcrash_async_thread_state* current, lvcrash_async_thread_state* next) {
    if (image->eh_frame_hdr == 0) return LVCRASH_FRAME_NO_FRAME;
    lvcrash_vm_address_t fde_address = 0, eh_frame = 0;
    if (lvcrash_async_dwarf_eh_frame_hdr_search(task, image->eh_frame_hdr, image->eh_frame_hdr_size, pc, &fde_address,
                                                &eh_frame) != LVCRASH_ERROR_NONE)
        return LVCRASH_FRAME_NOT_SUPPORTED;
    if (fde_address < eh_frame) return LVCRASH_FRAME_NOT_SUPPORTED;
    const RDlvcrash_async_byteorder* bo = lvcrash_async_byteorder_little_endian();
    alignas(8) std::uint8_t fde_copy[1024];
    alignas(8) std::uint8_t cie_copy[512];
    lvcrash_async_mobject fde_mobj;
    bool fde_mapped = false, cie_mapped = false;
    if (map_entry(task, fde_address, &fde_mobj, fde_copy, sizeof fde_copy, &fde_mapped) != LVCRASH_ERROR_NONE)
        return LVCRASH_FRAME_NOT_SUPPORTED;
    // Only this FDE and its CIE are mapped.
    lvcrash_frame_error_t result = LVCRASH_FRAME_NOT_SUPPORTED;
    std::uint32_t len32 = 0, cie_pointer = 0;
    lvcrash_async_mobject_read_uint32(&fde_mobj, bo, fde_address, 0, &len32);
    const std::uint32_t pointer_at = len32 == 0xFFFFFFFFu ? 12 : 4;
    if (len32 != 0xFFFFFFFFu && lvcrash_async_mobject_read_uint32(&fde_mobj, bo, fde_address, 4, &cie_pointer) == LVCRASH_ERROR_NONE &&
        cie_pointer != 0 && cie_pointer <= fde_address + pointer_at - eh_frame) {
        const lvcrash_vm_address_t cie_address = fde_address + pointer_at - cie_pointer;
        lvcrash_async_mobject cie_mobj;
        if (map_entry(task, cie_address, &cie_mobj, cie_copy, sizeof cie_copy, &cie_mapped) == LVCRASH_ERROR_NONE) {
            lvcrash_async_dwarf_fde_info fde;
            if (lvcrash_async_dwarf_fde_info_init_split<std::uint64_t>(&fde, &fde_mobj, &cie_mobj, eh_frame, bo,
                                                                       fde_address, false) == LVCRASH_ERROR_NONE &&
                fde.pc_start <= pc && pc < fde.pc_end) {
                result = unwind_with_fde<std::uint64_t, std::int64_t>(task, &fde_mobj, &cie_mobj, eh_frame, bo, &fde,
                                                                      pc, current, next);
            }
            if (cie_mapped) lvcrash_async_mobject_free(&cie_mobj);
        }
    }
    if (fde_mapped) lvcrash_async_mobject_free(&fde_mobj);
    return result;
}

}  // namespace

lvcrash_frame_error_t lvcrash_frame_dwarf_unwind_fde(task_t task, const lvcrash_async_mobject* section,
                                                     lvcrash_vm_address_t fde_address, bool m64, bool debug_frame,
                                                     lvcrash_vm_address_t pc, const lvcrash_async_thread_state* current,
                                                     lvcrash_async_thread_state* next) {
    const RDlvcrash_async_byteorder* bo = lvcrash_async_byteorder_little_endian();
    const lvcrash_vm_address_t base = lvcrash_async_mobject_base_address(section);
    lvcrash_async_dwarf_fde_info fde;
    const lvcrash_error_t parsed =
        m64 ? lvcrash_async_dwarf_fde_info_init<std::uint64_t>(&fde, section, bo, fde_address, debug_frame)
            : lvcrash_async_dwarf_fde_info_init<std::uint32_t>(&fde, section, bo, fde_address, debug_frame);
    if (parsed != LVCRASH_ERROR_NONE || pc < fde.pc_start || pc >= fde.pc_end) return LVCRASH_FRAME_NOT_SUPPORTED;
    return m64 ? unwind_with_fde<std::uint64_t, std::int64_t>(task, section, section, base, bo, &fde, pc, current, next)
               : unwind_with_fde<std::uint32_t, std::int32_t>(task, section, section, base, bo, &fde, pc, current, next);
}

lvcrash_frame_error_t lvcrash_frame_reader_dwarf(task_t task, lvcrash_async_image_list* image_list,
                                                 const lvcrash_async_thread_state* current,
                                                 const lvcrash_async_thread_state* previous,
                                                 lvcrash_async_thread_state* next) {
    if (!lvcrash_async_thread_state_has_reg(current, LVCRASH_REG_IP)) return LVCRASH_FRAME_BAD_FRAME;
    if (lvcrash_async_thread_state_get_reg(current, LVCRASH_REG_IP) == 0) return LVCRASH_FRAME_NOT_SUPPORTED;
    const lvcrash_vm_address_t pc = lvcrash_frame_lookup_pc(current, previous);
    if (image_list == nullptr) return LVCRASH_FRAME_NOT_SUPPORTED;
    lvcrash_async_image_list_set_reading(image_list, true);
    lvcrash_frame_error_t result = LVCRASH_FRAME_NOT_SUPPORTED;
    if (lvcrash_async_image* image = lvcrash_frame_image_for_pc(image_list, pc)) {
        if (image->kind == LVCRASH_ASYNC_IMAGE_MACHO) result = macho_dwarf(task, &image->macho, pc, current, next);
        else result = elf_dwarf(task, &image->elf, pc, current, next);
    }
    lvcrash_async_image_list_set_reading(image_list, false);
    return result;
}

}  // namespace lvcrash
