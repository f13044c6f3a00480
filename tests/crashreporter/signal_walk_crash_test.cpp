// A child that really faults walks its own stack from its SIGSEGV handler; label crash.
#include <csignal>
#include <cstdio>
#include <execinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/unwind_support.hpp"

using namespace lvcrash;

extern "C" long unwind_fault_first(long* p);

namespace {

#if defined(__x86_64__)

void* bt[64];
int bt_count = 0;
unwind_support::Walk* walked = nullptr;

lvcrash_error_t walk_here(lvcrash_async_thread_state* state, void*) {
    *walked = unwind_support::walk(*state, nullptr, 0);
    return LVCRASH_ERROR_NONE;
}

// Exit codes: 0 the walk equals backtrace() and names the faulting function, 1 + frame index of
// the first difference, 90 too few frames, 91 the faulting frame is not the function.
void segv_handler(int, siginfo_t*, void*) {
    bt_count = backtrace(bt, 64);
    lvcrash_async_thread_state_current(walk_here, nullptr);
    const auto& steps = walked->steps;
    if (bt_count < 4 || steps.size() < static_cast<std::size_t>(bt_count)) _exit(90);
    for (int i = 1; i < bt_count; ++i) {
        if (steps[i].pc != reinterpret_cast<std::uint64_t>(bt[i])) {
            std::fprintf(stderr, "frame %d: %llx vs %p\n", i, static_cast<unsigned long long>(steps[i].pc), bt[i]);
            _exit(1 + i);
        }
    }
    if (steps[2].pc != reinterpret_cast<std::uint64_t>(&unwind_fault_first)) _exit(91);
    _exit(0);
}

TEST(SignalWalk, FromASegvHandlerThroughAFunctionThatFaultedOnItsFirstInstruction) {
    const pid_t child = fork();
    if (child == 0) {
        unwind_support::FedList list;
        unwind_support::Walk walk;
        walked = &walk;
        void* warm[4];
        backtrace(warm, 4);
        struct sigaction action {};
        action.sa_sigaction = segv_handler;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        volatile long result = unwind_fault_first(nullptr);
        (void)result;
        _exit(92);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#endif

}  // namespace
