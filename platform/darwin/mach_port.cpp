#include "platform/darwin/mach_port.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::darwin {
namespace {

// Port names carry the slot and a generation, so a stale name never reaches a reused slot.
// They sit between thread names (0x1000_0000 + tid) and the task's name.
constexpr port_t name_base = 0x20000000u;
constexpr port_t name_mask = 0xF0000000u;
constexpr std::uint32_t slot_bits = 10;
static_assert(port_capacity <= (1u << slot_bits));

struct Port {
    bool in_use;
    bool is_set;
    bool has_receive;
    std::uint32_t generation;
    std::uint32_t send_refs;
    std::uint32_t send_once;
    std::uint32_t dead_refs;
    std::uint32_t make_send_count;
    int set_slot;  // -1 when not a member
    port_t no_senders_notify;
    std::uint32_t no_senders_sync;
    int receiver_tid;  // the thread that last received on it (for a port set: on the set)
    std::uint16_t ring[port_queue_limit];
    std::uint32_t head;
    std::uint32_t count;
};

struct Message {
    std::uint64_t sequence;
    std::uint32_t size;
    alignas(8) unsigned char bytes[message_max_size];
};

Port ports[port_capacity];
Message messages[message_capacity];
std::uint16_t free_messages[message_capacity];
std::size_t free_message_count;
bool initialised;
std::uint64_t next_sequence;

std::atomic<std::uint32_t> lock_word{0};
std::atomic<std::uint32_t> change_word{0};
std::atomic<std::uint32_t> waiters{0};

void lock() noexcept {
    unsigned spins = 0;
    while (lock_word.exchange(1, std::memory_order_acquire) != 0) {
        if (++spins > 64) sched_yield();
    }
    if (!initialised) {
        for (std::size_t i = 0; i < message_capacity; ++i) free_messages[i] = static_cast<std::uint16_t>(message_capacity - 1 - i);
        free_message_count = message_capacity;
        initialised = true;
    }
}

void unlock() noexcept { lock_word.store(0, std::memory_order_release); }

// Marks a change that a waiter may be waiting for; woken after the lock is dropped.
bool changed = false;
void note_change() noexcept { changed = true; }

void unlock_and_wake() noexcept {
    bool wake = changed;
    changed = false;
    if (wake) change_word.fetch_add(1, std::memory_order_acq_rel);
    unlock();
    if (wake && waiters.load(std::memory_order_acquire) != 0) {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&change_word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr,
                nullptr, 0);
    }
}

std::int64_t now_ms() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Drops the lock, waits for a change until deadline_ms (-1: no deadline), takes the lock
// again. False when the deadline has passed.
bool wait_for_change(std::int64_t deadline_ms) noexcept {
    std::uint32_t seen = change_word.load(std::memory_order_acquire);
    waiters.fetch_add(1, std::memory_order_acq_rel);
    unlock_and_wake();
    bool in_time = true;
    if (deadline_ms < 0) {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&change_word), FUTEX_WAIT_PRIVATE, seen, nullptr,
                nullptr, 0);
    } else {
        std::int64_t left = deadline_ms - now_ms();
        if (left <= 0) {
            in_time = false;
        } else {
            timespec span{static_cast<time_t>(left / 1000), static_cast<long>((left % 1000) * 1000000)};
            syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&change_word), FUTEX_WAIT_PRIVATE, seen, &span,
                    nullptr, 0);
        }
    }
    waiters.fetch_sub(1, std::memory_order_acq_rel);
    lock();
    return in_time;
}

port_t name_of(std::size_t slot) noexcept {
    return name_base | ((ports[slot].generation & 0x3FFFFu) << slot_bits) | static_cast<port_t>(slot);
}

Port* find(port_t name, std::size_t* slot_out = nullptr) noexcept {
    if ((name & name_mask) != name_base) return nullptr;
    std::size_t slot = name & ((1u << slot_bits) - 1);
    if (slot >= port_capacity || !ports[slot].in_use) return nullptr;
    if (name_of(slot) != name) return nullptr;
    if (slot_out) *slot_out = slot;
    return &ports[slot];
}

bool is_own_task(port_t task) noexcept { return task == task_self(); }

