#include "platform/dispatch/timer.hpp"

#include "platform/dispatch/group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using foundation::Clock;
using foundation::ManualClock;

// Every test here runs on a hand-moved clock: nothing fires unless the test advances it.
class ManualClockTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::setCurrent(clock); }
    void TearDown() override { Clock::setCurrent(nullptr); }

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    DispatchQueue queue{"test.timers"};
    // Handlers queued by an advance are done once the serial queue has caught up.
    void settle() { queue.sync([] {}); }
};

TEST_F(ManualClockTest, AsyncAfterFiresWhenTheClockPassesTheDelayAndNotBefore) {
    std::vector<int> fired;  // on the queue only
    queue.asyncAfter(2.0, [&] { fired.push_back(2); });
    queue.asyncAfter(1s, [&] { fired.push_back(1); });
    queue.asyncAfter(5s, [&] { fired.push_back(5); });

    clock->advance(999ms);
    settle();
    EXPECT_TRUE(fired.empty());

    clock->advance(1ms);
    settle();
    EXPECT_EQ(fired, (std::vector<int>{1}));

    // One big step delivers everything due, in deadline order.
    clock->advanceSeconds(10);
    settle();
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 5}));
}

TEST_F(ManualClockTest, ZeroDelayRunsWithoutMovingTheClock) {
    DispatchSemaphore done;
    queue.asyncAfter(0s, [&] { done.signal(); });
    EXPECT_TRUE(done.wait(5s));
}

TEST_F(ManualClockTest, WallClockChangesDoNotFireTimers) {
    int fired = 0;
    queue.asyncAfter(1s, [&] { ++fired; });
    clock->setNow(clock->now() + 3600);
    settle();
    EXPECT_EQ(fired, 0);
    EXPECT_DOUBLE_EQ(Clock::current()->now(), ManualClock::kDefaultStart + 3600);
    clock->advance(1s);
    settle();
    EXPECT_EQ(fired, 1);
}

TEST_F(ManualClockTest, TimerStartsSuspendedAndRepeatsUntilCancelled) {
    DispatchTimer timer(queue);
    int fired = 0;
    timer.setEventHandler([&] { ++fired; });
    timer.schedule(3s, 1s);
    clock->advance(10s);
    settle();
    EXPECT_EQ(fired, 0) << "fired before resume()";

    timer.resume();  // the first deadline has long passed: due now
    clock->advance(0s);
    settle();
    EXPECT_EQ(fired, 1);

    for (int i = 0; i < 3; ++i) {
        clock->advance(1s);
        settle();
    }
    EXPECT_EQ(fired, 4);

    // Several periods in one step merge into a single firing.
    clock->advance(5s);
    settle();
    EXPECT_EQ(fired, 5);

    timer.cancel();
    EXPECT_TRUE(timer.isCancelled());
    clock->advance(10s);
    settle();
    EXPECT_EQ(fired, 5);
}

TEST_F(ManualClockTest, OneShotTimerFiresOnceAndCanBeRescheduled) {
    DispatchTimer timer(queue);
    int fired = 0;
    timer.setEventHandler([&] { ++fired; });
    timer.scheduleSeconds(1);
    timer.resume();
    clock->advance(1s);
    settle();
    clock->advance(10s);
    settle();
    EXPECT_EQ(fired, 1);

    // Replacing the schedule of a pending timer moves its deadline (a flush timer
    // restarted by every new log).
    timer.schedule(3s);
    clock->advance(2s);
    settle();
    timer.schedule(3s);
    clock->advance(2s);
    settle();
    EXPECT_EQ(fired, 1);
    clock->advance(1s);
    settle();
    EXPECT_EQ(fired, 2);
}

TEST_F(ManualClockTest, CancelDropsAFiringAlreadyQueuedOnTheTarget) {
    DispatchTimer timer(queue);
    int fired = 0;
    timer.setEventHandler([&] { ++fired; });
    timer.schedule(1s);
    timer.resume();

    // Hold the queue so the firing waits behind us, then cancel before it runs.
    DispatchSemaphore holding, release;
    queue.async([&] {
        holding.signal();
        release.wait();
    });
    ASSERT_TRUE(holding.wait(5s));
    clock->advance(1s);
    timer.cancel();
    release.signal();
    settle();
    EXPECT_EQ(fired, 0);
}

TEST_F(ManualClockTest, TimersOnTheMainQueueRunWhenTheLoopDrains) {
    int fired = 0;
    DispatchQueue::main().asyncAfter(1s, [&] { ++fired; });
    clock->advance(1s);
    EXPECT_EQ(fired, 0);
    MainLoop::drain();
    EXPECT_EQ(fired, 1);
}

TEST_F(ManualClockTest, TimersStayOnTheirClockAndDieWithIt) {
    int fired = 0;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    queue.asyncAfter(10s, [&] { ++fired; });
    queue.asyncAfter(20s, [&fired, captured] { fired += 100; });
    captured.reset();

    auto next = std::make_shared<ManualClock>();
    Clock::setCurrent(next);
    next->advance(30s);
    settle();
    EXPECT_EQ(fired, 0) << "another clock fired them";

    clock->advance(10s);  // the clock they were set on still moves them
    settle();
    EXPECT_EQ(fired, 1);

    // Once nobody holds the first clock, its last timer is gone with its captures.
    clock.reset();
    next->advance(1s);
    settle();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(fired, 1);
}

TEST(SystemClockTimerTest, AsyncAfterFiresOnRealTime) {
    ASSERT_TRUE(Clock::current()->followsRealTime());
    DispatchQueue queue("test.realtime");
    DispatchSemaphore fired;
    auto start = std::chrono::steady_clock::now();
    queue.asyncAfter(20ms, [&] { fired.signal(); });
    ASSERT_TRUE(fired.wait(5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

}  // namespace
}  // namespace platform::dispatch
