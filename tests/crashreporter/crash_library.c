// A shared object the crash child opens after registering, to crash inside it.
__attribute__((noinline)) int crash_library_fault(volatile int* target) {
    *target = 1;
    __asm__ volatile("" ::: "memory");
    return 0;
}
