// Crash-time symbol lookup: symbol tables by image kind, then Objective-C method lists.
#include "crashreporter/symbolicate.hpp"

namespace lvcrash {

namespace {

struct find_result {
    bool found;
    lvcrash_vm_address_t address;
    char name[256];
};

void copy_name(find_result* result, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0' && i < sizeof result->name - 1; ++i) result->name[i] = name[i];
    result->name[i] = '\0';
}

void take_table_symbol(lvcrash_vm_address_t address, const char* name, void* ctx) {
    auto* result = static_cast<find_result*>(ctx);
    if (result->found && address < result->address) return;
    result->found = true;
    result->address = address;
    copy_name(result, name);
}

// "+[Class sel]" or "-[Class sel]", cut at 255 bytes; the space and the closing bracket are
// written only while they still fit.
void take_method(bool is_class_method, lvcrash_async_macho_string_t* class_name,
                 lvcrash_async_macho_string_t* method_name, lvcrash_vm_address_t imp, void* ctx) {
    auto* result = static_cast<find_result*>(ctx);
    if (result->found && imp < result->address) return;
    const char* class_text = nullptr;
    const char* method_text = nullptr;
    std::size_t class_length = 0, method_length = 0;
    if (lvcrash_async_macho_string_get_pointer(class_name, &class_text) != LVCRASH_ERROR_NONE ||
        lvcrash_async_macho_string_get_length(class_name, &class_length) != LVCRASH_ERROR_NONE ||
        lvcrash_async_macho_string_get_pointer(method_name, &method_text) != LVCRASH_ERROR_NONE ||
        lvcrash_async_macho_string_get_length(method_name, &method_length) != LVCRASH_ERROR_NONE)
        return;
    constexpr std::size_t cap = sizeof result->name - 1;
    std::size_t at = 0;
    auto append = [&](const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length && at < cap; ++i) result->name[at++] = text[i];
    };
    append(is_class_method ? "+[" : "-[", 2);
    append(class_text, class_length);
    if (at < cap) result->name[at++] = ' ';
    append(method_text, method_length);
    if (at < cap) result->name[at++] = ']';
    result->name[at] = '\0';
    result->found = true;
    result->address = imp;
}

}  // namespace

lvcrash_error_t lvcrash_async_find_symbol(lvcrash_async_image* image, std::uint32_t strategy,
                                          lvcrash_async_objc_cache* cache, lvcrash_vm_address_t pc,
                                          lvcrash_async_found_symbol_cb callback, void* ctx) {
    find_result result;
    result.found = false;
    result.address = 0;
    result.name[0] = '\0';
    bool looked_up = false;
    if ((strategy & LVCRASH_SYMBOLICATION_SYMBOL_TABLE) != 0 &&
        lvcrash_async_image_find_symbol_by_pc(image, pc, take_table_symbol, &result) == LVCRASH_ERROR_NONE)
        looked_up = true;
    if ((strategy & LVCRASH_SYMBOLICATION_OBJC) != 0 && image->kind == LVCRASH_ASYNC_IMAGE_MACHO &&
        lvcrash_async_objc_find_method(&image->macho, cache, pc, take_method, &result) == LVCRASH_ERROR_NONE)
        looked_up = true;
    if (!looked_up) return LVCRASH_ERROR_NOT_FOUND;
    if (!result.found) return LVCRASH_ERROR_INTERNAL;
    callback(result.address, result.name, ctx);
    return LVCRASH_ERROR_NONE;
}

}  // namespace lvcrash
