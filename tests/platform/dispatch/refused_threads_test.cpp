// Queues, operations and timers in a process the system refuses threads (an address-space
// or process limit): the work runs, on the caller's thread while the pool has none, and
// nothing throws; granted threads again, the pool makes them. The refusing runs in a launch
// of its own of this executable, so that no earlier test has made the pool's threads.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/group.hpp"
#include "platform/dispatch/memory_pressure_source.hpp"
#include "platform/dispatch/operation_queue.hpp"
#include "platform/dispatch/timer.hpp"
#include "support/self_launch.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRefusingVariable = "GW_TEST_REFUSE_THREADS";

// Threads made from now on ask for stacks of `bytes` (0: the usual size).
void setThreadStacks(std::size_t bytes) {
    static const std::size_t usual = [] {
        pthread_attr_t attributes;
        std::size_t size = 0;
        pthread_getattr_default_np(&attributes);
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
        return size;
    }();
    pthread_attr_t attributes;
    pthread_getattr_default_np(&attributes);
    pthread_attr_setstacksize(&attributes, bytes == 0 ? usual : bytes);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
}

// The threads the pool made threw out of submit() and ended the process.
TEST(RefusedThreadsChildProcess, WorkRunsOnTheCallersThreadUntilThreadsAreGrantedAgain) {
    if (std::getenv(kRefusingVariable) == nullptr) GTEST_SKIP() << "runs only as another process of the test";
    // A stack of 64 TiB is granted nowhere.
    setThreadStacks(std::size_t{1} << 46);
    ASSERT_THROW(std::thread([] {}).join(), std::system_error);
    const auto caller = std::this_thread::get_id();

    DispatchGroup group;
    std::atomic<int> ranElsewhere{0};
    for (int i = 0; i < 20; ++i) {
        DispatchQueue::global().async(group, [&] { ranElsewhere += std::this_thread::get_id() != caller; });
    }
    EXPECT_TRUE(group.wait(1s));
    EXPECT_EQ(ranElsewhere, 0);
    // Work that queues the next, 20000 times: run one after another, not each inside the last.
    DispatchQueue serial("test.refused.serial");
    std::vector<int> order;  // on the serial queue only
    std::function<void(int)> step = [&](int i) {
        order.push_back(i);
        if (i + 1 < 20000) serial.async([&, i] { step(i + 1); });
    };
    serial.async([&] { step(0); });
    EXPECT_EQ(serial.sync([&] { return order.size(); }), 20000u);

    OperationQueue operations;
    std::vector<int> steps;
    auto second = std::make_shared<BlockOperation>([&] { steps.push_back(2); });
    auto first = std::make_shared<BlockOperation>([&] { steps.push_back(1); });
    second->addDependency(first);
    operations.addOperations({second, first}, true);
    EXPECT_EQ(steps, (std::vector<int>{1, 2}));

    // Timers and memory-pressure sources go without their threads rather than failing.
    DispatchTimer timer(serial);
    timer.setEventHandler([] {});
    EXPECT_NO_THROW(timer.schedule(1h));
    EXPECT_NO_THROW(timer.resume());
    timer.cancel();
    EXPECT_NO_THROW(MemoryPressureSource(memoryPressureWarning, serial));

    // Granted again: two items that finish only together run side by side on the pool.
    setThreadStacks(0);
    DispatchSemaphore one, other;
    DispatchQueue::global().async(group, [&] {
        one.signal();
        other.wait(30s);
    });
    DispatchQueue::global().async(group, [&] {
        other.signal();
        one.wait(30s);
    });
    EXPECT_TRUE(group.wait(60s));
}

TEST(RefusedThreads, WorkRunsOnTheCallersThreadUntilThreadsAreGrantedAgain) {
    const std::string name = "RefusedThreadsChildProcess.WorkRunsOnTheCallersThreadUntilThreadsAreGrantedAgain";
    const pid_t child = gwtest::spawnSelf({name, {{kRefusingVariable, "1"}}});
    ASSERT_GT(child, 0);
    const int status = gwtest::waitForChild(child, std::chrono::minutes(2));
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
}  // namespace platform::dispatch
