#include <cstring>
#include <functional>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/macho.hpp"
#include "crashreporter/symbol_support.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;
using platform::darwin::load_macho_image;
using platform::darwin::LoadedMachOImage;
using platform::darwin::MachOLoadOptions;

namespace {

const task_t self = platform::darwin::task_self();

using symbol_support::Found;
using symbol_support::remember;

lvcrash_error_t lookup(lvcrash_async_macho* image, std::uint64_t pc, Found* found) {
    return lvcrash_async_macho_find_symbol_by_pc(image, pc, remember, found);
}

// A private, writable copy of a loaded image's pages, laid out the same way, for mutations.
struct ImageCopy {
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    ImageCopy(const LoadedMachOImage& image, std::size_t extra_pages = 0) {
        size = image.vm_size() + extra_pages * platform::darwin::page_size();
        bytes = static_cast<std::uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memcpy(bytes, reinterpret_cast<const void*>(image.base()), image.vm_size());
    }
    ~ImageCopy() { munmap(bytes, size); }
    std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(bytes); }
    template <typename T>
    T get(std::size_t offset) const {
        T v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    }
    template <typename T>
    void put(std::size_t offset, T v) {
        std::memcpy(bytes + offset, &v, sizeof v);
    }
    // Offset of the first load command of the given type, or 0.
    std::size_t command(std::uint32_t type) const {
        const auto ncmds = get<std::uint32_t>(16);
        std::size_t off = 32;
        for (std::uint32_t i = 0; i < ncmds; ++i) {
            if (get<std::uint32_t>(off) == type) return off;
            off += get<std::uint32_t>(off + 4);
        }
        return 0;
    }
    std::size_t segment(const char* name) const {
        const auto ncmds = get<std::uint32_t>(16);
        std::size_t off = 32;
        for (std::uint32_t i = 0; i < ncmds; ++i) {
            if (get<std::uint32_t>(off) == LVCRASH_LC_SEGMENT_64 &&
                std::strncmp(reinterpret_cast<const char*>(bytes + off + 8), name, 16) == 0)
                return off;
            off += get<std::uint32_t>(off + 4);
        }
        return 0;
    }
};

class MachOReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        x86 = load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 0x5eed, {}}).release();
        arm = load_macho_image(fixtures::macho_path("fixture_arm64"), {false, 0xa11, {}}).release();
        arm32 = load_macho_image(fixtures::macho_path("fixture_arm64_32")).release();
        stripped = load_macho_image(fixtures::macho_path("fixture_x86_64_stripped")).release();
    }
    static void TearDownTestSuite() {
        delete x86;
        delete arm;
        delete arm32;
        delete stripped;
    }
    static inline LoadedMachOImage* x86 = nullptr;
    static inline LoadedMachOImage* arm = nullptr;
    static inline LoadedMachOImage* arm32 = nullptr;
    static inline LoadedMachOImage* stripped = nullptr;
};

}  // namespace

