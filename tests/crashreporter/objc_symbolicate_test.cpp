// Names from Objective-C metadata and symbol tables in the loaded Mach-O fixtures: methods of
// classes, metaclasses and categories from metadata alone (also in the locals-stripped image and
// in the legacy runtime's layout), the nearer of two candidates, classes the runtime has not
// realized, and strategy 0.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/symbolicate.hpp"
#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;

namespace {

struct Found {
    lvcrash_error_t result = LVCRASH_ERROR_UNKNOWN;
    std::string name;
    std::uint64_t start = 0;
};

Found lookup(lvcrash_async_image_list* list, std::uint32_t strategy, std::uint64_t pc, lvcrash_async_objc_cache* cache) {
    Found found;
    lvcrash_async_image_list_set_reading(list, true);
    lvcrash_async_image* image = lvcrash_async_image_containing_address(list, pc);
    if (image) {
        found.result = lvcrash_async_find_symbol(
            image, strategy, cache, pc,
            [](lvcrash_vm_address_t address, const char* name, void* ctx) {
                auto* out = static_cast<Found*>(ctx);
                out->name = name;
                out->start = address;
            },
            &found);
    }
    lvcrash_async_image_list_set_reading(list, false);
    return found;
}

std::uint64_t link_address(const std::string& name) {
    for (const auto& s : fixtures::nm_listing("fixture_x86_64"))
        if (s.name == name) return s.value;
    ADD_FAILURE() << "no " << name;
    return 0;
}

TEST(ObjCSymbolication, MethodsAreNamedFromMetadataAloneAndNearestWins) {
    struct Method {
        const char* listed;    // llvm-nm's name
        const char* expected;  // the name metadata gives
    } methods[] = {
        {"+[FixtureRoot classAnswer]", "+[FixtureRoot classAnswer]"},
        {"-[FixtureRoot instanceAnswer]", "-[FixtureRoot instanceAnswer]"},
        {"-[FixtureRoot(FixtureCategory) categoryAnswer]", "-[FixtureRoot categoryAnswer]"},
        {"+[FixtureLazy lazyAnswer]", "+[FixtureLazy lazyAnswer]"},
    };
    // The stripped image is laid out like the full one (same objects, same order).
    ASSERT_EQ(link_address("_fixture_greeting"), 0x700u);
    for (const char* fixture : {"fixture_x86_64", "fixture_x86_64_stripped"}) {
        for (const std::uint32_t strategy : {LVCRASH_SYMBOLICATION_OBJC, LVCRASH_SYMBOLICATION_OBJC | LVCRASH_SYMBOLICATION_SYMBOL_TABLE}) {
            auto image = platform::darwin::load_macho_image(fixtures::macho_path(fixture), {true, 7, {}});
            unwind_support::FedList list;
            lvcrash_async_objc_cache cache;
            lvcrash_async_objc_cache_init(&cache);
            for (const auto& method : methods) {
                const std::uint64_t imp = link_address(method.listed) + static_cast<std::uint64_t>(image->slide());
                const Found found = lookup(list.get(), strategy, imp + 3, &cache);
                EXPECT_EQ(found.result, LVCRASH_ERROR_NONE) << fixture << " " << method.listed;
                EXPECT_EQ(found.name, method.expected) << fixture << " strategy " << strategy;
                EXPECT_EQ(found.start, imp);
            }
            // A C function above the last method: metadata alone names it after that method;
            // with the symbol table its own (nearer) symbol wins.
            const std::uint64_t c_function = image->symbol("_fixture_dwarf_only") + 2;
            const Found above = lookup(list.get(), strategy, c_function, &cache);
            EXPECT_EQ(above.name, strategy == LVCRASH_SYMBOLICATION_OBJC ? "+[FixtureLazy lazyAnswer]" : "_fixture_dwarf_only")
                << fixture;
            // Below every method only the symbol table knows anything.
            const Found below = lookup(list.get(), strategy, image->symbol("_fixture_frame") + 1, &cache);
            if (strategy == LVCRASH_SYMBOLICATION_OBJC) {
                EXPECT_EQ(below.result, LVCRASH_ERROR_NOT_FOUND);
            } else {
                EXPECT_EQ(below.name, "_fixture_frame");
            }
            // Strategy 0 reads nothing and finds nothing.
            EXPECT_EQ(lookup(list.get(), 0, image->symbol("_fixture_frame") + 1, &cache).result, LVCRASH_ERROR_NOT_FOUND);
            lvcrash_async_objc_cache_free(&cache);
        }
    }
}

TEST(ObjCSymbolication, UnrealizedClassesAreSkippedAndTheWalkGoesOn) {
    // FixtureRoot unrealized: its methods, its metaclass's and its category's (the last
    // category) contribute nothing; FixtureLazy, listed after it, is still found.
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64_stripped"), {true, 0, {"FixtureRoot"}});
    unwind_support::FedList list;
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    const auto slide = static_cast<std::uint64_t>(image->slide());
    const Found lazy = lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, link_address("+[FixtureLazy lazyAnswer]") + slide + 1, &cache);
    EXPECT_EQ(lazy.result, LVCRASH_ERROR_NONE);
    EXPECT_EQ(lazy.name, "+[FixtureLazy lazyAnswer]");
    for (const char* method : {"+[FixtureRoot classAnswer]", "-[FixtureRoot instanceAnswer]",
                               "-[FixtureRoot(FixtureCategory) categoryAnswer]"}) {
        const Found found = lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, link_address(method) + slide + 1, &cache);
        EXPECT_EQ(found.result, LVCRASH_ERROR_NOT_FOUND) << method << " gave " << found.name;
    }
    lvcrash_async_objc_cache_free(&cache);
}

