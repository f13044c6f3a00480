#pragma once
// Stands in for Mach ports and messages inside the own task: names with receive, send and
// send-once rights and user references, port sets, per-port queues, mach_msg with timeouts,
// reply ports and the no-senders notification. Everything lives in preallocated static
// storage behind one spin lock, and waits are futex waits with deadlines, so sending and
// receiving work from a signal handler or a crashed thread (no heap, no mutex).
#include <cstddef>
#include <cstdint>

#include "platform/darwin/mach.hpp"

namespace platform::darwin {

inline constexpr port_t port_dead = 0xFFFFFFFFu;

// Rights, as mach_port_allocate and mach_port_mod_refs take them.
enum PortRight : int {
    port_right_send = 0,
    port_right_receive = 1,
    port_right_send_once = 2,
    port_right_port_set = 3,
    port_right_dead_name = 4,
};

// Dispositions in headers and port descriptors.
enum MsgType : std::uint32_t {
    msg_type_move_receive = 16,
    msg_type_move_send = 17,
    msg_type_move_send_once = 18,
    msg_type_copy_send = 19,
    msg_type_make_send = 20,
    msg_type_make_send_once = 21,
};

inline constexpr std::uint32_t msgh_bits_complex = 0x80000000u;
constexpr std::uint32_t msgh_bits(std::uint32_t remote, std::uint32_t local) { return remote | (local << 8); }
constexpr std::uint32_t msgh_bits_remote(std::uint32_t bits) { return bits & 0x1Fu; }
constexpr std::uint32_t msgh_bits_local(std::uint32_t bits) { return (bits >> 8) & 0x1Fu; }

// mach_msg options.
inline constexpr int mach_send_msg = 0x1;
inline constexpr int mach_rcv_msg = 0x2;
inline constexpr int mach_rcv_large = 0x4;
inline constexpr int mach_send_timeout = 0x10;
inline constexpr int mach_rcv_timeout = 0x100;
inline constexpr std::uint32_t mach_msg_timeout_none = 0;

// mach_msg results.
enum MsgReturn : int {
    mach_msg_success = 0,
    mach_send_invalid_data = 0x10000002,
    mach_send_invalid_dest = 0x10000003,
    mach_send_timed_out = 0x10000004,
    mach_send_msg_too_small = 0x10000008,
    mach_send_invalid_reply = 0x10000009,
    mach_send_invalid_right = 0x1000000a,
    mach_send_no_buffer = 0x1000000d,
    mach_send_too_large = 0x1000000e,
    mach_rcv_invalid_name = 0x10004002,
    mach_rcv_timed_out = 0x10004003,
    mach_rcv_too_large = 0x10004004,
    mach_rcv_port_died = 0x10004009,
};

// Further kern_return_t values of the port calls.
inline constexpr int kern_invalid_name = 15;
inline constexpr int kern_invalid_right = 17;
inline constexpr int kern_invalid_value = 18;
inline constexpr int kern_uref_overflow = 19;
inline constexpr int kern_resource_shortage = 6;

inline constexpr int mach_notify_no_senders = 70;
inline constexpr int mach_notify_send_once = 71;

struct MsgHeader {
    std::uint32_t msgh_bits;
    std::uint32_t msgh_size;
    port_t msgh_remote_port;
    port_t msgh_local_port;
    port_t msgh_voucher_port;
    std::int32_t msgh_id;
};
static_assert(sizeof(MsgHeader) == 24);

struct MsgBody {
    std::uint32_t msgh_descriptor_count;
};

// A port descriptor: name, then the disposition and the descriptor type (0) in the last bytes.
struct PortDescriptor {
    port_t name;
    std::uint32_t pad1;
    std::uint16_t pad2;
    std::uint8_t disposition;
    std::uint8_t type;
};
static_assert(sizeof(PortDescriptor) == 12);

struct NdrRecord {
    std::uint8_t bytes[8];
};
inline constexpr NdrRecord ndr_record{{0, 0, 0, 0, 1, 0, 0, 0}};

// The no-senders notification as delivered.
struct NoSendersNotification {
    MsgHeader header;
    NdrRecord ndr;
    std::uint32_t not_count;
};

// Capacities of the emulated space.
inline constexpr std::size_t port_capacity = 256;
inline constexpr std::size_t port_queue_limit = 16;
inline constexpr std::size_t message_capacity = 256;  // messages queued at once, all ports
inline constexpr std::size_t message_max_size = 8192;

KernReturn mach_port_allocate(port_t task, int right, port_t* name) noexcept;
// A fresh receive right to take replies (the sender makes the send-once right).
port_t mach_reply_port() noexcept;
KernReturn mach_port_insert_right(port_t task, port_t name, port_t poly, std::uint32_t disposition) noexcept;
KernReturn mach_port_mod_refs(port_t task, port_t name, int right, int delta) noexcept;
// Drops one send, send-once or dead-name reference.
KernReturn mach_port_deallocate(port_t task, port_t name) noexcept;
// Releases every right of the name.
KernReturn mach_port_destroy(port_t task, port_t name) noexcept;
KernReturn mach_port_get_refs(port_t task, port_t name, int right, std::uint32_t* refs) noexcept;
// Moves a receive right into a port set, or out of any with after == port_null.
KernReturn mach_port_move_member(port_t task, port_t member, port_t after) noexcept;
// Only MACH_NOTIFY_NO_SENDERS is emulated; notify must be a port we hold the receive right of
// (disposition make-send-once). previous gets the replaced notify port or port_null.
KernReturn mach_port_request_notification(port_t task, port_t name, int variant, std::uint32_t sync,
                                          port_t notify, std::uint32_t disposition, port_t* previous) noexcept;

int mach_msg(MsgHeader* msg, int option, std::uint32_t send_size, std::uint32_t rcv_size, port_t rcv_name,
             std::uint32_t timeout_ms, port_t notify) noexcept;

// The kernel thread id that last received on the port (through its set, when it is in one),
// 0 when none has: a thread must not wait for a reply that only it could give.
int mach_port_receiver_tid(port_t name) noexcept;

// For tests and diagnostics: names in use right now.
std::size_t mach_port_names_in_use() noexcept;

}  // namespace platform::darwin
