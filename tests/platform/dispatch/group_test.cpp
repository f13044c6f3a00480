#include "platform/dispatch/group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(DispatchGroupTest, NotifyRunsOnceAfterAllWorkAcrossQueuesHasLeft) {
    DispatchGroup group;
    DispatchQueue serial("test.group.serial");
    auto concurrent = DispatchQueue::global(QualityOfService::utility);
    std::atomic<int> done{0};
    DispatchSemaphore gate;
    for (int i = 0; i < 100; ++i) {
        (i % 2 ? serial : concurrent).async(group, [&] {
            gate.wait();
            done.fetch_add(1);
        });
    }
    std::atomic<int> notified{0};
    std::atomic<int> doneAtNotify{-1};
    DispatchSemaphore notifiedSignal;
    group.notify(serial, [&] {
        doneAtNotify = done.load();
        notified.fetch_add(1);
        notifiedSignal.signal();
    });
    EXPECT_FALSE(group.wait(10ms));
    for (int i = 0; i < 100; ++i) gate.signal();
    EXPECT_TRUE(group.wait(10s));
    ASSERT_TRUE(notifiedSignal.wait(10s));
    EXPECT_EQ(doneAtNotify, 100);
    EXPECT_EQ(notified, 1);
}

TEST(DispatchGroupTest, NotifyOnAnEmptyGroupRunsAtOnceAndGroupIsReusable) {
    DispatchGroup group;
    DispatchQueue queue("test.group.empty");
    int runs = 0;
    group.notify(queue, [&] { ++runs; });
    queue.sync([] {});
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(group.wait(0ms));

    group.enter();
    group.notify(queue, [&] { ++runs; });
    queue.sync([] {});
    EXPECT_EQ(runs, 1);
    group.leave();
    queue.sync([] {});
    EXPECT_EQ(runs, 2);
}

TEST(DispatchGroupDeathTest, LeavingMoreOftenThanEnteringIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchGroup group;
    EXPECT_DEATH(group.leave(), "left more often than entered");
}

TEST(DispatchSemaphoreTest, WaitTimesOutAndCountsSignals) {
    DispatchSemaphore semaphore(1);
    EXPECT_TRUE(semaphore.wait(0ms));
    EXPECT_FALSE(semaphore.wait(5ms));
    std::thread([&] { semaphore.signal(); }).join();
    EXPECT_TRUE(semaphore.wait(1s));
}

// The pattern of "run on a queue, wait at most so long": the caller goes on after
// the timeout whether or not the work ran.
TEST(DispatchSemaphoreTest, BoundedWaitForWorkOnABusyQueue) {
    DispatchQueue queue("test.bounded");
    DispatchSemaphore release, finished;
    queue.async([&] { release.wait(); });
    queue.async([&] { finished.signal(); });
    EXPECT_FALSE(finished.wait(10ms));
    release.signal();
    EXPECT_TRUE(finished.wait(5s));
}

TEST(DispatchOnceTest, RunsOnceUnderConcurrentFirstUseAndAgainAfterReset) {
    DispatchOnce once;
    std::atomic<int> runs{0};
    std::atomic<int> winners{0};
    std::atomic<int> sawUnfinished{0};
    std::atomic<bool> finished{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            bool won = once.perform([&] {
                runs.fetch_add(1);
                std::this_thread::sleep_for(5ms);
                finished = true;
            });
            if (won) winners.fetch_add(1);
            if (!finished) sawUnfinished.fetch_add(1);  // later callers must wait for the first
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(sawUnfinished, 0);
    EXPECT_TRUE(once.hasRun());

    once.reset();
    EXPECT_TRUE(once.perform([&] { runs.fetch_add(1); }));
    EXPECT_EQ(runs, 2);
}

TEST(DispatchOnceDeathTest, AskingForItselfIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchOnce once;
    EXPECT_DEATH(once.perform([&] { once.perform([] {}); }), "once-only");
}

}  // namespace
}  // namespace platform::dispatch
