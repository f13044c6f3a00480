// Counts the heap calls a thread makes while it asks to be watched: the writer must make none.
// Linked only into executables built without sanitizers (those bring their own allocator).
#include <cstddef>
#include <cstdint>

#include "crashreporter/report_support.hpp"

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
inline void count() {
    if (watching) ++calls;
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    count();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    count();
    return __libc_realloc(p, size);
}
void free(void* p) {
    count();
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    count();
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
