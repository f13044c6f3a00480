#pragma once
// Names for a pc at crash time: the image's symbol table (Mach-O or ELF) and, for Mach-O
// images, the Objective-C class and category method lists, which name methods even in
// stripped images. The greater start address wins; on a tie the method name does.
#include "crashreporter/image_list.hpp"

namespace lvcrash {

inline constexpr std::uint32_t LVCRASH_SYMBOLICATION_SYMBOL_TABLE = 0x1;
inline constexpr std::uint32_t LVCRASH_SYMBOLICATION_OBJC = 0x2;

inline constexpr std::size_t LVCRASH_OBJC_CLASS_CACHE_SLOTS = 1024;

struct lvcrash_async_objc_cache {
    bool got_objc2_info;
    lvcrash_async_macho* last_image;
    bool objc_const_mapped;
    lvcrash_async_mobject objc_const;
    bool objc_const_ax_mapped;
    lvcrash_async_mobject objc_const_ax;
    bool class_list_mapped;
    lvcrash_async_mobject class_list;
    bool category_list_mapped;
    lvcrash_async_mobject category_list;
    bool objc_data_mapped;
    lvcrash_async_mobject objc_data;
    bool data_mapped;
    lvcrash_async_mobject data;
    std::size_t class_cache_size;
    std::uint64_t* class_cache_keys;
    std::uint64_t* class_cache_values;
};

lvcrash_error_t lvcrash_async_objc_cache_init(lvcrash_async_objc_cache* cache);
void lvcrash_async_objc_cache_free(lvcrash_async_objc_cache* cache);

using lvcrash_async_objc_found_method_cb = void (*)(bool is_class_method, lvcrash_async_macho_string_t* class_name,
                                                    lvcrash_async_macho_string_t* method_name,
                                                    lvcrash_vm_address_t imp, void* ctx);
lvcrash_error_t lvcrash_async_objc_find_method(lvcrash_async_macho* image, lvcrash_async_objc_cache* cache,
                                               lvcrash_vm_address_t pc, lvcrash_async_objc_found_method_cb callback,
                                               void* ctx);

using lvcrash_async_found_symbol_cb = void (*)(lvcrash_vm_address_t address, const char* name, void* ctx);
lvcrash_error_t lvcrash_async_find_symbol(lvcrash_async_image* image, std::uint32_t strategy,
                                          lvcrash_async_objc_cache* cache, lvcrash_vm_address_t pc,
                                          lvcrash_async_found_symbol_cb callback, void* ctx);

}  // namespace lvcrash
