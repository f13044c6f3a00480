#include "platform/foundation/binary_plist_reader.hpp"

#include "platform/foundation/binary_plist_writer.hpp"
#include "platform/foundation/plist.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace pf = platform::foundation;

namespace {

// An archive-shaped tree: objects wrapped in dictionaries, shared key texts, nesting.
pf::Value archiveLike() {
    pf::Dictionary device;
    for (int i = 0; i < 20; ++i) device.emplace("field" + std::to_string(i), pf::Value::dict({{"$v", "value " + std::to_string(i)}}));
    return pf::Value::dict({
        {"$archiver", "KeyedArchiver"},
        {"$version", 1},
        {"$top", pf::Value::dict({
                     {"$class", "EventLog"},
                     {"$fields", pf::Value::dict({
                                     {"name", pf::Value::dict({{"$v", "caf\xC3\xA9 \xF0\x9F\x98\x80 opened"}})},
                                     {"timestamp", pf::Value::dict({{"$v", 1700000000.123}})},
                                     {"size", pf::Value::dict({{"$v", 1024}})},
                                     {"negative", pf::Value::dict({{"$v", -7}})},
                                     {"flag", pf::Value::dict({{"$v", true}})},
                                     {"blob", pf::Value::dict({{"$v", pf::Data{1, 2, 3, 0, 255}}})},
                                     {"device", pf::Value::dict({{"$o", pf::Value::dict({{"$class", "Device"},
                                                                                         {"$fields", pf::Value(device)}})}})},
                                 })},
                 })},
    });
}

}  // namespace

// Whatever the reader reads, it reads as the library does.
TEST(BinaryPlistReader, ReadsWhatTheWriterWritesAsTheLibraryDoes) {
    pf::Array many;
    for (int i = 0; i < 400; ++i) many.emplace_back("item " + std::to_string(i % 300));  // two-byte references
    const pf::Value cases[] = {
        archiveLike(),
        pf::Value::array({true, false, 0, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL, -1,
                          std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}),
        pf::Value::array({0.5, -1e300, 3.0, 0.1}),
        pf::Value::dict({{"data", pf::Data(300, 0xAB)}, {"empty", pf::Value(pf::Data{})}, {"", ""}}),
        pf::Value::dict({{"caf\xC3\xA9", "\xE2\x82\xAC \xF0\x9F\x98\x80\xF0\x9F\x98\x80"}}),
        pf::Value::dict({{"long", std::string(70000, 'x')}, {"many", pf::Value(many)}}),
        pf::Value::dict({{"nested", pf::Value::dict({{"inner", pf::Value::array({pf::Value::dict({}), pf::Value::array({})})}})}}),
        pf::Value(42),
        pf::Value("alone"),
    };
    for (const auto& value : cases) {
        const pf::Data bytes = pf::writeBinaryPropertyList(value);
        const auto read = pf::readBinaryPropertyList(bytes);
        ASSERT_TRUE(read.has_value()) << value.description().substr(0, 200);
        EXPECT_EQ(*read, value) << value.description().substr(0, 200);
        EXPECT_EQ(*read, pf::plist::parse(bytes));
        EXPECT_TRUE(pf::isSafeBinaryPropertyList(bytes));
    }
}

// What the reader does not read exactly as the library would, it leaves to the library.
TEST(BinaryPlistReader, LeavesToTheLibraryWhatItDoesNotReadTheSameWay) {
    // Patches the bytes of the first occurrence of `from` with `to`.
    const auto patched = [](pf::Data bytes, const pf::Data& from, const pf::Data& to) {
        const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
        EXPECT_NE(at, bytes.end());
        if (at != bytes.end()) std::copy(to.begin(), to.end(), at);
        return bytes;
    };
    const pf::Data euro = pf::writeBinaryPropertyList(pf::Value::dict({{"k", "\xE2\x82\xAC"}}));  // UTF-16 0x20AC
    const pf::Data ascii = pf::writeBinaryPropertyList(pf::Value::dict({{"k", "abc"}}));
    pf::Value deep = pf::Value::array({});
    for (int i = 0; i < 200; ++i) deep = pf::Value::array({deep});
    // The integer 42 as the root, in an object table longer than the library takes.
    pf::Data longTable = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x10, 42};
    const std::uint64_t entries = (std::uint64_t{1} << 22) + 1;
    longTable.insert(longTable.end(), entries, 8);
    // Trailer: one-byte offsets and references, the count, the root, the table's offset.
    for (const std::uint64_t field : {std::uint64_t{0x0101}, entries, std::uint64_t{0}, std::uint64_t{10}}) {
        for (int i = 7; i >= 0; --i) longTable.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
    }
    struct Case {
        const char* what;
        pf::Data bytes;
        bool libraryReads;
    };
    const Case cases[] = {
        {"a date", pf::writeBinaryPropertyList(pf::Value::dict({{"d", pf::Date::fromTimeIntervalSince1970(1.5)}})), true},
        {"text beyond ASCII in a one-byte string", patched(ascii, {'a', 'b', 'c'}, {0xE9, 'b', 'c'}), true},
        {"a lone high surrogate", patched(euro, {0x20, 0xAC}, {0xD8, 0x00}), true},
        {"a lone low surrogate", patched(euro, {0x20, 0xAC}, {0xDC, 0x00}), true},
        {"a repeated key", patched(pf::writeBinaryPropertyList(pf::Value::dict({{"a", 1}, {"b", 2}})), {'b'}, {'a'}), false},
        {"nesting deeper than archives go", pf::writeBinaryPropertyList(deep), true},
        {"more objects than the library takes", longTable, false},
        {"a truncated file", pf::Data(ascii.begin(), ascii.end() - 1), false},
        {"another header", patched(ascii, {'0', '0'}, {'1', '5'}), false},
        {"no bytes", {}, false},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(pf::readBinaryPropertyList(c.bytes).has_value()) << c.what;
        if (c.libraryReads) {
            EXPECT_NO_THROW(pf::plist::parse(c.bytes)) << c.what;
        }
    }
}

// Damaged archives: wherever the reader answers, the library answers the same.
TEST(BinaryPlistReader, DamagedBytesReadAsTheLibraryReadsThemOrNotAtAll) {
    const pf::Data original = pf::writeBinaryPropertyList(archiveLike());
    std::vector<pf::Data> variants;
    for (std::size_t at = 0; at < original.size(); ++at) {
        for (const std::uint8_t flip : {0x01, 0x08, 0x10, 0x80, 0xFF}) {
            pf::Data bytes = original;
            bytes[at] ^= flip;
            variants.push_back(std::move(bytes));
        }
    }
    for (std::size_t size = 0; size < original.size(); size += 7) variants.emplace_back(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(size));

    int readByBoth = 0;
    for (const auto& bytes : variants) {
        // The library is never given text holding a NUL (it stops the process).
        if (!pf::isSafeBinaryPropertyList(bytes)) continue;
        const auto read = pf::readBinaryPropertyList(bytes);
        std::optional<pf::Value> library;
        try {
            library = pf::plist::parse(bytes);
        } catch (const std::exception&) {
        }
        if (!read) continue;
        ASSERT_TRUE(library.has_value()) << "the reader took bytes the library refuses";
        ASSERT_EQ(*read, *library);
        ++readByBoth;
    }
    // Most single flips land in text or numbers and still read.
    EXPECT_GT(readByBoth, static_cast<int>(original.size()));
}
