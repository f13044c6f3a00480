#include "crashreporter/elf.hpp"

#include <elf.h>

namespace lvcrash {
namespace {

constexpr std::size_t phdr_size = sizeof(Elf64_Phdr);
constexpr std::uint32_t max_symbols = 1u << 24;  // far above any real object

template <typename T>
T at(const void* base, std::size_t offset) {
    T v;
    __builtin_memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
    return v;
}

// glibc relocates most dynamic entries in place; the vDSO's (read-only) ones stay link-time.
lvcrash_vm_address_t dyn_address(const lvcrash_async_elf* image, std::uint64_t value) {
    const auto bias = static_cast<std::uint64_t>(image->load_bias);
    return value < bias ? value + bias : value;
}

void cpu_of(std::uint16_t machine, std::uint32_t* type, std::uint32_t* subtype) {
    switch (machine) {
    case EM_X86_64: *type = 0x01000007; *subtype = 3; break;
    case EM_AARCH64: *type = 0x0100000C; *subtype = 0; break;
    case EM_386: *type = 7; *subtype = 3; break;
    case EM_ARM: *type = 12; *subtype = 0; break;
    default: *type = 0xFFFFFFFFu; *subtype = 0xFFFFFFFFu; break;
    }
}

lvcrash_error_t read_build_id(lvcrash_async_elf* image, lvcrash_vm_address_t address, lvcrash_vm_size_t size) {
    if (size == 0) return LVCRASH_ERROR_NONE;
    lvcrash_async_mobject notes;
    if (lvcrash_async_mobject_init(&notes, image->task, address, size, true) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    const auto* p = reinterpret_cast<const std::uint8_t*>(notes.address);
    std::uint64_t off = 0;
    while (off + 12 <= notes.length) {
        const auto namesz = at<std::uint32_t>(p, off), descsz = at<std::uint32_t>(p, off + 4);
        const auto type = at<std::uint32_t>(p, off + 8);
        const std::uint64_t name_at = off + 12;
        const std::uint64_t desc_at = name_at + ((static_cast<std::uint64_t>(namesz) + 3) & ~3ull);
        const std::uint64_t next = desc_at + ((static_cast<std::uint64_t>(descsz) + 3) & ~3ull);
        if (desc_at > notes.length || next > notes.length) break;
        if (type == NT_GNU_BUILD_ID && namesz == 4 && at<std::uint32_t>(p, name_at) == 0x00554E47 /* "GNU\0" */) {
            lvcrash_async_memset(image->uuid, 0, sizeof image->uuid);
            lvcrash_async_memcpy(image->uuid, p + desc_at, descsz < 16 ? descsz : 16);
            image->has_uuid = true;
            break;
        }
        off = next;
    }
    lvcrash_async_mobject_free(&notes);
    return LVCRASH_ERROR_NONE;
}

// Highest symbol index + 1 from a GNU hash table: the largest bucket, then its chain's end.
bool gnu_hash_count(const lvcrash_async_elf* image, lvcrash_vm_address_t table, std::uint32_t* count) {
    std::uint32_t head[4];
    if (lvcrash_async_task_memcpy(image->task, table, 0, head, sizeof head) != LVCRASH_ERROR_NONE) return false;
    const std::uint32_t nbuckets = head[0], symoffset = head[1], bloom_size = head[2];
    if (nbuckets == 0 || nbuckets > max_symbols || bloom_size > max_symbols) return false;
    const std::uint64_t buckets_at = 16 + static_cast<std::uint64_t>(bloom_size) * 8;
    lvcrash_async_mobject m;
    if (lvcrash_async_mobject_init(&m, image->task, table + buckets_at, static_cast<std::uint64_t>(nbuckets) * 4, true) !=
        LVCRASH_ERROR_NONE)
        return false;
    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < nbuckets; ++i) {
        const auto b = at<std::uint32_t>(reinterpret_cast<const void*>(m.address), i * 4ull);
        if (b > last) last = b;
    }
    lvcrash_async_mobject_free(&m);
    if (last < symoffset) {
        *count = symoffset;
        return true;
    }
    const lvcrash_vm_address_t chains = table + buckets_at + static_cast<std::uint64_t>(nbuckets) * 4;
    for (std::uint32_t i = last; i < max_symbols; ++i) {
        std::uint32_t h;
        if (lvcrash_async_task_memcpy(image->task, chains, static_cast<std::int64_t>(i - symoffset) * 4, &h, 4) !=
            LVCRASH_ERROR_NONE)
            return false;
        if (h & 1) {
            *count = i + 1;
            return true;
        }
    }
    return false;
}

lvcrash_error_t read_dynamic(lvcrash_async_elf* image, lvcrash_vm_address_t address, lvcrash_vm_size_t size) {
    lvcrash_async_mobject dyn;
    if (lvcrash_async_mobject_init(&dyn, image->task, address, size, true) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    std::uint64_t symtab = 0, strtab = 0, strsz = 0, syment = sizeof(Elf64_Sym), hash = 0, gnu_hash = 0;
    const auto* p = reinterpret_cast<const std::uint8_t*>(dyn.address);
    for (std::uint64_t off = 0; off + 16 <= dyn.length; off += 16) {
        const auto tag = at<std::int64_t>(p, off);
        const auto value = at<std::uint64_t>(p, off + 8);
        if (tag == DT_NULL) break;
        switch (tag) {
        case DT_SYMTAB: symtab = value; break;
        case DT_STRTAB: strtab = value; break;
        case DT_STRSZ: strsz = value; break;
        case DT_SYMENT: syment = value; break;
        case DT_HASH: hash = value; break;
        case DT_GNU_HASH: gnu_hash = value; break;
        default: break;
        }
    }
    lvcrash_async_mobject_free(&dyn);
    if (!symtab || !strtab || syment != sizeof(Elf64_Sym)) return LVCRASH_ERROR_NONE;  // no usable symbols
    std::uint32_t count = 0;
    if (gnu_hash) {
        image->gnu_hash = dyn_address(image, gnu_hash);
        if (!gnu_hash_count(image, image->gnu_hash, &count)) return LVCRASH_ERROR_INVALID_DATA;
    } else if (hash) {
        std::uint32_t nchain;
        if (lvcrash_async_task_memcpy(image->task, dyn_address(image, hash), 4, &nchain, 4) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_DATA;
        count = nchain < max_symbols ? nchain : max_symbols;
    }
    image->dynsym = dyn_address(image, symtab);
    image->dynsym_count = count;
    image->dynstr = dyn_address(image, strtab);
    image->dynstr_size = strsz;
    return LVCRASH_ERROR_NONE;
}

}  // namespace

lvcrash_error_t lvcrash_async_elf_init(lvcrash_async_elf* image, task_t task, const char* name,
                                       lvcrash_vm_address_t header_address) {
    lvcrash_async_memset(image, 0, sizeof *image);
    image->task = task;
    image->header_addr = header_address;
    image->name = name;
    Elf64_Ehdr eh;
    if (lvcrash_async_task_memcpy(task, header_address, 0, &eh, sizeof eh) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INTERNAL;
    if (eh.e_ident[EI_MAG0] != ELFMAG0 || eh.e_ident[EI_MAG1] != ELFMAG1 || eh.e_ident[EI_MAG2] != ELFMAG2 ||
        eh.e_ident[EI_MAG3] != ELFMAG3 || eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    if (eh.e_phentsize != phdr_size || eh.e_phnum == 0 || eh.e_phnum == PN_XNUM) return LVCRASH_ERROR_INVALID_ARGUMENT;
    cpu_of(eh.e_machine, &image->cpu_type, &image->cpu_subtype);

    lvcrash_async_mobject phdrs;
    const lvcrash_error_t mapped =
        lvcrash_async_mobject_init(&phdrs, task, header_address + eh.e_phoff, eh.e_phnum * phdr_size, true);
    if (mapped != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_ARGUMENT;
    const auto* ph = reinterpret_cast<const Elf64_Phdr*>(phdrs.address);
    bool have_load = false;
    lvcrash_vm_address_t note_at[8];
    lvcrash_vm_size_t note_size[8];
    int notes = 0;
    lvcrash_vm_address_t dynamic = 0;
    lvcrash_vm_size_t dynamic_size = 0;
    // The load bias comes from the first loadable segment, which need not come first: linkers
    // may place notes, for one, ahead of it.
    for (std::size_t i = 0; i < eh.e_phnum && !have_load; ++i) {
        Elf64_Phdr h;
        __builtin_memcpy(&h, ph + i, sizeof h);
        if (h.p_type == PT_LOAD) {
            image->load_bias = static_cast<std::int64_t>(header_address - h.p_vaddr);
            have_load = true;
        }
    }
    for (std::size_t i = 0; i < eh.e_phnum && have_load; ++i) {
        Elf64_Phdr h;
        __builtin_memcpy(&h, ph + i, sizeof h);
        const lvcrash_vm_address_t start = h.p_vaddr + static_cast<std::uint64_t>(image->load_bias);
        if (h.p_type == PT_LOAD && (h.p_flags & PF_X)) image->text_end = start + h.p_memsz;
        if (h.p_type == PT_GNU_EH_FRAME) {
            image->eh_frame_hdr = start;
            image->eh_frame_hdr_size = h.p_memsz;
        }
        if (h.p_type == PT_NOTE && notes < 8) {
            note_at[notes] = start;
            note_size[notes++] = h.p_memsz;
        }
        if (h.p_type == PT_DYNAMIC) {
            dynamic = start;
            dynamic_size = h.p_memsz;
        }
    }
    lvcrash_async_mobject_free(&phdrs);
    if (!have_load || image->text_end <= header_address) return LVCRASH_ERROR_INVALID_ARGUMENT;
    for (int i = 0; i < notes && !image->has_uuid; ++i) {
        const lvcrash_error_t err = read_build_id(image, note_at[i], note_size[i]);
        if (err != LVCRASH_ERROR_NONE) return err;
    }
    if (dynamic) return read_dynamic(image, dynamic, dynamic_size);
    return LVCRASH_ERROR_NONE;
}

bool lvcrash_async_elf_contains_address(const lvcrash_async_elf* image, lvcrash_vm_address_t address) {
    return address >= image->header_addr && address < image->text_end;
}

namespace {

struct best_symbol {
    bool found;
    std::uint64_t st_value;
    lvcrash_vm_address_t address;
    const char* name;
};

// glibc's dladdr rule: defined, not absolute, not TLS; the pc inside [value, value + size)
// (or equal to a sized-0 value); among matches the strictly greater st_value wins.
void consider(best_symbol* best, const Elf64_Sym& sym, std::int64_t bias, lvcrash_vm_address_t pc, const char* strings,
              std::uint64_t strings_size) {
    if (sym.st_shndx == SHN_UNDEF && sym.st_value == 0) return;
    if (sym.st_shndx == SHN_ABS || ELF64_ST_TYPE(sym.st_info) == STT_TLS) return;
    if (sym.st_name >= strings_size) return;
    const lvcrash_vm_address_t value = sym.st_value + static_cast<std::uint64_t>(bias);
    if (pc < value) return;
    const bool inside = ((sym.st_shndx == SHN_UNDEF || sym.st_size == 0) && pc == value) || pc - value < sym.st_size;
    if (!inside) return;
    if (best->found && !(best->st_value < sym.st_value)) return;
    // The name must end inside the table.
    std::uint64_t end = sym.st_name;
    while (end < strings_size && strings[end] != 0) ++end;
    if (end >= strings_size) return;
    best->found = true;
    best->st_value = sym.st_value;
    best->address = value;
    best->name = strings + sym.st_name;
}

}  // namespace

namespace {

constexpr std::uint32_t symbol_chunk = 128;
constexpr std::size_t name_buffer_size = 1024;

// The whole-table lookup: .dynsym and .dynstr copied into fresh pages. Used when the lookup
// in place can't settle the answer on its own.
lvcrash_error_t find_symbol_mapped(const lvcrash_async_elf* image, lvcrash_vm_address_t pc,
                                   lvcrash_async_elf_found_symbol_cb callback, void* ctx) {
    best_symbol best{false, 0, 0, nullptr};
    lvcrash_async_mobject syms, strs, chains;
    bool mapped = false, chains_mapped = false;
    if (image->dynsym && image->dynsym_count && image->dynstr_size &&
        lvcrash_async_mobject_init(&syms, image->task, image->dynsym,
                                   static_cast<std::uint64_t>(image->dynsym_count) * sizeof(Elf64_Sym), true) ==
            LVCRASH_ERROR_NONE) {
        if (lvcrash_async_mobject_init(&strs, image->task, image->dynstr, image->dynstr_size, true) == LVCRASH_ERROR_NONE) {
            mapped = true;
        } else {
            lvcrash_async_mobject_free(&syms);
        }
    }
    if (mapped) {
        const auto* table = reinterpret_cast<const std::uint8_t*>(syms.address);
        const auto* strings = reinterpret_cast<const char*>(strs.address);
        auto visit = [&](std::uint32_t index) {
            if (index >= image->dynsym_count) return;
            consider(&best, at<Elf64_Sym>(table, index * sizeof(Elf64_Sym)), image->load_bias, pc, strings, strs.length);
        };
        std::uint32_t head[4];
        if (image->gnu_hash &&
            lvcrash_async_task_memcpy(image->task, image->gnu_hash, 0, head, sizeof head) == LVCRASH_ERROR_NONE &&
            head[0] > 0 && head[0] <= max_symbols && head[2] <= max_symbols) {
            // Buckets, then each bucket's chain: glibc visits the symbols in this order, which
            // settles which of several aliases of one address is named.
            const std::uint32_t nbuckets = head[0], symoffset = head[1];
            const lvcrash_vm_address_t buckets = image->gnu_hash + 16 + static_cast<std::uint64_t>(head[2]) * 8;
            const lvcrash_vm_address_t chain_at = buckets + static_cast<std::uint64_t>(nbuckets) * 4;
            lvcrash_async_mobject bucket_map;
            if (image->dynsym_count > symoffset &&
                lvcrash_async_mobject_init(&bucket_map, image->task, buckets, static_cast<std::uint64_t>(nbuckets) * 4, true) ==
                    LVCRASH_ERROR_NONE) {
                if (lvcrash_async_mobject_init(&chains, image->task, chain_at,
                                               static_cast<std::uint64_t>(image->dynsym_count - symoffset) * 4,
                                               true) == LVCRASH_ERROR_NONE) {
                    chains_mapped = true;
                    const auto* b = reinterpret_cast<const std::uint8_t*>(bucket_map.address);
                    const auto* c = reinterpret_cast<const std::uint8_t*>(chains.address);
                    for (std::uint32_t i = 0; i < nbuckets; ++i) {
                        std::uint32_t index = at<std::uint32_t>(b, i * 4ull);
                        if (index == 0 || index < symoffset) continue;
                        for (; index < image->dynsym_count; ++index) {
                            visit(index);
                            if (at<std::uint32_t>(c, (index - symoffset) * 4ull) & 1) break;
                        }
                    }
                }
                lvcrash_async_mobject_free(&bucket_map);
            }
        } else {
            for (std::uint32_t i = 0; i < image->dynsym_count; ++i) visit(i);
        }
    }
    if (image->symtab) {
        for (std::uint32_t i = 0; i < image->symtab_count; ++i)
            consider(&best, at<Elf64_Sym>(image->symtab, i * sizeof(Elf64_Sym)), image->load_bias, pc, image->strtab,
                     image->strtab_size);
    }
    if (best.found) callback(best.address, best.name, ctx);
    if (chains_mapped) lvcrash_async_mobject_free(&chains);
    if (mapped) {
        lvcrash_async_mobject_free(&syms);
        lvcrash_async_mobject_free(&strs);
    }
    return best.found ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_NOT_FOUND;
}

// .dynsym read in place, a chunk at a time, and only the winner's name read. The GNU hash table
// sorts the symbols it covers by bucket, so walking its buckets in order visits them in index
// order from symoffset on: a linear scan keeps dladdr's choice among aliases. False when the
// answer needs the whole-table lookup (a read failed, or the winner's name is not terminated
// within the buffer).
bool find_dynsym_in_place(const lvcrash_async_elf* image, lvcrash_vm_address_t pc, best_symbol* best,
                          char (&name)[name_buffer_size]) {
    if (!image->dynsym || !image->dynsym_count || !image->dynstr_size) return true;  // nothing to find there
    std::uint32_t first = 0;
    std::uint32_t head[4];
    if (image->gnu_hash &&
        lvcrash_async_task_memcpy(image->task, image->gnu_hash, 0, head, sizeof head) == LVCRASH_ERROR_NONE &&
        head[0] > 0 && head[0] <= max_symbols && head[2] <= max_symbols) {
        if (image->dynsym_count <= head[1]) return true;
        first = head[1];
    }
    Elf64_Sym chunk[symbol_chunk];
    bool found = false;
    Elf64_Sym winner{};
    for (std::uint32_t i = first; i < image->dynsym_count;) {
        const std::uint32_t n = image->dynsym_count - i < symbol_chunk ? image->dynsym_count - i : symbol_chunk;
        if (lvcrash_async_task_memcpy(image->task, image->dynsym, static_cast<lvcrash_vm_off_t>(i) * sizeof(Elf64_Sym),
                                      chunk, n * sizeof(Elf64_Sym)) != LVCRASH_ERROR_NONE)
            return false;
        for (std::uint32_t k = 0; k < n; ++k) {
            const Elf64_Sym& sym = chunk[k];
            if (sym.st_shndx == SHN_UNDEF && sym.st_value == 0) continue;
            if (sym.st_shndx == SHN_ABS || ELF64_ST_TYPE(sym.st_info) == STT_TLS) continue;
            if (sym.st_name >= image->dynstr_size) continue;
            const lvcrash_vm_address_t value = sym.st_value + static_cast<std::uint64_t>(image->load_bias);
            if (pc < value) continue;
            const bool inside =
                ((sym.st_shndx == SHN_UNDEF || sym.st_size == 0) && pc == value) || pc - value < sym.st_size;
            if (!inside || (found && !(winner.st_value < sym.st_value))) continue;
            found = true;
            winner = sym;
        }
        i += n;
    }
    if (!found) return true;
    std::uint64_t length = image->dynstr_size - winner.st_name;
    if (length > name_buffer_size) length = name_buffer_size;
    if (lvcrash_async_task_memcpy(image->task, image->dynstr, winner.st_name, name, length) != LVCRASH_ERROR_NONE)
        return false;
    std::uint64_t end = 0;
    while (end < length && name[end] != 0) ++end;
    if (end >= length) return false;
    best->found = true;
    best->st_value = winner.st_value;
    best->address = winner.st_value + static_cast<std::uint64_t>(image->load_bias);
    best->name = name;
    return true;
}

}  // namespace

lvcrash_error_t lvcrash_async_elf_find_symbol_by_pc(const lvcrash_async_elf* image, lvcrash_vm_address_t pc,
                                                    lvcrash_async_elf_found_symbol_cb callback, void* ctx) {
    best_symbol best{false, 0, 0, nullptr};
    char name[name_buffer_size];
    if (!find_dynsym_in_place(image, pc, &best, name)) return find_symbol_mapped(image, pc, callback, ctx);
    if (image->symtab) {
        for (std::uint32_t i = 0; i < image->symtab_count; ++i)
            consider(&best, at<Elf64_Sym>(image->symtab, i * sizeof(Elf64_Sym)), image->load_bias, pc, image->strtab,
                     image->strtab_size);
    }
    if (best.found) callback(best.address, best.name, ctx);
    return best.found ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_NOT_FOUND;
}

}  // namespace lvcrash
