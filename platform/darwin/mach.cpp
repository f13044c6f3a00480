#include "platform/darwin/mach.hpp"

#include <cerrno>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::darwin {
namespace {

constexpr port_t own_task_name = 0x80000103u;
constexpr port_t thread_name_base = 0x10000000u;  // tids are below 2^22

// One read of [address, address + size) into dest; returns bytes copied, or -1.
long read_own(std::uint64_t address, std::uint64_t size, void* dest) noexcept {
    if (size == 0) return 0;
    iovec local{dest, static_cast<std::size_t>(size)};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), static_cast<std::size_t>(size)};
    for (;;) {
        const long n = static_cast<long>(syscall(SYS_process_vm_readv, static_cast<long>(getpid()), &local, 1UL,
                                                 &remote, 1UL, 0UL));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

}  // namespace

port_t task_self() noexcept { return own_task_name; }

port_t thread_self() noexcept { return thread_port_for_tid(static_cast<int>(syscall(SYS_gettid))); }

port_t thread_port_for_tid(int tid) noexcept {
    return tid > 0 ? thread_name_base + static_cast<port_t>(tid) : port_null;
}

int thread_port_tid(port_t thread) noexcept {
    if (thread <= thread_name_base || thread >= own_task_name) return -1;
    return static_cast<int>(thread - thread_name_base);
}

KernReturn port_retain(port_t port) noexcept {
    return (port == own_task_name || thread_port_tid(port) > 0) ? kern_success : kern_invalid_argument;
}

KernReturn port_release(port_t port) noexcept { return port_retain(port); }

std::size_t page_size() noexcept {
    // getpagesize reads a value the loader stored at start-up: no lock, no system call.
    return static_cast<std::size_t>(getpagesize());
}

KernReturn task_read(port_t task, std::uint64_t address, std::uint64_t size, void* dest,
                     std::uint64_t* copied) noexcept {
    if (copied) *copied = 0;
    if (task != own_task_name) return kern_invalid_argument;
    if (size == 0) return kern_success;
    if (address + size < address) return kern_invalid_address;
    const int saved = errno;
    const long n = read_own(address, size, dest);
    errno = saved;
    if (n < 0 || static_cast<std::uint64_t>(n) != size) return kern_invalid_address;
    if (copied) *copied = size;
    return kern_success;
}

KernReturn task_snapshot(port_t task, std::uint64_t address, std::uint64_t size, bool require_full,
                         std::uintptr_t* local, std::uint64_t* mapped) noexcept {
    *local = 0;
    *mapped = 0;
    const std::uint64_t page = page_size();
    if (task != own_task_name) return kern_invalid_argument;
    if (size == 0 || (address % page) != 0 || (size % page) != 0) return kern_invalid_argument;
    if (address + size < address) return kern_invalid_address;
    const int saved = errno;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        errno = saved;
        return kern_no_space;
    }
    const long n = read_own(address, size, pages);
    std::uint64_t got = n > 0 ? static_cast<std::uint64_t>(n) / page * page : 0;
    if (got == 0 || (require_full && got != size)) {
        munmap(pages, size);
        errno = saved;
        return kern_invalid_address;
    }
    if (got < size) munmap(static_cast<char*>(pages) + got, size - got);
    mprotect(pages, got, PROT_READ);
    errno = saved;
    *local = reinterpret_cast<std::uintptr_t>(pages);
    *mapped = got;
    return kern_success;
}

KernReturn snapshot_release(std::uintptr_t local, std::uint64_t size) noexcept {
    if (local == 0 || size == 0) return kern_invalid_argument;
    return munmap(reinterpret_cast<void*>(local), size) == 0 ? kern_success : kern_invalid_argument;
}

}  // namespace platform::darwin