void free_if_unused(Port* port) noexcept {
    if (port->has_receive || port->is_set) return;
    if (port->send_refs == 0 && port->send_once == 0 && port->dead_refs == 0) port->in_use = false;
}

bool enqueue(Port* port, const void* bytes, std::uint32_t size) noexcept;

void maybe_notify_no_senders(Port* port, std::size_t slot) noexcept {
    if (!port->has_receive || port->send_refs != 0 || port->no_senders_notify == port_null) return;
    if (port->make_send_count < port->no_senders_sync) return;
    Port* notify = find(port->no_senders_notify);
    port_t notify_name = port->no_senders_notify;
    port->no_senders_notify = port_null;
    if (notify == nullptr) return;
    if (notify->send_once > 0) --notify->send_once;
    NoSendersNotification note{};
    // Queued as the receiver sees it: no reply port, the notify port as the local one.
    note.header.msgh_bits = msgh_bits(0, msg_type_move_send_once);
    note.header.msgh_size = sizeof note;
    note.header.msgh_remote_port = port_null;
    note.header.msgh_local_port = notify_name;
    note.header.msgh_id = mach_notify_no_senders;
    note.ndr = ndr_record;
    note.not_count = port->make_send_count;
    (void)slot;
    enqueue(notify, &note, sizeof note);  // a full notify queue loses the notification, as a full kernel queue would
}

// One send right less on the port; may fire its no-senders notification.
void drop_send(Port* port, std::size_t slot) noexcept {
    if (port->send_refs == 0) return;
    --port->send_refs;
    maybe_notify_no_senders(port, slot);
    free_if_unused(port);
}

// Releases the right a message carries for a port that is not received.
void release_carried(port_t name, std::uint32_t disposition) noexcept {
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    if (port == nullptr) return;
    if (disposition == msg_type_move_send_once || disposition == msg_type_make_send_once) {
        if (port->send_once > 0) --port->send_once;
        free_if_unused(port);
    } else if (disposition == msg_type_move_send || disposition == msg_type_copy_send ||
               disposition == msg_type_make_send) {
        drop_send(port, slot);
    }
}

void release_message_rights(const MsgHeader* header) noexcept {
    // Received headers carry the rights' kinds (17 send, 18 send-once) in the remote bits.
    release_carried(header->msgh_remote_port, msgh_bits_remote(header->msgh_bits));
    if ((header->msgh_bits & msgh_bits_complex) == 0 || header->msgh_size < sizeof(MsgHeader) + sizeof(MsgBody)) return;
    auto* body = reinterpret_cast<const MsgBody*>(header + 1);
    auto* descriptor = reinterpret_cast<const PortDescriptor*>(body + 1);
    std::size_t room = (header->msgh_size - sizeof(MsgHeader) - sizeof(MsgBody)) / sizeof(PortDescriptor);
    for (std::uint32_t i = 0; i < body->msgh_descriptor_count && i < room; ++i) {
        if (descriptor[i].type == 0) release_carried(descriptor[i].name, descriptor[i].disposition);
    }
}

bool enqueue(Port* port, const void* bytes, std::uint32_t size) noexcept {
    if (port->count >= port_queue_limit || free_message_count == 0) return false;
    std::uint16_t index = free_messages[--free_message_count];
    Message& message = messages[index];
    message.sequence = ++next_sequence;
    message.size = size;
    std::memcpy(message.bytes, bytes, size);
    port->ring[(port->head + port->count) % port_queue_limit] = index;
    ++port->count;
    note_change();
    return true;
}

void drain(Port* port) noexcept {
    while (port->count > 0) {
        std::uint16_t index = port->ring[port->head];
        port->head = (port->head + 1) % port_queue_limit;
        --port->count;
        release_message_rights(reinterpret_cast<const MsgHeader*>(messages[index].bytes));
        free_messages[free_message_count++] = index;
    }
    port->head = 0;
}

void destroy_receive(Port* port, std::size_t slot) noexcept {
    port->has_receive = false;
    port->set_slot = -1;
    port->no_senders_notify = port_null;
    drain(port);
    // Remaining send rights turn into dead names, as the kernel does.
    port->dead_refs += port->send_refs + port->send_once;
    port->send_refs = 0;
    port->send_once = 0;
    (void)slot;
    free_if_unused(port);
    note_change();
}

