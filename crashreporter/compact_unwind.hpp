#pragma once
// The compact unwind table a Mach-O linker writes into `__TEXT,__unwind_info`: lookup of a
// function's 32-bit encoding, its decoding into an entry, and the entry's application to a frame.
#include "crashreporter/mobject.hpp"
#include "crashreporter/thread_state.hpp"

namespace lvcrash {

enum lvcrash_async_cfe_entry_type_t : std::uint32_t {
    LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR = 1,
    LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD = 2,
    LVCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT = 3,
    LVCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF = 4,
    LVCRASH_ASYNC_CFE_ENTRY_TYPE_NONE = 5,
};

inline constexpr std::uint32_t LVCRASH_ASYNC_CFE_REG_NONE = 0x7FFFFFFF;
inline constexpr std::uint32_t LVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10;

struct lvcrash_async_cfe_reader {
    const lvcrash_async_mobject* mobj;
    std::uint32_t cpu_type;
    std::uint32_t header[7];
    const RDlvcrash_async_byteorder* byteorder;
};

struct lvcrash_async_cfe_entry {
    lvcrash_async_cfe_entry_type_t type;
    std::uint32_t cpu_type;
    std::int64_t stack_offset;
    std::uint32_t stack_adjust;
    std::uint32_t return_address_register;
    std::uint32_t register_count;
    std::uint32_t register_list[LVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
};

lvcrash_error_t lvcrash_async_cfe_reader_init(lvcrash_async_cfe_reader* reader, const lvcrash_async_mobject* mobj,
                                              std::uint32_t cpu_type);
void lvcrash_async_cfe_reader_free(lvcrash_async_cfe_reader* reader);
lvcrash_error_t lvcrash_async_cfe_reader_find_pc(const lvcrash_async_cfe_reader* reader, std::uint64_t pc,
                                                 std::uint64_t* function_base, std::uint32_t* encoding);

lvcrash_error_t lvcrash_async_cfe_entry_init(lvcrash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                             std::uint32_t encoding);
void lvcrash_async_cfe_entry_free(lvcrash_async_cfe_entry* entry);
lvcrash_async_cfe_entry_type_t lvcrash_async_cfe_entry_type(const lvcrash_async_cfe_entry* entry);
std::int64_t lvcrash_async_cfe_entry_stack_offset(const lvcrash_async_cfe_entry* entry);
std::uint32_t lvcrash_async_cfe_entry_stack_adjust(const lvcrash_async_cfe_entry* entry);
std::uint32_t lvcrash_async_cfe_entry_return_address_register(const lvcrash_async_cfe_entry* entry);
std::uint32_t lvcrash_async_cfe_entry_register_count(const lvcrash_async_cfe_entry* entry);
void lvcrash_async_cfe_entry_register_list(const lvcrash_async_cfe_entry* entry, std::uint32_t* registers,
                                           std::uint32_t count);

lvcrash_error_t lvcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t registers[]);
std::uint32_t lvcrash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count);

lvcrash_error_t lvcrash_async_cfe_entry_apply(task_t task, lvcrash_vm_address_t function_address,
                                              const lvcrash_async_thread_state* thread_state,
                                              const lvcrash_async_cfe_entry* entry,
                                              lvcrash_async_thread_state* new_thread_state);

}  // namespace lvcrash
