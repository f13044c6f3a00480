#include "platform/dispatch/operation_queue.hpp"

#include "platform/dispatch/group.hpp"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

// An operation that notes when its work started and ended on a shared counter.
struct Recorded {
    std::shared_ptr<BlockOperation> operation;
    std::atomic<long> started{-1};
    std::atomic<long> ended{-1};
    std::atomic<int> runs{0};
};

std::vector<std::unique_ptr<Recorded>> makeRecorded(std::size_t count, std::atomic<long>& clock) {
    std::vector<std::unique_ptr<Recorded>> made;
    for (std::size_t i = 0; i < count; ++i) {
        auto r = std::make_unique<Recorded>();
        auto* raw = r.get();
        r->operation = std::make_shared<BlockOperation>([raw, &clock] {
            raw->runs.fetch_add(1);
            raw->started = clock.fetch_add(1);
            raw->ended = clock.fetch_add(1);
        });
        made.push_back(std::move(r));
    }
    return made;
}

TEST(OperationQueueTest, DependencyChainsAcrossQueuesAreHonouredUnderLoad) {
    constexpr std::size_t kChains = 150, kLength = 20;
    std::atomic<long> clock{0};
    auto ops = makeRecorded(kChains * kLength, clock);
    auto at = [&](std::size_t chain, std::size_t step) -> Recorded& { return *ops[chain * kLength + step]; };

    OperationQueue wide, narrow, serial;
    narrow.setMaxConcurrentOperationCount(3);
    serial.setMaxConcurrentOperationCount(1);
    OperationQueue* queues[] = {&wide, &narrow, &serial};

    // Each step waits for the step before it in its own chain and in the neighbouring chain.
    std::vector<std::pair<std::size_t, std::size_t>> edges;  // (dependent, dependency) indices
    for (std::size_t c = 0; c < kChains; ++c) {
        for (std::size_t s = 1; s < kLength; ++s) {
            at(c, s).operation->addDependency(at(c, s - 1).operation);
            edges.emplace_back(c * kLength + s, c * kLength + s - 1);
            auto other = (c + 1) % kChains;
            at(c, s).operation->addDependency(at(other, s - 1).operation);
            edges.emplace_back(c * kLength + s, other * kLength + s - 1);
        }
    }
    // Add the last steps first, so most operations wait on ones not yet queued.
    for (std::size_t i = ops.size(); i-- > 0;) queues[i % 3]->addOperation(ops[i]->operation);
    for (auto* queue : queues) queue->waitUntilAllOperationsAreFinished();

    for (auto& r : ops) {
        ASSERT_EQ(r->runs, 1);
        ASSERT_TRUE(r->operation->isFinished());
    }
    for (auto [dependent, dependency] : edges) {
        ASSERT_GT(ops[dependent]->started.load(), ops[dependency]->ended.load());
    }
    for (auto* queue : queues) EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueTest, CancelledOperationsNeverRunButStillFinishAndReleaseDependents) {
    std::atomic<long> clock{0};
    auto ops = makeRecorded(3000, clock);
    std::atomic<int> completions{0};
    std::mt19937 random(7);
    std::vector<bool> cancelledEarly(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        ops[i]->operation->setCompletionBlock([&] { completions.fetch_add(1); });
        if (i >= 2) ops[i]->operation->addDependency(ops[random() % i]->operation);
        if (random() % 3 == 0) {
            ops[i]->operation->cancel();
            cancelledEarly[i] = true;
        }
    }
    OperationQueue first, second;
    second.setMaxConcurrentOperationCount(2);
    for (std::size_t i = 0; i < ops.size(); ++i) (i % 2 ? first : second).addOperation(ops[i]->operation);

    // And cancel the rest of one queue while it is busy.
    std::this_thread::sleep_for(1ms);
    auto remaining = second.operations();
    second.cancelAllOperations();
    first.waitUntilAllOperationsAreFinished();
    second.waitUntilAllOperationsAreFinished();

    for (std::size_t i = 0; i < ops.size(); ++i) {
        auto& r = *ops[i];
        ASSERT_TRUE(r.operation->isFinished()) << i;
        if (cancelledEarly[i]) {
            ASSERT_EQ(r.runs, 0) << i;
        }
        ASSERT_LE(r.runs, 1) << i;
        // A dependent that ran did so after its dependency had finished, cancelled or not.
        if (r.runs == 1) {
            for (auto& dependency : r.operation->dependencies()) ASSERT_TRUE(dependency->isFinished());
        }
    }
    EXPECT_EQ(completions, static_cast<int>(ops.size()));
    EXPECT_EQ(first.operationCount() + second.operationCount(), 0u);
}

