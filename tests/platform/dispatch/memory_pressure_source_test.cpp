#include "platform/dispatch/memory_pressure_source.hpp"

#include "platform/dispatch/group.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(MemoryPressureLevelTest, ReadsTheLevelFromThePressureFileText) {
    struct Case {
        const char* text;
        std::optional<unsigned long> level;
    };
    const Case cases[] = {
        {"some avg10=0.00 avg60=0.00 avg300=0.00 total=1\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=1\n",
         memoryPressureNormal},
        {"some avg10=9.99 avg60=50.00 avg300=0.00 total=1\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=1\n",
         memoryPressureNormal},
        {"some avg10=10.00 avg60=0.00 avg300=0.00 total=1\nfull avg10=9.00 avg60=0.00 avg300=0.00 total=1\n",
         memoryPressureWarning},
        {"some avg10=40.00 avg60=0.00 avg300=0.00 total=1\nfull avg10=12.50 avg60=0.00 avg300=0.00 total=1\n",
         memoryPressureCritical},
        // Kernels before "full" was reported for memory write only the first line.
        {"some avg10=11.00 avg60=0.00 avg300=0.00 total=1\n", memoryPressureWarning},
        {"full avg10=99.00 avg60=0.00 avg300=0.00 total=1\n", std::nullopt},
        {"somewhere avg10=99.00\n", std::nullopt},
        {"some avg10=abc\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::memoryPressureLevelOf(c.text), c.level) << c.text;
}

TEST(MemoryPressureSourceTest, TheProcessWatchesOneWayAndKeepsIt) {
    auto kind = MemoryPressureSource::monitor();
    EXPECT_EQ(MemoryPressureSource::monitor(), kind);
}

// The monitor may deliver real events while a test runs; the tests count only what
// their own simulated levels can explain and use levels the mask filters.
class SimulatedPressureTest : public ::testing::Test {
protected:
    DispatchQueue queue{"test.memorypressure"};
    void settle() { queue.sync([] {}); }
};

TEST_F(SimulatedPressureTest, DeliversMaskedLevelsOnlyAfterResumeAndNeverAfterCancel) {
    MemoryPressureSource source(memoryPressureWarning | memoryPressureCritical, queue);
    std::vector<unsigned long> seen;  // on the queue only
    source.setEventHandler([&] { seen.push_back(source.data()); });

    MemoryPressureSource::simulate(memoryPressureWarning);
    settle();
    EXPECT_TRUE(seen.empty()) << "delivered while suspended";

    source.resume();
    MemoryPressureSource::simulate(memoryPressureNormal);  // not in the mask
    settle();
    EXPECT_TRUE(seen.empty());

    MemoryPressureSource::simulate(memoryPressureCritical);
    settle();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back() & memoryPressureCritical);

    source.cancel();
    EXPECT_TRUE(source.isCancelled());
    std::size_t before = seen.size();
    MemoryPressureSource::simulate(memoryPressureCritical);
    settle();
    EXPECT_EQ(seen.size(), before);
}

TEST_F(SimulatedPressureTest, FiringsWhileTheHandlerIsPendingMergeIntoOne) {
    MemoryPressureSource source(memoryPressureWarning | memoryPressureCritical, queue);
    std::vector<unsigned long> seen;
    source.setEventHandler([&] { seen.push_back(source.data()); });
    source.resume();

    // Hold the serial queue so both firings arrive before the handler can run.
    DispatchSemaphore release;
    queue.async([&] { release.wait(30s); });
    MemoryPressureSource::simulate(memoryPressureWarning);
    MemoryPressureSource::simulate(memoryPressureCritical);
    release.signal();
    settle();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0] & (memoryPressureWarning | memoryPressureCritical),
              memoryPressureWarning | memoryPressureCritical);
    source.cancel();
}

TEST_F(SimulatedPressureTest, ADroppedSourceIsForgottenAndEverySourceHearsTheEvent) {
    int first = 0, second = 0;
    {
        MemoryPressureSource gone(memoryPressureWarning, queue);
        gone.setEventHandler([&] { ++first; });
        gone.resume();
        gone.cancel();
    }
    MemoryPressureSource a(memoryPressureWarning, queue), b(memoryPressureWarning, queue);
    a.setEventHandler([&] { ++second; });
    b.setEventHandler([&] { ++second; });
    a.resume();
    b.resume();
    MemoryPressureSource::simulate(memoryPressureWarning);
    settle();
    EXPECT_EQ(first, 0);
    EXPECT_GE(second, 2);
    a.cancel();
    b.cancel();
}

}  // namespace
}  // namespace platform::dispatch