TEST_F(MachOReader, EveryListedFunctionIsFoundAtAddressPlusOne) {
    struct Case {
        const char* fixture;
        LoadedMachOImage* image;
        std::uint32_t cpu_type;
        std::uint32_t header_size;
    };
    const Case cases[] = {
        {"fixture_x86_64", x86, platform::darwin::cpu_type_x86_64, 32},
        {"fixture_arm64", arm, platform::darwin::cpu_type_arm64, 32},
        {"fixture_arm64_32", arm32, platform::darwin::cpu_type_arm64_32, 28},
        {"fixture_x86_64_stripped", stripped, platform::darwin::cpu_type_x86_64, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        lvcrash_async_macho image;
        ASSERT_EQ(lvcrash_async_macho_init(&image, self, c.fixture, reinterpret_cast<std::uint64_t>(c.image->header())),
                  LVCRASH_ERROR_NONE);
        EXPECT_STREQ(image.name, c.fixture);
        EXPECT_EQ(lvcrash_async_macho_cpu_type(&image), c.cpu_type);
        EXPECT_EQ(lvcrash_async_macho_header_size(&image), c.header_size);
        EXPECT_EQ(image.vmaddr_slide, c.image->slide());
        EXPECT_EQ(image.text_size,
                  std::stoull(fixtures::header_value(c.fixture, "segname __TEXT", "vmsize"), nullptr, 16));
        const auto listing = fixtures::nm_listing(c.fixture);
        const auto names = fixtures::names_by_value(listing);
        int functions = 0;
        for (const auto& symbol : listing) {
            if (!fixtures::is_function(symbol)) continue;
            ++functions;
            const std::uint64_t pc = symbol.value + static_cast<std::uint64_t>(c.image->slide()) + 1;
            EXPECT_TRUE(lvcrash_async_macho_contains_address(&image, pc));
            Found found;
            ASSERT_EQ(lookup(&image, pc, &found), LVCRASH_ERROR_NONE) << symbol.name;
            EXPECT_EQ(found.address, pc - 1) << symbol.name;
            EXPECT_TRUE(names.at(symbol.value).count(found.name)) << symbol.name << " vs " << found.name;
            lvcrash_vm_address_t by_name = 0;
            EXPECT_EQ(lvcrash_async_macho_find_symbol_by_name(&image, found.name.c_str(), &by_name), LVCRASH_ERROR_NONE);
            EXPECT_EQ(by_name, pc - 1);
        }
        EXPECT_GE(functions, 7);
        EXPECT_FALSE(lvcrash_async_macho_contains_address(&image, c.image->base() - 1));
        EXPECT_FALSE(lvcrash_async_macho_contains_address(&image, reinterpret_cast<std::uint64_t>(c.image->header()) + image.text_size));
        lvcrash_vm_address_t none = 0;
        EXPECT_EQ(lvcrash_async_macho_find_symbol_by_name(&image, "_no_such_symbol", &none), LVCRASH_ERROR_NOT_FOUND);
        lvcrash_async_macho_free(&image);
    }
}

TEST_F(MachOReader, StrippedImageNamesALocalFunctionByThePrecedingGlobal) {
    lvcrash_async_macho image;
    ASSERT_EQ(lvcrash_async_macho_init(&image, self, "s", reinterpret_cast<std::uint64_t>(stripped->header())),
              LVCRASH_ERROR_NONE);
    const auto full = fixtures::nm_listing("fixture_x86_64");
    std::uint64_t helper = 0;
    for (const auto& s : full)
        if (s.name == "_fixture_local_helper") helper = s.value;
    ASSERT_NE(helper, 0u);
    Found found;
    ASSERT_EQ(lookup(&image, helper + static_cast<std::uint64_t>(stripped->slide()) + 1, &found), LVCRASH_ERROR_NONE);
    EXPECT_EQ(found.name, "_fixture_uses_local");
    lvcrash_async_macho_free(&image);
}

TEST_F(MachOReader, LoadCommandsSectionsAndSegments) {
    lvcrash_async_macho image;
    ASSERT_EQ(lvcrash_async_macho_init(&image, self, "x", reinterpret_cast<std::uint64_t>(x86->header())),
              LVCRASH_ERROR_NONE);
    int count = 0;
    for (auto* cmd = lvcrash_async_macho_next_command(&image, nullptr); cmd; cmd = lvcrash_async_macho_next_command(&image, cmd))
        ++count;
    EXPECT_EQ(static_cast<std::uint32_t>(count), image.ncmds);
    const auto* uuid = lvcrash_async_macho_find_command(&image, LVCRASH_LC_UUID);
    ASSERT_NE(uuid, nullptr);
    char text[40];
    const auto* u = reinterpret_cast<const std::uint8_t*>(uuid) + 8;
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1],
                  u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    EXPECT_EQ(text, fixtures::header_value("fixture_x86_64", "LC_UUID", "uuid"));

    lvcrash_async_mobject text_section;
    ASSERT_EQ(lvcrash_async_macho_map_section(&image, "__TEXT", "__text", &text_section), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_mobject_base_address(&text_section),
              std::stoull(fixtures::header_value("fixture_x86_64", "sectname __text", "addr"), nullptr, 16) +
                  static_cast<std::uint64_t>(x86->slide()));
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(text_section.address),
                          reinterpret_cast<const void*>(text_section.task_address), text_section.length), 0);
    lvcrash_async_mobject_free(&text_section);
    lvcrash_async_mobject unused;
    EXPECT_EQ(lvcrash_async_macho_map_section(&image, "__TEXT", "__nothing", &unused), LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(lvcrash_async_macho_map_section(&image, "__NOSEG", "__text", &unused), LVCRASH_ERROR_NOT_FOUND);
    lvcrash_async_macho_mapped_segment_t linkedit;
    ASSERT_EQ(lvcrash_async_macho_map_segment(&image, "__LINKEDIT", &linkedit), LVCRASH_ERROR_NONE);
    EXPECT_GT(linkedit.filesize, 0u);
    lvcrash_async_macho_mapped_segment_free(&linkedit);
    EXPECT_EQ(lvcrash_async_macho_map_segment(&image, "__NOSEG", &linkedit), LVCRASH_ERROR_NOT_FOUND);

    // Lazy strings: a section name in the image, and one across a page boundary.
    lvcrash_async_macho_string_t name;
    lvcrash_async_macho_string_init(&name, &image, reinterpret_cast<std::uint64_t>(uuid) - reinterpret_cast<std::uint64_t>(uuid));
    std::size_t length = 0;
    EXPECT_EQ(lvcrash_async_macho_string_get_length(&name, &length), LVCRASH_ERROR_INVALID_ARGUMENT);  // address 0
    lvcrash_async_macho_string_free(&name);
    lvcrash_async_macho_free(&image);
}

