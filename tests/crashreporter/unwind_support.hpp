#pragma once
// An image list fed by the loader stand-in's callbacks, and stack walks recorded for tests.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/frame_cursor.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/thread_control.hpp"

namespace unwind_support {

inline lvcrash::lvcrash_async_image_list* fed_target = nullptr;

// An image list fed by the loader's callbacks while it lives (registering calls back at once for
// every image already loaded); the callbacks are forgotten with it.
class FedList {
public:
    FedList() {
        lvcrash::lvcrash_async_image_list_init(&list_, platform::darwin::task_self());
        fed_target = &list_;
        platform::darwin::loader_register_add_image([](const void* header, std::intptr_t) {
            platform::darwin::ImageAtAddress at;
            std::string name;
            if (platform::darwin::loader_image_containing_address(header, &at)) name = at.name;
            lvcrash::lvcrash_async_image_list_append(fed_target, reinterpret_cast<lvcrash::lvcrash_vm_address_t>(header),
                                                     name.c_str());
        });
        platform::darwin::loader_register_remove_image([](const void* header, std::intptr_t) {
            lvcrash::lvcrash_async_image_list_remove(fed_target, reinterpret_cast<lvcrash::lvcrash_vm_address_t>(header));
        });
    }
    ~FedList() {
        platform::darwin::loader_unregister_all_for_tests();
        fed_target = nullptr;
        lvcrash::lvcrash_async_image_list_free(&list_);
    }
    FedList(const FedList&) = delete;
    FedList& operator=(const FedList&) = delete;
    lvcrash::lvcrash_async_image_list* get() { return &list_; }

private:
    lvcrash::lvcrash_async_image_list list_;
};

inline lvcrash::lvcrash_async_image_list* fed_list() { return fed_target; }

struct Step {
    std::uint64_t pc;
    lvcrash::lvcrash_async_thread_state state;
    int reader;  // index of the first reader that alone unwinds the frame before this one; -1 for the first
};

struct Walk {
    std::vector<Step> steps;
    lvcrash::lvcrash_frame_error_t end = lvcrash::LVCRASH_FRAME_OK;
};

// Walks with the given readers (nullptr: the cursor's own order) up to max frames.
inline Walk walk(const lvcrash::lvcrash_async_thread_state& start, const lvcrash::lvcrash_frame_reader_t* readers,
                 std::size_t count, std::size_t max = 64) {
    using namespace lvcrash;
    static constexpr lvcrash_frame_reader_t all[] = {lvcrash_frame_reader_compact_unwind, lvcrash_frame_reader_dwarf,
                                                    lvcrash_frame_reader_fp};
    if (!readers) {
        readers = all;
        count = 3;
    }
    Walk out;
    lvcrash_frame_cursor cursor;
    lvcrash_frame_cursor_init(&cursor, platform::darwin::task_self(), &start, fed_list());
    while (out.steps.size() < max) {
        int which = -1;
        if (cursor.depth > 0) {
            const lvcrash_async_thread_state* prev = cursor.depth == 1 ? nullptr : &cursor.prev_frame;
            for (int i = 0; i < 3 && which < 0; ++i) {
                lvcrash_async_thread_state scratch;
                if (all[i](cursor.task, cursor.image_list, &cursor.frame, prev, &scratch) == LVCRASH_FRAME_OK) which = i;
            }
        }
        const lvcrash_frame_error_t err = lvcrash_frame_cursor_next_with_readers(&cursor, readers, count);
        if (err != LVCRASH_FRAME_OK) {
            out.end = err;
            break;
        }
        std::uint64_t pc = 0;
        lvcrash_frame_cursor_get_reg(&cursor, LVCRASH_REG_IP, &pc);
        out.steps.push_back({pc, cursor.frame, which});
    }
    lvcrash_frame_cursor_free(&cursor);
    return out;
}

// Waits until the thread control stand-in has let every parked thread go on.
inline bool wait_until_none_parked() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (platform::darwin::thread_control_parked_count() != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace unwind_support
