// What unwinding costs at crash time: a 32-frame ELF stack and a 32-frame Mach-O stack walked
// from a captured state (each within 1 ms), and suspending and reading 50 threads (20 ms).
#include <benchmark/benchmark.h>

#include <atomic>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/frame_cursor.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"
#include "platform/darwin/thread_control.hpp"

namespace {

using namespace lvcrash;
const task_t self = platform::darwin::task_self();
lvcrash_async_image_list* image_list = nullptr;

lvcrash_async_image_list* list() {
    if (!image_list) {
        image_list = new lvcrash_async_image_list;
        lvcrash_async_image_list_init(image_list, self);
        platform::darwin::loader_register_add_image([](const void* header, std::intptr_t) {
            platform::darwin::ImageAtAddress at;
            std::string name;
            if (platform::darwin::loader_image_containing_address(header, &at)) name = at.name;
            lvcrash_async_image_list_append(image_list, reinterpret_cast<lvcrash_vm_address_t>(header), name.c_str());
        });
    }
    return image_list;
}

struct WalkJob {
    benchmark::State* state;
    int frames;
};

// Walks `frames` frames from the captured state, once per benchmark iteration.
lvcrash_error_t walk_repeatedly(lvcrash_async_thread_state* captured, void* raw) {
    auto* job = static_cast<WalkJob*>(raw);
    for (auto _ : *job->state) {
        lvcrash_frame_cursor cursor;
        lvcrash_frame_cursor_init(&cursor, self, captured, list());
        int n = 0;
        while (n < job->frames && lvcrash_frame_cursor_next(&cursor) == LVCRASH_FRAME_OK) ++n;
        lvcrash_frame_cursor_free(&cursor);
        if (n < job->frames) job->state->SkipWithError("the walk ended early");
    }
    return LVCRASH_ERROR_NONE;
}

__attribute__((noinline)) int elf_recurse(int depth, WalkJob* job) {
    if (depth == 0) return static_cast<int>(lvcrash_async_thread_state_current(walk_repeatedly, job));
    const int r = elf_recurse(depth - 1, job);
    benchmark::DoNotOptimize(r);
    return r + 1;
}

void BM_UnwindElf32Frames(benchmark::State& state) {
    WalkJob job{&state, 32};
    elf_recurse(32, &job);
}
BENCHMARK(BM_UnwindElf32Frames)->Unit(benchmark::kMicrosecond);

struct ChainStep {
    long (*fn)(long, const ChainStep*);
};
WalkJob* macho_job = nullptr;

long macho_bottom(long value, const ChainStep*) {
    lvcrash_async_thread_state_current(walk_repeatedly, macho_job);
    benchmark::DoNotOptimize(value);
    return value;
}

void BM_UnwindMachO32Frames(benchmark::State& state) {
    list();
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 3, {}});
    using Fn = long (*)(long, const ChainStep*);
    const Fn shapes[] = {reinterpret_cast<Fn>(image->symbol("_fixture_chain_frame")),
                         reinterpret_cast<Fn>(image->symbol("_fixture_chain_alloca")),
                         reinterpret_cast<Fn>(image->symbol("_fixture_chain_frameless")),
                         reinterpret_cast<Fn>(image->symbol("_fixture_chain_dwarf"))};
    std::vector<ChainStep> steps;
    for (int i = 0; i < 32; ++i) steps.push_back({shapes[i % 4]});
    steps.push_back({macho_bottom});
    WalkJob job{&state, 32};
    macho_job = &job;
    steps[0].fn(1, steps.data() + 1);
}
BENCHMARK(BM_UnwindMachO32Frames)->Unit(benchmark::kMicrosecond);

void BM_SuspendAndRead50Threads(benchmark::State& state) {
    platform::darwin::thread_control_install();
    std::atomic<int> go{0};
    std::vector<std::atomic<platform::darwin::port_t>> ports(50);
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i) {
        threads.emplace_back([&, i] {
            ports[i].store(platform::darwin::mach_thread_self());
            while (go.load() == 0) syscall(SYS_futex, reinterpret_cast<int*>(&go), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        });
    }
    for (auto& p : ports)
        while (p.load() == 0) std::this_thread::yield();
    for (auto _ : state) {
        for (auto& p : ports)
            if (platform::darwin::thread_suspend(p.load()) != platform::darwin::kern_success)
                state.SkipWithError("a thread did not stop");
        for (auto& p : ports) {
            lvcrash_async_thread_state s;
            benchmark::DoNotOptimize(lvcrash_async_thread_state_mach_thread_init(&s, p.load()));
        }
        for (auto& p : ports) platform::darwin::thread_resume(p.load());
    }
    go.store(1);
    syscall(SYS_futex, reinterpret_cast<int*>(&go), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    for (auto& t : threads) t.join();
}
BENCHMARK(BM_SuspendAndRead50Threads)->Unit(benchmark::kMillisecond);

}  // namespace
