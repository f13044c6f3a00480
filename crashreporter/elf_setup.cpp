// Add-time work on ELF images: a private copy of the name and a read-only mapping of the
// file's .symtab (files on disk keep local symbols that the loaded image doesn't).
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crashreporter/elf.hpp"
#include "crashreporter/macho.hpp"

namespace lvcrash {
namespace {

void map_file_symbols(lvcrash_async_elf* image) {
    if (!image->name || image->name[0] != '/') return;
    const int fd = open(image->name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    void* map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr)))
        map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return;
    const auto* bytes = static_cast<const std::uint8_t*>(map);
    const auto size = static_cast<std::size_t>(st.st_size);
    Elf64_Ehdr eh;
    __builtin_memcpy(&eh, bytes, sizeof eh);
    const std::uint64_t shdrs = eh.e_shoff;
    bool kept = false;
    if (eh.e_shentsize == sizeof(Elf64_Shdr) && shdrs <= size && (size - shdrs) / sizeof(Elf64_Shdr) >= eh.e_shnum) {
        for (std::uint16_t i = 0; i < eh.e_shnum && !kept; ++i) {
            Elf64_Shdr sh;
            __builtin_memcpy(&sh, bytes + shdrs + i * sizeof(Elf64_Shdr), sizeof sh);
            if (sh.sh_type != SHT_SYMTAB || sh.sh_entsize != sizeof(Elf64_Sym) || sh.sh_link >= eh.e_shnum) continue;
            Elf64_Shdr str;
            __builtin_memcpy(&str, bytes + shdrs + sh.sh_link * sizeof(Elf64_Shdr), sizeof str);
            if (sh.sh_offset > size || size - sh.sh_offset < sh.sh_size || str.sh_offset > size ||
                size - str.sh_offset < str.sh_size)
                continue;
            image->file_map = bytes;
            image->file_size = size;
            image->symtab = bytes + sh.sh_offset;
            image->symtab_count = static_cast<std::uint32_t>(sh.sh_size / sizeof(Elf64_Sym));
            image->strtab = reinterpret_cast<const char*>(bytes + str.sh_offset);
            image->strtab_size = str.sh_size;
            kept = true;
        }
    }
    if (!kept) munmap(map, size);
}

}  // namespace

lvcrash_error_t lvcrash_async_elf_init_owned(lvcrash_async_elf* image, task_t task, const char* name,
                                             lvcrash_vm_address_t header_address) {
    char* copy = lvcrash_setup_strdup(name ? name : "");
    const lvcrash_error_t err = lvcrash_async_elf_init(image, task, copy, header_address);
    if (err != LVCRASH_ERROR_NONE) {
        lvcrash_setup_strfree(copy);
        image->name = nullptr;
        return err;
    }
    image->owns_name = true;
    platform::darwin::port_retain(task);
    map_file_symbols(image);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_elf_free(lvcrash_async_elf* image) {
    if (image->file_map) munmap(const_cast<std::uint8_t*>(image->file_map), image->file_size);
    if (image->owns_name) {
        lvcrash_setup_strfree(const_cast<char*>(image->name));
        platform::darwin::port_release(image->task);
    }
    image->file_map = nullptr;
    image->symtab = nullptr;
    image->name = nullptr;
    image->owns_name = false;
}

}  // namespace lvcrash