TEST(OperationQueueTest, CancelAllOnASuspendedQueueRetiresEverythingUnrun) {
    OperationQueue queue;
    queue.setSuspended(true);
    std::atomic<int> ran{0};
    for (int i = 0; i < 100; ++i) queue.addOperation([&] { ran.fetch_add(1); });
    EXPECT_EQ(queue.operationCount(), 100u);
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(ran, 0);
    queue.cancelAllOperations();
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, CancelledOperationIsRetiredWithoutWaitingForItsDependencies) {
    OperationQueue held;
    held.setSuspended(true);
    auto dependency = std::make_shared<BlockOperation>([] {});
    held.addOperation(dependency);

    OperationQueue queue;
    bool ran = false;
    auto dependent = std::make_shared<BlockOperation>([&] { ran = true; });
    dependent->addDependency(dependency);
    queue.addOperation(dependent);
    EXPECT_FALSE(dependent->isReady());
    dependent->cancel();
    dependent->waitUntilFinished();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(dependency->isFinished());
    held.setSuspended(false);
    held.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueueTest, MaxConcurrentOperationCountIsHonoured) {
    for (int limit : {1, 3}) {
        OperationQueue queue;
        queue.setMaxConcurrentOperationCount(limit);
        EXPECT_EQ(queue.maxConcurrentOperationCount(), limit);
        std::atomic<int> running{0}, peak{0};
        std::vector<int> order;  // meaningful for limit 1 only
        std::mutex orderMutex;
        std::vector<std::shared_ptr<Operation>> ops;
        for (int i = 0; i < 200; ++i) {
            ops.push_back(std::make_shared<BlockOperation>([&, i] {
                int now = running.fetch_add(1) + 1;
                int seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(50us);
                {
                    std::lock_guard lock(orderMutex);
                    order.push_back(i);
                }
                running.fetch_sub(1);
            }));
        }
        queue.addOperations(ops, true);
        EXPECT_LE(peak.load(), limit);
        if (limit == 1) {
            ASSERT_EQ(order.size(), 200u);
            for (int i = 0; i < 200; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
        }
    }
}

TEST(OperationQueueTest, DependencyAddedAfterQueuingIsStillWaitedFor) {
    OperationQueue queue, other;
    queue.setSuspended(true);
    other.setSuspended(true);
    std::atomic<long> clock{0};
    auto ops = makeRecorded(2, clock);
    queue.addOperation(ops[1]->operation);  // ready when queued
    ops[1]->operation->addDependency(ops[0]->operation);
    other.addOperation(ops[0]->operation);
    queue.setSuspended(false);
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(ops[1]->runs, 0);
    other.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_GT(ops[1]->started.load(), ops[0]->ended.load());
}

// Readiness follows the dependencies as they finish, are removed and are added, in any
// order: finished ones are not asked again, and nothing unfinished is passed over.
TEST(OperationTest, ReadinessFollowsDependenciesFinishedRemovedAndAdded) {
    auto make = [] { return std::make_shared<BlockOperation>([] {}); };
    auto waiting = make();
    std::vector<std::shared_ptr<BlockOperation>> deps;
    for (int i = 0; i < 4; ++i) {
        deps.push_back(make());
        waiting->addDependency(deps.back());
    }
    EXPECT_FALSE(waiting->isReady());
    deps[0]->start();
    deps[1]->start();
    EXPECT_FALSE(waiting->isReady());  // the first two are behind it now
    waiting->removeDependency(deps[0]);
    EXPECT_FALSE(waiting->isReady()) << "a dependency removed before the unfinished ones passed one over";
    deps[3]->start();  // out of order
    EXPECT_FALSE(waiting->isReady());
    waiting->removeDependency(deps[2]);  // the one unfinished
    EXPECT_TRUE(waiting->isReady());
    auto late = make();
    waiting->addDependency(late);
    EXPECT_FALSE(waiting->isReady());
    waiting->removeDependency(deps[1]);
    late->start();
    EXPECT_TRUE(waiting->isReady());
    EXPECT_EQ(waiting->dependencies().size(), 2u);
}

TEST(OperationQueueTest, AnOperationRunsOnceAndBelongsToOneQueue) {
    OperationQueue a, b;
    a.setSuspended(true);
    auto op = std::make_shared<BlockOperation>([] {});
    a.addOperation(op);
    EXPECT_THROW(a.addOperation(op), std::invalid_argument);
    EXPECT_THROW(b.addOperation(op), std::invalid_argument);
    a.setSuspended(false);
    op->waitUntilFinished();
    EXPECT_THROW(b.addOperation(op), std::invalid_argument);
    EXPECT_THROW(op->addExecutionBlock([] {}), std::logic_error);
    EXPECT_THROW(b.addOperation(std::shared_ptr<Operation>()), std::invalid_argument);
}

TEST(OperationQueueTest, CompletionBlockRunsOnceBeforeWaitersWake) {
    OperationQueue queue;
    std::atomic<int> completions{0};
    auto op = std::make_shared<BlockOperation>([] { std::this_thread::sleep_for(1ms); });
    op->setCompletionBlock([&] { completions.fetch_add(1); });
    queue.addOperation(op);
    op->waitUntilFinished();
    EXPECT_EQ(completions, 1);
    EXPECT_FALSE(op->hasCompletionBlock());  // dropped after running, captures released
}

TEST(OperationQueueTest, NameQualityOfServiceAndBlocksRunInOrder) {
    OperationQueue queue;
    EXPECT_FALSE(queue.name().has_value());
    queue.setName("test.queue");
    queue.setQualityOfService(QualityOfService::userInitiated);
    EXPECT_EQ(queue.name(), "test.queue");
    EXPECT_EQ(queue.qualityOfService(), QualityOfService::userInitiated);

    std::vector<int> order;
    auto op = std::make_shared<BlockOperation>([&] { order.push_back(1); });
    op->addExecutionBlock([&] { order.push_back(2); });
    EXPECT_EQ(op->executionBlockCount(), 2u);
    queue.addOperations({op}, true);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// Finishes when the test says so, like work that waits on other operations.
class ToldToFinish : public AsynchronousOperation {
public:
    std::atomic<bool> begun{false};

protected:
    void main() override { begun = true; }
};

TEST(AsynchronousOperationTest, HoldsItsSlotAndDependentsUntilToldToFinish) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    auto async = std::make_shared<ToldToFinish>();
    EXPECT_TRUE(async->isAsynchronous());
    EXPECT_FALSE(async->isExecuting());
    EXPECT_FALSE(async->isFinished());

    std::vector<Operation::Change> changes;
    std::mutex changesMutex;
    async->addObserver([&](Operation&, Operation::Change change) {
        std::lock_guard lock(changesMutex);
        changes.push_back(change);
    });

    std::atomic<bool> nextRan{false}, dependentRan{false};
    queue.addOperation(async);
    queue.addOperation([&] { nextRan = true; });
    OperationQueue other;
    auto dependent = std::make_shared<BlockOperation>([&] { dependentRan = true; });
    dependent->addDependency(async);
    other.addOperation(dependent);

    while (!async->begun) std::this_thread::yield();
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(async->isExecuting());
    EXPECT_EQ(async->executionState(), AsynchronousOperation::ExecutionState::executing);
    EXPECT_FALSE(nextRan);
    EXPECT_FALSE(dependentRan);
    EXPECT_EQ(queue.operationCount(), 2u);

    std::thread([&] { async->finish(); }).join();
    queue.waitUntilAllOperationsAreFinished();
    other.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(async->isFinished());
    EXPECT_FALSE(async->isExecuting());
    EXPECT_TRUE(nextRan);
    EXPECT_TRUE(dependentRan);

    // The state only moves forward, and the finish is handled once.
    async->markExecuting();
    async->finish();
    EXPECT_TRUE(async->isFinished());
    std::lock_guard lock(changesMutex);
    EXPECT_EQ(changes, (std::vector<Operation::Change>{Operation::Change::executing, Operation::Change::finished}));
}

TEST(AsynchronousOperationTest, CancelledBeforeStartFinishesWithoutBeginning) {
    OperationQueue queue;
    auto async = std::make_shared<ToldToFinish>();
    async->cancel();
    queue.addOperation(async);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(async->isFinished());
    EXPECT_FALSE(async->begun);
}

TEST(AsynchronousOperationTest, ManyFinishingFromOtherThreadsEmptyTheQueue) {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(4);
    std::vector<std::shared_ptr<ToldToFinish>> ops;
    for (int i = 0; i < 500; ++i) {
        auto op = std::make_shared<ToldToFinish>();
        ops.push_back(op);
        queue.addOperation(op);
    }
    auto finisher = DispatchQueue::global(QualityOfService::utility);
    // Finish each as soon as it has begun, from a different thread than its own.
    std::thread driver([&] {
        for (auto& op : ops) {
            while (!op->begun) std::this_thread::yield();
            finisher.async([op] { op->finish(); });
        }
    });
    queue.waitUntilAllOperationsAreFinished();
    driver.join();
    for (auto& op : ops) EXPECT_TRUE(op->isFinished());
}

}  // namespace
}  // namespace platform::dispatch

TEST(OperationQueueTest, UsableProcessorsFollowTheAffinityNotTheMachine) {
    cpu_set_t all;
    CPU_ZERO(&all);
    ASSERT_EQ(sched_getaffinity(0, sizeof(all), &all), 0);
    EXPECT_EQ(platform::dispatch::usableProcessorCount(), static_cast<std::size_t>(CPU_COUNT(&all)));
    std::vector<int> allowed;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) allowed.push_back(cpu);
    }
    for (std::size_t wanted : {std::size_t{1}, std::size_t{2}}) {
        if (wanted > allowed.size()) continue;
        std::size_t seen = 0;
        // A thread of its own: narrowing it leaves the test's other threads alone.
        std::thread([&] {
            cpu_set_t narrow;
            CPU_ZERO(&narrow);
            for (std::size_t i = 0; i < wanted; ++i) CPU_SET(allowed[i], &narrow);
            if (sched_setaffinity(0, sizeof(narrow), &narrow) == 0) seen = platform::dispatch::usableProcessorCount();
        }).join();
        EXPECT_EQ(seen, wanted);
    }
}
