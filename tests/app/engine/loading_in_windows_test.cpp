#include "app/engine/loading_in_windows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Pictures are read side by side and taken in order; one that takes long (a document
// waiting for its renderer) holds up only those behind it: the pictures after it in its
// window go on being read, as many as are not yet taken, never more. They are read by a
// window's worth of threads, not one thread each.
TEST(LoadingInWindows, ASlowPictureHoldsUpOnlyThoseBehindItAndNoMoreThanTheWindowIsEverRead) {
    constexpr std::size_t kCount = 24, kWindow = 4;
    std::mutex mutex;
    std::condition_variable changed;
    bool slowMayEnd = false;
    std::size_t started = 0, taken = 0, mostAhead = 0, threads = 0;
    // Fresh in every new thread, whatever id the system gives it.
    thread_local bool counted = false;
    std::vector<std::size_t> order;
    gw::loadInWindows<std::size_t>(
        kCount, kWindow,
        [&](std::size_t i) {
            std::unique_lock lock(mutex);
            if (!counted) {
                counted = true;
                ++threads;
            }
            ++started;
            // Read but not yet taken, this one included.
            mostAhead = std::max(mostAhead, started - taken);
            changed.notify_all();
            if (i == 1) {
                // The picture after the slow one's window starts while it is still read:
                // the first was taken, and that made room. (Bounded, so that a fault
                // fails the test rather than hanging it.)
                EXPECT_TRUE(changed.wait_for(lock, 60s, [&] { return started > kWindow; }))
                    << "nothing past the slow picture's window was read while it was";
                slowMayEnd = true;
                changed.notify_all();
            }
            return i;
        },
        [&](std::size_t i, std::size_t result) {
            std::lock_guard lock(mutex);
            ++taken;
            order.push_back(result);
            EXPECT_EQ(result, i);
        });
    EXPECT_TRUE(slowMayEnd);
    EXPECT_EQ(started, kCount);
    EXPECT_LE(mostAhead, kWindow);
    EXPECT_LE(threads, kWindow);
    std::vector<std::size_t> expected(kCount);
    for (std::size_t i = 0; i < kCount; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
}

// A caller that stops taking (the conversion was stopped) ends with the pictures under way
// read, and none started after.
TEST(LoadingInWindows, ATakeThatThrowsEndsAfterThePicturesUnderWayAndStartsNoMore) {
    std::atomic<std::size_t> started{0}, finished{0};
    EXPECT_THROW(gw::loadInWindows<int>(
                     100, 3,
                     [&](std::size_t) {
                         ++started;
                         ++finished;
                         return 0;
                     },
                     [&](std::size_t i, int) {
                         if (i == 5) throw std::runtime_error("stopped");
                     }),
                 std::runtime_error);
    EXPECT_EQ(started.load(), finished.load());
    EXPECT_LE(started.load(), 5u + 3u);
    // Nothing at all, and a window wider than the pictures.
    gw::loadInWindows<int>(0, 4, [](std::size_t) { return 0; }, [](std::size_t, int) { ADD_FAILURE(); });
    std::vector<std::size_t> taken;
    gw::loadInWindows<std::size_t>(2, 16, [](std::size_t i) { return i; },
                                   [&](std::size_t, std::size_t i) { taken.push_back(i); });
    EXPECT_EQ(taken, (std::vector<std::size_t>{0, 1}));
}

}  // namespace
