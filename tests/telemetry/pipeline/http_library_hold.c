// Preloaded into a launch by a test: holds the HTTP library's set-up of its SSH part, when it
// runs on a thread other than the main one, until the process has begun to exit, and then
// until the crypto library has been cleaned up by that exit (200 ms at most), as a loading
// thread that a busy machine starved until then would go on. Writes "held" to the file named
// by GW_HTTP_HOLD_REPORT once it holds the set-up.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static atomic_int exitBegan;

__attribute__((noreturn)) void exit(int status) {
    atomic_store(&exitBegan, 1);
    void (*real)(int) = (void (*)(int))dlsym(RTLD_NEXT, "exit");
    real(status);
    __builtin_unreachable();
}

static double seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int libssh2_init(int flags) {
    int (*real)(int) = (int (*)(int))dlsym(dlopen("libssh2.so.1", RTLD_NOW | RTLD_NOLOAD), "libssh2_init");
    // Answers 0 once the process's exit has cleaned the crypto library up.
    int (*cryptoReady)(uint64_t, const void*) =
        (int (*)(uint64_t, const void*))dlsym(RTLD_DEFAULT, "OPENSSL_init_crypto");
    const uint64_t baseOnly = 0x00040000L;
    if (real && cryptoReady && syscall(SYS_gettid) != getpid()) {
        const char* report = getenv("GW_HTTP_HOLD_REPORT");
        if (report) {
            const int fd = open(report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) {
                (void)!write(fd, "held", 4);
                close(fd);
            }
        }
        while (!atomic_load(&exitBegan)) usleep(1000);
        // Not a sleep: the exit ends soon after the clean-up, and this goes on at once.
        const double until = seconds() + 0.2;
        while (cryptoReady(baseOnly, NULL) && seconds() < until) {
        }
    }
    return real ? real(flags) : -1;
}
