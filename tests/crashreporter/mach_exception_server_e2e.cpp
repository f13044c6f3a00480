#include "crashreporter/mach_exception_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/exception.hpp"

namespace lvcrash {
namespace {

namespace darwin = platform::darwin;

TEST(MachExceptionMappingTest, EachExceptionBecomesItsSignalOnThisHost) {
    struct Case {
        int type;
        std::int64_t code;
        bool maps;
        int signo;
        int si_code;
    };
    const Case cases[] = {
        {darwin::exc_bad_access, darwin::kern_invalid_address, true, SIGSEGV, SEGV_MAPERR},
        {darwin::exc_bad_access, darwin::kern_protection_failure, true, SIGBUS, BUS_ADRERR},
        {darwin::exc_bad_instruction, 1, true, SIGILL, 0},
        {darwin::exc_arithmetic, 1, true, SIGFPE, 0},
        {darwin::exc_emulation, 1, true, SIGILL, 0},
        {darwin::exc_software, 0x10000, true, SIGSYS, 0},
        {darwin::exc_software, 0x10001, true, SIGPIPE, 0},
        {darwin::exc_software, 0x10002, true, SIGABRT, 0},
        {darwin::exc_software, 0x10003, true, SIGKILL, 0},
        {darwin::exc_software, 0x777, true, SIGABRT, 0},
        {darwin::exc_breakpoint, 1, true, SIGTRAP, TRAP_BRKPT},
        {darwin::exc_syscall, 1, false, 0, 0},
        {0, 1, false, 0, 0},
    };
    for (const Case& c : cases) {
        const std::int64_t codes[2] = {c.code, 0x1234};
        int signo = -1;
        int si_code = -1;
        std::uint64_t address = 0;
        ASSERT_EQ(lvcrash_mach_exception_map_to_signal(c.type, codes, 2, &signo, &si_code, &address), c.maps)
            << c.type << "/" << c.code;
        if (!c.maps) continue;
        EXPECT_EQ(signo, c.signo) << c.type << "/" << c.code;
        EXPECT_EQ(si_code, c.si_code) << c.type << "/" << c.code;
        EXPECT_EQ(address, 0x1234u);
    }
    const std::int64_t one[1] = {darwin::kern_invalid_address};
    int signo = 0;
    int si_code = 0;
    std::uint64_t address = 0;
    EXPECT_FALSE(lvcrash_mach_exception_map_to_signal(darwin::exc_bad_access, one, 1, &signo, &si_code, &address));
}

struct Seen {
    std::atomic<int> calls{0};
    std::atomic<int> type{0};
    std::atomic<std::int64_t> subcode{0};
    std::atomic<port_t> thread{0};
    std::atomic<std::uint32_t> count{0};
    std::atomic<int> answer{darwin::kern_failure};
};

lvcrash_kern_return_t recordingCallback(port_t, port_t thread, int type, const std::int64_t* codes,
                                        std::uint32_t count, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->type = type;
    seen->subcode = count > 1 ? codes[1] : -1;
    seen->thread = thread;
    seen->count = count;
    seen->calls.fetch_add(1);
    return seen->answer.load();
}

std::uint32_t sendRefs(port_t port) {
    std::uint32_t refs = 0;
    EXPECT_EQ(darwin::mach_port_get_refs(darwin::task_self(), port, darwin::port_right_send, &refs), darwin::kern_success);
    return refs;
}

TEST(MachExceptionServerTest, ServerAnswersRequestsThroughTheCallbackAndStopsWhenReleased) {
    Seen seen;
    const std::size_t names_before = darwin::mach_port_names_in_use();
    ReporterError error;
    auto server = RDLVCrashMachExceptionServer::create(recordingCallback, &seen, &error);
    ASSERT_TRUE(server) << error.message;
    EXPECT_NE(server->serverThread(), darwin::mach_thread_self());
    EXPECT_GE(darwin::thread_port_tid(server->serverThread()), 1);

    auto port = server->exceptionPortWithMask(0x6E, &error);
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->behavior(), static_cast<std::int32_t>(0x80000001u));
    EXPECT_EQ(port->flavor(), 1);
    EXPECT_EQ(sendRefs(port->server_port()), 1u);  // the object's own

