#include "platform/darwin/mach_port.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace platform::darwin {
namespace {

struct Simple {
    MsgHeader header;
    std::uint32_t payload[4];
};

port_t receive_right() {
    port_t name = port_null;
    EXPECT_EQ(mach_port_allocate(task_self(), port_right_receive, &name), kern_success);
    return name;
}

std::uint32_t refs(port_t name, int right) {
    std::uint32_t count = 0xFFFF;
    EXPECT_EQ(mach_port_get_refs(task_self(), name, right, &count), kern_success);
    return count;
}

int send(port_t dest, std::uint32_t disposition, std::int32_t id, std::uint32_t value, port_t reply = port_null,
         std::uint32_t reply_disposition = 0, int extra_option = 0, std::uint32_t timeout = 0) {
    Simple msg{};
    msg.header.msgh_bits = msgh_bits(disposition, reply_disposition);
    msg.header.msgh_remote_port = dest;
    msg.header.msgh_local_port = reply;
    msg.header.msgh_id = id;
    msg.payload[0] = value;
    return mach_msg(&msg.header, mach_send_msg | extra_option, sizeof msg, 0, port_null, timeout, port_null);
}

int receive(port_t name, void* buffer, std::uint32_t size, int extra_option = mach_rcv_timeout,
            std::uint32_t timeout = 10000) {
    return mach_msg(static_cast<MsgHeader*>(buffer), mach_rcv_msg | extra_option, 0, size, name, timeout, port_null);
}

TEST(MachPortTest, RightsAndUserReferencesFollowTheCallsAndDeadNamesOutliveTheReceiveRight) {
    port_t port = receive_right();
    std::size_t in_use = mach_port_names_in_use();
    EXPECT_EQ(refs(port, port_right_receive), 1u);
    EXPECT_EQ(refs(port, port_right_send), 0u);
    EXPECT_EQ(mach_port_mod_refs(task_self(), port, port_right_send, 1), kern_invalid_right);  // nothing to add to
    EXPECT_EQ(mach_port_insert_right(task_self(), port, port, msg_type_make_send), kern_success);
    EXPECT_EQ(mach_port_insert_right(task_self(), port, port + 1, msg_type_make_send), kern_invalid_value);
    EXPECT_EQ(mach_port_mod_refs(task_self(), port, port_right_send, 2), kern_success);
    EXPECT_EQ(refs(port, port_right_send), 3u);
    EXPECT_EQ(mach_port_mod_refs(task_self(), port, port_right_send, -5), kern_invalid_value);
    EXPECT_EQ(mach_port_deallocate(task_self(), port), kern_success);
    EXPECT_EQ(refs(port, port_right_send), 2u);

    EXPECT_EQ(mach_port_mod_refs(task_self(), port, port_right_receive, -1), kern_success);
    EXPECT_EQ(refs(port, port_right_dead_name), 2u);
    EXPECT_EQ(send(port, msg_type_copy_send, 1, 0), mach_send_invalid_dest);
    Simple buffer{};
    EXPECT_EQ(receive(port, &buffer, sizeof buffer), mach_rcv_port_died);
    EXPECT_EQ(mach_port_deallocate(task_self(), port), kern_success);
    EXPECT_EQ(mach_port_deallocate(task_self(), port), kern_success);
    EXPECT_EQ(mach_port_names_in_use(), in_use - 1);
    EXPECT_EQ(mach_port_deallocate(task_self(), port), kern_invalid_name);
    // A reused slot gets a new name: the stale one stays refused.
    port_t again = receive_right();
    EXPECT_NE(again, port);
    EXPECT_EQ(mach_port_get_refs(task_self(), port, port_right_receive, &buffer.payload[0]), kern_invalid_name);
    EXPECT_EQ(mach_port_destroy(task_self(), again), kern_success);
    EXPECT_EQ(mach_port_allocate(0x1234, port_right_receive, &again), kern_invalid_argument);
}

TEST(MachPortTest, RequestReachesTheReceiverWithItsReplyPortAndTheReplyConsumesTheSendOnceRight) {
    port_t server = receive_right();
    port_t reply = mach_reply_port();
    ASSERT_EQ(mach_port_insert_right(task_self(), server, server, msg_type_make_send), kern_success);
    ASSERT_EQ(send(server, msg_type_copy_send, 2405, 42, reply, msg_type_make_send_once), mach_msg_success);
    EXPECT_EQ(refs(reply, port_right_send_once), 1u);

    Simple request{};
    ASSERT_EQ(receive(server, &request, sizeof request), mach_msg_success);
    EXPECT_EQ(request.header.msgh_id, 2405);
    EXPECT_EQ(request.header.msgh_size, sizeof request);
    EXPECT_EQ(request.header.msgh_local_port, server);
    EXPECT_EQ(request.header.msgh_remote_port, reply);
    EXPECT_EQ(msgh_bits_remote(request.header.msgh_bits), static_cast<std::uint32_t>(msg_type_move_send_once));
    EXPECT_EQ(request.payload[0], 42u);

    ASSERT_EQ(send(request.header.msgh_remote_port, msgh_bits_remote(request.header.msgh_bits),
                   request.header.msgh_id + 100, 7),
              mach_msg_success);
    EXPECT_EQ(refs(reply, port_right_send_once), 0u);
    // The send-once right is gone: a second reply is refused.
    EXPECT_EQ(send(reply, msg_type_move_send_once, 2505, 8), mach_send_invalid_dest);
    Simple answer{};
    ASSERT_EQ(receive(reply, &answer, sizeof answer), mach_msg_success);
    EXPECT_EQ(answer.header.msgh_id, 2505);
    EXPECT_EQ(answer.payload[0], 7u);

    // A carried copy-send right in a descriptor is one more reference on arrival.
    struct {
        MsgHeader header;
        MsgBody body;
        PortDescriptor port;
    } carrier{};
    carrier.header.msgh_bits = msgh_bits_complex | msgh_bits(msg_type_copy_send, 0);
    carrier.header.msgh_remote_port = server;
    carrier.body.msgh_descriptor_count = 1;
    carrier.port = PortDescriptor{server, 0, 0, msg_type_copy_send, 0};
    ASSERT_EQ(mach_msg(&carrier.header, mach_send_msg, sizeof carrier, 0, port_null, 0, port_null), mach_msg_success);
    EXPECT_EQ(refs(server, port_right_send), 2u);
    decltype(carrier) got{};
    ASSERT_EQ(receive(server, &got, sizeof got), mach_msg_success);
    EXPECT_EQ(got.port.name, server);
    EXPECT_EQ(got.port.disposition, msg_type_move_send);
    EXPECT_EQ(mach_port_destroy(task_self(), server), kern_success);
    EXPECT_EQ(mach_port_destroy(task_self(), reply), kern_success);
}

TEST(MachPortTest, TimeoutsAndOversizedMessagesAreReportedWithoutLosingWhatIsQueued) {
    port_t port = receive_right();
    ASSERT_EQ(mach_port_insert_right(task_self(), port, port, msg_type_make_send), kern_success);
    Simple buffer{};
    EXPECT_EQ(receive(port, &buffer, sizeof buffer, mach_rcv_timeout, 0), mach_rcv_timed_out);
    EXPECT_EQ(receive(port, &buffer, sizeof buffer, mach_rcv_timeout, 20), mach_rcv_timed_out);

    for (std::uint32_t i = 0; i < port_queue_limit; ++i) ASSERT_EQ(send(port, msg_type_copy_send, 1, i), mach_msg_success);
    EXPECT_EQ(send(port, msg_type_copy_send, 1, 99, port_null, 0, mach_send_timeout, 20), mach_send_timed_out);
    for (std::uint32_t i = 0; i < port_queue_limit; ++i) {
        ASSERT_EQ(receive(port, &buffer, sizeof buffer), mach_msg_success);
        EXPECT_EQ(buffer.payload[0], i);
    }

    struct {
        MsgHeader header;
        unsigned char data[2000];
    } big{};
    big.header.msgh_bits = msgh_bits(msg_type_copy_send, 0);
    big.header.msgh_remote_port = port;
    big.header.msgh_id = 9;
    big.data[1999] = 0xAB;
    ASSERT_EQ(mach_msg(&big.header, mach_send_msg, sizeof big, 0, port_null, 0, port_null), mach_msg_success);
    ASSERT_EQ(mach_msg(&big.header, mach_send_msg, sizeof big, 0, port_null, 0, port_null), mach_msg_success);
    // With MACH_RCV_LARGE the message stays queued and its size is announced.
    EXPECT_EQ(receive(port, &buffer, sizeof buffer, mach_rcv_timeout | mach_rcv_large), mach_rcv_too_large);
    EXPECT_EQ(buffer.header.msgh_size, sizeof big);
    std::memset(&big, 0, sizeof big);
    ASSERT_EQ(receive(port, &big, sizeof big, mach_rcv_timeout | mach_rcv_large), mach_msg_success);
    EXPECT_EQ(big.header.msgh_id, 9);
    EXPECT_EQ(big.data[1999], 0xAB);
    // Without it the message is dropped.
    EXPECT_EQ(receive(port, &buffer, sizeof buffer), mach_rcv_too_large);
    EXPECT_EQ(receive(port, &buffer, sizeof buffer, mach_rcv_timeout, 0), mach_rcv_timed_out);
    EXPECT_EQ(send(port, msg_type_copy_send, 1, 0, port_null, 0, 0, 0), mach_msg_success);
    MsgHeader tiny{};
    tiny.msgh_remote_port = port;
    tiny.msgh_bits = msgh_bits(msg_type_copy_send, 0);
    EXPECT_EQ(mach_msg(&tiny, mach_send_msg, 20, 0, port_null, 0, port_null), mach_send_msg_too_small);
    EXPECT_EQ(mach_port_destroy(task_self(), port), kern_success);
}

TEST(MachPortTest, PortSetDeliversFromEveryMemberInSendingOrderAndNoSendersFiresOnce) {
    port_t set = port_null;
    ASSERT_EQ(mach_port_allocate(task_self(), port_right_port_set, &set), kern_success);
    port_t first = receive_right();
    port_t second = receive_right();
    port_t notify = receive_right();
    ASSERT_EQ(mach_port_insert_right(task_self(), first, first, msg_type_make_send), kern_success);
    ASSERT_EQ(mach_port_insert_right(task_self(), second, second, msg_type_make_send), kern_success);
    port_t previous = 1;
    ASSERT_EQ(mach_port_request_notification(task_self(), first, mach_notify_no_senders, 1, notify,
                                             msg_type_make_send_once, &previous),
              kern_success);
    EXPECT_EQ(previous, port_null);
    ASSERT_EQ(send(second, msg_type_copy_send, 1, 10), mach_msg_success);  // queued before joining the set
    for (port_t member : {first, second, notify}) ASSERT_EQ(mach_port_move_member(task_self(), member, set), kern_success);
    ASSERT_EQ(send(first, msg_type_copy_send, 2, 20), mach_msg_success);
    ASSERT_EQ(send(second, msg_type_copy_send, 3, 30), mach_msg_success);
    ASSERT_EQ(mach_port_deallocate(task_self(), first), kern_success);

    Simple buffer{};
    std::vector<std::int32_t> ids;
    while (receive(set, &buffer, sizeof buffer, mach_rcv_timeout, 0) == mach_msg_success) {
        ids.push_back(buffer.header.msgh_id);
        if (buffer.header.msgh_id == mach_notify_no_senders) {
            EXPECT_EQ(buffer.header.msgh_local_port, notify);
        }
    }
    EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3, mach_notify_no_senders}));
    // One shot: new senders going away again tell nobody.
    ASSERT_EQ(mach_port_insert_right(task_self(), first, first, msg_type_make_send), kern_success);
    ASSERT_EQ(mach_port_deallocate(task_self(), first), kern_success);
    EXPECT_EQ(receive(set, &buffer, sizeof buffer, mach_rcv_timeout, 0), mach_rcv_timed_out);

    EXPECT_EQ(mach_port_move_member(task_self(), second, port_null), kern_success);
    ASSERT_EQ(send(second, msg_type_copy_send, 4, 40), mach_msg_success);
    EXPECT_EQ(receive(set, &buffer, sizeof buffer, mach_rcv_timeout, 0), mach_rcv_timed_out);
    EXPECT_EQ(mach_port_move_member(task_self(), second, second), kern_invalid_right);
    for (port_t name : {set, first, second, notify}) EXPECT_EQ(mach_port_destroy(task_self(), name), kern_success);
}

