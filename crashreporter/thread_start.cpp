// Linked into each executable that uses the crash reporter: every thread it or its libraries
// make (std::thread included) starts on an alternate signal stack of its own, freed when the
// thread ends, so a stack overflow there still reaches the crash handler.
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

create_function next_create() {
    static const create_function next = reinterpret_cast<create_function>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

void release_stack(void* block) { lvcrash::lvcrash_alternate_stack_release(block); }

}  // namespace

extern "C" void* lvcrash_thread_start(void* raw) {
    const StartRecord record = *static_cast<StartRecord*>(raw);
    std::free(raw);
    void* block = lvcrash::lvcrash_alternate_stack_install_own();
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
