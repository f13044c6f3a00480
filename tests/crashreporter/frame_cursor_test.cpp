// The cursor's stepping rules and the frame-pointer reader on synthetic stacks.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/frame_cursor.hpp"

using namespace lvcrash;

namespace {

const task_t self = platform::darwin::task_self();
const std::uint64_t page = platform::darwin::page_size();

lvcrash_async_thread_state x86_state(std::uint64_t pc, std::uint64_t fp) {
    lvcrash_async_thread_state s;
    lvcrash_async_thread_state_init(&s, LVCRASH_CPU_TYPE_X86_64);
    lvcrash_async_thread_state_set_reg(&s, LVCRASH_REG_IP, pc);
    lvcrash_async_thread_state_set_reg(&s, LVCRASH_REG_FP, fp);
    return s;
}

constexpr lvcrash_frame_reader_t fp_only[] = {lvcrash_frame_reader_fp};

// Steps until failure; returns the pcs handed out and the final error.
std::vector<std::uint64_t> walk(const lvcrash_async_thread_state& start, lvcrash_frame_error_t* end,
                                const lvcrash_frame_reader_t* readers = fp_only, std::size_t count = 1) {
    lvcrash_frame_cursor cursor;
    lvcrash_frame_cursor_init(&cursor, self, &start, nullptr);
    std::vector<std::uint64_t> pcs;
    for (int i = 0; i < 32; ++i) {
        *end = lvcrash_frame_cursor_next_with_readers(&cursor, readers, count);
        if (*end != LVCRASH_FRAME_OK) break;
        std::uint64_t pc = 0;
        EXPECT_EQ(lvcrash_frame_cursor_get_reg(&cursor, LVCRASH_REG_IP, &pc), LVCRASH_FRAME_OK);
        pcs.push_back(pc);
    }
    lvcrash_frame_cursor_free(&cursor);
    return pcs;
}

TEST(FrameCursor, FramePointerChains) {
    // Records at ascending addresses: [caller fp, return address].
    alignas(16) std::uint64_t stack[16] = {};
    const auto at = [&](int i) { return reinterpret_cast<std::uint64_t>(&stack[i]); };
    struct Case {
        const char* what;
        std::vector<std::pair<int, std::pair<std::uint64_t, std::uint64_t>>> records;  // index -> (fp, pc)
        int start;
        std::vector<std::uint64_t> pcs;
        lvcrash_frame_error_t end;
    } cases[] = {
        {"outward chain ending with fp 0", {{0, {at(4), 0x5001}}, {4, {at(8), 0x5002}}, {8, {0, 0x5003}}}, 0,
         {0x9000, 0x5001, 0x5002, 0x5003}, LVCRASH_FRAME_NO_FRAME},
        {"inward chain", {{4, {at(0), 0x5001}}, {0, {at(8), 0x5002}}}, 4, {0x9000, 0x5001}, LVCRASH_FRAME_BAD_FRAME},
        {"cycle", {{0, {at(4), 0x5001}}, {4, {at(0), 0x5002}}}, 0, {0x9000, 0x5001, 0x5002}, LVCRASH_FRAME_BAD_FRAME},
        {"same address is followed", {{0, {at(0), 0x5001}}}, 0, {0x9000, 0x5001, 0x5001, 0x5001}, LVCRASH_FRAME_OK},
        {"return address of exactly a page ends the walk", {{0, {at(4), page}}}, 0, {0x9000}, LVCRASH_FRAME_NO_FRAME},
        {"one byte above a page does not", {{0, {at(4), page + 1}}, {4, {0, 0}}}, 0, {0x9000, page + 1},
         LVCRASH_FRAME_NO_FRAME},
    };
    for (const auto& c : cases) {
        std::fill(std::begin(stack), std::end(stack), 0);
        for (const auto& [i, record] : c.records) {
            stack[i] = record.first;
            stack[i + 1] = record.second;
        }
        lvcrash_frame_error_t end = LVCRASH_FRAME_OK;
        auto pcs = walk(x86_state(0x9000, at(c.start)), &end);
        if (c.end == LVCRASH_FRAME_OK) pcs.resize(c.pcs.size());  // an endless chain: look at its start
        else EXPECT_EQ(end, c.end) << c.what;
        EXPECT_EQ(pcs, c.pcs) << c.what;
    }
}

TEST(FrameCursor, StepRules) {
    lvcrash_frame_error_t end;
    // A first frame with pc 0 is still handed out; the next step ends the walk.
    alignas(16) std::uint64_t record[2] = {0, 0};
    auto pcs = walk(x86_state(0, reinterpret_cast<std::uint64_t>(record)), &end);
    EXPECT_EQ(pcs, std::vector<std::uint64_t>{0});
    EXPECT_EQ(end, LVCRASH_FRAME_NO_FRAME);

    // An empty reader list, once past the first frame.
    lvcrash_frame_cursor cursor;
    const auto start = x86_state(0x9000, reinterpret_cast<std::uint64_t>(record));
    lvcrash_frame_cursor_init(&cursor, self, &start, nullptr);
    EXPECT_EQ(lvcrash_frame_cursor_next_with_readers(&cursor, fp_only, 0), LVCRASH_FRAME_OK);
    EXPECT_EQ(lvcrash_frame_cursor_next_with_readers(&cursor, fp_only, 0), LVCRASH_FRAME_INVALID_ARGUMENT);
    std::uint64_t value;
    EXPECT_EQ(lvcrash_frame_cursor_get_reg(&cursor, LVCRASH_X86_64_RAX, &value), LVCRASH_FRAME_NOT_SUPPORTED);
    EXPECT_EQ(lvcrash_frame_cursor_get_regcount(&cursor), 21u);
    EXPECT_STREQ(lvcrash_frame_cursor_get_regname(&cursor, 2), "rsp");
    lvcrash_frame_cursor_free(&cursor);

    // Table readers without an image for the pc fail; the frame-pointer reader then decides.
    alignas(16) std::uint64_t chain[4] = {0, 0x7777, 0, 0};
    const lvcrash_frame_reader_t all[] = {lvcrash_frame_reader_compact_unwind, lvcrash_frame_reader_dwarf,
                                          lvcrash_frame_reader_fp};
    pcs = walk(x86_state(0x9000, reinterpret_cast<std::uint64_t>(chain)), &end, all, 3);
    EXPECT_EQ(pcs, (std::vector<std::uint64_t>{0x9000, 0x7777}));
    EXPECT_STREQ(lvcrash_frame_strerror(LVCRASH_FRAME_BAD_REGISTER), "Invalid register");
    EXPECT_STREQ(lvcrash_frame_strerror(static_cast<lvcrash_frame_error_t>(8)), "Unhandled error code");
}

TEST(FrameCursor, FramePointerReader) {
    // The caller's sp comes back two words above the record, so table readers can resume.
    alignas(16) std::uint64_t record[2] = {0x1234, 0x5678};
    const auto fp = reinterpret_cast<std::uint64_t>(record);
    const auto current = x86_state(0x9000, fp);
    lvcrash_async_thread_state next;
    ASSERT_EQ(lvcrash_frame_reader_fp(self, nullptr, &current, nullptr, &next), LVCRASH_FRAME_OK);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_FP), 0x1234u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x5678u);
    EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_SP), fp + 16);
    EXPECT_FALSE(lvcrash_async_thread_state_has_reg(&next, LVCRASH_X86_64_RBX));

    // A frame pointer into a guard page.
    void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guard, MAP_FAILED);
    const auto into_guard = x86_state(0x9000, reinterpret_cast<std::uint64_t>(guard) + 16);
    EXPECT_EQ(lvcrash_frame_reader_fp(self, nullptr, &into_guard, nullptr, &next), LVCRASH_FRAME_BAD_FRAME);
    munmap(guard, page);
    // No frame pointer at all.
    lvcrash_async_thread_state none;
    lvcrash_async_thread_state_init(&none, LVCRASH_CPU_TYPE_X86_64);
    EXPECT_EQ(lvcrash_frame_reader_fp(self, nullptr, &none, nullptr, &next), LVCRASH_FRAME_BAD_FRAME);

    // 32-bit ARM reads two 32-bit words.
    alignas(8) std::uint32_t small[2] = {0x100, 0x2000};
    lvcrash_async_thread_state arm;
    lvcrash_async_thread_state_init(&arm, LVCRASH_CPU_TYPE_ARM);
    const auto small_at = reinterpret_cast<std::uint64_t>(small);
    if (small_at <= 0xFFFFFFFFu) {
        lvcrash_async_thread_state_set_reg(&arm, LVCRASH_REG_FP, small_at);
        ASSERT_EQ(lvcrash_frame_reader_fp(self, nullptr, &arm, nullptr, &next), LVCRASH_FRAME_OK);
        EXPECT_EQ(lvcrash_async_thread_state_get_reg(&next, LVCRASH_REG_IP), 0x2000u);
    }
}

}  // namespace
