#pragma once
// The crash reporter's own list of loaded images (Mach-O and ELF, tagged). Writers are the
// loader's add/remove callbacks on ordinary threads and serialise on a spin lock; readers on
// the crash path take no lock and rely on the reader count to keep unlinked nodes alive.
#include <atomic>

#include "crashreporter/elf.hpp"
#include "crashreporter/macho.hpp"

namespace lvcrash {

enum lvcrash_async_image_kind : std::uint32_t {
    LVCRASH_ASYNC_IMAGE_MACHO = 1,
    LVCRASH_ASYNC_IMAGE_ELF = 2,
};

struct lvcrash_async_image_list_node;

struct lvcrash_async_image {
    lvcrash_async_image_kind kind;
    lvcrash_async_macho macho;  // valid for LVCRASH_ASYNC_IMAGE_MACHO
    lvcrash_async_elf elf;      // valid for LVCRASH_ASYNC_IMAGE_ELF
    // Borrowed: the node that held it when last handed out (readers on several threads may
    // set it at once, hence atomic).
    std::atomic<lvcrash_async_image_list_node*> node;
    int reserve_index;                    // -1, or the crash-time reserve record it is
    lvcrash_async_image* retired_next;    // removed images waiting until no reader can hold them
};

struct lvcrash_async_image_list_node {
    std::atomic<lvcrash_async_image*> value;
    lvcrash_async_image_list_node* prev;
    std::atomic<lvcrash_async_image_list_node*> next;
};

inline constexpr int LVCRASH_ASYNC_IMAGE_RESERVE = 16;

struct lvcrash_async_image_list_body {
    std::atomic_flag lock;
    std::atomic<lvcrash_async_image_list_node*> head;
    lvcrash_async_image_list_node* tail;
    std::atomic<std::int32_t> reader_count;
    lvcrash_async_image_list_node* free_nodes;
    lvcrash_async_image* retired;
    std::uint64_t allocated_nodes;  // nodes ever allocated (reuse keeps this low)
    // Records for objects found at crash time outside the list (allocated with the body).
    lvcrash_async_image reserve[LVCRASH_ASYNC_IMAGE_RESERVE];
    std::atomic<int> reserve_claimed;
    std::atomic<bool> reserve_valid[LVCRASH_ASYNC_IMAGE_RESERVE];
};

struct lvcrash_async_image_list {
    task_t task;
    lvcrash_async_image_list_body* body;
};

// Writers (set-up time: they allocate).
lvcrash_error_t lvcrash_async_image_list_init(lvcrash_async_image_list* list, task_t task);
void lvcrash_async_image_list_free(lvcrash_async_image_list* list);
// Parses the image at header_address (Mach-O or ELF, by its magic) and appends it.
// Nothing changes when the image can't be parsed or no node can be had.
lvcrash_error_t lvcrash_async_image_list_append(lvcrash_async_image_list* list, lvcrash_vm_address_t header_address,
                                                const char* name);
void lvcrash_async_image_list_remove(lvcrash_async_image_list* list, lvcrash_vm_address_t header_address);

// Readers (crash path).
void lvcrash_async_image_list_set_reading(lvcrash_async_image_list* list, bool enable);
lvcrash_async_image* lvcrash_async_image_containing_address(lvcrash_async_image_list* list,
                                                            lvcrash_vm_address_t address);
// The list's images in the order they were added, then the crash-time reserve records.
lvcrash_async_image* lvcrash_async_image_list_next(lvcrash_async_image_list* list, lvcrash_async_image* current);
// For a pc outside every listed image: the object glibc knows at that address, parsed into one
// of the list's 16 reserve records (kept until the list is freed), or nullptr.
lvcrash_async_image* lvcrash_async_image_list_find_unlisted(lvcrash_async_image_list* list,
                                                            lvcrash_vm_address_t address);

// The facts a report lists, whatever the kind.
lvcrash_vm_address_t lvcrash_async_image_header_address(const lvcrash_async_image* image);
lvcrash_vm_size_t lvcrash_async_image_text_size(const lvcrash_async_image* image);
const char* lvcrash_async_image_name(const lvcrash_async_image* image);
bool lvcrash_async_image_uuid(const lvcrash_async_image* image, std::uint8_t uuid[16]);
std::uint32_t lvcrash_async_image_cpu_type(const lvcrash_async_image* image);
std::uint32_t lvcrash_async_image_cpu_subtype(const lvcrash_async_image* image);
bool lvcrash_async_image_contains_address(const lvcrash_async_image* image, lvcrash_vm_address_t address);
lvcrash_error_t lvcrash_async_image_find_symbol_by_pc(lvcrash_async_image* image, lvcrash_vm_address_t pc,
                                                      void (*callback)(lvcrash_vm_address_t, const char*, void*),
                                                      void* ctx);

}  // namespace lvcrash
