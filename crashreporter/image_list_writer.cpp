// The writer side of the image list (loader callbacks on ordinary threads): it allocates.
#include <cstdlib>
#include <new>

#include "crashreporter/image_list.hpp"

namespace lvcrash {
namespace {

void lock(lvcrash_async_image_list_body* body) {
    while (body->lock.test_and_set(std::memory_order_acquire)) {
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
}

void unlock(lvcrash_async_image_list_body* body) { body->lock.clear(std::memory_order_release); }

void free_image(lvcrash_async_image* image) {
    if (image->kind == LVCRASH_ASYNC_IMAGE_MACHO) lvcrash_async_macho_free(&image->macho);
    else lvcrash_async_elf_free(&image->elf);
    std::free(image);
}

// Frees removed images once no reader is active (a reader starting now can't reach them).
void drain_retired(lvcrash_async_image_list_body* body) {
    if (body->reader_count.load(std::memory_order_seq_cst) != 0) return;
    while (lvcrash_async_image* image = body->retired) {
        body->retired = image->retired_next;
        free_image(image);
    }
}

}  // namespace

lvcrash_error_t lvcrash_async_image_list_init(lvcrash_async_image_list* list, task_t task) {
    auto* body = static_cast<lvcrash_async_image_list_body*>(std::calloc(1, sizeof(lvcrash_async_image_list_body)));
    if (!body) return LVCRASH_ERROR_NO_MEMORY;
    new (body) lvcrash_async_image_list_body{};
    body->lock.clear();
    list->task = task;
    list->body = body;
    platform::darwin::port_retain(task);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_image_list_free(lvcrash_async_image_list* list) {
    lvcrash_async_image_list_body* body = list->body;
    if (!body) return;
    for (auto* chain : {body->head.load(), body->free_nodes}) {
        while (chain) {
            auto* next = chain->next.load();
            if (auto* image = chain->value.load()) free_image(image);
            std::free(chain);
            chain = next;
        }
    }
    while (lvcrash_async_image* image = body->retired) {
        body->retired = image->retired_next;
        free_image(image);
    }
    body->~lvcrash_async_image_list_body();
    std::free(body);
    list->body = nullptr;
    platform::darwin::port_release(list->task);
}

lvcrash_error_t lvcrash_async_image_list_append(lvcrash_async_image_list* list, lvcrash_vm_address_t header_address,
                                                const char* name) {
    std::uint32_t magic = 0;
    if (lvcrash_async_task_memcpy(list->task, header_address, 0, &magic, 4) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_ARGUMENT;
    auto* image = static_cast<lvcrash_async_image*>(std::calloc(1, sizeof(lvcrash_async_image)));
    if (!image) return LVCRASH_ERROR_NO_MEMORY;
    image->reserve_index = -1;
    lvcrash_error_t err;
    if (magic == 0x464C457F) {  // "\x7fELF"
        image->kind = LVCRASH_ASYNC_IMAGE_ELF;
        err = lvcrash_async_elf_init_owned(&image->elf, list->task, name, header_address);
    } else {
        image->kind = LVCRASH_ASYNC_IMAGE_MACHO;
        err = lvcrash_async_macho_init(&image->macho, list->task, name, header_address);
    }
    if (err != LVCRASH_ERROR_NONE) {
        std::free(image);
        return err;
    }

    lvcrash_async_image_list_body* body = list->body;
    lock(body);
    lvcrash_async_image_list_node* node = body->free_nodes;
    if (node) {
        body->free_nodes = node->next.load(std::memory_order_relaxed);
        if (body->free_nodes) body->free_nodes->prev = nullptr;
        if (lvcrash_async_image* old = node->value.load(std::memory_order_relaxed)) {
            old->retired_next = body->retired;
            body->retired = old;
        }
    } else {
        node = static_cast<lvcrash_async_image_list_node*>(std::malloc(sizeof(lvcrash_async_image_list_node)));
        if (!node) {
            unlock(body);
            free_image(image);
            return LVCRASH_ERROR_NO_MEMORY;
        }
        new (node) lvcrash_async_image_list_node{};
        ++body->allocated_nodes;
    }
    node->value.store(image, std::memory_order_relaxed);
    node->prev = nullptr;
    node->next.store(nullptr, std::memory_order_relaxed);
    // The sequentially consistent compare-and-swap below is the full barrier that publishes the
    // complete node: readers see the old list or the list with this node, never half of it.
    if (body->tail) {
        lvcrash_async_image_list_node* expected = nullptr;
        body->tail->next.compare_exchange_strong(expected, node, std::memory_order_seq_cst);
        node->prev = body->tail;
        body->tail = node;
    } else {
        body->tail = node;
        lvcrash_async_image_list_node* expected = nullptr;
        body->head.compare_exchange_strong(expected, node, std::memory_order_seq_cst);
    }
    drain_retired(body);
    unlock(body);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_image_list_remove(lvcrash_async_image_list* list, lvcrash_vm_address_t header_address) {
    lvcrash_async_image_list_body* body = list->body;
    lvcrash_async_image_list_set_reading(list, true);
    lock(body);
    lvcrash_async_image_list_node* node = body->head.load(std::memory_order_acquire);
    while (node) {
        lvcrash_async_image* image = node->value.load(std::memory_order_relaxed);
        if (image && lvcrash_async_image_header_address(image) == header_address) break;
        node = node->next.load(std::memory_order_acquire);
    }
    if (node) {
        lvcrash_async_image_list_node* next = node->next.load(std::memory_order_acquire);
        lvcrash_async_image_list_node* expected = node;
        if (node->prev) node->prev->next.compare_exchange_strong(expected, next, std::memory_order_release);
        else body->head.compare_exchange_strong(expected, next, std::memory_order_release);
        if (next) next->prev = node->prev;
        else body->tail = node->prev;
        // Counting ourselves as a reader, the node is always parked: a reader that still holds
        // it follows its links into the free list, never into freed memory.
        node->prev = nullptr;
        node->next.store(body->free_nodes, std::memory_order_release);
        if (body->free_nodes) body->free_nodes->prev = node;
        body->free_nodes = node;
    }
    unlock(body);
    lvcrash_async_image_list_set_reading(list, false);
}

}  // namespace lvcrash
