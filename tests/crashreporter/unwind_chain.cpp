// Built with -O2 -fomit-frame-pointer: a chain of frameless functions that calls back through
// libc's qsort and libstdc++'s std::call_once.
#include "crashreporter/unwind_chain.hpp"

#include <cstdlib>
#include <mutex>

namespace unwind_chain {
namespace {

void (*active_probe)(void*) = nullptr;
void* active_context = nullptr;
int compared = 0;

int compare(const void* a, const void* b) {
    if (compared++ == 0) active_probe(active_context);
    asm volatile("" ::: "memory");
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

__attribute__((noinline)) int through_qsort(int seed) {
    int values[4] = {seed, 3, 1, 2};
    std::qsort(values, 4, sizeof(int), compare);
    asm volatile("" ::: "memory");
    return values[0];
}

__attribute__((noinline)) int through_call_once(int seed) {
    std::once_flag flag;
    int result = 0;
    std::call_once(flag, [&] { result = through_qsort(seed); });
    asm volatile("" ::: "memory");
    return result;
}

}  // namespace

__attribute__((noinline)) int run(void (*probe)(void*), void* context) {
    active_probe = probe;
    active_context = context;
    compared = 0;
    const int result = through_call_once(7);
    asm volatile("" ::: "memory");
    return result;
}

}  // namespace unwind_chain
