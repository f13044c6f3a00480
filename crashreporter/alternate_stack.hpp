#pragma once
// Every thread of a process with a crash reporter gets its own alternate signal stack, so that
// a stack overflow on any thread still runs the crash handler. Threads that exist when the
// handler registers install one through the stop signal; threads started later get one from the
// interposed pthread_create (thread_start.cpp), which every program linking the reporter has.
#include <cstddef>

namespace lvcrash {

inline constexpr std::size_t LVCRASH_ALTERNATE_STACK_SIZE = 65536;

// Has every other thread without an alternate stack install a fresh one (blocks allocated
// here, beforehand). Returns the number of threads that installed one.
std::size_t lvcrash_alternate_stack_install_on_all_threads();

// From now on every thread started through pthread_create installs a stack of its own. Called
// by the registration before it reaches the existing threads.
void lvcrash_alternate_stack_for_new_threads();

// For the calling thread: installs a fresh stack unless it has one; the block to pass to
// lvcrash_alternate_stack_release at thread end (nullptr when none was installed).
void* lvcrash_alternate_stack_install_own();
void lvcrash_alternate_stack_release(void* block);

// High-water mark of a stack block the crash path ran on: bytes written below its top, found
// from the fill pattern (tests and benchmarks).
std::size_t lvcrash_alternate_stack_used(const void* block, std::size_t size, unsigned char pattern);

}  // namespace lvcrash
