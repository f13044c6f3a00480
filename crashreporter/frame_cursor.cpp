#include "crashreporter/frame_cursor.hpp"

namespace lvcrash {

const char* lvcrash_frame_strerror(lvcrash_frame_error_t error) {
    switch (error) {
        case LVCRASH_FRAME_OK: return "No error";
        case LVCRASH_FRAME_UNKNOWN: return "Unknown error";
        case LVCRASH_FRAME_NO_FRAME: return "No frames are available";
        case LVCRASH_FRAME_BAD_FRAME: return "Corrupted frame";
        case LVCRASH_FRAME_NOT_SUPPORTED: return "Operation not supported";
        case LVCRASH_FRAME_INVALID_ARGUMENT: return "Invalid argument";
        case LVCRASH_FRAME_INTERNAL: return "Internal error";
        case LVCRASH_FRAME_BAD_REGISTER: return "Invalid register";
    }
    return "Unhandled error code";
}

void lvcrash_frame_cursor_init(lvcrash_frame_cursor* cursor, task_t task, const lvcrash_async_thread_state* state,
                               lvcrash_async_image_list* image_list) {
    lvcrash_async_memset(cursor, 0, sizeof *cursor);
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    lvcrash_async_thread_state_copy(&cursor->frame, state);
    if (task != platform::darwin::port_null) platform::darwin::port_retain(task);
}

lvcrash_error_t lvcrash_frame_cursor_thread_init(lvcrash_frame_cursor* cursor, task_t task, thread_t thread,
                                                 lvcrash_async_image_list* image_list) {
    lvcrash_async_thread_state state;
    const lvcrash_error_t err = lvcrash_async_thread_state_mach_thread_init(&state, thread);
    if (err != LVCRASH_ERROR_NONE) return err;
    lvcrash_frame_cursor_init(cursor, task, &state, image_list);
    return LVCRASH_ERROR_NONE;
}

lvcrash_frame_error_t lvcrash_frame_cursor_next_with_readers(lvcrash_frame_cursor* cursor,
                                                             const lvcrash_frame_reader_t* readers, std::size_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return LVCRASH_FRAME_OK;
    }
    if (count == 0) return LVCRASH_FRAME_INVALID_ARGUMENT;
    const lvcrash_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    lvcrash_async_thread_state next;
    lvcrash_frame_error_t result = LVCRASH_FRAME_UNKNOWN;
    for (std::size_t i = 0; i < count; ++i) {
        result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (result == LVCRASH_FRAME_OK) break;
    }
    if (result != LVCRASH_FRAME_OK) return result;
    if (!lvcrash_async_thread_state_has_reg(&next, LVCRASH_REG_IP)) return LVCRASH_FRAME_NO_FRAME;
    if (lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP) <= platform::darwin::page_size())
        return LVCRASH_FRAME_NO_FRAME;
    lvcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    lvcrash_async_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return LVCRASH_FRAME_OK;
}

lvcrash_frame_error_t lvcrash_frame_cursor_next(lvcrash_frame_cursor* cursor) {
    static constexpr lvcrash_frame_reader_t readers[] = {lvcrash_frame_reader_compact_unwind, lvcrash_frame_reader_dwarf,
                                                        lvcrash_frame_reader_fp};
    return lvcrash_frame_cursor_next_with_readers(cursor, readers, 3);
}

lvcrash_frame_error_t lvcrash_frame_cursor_get_reg(const lvcrash_frame_cursor* cursor, lvcrash_regnum_t regnum,
                                                   std::uint64_t* value) {
    if (!lvcrash_async_thread_state_has_reg(&cursor->frame, regnum)) return LVCRASH_FRAME_NOT_SUPPORTED;
    *value = lvcrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return LVCRASH_FRAME_OK;
}

const char* lvcrash_frame_cursor_get_regname(const lvcrash_frame_cursor* cursor, lvcrash_regnum_t regnum) {
    return lvcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

std::uint32_t lvcrash_frame_cursor_get_regcount(const lvcrash_frame_cursor* cursor) {
    return lvcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void lvcrash_frame_cursor_free(lvcrash_frame_cursor* cursor) {
    if (cursor->task != platform::darwin::port_null) platform::darwin::port_release(cursor->task);
    cursor->task = platform::darwin::port_null;
}

lvcrash_vm_address_t lvcrash_frame_lookup_pc(const lvcrash_async_thread_state* current,
                                            const lvcrash_async_thread_state* previous) {
    const lvcrash_vm_address_t pc = lvcrash_async_thread_state_get_reg(current, LVCRASH_REG_IP);
    if (previous == nullptr || (current->frame_flags & LVCRASH_ASYNC_THREAD_STATE_PC_EXACT) != 0 || pc == 0) return pc;
    return pc - 1;
}

lvcrash_async_image* lvcrash_frame_image_for_pc(lvcrash_async_image_list* image_list, lvcrash_vm_address_t pc) {
    if (image_list == nullptr) return nullptr;
    lvcrash_async_image* image = lvcrash_async_image_containing_address(image_list, pc);
    if (image == nullptr) image = lvcrash_async_image_list_find_unlisted(image_list, pc);
    return image;
}

lvcrash_frame_error_t lvcrash_frame_reader_fp(task_t task, lvcrash_async_image_list*,
                                              const lvcrash_async_thread_state* current,
                                              const lvcrash_async_thread_state* previous,
                                              lvcrash_async_thread_state* next) {
    if (!lvcrash_async_thread_state_has_reg(current, LVCRASH_REG_FP)) return LVCRASH_FRAME_BAD_FRAME;
    const std::uint64_t fp = lvcrash_async_thread_state_get_reg(current, LVCRASH_REG_FP);
    if (fp == 0) return LVCRASH_FRAME_NO_FRAME;
    if (previous && lvcrash_async_thread_state_has_reg(previous, LVCRASH_REG_FP)) {
        const std::uint64_t prev_fp = lvcrash_async_thread_state_get_reg(previous, LVCRASH_REG_FP);
        const bool down = lvcrash_async_thread_state_get_stack_direction(current) == LVCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
        if (down ? fp < prev_fp : fp > prev_fp) return LVCRASH_FRAME_BAD_FRAME;
    }
    const std::uint32_t w = lvcrash_async_thread_state_get_greg_size(current);
    std::uint64_t words[2] = {0, 0};
    if (w == 8) {
        if (lvcrash_async_task_memcpy(task, fp, 0, words, 16) != LVCRASH_ERROR_NONE) return LVCRASH_FRAME_BAD_FRAME;
    } else {
        std::uint32_t small[2];
        if (lvcrash_async_task_memcpy(task, fp, 0, small, 8) != LVCRASH_ERROR_NONE) return LVCRASH_FRAME_BAD_FRAME;
        words[0] = small[0];
        words[1] = small[1];
    }
    lvcrash_async_thread_state_copy(next, current);
    lvcrash_async_thread_state_clear_all_regs(next);
    next->frame_flags = 0;
    lvcrash_async_thread_state_set_reg(next, LVCRASH_REG_FP, words[0]);
    lvcrash_async_thread_state_set_reg(next, LVCRASH_REG_IP, words[1]);
    // The caller's sp just above the frame record, so that a table reader can take over again.
    if (fp + 2ull * w > fp) lvcrash_async_thread_state_set_reg(next, LVCRASH_REG_SP, fp + 2ull * w);
    return LVCRASH_FRAME_OK;
}

}  // namespace lvcrash