TEST(MachPortTest, ManySendersThroughOnePortSetLoseNothingAndTheLastSendRightNotifiesOnce) {
    constexpr int senders = 8;
    constexpr std::uint32_t per_sender = 10000;
    port_t set = port_null;
    ASSERT_EQ(mach_port_allocate(task_self(), port_right_port_set, &set), kern_success);
    port_t data = receive_right();
    port_t notify = receive_right();
    ASSERT_EQ(mach_port_insert_right(task_self(), data, data, msg_type_make_send), kern_success);
    ASSERT_EQ(mach_port_mod_refs(task_self(), data, port_right_send, senders - 1), kern_success);
    ASSERT_EQ(mach_port_request_notification(task_self(), data, mach_notify_no_senders, 1, notify,
                                             msg_type_make_send_once, nullptr),
              kern_success);
    ASSERT_EQ(mach_port_move_member(task_self(), data, set), kern_success);
    ASSERT_EQ(mach_port_move_member(task_self(), notify, set), kern_success);

    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([data, s] {
            for (std::uint32_t i = 0; i < per_sender; ++i) {
                Simple msg{};
                msg.header.msgh_bits = msgh_bits(msg_type_copy_send, 0);
                msg.header.msgh_remote_port = data;
                msg.header.msgh_id = s;
                msg.payload[0] = i;
                if (mach_msg(&msg.header, mach_send_msg, sizeof msg, 0, port_null, 0, port_null) != mach_msg_success) {
                    ADD_FAILURE() << "send failed";
                    return;
                }
            }
            mach_port_deallocate(task_self(), data);
        });
    }
    std::vector<std::uint32_t> next(senders, 0);
    std::uint32_t received = 0;
    int notifications = 0;
    Simple buffer{};
    while (received < senders * per_sender || notifications == 0) {
        int status = receive(set, &buffer, sizeof buffer, mach_rcv_timeout, 60000);
        ASSERT_EQ(status, mach_msg_success) << received;
        if (buffer.header.msgh_id == mach_notify_no_senders) {
            ++notifications;
            continue;
        }
        auto sender = static_cast<std::size_t>(buffer.header.msgh_id);
        ASSERT_LT(sender, next.size());
        ASSERT_EQ(buffer.payload[0], next[sender]) << "sender " << sender;  // in order, none lost
        ++next[sender];
        ++received;
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(receive(set, &buffer, sizeof buffer, mach_rcv_timeout, 0), mach_rcv_timed_out);
    for (port_t name : {set, data, notify}) EXPECT_EQ(mach_port_destroy(task_self(), name), kern_success);
}

}  // namespace
}  // namespace platform::darwin
