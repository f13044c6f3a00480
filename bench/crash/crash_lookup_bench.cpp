// What a crash report pays per frame and per image: a memory object over one page, naming a pc
// in libc (ELF) and in a Mach-O fixture, and finding the image that holds a pc.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <gnu/libc-version.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/image_list.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"

namespace {

using namespace lvcrash;
const task_t self = platform::darwin::task_self();

void ignore(lvcrash_vm_address_t, const char*, void*) {}

void BM_MemoryObjectOnePage(benchmark::State& state) {
    static char page[4096];
    for (auto _ : state) {
        lvcrash_async_mobject mobj;
        if (lvcrash_async_mobject_init(&mobj, self, reinterpret_cast<std::uint64_t>(page), sizeof page, true) !=
            LVCRASH_ERROR_NONE)
            state.SkipWithError("mapping failed");
        lvcrash_async_mobject_free(&mobj);
    }
}
BENCHMARK(BM_MemoryObjectOnePage);

void BM_ElfSymbolForPc(benchmark::State& state) {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &info);
    lvcrash_async_elf image;
    lvcrash_async_elf_init(&image, self, info.dli_fname, reinterpret_cast<std::uint64_t>(info.dli_fbase));
    const auto pc = reinterpret_cast<std::uint64_t>(&gnu_get_libc_version) + 1;
    for (auto _ : state) benchmark::DoNotOptimize(lvcrash_async_elf_find_symbol_by_pc(&image, pc, ignore, nullptr));
}
BENCHMARK(BM_ElfSymbolForPc);

void BM_MachOSymbolForPc(benchmark::State& state) {
    auto loaded = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"));
    lvcrash_async_macho image;
    lvcrash_async_macho_init(&image, self, "fixture", reinterpret_cast<std::uint64_t>(loaded->header()));
    const std::uint64_t pc = loaded->symbol("_fixture_frame") + 1;
    for (auto _ : state) benchmark::DoNotOptimize(lvcrash_async_macho_find_symbol_by_pc(&image, pc, ignore, nullptr));
    lvcrash_async_macho_free(&image);
}
BENCHMARK(BM_MachOSymbolForPc);

void BM_ImageContainingPc(benchmark::State& state) {
    lvcrash_async_image_list list;
    lvcrash_async_image_list_init(&list, self);
    for (std::uint32_t i = 0; i < platform::darwin::loader_image_count(); ++i)
        lvcrash_async_image_list_append(&list, reinterpret_cast<std::uint64_t>(platform::darwin::loader_image_header(i)),
                                        platform::darwin::loader_image_name(i));
    const auto pc = reinterpret_cast<std::uint64_t>(&gnu_get_libc_version) + 1;
    for (auto _ : state) {
        lvcrash_async_image_list_set_reading(&list, true);
        benchmark::DoNotOptimize(lvcrash_async_image_containing_address(&list, pc));
        lvcrash_async_image_list_set_reading(&list, false);
    }
    lvcrash_async_image_list_free(&list);
}
BENCHMARK(BM_ImageContainingPc);

}  // namespace

BENCHMARK_MAIN();
