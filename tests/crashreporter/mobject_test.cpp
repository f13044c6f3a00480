#include <cstring>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "crashreporter/mobject.hpp"

using namespace lvcrash;

namespace {

// Four pages: readable, readable, guard (PROT_NONE), hole (unmapped; later mappings may fill it,
// so only the guard page is relied on for a failing start).
struct Pages {
    std::size_t page = platform::darwin::page_size();
    unsigned char* base = nullptr;
    Pages() {
        base = static_cast<unsigned char*>(
            mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (std::size_t i = 0; i < 2 * page; ++i) base[i] = static_cast<unsigned char>(i * 7);
        mprotect(base + 2 * page, page, PROT_NONE);
        munmap(base + 3 * page, page);
    }
    ~Pages() { munmap(base, 3 * page); }
    std::uint64_t at(std::size_t offset) const { return reinterpret_cast<std::uint64_t>(base) + offset; }
};

}  // namespace

TEST(MemoryObject, MapsShortOverGuardPagesAndHoles) {
    Pages mem;
    const task_t self = platform::darwin::task_self();
    const std::size_t page = mem.page;
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint64_t length;
        bool require_full;
        lvcrash_error_t result;
        std::uint64_t usable;  // expected length when mapped
    };
    const Case cases[] = {
        {"inside", 10, 100, false, LVCRASH_ERROR_NONE, 100},
        {"both readable pages", 0, 2 * page, true, LVCRASH_ERROR_NONE, 2 * page},
        {"into the guard page, short", page + 16, 2 * page, false, LVCRASH_ERROR_NONE, page - 16},
        {"into the guard page, full", page + 16, 2 * page, true, LVCRASH_ERROR_NO_MEMORY, 0},
        {"starting in the guard page", 2 * page + 8, 8, false, LVCRASH_ERROR_NO_MEMORY, 0},
        {"zero length on a page boundary", page, 0, false, LVCRASH_ERROR_NO_MEMORY, 0},
        {"zero length inside a page", 5, 0, false, LVCRASH_ERROR_NONE, 0},
    };
    for (const auto& c : cases) {
        lvcrash_async_mobject mobj{};
        ASSERT_EQ(lvcrash_async_mobject_init(&mobj, self, mem.at(c.offset), c.length, c.require_full), c.result)
            << c.what;
        if (c.result != LVCRASH_ERROR_NONE) continue;
        EXPECT_EQ(lvcrash_async_mobject_length(&mobj), c.usable) << c.what;
        EXPECT_EQ(lvcrash_async_mobject_base_address(&mobj), mem.at(c.offset));
        EXPECT_EQ(lvcrash_async_mobject_task(&mobj), self);
        if (c.usable > 0) {
            const auto* first = static_cast<const unsigned char*>(
                lvcrash_async_mobject_remap_address(&mobj, mem.at(c.offset), 0, 1));
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(*first, mem.base[c.offset]);
            // The last usable byte remaps; the next one does not.
            const auto* last = static_cast<const unsigned char*>(
                lvcrash_async_mobject_remap_address(&mobj, mem.at(c.offset), static_cast<std::int64_t>(c.usable - 1), 1));
            ASSERT_NE(last, nullptr) << c.what;
            EXPECT_EQ(*last, mem.base[c.offset + c.usable - 1]);
            EXPECT_EQ(lvcrash_async_mobject_remap_address(&mobj, mem.at(c.offset), static_cast<std::int64_t>(c.usable), 1),
                      nullptr);
        }
        lvcrash_async_mobject_free(&mobj);
    }
}

TEST(MemoryObject, SnapshotIsReadOnlyAndIndependentOfLaterWrites) {
    Pages mem;
    lvcrash_async_mobject mobj{};
    ASSERT_EQ(lvcrash_async_mobject_init(&mobj, platform::darwin::task_self(), mem.at(0), 64, true), LVCRASH_ERROR_NONE);
    const unsigned char before = mem.base[3];
    mem.base[3] = static_cast<unsigned char>(before + 1);
    std::uint8_t byte = 0;
    ASSERT_EQ(lvcrash_async_mobject_read_uint8(&mobj, mem.at(0), 3, &byte), LVCRASH_ERROR_NONE);
    EXPECT_EQ(byte, before);
    EXPECT_EQ(mprotect(reinterpret_cast<void*>(mobj.vm_address), mobj.vm_length, PROT_READ), 0);
    lvcrash_async_mobject_free(&mobj);
}

