// Children that really fault; label crash (never under a sanitizer).
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/async.hpp"

using namespace lvcrash;

namespace {

__attribute__((noinline)) int divide(int a, int b) {
    int q;
#if defined(__x86_64__)
    asm volatile("cltd\n\tidivl %2" : "=a"(q) : "a"(a), "r"(b) : "edx");
#else
    q = a / b;
#endif
    return q;
}

}  // namespace

TEST(SignalTables, IntegerDivisionByZeroIsNamedFromARealSignal) {
    const pid_t child = fork();
    if (child == 0) {
        struct sigaction a {};
        a.sa_flags = SA_SIGINFO;
        a.sa_sigaction = [](int sig, siginfo_t* info, void*) {
            const char* name = lvcrash_async_signal_sigcode(sig, info->si_code);
            _exit(name && lvcrash_async_strcmp(name, "FPE_INTDIV") == 0 ? 42 : 1);
        };
        sigaction(SIGFPE, &a, nullptr);
        volatile int zero = 0;
        _exit(divide(1, zero) == 0 ? 2 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

