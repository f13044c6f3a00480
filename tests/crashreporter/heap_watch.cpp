// The test executables' heap, watched for the crash path (which must make no heap call):
// - a thread between heap_count_begin() and heap_count_end() has its heap calls counted;
// - once the thread named in crash_child_hold_tid is held in its next malloc, any other heap
//   call ends the process with status 97.
// Sanitizer builds (GW_NO_HEAP_WRAPPER) keep their own allocator: nothing is watched there
// and heap_count_end() answers -1.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "crashreporter/report_support.hpp"

std::atomic<int> crash_child_hold_tid{0};  // the thread to hold in its next malloc
std::atomic<int> crash_child_held{0};      // set once it is held

#if !defined(GW_NO_HEAP_WRAPPER)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

__thread int watching = 0;
__thread long calls = 0;
std::atomic<std::uint32_t> never{0};

void onHeapCall() {
    if (watching) ++calls;
    if (crash_child_held.load(std::memory_order_acquire) != 0) _exit(97);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    const int hold = crash_child_hold_tid.load(std::memory_order_acquire);
    if (hold != 0 && hold == static_cast<int>(syscall(SYS_gettid))) {
        crash_child_held.store(1, std::memory_order_release);
        for (;;) syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&never), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
    onHeapCall();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    onHeapCall();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    onHeapCall();
    return __libc_realloc(p, size);
}
void free(void* p) {
    onHeapCall();
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) {
    onHeapCall();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    onHeapCall();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    onHeapCall();
    void* p = __libc_memalign(alignment, size);
    if (!p) return 12;
    *out = p;
    return 0;
}
}

namespace report_support {
void heap_count_begin() {
    calls = 0;
    watching = 1;
}
long heap_count_end() {
    watching = 0;
    return calls;
}
}  // namespace report_support
#else
namespace report_support {
void heap_count_begin() {}
long heap_count_end() { return -1; }
}  // namespace report_support
#endif