TEST(MemoryObject, RemapAndTypedReadsStayInBounds) {
    Pages mem;
    const std::uint32_t word = 0xA1B2C3D4;
    std::memcpy(mem.base + 100, &word, 4);
    const std::uint64_t quad = 0x0102030405060708ull;
    std::memcpy(mem.base + 201, &quad, 8);  // unaligned
    lvcrash_async_mobject mobj{};
    const std::uint64_t start = mem.at(64);
    ASSERT_EQ(lvcrash_async_mobject_init(&mobj, platform::darwin::task_self(), start, 256, false), LVCRASH_ERROR_NONE);

    std::uint32_t v32 = 0;
    ASSERT_EQ(lvcrash_async_mobject_read_uint32(&mobj, lvcrash_async_byteorder_little_endian(), start, 36, &v32),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(v32, word);
    ASSERT_EQ(lvcrash_async_mobject_read_uint32(&mobj, lvcrash_async_byteorder_big_endian(), mem.at(100), 0, &v32),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(v32, 0xD4C3B2A1u);
    std::uint64_t v64 = 0;
    ASSERT_EQ(lvcrash_async_mobject_read_uint64(&mobj, lvcrash_async_byteorder_direct(), mem.at(201), 0, &v64),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(v64, quad);
    std::uint16_t v16 = 0;
    EXPECT_EQ(lvcrash_async_mobject_read_uint16(&mobj, lvcrash_async_byteorder_direct(), start, 255, &v16),
              LVCRASH_ERROR_INVALID_ARGUMENT);  // one byte past the end
    EXPECT_EQ(lvcrash_async_mobject_read_uint64(&mobj, lvcrash_async_byteorder_direct(), start, -1, &v64),
              LVCRASH_ERROR_INVALID_ARGUMENT);  // the page holds bytes before the range, still refused

    struct Remap {
        std::uint64_t target;
        std::int64_t offset;
        std::size_t length;
        bool ok;
    };
    const Remap remaps[] = {
        {start, 0, 256, true},
        {start, 0, 257, false},
        {start + 256, 0, 0, true},          // the end itself, zero bytes
        {start, -1, 1, false},              // below address
        {start + 10, -10, 4, true},
        {start, INT64_MIN, 1, false},
        {start, INT64_MAX, 1, false},
        {start, 0, SIZE_MAX, false},        // the length wraps
        {0, 0, 1, false},
        {UINT64_MAX, 1, 1, false},
    };
    for (const auto& r : remaps)
        EXPECT_EQ(lvcrash_async_mobject_remap_address(&mobj, r.target, r.offset, r.length) != nullptr, r.ok)
            << r.target - start << " " << r.offset << " " << r.length;
    EXPECT_FALSE(lvcrash_async_mobject_verify_local_pointer(&mobj, UINTPTR_MAX, 1, 0));
    EXPECT_FALSE(lvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, INT64_MIN, 0));
    lvcrash_async_mobject_free(&mobj);
}

TEST(MemoryObject, TopOfTheAddressSpaceAndForeignTasks) {
    lvcrash_async_mobject mobj{};
    const task_t self = platform::darwin::task_self();
    EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, UINT64_MAX - 100, 50, false), LVCRASH_ERROR_NO_MEMORY);
    EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, UINT64_MAX - 100, 500, false), LVCRASH_ERROR_NO_MEMORY);
    EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, 0xFFFF800000000000ull, 16, false), LVCRASH_ERROR_NO_MEMORY);
    EXPECT_EQ(lvcrash_async_mobject_init(&mobj, self, 0, 16, false), LVCRASH_ERROR_NO_MEMORY);
    int local = 5;
    EXPECT_NE(lvcrash_async_mobject_init(&mobj, self + 1, reinterpret_cast<std::uint64_t>(&local), 4, false),
              LVCRASH_ERROR_NONE);
}
