#pragma once
// Stands in for the few Mach task, thread and virtual-memory calls the crash reporter makes.
// Ports are names in one emulated space: the own task has a fixed name, a thread's name is
// derived from its kernel thread id. Memory is read with process_vm_readv on the own pid,
// which reports unreadable pages with EFAULT instead of faulting, so every call here is
// safe on a crashed thread or in a signal handler (system calls only, no heap, no locks).
#include <cstddef>
#include <cstdint>

namespace platform::darwin {

using port_t = std::uint32_t;  // a Mach port name

// Results of the Mach calls, with the numbers callers compare against.
enum KernReturn : int {
    kern_success = 0,
    kern_invalid_address = 1,
    kern_protection_failure = 2,
    kern_no_space = 3,
    kern_invalid_argument = 4,
    kern_failure = 5,
};

inline constexpr port_t port_null = 0;

// The own task's port name (never a thread id: those stay below 2^22).
port_t task_self() noexcept;
// The calling thread's port name.
port_t thread_self() noexcept;
// Kernel thread id behind a thread port name, or -1 when the name is not a thread.
int thread_port_tid(port_t thread) noexcept;
port_t thread_port_for_tid(int tid) noexcept;

// Reference counting on port names: the emulated space keeps no counts, but a name that
// names nothing is refused as Mach would.
KernReturn port_retain(port_t port) noexcept;
KernReturn port_release(port_t port) noexcept;

std::size_t page_size() noexcept;

// Stands in for mach_vm_read_overwrite: copies size bytes at address of the task into dest.
// An unreadable byte anywhere fails the whole copy with kern_invalid_address.
KernReturn task_read(port_t task, std::uint64_t address, std::uint64_t size, void* dest,
                     std::uint64_t* copied) noexcept;

// Stands in for memory entries mapped with mach_vm_map: a read-only snapshot of whole pages
// [address, address + size) of the task in fresh pages of our own. address and size are
// page-aligned. Without require_full the snapshot is the readable prefix (at least one page);
// with it every page must be readable. kern_no_space when no pages could be reserved,
// kern_invalid_address when nothing (or, with require_full, not everything) is readable.
KernReturn task_snapshot(port_t task, std::uint64_t address, std::uint64_t size, bool require_full,
                         std::uintptr_t* local, std::uint64_t* mapped) noexcept;
// Stands in for mach_vm_deallocate in the own task.
KernReturn snapshot_release(std::uintptr_t local, std::uint64_t size) noexcept;

}  // namespace platform::darwin
