// Other threads' registers through the stop signal: suspended threads walk to where they wait,
// a thread that blocks the signal comes back without state, and none stays parked.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <linux/futex.h>
#include <set>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/thread_control.hpp"

using namespace lvcrash;
namespace darwin = platform::darwin;

extern "C" __attribute__((noinline)) void unwind_thread_park_here(std::atomic<int>* go) {
    while (go->load() == 0) syscall(SYS_futex, reinterpret_cast<int*>(go), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    asm volatile("" ::: "memory");
}

namespace {

struct Parked {
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    std::vector<std::atomic<darwin::port_t>> ports;
    explicit Parked(std::size_t n, bool block_stop_signal) : ports(n) {
        for (std::size_t i = 0; i < n; ++i) {
            threads.emplace_back([this, i, block_stop_signal] {
                if (block_stop_signal) {
                    sigset_t set;
                    sigemptyset(&set);
                    sigaddset(&set, darwin::thread_control_stop_signal());
                    pthread_sigmask(SIG_BLOCK, &set, nullptr);
                }
                ports[i].store(darwin::mach_thread_self());
                unwind_thread_park_here(&go);
            });
        }
        for (auto& port : ports) {
            while (port.load() == 0) std::this_thread::yield();
            while (!waiting_in_futex(darwin::thread_port_tid(port.load()))) std::this_thread::yield();
        }
    }
    // Blocked in the futex call itself (the kernel shows the system call it waits in).
    static bool waiting_in_futex(int tid) {
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return false;
        long number = -1;
        const bool read = std::fscanf(f, "%ld", &number) == 1;
        std::fclose(f);
        return read && number == SYS_futex;
    }
    ~Parked() {
        go.store(1);
        syscall(SYS_futex, reinterpret_cast<int*>(&go), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
        for (auto& t : threads) t.join();
    }
};

std::string name_at(lvcrash_async_image_list* list, std::uint64_t pc) {
    std::string name;
    lvcrash_async_image_list_set_reading(list, true);
    if (auto* image = lvcrash_frame_image_for_pc(list, pc - 1)) {
        lvcrash_async_image_find_symbol_by_pc(
            image, pc - 1, [](lvcrash_vm_address_t, const char* found, void* out) { *static_cast<std::string*>(out) = found; },
            &name);
    }
    lvcrash_async_image_list_set_reading(list, false);
    return name;
}

using unwind_support::wait_until_none_parked;

TEST(ThreadControl, FiftySuspendedThreadsEachWalkToWhereTheyWait) {
    ASSERT_TRUE(darwin::thread_control_install());
    unwind_support::FedList list;
    Parked parked(50, false);

    darwin::port_t listed[4096];
    std::size_t count = 0;
    ASSERT_EQ(darwin::task_threads(darwin::task_self(), listed, 4096, &count), darwin::kern_success);
    const std::set<darwin::port_t> all(listed, listed + count);
    EXPECT_TRUE(all.count(darwin::mach_thread_self()));

    for (auto& port : parked.ports) {
        ASSERT_TRUE(all.count(port.load()));
        // On a loaded machine a thread may not be scheduled within the budget; it is then left
        // running, and asking again is the caller's choice.
        darwin::KernReturn stopped = darwin::kern_failure;
        for (int attempt = 0; attempt < 10 && stopped != darwin::kern_success; ++attempt)
            stopped = darwin::thread_suspend(port.load());
        ASSERT_EQ(stopped, darwin::kern_success);
    }
    for (auto& port : parked.ports) {
        lvcrash_frame_cursor cursor;
        ASSERT_EQ(lvcrash_frame_cursor_thread_init(&cursor, darwin::task_self(), port.load(), list.get()),
                  LVCRASH_ERROR_NONE);
        const auto walk = unwind_support::walk(cursor.frame, nullptr, 0, 32);
        lvcrash_frame_cursor_free(&cursor);
        bool found = false;
        for (std::size_t i = 1; i < walk.steps.size() && !found; ++i)
            found = name_at(list.get(), walk.steps[i].pc) == "unwind_thread_park_here";
        EXPECT_TRUE(found) << "thread " << port.load();
    }
    for (auto& port : parked.ports) EXPECT_EQ(darwin::thread_resume(port.load()), darwin::kern_success);
    EXPECT_TRUE(wait_until_none_parked());
}

TEST(ThreadControl, StoppingAllAtOnceLeavesOutTheCallerAndABlockingThreadAndFreezesTheRest) {
    ASSERT_TRUE(darwin::thread_control_install());
    Parked parked(3, false);
    Parked blocked(1, true);
    std::atomic<bool> stop{false};
    std::vector<std::atomic<long>> counts(6);
    std::vector<std::atomic<darwin::port_t>> busyPorts(counts.size());
    std::vector<std::thread> busy;
    for (std::size_t i = 0; i < counts.size(); ++i)
        busy.emplace_back([&, i] {
            busyPorts[i].store(darwin::mach_thread_self());
            while (!stop.load(std::memory_order_relaxed)) counts[i].fetch_add(1, std::memory_order_relaxed);
        });
    for (auto& port : busyPorts)
        while (port.load() == 0) std::this_thread::yield();

    darwin::port_t listed[4096], suspended[4096];
    std::size_t count = 0;
    ASSERT_EQ(darwin::task_threads(darwin::task_self(), listed, 4096, &count), darwin::kern_success);
    const std::size_t n = darwin::thread_suspend_all(listed, count, suspended);
    const std::set<darwin::port_t> stopped(suspended, suspended + n);
    EXPECT_EQ(stopped.size(), n) << "a thread counted twice";
    EXPECT_FALSE(stopped.count(darwin::mach_thread_self()));
    EXPECT_FALSE(stopped.count(blocked.ports[0].load()));
    // On a loaded machine a busy thread may miss the budget and keep running; the parked ones
    // are stopped, and whatever is stopped stands still until resumed.
    for (auto& port : parked.ports) EXPECT_TRUE(stopped.count(port.load()));
    std::vector<long> before;
    for (auto& c : counts) before.push_back(c.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (stopped.count(busyPorts[i].load())) {
            EXPECT_EQ(counts[i].load(), before[i]) << "busy thread " << i;
        }
    }
    ucontext_t context;
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(darwin::thread_get_state(suspended[i], &context), darwin::kern_success);

    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(darwin::thread_resume(suspended[i]), darwin::kern_success);
    EXPECT_TRUE(wait_until_none_parked());
    stop.store(true);
    for (auto& t : busy) t.join();
}

TEST(ThreadControl, AThreadBlockingTheStopSignalIsReportedWithoutStateAndKeepsRunning) {
    ASSERT_TRUE(darwin::thread_control_install());
    Parked blocked(1, true);
    const darwin::port_t port = blocked.ports[0].load();
    EXPECT_EQ(darwin::thread_suspend(port), darwin::kern_failure);
    ucontext_t context;
    EXPECT_EQ(darwin::thread_get_state(port, &context), darwin::kern_failure);
    EXPECT_TRUE(wait_until_none_parked());
    // Neither the own thread nor a name that is no thread can be stopped.
    EXPECT_EQ(darwin::thread_suspend(darwin::mach_thread_self()), darwin::kern_failure);
    EXPECT_EQ(darwin::thread_suspend(darwin::task_self()), darwin::kern_invalid_argument);
    // A second request after the first timed out is answered the same way, and the thread still
    // finishes normally when released (the destructor joins it).
    EXPECT_EQ(darwin::thread_suspend(port), darwin::kern_failure);
}

TEST(ThreadControl, AThreadInACrashHandlerOffersItsContextWithoutASignal) {
    ASSERT_TRUE(darwin::thread_control_install());
    std::atomic<int> stage{0};
    darwin::port_t port = 0;
    std::thread offering([&] {
        ucontext_t context;
        getcontext(&context);
        context.uc_mcontext.gregs[REG_RIP] = 0x1234567;
        port = darwin::mach_thread_self();
        // The stop signal is blocked: only the offered context can answer.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, darwin::thread_control_stop_signal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        darwin::thread_offer_context(&context);
        stage.store(1);
        while (stage.load() != 2) std::this_thread::yield();
        darwin::thread_withdraw_context();
    });
    while (stage.load() != 1) std::this_thread::yield();
    EXPECT_EQ(darwin::thread_suspend(port), darwin::kern_success);
    lvcrash_async_thread_state state;
    ASSERT_EQ(lvcrash_async_thread_state_mach_thread_init(&state, port), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&state, LVCRASH_REG_IP), 0x1234567u);
    EXPECT_EQ(darwin::thread_resume(port), darwin::kern_success);
    stage.store(2);
    offering.join();
    ucontext_t after;
    EXPECT_EQ(darwin::thread_get_state(port, &after), darwin::kern_failure);
}

}  // namespace
