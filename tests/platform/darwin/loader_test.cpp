#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <set>
#include <unistd.h>

#include <gnu/libc-version.h>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace platform::darwin;

extern "C" {
typedef long (*fixture_callback)(long);
long fixture_frameless_leaf(long);
long fixture_frame(long, fixture_callback);
long fixture_dynamic_alloca(long, fixture_callback);
long fixture_uses_local(long);
long fixture_sum_table(void);
const char* fixture_greeting(void);
}

namespace {

long twice(long v) { return 2 * v; }

std::string load_error(const std::string& path, const MachOLoadOptions& options = {}) {
    try {
        load_macho_image(path, options);
    } catch (const MachOLoadError& e) {
        return e.what();
    }
    return "";
}

std::string truncated_copy(const std::string& fixture, std::size_t keep) {
    std::ifstream in(fixtures::macho_path(fixture), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string path = testing::TempDir() + "/truncated-" + std::to_string(keep) + ".dylib";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(std::min(keep, bytes.size())));
    return path;
}

}  // namespace

TEST(MachOLoader, X86FunctionsReturnWhatTheNativeBuildReturns) {
    for (std::uint64_t seed : {0ull, 1ull, 0xdeadbeefull}) {
        auto image = load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, seed, {}});
        ASSERT_TRUE(image->executable());
        auto leaf = reinterpret_cast<long (*)(long)>(image->symbol("_fixture_frameless_leaf"));
        auto frame = reinterpret_cast<long (*)(long, fixture_callback)>(image->symbol("_fixture_frame"));
        auto alloca_fn = reinterpret_cast<long (*)(long, fixture_callback)>(image->symbol("_fixture_dynamic_alloca"));
        auto local = reinterpret_cast<long (*)(long)>(image->symbol("_fixture_uses_local"));
        auto table = reinterpret_cast<long (*)()>(image->symbol("_fixture_sum_table"));
        auto greeting = reinterpret_cast<const char* (*)()>(image->symbol("_fixture_greeting"));
        auto dwarf_only = reinterpret_cast<long (*)(long, fixture_callback)>(image->symbol("_fixture_dwarf_only"));
        ASSERT_TRUE(leaf && frame && alloca_fn && local && table && greeting && dwarf_only);
        for (long v : {0L, 5L, -9L, 1000L}) {
            EXPECT_EQ(leaf(v), fixture_frameless_leaf(v));
            EXPECT_EQ(frame(v, nullptr), fixture_frame(v, nullptr));
            EXPECT_EQ(frame(v, twice), fixture_frame(v, twice));
            EXPECT_EQ(alloca_fn(v, twice), fixture_dynamic_alloca(v, twice));
            EXPECT_EQ(local(v), fixture_uses_local(v));
            EXPECT_EQ(dwarf_only(v, twice), 2 * v);
        }
        EXPECT_EQ(table(), fixture_sum_table());  // rebased data pointers
        EXPECT_STREQ(greeting(), fixture_greeting());
    }
}

TEST(MachOLoader, RealizesObjectiveCClassesUnlessAskedNotTo) {
    for (const char* fixture : {"fixture_x86_64", "fixture_arm64"}) {
        SCOPED_TRACE(fixture);
        auto image = load_macho_image(fixtures::macho_path(fixture), {false, 7, {"FixtureLazy"}});
        auto data_word = [&](const char* symbol) {
            std::uint64_t data;
            std::memcpy(&data, reinterpret_cast<const void*>(image->symbol(symbol) + 32), 8);
            return data;
        };
        auto flags_of = [](std::uint64_t rw) {
            std::uint32_t flags;
            std::memcpy(&flags, reinterpret_cast<const void*>(rw & 0x7FFFFFFFFFF8ull), 4);
            return flags;
        };
        EXPECT_NE(flags_of(data_word("_OBJC_CLASS_$_FixtureRoot")) & 0x80000000u, 0u);
        EXPECT_NE(flags_of(data_word("_OBJC_METACLASS_$_FixtureRoot")) & 0x80000000u, 0u);
        // Unrealized: the data word still points at the read-only record inside the image.
        const std::uint64_t lazy = data_word("_OBJC_CLASS_$_FixtureLazy");
        EXPECT_EQ(lazy, image->symbol("__OBJC_CLASS_RO_$_FixtureLazy"));
        EXPECT_EQ(flags_of(lazy) & 0x80000000u, 0u);
        // The realized record leads back to the read-only data.
        std::uint64_t ro;
        std::memcpy(&ro, reinterpret_cast<const void*>(data_word("_OBJC_CLASS_$_FixtureRoot") + 8), 8);
        EXPECT_EQ(ro, image->symbol("__OBJC_CLASS_RO_$_FixtureRoot"));
        // The empty cache import is bound to a block of zeros.
        std::uint64_t cache;
        std::memcpy(&cache, reinterpret_cast<const void*>(image->symbol("_OBJC_CLASS_$_FixtureRoot") + 16), 8);
        ASSERT_NE(cache, 0u);
        EXPECT_EQ(*reinterpret_cast<const std::uint64_t*>(cache), 0u);
    }
}

