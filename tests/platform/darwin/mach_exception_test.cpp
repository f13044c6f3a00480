#include "platform/darwin/mach_exception.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/darwin/thread_control.hpp"

namespace platform::darwin {
namespace {

port_t port_with_send_right() {
    port_t name = port_null;
    EXPECT_EQ(mach_port_allocate(task_self(), port_right_receive, &name), kern_success);
    EXPECT_EQ(mach_port_insert_right(task_self(), name, name, msg_type_make_send), kern_success);
    return name;
}

std::uint32_t send_refs(port_t name) {
    std::uint32_t count = 0;
    EXPECT_EQ(mach_port_get_refs(task_self(), name, port_right_send, &count), kern_success);
    return count;
}

struct PortList {
    std::uint32_t masks[exc_types_count]{};
    port_t ports[exc_types_count]{};
    std::int32_t behaviors[exc_types_count]{};
    std::int32_t flavors[exc_types_count]{};
    std::uint32_t count = exc_types_count;
};

TEST(MachExceptionPortTest, RegistrationsMergeByPortAndTheThreadsOwnComeBeforeTheTasks) {
    constexpr std::uint32_t crash_mask = 0x6E;
    port_t task_port = port_with_send_right();
    port_t thread_port = port_with_send_right();
    const std::int32_t behavior = exception_default | mach_exception_codes;

    PortList previous;
    ASSERT_EQ(task_swap_exception_ports(task_self(), exc_mask(exc_bad_access) | exc_mask(exc_breakpoint), task_port,
                                        behavior, 1, previous.masks, &previous.count, previous.ports,
                                        previous.behaviors, previous.flavors),
              kern_success);
    ASSERT_EQ(previous.count, 1u);
    EXPECT_EQ(previous.ports[0], port_null);
    EXPECT_EQ(previous.masks[0], exc_mask(exc_bad_access) | exc_mask(exc_breakpoint));
    EXPECT_EQ(send_refs(task_port), 3u);  // ours and one for each registered type

    PortList now;
    ASSERT_EQ(task_get_exception_ports(task_self(), crash_mask, now.masks, &now.count, now.ports, now.behaviors,
                                       now.flavors),
              kern_success);
    ASSERT_EQ(now.count, 2u);
    EXPECT_EQ(now.masks[0], exc_mask(exc_bad_access) | exc_mask(exc_breakpoint));
    EXPECT_EQ(now.ports[0], task_port);
    EXPECT_EQ(now.behaviors[0], behavior);
    EXPECT_EQ(now.masks[1], crash_mask & ~now.masks[0]);
    EXPECT_EQ(now.ports[1], port_null);
    EXPECT_EQ(send_refs(task_port), 4u);  // the get handed one over
    EXPECT_EQ(mach_port_deallocate(task_self(), task_port), kern_success);
    PortList tight;
    tight.count = 1;
    ASSERT_EQ(task_get_exception_ports(task_self(), crash_mask, tight.masks, &tight.count, tight.ports,
                                       tight.behaviors, tight.flavors),
              kern_success);
    EXPECT_EQ(tight.count, 1u);
    EXPECT_EQ(mach_port_deallocate(task_self(), tight.ports[0]), kern_success);

    ASSERT_EQ(thread_set_exception_ports(mach_thread_self(), exc_mask(exc_bad_access), thread_port, exception_state,
                                         x86_thread_state64),
              kern_success);
    ExceptionTarget target{};
    ASSERT_TRUE(exception_target_for(mach_thread_self(), exc_bad_access, &target));
    EXPECT_EQ(target.port, thread_port);
    EXPECT_EQ(target.behavior, exception_state);
    ASSERT_TRUE(exception_target_for(mach_thread_self(), exc_breakpoint, &target));
    EXPECT_EQ(target.port, task_port);
    port_t other = port_null;
    std::thread([&] { other = mach_thread_self(); }).join();
    ASSERT_TRUE(exception_target_for(other, exc_bad_access, &target));
    EXPECT_EQ(target.port, task_port);
    EXPECT_FALSE(exception_target_for(other, exc_arithmetic, &target));
    EXPECT_FALSE(exception_target_for(other, 14, &target));

    // Refused: a port without a send right, an unknown behavior, bits beyond the types.
    port_t bare = port_null;
    ASSERT_EQ(mach_port_allocate(task_self(), port_right_receive, &bare), kern_success);
    EXPECT_EQ(task_set_exception_ports(task_self(), exc_mask(exc_arithmetic), bare, exception_default, 1),
              kern_invalid_argument);
    EXPECT_EQ(task_set_exception_ports(task_self(), exc_mask(exc_arithmetic), task_port, 7, 1), kern_invalid_argument);
    EXPECT_EQ(task_set_exception_ports(task_self(), 1u << 14, task_port, exception_default, 1), kern_invalid_argument);

    // Clearing gives the registrations' rights back.
    ASSERT_EQ(thread_set_exception_ports(mach_thread_self(), exc_mask(exc_bad_access), port_null, 0, 0), kern_success);
    ASSERT_EQ(task_set_exception_ports(task_self(), crash_mask, port_null, 0, 0), kern_success);
    EXPECT_EQ(send_refs(task_port), 1u);
    EXPECT_EQ(send_refs(thread_port), 1u);
    for (port_t name : {task_port, thread_port, bare}) EXPECT_EQ(mach_port_destroy(task_self(), name), kern_success);
}

// Answers requests on a port as an exception handler would: the reply's return code is
// given, a state reply doubles every word of the state it got.
class Responder {
public:
    Responder(port_t port, int result) : port_(port), result_(result), thread_([this] { run(); }) {}
    ~Responder() { thread_.join(); }
private:
    void run() {
        alignas(8) unsigned char buffer[message_max_size];
        auto* header = reinterpret_cast<MsgHeader*>(buffer);
        if (mach_msg(header, mach_rcv_msg | mach_rcv_timeout, 0, sizeof buffer, port_, 60000, port_null) != 0) return;
        alignas(8) unsigned char reply[message_max_size]{};
        auto* answer = reinterpret_cast<ExceptionRaiseReply*>(reply);
        answer->header.msgh_bits = msgh_bits(msgh_bits_remote(header->msgh_bits), 0);
        answer->header.msgh_remote_port = header->msgh_remote_port;
        answer->header.msgh_id = header->msgh_id + 100;
        answer->ndr = ndr_record;
        answer->return_code = result_;
        std::uint32_t size = sizeof(ExceptionRaiseReply);
        if (header->msgh_id == mach_exception_raise_state_identity_id || header->msgh_id == exception_raise_state_id) {
            // Two codes: the state follows them (flavor, count, words).
            std::size_t at = header->msgh_id == mach_exception_raise_state_identity_id ? 84 : 48;
            std::uint32_t count = 0;
            std::memcpy(&count, buffer + at + 4, 4);
            std::memcpy(reply + size, buffer + at, 8);
            std::size_t words_at = at + 8;
            for (std::uint32_t i = 0; i < count; ++i) {
                std::uint32_t word = 0;
                std::memcpy(&word, buffer + words_at + i * 4, 4);
                word *= 2;
                std::memcpy(reply + size + 8 + i * 4, &word, 4);
            }
            size += 8 + count * 4;
        }
        mach_msg(&answer->header, mach_send_msg, size, 0, port_null, 0, port_null);
    }
    port_t port_;
    int result_;
    std::thread thread_;
};

TEST(MachExceptionPortTest, RaiseFormsCarryTheirLayoutsAndReturnTheReceiversAnswer) {
    port_t port = port_with_send_right();
    const std::int64_t codes64[2] = {1, 0x7fff12345678};
    for (int answer : {static_cast<int>(kern_success), static_cast<int>(kern_failure)}) {
        Responder responder(port, answer);
        EXPECT_EQ(mach_exception_raise(port, mach_thread_self(), task_self(), exc_bad_access, codes64, 2), answer);
    }
    const std::int32_t codes32[2] = {2, 0x1000};
    {
        Responder responder(port, 0x99);
        EXPECT_EQ(exception_raise(port, mach_thread_self(), task_self(), exc_arithmetic, codes32, 2), 0x99);
    }
    {
        Responder responder(port, kern_success);
        int flavor = x86_thread_state64;
        std::uint32_t old_state[3] = {1, 2, 3};
        std::uint32_t new_state[8] = {};
        std::uint32_t new_count = 8;
        EXPECT_EQ(mach_exception_raise_state_identity(port, mach_thread_self(), task_self(), exc_breakpoint, codes64, 2,
                                                      &flavor, old_state, 3, new_state, &new_count),
                  kern_success);
        EXPECT_EQ(flavor, x86_thread_state64);
        ASSERT_EQ(new_count, 3u);
        EXPECT_EQ(new_state[2], 6u);
    }
    {
        Responder responder(port, kern_success);
        int flavor = x86_thread_state64;
        std::uint32_t old_state[1] = {21};
        std::uint32_t new_state[1] = {};
        std::uint32_t new_count = 1;
        EXPECT_EQ(exception_raise_state(port, exc_breakpoint, codes32, 2, &flavor, old_state, 1, new_state, &new_count),
                  kern_success);
        EXPECT_EQ(new_state[0], 42u);
    }
    // Nobody answers: the bounded wait ends.
    EXPECT_EQ(mach_exception_raise(port, mach_thread_self(), task_self(), exc_bad_access, codes64, 2, 30),
              mach_rcv_timed_out);
    EXPECT_EQ(mach_exception_raise(port, mach_thread_self(), task_self(), exc_bad_access, codes64, 3), mig_bad_arguments);
    port_t dead = port_with_send_right();
    ASSERT_EQ(mach_port_mod_refs(task_self(), dead, port_right_receive, -1), kern_success);
    EXPECT_EQ(mach_exception_raise(dead, mach_thread_self(), task_self(), exc_bad_access, codes64, 2),
              mach_send_invalid_dest);
    EXPECT_EQ(mach_port_destroy(task_self(), dead), kern_success);
    EXPECT_EQ(mach_port_destroy(task_self(), port), kern_success);
}

TEST(MachExceptionPortTest, TheDefaultRequestHasTheLayoutTheServerParses) {
    port_t port = port_with_send_right();
    const std::int64_t codes[2] = {2, 0xdead0};
    std::thread client([&] { mach_exception_raise(port, 0x10000042u, task_self(), exc_bad_access, codes, 2, 60000); });
    alignas(8) unsigned char buffer[256];
    auto* request = reinterpret_cast<MachExceptionRaiseRequest*>(buffer);
    ASSERT_EQ(mach_msg(&request->header, mach_rcv_msg | mach_rcv_timeout, 0, sizeof buffer, port, 60000, port_null),
              mach_msg_success);
    EXPECT_EQ(request->header.msgh_size, 84u);
    EXPECT_EQ(request->header.msgh_id, mach_exception_raise_id);
    EXPECT_NE(request->header.msgh_bits & msgh_bits_complex, 0u);
    EXPECT_EQ(request->body.msgh_descriptor_count, 2u);
    EXPECT_EQ(request->thread.name, 0x10000042u);
    EXPECT_EQ(request->task.name, task_self());
    EXPECT_EQ(request->exception, exc_bad_access);
    EXPECT_EQ(request->code_count, 2u);
    std::int64_t subcode = 0;
    std::memcpy(&subcode, buffer + 76, sizeof subcode);  // packed: the second code is not 8-aligned
    EXPECT_EQ(subcode, 0xdead0);
    ExceptionRaiseReply reply{};
    reply.header.msgh_bits = msgh_bits(msgh_bits_remote(request->header.msgh_bits), 0);
    reply.header.msgh_remote_port = request->header.msgh_remote_port;
    reply.header.msgh_id = request->header.msgh_id + 100;
    ASSERT_EQ(mach_msg(&reply.header, mach_send_msg, sizeof reply, 0, port_null, 0, port_null), mach_msg_success);
    client.join();
    EXPECT_EQ(mach_port_destroy(task_self(), port), kern_success);
}

TEST(MachExceptionPortTest, ThreadStateAnswersTheX86Flavor) {
    std::uint32_t state[x86_thread_state64_count] = {};
    std::uint32_t count = x86_thread_state64_count;
    int local = 0;
#if defined(__x86_64__)
    ASSERT_EQ(thread_get_state(mach_thread_self(), x86_thread_state64, state, &count), kern_success);
    EXPECT_EQ(count, x86_thread_state64_count);
    std::uint64_t rsp = 0;
    std::memcpy(&rsp, state + 2 * 7, 8);
    auto here = reinterpret_cast<std::uintptr_t>(&local);
    EXPECT_LT(here > rsp ? here - rsp : rsp - here, 65536u);
#endif
    count = 10;
    EXPECT_EQ(thread_get_state(mach_thread_self(), x86_thread_state64, state, &count), kern_invalid_argument);
    count = x86_thread_state64_count;
    EXPECT_EQ(thread_get_state(mach_thread_self(), 1, state, &count), kern_invalid_argument);
    (void)local;
}

}  // namespace
}  // namespace platform::darwin