TEST(MachOString, GrowsAcrossPagesAndStopsAtUnreadableBytes) {
    const std::size_t page = platform::darwin::page_size();
    auto* mem = static_cast<char*>(mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(mem, 'a', 3 * page);
    mem[2 * page + 10] = 0;
    mprotect(mem + 3 * page, page, PROT_NONE);
    lvcrash_async_macho image{};
    image.task = self;
    struct Case {
        std::size_t start;
        lvcrash_error_t result;
        std::size_t length;
    };
    const Case cases[] = {
        {page - 5, LVCRASH_ERROR_NONE, page + 15},   // runs across a page boundary
        {2 * page + 10, LVCRASH_ERROR_NONE, 0},
        {2 * page + 11, LVCRASH_ERROR_INVALID_ARGUMENT, 0},  // runs into the guard page
    };
    for (const auto& c : cases) {
        lvcrash_async_macho_string_t s;
        lvcrash_async_macho_string_init(&s, &image, reinterpret_cast<std::uint64_t>(mem + c.start));
        std::size_t length = 99;
        EXPECT_EQ(lvcrash_async_macho_string_get_length(&s, &length), c.result) << c.start;
        if (c.result == LVCRASH_ERROR_NONE) {
            EXPECT_EQ(length, c.length);
            const char* p = nullptr;
            ASSERT_EQ(lvcrash_async_macho_string_get_pointer(&s, &p), LVCRASH_ERROR_NONE);
            EXPECT_EQ(std::strlen(p), c.length);
            EXPECT_NE(p, mem + c.start);  // a snapshot, not the original
        }
        lvcrash_async_macho_string_free(&s);
    }
    munmap(mem, 4 * page);
}

// Swaps every field the reader looks at, making a big-endian image of a little-endian one.
static void byte_swap_image(ImageCopy& copy) {
    auto swap32 = [&](std::size_t off) { copy.put(off, __builtin_bswap32(copy.get<std::uint32_t>(off))); };
    auto swap64 = [&](std::size_t off) { copy.put(off, __builtin_bswap64(copy.get<std::uint64_t>(off))); };
    const auto ncmds = copy.get<std::uint32_t>(16);
    std::size_t symoff = 0, nsyms = 0, linkedit_vmaddr = 0, linkedit_fileoff = 0;
    const std::size_t le = copy.segment("__LINKEDIT");
    linkedit_vmaddr = copy.get<std::uint64_t>(le + 24);
    linkedit_fileoff = copy.get<std::uint64_t>(le + 40);
    std::size_t off = 32;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        const auto cmd = copy.get<std::uint32_t>(off);
        const auto size = copy.get<std::uint32_t>(off + 4);
        if (cmd == LVCRASH_LC_SEGMENT_64) {
            const auto nsects = copy.get<std::uint32_t>(off + 64);
            for (std::size_t f = 24; f < 56; f += 8) swap64(off + f);
            for (std::size_t f = 56; f < 72; f += 4) swap32(off + f);
            for (std::uint32_t s = 0; s < nsects; ++s) {
                const std::size_t so = off + 72 + s * 80;
                swap64(so + 32);
                swap64(so + 40);
                for (std::size_t f = 48; f < 80; f += 4) swap32(so + f);
            }
        } else if (cmd == LVCRASH_LC_SYMTAB) {
            symoff = copy.get<std::uint32_t>(off + 8);
            nsyms = copy.get<std::uint32_t>(off + 12);
            for (std::size_t f = 8; f < 24; f += 4) swap32(off + f);
        } else if (cmd == LVCRASH_LC_DYSYMTAB) {
            for (std::size_t f = 8; f < 80; f += 4) swap32(off + f);
        }
        swap32(off);
        swap32(off + 4);
        off += size;
    }
    const std::size_t table = symoff - linkedit_fileoff + linkedit_vmaddr;
    for (std::size_t k = 0; k < nsyms; ++k) {
        swap32(table + k * 16);
        copy.put(table + k * 16 + 6, __builtin_bswap16(copy.get<std::uint16_t>(table + k * 16 + 6)));
        swap64(table + k * 16 + 8);
    }
    for (std::size_t f = 0; f < 28; f += 4) swap32(f);
}