TEST(ObjCSymbolication, Arm64MetadataInDataConstIsWalkedLikeData) {
    // The arm64 fixture (mapped for reading only) keeps its class and category lists in
    // __DATA_CONST, as lld puts them.
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_arm64"), {false, 0, {}});
    unwind_support::FedList list;
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    std::uint64_t instance = 0;
    for (const auto& s : fixtures::nm_listing("fixture_arm64"))
        if (s.name == "-[FixtureRoot instanceAnswer]") instance = s.value;
    ASSERT_NE(instance, 0u);
    const auto pc = instance + static_cast<std::uint64_t>(image->slide()) + 4;
    const Found found = lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, pc, &cache);
    EXPECT_EQ(found.name, "-[FixtureRoot instanceAnswer]");
    lvcrash_async_objc_cache_free(&cache);
}

}  // namespace

namespace {

TEST(ObjCSymbolication, NamesLongerThan255CharactersAreCutWithoutTheClosingBracket) {
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_objc_long"), {true, 0, {}});
    unwind_support::FedList list;
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    // Named from metadata alone (the symbol table is not asked).
    std::uint64_t method = 0;
    for (const auto& s : fixtures::nm_listing("fixture_objc_long"))
        if (s.name.rfind("+[FixtureLongNames ", 0) == 0) method = s.value;
    const std::uint64_t pc = (method ? method : 0) + static_cast<std::uint64_t>(image->slide()) + 1;
    const Found found = lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, pc, &cache);
    EXPECT_EQ(found.result, LVCRASH_ERROR_NONE);
    EXPECT_EQ(found.name, "+[FixtureLongNames " + std::string(255 - 19, 'w'));
    lvcrash_async_objc_cache_free(&cache);
}

TEST(ObjCSymbolication, AMethodListOutsideObjcConstEndsTheWalkWithoutANameOrAFault) {
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 0, {}});
    unwind_support::FedList list;
    // Point FixtureRoot's method list (in its read-only data) at the class itself, in __objc_data.
    const std::uintptr_t cls = image->symbol("_OBJC_CLASS_$_FixtureRoot");
    ASSERT_NE(cls, 0u);
    const std::uint64_t rw = *reinterpret_cast<const std::uint64_t*>(cls + 32) & 0x7FFFFFFFFFF8ULL;
    const std::uint64_t ro = *reinterpret_cast<const std::uint64_t*>(rw + 8);
    *reinterpret_cast<std::uint64_t*>(ro + 32) = cls;
    const std::uint64_t imp = link_address("-[FixtureRoot instanceAnswer]") + static_cast<std::uint64_t>(image->slide());
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    EXPECT_EQ(lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, imp + 1, &cache).result, LVCRASH_ERROR_NOT_FOUND);
    // The symbol table still names it.
    EXPECT_EQ(lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC | LVCRASH_SYMBOLICATION_SYMBOL_TABLE, imp + 1, &cache).name,
              "-[FixtureRoot instanceAnswer]");
    lvcrash_async_objc_cache_free(&cache);
}

}  // namespace

