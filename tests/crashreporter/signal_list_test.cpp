// The lock-free list signal handlers walk: order of appends and prepends, and a node removed
// under a reader stays walkable and is reused rather than freed.
#include <gtest/gtest.h>

#include "crashreporter/signal_handler.hpp"

using namespace lvcrash;

namespace {

lvcrash_async_list_node* add(lvcrash_async_list* list, int signo, bool at_head = false) {
    lvcrash_async_list_node value{};
    value.value.previous.signo = signo;
    return at_head ? lvcrash_async_list_prepend(list, value) : lvcrash_async_list_append(list, value);
}

std::vector<int> signals_of(lvcrash_async_list* list) {
    std::vector<int> out;
    for (auto* node = lvcrash_async_list_next(list, nullptr); node; node = lvcrash_async_list_next(list, node))
        out.push_back(node->value.previous.signo);
    return out;
}

}  // namespace

TEST(SignalList, RemovalUnderAReaderKeepsTheNodeWalkableAndReusesIt) {
    lvcrash_async_list list{};
    add(&list, 1);
    auto* two = add(&list, 2);
    add(&list, 3);
    add(&list, 0, true);
    EXPECT_EQ(signals_of(&list), (std::vector<int>{0, 1, 2, 3}));

    lvcrash_async_list_reading(&list, true);  // a reader stands on `two`
    lvcrash_async_list_remove(&list, two);
    EXPECT_EQ(signals_of(&list), (std::vector<int>{0, 1, 3}));
    ASSERT_NE(lvcrash_async_list_next(&list, two), nullptr);
    EXPECT_EQ(lvcrash_async_list_next(&list, two)->value.previous.signo, 3) << "the reader walks on";
    lvcrash_async_list_reading(&list, false);

    EXPECT_EQ(add(&list, 9, true), two) << "the spare node is taken first";
    EXPECT_EQ(signals_of(&list), (std::vector<int>{9, 0, 1, 3}));
    while (auto* node = lvcrash_async_list_next(&list, nullptr)) lvcrash_async_list_remove(&list, node);
    EXPECT_EQ(lvcrash_async_list_count(&list), 0u);
    EXPECT_EQ(list.tail.load(), nullptr);
}