    const std::int64_t codes[2] = {darwin::kern_invalid_address, 0xbad0};
    for (int answer : {static_cast<int>(darwin::kern_success), static_cast<int>(darwin::kern_failure)}) {
        seen.answer = answer;
        EXPECT_EQ(darwin::mach_exception_raise(port->server_port(), darwin::mach_thread_self(), darwin::task_self(),
                                               darwin::exc_bad_access, codes, 2, 60000),
                  answer);
    }
    EXPECT_EQ(seen.calls.load(), 2);
    EXPECT_EQ(seen.type.load(), darwin::exc_bad_access);
    EXPECT_EQ(seen.subcode.load(), 0xbad0);
    EXPECT_EQ(seen.thread.load(), darwin::mach_thread_self());

    // A request of the 32-bit form is 76 bytes: too small to parse, answered without a call.
    const std::int32_t codes32[2] = {1, 2};
    seen.answer = darwin::kern_success;
    EXPECT_EQ(darwin::exception_raise(port->server_port(), darwin::mach_thread_self(), darwin::task_self(),
                                      darwin::exc_bad_access, codes32, 2, 60000),
              darwin::kern_failure);
    EXPECT_EQ(seen.calls.load(), 2);
    // A request bigger than the server's first buffer is received whole after growing it.
    {
        int flavor = darwin::x86_thread_state64;
        std::vector<std::uint32_t> state(1200, 7);
        std::uint32_t new_count = 0;
        EXPECT_EQ(darwin::mach_exception_raise_state_identity(port->server_port(), darwin::mach_thread_self(),
                                                              darwin::task_self(), darwin::exc_breakpoint, codes, 2,
                                                              &flavor, state.data(), 1200, nullptr, &new_count),
                  darwin::mig_reply_mismatch);  // the reply is the short default one
        EXPECT_EQ(seen.calls.load(), 3);
        EXPECT_EQ(seen.type.load(), darwin::exc_breakpoint);
    }

    // A code count beyond the two codes a request holds is cut to them, not read past the message.
    {
        darwin::MachExceptionRaiseRequest forged{};
        forged.header.msgh_bits = darwin::msgh_bits(darwin::msg_type_copy_send, darwin::msg_type_make_send_once);
        forged.header.msgh_remote_port = port->server_port();
        forged.header.msgh_local_port = darwin::mach_reply_port();
        forged.header.msgh_id = darwin::mach_exception_raise_id;
        forged.exception = darwin::exc_software;
        forged.code_count = 1000;
        ASSERT_EQ(darwin::mach_msg(&forged.header, darwin::mach_send_msg, sizeof forged, 0, darwin::port_null, 0,
                                   darwin::port_null),
                  darwin::mach_msg_success);
        darwin::ExceptionRaiseReply answer{};
        ASSERT_EQ(darwin::mach_msg(&answer.header, darwin::mach_rcv_msg | darwin::mach_rcv_timeout, 0, sizeof answer,
                                   forged.header.msgh_local_port, 60000, darwin::port_null),
                  darwin::mach_msg_success);
        EXPECT_EQ(answer.header.msgh_id, darwin::mach_exception_raise_id + 100);
        EXPECT_EQ(seen.type.load(), darwin::exc_software);
        EXPECT_EQ(seen.count.load(), 2u);
        darwin::mach_port_destroy(darwin::task_self(), forged.header.msgh_local_port);
    }

    // The last send right going away only notifies: the server keeps answering.
    port_t server_port = port->server_port();
    port.reset();
    port_t again = server->copySendRightForServer(&error);
    ASSERT_EQ(again, server_port);
    EXPECT_EQ(darwin::mach_exception_raise(again, darwin::mach_thread_self(), darwin::task_self(),
                                           darwin::exc_arithmetic, codes, 2, 60000),
              darwin::kern_success);
    EXPECT_EQ(seen.type.load(), darwin::exc_arithmetic);
    darwin::mach_port_deallocate(darwin::task_self(), again);

