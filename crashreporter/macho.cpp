#include "crashreporter/macho.hpp"

namespace lvcrash {
namespace {

constexpr std::size_t segment_command_64_size = 72;
constexpr std::size_t segment_command_size = 56;
constexpr std::size_t section_64_size = 80;
constexpr std::size_t section_size = 68;
constexpr std::size_t symtab_command_size = 24;
constexpr std::size_t dysymtab_command_size = 80;
constexpr std::size_t nlist_64_size = 16;
constexpr std::size_t nlist_size = 12;
constexpr std::uint16_t n_arm_thumb_def = 0x0008;

std::uint32_t u32_at(const lvcrash_async_macho* image, const void* base, std::size_t offset) {
    std::uint32_t v;
    __builtin_memcpy(&v, static_cast<const char*>(base) + offset, 4);
    return image->byteorder->swap32(v);
}

std::uint64_t u64_at(const lvcrash_async_macho* image, const void* base, std::size_t offset) {
    std::uint64_t v;
    __builtin_memcpy(&v, static_cast<const char*>(base) + offset, 8);
    return image->byteorder->swap64(v);
}

bool in_mapping(const lvcrash_async_mobject* mobj, const void* p, std::size_t length) {
    return lvcrash_async_mobject_verify_local_pointer(mobj, reinterpret_cast<std::uintptr_t>(p), 0, length);
}

// A 16-byte, possibly unterminated name against a C string.
bool name16_equals(const char* field, const char* name) {
    return lvcrash_async_strncmp(field, name, 16) == 0 && (lvcrash_async_strlen(name) >= 16 || field[lvcrash_async_strlen(name)] == 0);
}

std::size_t segment_size(const lvcrash_async_macho* image) {
    return image->m64 ? segment_command_64_size : segment_command_size;
}

std::uint32_t segment_type(const lvcrash_async_macho* image) {
    return image->m64 ? LVCRASH_LC_SEGMENT_64 : LVCRASH_LC_SEGMENT;
}

struct segment_facts {
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    std::uint32_t nsects;
};

segment_facts read_segment(const lvcrash_async_macho* image, const void* cmd) {
    segment_facts f{};
    if (image->m64) {
        f.vmaddr = u64_at(image, cmd, 24);
        f.vmsize = u64_at(image, cmd, 32);
        f.fileoff = u64_at(image, cmd, 40);
        f.filesize = u64_at(image, cmd, 48);
        f.nsects = u32_at(image, cmd, 64);
    } else {
        f.vmaddr = u32_at(image, cmd, 24);
        f.vmsize = u32_at(image, cmd, 28);
        f.fileoff = u32_at(image, cmd, 32);
        f.filesize = u32_at(image, cmd, 36);
        f.nsects = u32_at(image, cmd, 48);
    }
    return f;
}

void release_init(lvcrash_async_macho* image, bool load_cmds_mapped) {
    if (load_cmds_mapped) lvcrash_async_mobject_free(&image->load_cmds);
    lvcrash_setup_strfree(image->name);
    image->name = nullptr;
    platform::darwin::port_release(image->task);
}

}  // namespace

lvcrash_error_t lvcrash_async_macho_init(lvcrash_async_macho* image, task_t task, const char* name,
                                         lvcrash_vm_address_t header_address) {
    lvcrash_async_memset(image, 0, sizeof *image);
    image->task = task;
    image->header_addr = header_address;
    image->name = lvcrash_setup_strdup(name ? name : "");
    platform::darwin::port_retain(task);

    if (lvcrash_async_task_memcpy(task, header_address, 0, &image->header, sizeof image->header) !=
        LVCRASH_ERROR_NONE) {
        release_init(image, false);
        return LVCRASH_ERROR_INTERNAL;
    }
    switch (image->header.magic) {
    case LVCRASH_MH_MAGIC:
        image->m64 = false;
        image->byteorder = lvcrash_async_byteorder_direct();
        break;
    case LVCRASH_MH_CIGAM:
        image->m64 = false;
        image->byteorder = lvcrash_async_byteorder_swapped();
        break;
    case LVCRASH_MH_MAGIC_64:
        image->m64 = true;
        image->byteorder = lvcrash_async_byteorder_direct();
        break;
    case LVCRASH_MH_CIGAM_64:
        image->m64 = true;
        image->byteorder = lvcrash_async_byteorder_swapped();
        break;
    default:
        release_init(image, false);
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    const std::uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
    lvcrash_vm_address_t cmds_address;
    if (!lvcrash_async_address_apply_offset(header_address, image->header_size, &cmds_address)) {
        release_init(image, false);
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    const lvcrash_error_t mapped = lvcrash_async_mobject_init(&image->load_cmds, task, cmds_address, sizeofcmds, true);
    if (mapped != LVCRASH_ERROR_NONE) {
        release_init(image, false);
        return mapped;
    }

    bool found_text = false;
    const lvcrash_macho_load_command* cmd = nullptr;
    while ((cmd = lvcrash_async_macho_next_command_type(image, cmd, segment_type(image))) != nullptr) {
        if (!in_mapping(&image->load_cmds, cmd, segment_size(image))) {
            release_init(image, true);
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        }
        if (name16_equals(reinterpret_cast<const char*>(cmd) + 8, "__TEXT")) {
            const segment_facts text = read_segment(image, cmd);
            image->text_vmaddr = text.vmaddr;
            image->text_size = text.vmsize;
            image->vmaddr_slide = static_cast<std::int64_t>(header_address - text.vmaddr);
            found_text = true;
            break;
        }
    }
    if (!found_text) {
        release_init(image, true);
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    }
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_macho_free(lvcrash_async_macho* image) { release_init(image, true); }

const RDlvcrash_async_byteorder* lvcrash_async_macho_byteorder(const lvcrash_async_macho* image) {
    return image->byteorder;
}

const lvcrash_macho_header* lvcrash_async_macho_header(const lvcrash_async_macho* image) { return &image->header; }

std::uint32_t lvcrash_async_macho_header_size(const lvcrash_async_macho* image) { return image->header_size; }

std::uint32_t lvcrash_async_macho_cpu_type(const lvcrash_async_macho* image) {
    return image->byteorder->swap32(image->header.cputype);
}

std::uint32_t lvcrash_async_macho_cpu_subtype(const lvcrash_async_macho* image) {
    return image->byteorder->swap32(image->header.cpusubtype);
}

bool lvcrash_async_macho_contains_address(const lvcrash_async_macho* image, lvcrash_vm_address_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

const lvcrash_macho_load_command* lvcrash_async_macho_next_command(const lvcrash_async_macho* image,
                                                                   const void* previous) {
    const lvcrash_async_mobject* cmds = &image->load_cmds;
    std::uintptr_t next;
    if (previous == nullptr) {
        if (image->byteorder->swap32(image->header.sizeofcmds) < sizeof(lvcrash_macho_load_command)) return nullptr;
        next = cmds->address;
    } else {
        if (!in_mapping(cmds, previous, sizeof(lvcrash_macho_load_command))) return nullptr;
        const std::uint32_t size = u32_at(image, previous, 4);
        if (size < sizeof(lvcrash_macho_load_command)) return nullptr;
        const auto from = reinterpret_cast<std::uintptr_t>(previous);
        next = from + size;
        if (next < from) return nullptr;
        if (next >= cmds->address + cmds->length) return nullptr;
    }
    const void* p = reinterpret_cast<const void*>(next);
    if (!in_mapping(cmds, p, sizeof(lvcrash_macho_load_command))) return nullptr;
    // A command with a cmdsize below 8 is still handed out; the step after it ends the walk.
    const std::uint32_t size = u32_at(image, p, 4);
    if (!in_mapping(cmds, p, size)) return nullptr;
    return static_cast<const lvcrash_macho_load_command*>(p);
}

const lvcrash_macho_load_command* lvcrash_async_macho_next_command_type(const lvcrash_async_macho* image,
                                                                        const void* previous, std::uint32_t type) {
    const lvcrash_macho_load_command* cmd = static_cast<const lvcrash_macho_load_command*>(previous);
    while ((cmd = lvcrash_async_macho_next_command(image, cmd)) != nullptr)
        if (u32_at(image, cmd, 0) == type) return cmd;
    return nullptr;
}

const lvcrash_macho_load_command* lvcrash_async_macho_find_command(const lvcrash_async_macho* image,
                                                                   std::uint32_t type) {
    return lvcrash_async_macho_next_command_type(image, nullptr, type);
}

const lvcrash_macho_load_command* lvcrash_async_macho_find_segment_cmd(const lvcrash_async_macho* image,
                                                                       const char* segname) {
    const lvcrash_macho_load_command* cmd = nullptr;
    while ((cmd = lvcrash_async_macho_next_command(image, cmd)) != nullptr) {
        const std::uint32_t type = u32_at(image, cmd, 0);
        if (type != LVCRASH_LC_SEGMENT && type != LVCRASH_LC_SEGMENT_64) continue;
        const std::size_t need = type == LVCRASH_LC_SEGMENT_64 ? segment_command_64_size : segment_command_size;
        if (!in_mapping(&image->load_cmds, cmd, need)) continue;
        if (name16_equals(reinterpret_cast<const char*>(cmd) + 8, segname)) return cmd;
    }
    return nullptr;
}

lvcrash_error_t lvcrash_async_macho_map_segment(const lvcrash_async_macho* image, const char* segname,
                                                lvcrash_async_macho_mapped_segment_t* segment) {
    const lvcrash_macho_load_command* cmd = lvcrash_async_macho_find_segment_cmd(image, segname);
    if (!cmd) return LVCRASH_ERROR_NOT_FOUND;
    const std::uint32_t type = u32_at(image, cmd, 0);
    if ((type == LVCRASH_LC_SEGMENT_64) != image->m64) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const segment_facts f = read_segment(image, cmd);
    lvcrash_vm_address_t start;
    if (!lvcrash_async_address_apply_offset(f.vmaddr, image->vmaddr_slide, &start)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const lvcrash_error_t err = lvcrash_async_mobject_init(&segment->mobj, image->task, start, f.vmsize, false);
    if (err != LVCRASH_ERROR_NONE) return err;
    segment->fileoff = f.fileoff;
    segment->filesize = f.filesize;
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_macho_mapped_segment_free(lvcrash_async_macho_mapped_segment_t* segment) {
    lvcrash_async_mobject_free(&segment->mobj);
}

lvcrash_error_t lvcrash_async_macho_map_section(const lvcrash_async_macho* image, const char* segname,
                                                const char* sectname, lvcrash_async_mobject* mobj) {
    const lvcrash_macho_load_command* cmd = lvcrash_async_macho_find_segment_cmd(image, segname);
    if (!cmd) return LVCRASH_ERROR_NOT_FOUND;
    const std::uint32_t type = u32_at(image, cmd, 0);
    if ((type == LVCRASH_LC_SEGMENT_64) != image->m64) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const segment_facts f = read_segment(image, cmd);
    if (f.nsects == 0) return LVCRASH_ERROR_NOT_FOUND;
    const std::size_t sect_size = image->m64 ? section_64_size : section_size;
    const char* sect = reinterpret_cast<const char*>(cmd) + segment_size(image);
    for (std::uint32_t i = 0; i < f.nsects; ++i, sect += sect_size) {
        if (!in_mapping(&image->load_cmds, sect, sect_size)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        if (!name16_equals(sect, sectname)) continue;
        const std::uint64_t addr = image->m64 ? u64_at(image, sect, 32) : u32_at(image, sect, 32);
        const std::uint64_t size = image->m64 ? u64_at(image, sect, 40) : u32_at(image, sect, 36);
        lvcrash_vm_address_t start;
        if (!lvcrash_async_address_apply_offset(addr, image->vmaddr_slide, &start)) return LVCRASH_ERROR_INVALID_ARGUMENT;
        return lvcrash_async_mobject_init(mobj, image->task, start, size, true);
    }
    return LVCRASH_ERROR_NOT_FOUND;
}

lvcrash_error_t lvcrash_async_macho_symtab_reader_init(lvcrash_async_macho_symtab_reader* reader,
                                                       lvcrash_async_macho* image) {
    lvcrash_async_memset(reader, 0, sizeof *reader);
    reader->image = image;
    const lvcrash_macho_load_command* symtab = lvcrash_async_macho_find_command(image, LVCRASH_LC_SYMTAB);
    if (!symtab || !in_mapping(&image->load_cmds, symtab, symtab_command_size)) return LVCRASH_ERROR_NOT_FOUND;
    const lvcrash_macho_load_command* dysymtab = lvcrash_async_macho_find_command(image, LVCRASH_LC_DYSYMTAB);
    if (dysymtab && !in_mapping(&image->load_cmds, dysymtab, dysymtab_command_size)) dysymtab = nullptr;

    if (lvcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INTERNAL;
    const lvcrash_async_mobject* le = &reader->linkedit.mobj;
    const std::uint32_t symoff = u32_at(image, symtab, 8);
    const std::uint32_t nsyms = u32_at(image, symtab, 12);
    const std::uint32_t stroff = u32_at(image, symtab, 16);
    const std::uint32_t strsize = u32_at(image, symtab, 20);
    const std::size_t entry = image->m64 ? nlist_64_size : nlist_size;
    const std::uint64_t fileoff = reader->linkedit.fileoff;

    const void* table = nullptr;
    const void* strings = nullptr;
    if (symoff >= fileoff && stroff >= fileoff) {
        table = lvcrash_async_mobject_remap_address(le, le->task_address, static_cast<std::int64_t>(symoff - fileoff),
                                                    static_cast<std::size_t>(nsyms) * entry);
        strings = lvcrash_async_mobject_remap_address(le, le->task_address, static_cast<std::int64_t>(stroff - fileoff),
                                                      strsize);
    }
    if (!table || !strings) {
        lvcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return LVCRASH_ERROR_INTERNAL;
    }
    reader->symtab = table;
    reader->nsyms = nsyms;
    reader->string_table = static_cast<const char*>(strings);
    reader->string_table_size = strsize;

    if (dysymtab) {
        const std::uint64_t ilocal = u32_at(image, dysymtab, 8), nlocal = u32_at(image, dysymtab, 12);
        const std::uint64_t iext = u32_at(image, dysymtab, 16), next = u32_at(image, dysymtab, 20);
        // 64-bit sums of 32-bit counts cannot wrap.
        if (iext + next > nsyms || ilocal + nlocal > nsyms) {
            lvcrash_async_macho_mapped_segment_free(&reader->linkedit);
            return LVCRASH_ERROR_INVALID_ARGUMENT;
        }
        reader->symtab_global = static_cast<const char*>(table) + iext * entry;
        reader->nsyms_global = static_cast<std::uint32_t>(next);
        reader->symtab_local = static_cast<const char*>(table) + ilocal * entry;
        reader->nsyms_local = static_cast<std::uint32_t>(nlocal);
    }
    return LVCRASH_ERROR_NONE;
}

lvcrash_async_macho_symtab_entry_t lvcrash_async_macho_symtab_reader_read(lvcrash_async_macho_symtab_reader* reader,
                                                                         const void* table, std::uint32_t index) {
    const lvcrash_async_macho* image = reader->image;
    const std::size_t entry_size = image->m64 ? nlist_64_size : nlist_size;
    const char* p = static_cast<const char*>(table) + static_cast<std::size_t>(index) * entry_size;
    lvcrash_async_macho_symtab_entry_t entry{};
    entry.n_strx = u32_at(image, p, 0);
    entry.n_type = static_cast<std::uint8_t>(p[4]);
    entry.n_sect = static_cast<std::uint8_t>(p[5]);
    std::uint16_t desc;
    __builtin_memcpy(&desc, p + 6, 2);
    entry.n_desc = image->byteorder->swap16(desc);
    entry.n_value = image->m64 ? u64_at(image, p, 8) : u32_at(image, p, 8);
    entry.normalized_value = (entry.n_desc & n_arm_thumb_def) ? (entry.n_value | 1) : entry.n_value;
    return entry;
}

const char* lvcrash_async_macho_symtab_reader_symbol_name(lvcrash_async_macho_symtab_reader* reader,
                                                          std::uint32_t n_strx) {
    const lvcrash_async_mobject* le = &reader->linkedit.mobj;
    const auto start = reinterpret_cast<std::uintptr_t>(reader->string_table);
    if (!lvcrash_async_mobject_verify_local_pointer(le, start, n_strx, 1)) return nullptr;
    const std::uintptr_t end = le->address + le->length;
    for (std::uintptr_t p = start + n_strx; p < end; ++p)
        if (*reinterpret_cast<const char*>(p) == 0) return reinterpret_cast<const char*>(start + n_strx);
    return nullptr;
}

void lvcrash_async_macho_symtab_reader_free(lvcrash_async_macho_symtab_reader* reader) {
    lvcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

bool is_section_symbol(const lvcrash_async_macho_symtab_entry_t& e) { return (e.n_type & 0xEE) == 0x0E; }

void best_in(lvcrash_async_macho_symtab_reader* reader, const void* table, std::uint32_t count,
             std::uint64_t relative_pc, bool* found, lvcrash_async_macho_symtab_entry_t* best) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto e = lvcrash_async_macho_symtab_reader_read(reader, table, i);
        if (!is_section_symbol(e) || e.n_value > relative_pc) continue;
        if (!*found || e.n_value > best->n_value) {
            *best = e;
            *found = true;
        }
    }
}

}  // namespace

lvcrash_error_t lvcrash_async_macho_find_symbol_by_pc(lvcrash_async_macho* image, lvcrash_vm_address_t pc,
                                                      lvcrash_async_macho_found_symbol_cb callback, void* ctx) {
    lvcrash_async_macho_symtab_reader reader;
    const lvcrash_error_t err = lvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != LVCRASH_ERROR_NONE) return err;
    const std::uint64_t relative_pc = pc - static_cast<std::uint64_t>(image->vmaddr_slide);
    bool found = false;
    lvcrash_async_macho_symtab_entry_t best{};
    if (reader.symtab_global && reader.symtab_local) {
        best_in(&reader, reader.symtab_global, reader.nsyms_global, relative_pc, &found, &best);
        best_in(&reader, reader.symtab_local, reader.nsyms_local, relative_pc, &found, &best);
    } else {
        best_in(&reader, reader.symtab, reader.nsyms, relative_pc, &found, &best);
    }
    lvcrash_error_t result = LVCRASH_ERROR_NOT_FOUND;
    if (found) {
        const char* name = lvcrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
        if (!name) {
            result = LVCRASH_ERROR_INVALID_ARGUMENT;
        } else {
            callback(best.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide), name, ctx);
            result = LVCRASH_ERROR_NONE;
        }
    }
    lvcrash_async_macho_symtab_reader_free(&reader);
    return result;
}

lvcrash_error_t lvcrash_async_macho_find_symbol_by_name(lvcrash_async_macho* image, const char* name,
                                                        lvcrash_vm_address_t* address) {
    lvcrash_async_macho_symtab_reader reader;
    const lvcrash_error_t err = lvcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != LVCRASH_ERROR_NONE) return err;
    lvcrash_error_t result = LVCRASH_ERROR_NOT_FOUND;
    for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
        const auto e = lvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!is_section_symbol(e)) continue;
        const char* symbol = lvcrash_async_macho_symtab_reader_symbol_name(&reader, e.n_strx);
        if (symbol && lvcrash_async_strcmp(symbol, name) == 0) {
            *address = e.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide);
            result = LVCRASH_ERROR_NONE;
            break;
        }
    }
    lvcrash_async_macho_symtab_reader_free(&reader);
    return result;
}

lvcrash_error_t lvcrash_async_macho_string_init(lvcrash_async_macho_string_t* string, lvcrash_async_macho* image,
                                                lvcrash_vm_address_t address) {
    string->image = image;
    string->address = address;
    string->mapped = false;
    string->length = 0;
    return LVCRASH_ERROR_NONE;
}

namespace {

lvcrash_error_t map_string(lvcrash_async_macho_string_t* string) {
    if (string->mapped) return LVCRASH_ERROR_NONE;
    const lvcrash_vm_size_t page = platform::darwin::page_size();
    for (lvcrash_vm_size_t want = page;; want += page) {
        lvcrash_async_mobject mobj;
        const lvcrash_error_t err =
            lvcrash_async_mobject_init(&mobj, string->image->task, string->address, want, false);
        if (err != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
        const auto* p = reinterpret_cast<const char*>(mobj.address);
        for (std::size_t i = 0; i < mobj.length; ++i) {
            if (p[i] == 0) {
                string->mobj = mobj;
                string->length = i;
                string->mapped = true;
                return LVCRASH_ERROR_NONE;
            }
        }
        const bool short_mapping = mobj.length < want;
        lvcrash_async_mobject_free(&mobj);
        if (short_mapping) return LVCRASH_ERROR_INVALID_ARGUMENT;  // the next byte cannot be read
    }
}

}  // namespace

lvcrash_error_t lvcrash_async_macho_string_get_length(lvcrash_async_macho_string_t* string, std::size_t* length) {
    const lvcrash_error_t err = map_string(string);
    if (err != LVCRASH_ERROR_NONE) return err;
    *length = string->length;
    return LVCRASH_ERROR_NONE;
}

lvcrash_error_t lvcrash_async_macho_string_get_pointer(lvcrash_async_macho_string_t* string, const char** pointer) {
    const lvcrash_error_t err = map_string(string);
    if (err != LVCRASH_ERROR_NONE) return err;
    void* p = lvcrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length);
    if (!p) return LVCRASH_ERROR_ACCESS_DENIED;
    *pointer = static_cast<const char*>(p);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_macho_string_free(lvcrash_async_macho_string_t* string) {
    if (string->mapped) lvcrash_async_mobject_free(&string->mobj);
    string->mapped = false;
}

}  // namespace lvcrash