void destroy_set(Port* set, std::size_t slot) noexcept {
    for (std::size_t i = 0; i < port_capacity; ++i) {
        if (ports[i].in_use && ports[i].set_slot == static_cast<int>(slot)) ports[i].set_slot = -1;
    }
    set->is_set = false;
    set->in_use = false;
    note_change();
}

// Takes the right the sender names for a port: the destination or a carried one.
int take_right(port_t name, std::uint32_t disposition, bool destination) noexcept {
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    if (port == nullptr) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
    switch (disposition) {
    case msg_type_copy_send:
        if (port->send_refs == 0) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
        if (!destination) ++port->send_refs;
        return mach_msg_success;
    case msg_type_make_send:
        if (!port->has_receive) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
        ++port->make_send_count;
        if (!destination) ++port->send_refs;
        return mach_msg_success;
    case msg_type_move_send:
        if (port->send_refs == 0) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
        if (destination) drop_send(port, slot);
        return mach_msg_success;
    case msg_type_make_send_once:
        if (!port->has_receive) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
        if (!destination) ++port->send_once;
        return mach_msg_success;
    case msg_type_move_send_once:
        if (port->send_once == 0) return destination ? mach_send_invalid_dest : mach_send_invalid_right;
        if (destination) {
            --port->send_once;
            free_if_unused(port);
        }
        return mach_msg_success;
    default:
        return destination ? mach_send_invalid_dest : mach_send_invalid_right;
    }
}

std::uint32_t received_kind(std::uint32_t disposition) noexcept {
    if (disposition == msg_type_make_send_once || disposition == msg_type_move_send_once) return msg_type_move_send_once;
    if (disposition == 0) return 0;
    return msg_type_move_send;
}

int send_locked(MsgHeader* msg, std::uint32_t send_size, bool timed, std::int64_t deadline) noexcept {
    if (send_size < sizeof(MsgHeader) || send_size % 4 != 0) return mach_send_msg_too_small;
    if (send_size > message_max_size) return mach_send_too_large;
    std::uint32_t remote = msgh_bits_remote(msg->msgh_bits);
    std::uint32_t local = msgh_bits_local(msg->msgh_bits);
    for (;;) {
        Port* dest = find(msg->msgh_remote_port);
        if (dest == nullptr || !dest->has_receive) return mach_send_invalid_dest;
        if (dest->count < port_queue_limit && free_message_count > 0) break;
        if (timed && !wait_for_change(deadline)) return mach_send_timed_out;
        if (!timed) wait_for_change(-1);
    }
    // Check every right before taking any, so a refused send leaves the space as it was.
    if (local != 0 && find(msg->msgh_local_port) == nullptr) return mach_send_invalid_reply;
    int status = take_right(msg->msgh_remote_port, remote, true);
    if (status != mach_msg_success) return status;
    if (local != 0) {
        status = take_right(msg->msgh_local_port, local, false);
        if (status != mach_msg_success) return mach_send_invalid_reply;
    }
    auto* out = reinterpret_cast<MsgHeader*>(msg);
    std::uint32_t complex = msg->msgh_bits & msgh_bits_complex;
    if (complex != 0 && send_size >= sizeof(MsgHeader) + sizeof(MsgBody)) {
        auto* body = reinterpret_cast<MsgBody*>(out + 1);
        auto* descriptor = reinterpret_cast<PortDescriptor*>(body + 1);
        std::size_t room = (send_size - sizeof(MsgHeader) - sizeof(MsgBody)) / sizeof(PortDescriptor);
        if (body->msgh_descriptor_count > room) return mach_send_invalid_data;
        for (std::uint32_t i = 0; i < body->msgh_descriptor_count; ++i) {
            // Names outside the port table (tasks, threads) travel as they are.
            if (descriptor[i].type == 0 && find(descriptor[i].name) != nullptr) {
                take_right(descriptor[i].name, descriptor[i].disposition, false);
                descriptor[i].disposition = static_cast<std::uint8_t>(received_kind(descriptor[i].disposition));
            }
        }
    }
    Port* dest = find(msg->msgh_remote_port);
    if (dest == nullptr || !dest->has_receive) return mach_send_invalid_dest;
    // The queued copy is laid out as the receiver will see it.
    MsgHeader saved = *msg;
    msg->msgh_bits = complex | msgh_bits(received_kind(local), received_kind(remote));
    msg->msgh_size = send_size;
    port_t dest_name = saved.msgh_remote_port;
    msg->msgh_remote_port = saved.msgh_local_port;
    msg->msgh_local_port = dest_name;
    bool queued = enqueue(dest, msg, send_size);
    *msg = saved;
    return queued ? mach_msg_success : mach_send_no_buffer;
}