TEST_F(MachOReader, ByteSwappedImageReadsThroughSwaps) {
    ImageCopy copy(*x86);
    byte_swap_image(copy);
    EXPECT_EQ(copy.get<std::uint32_t>(0), LVCRASH_MH_CIGAM_64);
    lvcrash_async_macho image;
    ASSERT_EQ(lvcrash_async_macho_init(&image, self, "swapped", copy.address()), LVCRASH_ERROR_NONE);
    EXPECT_EQ(lvcrash_async_macho_byteorder(&image), lvcrash_async_byteorder_swapped());
    EXPECT_EQ(lvcrash_async_macho_cpu_type(&image), platform::darwin::cpu_type_x86_64);
    EXPECT_EQ(image.text_size, std::stoull(fixtures::header_value("fixture_x86_64", "segname __TEXT", "vmsize"), nullptr, 16));
    for (const auto& symbol : fixtures::nm_listing("fixture_x86_64")) {
        if (!fixtures::is_function(symbol)) continue;
        Found found;
        ASSERT_EQ(lookup(&image, copy.address() + symbol.value + 1, &found), LVCRASH_ERROR_NONE);
        EXPECT_EQ(found.address, copy.address() + symbol.value);
    }
    lvcrash_async_mobject text;
    EXPECT_EQ(lvcrash_async_macho_map_section(&image, "__TEXT", "__text", &text), LVCRASH_ERROR_NONE);
    lvcrash_async_mobject_free(&text);
    lvcrash_async_macho_free(&image);
}

