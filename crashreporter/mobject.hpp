#pragma once
// A read-only local copy of a range of task memory, read with bounds tests only.
#include "crashreporter/async.hpp"

namespace lvcrash {

struct lvcrash_async_mobject {
    task_t task;
    std::uintptr_t address;              // local address of task_address
    lvcrash_vm_address_t task_address;   // requested target address
    lvcrash_vm_size_t length;            // usable bytes from address on
    std::int64_t vm_slide;               // target address minus local address
    std::uintptr_t vm_address;           // base of the local pages
    lvcrash_vm_size_t vm_length;         // size of the local pages
};

lvcrash_error_t lvcrash_async_mobject_init(lvcrash_async_mobject* mobj, task_t task, lvcrash_vm_address_t task_address,
                                           lvcrash_vm_size_t length, bool require_full);
lvcrash_vm_address_t lvcrash_async_mobject_base_address(const lvcrash_async_mobject* mobj);
lvcrash_vm_size_t lvcrash_async_mobject_length(const lvcrash_async_mobject* mobj);
task_t lvcrash_async_mobject_task(const lvcrash_async_mobject* mobj);
bool lvcrash_async_mobject_verify_local_pointer(const lvcrash_async_mobject* mobj, std::uintptr_t local_address,
                                                lvcrash_vm_off_t offset, std::size_t length);
void* lvcrash_async_mobject_remap_address(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t target_address,
                                          lvcrash_vm_off_t offset, std::size_t length);
lvcrash_error_t lvcrash_async_mobject_read_uint8(const lvcrash_async_mobject* mobj, lvcrash_vm_address_t address,
                                                 lvcrash_vm_off_t offset, std::uint8_t* result);
lvcrash_error_t lvcrash_async_mobject_read_uint16(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint16_t* result);
lvcrash_error_t lvcrash_async_mobject_read_uint32(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint32_t* result);
lvcrash_error_t lvcrash_async_mobject_read_uint64(const lvcrash_async_mobject* mobj,
                                                  const RDlvcrash_async_byteorder* byteorder,
                                                  lvcrash_vm_address_t address, lvcrash_vm_off_t offset,
                                                  std::uint64_t* result);
void lvcrash_async_mobject_free(lvcrash_async_mobject* mobj);

}  // namespace lvcrash
