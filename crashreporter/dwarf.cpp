#include "crashreporter/dwarf.hpp"
#include "crashreporter/dwarf_opstream_reader.hpp"

namespace lvcrash {

// ---- LEB128 ----

namespace {

template <typename Reader>
lvcrash_error_t read_leb(Reader read_byte, bool is_signed, std::uint64_t* value, std::size_t* size) {
    std::uint64_t result = 0;
    unsigned shift = 0;
    for (std::size_t i = 0;; ++i) {
        std::uint8_t byte;
        if (!read_byte(i, &byte)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (shift < 64) result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if ((byte & 0x80) == 0) {
            if (is_signed && shift < 64 && (byte & 0x40)) result |= ~0ull << shift;
            *value = result;
            *size = i + 1;
            return LVCRASH_ERROR_NONE;
        }
        // A tenth byte already fills all 64 bits: one that still continues is not a value we keep.
        if (i == 9) return LVCRASH_ERROR_NOT_SUPPORTED;
    }
}

lvcrash_error_t mobj_leb(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location, lvcrash_vm_off_t offset,
                         bool is_signed, std::uint64_t* value, std::size_t* size) {
    return read_leb(
        [&](std::size_t i, std::uint8_t* byte) {
            lvcrash_vm_address_t at;
            if (!lvcrash_async_address_apply_offset(location, offset, &at)) return false;
            return lvcrash_async_mobject_read_uint8(mobj, at, static_cast<lvcrash_vm_off_t>(i), byte) ==
                   LVCRASH_ERROR_NONE;
        },
        is_signed, value, size);
}

lvcrash_error_t task_leb(task_t task, lvcrash_vm_address_t location, lvcrash_vm_off_t offset, bool is_signed,
                         std::uint64_t* value, std::size_t* size) {
    lvcrash_vm_address_t at;
    if (!lvcrash_async_address_apply_offset(location, offset, &at)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    lvcrash_async_mobject mobj;
    const lvcrash_error_t err = lvcrash_async_mobject_init(&mobj, task, at, platform::darwin::page_size(), false);
    if (err != LVCRASH_ERROR_NONE) return err;
    const lvcrash_error_t result = mobj_leb(&mobj, at, 0, is_signed, value, size);
    lvcrash_async_mobject_free(&mobj);
    return result;
}

}  // namespace

lvcrash_error_t lvcrash_async_dwarf_read_uleb128(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location,
                                                 lvcrash_vm_off_t offset, std::uint64_t* value, std::size_t* size) {
    return mobj_leb(mobj, location, offset, false, value, size);
}

lvcrash_error_t lvcrash_async_dwarf_read_sleb128(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location,
                                                 lvcrash_vm_off_t offset, std::int64_t* value, std::size_t* size) {
    std::uint64_t raw = 0;
    const lvcrash_error_t err = mobj_leb(mobj, location, offset, true, &raw, size);
    *value = static_cast<std::int64_t>(raw);
    return err;
}

lvcrash_error_t lvcrash_async_dwarf_read_task_uleb128(task_t task, lvcrash_vm_address_t location,
                                                      lvcrash_vm_off_t offset, std::uint64_t* value, std::size_t* size) {
    return task_leb(task, location, offset, false, value, size);
}

lvcrash_error_t lvcrash_async_dwarf_read_task_sleb128(task_t task, lvcrash_vm_address_t location,
                                                      lvcrash_vm_off_t offset, std::int64_t* value, std::size_t* size) {
    std::uint64_t raw = 0;
    const lvcrash_error_t err = task_leb(task, location, offset, true, &raw, size);
    *value = static_cast<std::int64_t>(raw);
    return err;
}

// ---- Opcode streams ----

lvcrash_error_t lvcrash_async_dwarf_opstream_init(lvcrash_async_dwarf_opstream* stream,
                                                  const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  lvcrash_vm_off_t length) {
    if (length < 0) return LVCRASH_ERROR_INVALID_ARGUMENT;
    lvcrash_vm_address_t start;
    if (!lvcrash_async_address_apply_offset(address, offset, &start)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (start + static_cast<std::uint64_t>(length) < start) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (length > 0 && !lvcrash_async_mobject_remap_address(mobj, start, 0, static_cast<std::size_t>(length)))
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (length == 0 && !lvcrash_async_mobject_remap_address(mobj, start, 0, 0)) {
        // An empty program still has to lie at the object's edge or inside it.
        const lvcrash_vm_address_t base = lvcrash_async_mobject_base_address(mobj);
        if (start < base || start > base + lvcrash_async_mobject_length(mobj)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    stream->mobj = mobj;
    stream->byteorder = byteorder;
    stream->start = start;
    stream->end = start + static_cast<std::uint64_t>(length);
    stream->position = start;
    return LVCRASH_ERROR_NONE;
}

namespace {

using Stream = RD::async::detail::OpStreamReader;

}  // namespace

namespace RD::async {

// ---- Pointer encodings ----

template <typename T>
lvcrash_error_t gnu_ehptr_reader<T>::read(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t location,
                                          lvcrash_vm_off_t offset, std::uint8_t encoding, T* result,
                                          std::size_t* size) const {
    if (encoding == DW_EH_PE_omit) return LVCRASH_ERROR_NOT_FOUND;
    lvcrash_vm_address_t at;
    if (!lvcrash_async_address_apply_offset(location, offset, &at)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    T base = 0;
    std::size_t padding = 0;
    switch (encoding & 0x70) {
        case DW_EH_PE_absptr: break;
        case DW_EH_PE_pcrel: base = static_cast<T>(frame_target_ + (at - frame_base_)); break;
        case DW_EH_PE_textrel:
            if (!has_text_) return LVCRASH_ERROR_NOT_SUPPORTED;
            base = static_cast<T>(text_base_);
            break;
        case DW_EH_PE_datarel:
            if (!has_data_) return LVCRASH_ERROR_NOT_SUPPORTED;
            base = static_cast<T>(data_base_);
            break;
        case DW_EH_PE_funcrel:
            if (!has_func_) return LVCRASH_ERROR_NOT_SUPPORTED;
            base = static_cast<T>(func_base_);
            break;
        case DW_EH_PE_aligned: {
            if (!has_frame_) return LVCRASH_ERROR_NOT_SUPPORTED;
            const lvcrash_vm_address_t target = frame_target_ + (at - frame_base_);
            const lvcrash_vm_address_t aligned = (target + sizeof(T) - 1) & ~static_cast<lvcrash_vm_address_t>(sizeof(T) - 1);
            padding = static_cast<std::size_t>(aligned - target);
            at += padding;
            break;
        }
        default: return LVCRASH_ERROR_NOT_SUPPORTED;
    }
    const RDlvcrash_async_byteorder* bo = byteorder_;
    T value = 0;
    std::size_t vsize = 0;
    lvcrash_error_t err = LVCRASH_ERROR_NONE;
    switch (encoding & 0x0F) {
        case DW_EH_PE_absptr:
            if (sizeof(T) == 8) {
                std::uint64_t v;
                err = lvcrash_async_mobject_read_uint64(mobj, bo, at, 0, &v);
                value = static_cast<T>(v);
            } else {
                std::uint32_t v;
                err = lvcrash_async_mobject_read_uint32(mobj, bo, at, 0, &v);
                value = static_cast<T>(v);
            }
            vsize = sizeof(T);
            break;
        case DW_EH_PE_uleb128: {
            std::uint64_t v;
            err = lvcrash_async_dwarf_read_uleb128(mobj, at, 0, &v, &vsize);
            value = static_cast<T>(v);
            break;
        }
        case DW_EH_PE_sleb128: {
            std::int64_t v;
            err = lvcrash_async_dwarf_read_sleb128(mobj, at, 0, &v, &vsize);
            value = static_cast<T>(v);
            break;
        }
        case DW_EH_PE_udata2:
        case DW_EH_PE_sdata2: {
            std::uint16_t v;
            err = lvcrash_async_mobject_read_uint16(mobj, bo, at, 0, &v);
            value = (encoding & 0x0F) == DW_EH_PE_sdata2 ? static_cast<T>(static_cast<std::int16_t>(v)) : static_cast<T>(v);
            vsize = 2;
            break;
        }
        case DW_EH_PE_udata4:
        case DW_EH_PE_sdata4: {
            std::uint32_t v;
            err = lvcrash_async_mobject_read_uint32(mobj, bo, at, 0, &v);
            value = (encoding & 0x0F) == DW_EH_PE_sdata4 ? static_cast<T>(static_cast<std::int32_t>(v)) : static_cast<T>(v);
            vsize = 4;
            break;
        }
        case DW_EH_PE_udata8:
        case DW_EH_PE_sdata8: {
            std::uint64_t v;
            err = lvcrash_async_mobject_read_uint64(mobj, bo, at, 0, &v);
            value = static_cast<T>(v);
            vsize = 8;
            break;
        }
        default: return LVCRASH_ERROR_NOT_SUPPORTED;
    }
    if (err != LVCRASH_ERROR_NONE) return err;
    T out = static_cast<T>(base + value);
    if (encoding & DW_EH_PE_indirect) {
        T word = 0;
        err = lvcrash_async_task_memcpy(lvcrash_async_mobject_task(mobj), out, 0, &word, sizeof word);
        if (err != LVCRASH_ERROR_NONE) return err;
        out = word;
    }
    *result = out;
    *size = padding + vsize;
    return LVCRASH_ERROR_NONE;
}

// ---- CIE and FDE ----

namespace {

struct EntryHeader {
    std::uint64_t length;
    std::uint64_t id;
    std::uint32_t length_size;  // 4, or 12 in the 64-bit form
    std::uint32_t id_size;
};

lvcrash_error_t read_entry_header(const lvcrash_async_mobject* mobj, const RDlvcrash_async_byteorder* bo,
                                  lvcrash_vm_address_t address, EntryHeader* h) {
    std::uint32_t len32;
    if (lvcrash_async_mobject_read_uint32(mobj, bo, address, 0, &len32) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (len32 == 0xFFFFFFFFu) {
        if (lvcrash_async_mobject_read_uint64(mobj, bo, address, 4, &h->length) != LVCRASH_ERROR_NONE ||
            lvcrash_async_mobject_read_uint64(mobj, bo, address, 12, &h->id) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        h->length_size = 12;
        h->id_size = 8;
    } else {
        std::uint32_t id;
        h->length = len32;
        h->length_size = 4;
        h->id_size = 4;
        if (len32 != 0 && lvcrash_async_mobject_read_uint32(mobj, bo, address, 4, &id) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        h->id = len32 != 0 ? id : 0;
    }
    return LVCRASH_ERROR_NONE;
}

}  // namespace

template <typename T>
lvcrash_error_t lvcrash_async_dwarf_cie_info_init(lvcrash_async_dwarf_cie_info* info, const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<T>* ptr_reader, lvcrash_vm_address_t address) {
    lvcrash_async_memset(info, 0, sizeof *info);
    EntryHeader h;
    lvcrash_error_t err = read_entry_header(mobj, byteorder, address, &h);
    if (err != LVCRASH_ERROR_NONE) return err;
    const std::uint64_t all_ones = h.id_size == 8 ? ~0ull : 0xFFFFFFFFull;
    if (h.id != 0 && h.id != all_ones) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const lvcrash_vm_address_t base = lvcrash_async_mobject_base_address(mobj);
    info->cie_offset = address + h.length_size - base;
    info->cie_length = h.length;
    info->cie_id = h.id;
    const lvcrash_vm_address_t body = address + h.length_size;
    if (body + h.length < body) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (h.length < h.id_size) return LVCRASH_ERROR_INVALID_ARGUMENT;
    lvcrash_async_dwarf_opstream raw;
    err = lvcrash_async_dwarf_opstream_init(&raw, mobj, byteorder, body, h.id_size,
                                            static_cast<lvcrash_vm_off_t>(h.length - h.id_size));
    if (err != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    Stream s{&raw};
    if (s.u8(&info->cie_version) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) return LVCRASH_ERROR_INVALID_ARGUMENT;
    char augmentation[16] = {};
    std::size_t aug_len = 0;
    for (;;) {
        std::uint8_t c;
        if (s.u8(&c) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (c == 0) break;
        if (aug_len < sizeof augmentation - 1) augmentation[aug_len++] = static_cast<char>(c);
    }
    if (aug_len > 0 && augmentation[0] != 'z') return LVCRASH_ERROR_NOT_SUPPORTED;
    if (info->cie_version == 4) {
        if (s.u8(&info->address_size) != LVCRASH_ERROR_NONE || s.u8(&info->segment_size) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    if ((err = s.uleb(&info->code_alignment_factor)) != LVCRASH_ERROR_NONE) return err;
    if ((err = s.sleb(&info->data_alignment_factor)) != LVCRASH_ERROR_NONE) return err;
    if (info->cie_version == 1) {
        // Version 1 keeps the return-address register in one byte.
        std::uint8_t ra;
        if (s.u8(&ra) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
        info->return_address_register = ra;
    } else if ((err = s.uleb(&info->return_address_register)) != LVCRASH_ERROR_NONE) {
        return err;
    }
    if (aug_len > 0) {
        info->has_eh_augmentation = true;
        std::uint64_t data_length;
        if ((err = s.uleb(&data_length)) != LVCRASH_ERROR_NONE) return err;
        const lvcrash_vm_address_t data_start = raw.position;
        if (!s.fits(data_length)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        for (std::size_t i = 1; i < aug_len; ++i) {
            const char c = augmentation[i];
            if (c == 'L') {
                if (s.u8(&info->eh_augmentation.lsda_encoding) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
                info->eh_augmentation.has_lsda_encoding = true;
            } else if (c == 'P') {
                std::uint8_t enc;
                if (s.u8(&enc) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
                T value = 0;
                std::size_t size = 0;
                if (!ptr_reader) return LVCRASH_ERROR_INVALID_ARGUMENT;
                if ((err = ptr_reader->read(mobj, raw.position, 0, enc, &value, &size)) != LVCRASH_ERROR_NONE) return err;
                if (s.skip(size) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
                info->eh_augmentation.has_personality_address = true;
                info->eh_augmentation.personality_address = value;
            } else if (c == 'R') {
                if (s.u8(&info->eh_augmentation.pointer_encoding) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
                info->eh_augmentation.has_pointer_encoding = true;
            } else if (c == 'S') {
                info->eh_augmentation.signal_frame = true;
            } else {
                break;
            }
        }
        raw.position = data_start;
        if (s.skip(data_length) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    info->initial_instructions_offset = raw.position - base;
    info->initial_instructions_length = raw.end - raw.position;
    return LVCRASH_ERROR_NONE;
}

template <typename T>
lvcrash_error_t lvcrash_async_dwarf_fde_info_init_split(lvcrash_async_dwarf_fde_info* info,
                                                        const lvcrash_async_mobject* mobj,
                                                        const lvcrash_async_mobject* cie_mobj,
                                                        lvcrash_vm_address_t section_base,
                                                        const RDlvcrash_async_byteorder* byteorder,
                                                        lvcrash_vm_address_t address, bool debug_frame) {
    lvcrash_async_memset(info, 0, sizeof *info);
    EntryHeader h;
    lvcrash_error_t err = read_entry_header(mobj, byteorder, address, &h);
    if (err != LVCRASH_ERROR_NONE) return err;
    const lvcrash_vm_address_t body = address + h.length_size;
    if (body + h.length < body || h.length < h.id_size) return LVCRASH_ERROR_INVALID_ARGUMENT;
    info->fde_offset = body - section_base;
    info->fde_length = h.length;
    lvcrash_vm_address_t cie_address;
    if (debug_frame) {
        if (section_base + h.id < section_base) return LVCRASH_ERROR_INVALID_ARGUMENT;
        cie_address = section_base + h.id;
    } else {
        // Relative to the CIE pointer field itself.
        if (h.id > body || body - h.id < section_base) return LVCRASH_ERROR_INVALID_ARGUMENT;
        cie_address = body - h.id;
    }
    info->cie_offset = cie_address - section_base;

    gnu_ehptr_reader<T> ptr(byteorder);
    ptr.set_frame_section_base(section_base, section_base);
    lvcrash_async_dwarf_cie_info cie;
    if ((err = lvcrash_async_dwarf_cie_info_init<T>(&cie, cie_mobj, byteorder, &ptr, cie_address)) != LVCRASH_ERROR_NONE)
        return err;
    const std::uint8_t encoding =
        cie.eh_augmentation.has_pointer_encoding ? cie.eh_augmentation.pointer_encoding : std::uint8_t{DW_EH_PE_absptr};

    lvcrash_async_dwarf_opstream raw;
    if (lvcrash_async_dwarf_opstream_init(&raw, mobj, byteorder, body, h.id_size,
                                          static_cast<lvcrash_vm_off_t>(h.length - h.id_size)) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    Stream s{&raw};
    T start = 0, range = 0;
    std::size_t size = 0;
    if ((err = ptr.read(mobj, raw.position, 0, encoding, &start, &size)) != LVCRASH_ERROR_NONE) return err;
    if (s.skip(size) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if ((err = ptr.read(mobj, raw.position, 0, encoding & 0x0F, &range, &size)) != LVCRASH_ERROR_NONE) return err;
    if (s.skip(size) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const T end = static_cast<T>(start + range);
    if (end < start) return LVCRASH_ERROR_INVALID_ARGUMENT;
    info->pc_start = start;
    info->pc_end = end;
    if (cie.has_eh_augmentation) {
        std::uint64_t data_length;
        if ((err = s.uleb(&data_length)) != LVCRASH_ERROR_NONE) return err;
        if (s.skip(data_length) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    info->instructions_offset = raw.position - section_base;
    info->instructions_length = raw.end - raw.position;
    return LVCRASH_ERROR_NONE;
}

template <typename T>
lvcrash_error_t lvcrash_async_dwarf_fde_info_init(lvcrash_async_dwarf_fde_info* info, const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, bool debug_frame) {
    return lvcrash_async_dwarf_fde_info_init_split<T>(info, mobj, mobj, lvcrash_async_mobject_base_address(mobj),
                                                      byteorder, address, debug_frame);
}

template class gnu_ehptr_reader<std::uint32_t>;
template class gnu_ehptr_reader<std::uint64_t>;
template lvcrash_error_t lvcrash_async_dwarf_cie_info_init<std::uint32_t>(lvcrash_async_dwarf_cie_info*,
                                                                         const lvcrash_async_mobject*,
                                                                         const RDlvcrash_async_byteorder*,
                                                                         const gnu_ehptr_reader<std::uint32_t>*,
                                                                         lvcrash_vm_address_t);
template lvcrash_error_t lvcrash_async_dwarf_cie_info_init<std::uint64_t>(lvcrash_async_dwarf_cie_info*,
                                                                         const lvcrash_async_mobject*,
                                                                         const RDlvcrash_async_byteorder*,
                                                                         const gnu_ehptr_reader<std::uint64_t>*,
                                                                         lvcrash_vm_address_t);
template lvcrash_error_t lvcrash_async_dwarf_fde_info_init<std::uint32_t>(lvcrash_async_dwarf_fde_info*,
                                                                         const lvcrash_async_mobject*,
                                                                         const RDlvcrash_async_byteorder*,
                                                                         lvcrash_vm_address_t, bool);
template lvcrash_error_t lvcrash_async_dwarf_fde_info_init<std::uint64_t>(lvcrash_async_dwarf_fde_info*,
                                                                         const lvcrash_async_mobject*,
                                                                         const RDlvcrash_async_byteorder*,
                                                                         lvcrash_vm_address_t, bool);
template lvcrash_error_t lvcrash_async_dwarf_fde_info_init_split<std::uint64_t>(
    lvcrash_async_dwarf_fde_info*, const lvcrash_async_mobject*, const lvcrash_async_mobject*, lvcrash_vm_address_t,
    const RDlvcrash_async_byteorder*, lvcrash_vm_address_t, bool);

}  // namespace RD::async

// ---- Section-level search ----

lvcrash_error_t lvcrash_async_dwarf_frame_reader_init(lvcrash_async_dwarf_frame_reader* reader,
                                                      const lvcrash_async_mobject* mobj,
                                                      const RDlvcrash_async_byteorder* byteorder, bool m64,
                                                      bool debug_frame) {
    reader->mobj = mobj;
    reader->byteorder = byteorder;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
    return LVCRASH_ERROR_NONE;
}

lvcrash_error_t lvcrash_async_dwarf_frame_reader_find_fde(const lvcrash_async_dwarf_frame_reader* reader,
                                                          lvcrash_vm_off_t offset, lvcrash_vm_address_t pc,
                                                          lvcrash_async_dwarf_fde_info* fde_info) {
    const lvcrash_async_mobject* mobj = reader->mobj;
    const lvcrash_vm_address_t base = lvcrash_async_mobject_base_address(mobj);
    const lvcrash_vm_size_t length = lvcrash_async_mobject_length(mobj);
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= length) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const lvcrash_vm_address_t end = base + length;
    lvcrash_vm_address_t at = base + static_cast<std::uint64_t>(offset);
    while (at < end) {
        RD::async::EntryHeader h;
        if (RD::async::read_entry_header(mobj, reader->byteorder, at, &h) != LVCRASH_ERROR_NONE)
            return at == base + static_cast<std::uint64_t>(offset) ? LVCRASH_ERROR_INVALID_ARGUMENT
                                                                    : LVCRASH_ERROR_NOT_FOUND;
        if (h.length == 0) return LVCRASH_ERROR_NOT_FOUND;
        const lvcrash_vm_address_t next = at + h.length_size + h.length;
        if (next <= at) return LVCRASH_ERROR_NOT_FOUND;
        const std::uint64_t all_ones = h.id_size == 8 ? ~0ull : 0xFFFFFFFFull;
        const bool is_cie = reader->debug_frame ? h.id == all_ones : h.id == 0;
        if (!is_cie) {
            lvcrash_error_t err;
            if (reader->m64)
                err = RD::async::lvcrash_async_dwarf_fde_info_init<std::uint64_t>(fde_info, mobj, reader->byteorder, at,
                                                                                 reader->debug_frame);
            else
                err = RD::async::lvcrash_async_dwarf_fde_info_init<std::uint32_t>(fde_info, mobj, reader->byteorder, at,
                                                                                 reader->debug_frame);
            if (err != LVCRASH_ERROR_NONE) return err;
            if (fde_info->pc_start <= pc && pc < fde_info->pc_end) return LVCRASH_ERROR_NONE;
        }
        at = next;
    }
    return LVCRASH_ERROR_NOT_FOUND;
}

void lvcrash_async_dwarf_cie_info_free(lvcrash_async_dwarf_cie_info*) {}
void lvcrash_async_dwarf_fde_info_free(lvcrash_async_dwarf_fde_info*) {}

bool lvcrash_async_mobject_local_copy(lvcrash_async_mobject* mobj, task_t task, lvcrash_vm_address_t address,
                                      lvcrash_vm_size_t length, void* buffer, std::size_t capacity) {
    if (length == 0 || length > capacity) return false;
    if (lvcrash_async_task_memcpy(task, address, 0, buffer, length) != LVCRASH_ERROR_NONE) return false;
    lvcrash_async_memset(mobj, 0, sizeof *mobj);
    mobj->task = task;
    mobj->address = reinterpret_cast<std::uintptr_t>(buffer);
    mobj->task_address = address;
    mobj->length = length;
    mobj->vm_slide = static_cast<std::int64_t>(address - static_cast<lvcrash_vm_address_t>(mobj->address));
    return true;
}

lvcrash_error_t lvcrash_async_dwarf_eh_frame_hdr_search(task_t task, lvcrash_vm_address_t hdr_address,
                                                        lvcrash_vm_size_t hdr_size, lvcrash_vm_address_t pc,
                                                        lvcrash_vm_address_t* fde_address,
                                                        lvcrash_vm_address_t* eh_frame) {
    if (hdr_address == 0 || hdr_size < 4) return LVCRASH_ERROR_NOT_FOUND;
    std::uint8_t head[4];
    if (lvcrash_async_task_memcpy(task, hdr_address, 0, head, 4) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (head[0] != 1) return LVCRASH_ERROR_NOT_SUPPORTED;
    lvcrash_async_mobject mobj;
    alignas(8) std::uint8_t head_copy[20];
    const std::uint64_t head_size = hdr_size < sizeof head_copy ? hdr_size : sizeof head_copy;
    if (!lvcrash_async_mobject_local_copy(&mobj, task, hdr_address, head_size, head_copy, sizeof head_copy))
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    lvcrash_error_t err;
    const RDlvcrash_async_byteorder* bo = lvcrash_async_byteorder_little_endian();
    RD::async::gnu_ehptr_reader<std::uint64_t> ptr(bo);
    ptr.set_frame_section_base(hdr_address, hdr_address);
    ptr.set_data_base(hdr_address);
    std::uint64_t frame = 0, count = 0;
    std::size_t a = 0, b = 0;
    err = ptr.read(&mobj, hdr_address, 4, head[1], &frame, &a);
    if (err == LVCRASH_ERROR_NONE) err = ptr.read(&mobj, hdr_address, static_cast<lvcrash_vm_off_t>(4 + a), head[2], &count, &b);
    if (err != LVCRASH_ERROR_NONE) return err;
    *eh_frame = frame;
    // Only the usual table form is searched in place: pairs of datarel sdata4 values.
    if (head[3] != (RD::async::DW_EH_PE_datarel | RD::async::DW_EH_PE_sdata4)) return LVCRASH_ERROR_NOT_SUPPORTED;
    const lvcrash_vm_address_t table = hdr_address + 4 + a + b;
    if (count == 0 || count > (hdr_size - (table - hdr_address)) / 8) return LVCRASH_ERROR_NOT_FOUND;
    // Narrow [low, high) with single reads of the entries' start addresses, then read the last
    // stretch in one go: a handful of reads per lookup, no mapping.
    constexpr std::uint64_t block = 64;
    std::uint64_t low = 0, high = count;  // the answer is the last entry in [low, high) with start <= pc
    while (high - low > block) {
        const std::uint64_t mid = low + (high - low) / 2;
        std::int32_t start;
        if (lvcrash_async_task_memcpy(task, table, static_cast<lvcrash_vm_off_t>(mid * 8), &start, 4) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (hdr_address + static_cast<std::int64_t>(start) <= pc) low = mid;
        else high = mid;
    }
    std::int32_t pairs[block * 2];
    if (lvcrash_async_task_memcpy(task, table, static_cast<lvcrash_vm_off_t>(low * 8), pairs, (high - low) * 8) !=
        LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    std::uint64_t found = high - low;
    for (std::uint64_t i = 0; i < high - low; ++i) {
        if (hdr_address + static_cast<std::int64_t>(pairs[2 * i]) > pc) break;
        found = i;
    }
    if (found == high - low) return LVCRASH_ERROR_NOT_FOUND;
    const std::int32_t pair[2] = {pairs[2 * found], pairs[2 * found + 1]};
    *fde_address = hdr_address + static_cast<std::int64_t>(pair[1]);
    return LVCRASH_ERROR_NONE;
}

}  // namespace lvcrash