TEST_F(MachOReader, MutatedImagesEndInTheirCodes) {
    using Mutation = std::function<void(ImageCopy&)>;
    struct Case {
        const char* what;
        Mutation mutate;
        lvcrash_error_t init;    // result of init
        lvcrash_error_t lookup;  // result of a symbol lookup when init succeeded
        lvcrash_error_t text_section = LVCRASH_ERROR_NONE;  // mapping __TEXT,__text
    };
    const Case cases[] = {
        {"bad magic", [](ImageCopy& c) { c.put<std::uint32_t>(0, 0x12345678); }, LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"sizeofcmds past the mapping", [](ImageCopy& c) { c.put<std::uint32_t>(20, 0x7fffffff); },
         LVCRASH_ERROR_NO_MEMORY, 0},
        {"cmdsize 0 on __TEXT: the walk ends after it", [](ImageCopy& c) { c.put<std::uint32_t>(36, 0); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_NOT_FOUND},
        {"cmdsize unaligned and huge", [](ImageCopy& c) { c.put<std::uint32_t>(36, 0xfffffff3); },
         LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"no __TEXT", [](ImageCopy& c) { std::memcpy(c.bytes + c.segment("__TEXT") + 8, "__TEXX", 6); },
         LVCRASH_ERROR_INVALID_ARGUMENT, 0},
        {"symtab outside __LINKEDIT", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_SYMTAB) + 8, 0x7fff0000); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INTERNAL},
        {"nsyms past __LINKEDIT", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_SYMTAB) + 12, 0x10000000); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INTERNAL},
        {"strtab outside __LINKEDIT", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_SYMTAB) + 16, 0x7fff0000); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INTERNAL},
        {"no symtab", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_SYMTAB), 0x7777); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_NOT_FOUND},
        {"dysymtab counts past nsyms", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_DYSYMTAB) + 20, 0xffffffff); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"dysymtab locals past nsyms", [](ImageCopy& c) { c.put<std::uint32_t>(c.command(LVCRASH_LC_DYSYMTAB) + 8, 0xfffffff0); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"__TEXT section outside its mapping",
         [](ImageCopy& c) { c.put<std::uint64_t>(c.segment("__TEXT") + 72 + 32, 0x7ff000000000ull); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_NONE, LVCRASH_ERROR_NO_MEMORY},
        {"__TEXT nsects past its command",
         [](ImageCopy& c) {
             c.put<std::uint32_t>(c.segment("__TEXT") + 64, 0x00ffffff);
             c.bytes[c.segment("__TEXT") + 72 + 6] = 'x';  // "__text" no longer matches: the walk runs on
         },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_NONE, LVCRASH_ERROR_INVALID_ARGUMENT},
        {"__LINKEDIT unmapped", [](ImageCopy& c) { c.put<std::uint64_t>(c.segment("__LINKEDIT") + 24, 0x7ff000000000ull); },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INTERNAL},
        {"string table without NUL before the mapping's end",
         [](ImageCopy& c) {
             // Every symbol name points at the last byte of __LINKEDIT, made non-NUL.
             const std::size_t le = c.segment("__LINKEDIT");
             const std::size_t symtab = c.command(LVCRASH_LC_SYMTAB);
             const auto vmaddr = c.get<std::uint64_t>(le + 24), fileoff = c.get<std::uint64_t>(le + 40);
             const auto vmsize = c.get<std::uint64_t>(le + 32);
             const auto symoff = c.get<std::uint32_t>(symtab + 8), nsyms = c.get<std::uint32_t>(symtab + 12);
             const auto stroff = c.get<std::uint32_t>(symtab + 16);
             const std::size_t last = vmaddr + vmsize - 1;
             c.bytes[last] = 'x';
             c.put<std::uint32_t>(symtab + 20, static_cast<std::uint32_t>(last - (stroff - fileoff + vmaddr) + 1));
             for (std::uint32_t k = 0; k < nsyms; ++k)
                 c.put<std::uint32_t>(symoff - fileoff + vmaddr + k * 16,
                                      static_cast<std::uint32_t>(last - (stroff - fileoff + vmaddr)));
         },
         LVCRASH_ERROR_NONE, LVCRASH_ERROR_INVALID_ARGUMENT},
    };
    const auto listing = fixtures::nm_listing("fixture_x86_64");
    std::uint64_t frame = 0;
    for (const auto& s : listing)
        if (s.name == "_fixture_frame") frame = s.value;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ImageCopy copy(*x86);
        c.mutate(copy);
        lvcrash_async_macho image;
        ASSERT_EQ(lvcrash_async_macho_init(&image, self, c.what, copy.address()), c.init);
        if (c.init != LVCRASH_ERROR_NONE) continue;
        Found found;
        EXPECT_EQ(lookup(&image, copy.address() + frame + 1, &found), c.lookup);
        lvcrash_async_mobject text;
        const lvcrash_error_t mapped = lvcrash_async_macho_map_section(&image, "__TEXT", "__text", &text);
        EXPECT_EQ(mapped, c.text_section);
        if (mapped == LVCRASH_ERROR_NONE) lvcrash_async_mobject_free(&text);
        lvcrash_async_macho_free(&image);
    }
}

