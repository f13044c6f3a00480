#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <link.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/elf.hpp"
#include "crashreporter/symbol_support.hpp"

using namespace lvcrash;

namespace {

const task_t self = platform::darwin::task_self();

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

struct Loaded {
    std::string name;
    std::uint64_t header = 0;
    std::uint64_t bias = 0;
    std::uint64_t text_end = 0;
};

// The first loaded object whose name contains `part`, as dl_iterate_phdr reports it.
Loaded find_loaded(const std::string& part) {
    struct Ctx {
        std::string part;
        Loaded found;
        bool done = false;
    } ctx{part, {}, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* c = static_cast<Ctx*>(data);
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (c->done || name.find(c->part) == std::string::npos) return 0;
            c->done = true;
            c->found.name = name;
            c->found.bias = info->dlpi_addr;
            bool first = true;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                if (first) c->found.header = info->dlpi_addr + ph.p_vaddr;
                first = false;
                if (ph.p_flags & PF_X) c->found.text_end = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
            }
            return 0;
        },
        &ctx);
    return ctx.found;
}

using symbol_support::Found;
using symbol_support::remember;

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        out += b;
    }
    return out;
}

}  // namespace

TEST(ElfImage, ExportedFunctionsOfLibcAndLibstdcxxMatchDladdr) {
    for (const char* library : {"libc.so.6", "libstdc++.so.6"}) {
        SCOPED_TRACE(library);
        const Loaded loaded = find_loaded(library);
        ASSERT_FALSE(loaded.name.empty());
        lvcrash_async_elf image;
        ASSERT_EQ(lvcrash_async_elf_init(&image, self, loaded.name.c_str(), loaded.header), LVCRASH_ERROR_NONE);
        EXPECT_EQ(static_cast<std::uint64_t>(image.load_bias), loaded.bias);
        EXPECT_EQ(image.text_end, loaded.text_end);
        EXPECT_EQ(image.cpu_type, 0x01000007u);
        EXPECT_EQ(image.cpu_subtype, 3u);
        EXPECT_NE(image.eh_frame_hdr, 0u);
        ASSERT_TRUE(image.has_uuid);
        const std::string notes = run(std::string(LLVM_READELF) + " -n " + loaded.name);
        const auto at = notes.find("Build ID: ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(hex(image.uuid, 16), notes.substr(at + 10, 32));

        // Oracle: llvm-nm's list of defined dynamic functions; dladdr's answer for address + 1.
        const std::string listing = run(std::string(LLVM_NM) + " -D --defined-only " + loaded.name);
        std::size_t checked = 0;
        std::size_t pos = 0;
        while (pos < listing.size()) {
            const std::size_t eol = listing.find('\n', pos);
            const std::string line = listing.substr(pos, eol - pos);
            pos = eol == std::string::npos ? listing.size() : eol + 1;
            if (line.size() < 20) continue;
            const char type = line[17];
            if (type != 'T' && type != 'W' && type != 'i') continue;
            const std::uint64_t value = std::stoull(line.substr(0, 16), nullptr, 16);
            const std::uint64_t pc = loaded.bias + value + 1;
            Dl_info info{};
            if (!dladdr(reinterpret_cast<void*>(pc), &info) || !info.dli_sname) continue;
            Found found;
            ASSERT_EQ(lvcrash_async_elf_find_symbol_by_pc(&image, pc, remember, &found), LVCRASH_ERROR_NONE)
                << line;
            EXPECT_EQ(found.name, info.dli_sname) << line;
            EXPECT_EQ(found.address, reinterpret_cast<std::uint64_t>(info.dli_saddr)) << line;
            ++checked;
        }
        EXPECT_GT(checked, 500u);
        lvcrash_async_elf_free(&image);
    }
}

namespace {
__attribute__((noinline)) int elf_test_static_function(int v) { return v + 3; }
}  // namespace

TEST(ElfImage, ExecutableSymbolsComeFromTheMappedSymtabAndTheVdsoIsRead) {
    const Loaded exe = find_loaded("");  // the program comes first, with an empty name
    char path[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
    lvcrash_async_elf image;
    ASSERT_EQ(lvcrash_async_elf_init_owned(&image, self, path, exe.header), LVCRASH_ERROR_NONE);
    ASSERT_NE(image.symtab, nullptr);
    const auto pc = reinterpret_cast<std::uint64_t>(&elf_test_static_function) + 1;
    ASSERT_TRUE(lvcrash_async_elf_contains_address(&image, pc)) << std::hex << exe.header << " " << image.text_end << " " << pc << " " << exe.name;
    Found found;
    ASSERT_EQ(lvcrash_async_elf_find_symbol_by_pc(&image, pc, remember, &found), LVCRASH_ERROR_NONE);
    EXPECT_NE(found.name.find("elf_test_static_function"), std::string::npos) << found.name;
    EXPECT_EQ(found.address, pc - 1);
    EXPECT_EQ(elf_test_static_function(1), 4);
    lvcrash_async_elf_free(&image);

    const Loaded vdso = find_loaded("vdso");
    if (vdso.name.empty()) GTEST_SKIP() << "no vDSO";
    ASSERT_EQ(lvcrash_async_elf_init(&image, self, "vdso", vdso.header), LVCRASH_ERROR_NONE);
    EXPECT_GT(image.dynsym_count, 0u);
    Found vfound;
    void* handle = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD);
    void* gettime = handle ? dlsym(handle, "__vdso_clock_gettime") : nullptr;
    if (gettime) {
        ASSERT_EQ(lvcrash_async_elf_find_symbol_by_pc(&image, reinterpret_cast<std::uint64_t>(gettime) + 1, remember, &vfound),
                  LVCRASH_ERROR_NONE);
        EXPECT_TRUE(vfound.name == "__vdso_clock_gettime" || vfound.name == "clock_gettime") << vfound.name;
    }
    lvcrash_async_elf_free(&image);
}

TEST(ElfImage, BuildIdPresentOrAbsent) {
    for (const auto& [path, has_id] : {std::pair{ELF_FIXTURE_PATH, true}, std::pair{ELF_FIXTURE_NOID_PATH, false}}) {
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        const Loaded loaded = find_loaded(path);
        lvcrash_async_elf image;
        ASSERT_EQ(lvcrash_async_elf_init_owned(&image, self, path, loaded.header), LVCRASH_ERROR_NONE);
        EXPECT_EQ(image.has_uuid, has_id) << path;
        auto* exported = dlsym(handle, "elf_fixture_exported");
        Found found;
        ASSERT_EQ(lvcrash_async_elf_find_symbol_by_pc(&image, reinterpret_cast<std::uint64_t>(exported) + 1, remember, &found),
                  LVCRASH_ERROR_NONE);
        Dl_info info{};
        ASSERT_TRUE(dladdr(reinterpret_cast<char*>(exported) + 1, &info));
        EXPECT_EQ(found.name, info.dli_sname);  // one of two aliases, the same one glibc names
        lvcrash_async_elf_free(&image);
        dlclose(handle);
    }
}

namespace {

// A private copy of a loaded object's PT_LOAD ranges at the same relative layout.
struct ElfCopy {
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    explicit ElfCopy(const Loaded& loaded) {
        size = ((loaded.text_end - loaded.header) + 0x200000 + 0xfff) & ~std::size_t{0xfff};
        bytes = static_cast<std::uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::pair<ElfCopy*, const Loaded*> context(this, &loaded);
        dl_iterate_phdr(
            [](dl_phdr_info* info, std::size_t, void* data) {
                auto* self_copy = static_cast<std::pair<ElfCopy*, const Loaded*>*>(data);
                if (info->dlpi_addr != self_copy->second->bias || !info->dlpi_name ||
                    self_copy->second->name != info->dlpi_name)
                    return 0;
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const auto& ph = info->dlpi_phdr[i];
                    if (ph.p_type != PT_LOAD) continue;
                    const std::uint64_t from = info->dlpi_addr + ph.p_vaddr;
                    const std::uint64_t off = from - self_copy->second->header;
                    std::uint64_t copied = 0;  // a raw copy: sanitizers poison parts of loaded data
                    if (off + ph.p_filesz <= self_copy->first->size)
                        platform::darwin::task_read(platform::darwin::task_self(), from, ph.p_filesz,
                                                    self_copy->first->bytes + off, &copied);
                }
                return 1;
            },
            &context);
    }
    ~ElfCopy() { munmap(bytes, size); }
    std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(bytes); }
    Elf64_Ehdr* header() { return reinterpret_cast<Elf64_Ehdr*>(bytes); }
    Elf64_Phdr* phdr(std::uint32_t type) {
        auto* ph = reinterpret_cast<Elf64_Phdr*>(bytes + header()->e_phoff);
        for (int i = 0; i < header()->e_phnum; ++i)
            if (ph[i].p_type == type) return &ph[i];
        return nullptr;
    }
};

}  // namespace

