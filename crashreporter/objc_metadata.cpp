// Objective-C class and category metadata of a Mach-O image in task memory, read on the
// crash path to name methods in images without symbols. Sections are snapshots taken once per
// image and kept in the cache while consecutive frames fall in the same image.
#include <sys/mman.h>

#include "crashreporter/symbolicate.hpp"

namespace lvcrash {

namespace {

constexpr std::uint32_t kRealized = 1u << 31;
constexpr std::uint32_t kCopiedReadOnly = 1u << 27;

// The legacy runtime's metadata (32-bit words throughout).
constexpr std::uint64_t kLegacyModuleSize = 16;      // version, size, name, symtab
constexpr std::uint64_t kLegacySymtabClasses = 12;   // after the reference count and list, two 16-bit counts
constexpr std::uint32_t kLegacyNoMethodArray = 0x4000;  // methodLists is one list, not an array of lists
constexpr std::uint32_t kLegacyListArrayEnd = 0xFFFFFFFF;
constexpr std::uint64_t kLegacyMethodSize = 12;      // name, types, imp
// An array of method lists grows with every category attached; no class has this many.
constexpr std::uint32_t kLegacyMaxListsPerClass = 4096;

struct method_walk {
    lvcrash_async_macho* image;
    lvcrash_async_objc_cache* cache;
    // Called for every method; the selector name is only an address until someone asks.
    void (*method)(method_walk* walk, bool is_class_method, lvcrash_async_macho_string_t* class_name,
                   lvcrash_vm_address_t selector_address, lvcrash_vm_address_t imp);
    lvcrash_vm_address_t pc;
    lvcrash_vm_address_t best;
    bool reported;
    lvcrash_async_objc_found_method_cb callback;
    void* ctx;
};

std::uint32_t word_size(const lvcrash_async_macho* image) { return image->m64 ? 8 : 4; }

bool inside(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t address, lvcrash_vm_size_t length) {
    return address >= mobj->task_address && length <= mobj->length &&
           address - mobj->task_address <= mobj->length - length;
}

lvcrash_error_t section_word(const lvcrash_async_macho* image, const lvcrash_async_mobject* mobj,
                             lvcrash_vm_address_t address, std::uint64_t* out) {
    if (image->m64) return lvcrash_async_mobject_read_uint64(mobj, image->byteorder, address, 0, out);
    std::uint32_t v = 0;
    const lvcrash_error_t err = lvcrash_async_mobject_read_uint32(mobj, image->byteorder, address, 0, &v);
    *out = v;
    return err;
}

lvcrash_error_t task_word(const lvcrash_async_macho* image, lvcrash_vm_address_t address, std::uint64_t* out) {
    if (image->m64) return lvcrash_async_task_read_uint64(image->task, image->byteorder, address, 0, out);
    std::uint32_t v = 0;
    const lvcrash_error_t err = lvcrash_async_task_read_uint32(image->task, image->byteorder, address, 0, &v);
    *out = v;
    return err;
}

// A word from whichever mapped section holds it, else from the task.
lvcrash_error_t any_word(method_walk* walk, lvcrash_vm_address_t address, std::uint64_t* out) {
    const lvcrash_async_objc_cache* c = walk->cache;
    const std::uint32_t w = word_size(walk->image);
    if (c->objc_const_mapped && inside(&c->objc_const, address, w)) return section_word(walk->image, &c->objc_const, address, out);
    if (c->objc_data_mapped && inside(&c->objc_data, address, w)) return section_word(walk->image, &c->objc_data, address, out);
    return task_word(walk->image, address, out) == LVCRASH_ERROR_NONE ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_INVALID_DATA;
}

void unmap_sections(lvcrash_async_objc_cache* cache) {
    struct {
        bool* mapped;
        lvcrash_async_mobject* mobj;
    } sections[] = {{&cache->objc_const_mapped, &cache->objc_const},     {&cache->objc_const_ax_mapped, &cache->objc_const_ax},
                    {&cache->class_list_mapped, &cache->class_list},     {&cache->category_list_mapped, &cache->category_list},
                    {&cache->objc_data_mapped, &cache->objc_data},       {&cache->data_mapped, &cache->data}};
    for (auto& s : sections) {
        if (*s.mapped) lvcrash_async_mobject_free(s.mobj);
        *s.mapped = false;
    }
    cache->last_image = nullptr;
}

lvcrash_error_t map_in_data_segments(lvcrash_async_macho* image, const char* sectname, lvcrash_async_mobject* mobj) {
    lvcrash_error_t err = LVCRASH_ERROR_NOT_FOUND;
    for (const char* segname : {"__DATA", "__DATA_CONST", "__DATA_DIRTY"}) {
        err = lvcrash_async_macho_map_section(image, segname, sectname, mobj);
        if (err != LVCRASH_ERROR_NOT_FOUND) return err;
    }
    return err;
}

// Maps the image's metadata sections (once per image). The class and category lists may be
// missing (an image with no classes, or no categories); __objc_const and __objc_data may not.
lvcrash_error_t map_sections(lvcrash_async_macho* image, lvcrash_async_objc_cache* cache) {
    if (cache->last_image == image) return LVCRASH_ERROR_NONE;
    unmap_sections(cache);
    lvcrash_error_t err = map_in_data_segments(image, "__objc_const", &cache->objc_const);
    if (err != LVCRASH_ERROR_NONE) return err;
    cache->objc_const_mapped = true;
    err = map_in_data_segments(image, "__objc_classlist", &cache->class_list);
    if (err == LVCRASH_ERROR_NONE) cache->class_list_mapped = true;
    else if (err != LVCRASH_ERROR_NOT_FOUND) return unmap_sections(cache), err;
    err = map_in_data_segments(image, "__objc_catlist", &cache->category_list);
    if (err == LVCRASH_ERROR_NONE) cache->category_list_mapped = true;
    else if (err != LVCRASH_ERROR_NOT_FOUND) return unmap_sections(cache), err;
    if (lvcrash_async_macho_map_section(image, "__DATA", "__objc_const_ax", &cache->objc_const_ax) == LVCRASH_ERROR_NONE)
        cache->objc_const_ax_mapped = true;
    err = lvcrash_async_macho_map_section(image, "__DATA", "__objc_data", &cache->objc_data);
    if (err != LVCRASH_ERROR_NONE) return unmap_sections(cache), err;
    cache->objc_data_mapped = true;
    if (lvcrash_async_macho_map_section(image, "__DATA", "__data", &cache->data) == LVCRASH_ERROR_NONE)
        cache->data_mapped = true;
    cache->last_image = image;
    return LVCRASH_ERROR_NONE;
}

void cache_insert(lvcrash_async_objc_cache* cache, std::uint64_t key, std::uint64_t value) {
    if (cache->class_cache_size == 0) {
        const std::size_t bytes = LVCRASH_OBJC_CLASS_CACHE_SLOTS * sizeof(std::uint64_t) * 2;
        void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) return;
        cache->class_cache_keys = static_cast<std::uint64_t*>(pages);
        cache->class_cache_values = cache->class_cache_keys + LVCRASH_OBJC_CLASS_CACHE_SLOTS;
        cache->class_cache_size = LVCRASH_OBJC_CLASS_CACHE_SLOTS;
    }
    const std::size_t slot = (key >> 2) % cache->class_cache_size;
    if (cache->class_cache_keys[slot] != 0) return;
    cache->class_cache_keys[slot] = key;
    cache->class_cache_values[slot] = value;
}

std::uint64_t cache_lookup(const lvcrash_async_objc_cache* cache, std::uint64_t key) {
    if (cache->class_cache_size == 0) return 0;
    const std::size_t slot = (key >> 2) % cache->class_cache_size;
    return cache->class_cache_keys[slot] == key ? cache->class_cache_values[slot] : 0;
}

// The 5 words of a class, from __objc_data or __data.
lvcrash_error_t read_class(method_walk* walk, lvcrash_vm_address_t cls, std::uint64_t words[5]) {
    const lvcrash_async_objc_cache* c = walk->cache;
    const std::uint32_t w = word_size(walk->image);
    const lvcrash_async_mobject* section = nullptr;
    if (c->objc_data_mapped && inside(&c->objc_data, cls, 5ull * w)) section = &c->objc_data;
    else if (c->data_mapped && inside(&c->data, cls, 5ull * w)) section = &c->data;
    if (section == nullptr) return LVCRASH_ERROR_INVALID_DATA;
    for (std::uint32_t i = 0; i < 5; ++i)
        if (section_word(walk->image, section, cls + i * w, &words[i]) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
    return LVCRASH_ERROR_NONE;
}

// The read-only data of a class (its name and method list pointers) from its data word.
lvcrash_error_t read_class_ro(method_walk* walk, std::uint64_t data_word, std::uint64_t* name_address,
                              std::uint64_t* methods_address) {
    lvcrash_async_macho* image = walk->image;
    const std::uint64_t data = data_word & (image->m64 ? 0x7FFFFFFFFFF8ULL : 0xFFFFFFF8ULL);
    std::uint64_t ro = cache_lookup(walk->cache, data);
    if (ro == 0) {
        std::uint32_t flags = 0;
        if (lvcrash_async_task_read_uint32(image->task, image->byteorder, data, 0, &flags) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_DATA;
        if ((flags & kRealized) == 0) return LVCRASH_ERROR_NOT_FOUND;
        if (task_word(image, data + 8, &ro) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
        if (ro & 1) {
            if (task_word(image, ro & ~1ULL, &ro) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
        }
        const std::uint64_t ro_size = image->m64 ? 72 : 40;
        if ((flags & kCopiedReadOnly) == 0 && lvcrash_async_macho_contains_address(image, ro) &&
            !(walk->cache->objc_const_mapped && inside(&walk->cache->objc_const, ro, ro_size)))
            return LVCRASH_ERROR_INVALID_DATA;
        cache_insert(walk->cache, data, ro);
    }
    const bool m64 = image->m64;
    if (any_word(walk, ro + (m64 ? 24 : 16), name_address) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
    if (any_word(walk, ro + (m64 ? 32 : 20), methods_address) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
    return LVCRASH_ERROR_NONE;
}

lvcrash_error_t walk_method_list(method_walk* walk, bool is_class_method, lvcrash_async_macho_string_t* class_name,
                                 std::uint64_t list) {
    if (list == 0) return LVCRASH_ERROR_NONE;
    lvcrash_async_objc_cache* c = walk->cache;
    const lvcrash_async_mobject* section = nullptr;
    if (c->objc_const_mapped && inside(&c->objc_const, list, 8)) section = &c->objc_const;
    else if (c->objc_const_ax_mapped && inside(&c->objc_const_ax, list, 8)) section = &c->objc_const_ax;
    if (section == nullptr) return LVCRASH_ERROR_INVALID_DATA;
    std::uint32_t entsize_flags = 0, count = 0;
    const auto* order = walk->image->byteorder;
    if (lvcrash_async_mobject_read_uint32(section, order, list, 0, &entsize_flags) != LVCRASH_ERROR_NONE ||
        lvcrash_async_mobject_read_uint32(section, order, list, 4, &count) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_DATA;
    const std::uint64_t entsize = entsize_flags & ~3u;
    const std::uint32_t w = word_size(walk->image);
    if (entsize < 3ull * w) return LVCRASH_ERROR_INVALID_DATA;
    if (!inside(section, list + 8, static_cast<std::uint64_t>(count) * entsize)) return LVCRASH_ERROR_INVALID_DATA;
    for (std::uint32_t i = 0; i < count; ++i) {
        const lvcrash_vm_address_t entry = list + 8 + i * entsize;
        std::uint64_t selector = 0, imp = 0;
        if (section_word(walk->image, section, entry, &selector) != LVCRASH_ERROR_NONE ||
            section_word(walk->image, section, entry + 2 * w, &imp) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_DATA;
        walk->method(walk, is_class_method, class_name, selector, imp);
    }
    return LVCRASH_ERROR_NONE;
}

// One class or metaclass: its name and its method list.
lvcrash_error_t walk_class(method_walk* walk, const std::uint64_t words[5], bool is_class_method) {
    std::uint64_t name = 0, methods = 0;
    const lvcrash_error_t err = read_class_ro(walk, words[4], &name, &methods);
    if (err != LVCRASH_ERROR_NONE) return err;
    lvcrash_async_macho_string_t class_name;
    lvcrash_async_macho_string_init(&class_name, walk->image, name);
    const lvcrash_error_t result = walk_method_list(walk, is_class_method, &class_name, methods);
    lvcrash_async_macho_string_free(&class_name);
    return result;
}

// --- The legacy runtime's metadata: modules, their symbol tables and their classes ----------
//
// The compiler's structures (modules, symbol tables, classes, method lists) lie in the __OBJC
// segment, read from one mapping of it. Only the runtime's arrays of method lists, made when a
// category's methods are attached to a class, lie elsewhere (its heap) and are read from the task.

struct legacy_walk {
    method_walk* walk;
    const lvcrash_async_mobject* segment;
};

lvcrash_error_t legacy_u32(const legacy_walk* legacy, lvcrash_vm_address_t address, std::uint32_t* out) {
    return lvcrash_async_mobject_read_uint32(legacy->segment, legacy->walk->image->byteorder, address, 0, out) ==
                   LVCRASH_ERROR_NONE
               ? LVCRASH_ERROR_NONE
               : LVCRASH_ERROR_INVALID_DATA;
}

lvcrash_error_t legacy_method_list(const legacy_walk* legacy, bool is_class_method,
                                   lvcrash_async_macho_string_t* class_name, lvcrash_vm_address_t list) {
    std::uint32_t count = 0;
    if (legacy_u32(legacy, list + 4, &count) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
    const lvcrash_vm_address_t first = list + 8;
    if (!inside(legacy->segment, first, static_cast<std::uint64_t>(count) * kLegacyMethodSize))
        return LVCRASH_ERROR_INVALID_DATA;
    for (std::uint32_t i = 0; i < count; ++i) {
        const lvcrash_vm_address_t entry = first + i * kLegacyMethodSize;
        std::uint32_t selector = 0, imp = 0;
        if (legacy_u32(legacy, entry, &selector) != LVCRASH_ERROR_NONE ||
            legacy_u32(legacy, entry + 8, &imp) != LVCRASH_ERROR_NONE)
            return LVCRASH_ERROR_INVALID_DATA;
        legacy->walk->method(legacy->walk, is_class_method, class_name, selector, imp);
    }
    return LVCRASH_ERROR_NONE;
}

// A class or metaclass (40 bytes: isa, super_class, name, version, info, instance_size, ivars,
// methodLists, cache, protocols) and every method list it has.
lvcrash_error_t legacy_class(const legacy_walk* legacy, lvcrash_vm_address_t cls, bool is_class_method) {
    std::uint32_t name = 0, info = 0, lists = 0;
    if (legacy_u32(legacy, cls + 8, &name) != LVCRASH_ERROR_NONE ||
        legacy_u32(legacy, cls + 16, &info) != LVCRASH_ERROR_NONE ||
        legacy_u32(legacy, cls + 28, &lists) != LVCRASH_ERROR_NONE)
        return LVCRASH_ERROR_INVALID_DATA;
    if (lists == 0) return LVCRASH_ERROR_NONE;
    lvcrash_async_macho* image = legacy->walk->image;
    lvcrash_async_macho_string_t class_name;
    lvcrash_async_macho_string_init(&class_name, image, name);
    lvcrash_error_t err = LVCRASH_ERROR_NONE;
    if (info & kLegacyNoMethodArray) {
        err = legacy_method_list(legacy, is_class_method, &class_name, lists);
    } else {
        for (std::uint32_t k = 0; k < kLegacyMaxListsPerClass && err == LVCRASH_ERROR_NONE; ++k) {
            std::uint32_t list = 0;
            const lvcrash_vm_address_t slot = lists + 4ull * k;
            if ((inside(legacy->segment, slot, 4) ? legacy_u32(legacy, slot, &list)
                                                  : lvcrash_async_task_read_uint32(image->task, image->byteorder, slot, 0,
                                                                                   &list)) != LVCRASH_ERROR_NONE) {
                err = LVCRASH_ERROR_INVALID_DATA;
                break;
            }
            if (list == 0 || list == kLegacyListArrayEnd) break;
            err = legacy_method_list(legacy, is_class_method, &class_name, list);
        }
    }
    lvcrash_async_macho_string_free(&class_name);
    return err;
}

// Every class of every module's symbol table, then its metaclass. Not found when the image has
// no module list.
lvcrash_error_t walk_legacy_metadata(method_walk* walk) {
    lvcrash_async_macho* image = walk->image;
    lvcrash_async_mobject modules;
    lvcrash_error_t err = lvcrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (err != LVCRASH_ERROR_NONE) return err;
    lvcrash_async_macho_mapped_segment_t segment;
    err = lvcrash_async_macho_map_segment(image, "__OBJC", &segment);
    if (err != LVCRASH_ERROR_NONE) {
        lvcrash_async_mobject_free(&modules);
        return err;
    }
    const legacy_walk legacy{walk, &segment.mobj};
    for (std::uint64_t at = 0; at + kLegacyModuleSize <= modules.length && err == LVCRASH_ERROR_NONE;
         at += kLegacyModuleSize) {
        std::uint32_t symtab = 0;
        if (lvcrash_async_mobject_read_uint32(&modules, image->byteorder, modules.task_address + at + 12, 0, &symtab) !=
            LVCRASH_ERROR_NONE) {
            err = LVCRASH_ERROR_INVALID_DATA;
            break;
        }
        if (symtab == 0) continue;
        std::uint16_t classes = 0;
        if (lvcrash_async_mobject_read_uint16(&segment.mobj, image->byteorder, symtab + 8, 0, &classes) !=
            LVCRASH_ERROR_NONE) {
            err = LVCRASH_ERROR_INVALID_DATA;
            break;
        }
        for (std::uint16_t i = 0; i < classes && err == LVCRASH_ERROR_NONE; ++i) {
            std::uint32_t cls = 0, meta = 0;
            err = legacy_u32(&legacy, symtab + kLegacySymtabClasses + 4ull * i, &cls);
            if (err == LVCRASH_ERROR_NONE) err = legacy_class(&legacy, cls, false);
            if (err == LVCRASH_ERROR_NONE) err = legacy_u32(&legacy, cls, &meta);
            if (err == LVCRASH_ERROR_NONE) err = legacy_class(&legacy, meta, true);
        }
    }
    lvcrash_async_macho_mapped_segment_free(&segment);
    lvcrash_async_mobject_free(&modules);
    return err;
}

lvcrash_error_t walk_metadata(method_walk* walk) {
    lvcrash_async_objc_cache* cache = walk->cache;
    if (cache == nullptr) return LVCRASH_ERROR_ACCESS_DENIED;
    lvcrash_async_macho* image = walk->image;
    if (!cache->got_objc2_info) {
        // An image of the legacy runtime has a module list, and then nothing else counts.
        const lvcrash_error_t legacy = walk_legacy_metadata(walk);
        if (legacy != LVCRASH_ERROR_NOT_FOUND) return legacy;
    }
    lvcrash_error_t err = map_sections(image, cache);
    if (err != LVCRASH_ERROR_NONE) return err;
    const std::uint32_t w = word_size(image);
    const std::uint64_t isa_mask = image->m64 ? 0xFFFFFFFF8ULL : 0xFFFFFFF8ULL;

    if (cache->class_list_mapped) {
        for (std::uint64_t at = 0; at + w <= cache->class_list.length; at += w) {
            std::uint64_t cls = 0, words[5], meta_words[5];
            if (section_word(image, &cache->class_list, cache->class_list.task_address + at, &cls) != LVCRASH_ERROR_NONE)
                return LVCRASH_ERROR_INVALID_DATA;
            if ((err = read_class(walk, cls, words)) != LVCRASH_ERROR_NONE) return err;
            err = walk_class(walk, words, false);
            if (err == LVCRASH_ERROR_NOT_FOUND) continue;  // not realized yet: no methods, nor its metaclass's
            if (err != LVCRASH_ERROR_NONE) return err;
            const std::uint64_t meta = (words[0] & 1) ? (words[0] & isa_mask) : words[0];
            if ((err = read_class(walk, meta, meta_words)) != LVCRASH_ERROR_NONE) return err;
            err = walk_class(walk, meta_words, true);
            if (err != LVCRASH_ERROR_NONE && err != LVCRASH_ERROR_NOT_FOUND) return err;
        }
    }

    if (cache->category_list_mapped) {
        for (std::uint64_t at = 0; at + w <= cache->category_list.length; at += w) {
            std::uint64_t category = 0;
            if (section_word(image, &cache->category_list, cache->category_list.task_address + at, &category) !=
                LVCRASH_ERROR_NONE)
                return LVCRASH_ERROR_INVALID_DATA;
            if (!inside(&cache->objc_const, category, 6ull * w)) return LVCRASH_ERROR_INVALID_DATA;
            std::uint64_t fields[6];
            for (std::uint32_t i = 0; i < 6; ++i)
                if (section_word(image, &cache->objc_const, category + i * w, &fields[i]) != LVCRASH_ERROR_NONE)
                    return LVCRASH_ERROR_INVALID_DATA;
            std::uint64_t words[5];
            if (read_class(walk, fields[1], words) != LVCRASH_ERROR_NONE) {
                for (std::uint32_t i = 0; i < 5; ++i)
                    if (task_word(image, fields[1] + i * w, &words[i]) != LVCRASH_ERROR_NONE) return LVCRASH_ERROR_INVALID_DATA;
            }
            std::uint64_t name = 0, unused = 0;
            err = read_class_ro(walk, words[4], &name, &unused);
            if (err == LVCRASH_ERROR_NOT_FOUND) continue;
            if (err != LVCRASH_ERROR_NONE) return err;
            lvcrash_async_macho_string_t class_name;
            lvcrash_async_macho_string_init(&class_name, image, name);
            err = walk_method_list(walk, false, &class_name, fields[2]);
            if (err == LVCRASH_ERROR_NONE) err = walk_method_list(walk, true, &class_name, fields[3]);
            lvcrash_async_macho_string_free(&class_name);
            if (err != LVCRASH_ERROR_NONE) return err;
        }
    }
    cache->got_objc2_info = true;
    return LVCRASH_ERROR_NONE;
}

void keep_nearest(method_walk* walk, bool, lvcrash_async_macho_string_t*, lvcrash_vm_address_t, lvcrash_vm_address_t imp) {
    if (imp <= walk->pc && imp > walk->best) walk->best = imp;
}

void report_nearest(method_walk* walk, bool is_class_method, lvcrash_async_macho_string_t* class_name,
                    lvcrash_vm_address_t selector, lvcrash_vm_address_t imp) {
    if (walk->reported || imp != walk->best) return;
    walk->reported = true;
    lvcrash_async_macho_string_t method_name;
    lvcrash_async_macho_string_init(&method_name, walk->image, selector);
    walk->callback(is_class_method, class_name, &method_name, imp, walk->ctx);
    lvcrash_async_macho_string_free(&method_name);
}

}  // namespace

lvcrash_error_t lvcrash_async_objc_cache_init(lvcrash_async_objc_cache* cache) {
    lvcrash_async_memset(cache, 0, sizeof *cache);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_objc_cache_free(lvcrash_async_objc_cache* cache) {
    unmap_sections(cache);
    if (cache->class_cache_size != 0)
        munmap(cache->class_cache_keys, LVCRASH_OBJC_CLASS_CACHE_SLOTS * sizeof(std::uint64_t) * 2);
    cache->class_cache_size = 0;
    cache->class_cache_keys = nullptr;
    cache->class_cache_values = nullptr;
}

lvcrash_error_t lvcrash_async_objc_find_method(lvcrash_async_macho* image, lvcrash_async_objc_cache* cache,
                                               lvcrash_vm_address_t pc, lvcrash_async_objc_found_method_cb callback,
                                               void* ctx) {
    method_walk walk{image, cache, keep_nearest, pc, 0, false, callback, ctx};
    lvcrash_error_t err = walk_metadata(&walk);
    if (err != LVCRASH_ERROR_NONE) return err;
    if (walk.best == 0) return LVCRASH_ERROR_NOT_FOUND;
    walk.method = report_nearest;
    err = walk_metadata(&walk);
    if (err != LVCRASH_ERROR_NONE) return err;
    return walk.reported ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_NOT_FOUND;
}

}  // namespace lvcrash