TEST(MachOLoader, RefusesWhatItCannotLoad) {
    struct Case {
        std::string path;
        MachOLoadOptions options;
        std::string error;
    };
    const Case cases[] = {
        {fixtures::macho_path("fixture_import"), {}, "unknown import _fixture_missing_value"},
        {fixtures::macho_path("fixture_initializer"), {}, "initializers are not supported"},
        {fixtures::macho_path("fixture_arm64"), {true, 0, {}}, "wrong architecture"},
        {truncated_copy("fixture_x86_64", 100), {}, "truncated file"},
        {truncated_copy("fixture_x86_64", 4000), {}, "truncated file"},
        {truncated_copy("fixture_x86_64", 2), {}, "truncated file"},
        {std::string(GW_FIXTURES_DIR) + "/macho/functions.c", {}, "not a little-endian Mach-O image"},
        {"/nonexistent/fixture.dylib", {}, "cannot open"},
    };
    for (const auto& c : cases) {
        const std::string error = load_error(c.path, c.options);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.path << ": " << error;
    }
}

namespace {

std::vector<std::pair<const void*, bool>> events;  // header, added?
void on_add(const void* header, std::intptr_t) { events.emplace_back(header, true); }
void on_remove(const void* header, std::intptr_t) { events.emplace_back(header, false); }

}  // namespace

TEST(DynamicLoader, ListsElfObjectsAndFixturesWithCallbacks) {
    events.clear();
    loader_register_add_image(on_add);
    loader_register_remove_image(on_remove);
    const std::size_t initial = events.size();
    ASSERT_EQ(initial, loader_image_count());  // one call per image already loaded

    std::set<std::string> names;
    for (std::uint32_t i = 0; i < loader_image_count(); ++i) {
        names.insert(loader_image_name(i));
        EXPECT_EQ(std::memcmp(loader_image_header(i), "\x7f" "ELF", 4), 0) << loader_image_name(i);
    }
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_TRUE(names.count(exe));
    EXPECT_TRUE(names.count("linux-vdso.so.1"));
    bool libc = false;
    for (const auto& n : names) libc |= n.find("libc.so.6") != std::string::npos;
    EXPECT_TRUE(libc);

    ImageAtAddress at;
    ASSERT_TRUE(loader_image_containing_address(reinterpret_cast<const void*>(&fixture_frame), &at));
    EXPECT_EQ(at.name, exe);
    ASSERT_TRUE(loader_image_containing_address(reinterpret_cast<const void*>(&gnu_get_libc_version), &at));
    EXPECT_NE(at.name.find("libc.so.6"), std::string::npos);

    {
        auto image = load_macho_image(fixtures::macho_path("fixture_x86_64"));
        ASSERT_EQ(events.size(), initial + 1);
        EXPECT_EQ(events.back(), std::make_pair(image->header(), true));
        EXPECT_EQ(loader_image_header(loader_image_count() - 1), image->header());
        EXPECT_EQ(loader_image_slide(loader_image_count() - 1), image->slide());
        std::uint64_t size = 0;
        const std::uint8_t* text = loader_section_data(image->header(), "__TEXT", "__text", &size);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(size, std::stoull(fixtures::header_value("fixture_x86_64", "sectname __text", "size"), nullptr, 16));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(text),
                  std::stoull(fixtures::header_value("fixture_x86_64", "sectname __text", "addr"), nullptr, 16) +
                      static_cast<std::uint64_t>(image->slide()));
        EXPECT_EQ(loader_section_data(image->header(), "__TEXT", "__nope", &size), nullptr);
        ASSERT_TRUE(loader_image_containing_address(reinterpret_cast<const void*>(image->symbol("_fixture_frame")), &at));
        EXPECT_EQ(at.header, image->header());
    }
    ASSERT_EQ(events.size(), initial + 2);
    EXPECT_FALSE(events.back().second);

    // A library opened behind the registry's back is found on the next call; closing it removes it.
    void* handle = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    const std::size_t before = events.size();
    loader_rescan();
    bool added = false;
    for (std::size_t i = before; i < events.size(); ++i) added |= events[i].second;
    EXPECT_TRUE(added);
    loader_unregister_all_for_tests();
}

TEST(MachOLoader, MutatedHeadersLoadOrFailCleanly) {
    std::ifstream in(fixtures::macho_path("fixture_arm64"), std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::uint32_t sizeofcmds;
    std::memcpy(&sizeofcmds, original.data() + 20, 4);
    const std::string path = testing::TempDir() + "/mutated.dylib";
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int loaded = 0, refused = 0;
    for (int round = 0; round < 600; ++round) {
        std::string bytes = original;
        for (int k = 0, n = 1 + static_cast<int>(next() % 4); k < n; ++k) {
            const std::size_t at = next() % (32 + sizeofcmds);
            bytes[at] = static_cast<char>(next() % 4 == 0 ? 0xff : next());
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        try {
            auto image = load_macho_image(path);
            ++loaded;
        } catch (const MachOLoadError&) {
            ++refused;
        }
    }
    EXPECT_EQ(loaded + refused, 600);
    EXPECT_GT(refused, 0);
}