    server.reset();
    EXPECT_EQ(darwin::mach_port_names_in_use(), names_before);
}

// Answers one request on port with answer, as a previously registered handler would.
class PreviousHandler {
public:
    PreviousHandler(port_t port, int answer, std::int32_t* id)
        : port_(port), answer_(answer), id_(id), thread_([this] { run(); }) {}
    ~PreviousHandler() { thread_.join(); }

private:
    void run() {
        alignas(8) unsigned char buffer[darwin::message_max_size];
        auto* header = reinterpret_cast<darwin::MsgHeader*>(buffer);
        if (darwin::mach_msg(header, darwin::mach_rcv_msg | darwin::mach_rcv_timeout, 0, sizeof buffer, port_, 60000,
                             darwin::port_null) != 0) {
            return;
        }
        *id_ = header->msgh_id;
        alignas(8) unsigned char out[64]{};
        auto* reply = reinterpret_cast<darwin::ExceptionRaiseReply*>(out);
        reply->header.msgh_bits = darwin::msgh_bits(darwin::msgh_bits_remote(header->msgh_bits), 0);
        reply->header.msgh_remote_port = header->msgh_remote_port;
        reply->header.msgh_id = header->msgh_id + 100;
        reply->return_code = answer_;
        std::uint32_t size = sizeof(darwin::ExceptionRaiseReply);
        if (*id_ != darwin::mach_exception_raise_id && *id_ != darwin::exception_raise_id) size += 8;  // flavor, no words
        darwin::mach_msg(&reply->header, darwin::mach_send_msg, size, 0, darwin::port_null, 0, darwin::port_null);
    }
    port_t port_;
    int answer_;
    std::int32_t* id_;
    std::thread thread_;
};

TEST(MachExceptionServerTest, ForwardingOffersTheExceptionToTheFirstCoveringPreviousPortByItsBehavior) {
    port_t port = darwin::port_null;
    ASSERT_EQ(darwin::mach_port_allocate(darwin::task_self(), darwin::port_right_receive, &port), darwin::kern_success);
    ASSERT_EQ(darwin::mach_port_insert_right(darwin::task_self(), port, port, darwin::msg_type_make_send),
              darwin::kern_success);
    const std::int64_t codes[2] = {darwin::kern_protection_failure, 0x40};
    struct Case {
        std::int32_t behavior;
        int answer;
        std::int32_t id;
    };
    const Case cases[] = {
        {darwin::exception_default | darwin::mach_exception_codes, darwin::kern_success, darwin::mach_exception_raise_id},
        {darwin::exception_default, darwin::kern_failure, darwin::exception_raise_id},
        {darwin::exception_state | darwin::mach_exception_codes, darwin::kern_success,
         darwin::mach_exception_raise_state_id},
        {darwin::exception_state_identity, darwin::kern_success, darwin::exception_raise_state_identity_id},
    };
    for (const Case& c : cases) {
        lvcrash_mach_exception_port_set previous{};
        previous.count = 3;
        previous.ports[0] = darwin::port_null;  // skipped though it covers everything
        previous.masks[0] = 0xFFFF;
        previous.ports[1] = port;  // skipped: wrong mask
        previous.masks[1] = darwin::exc_mask(darwin::exc_arithmetic);
        previous.behaviors[1] = darwin::exception_default;
        previous.ports[2] = port;
        previous.masks[2] = darwin::exc_mask(darwin::exc_bad_access);
        previous.behaviors[2] = c.behavior;
        previous.flavors[2] = darwin::x86_thread_state64;
        std::int32_t id = 0;
        {
            PreviousHandler handler(port, c.answer, &id);
            EXPECT_EQ(lvcrash_forward_exception(darwin::task_self(), darwin::mach_thread_self(), darwin::exc_bad_access,
                                                codes, 2, &previous),
                      c.answer);
        }
        EXPECT_EQ(id, c.id);
    }
    lvcrash_mach_exception_port_set none{};
    none.count = 1;
    none.ports[0] = port;
    none.masks[0] = darwin::exc_mask(darwin::exc_arithmetic);
    none.behaviors[0] = darwin::exception_default;
    EXPECT_EQ(lvcrash_forward_exception(darwin::task_self(), darwin::mach_thread_self(), darwin::exc_bad_access, codes,
                                        2, &none),
              darwin::kern_failure);
    none.masks[0] = darwin::exc_mask(darwin::exc_bad_access);
    none.behaviors[0] = 9;
    EXPECT_EQ(lvcrash_forward_exception(darwin::task_self(), darwin::mach_thread_self(), darwin::exc_bad_access, codes,
                                        2, &none),
              darwin::kern_failure);
    EXPECT_EQ(darwin::mach_port_destroy(darwin::task_self(), port), darwin::kern_success);
}

TEST(MachExceptionServerTest, PortSetsHoldOneReferencePerRegistrationAndRefuseMoreThanFourteen) {
    port_t port = darwin::port_null;
    ASSERT_EQ(darwin::mach_port_allocate(darwin::task_self(), darwin::port_right_receive, &port), darwin::kern_success);
    ASSERT_EQ(darwin::mach_port_insert_right(darwin::task_self(), port, port, darwin::msg_type_make_send),
              darwin::kern_success);
    {
        RDLVCrashMachExceptionPort registration(port, 0x2, darwin::exception_default, 1);
        std::optional<RDLVCrashMachExceptionPortSet> previous;
        ReporterError error;
        ASSERT_TRUE(registration.registerForTask(darwin::task_self(), &previous, &error));
        ASSERT_TRUE(previous.has_value());
        EXPECT_EQ(previous->asyncSafeRepresentation().count, 1u);
        EXPECT_EQ(previous->asyncSafeRepresentation().ports[0], darwin::port_null);
        auto current = RDLVCrashMachExceptionPort::exceptionPortsForTask(darwin::task_self(), 0x6, &error);
        ASSERT_TRUE(current.has_value());
        ASSERT_EQ(current->set().size(), 2u);
        EXPECT_EQ(current->set()[0].server_port(), port);
        EXPECT_EQ(current->set()[0].mask(), 0x2u);
        // Ours, the object's, the task table's and the fetched set's: the set kept only its own.
        EXPECT_EQ(sendRefs(port), 4u);
        RDLVCrashMachExceptionPort cleared(darwin::port_null, 0x2, darwin::exception_default, 1);
        ASSERT_TRUE(cleared.registerForTask(darwin::task_self(), &previous, &error));
        EXPECT_EQ(previous->set()[0].server_port(), port);
        EXPECT_FALSE(RDLVCrashMachExceptionPort::exceptionPortsForThread(0x1234, 0x2, &error).has_value());
        EXPECT_EQ(error.message, "Failed to fetch mach exception ports");
        EXPECT_EQ(error.code, 1);
        EXPECT_EQ(error.underlyingDomain, "NSMachErrorDomain");
    }
    EXPECT_EQ(sendRefs(port), 1u);

    std::vector<RDLVCrashMachExceptionPort> fifteen(15, RDLVCrashMachExceptionPort(port, 0x2, 1, 1));
    EXPECT_THROW(RDLVCrashMachExceptionPortSet{fifteen}, platform::foundation::ExceptionPtr);
    fifteen.pop_back();
    RDLVCrashMachExceptionPortSet fourteen(fifteen);
    EXPECT_EQ(fourteen.asyncSafeRepresentation().count, 14u);
    lvcrash_mach_exception_port_set plain{};
    plain.count = 15;
    EXPECT_THROW(RDLVCrashMachExceptionPortSet{plain}, platform::foundation::ExceptionPtr);
    EXPECT_EQ(darwin::mach_port_destroy(darwin::task_self(), port), darwin::kern_success);
}

}  // namespace
}  // namespace lvcrash
