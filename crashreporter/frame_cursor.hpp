#pragma once
// Walks one thread's stack outwards, one frame per step, asking frame readers in a fixed order
// (compact unwind, DWARF call-frame information, frame pointer) for the caller's registers.
#include "crashreporter/image_list.hpp"
#include "crashreporter/thread_state.hpp"

namespace lvcrash {

enum lvcrash_frame_error_t : std::uint32_t {
    LVCRASH_FRAME_OK = 0,
    LVCRASH_FRAME_UNKNOWN = 1,
    LVCRASH_FRAME_NO_FRAME = 2,
    LVCRASH_FRAME_BAD_FRAME = 3,
    LVCRASH_FRAME_NOT_SUPPORTED = 4,
    LVCRASH_FRAME_INVALID_ARGUMENT = 5,
    LVCRASH_FRAME_INTERNAL = 6,
    LVCRASH_FRAME_BAD_REGISTER = 7,
};

const char* lvcrash_frame_strerror(lvcrash_frame_error_t error);

struct lvcrash_frame_cursor {
    task_t task;
    lvcrash_async_image_list* image_list;
    std::uint32_t depth;
    lvcrash_async_thread_state prev_frame;
    lvcrash_async_thread_state frame;
};

// previous is nullptr while current is the first frame.
using lvcrash_frame_reader_t = lvcrash_frame_error_t (*)(task_t task, lvcrash_async_image_list* image_list,
                                                        const lvcrash_async_thread_state* current,
                                                        const lvcrash_async_thread_state* previous,
                                                        lvcrash_async_thread_state* next);

void lvcrash_frame_cursor_init(lvcrash_frame_cursor* cursor, task_t task, const lvcrash_async_thread_state* state,
                               lvcrash_async_image_list* image_list);
lvcrash_error_t lvcrash_frame_cursor_thread_init(lvcrash_frame_cursor* cursor, task_t task, thread_t thread,
                                                 lvcrash_async_image_list* image_list);
lvcrash_frame_error_t lvcrash_frame_cursor_next(lvcrash_frame_cursor* cursor);
lvcrash_frame_error_t lvcrash_frame_cursor_next_with_readers(lvcrash_frame_cursor* cursor,
                                                             const lvcrash_frame_reader_t* readers, std::size_t count);
lvcrash_frame_error_t lvcrash_frame_cursor_get_reg(const lvcrash_frame_cursor* cursor, lvcrash_regnum_t regnum,
                                                   std::uint64_t* value);
const char* lvcrash_frame_cursor_get_regname(const lvcrash_frame_cursor* cursor, lvcrash_regnum_t regnum);
std::uint32_t lvcrash_frame_cursor_get_regcount(const lvcrash_frame_cursor* cursor);
void lvcrash_frame_cursor_free(lvcrash_frame_cursor* cursor);

lvcrash_frame_error_t lvcrash_frame_reader_fp(task_t task, lvcrash_async_image_list* image_list,
                                              const lvcrash_async_thread_state* current,
                                              const lvcrash_async_thread_state* previous,
                                              lvcrash_async_thread_state* next);
lvcrash_frame_error_t lvcrash_frame_reader_compact_unwind(task_t task, lvcrash_async_image_list* image_list,
                                                          const lvcrash_async_thread_state* current,
                                                          const lvcrash_async_thread_state* previous,
                                                          lvcrash_async_thread_state* next);
lvcrash_frame_error_t lvcrash_frame_reader_dwarf(task_t task, lvcrash_async_image_list* image_list,
                                                 const lvcrash_async_thread_state* current,
                                                 const lvcrash_async_thread_state* previous,
                                                 lvcrash_async_thread_state* next);

// One DWARF step with the FDE at fde_address of a mapped section (its CIE in the same object),
// for the rules in force at pc. What the DWARF reader does once it has found the FDE.
lvcrash_frame_error_t lvcrash_frame_dwarf_unwind_fde(task_t task, const lvcrash_async_mobject* section,
                                                     lvcrash_vm_address_t fde_address, bool m64, bool debug_frame,
                                                     lvcrash_vm_address_t pc, const lvcrash_async_thread_state* current,
                                                     lvcrash_async_thread_state* next);

// The address a frame's unwind rules (and its symbol) are looked up at: pc itself for the first
// frame and a frame a signal interrupted, else pc - 1 (a return address may already lie in the
// next function when the call was the last instruction, as calls to noreturn functions are).
lvcrash_vm_address_t lvcrash_frame_lookup_pc(const lvcrash_async_thread_state* current,
                                            const lvcrash_async_thread_state* previous);

// The image holding pc (the list's, or one glibc knows of outside it); nullptr when none.
// The list must be in reading mode.
lvcrash_async_image* lvcrash_frame_image_for_pc(lvcrash_async_image_list* image_list, lvcrash_vm_address_t pc);

}  // namespace lvcrash