TEST_F(MachOReader, LoadCommandWalkStopsAtBrokenCommands) {
    struct Case {
        const char* what;
        std::uint32_t cmdsize;  // given to the third command
        int expected;           // commands walked
    };
    const Case cases[] = {{"cmdsize 0", 0, 3}, {"cmdsize 4", 4, 3}, {"past the end", 0x100000, 2}};
    for (const auto& c : cases) {
        ImageCopy copy(*x86);
        lvcrash_async_macho image;
        ASSERT_EQ(lvcrash_async_macho_init(&image, self, "walk", copy.address()), LVCRASH_ERROR_NONE);
        std::size_t off = 32;
        for (int i = 0; i < 2; ++i) off += copy.get<std::uint32_t>(off + 4);
        // The mapping is a snapshot: mutate through a fresh init.
        lvcrash_async_macho_free(&image);
        copy.put<std::uint32_t>(off + 4, c.cmdsize);
        ASSERT_EQ(lvcrash_async_macho_init(&image, self, "walk", copy.address()), LVCRASH_ERROR_NONE) << c.what;
        int walked = 0;
        for (auto* cmd = lvcrash_async_macho_next_command(&image, nullptr); cmd && walked < 1000;
             cmd = lvcrash_async_macho_next_command(&image, cmd))
            ++walked;
        EXPECT_EQ(walked, c.expected) << c.what;
        lvcrash_async_macho_free(&image);
    }
}

TEST_F(MachOReader, SymbolChoiceAmongEqualAddressesAndLocals) {
    ImageCopy copy(*x86);
    const std::size_t le = copy.segment("__LINKEDIT");
    const std::size_t symtab = copy.command(LVCRASH_LC_SYMTAB), dysymtab = copy.command(LVCRASH_LC_DYSYMTAB);
    const auto vmaddr = copy.get<std::uint64_t>(le + 24), fileoff = copy.get<std::uint64_t>(le + 40);
    const std::size_t table = copy.get<std::uint32_t>(symtab + 8) - fileoff + vmaddr;
    const auto ilocal = copy.get<std::uint32_t>(dysymtab + 8), nlocal = copy.get<std::uint32_t>(dysymtab + 12);
    const auto iext = copy.get<std::uint32_t>(dysymtab + 16), next = copy.get<std::uint32_t>(dysymtab + 20);
    ASSERT_GE(next, 2u);
    ASSERT_GE(nlocal, 1u);
    auto value_at = [&](std::uint32_t index) { return copy.get<std::uint64_t>(table + index * 16 + 8); };
    auto name_of = [&](lvcrash_async_macho* image, std::uint32_t index) {
        lvcrash_async_macho_symtab_reader reader;
        EXPECT_EQ(lvcrash_async_macho_symtab_reader_init(&reader, image), LVCRASH_ERROR_NONE);
        const auto e = lvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, index);
        std::string name = lvcrash_async_macho_symtab_reader_symbol_name(&reader, e.n_strx);
        lvcrash_async_macho_symtab_reader_free(&reader);
        return name;
    };
    // Two globals at one address: the first in the global table wins.
    const std::uint64_t shared = value_at(iext);
    copy.put<std::uint64_t>(table + (iext + 1) * 16 + 8, shared);
    copy.put<std::uint8_t>(table + (iext + 1) * 16 + 4, 0x0F);  // N_SECT | N_EXT
    // A local just above it, still below the pc, beats both.
    copy.put<std::uint64_t>(table + ilocal * 16 + 8, shared + 2);
    copy.put<std::uint8_t>(table + ilocal * 16 + 4, 0x0E);
    lvcrash_async_macho image;
    ASSERT_EQ(lvcrash_async_macho_init(&image, self, "symbols", copy.address()), LVCRASH_ERROR_NONE);
    Found found;
    ASSERT_EQ(lookup(&image, copy.address() + shared + 1, &found), LVCRASH_ERROR_NONE);
    EXPECT_EQ(found.name, name_of(&image, iext));
    EXPECT_EQ(found.address, copy.address() + shared);
    ASSERT_EQ(lookup(&image, copy.address() + shared + 3, &found), LVCRASH_ERROR_NONE);
    EXPECT_EQ(found.name, name_of(&image, ilocal));
    EXPECT_EQ(found.address, copy.address() + shared + 2);
    // Below every symbol: not found.
    EXPECT_EQ(lookup(&image, copy.address(), &found), LVCRASH_ERROR_NOT_FOUND);
    lvcrash_async_macho_free(&image);
}

