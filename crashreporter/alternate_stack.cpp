#include "crashreporter/alternate_stack.hpp"

#include <csignal>
#include <sys/mman.h>
#include <vector>

#include "platform/darwin/thread_control.hpp"

namespace lvcrash {
namespace {

void* map_block() {
    void* block = mmap(nullptr, LVCRASH_ALTERNATE_STACK_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

struct InstallRequest {
    void* block;
    bool used;
};

// Runs on the stopped thread, inside its stop handler. Returning from a handler restores the
// signal stack its context holds, so the fresh stack goes there; a thread that had one keeps it.
void install_from_stop_handler(ucontext_t* context, void* raw) {
    auto* request = static_cast<InstallRequest*>(raw);
    if (!(context->uc_stack.ss_flags & SS_DISABLE)) return;
    context->uc_stack.ss_sp = request->block;
    context->uc_stack.ss_size = LVCRASH_ALTERNATE_STACK_SIZE;
    context->uc_stack.ss_flags = 0;
    request->used = true;
}

}  // namespace

std::size_t lvcrash_alternate_stack_install_on_all_threads() {
    namespace darwin = platform::darwin;
    if (!darwin::thread_control_install()) return 0;
    std::vector<darwin::port_t> threads(darwin::thread_control_slot_count);
    std::size_t count = 0;
    if (darwin::task_threads(darwin::task_self(), threads.data(), threads.size(), &count) != darwin::kern_success)
        return 0;
    const darwin::port_t self = darwin::mach_thread_self();
    std::vector<InstallRequest> requests;
    for (std::size_t i = 0; i < count; ++i) requests.push_back({threads[i] == self ? nullptr : map_block(), false});
    std::size_t installed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!requests[i].block) continue;
        if (darwin::thread_run_stopped(threads[i], install_from_stop_handler, &requests[i]) != darwin::kern_success)
            requests[i].used = false;
        if (requests[i].used) ++installed;
        else munmap(requests[i].block, LVCRASH_ALTERNATE_STACK_SIZE);
    }
    return installed;
}

void* lvcrash_alternate_stack_install_own() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return nullptr;
    void* block = map_block();
    if (!block) return nullptr;
    stack_t fresh{};
    fresh.ss_sp = block;
    fresh.ss_size = LVCRASH_ALTERNATE_STACK_SIZE;
    if (sigaltstack(&fresh, nullptr) != 0) {
        munmap(block, LVCRASH_ALTERNATE_STACK_SIZE);
        return nullptr;
    }
    return block;
}

void lvcrash_alternate_stack_release(void* block) {
    if (!block) return;
    stack_t current{};
    // Only when it is still ours (the thread may have installed another meanwhile).
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == block) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        if (sigaltstack(&off, nullptr) != 0) return;  // running on it: keep it rather than pull it away
    }
    munmap(block, LVCRASH_ALTERNATE_STACK_SIZE);
}

std::size_t lvcrash_alternate_stack_used(const void* block, std::size_t size, unsigned char pattern) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    std::size_t untouched = 0;
    while (untouched < size && bytes[untouched] == pattern) ++untouched;
    return size - untouched;
}

}  // namespace lvcrash