// The member (or the port itself) holding the oldest message; nullptr when none.
Port* oldest_for(port_t name, Port* receiver, std::size_t receiver_slot) noexcept {
    (void)name;
    if (!receiver->is_set) return receiver->count > 0 ? receiver : nullptr;
    Port* best = nullptr;
    std::uint64_t best_sequence = 0;
    for (std::size_t i = 0; i < port_capacity; ++i) {
        Port& member = ports[i];
        if (!member.in_use || member.set_slot != static_cast<int>(receiver_slot) || member.count == 0) continue;
        std::uint64_t sequence = messages[member.ring[member.head]].sequence;
        if (best == nullptr || sequence < best_sequence) {
            best = &member;
            best_sequence = sequence;
        }
    }
    return best;
}

int receive_locked(MsgHeader* msg, int option, std::uint32_t rcv_size, port_t rcv_name, bool timed,
                   std::int64_t deadline) noexcept {
    for (;;) {
        std::size_t slot = 0;
        Port* receiver = find(rcv_name, &slot);
        if (receiver == nullptr) return mach_rcv_invalid_name;
        if (!receiver->is_set && !receiver->has_receive) return mach_rcv_port_died;
        receiver->receiver_tid = static_cast<int>(syscall(SYS_gettid));
        Port* source = oldest_for(rcv_name, receiver, slot);
        if (source != nullptr) {
            std::uint16_t index = source->ring[source->head];
            Message& message = messages[index];
            if (message.size > rcv_size) {
                if ((option & mach_rcv_large) != 0) {
                    if (rcv_size >= sizeof(MsgHeader)) msg->msgh_size = message.size;
                    return mach_rcv_too_large;
                }
            }
            source->head = (source->head + 1) % port_queue_limit;
            --source->count;
            note_change();
            int status = mach_msg_success;
            if (message.size > rcv_size) {
                release_message_rights(reinterpret_cast<const MsgHeader*>(message.bytes));
                if (rcv_size >= sizeof(MsgHeader)) msg->msgh_size = message.size;
                status = mach_rcv_too_large;
            } else {
                std::memcpy(msg, message.bytes, message.size);
            }
            free_messages[free_message_count++] = index;
            return status;
        }
        if (timed && !wait_for_change(deadline)) return mach_rcv_timed_out;
        if (!timed) wait_for_change(-1);
    }
}

}  // namespace

KernReturn mach_port_allocate(port_t task, int right, port_t* name) noexcept {
    if (!is_own_task(task) || name == nullptr) return kern_invalid_argument;
    if (right != port_right_receive && right != port_right_port_set) return kern_invalid_argument;
    lock();
    for (std::size_t i = 0; i < port_capacity; ++i) {
        Port& port = ports[i];
        if (port.in_use) continue;
        std::uint32_t generation = port.generation + 1;
        port = Port{};
        port.generation = generation;
        port.in_use = true;
        port.set_slot = -1;
        port.is_set = right == port_right_port_set;
        port.has_receive = right == port_right_receive;
        *name = name_of(i);
        unlock_and_wake();
        return kern_success;
    }
    unlock_and_wake();
    return static_cast<KernReturn>(kern_resource_shortage);
}

port_t mach_reply_port() noexcept {
    port_t name = port_null;
    return mach_port_allocate(task_self(), port_right_receive, &name) == kern_success ? name : port_null;
}

