#include "platform/foundation/notification_center.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace pf = platform::foundation;

TEST(NotificationCenter, FiltersByNameAndSender) {
    pf::NotificationCenter center;
    int a = 0, b = 0;
    int senderA = 0, senderB = 0;
    std::vector<std::string> seen;
    center.addObserver("changed", &senderA, [&](const pf::Notification& n) {
        ++a;
        EXPECT_EQ(n.userInfo["k"], pf::Value(1));
    });
    center.addObserver("changed", nullptr, [&](const pf::Notification&) { ++b; });
    center.addObserver("", nullptr, [&](const pf::Notification& n) { seen.push_back(n.name); });
    center.post("changed", &senderA, pf::Value::dict({{"k", 1}}));
    center.post("changed", &senderB, pf::Value::dict({{"k", 1}}));
    center.post("other", &senderA);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"changed", "changed", "other"}));
}

TEST(NotificationCenter, OwnerRemovalEndsOnlyThatOwnersObservations) {
    pf::NotificationCenter center;
    int owner1 = 0, owner2 = 0, calls1 = 0, calls2 = 0;
    center.addObserver("x", nullptr, [&](const pf::Notification&) { ++calls1; }, &owner1);
    center.addObserver("y", nullptr, [&](const pf::Notification&) { ++calls1; }, &owner1);
    center.addObserver("x", nullptr, [&](const pf::Notification&) { ++calls2; }, &owner2);
    center.removeObserver(&owner1, "x");
    center.post("x");
    center.post("y");
    EXPECT_EQ(calls1, 1);
    EXPECT_EQ(calls2, 1);
    center.removeObserver(&owner1);
    center.post("y");
    EXPECT_EQ(calls1, 1);
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenter, HandlersMayRemoveAndAddObserversWhilePosting) {
    pf::NotificationCenter center;
    int second = 0, added = 0;
    pf::NotificationCenter::Token secondToken = 0;
    center.addObserver("n", nullptr, [&](const pf::Notification&) {
        center.removeObserver(secondToken);  // removed before its turn: not called
        center.addObserver("n", nullptr, [&](const pf::Notification&) { ++added; });
    });
    secondToken = center.addObserver("n", nullptr, [&](const pf::Notification&) { ++second; });
    center.post("n");
    EXPECT_EQ(second, 0);
    EXPECT_EQ(added, 0);  // added during the post: from the next post on
    center.post("n");
    EXPECT_EQ(added, 1);
}

TEST(NotificationCenter, DeliversOnPostingThreadsConcurrently) {
    pf::NotificationCenter center;
    std::atomic<int> count{0};
    center.addObserver("tick", nullptr, [&](const pf::Notification&) { ++count; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) center.post("tick");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(count.load(), 2000);
}