namespace {

// The legacy runtime's classes of a loaded image, by name, from its module list.
std::map<std::string, std::uint32_t> legacy_classes(const platform::darwin::LoadedMachOImage& image) {
    auto u32 = [](std::uint64_t address) { return *reinterpret_cast<const std::uint32_t*>(address); };
    std::map<std::string, std::uint32_t> classes;
    std::uint64_t size = 0;
    const auto* modules = platform::darwin::loader_section_data(image.header(), "__OBJC", "__module_info", &size);
    for (std::uint64_t at = 0; modules && at + 16 <= size; at += 16) {
        const std::uint32_t symtab = u32(reinterpret_cast<std::uint64_t>(modules) + at + 12);
        const auto count = *reinterpret_cast<const std::uint16_t*>(static_cast<std::uint64_t>(symtab) + 8);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t cls = u32(symtab + 12 + 4 * i);
            classes[reinterpret_cast<const char*>(static_cast<std::uint64_t>(u32(cls + 8)))] = cls;
        }
    }
    return classes;
}

TEST(ObjCSymbolication, LegacyRuntimeMetadataNamesClassMetaclassAndCategoryMethods) {
    // A 32-bit image with the __OBJC segment's module list, loaded below 4 GiB as its pointers
    // need; the loader attached the category to its class as the runtime does, so FixtureRoot's
    // methods are an array of lists and FixtureLazy's a single list.
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_objc_legacy"), {false, 0, {}});
    ASSERT_LT(image->base() + image->vm_size(), 1ull << 32);
    const auto slide = static_cast<std::uint64_t>(image->slide());
    std::map<std::string, std::uint64_t> listed;
    for (const auto& s : fixtures::nm_listing("fixture_objc_legacy")) listed[s.name] = s.value;
    const struct {
        const char* listed;
        const char* expected;
    } methods[] = {
        {"+[FixtureRoot classAnswer]", "+[FixtureRoot classAnswer]"},
        {"-[FixtureRoot instanceAnswer]", "-[FixtureRoot instanceAnswer]"},
        {"-[FixtureRoot(FixtureCategory) categoryAnswer]", "-[FixtureRoot categoryAnswer]"},
        {"+[FixtureLazy lazyAnswer]", "+[FixtureLazy lazyAnswer]"},
    };
    unwind_support::FedList list;
    lvcrash_async_objc_cache cache;
    lvcrash_async_objc_cache_init(&cache);
    for (const auto& method : methods) {
        ASSERT_TRUE(listed.count(method.listed)) << method.listed;
        const std::uint64_t imp = listed[method.listed] + slide;
        const Found found = lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, imp + 2, &cache);
        EXPECT_EQ(found.result, LVCRASH_ERROR_NONE) << method.listed;
        EXPECT_EQ(found.name, method.expected);
        EXPECT_EQ(found.start, imp);
    }
    EXPECT_FALSE(cache.got_objc2_info) << "answered from the module list";
    lvcrash_async_objc_cache_free(&cache);

    // An array ended by 0 instead of -1 reads the same; a list whose count runs past the
    // segment ends the walk without a name or a fault.
    const auto classes = legacy_classes(*image);
    ASSERT_TRUE(classes.count("FixtureRoot") && classes.count("FixtureLazy"));
    auto* root = reinterpret_cast<std::uint32_t*>(static_cast<std::uint64_t>(classes.at("FixtureRoot")));
    ASSERT_EQ(root[4] & 0x4000, 0u) << "FixtureRoot has an array of method lists";
    auto* array = reinterpret_cast<std::uint32_t*>(static_cast<std::uint64_t>(root[7]));
    ASSERT_EQ(array[2], 0xFFFFFFFFu);
    array[2] = 0;
    lvcrash_async_objc_cache_init(&cache);
    const std::uint64_t category = listed["-[FixtureRoot(FixtureCategory) categoryAnswer]"] + slide;
    EXPECT_EQ(lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, category + 2, &cache).name, "-[FixtureRoot categoryAnswer]");
    auto* lazy_meta = reinterpret_cast<std::uint32_t*>(static_cast<std::uint64_t>(
        *reinterpret_cast<std::uint32_t*>(static_cast<std::uint64_t>(classes.at("FixtureLazy")))));
    auto* lazy_list = reinterpret_cast<std::uint32_t*>(static_cast<std::uint64_t>(lazy_meta[7]));
    lazy_list[1] = 0x10000000;
    EXPECT_EQ(lookup(list.get(), LVCRASH_SYMBOLICATION_OBJC, listed["+[FixtureLazy lazyAnswer]"] + slide + 2, &cache).result,
              LVCRASH_ERROR_NOT_FOUND);
    lvcrash_async_objc_cache_free(&cache);
}

}  // namespace
