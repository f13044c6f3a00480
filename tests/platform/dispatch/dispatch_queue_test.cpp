#include "platform/dispatch/dispatch_queue.hpp"

#include "platform/dispatch/group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueueTest, SerialQueueRunsItemsOneAtATimeInSubmissionOrder) {
    DispatchQueue queue("test.serial");
    std::vector<int> order;  // touched only on the queue
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 2000; ++i) {
        queue.async([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            inside.fetch_sub(1);
        });
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(DispatchQueueTest, SyncFromManyThreadsStaysExclusiveWithAsyncWork) {
    DispatchQueue queue("test.serial.sync");
    long counter = 0;  // unguarded on purpose: the queue is the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (i % 2) {
                    queue.sync([&] { ++counter; });
                } else {
                    queue.async([&] { ++counter; });
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(queue.sync([&] { return counter; }), 8 * 500);
}

TEST(DispatchQueueTest, ConcurrentQueueRunsItemsSideBySideAndBarriersAlone) {
    DispatchQueue queue("test.concurrent", DispatchQueue::Attributes::concurrent);
    EXPECT_TRUE(queue.isConcurrent());
    // Two items that can only finish together prove the queue runs them at once.
    DispatchSemaphore first, second;
    DispatchGroup group;
    std::atomic<bool> bothMet{true};
    queue.async(group, [&] {
        second.signal();
        if (!first.wait(5s)) bothMet = false;
    });
    queue.async(group, [&] {
        first.signal();
        if (!second.wait(5s)) bothMet = false;
    });
    ASSERT_TRUE(group.wait(10s));
    EXPECT_TRUE(bothMet);

    std::atomic<int> running{0};
    std::atomic<int> seenWithBarrier{0};
    std::atomic<int> before{0};
    int beforeAtBarrier = -1;
    for (int i = 0; i < 50; ++i) {
        queue.async([&] {
            running.fetch_add(1);
            std::this_thread::sleep_for(100us);
            before.fetch_add(1);
            running.fetch_sub(1);
        });
    }
    queue.asyncBarrier([&] {
        seenWithBarrier = running.load();
        beforeAtBarrier = before.load();
    });
    queue.syncBarrier([] {});
    EXPECT_EQ(seenWithBarrier, 0);
    EXPECT_EQ(beforeAtBarrier, 50);
}

TEST(DispatchQueueTest, SyncReturnsTheResultAndPassesOnExceptions) {
    DispatchQueue queue("test.sync");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    // The queue is not left blocked by the exception.
    EXPECT_EQ(queue.sync([] { return std::string("still running"); }), "still running");
}

TEST(DispatchQueueTest, IsCurrentHoldsInsideWorkIncludingNestedSync) {
    DispatchQueue outer("test.outer");
    DispatchQueue inner("test.inner");
    EXPECT_FALSE(outer.isCurrent());
    bool outerInInner = false, innerInInner = false, outerInOuter = false;
    outer.sync([&] {
        outerInOuter = outer.isCurrent();
        inner.sync([&] {
            innerInInner = inner.isCurrent();
            outerInInner = outer.isCurrent();
        });
    });
    EXPECT_TRUE(outerInOuter);
    EXPECT_TRUE(innerInInner);
    EXPECT_TRUE(outerInInner);
}

TEST(DispatchQueueTest, GlobalQueuesAreConcurrentAndSharedPerQualityOfService) {
    auto a = DispatchQueue::global(QualityOfService::background);
    auto b = DispatchQueue::global(QualityOfService::background);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == DispatchQueue::global(QualityOfService::userInitiated));
    EXPECT_TRUE(a.isConcurrent());
    EXPECT_EQ(qualityOfServiceName(QualityOfService::userInitiated), "user-initiated");
    EXPECT_EQ(static_cast<int>(QualityOfService::userInitiated), 25);
}

using DispatchQueueDeathTest = ::testing::Test;

TEST_F(DispatchQueueDeathTest, SyncOntoTheRunningSerialQueueIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchQueue queue("test.self");
    EXPECT_DEATH(queue.sync([&] { queue.sync([] {}); }), "test.self");
}

TEST_F(DispatchQueueDeathTest, SyncOntoAConcurrentQueueFromItsOwnBarrierIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DispatchQueue queue("test.barrier.self", DispatchQueue::Attributes::concurrent);
    EXPECT_DEATH(queue.syncBarrier([&] { queue.sync([] {}); }), "test.barrier.self");
}

TEST(DispatchQueueTest, PlainSyncFromWorkOfTheSameConcurrentQueueRuns) {
    DispatchQueue queue("test.concurrent.nested", DispatchQueue::Attributes::concurrent);
    EXPECT_EQ(queue.sync([&] { return queue.sync([] { return 5; }); }), 5);
}

TEST_F(DispatchQueueDeathTest, SyncOntoTheMainQueueFromTheMainThreadIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(DispatchQueue::main().sync([] {}), "main queue");
}

TEST(MainQueueTest, WorkRunsOnlyWhenDrainedOnTheMainThread) {
    ASSERT_TRUE(MainLoop::isMainThread());
    MainLoop::drain();
    std::vector<int> order;
    bool onMain = false;
    std::thread producer([&] {
        EXPECT_FALSE(MainLoop::isMainThread());
        for (int i = 0; i < 3; ++i) {
            DispatchQueue::main().async([&, i] {
                order.push_back(i);
                onMain = MainLoop::isMainThread() && DispatchQueue::main().isCurrent();
            });
        }
    });
    producer.join();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(MainLoop::drain(), 3u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onMain);
}

TEST(MainQueueTest, DrainLeavesWorkQueuedDuringTheDrainForTheNextOne) {
    int second = 0;
    DispatchQueue::main().async([&] { DispatchQueue::main().async([&] { ++second; }); });
    EXPECT_EQ(MainLoop::drain(), 1u);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(MainLoop::drain(), 1u);
    EXPECT_EQ(second, 1);
}

TEST(MainQueueTest, SyncFromAWorkerRunsOnTheMainThreadWhileTheLoopRuns) {
    std::atomic<bool> ranOnMain{false};
    std::atomic<int> answer{0};
    std::thread worker([&] {
        answer = DispatchQueue::main().sync([&] {
            ranOnMain = MainLoop::isMainThread();
            return 7;
        });
    });
    EXPECT_TRUE(MainLoop::runUntil([&] { return answer.load() == 7; }, 5s));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

TEST(MainQueueTest, RunUntilGivesUpAfterTheTimeout) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(MainQueueTest, InstalledDriverIsWokenForNewWork) {
    std::atomic<int> wakes{0};
    MainLoop::setDriver([&] { wakes.fetch_add(1); });
    int ran = 0;
    std::thread([&] { DispatchQueue::main().async([&] { ++ran; }); }).join();
    MainLoop::setDriver(nullptr);
    EXPECT_GE(wakes.load(), 1);
    EXPECT_EQ(ran, 0);  // the driver only asks for a drain
    MainLoop::drain();
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace platform::dispatch
