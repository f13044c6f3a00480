// The crash-path side of the image list: readers, and the crash-time reserve records.
#include "crashreporter/image_list.hpp"

#include <dlfcn.h>
#include <link.h>

namespace lvcrash {
void lvcrash_async_image_list_set_reading(lvcrash_async_image_list* list, bool enable) {
    list->body->reader_count.fetch_add(enable ? 1 : -1, std::memory_order_seq_cst);
}

lvcrash_vm_address_t lvcrash_async_image_header_address(const lvcrash_async_image* image) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? image->macho.header_addr : image->elf.header_addr;
}

lvcrash_vm_size_t lvcrash_async_image_text_size(const lvcrash_async_image* image) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? image->macho.text_size
                                                    : image->elf.text_end - image->elf.header_addr;
}

const char* lvcrash_async_image_name(const lvcrash_async_image* image) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? image->macho.name : image->elf.name;
}

bool lvcrash_async_image_uuid(const lvcrash_async_image* image, std::uint8_t uuid[16]) {
    if (image->kind == LVCRASH_ASYNC_IMAGE_ELF) {
        if (!image->elf.has_uuid) return false;
        lvcrash_async_memcpy(uuid, image->elf.uuid, 16);
        return true;
    }
    const auto* cmd = lvcrash_async_macho_find_command(&image->macho, LVCRASH_LC_UUID);
    if (!cmd || !lvcrash_async_mobject_verify_local_pointer(&image->macho.load_cmds,
                                                            reinterpret_cast<std::uintptr_t>(cmd), 0, 24))
        return false;
    lvcrash_async_memcpy(uuid, reinterpret_cast<const std::uint8_t*>(cmd) + 8, 16);
    return true;
}

std::uint32_t lvcrash_async_image_cpu_type(const lvcrash_async_image* image) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? lvcrash_async_macho_cpu_type(&image->macho) : image->elf.cpu_type;
}

std::uint32_t lvcrash_async_image_cpu_subtype(const lvcrash_async_image* image) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? lvcrash_async_macho_cpu_subtype(&image->macho)
                                                    : image->elf.cpu_subtype;
}

bool lvcrash_async_image_contains_address(const lvcrash_async_image* image, lvcrash_vm_address_t address) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO ? lvcrash_async_macho_contains_address(&image->macho, address)
                                                    : lvcrash_async_elf_contains_address(&image->elf, address);
}

lvcrash_error_t lvcrash_async_image_find_symbol_by_pc(lvcrash_async_image* image, lvcrash_vm_address_t pc,
                                                      void (*callback)(lvcrash_vm_address_t, const char*, void*),
                                                      void* ctx) {
    return image->kind == LVCRASH_ASYNC_IMAGE_MACHO
               ? lvcrash_async_macho_find_symbol_by_pc(&image->macho, pc, callback, ctx)
               : lvcrash_async_elf_find_symbol_by_pc(&image->elf, pc, callback, ctx);
}

namespace {

lvcrash_async_image* hand_out(lvcrash_async_image_list_node* node) {
    lvcrash_async_image* image = node->value.load(std::memory_order_acquire);
    if (image) image->node.store(node, std::memory_order_relaxed);
    return image;
}

lvcrash_async_image* next_reserve(lvcrash_async_image_list_body* body, int after) {
    for (int i = after + 1; i < LVCRASH_ASYNC_IMAGE_RESERVE; ++i)
        if (body->reserve_valid[i].load(std::memory_order_acquire)) return &body->reserve[i];
    return nullptr;
}

}  // namespace

lvcrash_async_image* lvcrash_async_image_list_next(lvcrash_async_image_list* list, lvcrash_async_image* current) {
    if (current && current->reserve_index >= 0) return next_reserve(list->body, current->reserve_index);
    lvcrash_async_image_list_node* node =
        current ? current->node.load(std::memory_order_relaxed)->next.load(std::memory_order_acquire) : list->body->head.load(std::memory_order_acquire);
    while (node) {
        if (lvcrash_async_image* image = hand_out(node)) return image;
        node = node->next.load(std::memory_order_acquire);
    }
    return next_reserve(list->body, -1);
}

lvcrash_async_image* lvcrash_async_image_containing_address(lvcrash_async_image_list* list,
                                                            lvcrash_vm_address_t address) {
    for (auto* node = list->body->head.load(std::memory_order_acquire); node;
         node = node->next.load(std::memory_order_acquire)) {
        // One load: a writer may give a reused node another image meanwhile.
        lvcrash_async_image* image = node->value.load(std::memory_order_acquire);
        if (image && lvcrash_async_image_contains_address(image, address)) {
            image->node.store(node, std::memory_order_relaxed);
            return image;
        }
    }
    return nullptr;
}

lvcrash_async_image* lvcrash_async_image_list_find_unlisted(lvcrash_async_image_list* list,
                                                            lvcrash_vm_address_t address) {
    lvcrash_async_image_list_body* body = list->body;
    for (int i = 0; i < LVCRASH_ASYNC_IMAGE_RESERVE; ++i)
        if (body->reserve_valid[i].load(std::memory_order_acquire) &&
            lvcrash_async_image_contains_address(&body->reserve[i], address))
            return &body->reserve[i];
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0) return nullptr;
    const int slot = body->reserve_claimed.fetch_add(1, std::memory_order_acq_rel);
    if (slot >= LVCRASH_ASYNC_IMAGE_RESERVE) return nullptr;
    lvcrash_async_image* image = &body->reserve[slot];
    lvcrash_async_memset(image, 0, sizeof *image);
    image->kind = LVCRASH_ASYNC_IMAGE_ELF;
    image->reserve_index = slot;
    const char* name = found.dlfo_link_map && found.dlfo_link_map->l_name ? found.dlfo_link_map->l_name : "";
    const lvcrash_error_t err = lvcrash_async_elf_init(&image->elf, list->task, name,
                                                       reinterpret_cast<lvcrash_vm_address_t>(found.dlfo_map_start));
    if (err != LVCRASH_ERROR_NONE) return nullptr;  // the slot stays unused
    body->reserve_valid[slot].store(true, std::memory_order_release);
    return lvcrash_async_image_contains_address(image, address) ? image : nullptr;
}

}  // namespace lvcrash
