// The interposed pthread_create: once a crash handler has registered, every thread the program
// or its libraries start (std::thread included) runs on an alternate signal stack of its own,
// freed when the thread ends, so a stack overflow there still reaches the crash handler.
//
// This object is a member of the reporter's static library. A member nothing refers to is left
// out of the link, and with it the interposer: the registration path calls
// lvcrash_alternate_stack_for_new_threads, defined here, so any program that can enable the
// reporter links it. pthread_create is exported from the executable (see CMakeLists.txt) so that
// shared libraries, those opened later included, reach it before the C library's.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>

#include "crashreporter/alternate_stack.hpp"

namespace {

using create_function = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct StartRecord {
    void* (*start)(void*);
    void* arg;
};

// Threads started before any registration need no stack of ours (the registration gives one
// to every thread that exists by then); a process that never enables pays nothing per thread.
std::atomic<bool> stacks_for_new_threads{false};

create_function next_create() {
    static const create_function next = reinterpret_cast<create_function>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

void release_stack(void* block) { lvcrash::lvcrash_alternate_stack_release(block); }

}  // namespace

namespace lvcrash {

void lvcrash_alternate_stack_for_new_threads() { stacks_for_new_threads.store(true, std::memory_order_release); }

}  // namespace lvcrash

extern "C" void* lvcrash_thread_start(void* raw) {
    const StartRecord record = *static_cast<StartRecord*>(raw);
    std::free(raw);
    // Read here rather than at creation: a thread created just before the registration but
    // started after it is not among those the registration reached.
    void* block = stacks_for_new_threads.load(std::memory_order_acquire) ? lvcrash::lvcrash_alternate_stack_install_own()
                                                                          : nullptr;
    void* result = nullptr;
    // Runs on return, pthread_exit and cancellation alike.
    pthread_cleanup_push(release_stack, block);
    result = record.start(record.arg);
    pthread_cleanup_pop(1);
    return result;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    const create_function next = next_create();
    if (!next) return EAGAIN;
    auto* record = static_cast<StartRecord*>(std::malloc(sizeof(StartRecord)));
    if (!record) return next(thread, attr, start, arg);
    record->start = start;
    record->arg = arg;
    const int result = next(thread, attr, lvcrash_thread_start, record);
    if (result != 0) std::free(record);
    return result;
}
