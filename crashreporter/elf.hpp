#pragma once
// Reads one ELF object loaded in the task (64-bit, little-endian), in place and async-safely:
// the facts the report lists (header, text range, build id, CPU type), where its unwind table
// index lies, and symbols for a pc from .dynsym and, when the file has one, .symtab.
// lvcrash_async_elf_init is crash-safe (the name is borrowed); the add-time helpers in
// elf_setup.cpp copy the name and map the file's .symtab.
#include "crashreporter/mobject.hpp"

namespace lvcrash {

struct lvcrash_async_elf {
    task_t task;
    lvcrash_vm_address_t header_addr;  // the first PT_LOAD (the ELF header)
    std::int64_t load_bias;            // run-time minus link-time address
    const char* name;
    bool owns_name;
    lvcrash_vm_address_t text_end;     // end of the last executable PT_LOAD
    std::uint8_t uuid[16];
    bool has_uuid;
    std::uint32_t cpu_type;
    std::uint32_t cpu_subtype;
    lvcrash_vm_address_t eh_frame_hdr;  // 0 when absent
    lvcrash_vm_size_t eh_frame_hdr_size;
    // From PT_DYNAMIC (run-time addresses; 0 when absent).
    lvcrash_vm_address_t dynsym;
    std::uint32_t dynsym_count;
    lvcrash_vm_address_t dynstr;
    std::uint64_t dynstr_size;
    lvcrash_vm_address_t gnu_hash;  // walked in glibc's order when present
    // A read-only mapping of the file, made when the image is added (nullptr otherwise).
    const std::uint8_t* file_map;
    std::size_t file_size;
    const std::uint8_t* symtab;
    std::uint32_t symtab_count;
    const char* strtab;
    std::uint64_t strtab_size;
};

using lvcrash_async_elf_found_symbol_cb = void (*)(lvcrash_vm_address_t address, const char* name, void* ctx);

lvcrash_error_t lvcrash_async_elf_init(lvcrash_async_elf* image, task_t task, const char* name,
                                       lvcrash_vm_address_t header_address);
bool lvcrash_async_elf_contains_address(const lvcrash_async_elf* image, lvcrash_vm_address_t address);
lvcrash_error_t lvcrash_async_elf_find_symbol_by_pc(const lvcrash_async_elf* image, lvcrash_vm_address_t pc,
                                                    lvcrash_async_elf_found_symbol_cb callback, void* ctx);

// Add time (allocate, open files): copy the name and map the file's .symtab when it has one.
lvcrash_error_t lvcrash_async_elf_init_owned(lvcrash_async_elf* image, task_t task, const char* name,
                                             lvcrash_vm_address_t header_address);
void lvcrash_async_elf_free(lvcrash_async_elf* image);

}  // namespace lvcrash
