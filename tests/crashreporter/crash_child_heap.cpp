// The crash child's heap: once a thread is held inside malloc, any other heap call (the crash
// path must make none) ends the child with status 97. Sanitizer builds keep their own
// allocator: there the case is not run.
#include <atomic>
#include <cstddef>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

std::atomic<int> crash_child_hold_tid{0};  // the thread to hold in its next malloc
std::atomic<int> crash_child_held{0};      // set once it is held

#if !defined(GW_NO_HEAP_WRAPPER)
namespace {

std::atomic<std::uint32_t> never{0};

void check() {
    if (crash_child_held.load(std::memory_order_acquire) == 0) return;
    _exit(97);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    const int hold = crash_child_hold_tid.load(std::memory_order_acquire);
    if (hold != 0 && hold == static_cast<int>(syscall(SYS_gettid))) {
        crash_child_held.store(1, std::memory_order_release);
        for (;;) syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&never), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
    check();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    check();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    check();
    return __libc_realloc(p, size);
}
void free(void* p) {
    check();
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) {
    check();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    check();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    check();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : 12;
}
}
#endif
