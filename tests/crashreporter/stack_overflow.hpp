#pragma once
// Recursion that ends only when the stack does: every frame keeps 256 bytes of its own and the
// limit is never reached, so the compiler can turn it neither into a loop nor into nothing.
extern "C" {

inline volatile long crash_recursion_limit = -1;

__attribute__((noinline)) inline long crash_recurse_forever(long depth) {
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (depth == crash_recursion_limit) return 0;
    const long result = crash_recurse_forever(depth + 1) + pad[0];
    asm volatile("" ::: "memory");
    return result;
}

}  // extern "C"