TEST(ElfImage, MutatedObjectsEndInTheirCodes) {
    void* handle = dlopen(ELF_FIXTURE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    const Loaded loaded = find_loaded(ELF_FIXTURE_PATH);
    struct Case {
        const char* what;
        std::function<void(ElfCopy&)> mutate;
        lvcrash_error_t result;
    };
    const Case cases[] = {
        {"unchanged", [](ElfCopy&) {}, LVCRASH_ERROR_NONE},
        {"bad magic", [](ElfCopy& c) { c.bytes[1] = 'X'; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"32-bit class", [](ElfCopy& c) { c.bytes[EI_CLASS] = ELFCLASS32; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"big-endian data", [](ElfCopy& c) { c.bytes[EI_DATA] = ELFDATA2MSB; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"huge e_phnum", [](ElfCopy& c) { c.header()->e_phnum = 0xfffe; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"e_phoff past the object", [](ElfCopy& c) { c.header()->e_phoff = 0x7fff00000000ull; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"wrong e_phentsize", [](ElfCopy& c) { c.header()->e_phentsize = 32; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"PT_DYNAMIC outside", [](ElfCopy& c) { c.phdr(PT_DYNAMIC)->p_vaddr = 0x7ff000000000ull; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"build-id note outside", [](ElfCopy& c) { c.phdr(PT_NOTE)->p_vaddr = 0x7ff000000000ull; }, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"note sizes past the segment",
         [](ElfCopy& c) {
             auto* note = c.phdr(PT_NOTE);
             auto* words = reinterpret_cast<std::uint32_t*>(c.bytes + note->p_vaddr);
             words[0] = 0xfffffff0;  // namesz
         },
         LVCRASH_ERROR_NONE},
        {"no executable segment",
         [](ElfCopy& c) {
             auto* ph = reinterpret_cast<Elf64_Phdr*>(c.bytes + c.header()->e_phoff);
             for (int i = 0; i < c.header()->e_phnum; ++i) ph[i].p_flags &= ~static_cast<Elf64_Word>(PF_X);
         },
         LVCRASH_ERROR_INVALID_ARGUMENT},
    };
    for (const auto& c : cases) {
        ElfCopy copy(loaded);
        c.mutate(copy);
        lvcrash_async_elf image;
        EXPECT_EQ(lvcrash_async_elf_init(&image, self, c.what, copy.address()), c.result) << c.what;
    }
    dlclose(handle);
}

// The ELF format orders only the loadable segments among themselves; linkers differ in where
// they put the notes, ahead of the first loadable segment or after the last.
TEST(ElfImage, TheBuildIdIsFoundWhereverTheNotesStandAmongTheProgramHeaders) {
    void* handle = dlopen(ELF_FIXTURE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    const Loaded loaded = find_loaded(ELF_FIXTURE_PATH);
    for (const bool notesFirst : {true, false}) {
        ElfCopy copy(loaded);
        auto* ph = reinterpret_cast<Elf64_Phdr*>(copy.bytes + copy.header()->e_phoff);
        const auto end = ph + copy.header()->e_phnum;
        const auto note = std::find_if(ph, end, [](const Elf64_Phdr& h) { return h.p_type == PT_NOTE; });
        ASSERT_NE(note, end);
        if (notesFirst)
            std::rotate(ph, note, note + 1);
        else
            std::rotate(note, note + 1, end);
        lvcrash_async_elf image;
        ASSERT_EQ(lvcrash_async_elf_init(&image, self, "reordered", copy.address()), LVCRASH_ERROR_NONE);
        EXPECT_TRUE(image.has_uuid) << (notesFirst ? "notes first" : "notes last");
        lvcrash_async_elf_free(&image);
    }
    dlclose(handle);
}

TEST(ElfImage, RandomMutationsOfHeadersAndDynamicNeverFault) {
    void* handle = dlopen(ELF_FIXTURE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    const Loaded loaded = find_loaded(ELF_FIXTURE_PATH);
    const auto pc = reinterpret_cast<std::uint64_t>(dlsym(handle, "elf_fixture_exported")) + 1 - loaded.header;
    ElfCopy pristine(loaded);
    // Where the mutations land: the ELF and program headers, the notes and the dynamic section.
    std::vector<std::pair<std::size_t, std::size_t>> targets = {
        {0, sizeof(Elf64_Ehdr) + pristine.header()->e_phnum * sizeof(Elf64_Phdr)}};
    for (std::uint32_t type : {static_cast<std::uint32_t>(PT_NOTE), static_cast<std::uint32_t>(PT_DYNAMIC)})
        if (auto* ph = pristine.phdr(type)) targets.emplace_back(ph->p_vaddr, ph->p_memsz);
    std::uint64_t state = 0x853c49e6748fea9bull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int parsed = 0;
    for (int round = 0; round < 600; ++round) {
        ElfCopy copy(loaded);
        const auto& [start, size] = targets[next() % targets.size()];
        for (int k = 0, n = 1 + static_cast<int>(next() % 3); k < n; ++k)
            copy.bytes[start + next() % size] = static_cast<std::uint8_t>(next() % 3 == 0 ? 0xff : next());
        lvcrash_async_elf image;
        if (lvcrash_async_elf_init(&image, self, "mutated", copy.address()) != LVCRASH_ERROR_NONE) continue;
        ++parsed;
        Found found;
        lvcrash_async_elf_find_symbol_by_pc(&image, copy.address() + pc, remember, &found);
    }
    EXPECT_GT(parsed, 50);
    dlclose(handle);
}
