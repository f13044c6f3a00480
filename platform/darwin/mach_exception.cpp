#include "platform/darwin/mach_exception.hpp"

#include <atomic>
#include <cstring>
#include <sched.h>
#include <ucontext.h>

#include "platform/darwin/fault_shim.hpp"
#include "platform/darwin/thread_control.hpp"

namespace platform::darwin {
namespace {

struct Registration {
    port_t port;
    std::int32_t behavior;
    std::int32_t flavor;
};

struct Table {
    port_t owner;  // port_null: free (thread tables only)
    Registration entries[exc_types_count];
};

constexpr std::size_t thread_table_capacity = 64;
Table task_table;
Table thread_tables[thread_table_capacity];
std::atomic<std::uint32_t> table_lock{0};

void lock() noexcept {
    unsigned spins = 0;
    while (table_lock.exchange(1, std::memory_order_acquire) != 0) {
        if (++spins > 64) sched_yield();
    }
}
void unlock() noexcept { table_lock.store(0, std::memory_order_release); }

bool live(port_t port) noexcept { return port != port_null && port != port_dead; }

bool valid_behavior(std::int32_t behavior) noexcept {
    std::int32_t plain = behavior & ~mach_exception_codes;
    return plain >= exception_default && plain <= exception_state_identity;
}

Table* thread_table(port_t thread, bool create) noexcept {
    Table* free_table = nullptr;
    for (Table& table : thread_tables) {
        if (table.owner == thread) return &table;
        if (table.owner == port_null && free_table == nullptr) free_table = &table;
    }
    if (!create || free_table == nullptr) return nullptr;
    *free_table = Table{};
    free_table->owner = thread;
    return free_table;
}

// Lists the registrations of the mask merged by (port, behavior, flavor), each port with a
// new send right for the caller.
KernReturn get_locked(const Table* table, std::uint32_t mask, std::uint32_t* masks, std::uint32_t* count,
                      port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    std::uint32_t room = *count;
    std::uint32_t used = 0;
    for (std::size_t type = 1; type < exc_types_count; ++type) {
        if ((mask & exc_mask(static_cast<int>(type))) == 0) continue;
        Registration entry = table != nullptr ? table->entries[type] : Registration{};
        std::uint32_t j = 0;
        for (; j < used; ++j) {
            if (ports[j] == entry.port && behaviors[j] == entry.behavior && flavors[j] == entry.flavor) {
                masks[j] |= exc_mask(static_cast<int>(type));
                break;
            }
        }
        if (j == used && used < room) {
            masks[used] = exc_mask(static_cast<int>(type));
            ports[used] = entry.port;
            behaviors[used] = entry.behavior;
            flavors[used] = entry.flavor;
            if (live(entry.port)) mach_port_mod_refs(task_self(), entry.port, port_right_send, 1);
            ++used;
        }
    }
    *count = used;
    return kern_success;
}

KernReturn set_locked(Table* table, std::uint32_t mask, port_t port, std::int32_t behavior,
                      std::int32_t flavor) noexcept {
    for (std::size_t type = 1; type < exc_types_count; ++type) {
        if ((mask & exc_mask(static_cast<int>(type))) == 0) continue;
        // The table holds its own send right on every registered port.
        if (live(port)) mach_port_mod_refs(task_self(), port, port_right_send, 1);
        Registration& entry = table->entries[type];
        if (live(entry.port)) mach_port_deallocate(task_self(), entry.port);
        entry = Registration{port, behavior, flavor};
    }
    return kern_success;
}

KernReturn check_arguments(std::uint32_t mask, port_t port, std::int32_t behavior) noexcept {
    if ((mask & ~((1u << exc_types_count) - 2)) != 0) return kern_invalid_argument;
    if (!live(port)) return kern_success;
    if (!valid_behavior(behavior)) return kern_invalid_argument;
    std::uint32_t refs = 0;
    // A registration needs a send right to hand on.
    if (mach_port_get_refs(task_self(), port, port_right_send, &refs) != kern_success || refs == 0) {
        return kern_invalid_argument;
    }
    return kern_success;
}

void release_if_empty(Table* table) noexcept {
    for (const Registration& entry : table->entries) {
        if (entry.port != port_null) return;
    }
    table->owner = port_null;
}

KernReturn swap(Table* (*resolve)(port_t, bool), port_t owner, std::uint32_t mask, port_t port,
                std::int32_t behavior, std::int32_t flavor, std::uint32_t* masks, std::uint32_t* count, port_t* ports,
                std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    KernReturn status = check_arguments(mask, port, behavior);
    if (status != kern_success) return status;
    // Faults reach a registered port only through the shim's handlers.
    if (live(port) && !fault_shim_install()) return kern_failure;
    lock();
    Table* table = resolve(owner, live(port));
    if (table == nullptr && live(port)) {
        unlock();
        return kern_failure;
    }
    if (masks != nullptr) {
        // The replaced registrations' rights go to the caller: a new one each here, the
        // table's own dropped by the set below.
        get_locked(table, mask, masks, count, ports, behaviors, flavors);
    }
    if (table != nullptr) {
        set_locked(table, mask, port, behavior, flavor);
        if (table != &task_table) release_if_empty(table);
    }
    unlock();
    return kern_success;
}

Table* resolve_task(port_t task, bool) noexcept { return task == task_self() ? &task_table : nullptr; }
Table* resolve_thread(port_t thread, bool create) noexcept { return thread_table(thread, create); }

// ---- the client calls ----

struct Writer {
    unsigned char* at;
    unsigned char* end;
    bool fits = true;
    void put(const void* bytes, std::size_t size) noexcept {
        if (static_cast<std::size_t>(end - at) < size) {
            fits = false;
            return;
        }
        std::memcpy(at, bytes, size);
        at += size;
    }
    template <typename T>
    void value(T v) noexcept { put(&v, sizeof v); }
};

void put_header(Writer& w, port_t port, bool complex, std::int32_t id) noexcept {
    MsgHeader header{};
    header.msgh_bits = (complex ? msgh_bits_complex : 0) | msgh_bits(msg_type_copy_send, msg_type_make_send_once);
    header.msgh_remote_port = port;
    header.msgh_id = id;
    w.put(&header, sizeof header);
}

void put_identity(Writer& w, port_t thread, port_t task) noexcept {
    w.value(MsgBody{2});
    w.value(PortDescriptor{thread, 0, 0, msg_type_copy_send, 0});
    w.value(PortDescriptor{task, 0, 0, msg_type_copy_send, 0});
}

template <typename Code>
void put_codes(Writer& w, int exception, const Code* code, std::uint32_t code_count) noexcept {
    w.value(ndr_record);
    w.value(static_cast<std::int32_t>(exception));
    w.value(code_count);
    w.put(code, sizeof(Code) * code_count);
}

void put_state(Writer& w, int flavor, const std::uint32_t* state, std::uint32_t count) noexcept {
    w.value(static_cast<std::int32_t>(flavor));
    w.value(count);
    w.put(state, sizeof(std::uint32_t) * count);
}

// Sends the request with a fresh reply port and waits for the reply into reply (room bytes).
int transact(unsigned char* request, std::size_t size, unsigned char* reply, std::uint32_t room,
             std::uint32_t timeout_ms) noexcept {
    port_t reply_port = mach_reply_port();
    if (reply_port == port_null) return kern_resource_shortage;
    auto* header = reinterpret_cast<MsgHeader*>(request);
    header->msgh_local_port = reply_port;
    header->msgh_size = static_cast<std::uint32_t>(size);
    std::int32_t id = header->msgh_id;
    int status = mach_msg(header, mach_send_msg, static_cast<std::uint32_t>(size), 0, port_null, 0, port_null);
    if (status == mach_msg_success) {
        int option = mach_rcv_msg | (timeout_ms != 0 ? mach_rcv_timeout : 0);
        status = mach_msg(reinterpret_cast<MsgHeader*>(reply), option, 0, room, reply_port, timeout_ms, port_null);
    }
    // A late reply finds no receiver; the request, if still queued, loses its reply right.
    mach_port_destroy(task_self(), reply_port);
    if (status != mach_msg_success) return status;
    auto* answer = reinterpret_cast<const ExceptionRaiseReply*>(reply);
    if (answer->header.msgh_id != id + 100 || answer->header.msgh_size < sizeof(ExceptionRaiseReply)) {
        return mig_reply_mismatch;
    }
    return answer->return_code;
}

template <typename Code>
int raise_default(port_t port, port_t thread, port_t task, int exception, const Code* code, std::uint32_t code_count,
                  std::uint32_t timeout_ms, std::int32_t id) noexcept {
    if (code_count > exception_code_max) return mig_bad_arguments;
    alignas(8) unsigned char request[128];
    Writer w{request, request + sizeof request};
    put_header(w, port, true, id);
    put_identity(w, thread, task);
    put_codes(w, exception, code, code_count);
    alignas(8) unsigned char reply[64];
    return transact(request, static_cast<std::size_t>(w.at - request), reply, sizeof reply, timeout_ms);
}

// Room is the size of each of the two message buffers on the stack: small when raised from a
// signal handler on an alternate stack.
template <std::size_t Room = message_max_size, typename Code>
int raise_with_state(port_t port, bool identity, port_t thread, port_t task, int exception, const Code* code,
                     std::uint32_t code_count, int* flavor, const std::uint32_t* old_state, std::uint32_t old_count,
                     std::uint32_t* new_state, std::uint32_t* new_count, std::int32_t id,
                     std::uint32_t timeout_ms = 0) noexcept {
    if (code_count > exception_code_max || old_count > thread_state_max || flavor == nullptr) return mig_bad_arguments;
    alignas(8) unsigned char request[Room];
    Writer w{request, request + sizeof request};
    put_header(w, port, identity, id);
    if (identity) put_identity(w, thread, task);
    put_codes(w, exception, code, code_count);
    put_state(w, *flavor, old_state, old_count);
    if (!w.fits) return mig_bad_arguments;
    alignas(8) unsigned char reply[Room];
    int status = transact(request, static_cast<std::size_t>(w.at - request), reply, sizeof reply, timeout_ms);
    if (status != kern_success) return status;
    // The reply carries the new state after the return code: flavor, count, words.
    auto* answer = reinterpret_cast<const MsgHeader*>(reply);
    std::size_t fixed = sizeof(ExceptionRaiseReply) + 8;
    if (answer->msgh_size < fixed) return mig_reply_mismatch;
    std::int32_t reply_flavor = 0;
    std::uint32_t count = 0;
    std::memcpy(&reply_flavor, reply + sizeof(ExceptionRaiseReply), 4);
    std::memcpy(&count, reply + sizeof(ExceptionRaiseReply) + 4, 4);
    if (count > thread_state_max || fixed + count * 4 > answer->msgh_size) return mig_reply_mismatch;
    *flavor = reply_flavor;
    if (new_count != nullptr) {
        std::uint32_t room = *new_count;
        std::uint32_t copied = count < room ? count : room;
        if (new_state != nullptr) std::memcpy(new_state, reply + fixed, copied * 4);
        *new_count = copied;
    }
    return kern_success;
}

}  // namespace

KernReturn task_get_exception_ports(port_t task, std::uint32_t mask, std::uint32_t* masks, std::uint32_t* count,
                                    port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    if (task != task_self() || count == nullptr) return kern_invalid_argument;
    if ((mask & ~((1u << exc_types_count) - 2)) != 0) return kern_invalid_argument;
    lock();
    KernReturn status = get_locked(&task_table, mask, masks, count, ports, behaviors, flavors);
    unlock();
    return status;
}

KernReturn task_set_exception_ports(port_t task, std::uint32_t mask, port_t port, std::int32_t behavior,
                                    std::int32_t flavor) noexcept {
    if (task != task_self()) return kern_invalid_argument;
    return swap(resolve_task, task, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

KernReturn task_swap_exception_ports(port_t task, std::uint32_t mask, port_t port, std::int32_t behavior,
                                     std::int32_t flavor, std::uint32_t* masks, std::uint32_t* count, port_t* ports,
                                     std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    if (task != task_self() || count == nullptr) return kern_invalid_argument;
    return swap(resolve_task, task, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

KernReturn thread_get_exception_ports(port_t thread, std::uint32_t mask, std::uint32_t* masks, std::uint32_t* count,
                                      port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    if (thread_port_tid(thread) <= 0 || count == nullptr) return kern_invalid_argument;
    if ((mask & ~((1u << exc_types_count) - 2)) != 0) return kern_invalid_argument;
    lock();
    KernReturn status = get_locked(thread_table(thread, false), mask, masks, count, ports, behaviors, flavors);
    unlock();
    return status;
}

KernReturn thread_set_exception_ports(port_t thread, std::uint32_t mask, port_t port, std::int32_t behavior,
                                      std::int32_t flavor) noexcept {
    if (thread_port_tid(thread) <= 0) return kern_invalid_argument;
    return swap(resolve_thread, thread, mask, port, behavior, flavor, nullptr, nullptr, nullptr, nullptr, nullptr);
}

KernReturn thread_swap_exception_ports(port_t thread, std::uint32_t mask, port_t port, std::int32_t behavior,
                                       std::int32_t flavor, std::uint32_t* masks, std::uint32_t* count,
                                       port_t* ports, std::int32_t* behaviors, std::int32_t* flavors) noexcept {
    if (thread_port_tid(thread) <= 0 || count == nullptr) return kern_invalid_argument;
    return swap(resolve_thread, thread, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

bool exception_target_for(port_t thread, int type, ExceptionTarget* target) noexcept {
    if (type <= 0 || static_cast<std::size_t>(type) >= exc_types_count || target == nullptr) return false;
    lock();
    const Registration* found = nullptr;
    if (const Table* own = thread_table(thread, false); own != nullptr && live(own->entries[type].port)) {
        found = &own->entries[type];
    } else if (live(task_table.entries[type].port)) {
        found = &task_table.entries[type];
    }
    if (found != nullptr) *target = ExceptionTarget{found->port, found->behavior, found->flavor};
    unlock();
    return found != nullptr;
}

int mach_exception_raise(port_t port, port_t thread, port_t task, int exception, const std::int64_t* code,
                         std::uint32_t code_count, std::uint32_t timeout_ms) noexcept {
    return raise_default(port, thread, task, exception, code, code_count, timeout_ms, mach_exception_raise_id);
}

int exception_raise(port_t port, port_t thread, port_t task, int exception, const std::int32_t* code,
                    std::uint32_t code_count, std::uint32_t timeout_ms) noexcept {
    return raise_default(port, thread, task, exception, code, code_count, timeout_ms, exception_raise_id);
}

int mach_exception_raise_state(port_t port, int exception, const std::int64_t* code, std::uint32_t code_count,
                               int* flavor, const std::uint32_t* old_state, std::uint32_t old_count,
                               std::uint32_t* new_state, std::uint32_t* new_count) noexcept {
    return raise_with_state(port, false, port_null, port_null, exception, code, code_count, flavor, old_state,
                            old_count, new_state, new_count, mach_exception_raise_state_id);
}

int exception_raise_state(port_t port, int exception, const std::int32_t* code, std::uint32_t code_count, int* flavor,
                          const std::uint32_t* old_state, std::uint32_t old_count, std::uint32_t* new_state,
                          std::uint32_t* new_count) noexcept {
    return raise_with_state(port, false, port_null, port_null, exception, code, code_count, flavor, old_state,
                            old_count, new_state, new_count, exception_raise_state_id);
}

int mach_exception_raise_state_identity(port_t port, port_t thread, port_t task, int exception,
                                        const std::int64_t* code, std::uint32_t code_count, int* flavor,
                                        const std::uint32_t* old_state, std::uint32_t old_count,
                                        std::uint32_t* new_state, std::uint32_t* new_count) noexcept {
    return raise_with_state(port, true, thread, task, exception, code, code_count, flavor, old_state, old_count,
                            new_state, new_count, mach_exception_raise_state_identity_id);
}

int exception_raise_state_identity(port_t port, port_t thread, port_t task, int exception, const std::int32_t* code,
                                   std::uint32_t code_count, int* flavor, const std::uint32_t* old_state,
                                   std::uint32_t old_count, std::uint32_t* new_state,
                                   std::uint32_t* new_count) noexcept {
    return raise_with_state(port, true, thread, task, exception, code, code_count, flavor, old_state, old_count,
                            new_state, new_count, exception_raise_state_identity_id);
}

int exception_raise_to_target(const ExceptionTarget& target, port_t thread, int exception, const std::int64_t* code,
                              std::uint32_t code_count, std::uint32_t timeout_ms) noexcept {
    if (code_count > exception_code_max) code_count = exception_code_max;
    std::int32_t code32[exception_code_max] = {};
    for (std::uint32_t i = 0; i < code_count; ++i) code32[i] = static_cast<std::int32_t>(code[i]);
    const bool wide = (target.behavior & mach_exception_codes) != 0;
    const std::int32_t plain = target.behavior & ~mach_exception_codes;
    if (plain == exception_default) {
        return wide ? raise_default(target.port, thread, task_self(), exception, code, code_count, timeout_ms,
                                    mach_exception_raise_id)
                    : raise_default(target.port, thread, task_self(), exception, code32, code_count, timeout_ms,
                                    exception_raise_id);
    }
    if (plain != exception_state && plain != exception_state_identity) return kern_failure;
    std::uint32_t state[x86_thread_state64_count];
    std::uint32_t count = x86_thread_state64_count;
    int flavor = target.flavor;
    KernReturn status = thread_get_state(thread, flavor, state, &count);
    if (status != kern_success) return status;
    std::uint32_t new_count = 0;
    const bool identity = plain == exception_state_identity;
    const std::int32_t id = identity ? (wide ? mach_exception_raise_state_identity_id : exception_raise_state_identity_id)
                                     : (wide ? mach_exception_raise_state_id : exception_raise_state_id);
    return wide ? raise_with_state<1024>(target.port, identity, thread, task_self(), exception, code, code_count, &flavor,
                                         state, count, nullptr, &new_count, id, timeout_ms)
                : raise_with_state<1024>(target.port, identity, thread, task_self(), exception, code32, code_count,
                                         &flavor, state, count, nullptr, &new_count, id, timeout_ms);
}

KernReturn thread_get_state(port_t thread, int flavor, std::uint32_t* state, std::uint32_t* count) noexcept {
    if (flavor != x86_thread_state64 || state == nullptr || count == nullptr || *count < x86_thread_state64_count) {
        return kern_invalid_argument;
    }
#if defined(__x86_64__)
    ucontext_t context;
    std::memset(&context, 0, sizeof context);
    // A suspended thread's context, or the fault context a thread offers; the calling
    // thread without one reads where it is now.
    KernReturn status = thread_get_state(thread, &context);
    if (status != kern_success) {
        if (thread != mach_thread_self()) return status;
        if (getcontext(&context) != 0) return kern_failure;
    }
    const greg_t* g = context.uc_mcontext.gregs;
    const std::uint64_t fs_gs_cs = static_cast<std::uint64_t>(g[REG_CSGSFS]);
    const std::uint64_t registers[21] = {
        static_cast<std::uint64_t>(g[REG_RAX]), static_cast<std::uint64_t>(g[REG_RBX]),
        static_cast<std::uint64_t>(g[REG_RCX]), static_cast<std::uint64_t>(g[REG_RDX]),
        static_cast<std::uint64_t>(g[REG_RDI]), static_cast<std::uint64_t>(g[REG_RSI]),
        static_cast<std::uint64_t>(g[REG_RBP]), static_cast<std::uint64_t>(g[REG_RSP]),
        static_cast<std::uint64_t>(g[REG_R8]),  static_cast<std::uint64_t>(g[REG_R9]),
        static_cast<std::uint64_t>(g[REG_R10]), static_cast<std::uint64_t>(g[REG_R11]),
        static_cast<std::uint64_t>(g[REG_R12]), static_cast<std::uint64_t>(g[REG_R13]),
        static_cast<std::uint64_t>(g[REG_R14]), static_cast<std::uint64_t>(g[REG_R15]),
        static_cast<std::uint64_t>(g[REG_RIP]), static_cast<std::uint64_t>(g[REG_EFL]),
        fs_gs_cs & 0xFFFF,                      (fs_gs_cs >> 32) & 0xFFFF,
        (fs_gs_cs >> 16) & 0xFFFF,
    };
    std::memcpy(state, registers, sizeof registers);
    *count = x86_thread_state64_count;
    return kern_success;
#else
    (void)thread;
    return kern_invalid_argument;
#endif
}

}  // namespace platform::darwin
