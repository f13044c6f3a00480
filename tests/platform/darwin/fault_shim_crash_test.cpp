#include "platform/darwin/fault_shim.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"

namespace platform::darwin {
namespace {

// What the handler thread saw, written to a pipe for the parent.
struct Seen {
    std::int32_t id;
    std::int32_t exception;
    std::int64_t code;
    std::int64_t subcode;
    std::uint64_t rip;  // from the state forms, 0 otherwise
};

int report_fd = -1;
void* fault_page = nullptr;

// Answers every request on port: records it, makes the fault page readable when asked, replies.
void serve(port_t port, int answer, bool fix_page) {
    for (;;) {
        alignas(8) unsigned char buffer[message_max_size];
        auto* header = reinterpret_cast<MsgHeader*>(buffer);
        if (mach_msg(header, mach_rcv_msg, 0, sizeof buffer, port, 0, port_null) != mach_msg_success) continue;
        Seen seen{};
        seen.id = header->msgh_id;
        // Both default layouts and the state-identity layout carry the identity descriptors first.
        std::size_t at = sizeof(MsgHeader) + sizeof(MsgBody) + 2 * sizeof(PortDescriptor) + sizeof(NdrRecord);
        std::memcpy(&seen.exception, buffer + at, 4);
        std::memcpy(&seen.code, buffer + at + 8, 8);
        std::memcpy(&seen.subcode, buffer + at + 16, 8);
        if (seen.id == mach_exception_raise_state_identity_id) {
            std::memcpy(&seen.rip, buffer + at + 24 + 8 + 16 * 8, 8);
        }
        if (write(report_fd, &seen, sizeof seen) != sizeof seen) _exit(90);
        if (fix_page) mprotect(fault_page, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE);
        alignas(8) unsigned char out[64]{};
        auto* reply = reinterpret_cast<ExceptionRaiseReply*>(out);
        reply->header.msgh_bits = msgh_bits(msgh_bits_remote(header->msgh_bits), 0);
        reply->header.msgh_remote_port = header->msgh_remote_port;
        reply->header.msgh_id = header->msgh_id + 100;
        reply->return_code = answer;
        std::uint32_t size = sizeof(ExceptionRaiseReply) + (seen.id == mach_exception_raise_id ? 0 : 8);
        mach_msg(&reply->header, mach_send_msg, size, 0, port_null, 0, port_null);
    }
}

port_t registered_port(std::int32_t behavior) {
    port_t port = port_null;
    if (mach_port_allocate(task_self(), port_right_receive, &port) != kern_success) _exit(91);
    if (mach_port_insert_right(task_self(), port, port, msg_type_make_send) != kern_success) _exit(92);
    if (task_set_exception_ports(task_self(), 0x6E, port, behavior, x86_thread_state64) != kern_success) _exit(93);
    return port;
}

struct Outcome {
    int status;
    std::vector<Seen> seen;
};

Outcome run_child(const std::function<void()>& body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        report_fd = fds[1];
        fault_page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        thread_control_install();
        body();
        _exit(0);
    }
    close(fds[1]);
    Outcome outcome{};
    Seen seen{};
    while (read(fds[0], &seen, sizeof seen) == sizeof seen) outcome.seen.push_back(seen);
    close(fds[0]);
    EXPECT_EQ(waitpid(pid, &outcome.status, 0), pid);
    return outcome;
}

volatile int sink;
void touch() { sink = *static_cast<volatile int*>(fault_page); }

void on_previous(int) { _exit(42); }

TEST(FaultShimTest, AFaultBecomesAnExceptionAndTheAnswerDecidesBetweenRetryAndTheSignal) {
    struct Case {
        const char* name;
        std::int32_t behavior;
        int answer;
        bool previous_handler;
        int exit_code;   // -1: killed
        int signo;
        std::int32_t id;
    };
    const Case cases[] = {
        {"handled", exception_default | mach_exception_codes, kern_success, false, 0, 0, mach_exception_raise_id},
        {"handled with state", exception_state_identity | mach_exception_codes, kern_success, false, 0, 0,
         mach_exception_raise_state_identity_id},
        {"refused", exception_default | mach_exception_codes, kern_failure, false, -1, SIGSEGV, mach_exception_raise_id},
        {"refused to an earlier action", exception_default | mach_exception_codes, kern_failure, true, 42, 0,
         mach_exception_raise_id},
    };
    for (const Case& c : cases) {
        Outcome outcome = run_child([&] {
            if (c.previous_handler) signal(SIGSEGV, on_previous);
            port_t port = registered_port(c.behavior);
            std::thread([port, &c] { serve(port, c.answer, c.answer == kern_success); }).detach();
            touch();
        });
        if (c.exit_code >= 0) {
            ASSERT_TRUE(WIFEXITED(outcome.status)) << c.name << " " << outcome.status;
            EXPECT_EQ(WEXITSTATUS(outcome.status), c.exit_code) << c.name;
        } else {
            ASSERT_TRUE(WIFSIGNALED(outcome.status)) << c.name << " " << outcome.status;
            EXPECT_EQ(WTERMSIG(outcome.status), c.signo) << c.name;
        }
        ASSERT_EQ(outcome.seen.size(), 1u) << c.name;
        EXPECT_EQ(outcome.seen[0].id, c.id) << c.name;
        EXPECT_EQ(outcome.seen[0].exception, exc_bad_access) << c.name;
        EXPECT_EQ(outcome.seen[0].code, kern_protection_failure) << c.name;  // a PROT_NONE page
        EXPECT_NE(outcome.seen[0].subcode, 0) << c.name;
        if (c.id == mach_exception_raise_state_identity_id) {
            EXPECT_NE(outcome.seen[0].rip, 0u) << c.name;
        }
    }
}

TEST(FaultShimTest, SignalsThatNoReceiverCanAnswerGoStraightToTheirAction) {
    struct Case {
        const char* name;
        std::function<void()> body;
        int signo;
    };
    const Case cases[] = {
        {"sent by kill",
         [] {
             port_t port = registered_port(exception_default | mach_exception_codes);
             std::thread([port] { serve(port, kern_success, false); }).detach();
             kill(getpid(), SIGSEGV);
             pause();
         },
         SIGSEGV},
        {"receive right gone",
         [] {
             port_t port = registered_port(exception_default | mach_exception_codes);
             mach_port_mod_refs(task_self(), port, port_right_receive, -1);
             touch();
         },
         SIGSEGV},
        {"fault on the serving thread",
         [] {
             port_t port = registered_port(exception_default | mach_exception_codes);
             std::thread([port] {
                 alignas(8) unsigned char buffer[256];
                 // Receive once (nothing comes), then fault while being the port's receiver.
                 mach_msg(reinterpret_cast<MsgHeader*>(buffer), mach_rcv_msg | mach_rcv_timeout, 0, sizeof buffer, port,
                          1, port_null);
                 touch();
             }).join();
         },
         SIGSEGV},
        {"trap refused",
         [] {
             port_t port = registered_port(exception_default | mach_exception_codes);
             std::thread([port] { serve(port, kern_failure, false); }).detach();
             __asm__ volatile("int3");
         },
         SIGTRAP},
    };
    for (const Case& c : cases) {
        Outcome outcome = run_child(c.body);
        ASSERT_TRUE(WIFSIGNALED(outcome.status)) << c.name << " " << outcome.status;
        EXPECT_EQ(WTERMSIG(outcome.status), c.signo) << c.name;
        if (std::string(c.name) == "trap refused") {
            ASSERT_EQ(outcome.seen.size(), 1u);
            EXPECT_EQ(outcome.seen[0].exception, exc_breakpoint);
        } else {
            EXPECT_TRUE(outcome.seen.empty()) << c.name;
        }
    }
}

TEST(FaultShimTest, AReceiverThatNeverAnswersCostsAtMostTheBoundedWait) {
    const auto start = std::chrono::steady_clock::now();
    Outcome outcome = run_child([] {
        port_t port = registered_port(exception_default | mach_exception_codes);
        std::thread([port] {
            alignas(8) unsigned char buffer[512];
            // Takes the request and sits on it.
            mach_msg(reinterpret_cast<MsgHeader*>(buffer), mach_rcv_msg, 0, sizeof buffer, port, 0, port_null);
            pause();
        }).detach();
        touch();
    });
    ASSERT_TRUE(WIFSIGNALED(outcome.status)) << outcome.status;
    EXPECT_EQ(WTERMSIG(outcome.status), SIGSEGV);
    // Not a timing assertion on speed: only that the wait did happen and did end.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(fault_shim_reply_timeout_ms));
}

TEST(FaultShimTest, AHandledTrapContinuesAfterIt) {
    Outcome outcome = run_child([] {
        port_t port = registered_port(exception_default | mach_exception_codes);
        std::thread([port] { serve(port, kern_success, false); }).detach();
        __asm__ volatile("int3");
        __asm__ volatile("int3");
    });
    ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.status;
    EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
    EXPECT_EQ(outcome.seen.size(), 2u);
}

}  // namespace
}  // namespace platform::darwin
