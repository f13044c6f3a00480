#pragma once
// Reads one Mach-O image (32- or 64-bit, either byte order) in task memory, in place and
// async-safely. Init and free run when an image is added or removed (they copy the name);
// everything else may run on the crash path.
#include "crashreporter/mobject.hpp"

namespace lvcrash {

inline constexpr std::uint32_t LVCRASH_MH_MAGIC = 0xFEEDFACE;
inline constexpr std::uint32_t LVCRASH_MH_CIGAM = 0xCEFAEDFE;
inline constexpr std::uint32_t LVCRASH_MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr std::uint32_t LVCRASH_MH_CIGAM_64 = 0xCFFAEDFE;
inline constexpr std::uint32_t LVCRASH_LC_SEGMENT = 0x1;
inline constexpr std::uint32_t LVCRASH_LC_SYMTAB = 0x2;
inline constexpr std::uint32_t LVCRASH_LC_DYSYMTAB = 0xB;
inline constexpr std::uint32_t LVCRASH_LC_SEGMENT_64 = 0x19;
inline constexpr std::uint32_t LVCRASH_LC_UUID = 0x1B;

// The first 28 bytes of a Mach header, in the image's byte order.
struct lvcrash_macho_header {
    std::uint32_t magic;
    std::uint32_t cputype;
    std::uint32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};

// Common head of every load command, in the image's byte order. Commands may sit at any
// alignment in a damaged image: read their fields with copies, never through this type.
struct lvcrash_macho_load_command {
    std::uint32_t cmd;
    std::uint32_t cmdsize;
};

struct lvcrash_async_macho {
    task_t task;
    lvcrash_vm_address_t header_addr;
    std::int64_t vmaddr_slide;
    char* name;
    lvcrash_macho_header header;
    std::uint32_t header_size;
    std::uint32_t ncmds;
    lvcrash_async_mobject load_cmds;
    lvcrash_vm_address_t text_vmaddr;
    lvcrash_vm_size_t text_size;
    bool m64;
    const RDlvcrash_async_byteorder* byteorder;
};

struct lvcrash_async_macho_mapped_segment_t {
    lvcrash_async_mobject mobj;
    std::uint64_t fileoff;
    std::uint64_t filesize;
};

struct lvcrash_async_macho_symtab_reader {
    lvcrash_async_macho* image;
    lvcrash_async_macho_mapped_segment_t linkedit;
    const void* symtab;
    std::uint32_t nsyms;
    const void* symtab_global;
    std::uint32_t nsyms_global;
    const void* symtab_local;
    std::uint32_t nsyms_local;
    const char* string_table;
    std::size_t string_table_size;
};

struct lvcrash_async_macho_symtab_entry_t {
    std::uint32_t n_strx;
    std::uint8_t n_type;
    std::uint8_t n_sect;
    std::uint16_t n_desc;
    std::uint64_t n_value;
    std::uint64_t normalized_value;
};

struct lvcrash_async_macho_string_t {
    lvcrash_async_macho* image;
    lvcrash_vm_address_t address;
    lvcrash_async_mobject mobj;
    bool mapped;
    std::size_t length;
};

using lvcrash_async_macho_found_symbol_cb = void (*)(lvcrash_vm_address_t address, const char* name, void* ctx);

lvcrash_error_t lvcrash_async_macho_init(lvcrash_async_macho* image, task_t task, const char* name,
                                         lvcrash_vm_address_t header_address);
void lvcrash_async_macho_free(lvcrash_async_macho* image);

const RDlvcrash_async_byteorder* lvcrash_async_macho_byteorder(const lvcrash_async_macho* image);
const lvcrash_macho_header* lvcrash_async_macho_header(const lvcrash_async_macho* image);
std::uint32_t lvcrash_async_macho_header_size(const lvcrash_async_macho* image);
std::uint32_t lvcrash_async_macho_cpu_type(const lvcrash_async_macho* image);
std::uint32_t lvcrash_async_macho_cpu_subtype(const lvcrash_async_macho* image);
bool lvcrash_async_macho_contains_address(const lvcrash_async_macho* image, lvcrash_vm_address_t address);

const lvcrash_macho_load_command* lvcrash_async_macho_next_command(const lvcrash_async_macho* image,
                                                                   const void* previous);
const lvcrash_macho_load_command* lvcrash_async_macho_next_command_type(const lvcrash_async_macho* image,
                                                                        const void* previous, std::uint32_t type);
const lvcrash_macho_load_command* lvcrash_async_macho_find_command(const lvcrash_async_macho* image,
                                                                   std::uint32_t type);
const lvcrash_macho_load_command* lvcrash_async_macho_find_segment_cmd(const lvcrash_async_macho* image,
                                                                       const char* segname);

lvcrash_error_t lvcrash_async_macho_map_segment(const lvcrash_async_macho* image, const char* segname,
                                                lvcrash_async_macho_mapped_segment_t* segment);
void lvcrash_async_macho_mapped_segment_free(lvcrash_async_macho_mapped_segment_t* segment);
lvcrash_error_t lvcrash_async_macho_map_section(const lvcrash_async_macho* image, const char* segname,
                                                const char* sectname, lvcrash_async_mobject* mobj);

lvcrash_error_t lvcrash_async_macho_symtab_reader_init(lvcrash_async_macho_symtab_reader* reader,
                                                       lvcrash_async_macho* image);
lvcrash_async_macho_symtab_entry_t lvcrash_async_macho_symtab_reader_read(lvcrash_async_macho_symtab_reader* reader,
                                                                         const void* table, std::uint32_t index);
const char* lvcrash_async_macho_symtab_reader_symbol_name(lvcrash_async_macho_symtab_reader* reader,
                                                          std::uint32_t n_strx);
void lvcrash_async_macho_symtab_reader_free(lvcrash_async_macho_symtab_reader* reader);

lvcrash_error_t lvcrash_async_macho_find_symbol_by_pc(lvcrash_async_macho* image, lvcrash_vm_address_t pc,
                                                      lvcrash_async_macho_found_symbol_cb callback, void* ctx);
lvcrash_error_t lvcrash_async_macho_find_symbol_by_name(lvcrash_async_macho* image, const char* name,
                                                        lvcrash_vm_address_t* address);

lvcrash_error_t lvcrash_async_macho_string_init(lvcrash_async_macho_string_t* string, lvcrash_async_macho* image,
                                                lvcrash_vm_address_t address);
lvcrash_error_t lvcrash_async_macho_string_get_length(lvcrash_async_macho_string_t* string, std::size_t* length);
lvcrash_error_t lvcrash_async_macho_string_get_pointer(lvcrash_async_macho_string_t* string, const char** pointer);
void lvcrash_async_macho_string_free(lvcrash_async_macho_string_t* string);

// Set-up-time copies of image names (the heap is not reachable from the crash path).
char* lvcrash_setup_strdup(const char* text);
void lvcrash_setup_strfree(char* text);

}  // namespace lvcrash