TEST_F(MachOReader, LinkeditLargerThanItsMappedPagesStillReadsSymbols) {
    const std::size_t page = platform::darwin::page_size();
    ImageCopy copy(*x86, 8);
    // The pages after the image are unreadable; __LINKEDIT claims them.
    ASSERT_EQ(mprotect(copy.bytes + x86->vm_size(), 8 * page, PROT_NONE), 0);
    const std::size_t le = copy.segment("__LINKEDIT");
    copy.put<std::uint64_t>(le + 32, copy.get<std::uint64_t>(le + 32) + 8 * page);
    lvcrash_async_macho image;
    ASSERT_EQ(lvcrash_async_macho_init(&image, self, "short linkedit", copy.address()), LVCRASH_ERROR_NONE);
    lvcrash_async_macho_mapped_segment_t segment;
    ASSERT_EQ(lvcrash_async_macho_map_segment(&image, "__LINKEDIT", &segment), LVCRASH_ERROR_NONE);
    EXPECT_LT(lvcrash_async_mobject_length(&segment.mobj), copy.get<std::uint64_t>(le + 32));
    lvcrash_async_macho_mapped_segment_free(&segment);
    lvcrash_async_macho_symtab_reader reader;
    ASSERT_EQ(lvcrash_async_macho_symtab_reader_init(&reader, &image), LVCRASH_ERROR_NONE);
    EXPECT_GT(reader.nsyms, 0u);
    lvcrash_async_macho_symtab_reader_free(&reader);
    lvcrash_async_mobject section;
    // Sections in the readable pages still map in full.
    EXPECT_EQ(lvcrash_async_macho_map_section(&image, "__TEXT", "__text", &section), LVCRASH_ERROR_NONE);
    lvcrash_async_mobject_free(&section);
    lvcrash_async_macho_free(&image);
}

TEST_F(MachOReader, RandomMutationsOfLoadCommandsNeverFault) {
    const auto listing = fixtures::nm_listing("fixture_x86_64");
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    ImageCopy pristine(*x86);
    const auto sizeofcmds = pristine.get<std::uint32_t>(20);
    int parsed = 0;
    for (int round = 0; round < 1000; ++round) {
        ImageCopy copy(*x86);
        for (int k = 0, n = 1 + static_cast<int>(next() % 3); k < n; ++k) {
            const std::size_t at = next() % (32 + sizeofcmds);
            copy.bytes[at] = static_cast<std::uint8_t>(next() % 3 == 0 ? 0 : next());
        }
        lvcrash_async_macho image;
        if (lvcrash_async_macho_init(&image, self, "mutated", copy.address()) != LVCRASH_ERROR_NONE) continue;
        ++parsed;
        Found found;
        lookup(&image, copy.address() + listing[static_cast<std::size_t>(round) % listing.size()].value + 1, &found);
        lvcrash_vm_address_t address;
        lvcrash_async_macho_find_symbol_by_name(&image, "_fixture_frame", &address);
        lvcrash_async_mobject section;
        if (lvcrash_async_macho_map_section(&image, "__TEXT", "__unwind_info", &section) == LVCRASH_ERROR_NONE)
            lvcrash_async_mobject_free(&section);
        std::uint8_t uuid[16];
        const auto* cmd = lvcrash_async_macho_find_command(&image, LVCRASH_LC_UUID);
        if (cmd && lvcrash_async_mobject_verify_local_pointer(&image.load_cmds, reinterpret_cast<std::uintptr_t>(cmd), 0, 24))
            std::memcpy(uuid, reinterpret_cast<const std::uint8_t*>(cmd) + 8, 16);
        lvcrash_async_macho_free(&image);
    }
    EXPECT_GT(parsed, 100);
}
