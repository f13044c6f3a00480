// The writer's field packer: every value type's bytes as Protocol Buffers has them, the same
// count with and without a file.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/report_writer.hpp"

using namespace lvcrash;

namespace {

std::vector<std::uint8_t> packed(std::uint32_t field, lvcrash_protobuf_type type, const void* value, std::size_t* counted,
                                 std::size_t* written) {
    const int fd = memfd_create("pack", 0);
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, 0);
    *counted = lvcrash_writer_pack(nullptr, field, type, value);
    *written = lvcrash_writer_pack(&file, field, type, value);
    lvcrash_async_file_flush(&file);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    pread(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    return bytes;
}

TEST(ReportPack, EveryTypeEncodesAsProtocolBuffersDoes) {
    const std::int32_t minus_one = -1, sint = -2;
    const std::int64_t sint64 = -3;
    const std::uint32_t u32 = 300, fixed32 = 0x01020304, message_length = 5;
    const std::uint64_t u64 = 1ull << 35, fixed64 = 0x0102030405060708ull;
    const bool yes = true;
    const lvcrash_protobuf_bytes bytes{3, "abc"};
    struct Case {
        const char* name;
        std::uint32_t field;
        lvcrash_protobuf_type type;
        const void* value;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {"negative int32 is ten bytes", 1, LVCRASH_PROTOBUF_TYPE_INT32, &minus_one,
         {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
        {"sint32 zigzag", 2, LVCRASH_PROTOBUF_TYPE_SINT32, &sint, {0x10, 0x03}},
        {"sint64 zigzag", 2, LVCRASH_PROTOBUF_TYPE_SINT64, &sint64, {0x10, 0x05}},
        {"uint32 varint", 3, LVCRASH_PROTOBUF_TYPE_UINT32, &u32, {0x18, 0xAC, 0x02}},
        {"enum", 3, LVCRASH_PROTOBUF_TYPE_ENUM, &u32, {0x18, 0xAC, 0x02}},
        {"bool one byte", 4, LVCRASH_PROTOBUF_TYPE_BOOL, &yes, {0x20, 0x01}},
        {"uint64", 5, LVCRASH_PROTOBUF_TYPE_UINT64, &u64, {0x28, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
        {"fixed32", 6, LVCRASH_PROTOBUF_TYPE_FIXED32, &fixed32, {0x35, 0x04, 0x03, 0x02, 0x01}},
        {"double as 8 bytes", 7, LVCRASH_PROTOBUF_TYPE_DOUBLE, &fixed64,
         {0x39, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"string", 8, LVCRASH_PROTOBUF_TYPE_STRING, "hi", {0x42, 0x02, 'h', 'i'}},
        {"bytes", 9, LVCRASH_PROTOBUF_TYPE_BYTES, &bytes, {0x4A, 0x03, 'a', 'b', 'c'}},
        {"message head only", 10, LVCRASH_PROTOBUF_TYPE_MESSAGE, &message_length, {0x52, 0x05}},
        {"field number 2^29", 1u << 29, LVCRASH_PROTOBUF_TYPE_BOOL, &yes, {0x80, 0x80, 0x80, 0x80, 0x10, 0x01}},
    };
    for (const auto& c : cases) {
        std::size_t counted = 0, written = 0;
        EXPECT_EQ(packed(c.field, c.type, c.value, &counted, &written), c.expected) << c.name;
        EXPECT_EQ(counted, c.expected.size()) << c.name;
        EXPECT_EQ(written, c.expected.size()) << c.name;
    }
}

}  // namespace