KernReturn mach_port_insert_right(port_t task, port_t name, port_t poly, std::uint32_t disposition) noexcept {
    if (!is_own_task(task)) return kern_invalid_argument;
    if (name != poly) return static_cast<KernReturn>(kern_invalid_value);  // one space: a right keeps its name
    lock();
    KernReturn result = kern_success;
    Port* port = find(name);
    if (port == nullptr) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (disposition == msg_type_make_send) {
        if (!port->has_receive) {
            result = static_cast<KernReturn>(kern_invalid_right);
        } else {
            ++port->make_send_count;
            ++port->send_refs;
        }
    } else if (disposition == msg_type_copy_send) {
        if (port->send_refs == 0) result = static_cast<KernReturn>(kern_invalid_right);
        else ++port->send_refs;
    } else if (disposition == msg_type_make_send_once) {
        if (!port->has_receive) result = static_cast<KernReturn>(kern_invalid_right);
        else ++port->send_once;
    } else {
        result = kern_invalid_argument;
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_mod_refs(port_t task, port_t name, int right, int delta) noexcept {
    if (!is_own_task(task)) return kern_invalid_argument;
    lock();
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    KernReturn result = kern_success;
    if (port == nullptr) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (right == port_right_send) {
        if (delta < 0 && static_cast<std::uint32_t>(-delta) > port->send_refs) {
            result = static_cast<KernReturn>(port->send_refs == 0 ? kern_invalid_right : kern_invalid_value);
        } else if (delta > 0 && port->send_refs == 0) {
            result = static_cast<KernReturn>(kern_invalid_right);
        } else if (delta > 0 && port->send_refs + static_cast<std::uint32_t>(delta) > 0xFFFEu) {
            result = static_cast<KernReturn>(kern_uref_overflow);
        } else if (delta > 0) {
            port->send_refs += static_cast<std::uint32_t>(delta);
        } else {
            for (int i = 0; i < -delta; ++i) drop_send(port, slot);
        }
    } else if (right == port_right_receive) {
        if (!port->has_receive) result = static_cast<KernReturn>(kern_invalid_right);
        else if (delta == -1) destroy_receive(port, slot);
        else if (delta != 0) result = static_cast<KernReturn>(kern_invalid_value);
    } else if (right == port_right_port_set) {
        if (!port->is_set) result = static_cast<KernReturn>(kern_invalid_right);
        else if (delta == -1) destroy_set(port, slot);
        else if (delta != 0) result = static_cast<KernReturn>(kern_invalid_value);
    } else if (right == port_right_send_once) {
        if (delta == -1 && port->send_once > 0) {
            --port->send_once;
            free_if_unused(port);
        } else if (delta != 0) {
            result = static_cast<KernReturn>(kern_invalid_value);
        }
    } else if (right == port_right_dead_name) {
        if (delta < 0 && static_cast<std::uint32_t>(-delta) <= port->dead_refs) {
            port->dead_refs -= static_cast<std::uint32_t>(-delta);
            free_if_unused(port);
        } else if (delta != 0) {
            result = static_cast<KernReturn>(kern_invalid_value);
        }
    } else {
        result = kern_invalid_argument;
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_deallocate(port_t task, port_t name) noexcept {
    if (!is_own_task(task)) return kern_invalid_argument;
    if (name == port_null || name == port_dead) return kern_success;
    lock();
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    KernReturn result = kern_success;
    if (port == nullptr) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (port->send_refs > 0) {
        drop_send(port, slot);
    } else if (port->send_once > 0) {
        --port->send_once;
        free_if_unused(port);
    } else if (port->dead_refs > 0) {
        --port->dead_refs;
        free_if_unused(port);
    } else {
        result = static_cast<KernReturn>(kern_invalid_right);
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_destroy(port_t task, port_t name) noexcept {
    if (!is_own_task(task)) return kern_invalid_argument;
    lock();
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    KernReturn result = kern_success;
    if (port == nullptr) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (port->is_set) {
        destroy_set(port, slot);
    } else {
        // The name's own send rights go with it; with the receive right gone too, the name is free.
        port->send_refs = 0;
        port->send_once = 0;
        if (port->has_receive) destroy_receive(port, slot);
        port->dead_refs = 0;
        port->in_use = false;
        note_change();
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_get_refs(port_t task, port_t name, int right, std::uint32_t* refs) noexcept {
    if (!is_own_task(task) || refs == nullptr) return kern_invalid_argument;
    lock();
    Port* port = find(name);
    KernReturn result = kern_success;
    if (port == nullptr) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else {
        switch (right) {
        case port_right_send: *refs = port->send_refs; break;
        case port_right_receive: *refs = port->has_receive ? 1 : 0; break;
        case port_right_send_once: *refs = port->send_once; break;
        case port_right_port_set: *refs = port->is_set ? 1 : 0; break;
        case port_right_dead_name: *refs = port->dead_refs; break;
        default: result = kern_invalid_argument;
        }
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_move_member(port_t task, port_t member, port_t after) noexcept {
    if (!is_own_task(task)) return kern_invalid_argument;
    lock();
    Port* port = find(member);
    std::size_t set_slot = 0;
    Port* set = after == port_null ? nullptr : find(after, &set_slot);
    KernReturn result = kern_success;
    if (port == nullptr || (after != port_null && set == nullptr)) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (!port->has_receive || (set != nullptr && !set->is_set)) {
        result = static_cast<KernReturn>(kern_invalid_right);
    } else {
        port->set_slot = set == nullptr ? -1 : static_cast<int>(set_slot);
        note_change();  // a receiver on the set may now find a queued message
    }
    unlock_and_wake();
    return result;
}

KernReturn mach_port_request_notification(port_t task, port_t name, int variant, std::uint32_t sync,
                                          port_t notify, std::uint32_t disposition, port_t* previous) noexcept {
    if (!is_own_task(task) || variant != mach_notify_no_senders) return kern_invalid_argument;
    if (notify != port_null && disposition != msg_type_make_send_once) return kern_invalid_argument;
    lock();
    std::size_t slot = 0;
    Port* port = find(name, &slot);
    Port* target = notify == port_null ? nullptr : find(notify);
    KernReturn result = kern_success;
    if (port == nullptr || (notify != port_null && target == nullptr)) {
        result = static_cast<KernReturn>(kern_invalid_name);
    } else if (!port->has_receive || (target != nullptr && !target->has_receive)) {
        result = static_cast<KernReturn>(kern_invalid_right);
    } else {
        port_t replaced = port->no_senders_notify;
        if (replaced != port_null) {
            if (Port* old = find(replaced); old != nullptr && old->send_once > 0) --old->send_once;
        }
        if (previous != nullptr) *previous = replaced;
        port->no_senders_notify = notify;
        port->no_senders_sync = sync;
        if (target != nullptr) ++target->send_once;
        // Already without senders and past the count: the notification goes out at once.
        if (port->send_refs == 0) maybe_notify_no_senders(port, slot);
    }
    unlock_and_wake();
    return result;
}

int mach_msg(MsgHeader* msg, int option, std::uint32_t send_size, std::uint32_t rcv_size, port_t rcv_name,
             std::uint32_t timeout_ms, port_t notify) noexcept {
    (void)notify;
    if (msg == nullptr) return mach_send_invalid_data;
    std::int64_t deadline = now_ms() + timeout_ms;
    lock();
    int status = mach_msg_success;
    if ((option & mach_send_msg) != 0) {
        status = send_locked(msg, send_size, (option & mach_send_timeout) != 0, deadline);
    }
    if (status == mach_msg_success && (option & mach_rcv_msg) != 0) {
        status = receive_locked(msg, option, rcv_size, rcv_name, (option & mach_rcv_timeout) != 0, deadline);
    }
    unlock_and_wake();
    return status;
}

int mach_port_receiver_tid(port_t name) noexcept {
    lock();
    Port* port = find(name);
    int tid = 0;
    if (port != nullptr) {
        tid = port->receiver_tid;
        if (port->set_slot >= 0 && ports[port->set_slot].in_use) tid = ports[port->set_slot].receiver_tid;
    }
    unlock_and_wake();
    return tid;
}

std::size_t mach_port_names_in_use() noexcept {
    lock();
    std::size_t count = 0;
    for (const Port& port : ports) count += port.in_use ? 1 : 0;
    unlock_and_wake();
    return count;
}

}  // namespace platform::darwin
