#include "crashreporter/mobject.hpp"

namespace lvcrash {

lvcrash_error_t lvcrash_async_mobject_init(lvcrash_async_mobject* mobj, task_t task, lvcrash_vm_address_t task_address,
                                           lvcrash_vm_size_t length, bool require_full) {
    const lvcrash_vm_size_t page = platform::darwin::page_size();
    const lvcrash_vm_address_t base = task_address & ~(page - 1);
    const lvcrash_vm_size_t lead = task_address - base;
    // Rounding up must not wrap: a range reaching past the top of the address space maps nothing.
    if (length > UINT64_MAX - lead - (page - 1)) return LVCRASH_ERROR_NO_MEMORY;
    lvcrash_vm_size_t total = (length + lead + page - 1) & ~(page - 1);
    if (total == 0) return LVCRASH_ERROR_NO_MEMORY;
    if (base + total < base && base + total != 0) return LVCRASH_ERROR_NO_MEMORY;

    // The snapshot probes the readable prefix itself (one read that stops at the first unreadable
    // page), so the probe and the fill are one step here.
    std::uintptr_t local = 0;
    std::uint64_t mapped = 0;
    switch (platform::darwin::task_snapshot(task, base, total, require_full, &local, &mapped)) {
    case platform::darwin::kern_success:
        break;
    case platform::darwin::kern_no_space:
        return LVCRASH_ERROR_INTERNAL;
    default:
        return LVCRASH_ERROR_NO_MEMORY;
    }
    platform::darwin::port_retain(task);
    mobj->task = task;
    mobj->vm_address = local;
    mobj->vm_length = mapped;
    mobj->address = local + static_cast<std::uintptr_t>(lead);
    mobj->length = length < mapped - lead ? length : mapped - lead;
    mobj->task_address = task_address;
    mobj->vm_slide = static_cast<std::int64_t>(task_address - static_cast<lvcrash_vm_address_t>(mobj->address));
    return LVCRASH_ERROR_NONE;
}

lvcrash_vm_address_t lvcrash_async_mobject_base_address(const lvcrash_async_mobject* mobj) {
    return mobj->task_address;
}

lvcrash_vm_size_t lvcrash_async_mobject_length(const lvcrash_async_mobject* mobj) { return mobj->length; }

task_t lvcrash_async_mobject_task(const lvcrash_async_mobject* mobj) { return mobj->task; }

bool lvcrash_async_mobject_verify_local_pointer(const lvcrash_async_mobject* mobj, std::uintptr_t local_address,
                                                lvcrash_vm_off_t offset, std::size_t length) {
    lvcrash_vm_address_t start;
    if (!lvcrash_async_address_apply_offset(local_address, offset, &start)) return false;
    const lvcrash_vm_address_t end = start + length;
    if (end < start) return false;
    const lvcrash_vm_address_t lo = mobj->address;
    const lvcrash_vm_address_t hi = lo + mobj->length;
    return start >= lo && end <= hi;
}

void* lvcrash_async_mobject_remap_address(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t target_address,
                                          lvcrash_vm_off_t offset, std::size_t length) {
    // Unsigned arithmetic: the slide may be any value and the subtraction wraps by design.
    const std::uintptr_t local =
        static_cast<std::uintptr_t>(target_address - static_cast<lvcrash_vm_address_t>(mobj->vm_slide));
    if (!lvcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
    return reinterpret_cast<void*>(local + static_cast<std::uintptr_t>(offset));
}

namespace {

template <typename T>
bool load(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t address, lvcrash_vm_off_t offset, T* raw) {
    const void* p = lvcrash_async_mobject_remap_address(mobj, address, offset, sizeof(T));
    if (!p) return false;
    __builtin_memcpy(raw, p, sizeof(T));  // unaligned-safe, inlined for these widths
    return true;
}

template <typename T>
lvcrash_error_t loadSwapped(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                            T (*swap)(T), T* result) {
    T raw;
    if (!load(mobj, address, offset, &raw)) return LVCRASH_ERROR_INVALID_ARGUMENT;
    *result = swap(raw);
    return LVCRASH_ERROR_NONE;
}

}  // namespace

lvcrash_error_t lvcrash_async_mobject_read_uint8(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t address,
                                                 lvcrash_vm_off_t offset, std::uint8_t* result) {
    return load(mobj, address, offset, result) ? LVCRASH_ERROR_NONE : LVCRASH_ERROR_INVALID_ARGUMENT;
}

lvcrash_error_t lvcrash_async_mobject_read_uint16(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint16_t* result) {
    return loadSwapped(mobj, address, offset, byteorder->swap16, result);
}

lvcrash_error_t lvcrash_async_mobject_read_uint32(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint32_t* result) {
    return loadSwapped(mobj, address, offset, byteorder->swap32, result);
}

lvcrash_error_t lvcrash_async_mobject_read_uint64(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint64_t* result) {
    return loadSwapped(mobj, address, offset, byteorder->swap64, result);
}

void lvcrash_async_mobject_free(lvcrash_async_mobject* mobj) {
    platform::darwin::snapshot_release(mobj->vm_address, mobj->vm_length);
    platform::darwin::port_release(mobj->task);
    mobj->vm_address = 0;
    mobj->vm_length = 0;
    mobj->length = 0;
}

}  // namespace lvcrash
