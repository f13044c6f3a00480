#include "platform/foundation/binary_plist_writer.hpp"
#include "platform/foundation/plist.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace pf = platform::foundation;

// The library reads back exactly what the writer wrote.
TEST(BinaryPlistWriter, EveryKindOfValueReadsBackThroughTheLibrary) {
    pf::Array many;
    for (int i = 0; i < 400; ++i) many.emplace_back("item " + std::to_string(i % 300));  // > 255 objects, shared texts
    pf::Dictionary wide;
    for (int i = 0; i < 20; ++i) wide.emplace("key" + std::to_string(i), i);  // a count past the marker nibble
    const pf::Value value = pf::Value::dict({
        {"bools", pf::Value::array({true, false})},
        {"integers", pf::Value::array({0, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL, -1,
                                       std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()})},
        {"reals", pf::Value::array({0.5, -1e300, 3.0})},
        {"date", pf::Date::fromTimeIntervalSince1970(1700000000.5)},
        {"data", pf::Data(300, 0xAB)},
        {"empty", pf::Value(pf::Data{})},
        {"text", "plain ascii"},
        {"unicode", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},  // two-, three- and four-byte sequences
        {"caf\xC3\xA9", "a key beyond ASCII"},
        {"long text", std::string(70000, 'x')},  // offsets past two bytes
        {"many", pf::Value(many)},
        {"wide", pf::Value(wide)},
        {"nested", pf::Value::dict({{"inner", pf::Value::array({pf::Value::dict({}), pf::Value::array({})})}})},
    });
    const pf::Data bytes = pf::writeBinaryPropertyList(value);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    EXPECT_EQ(pf::plist::parse(bytes), value);

    // A lone value as the root.
    EXPECT_EQ(pf::plist::parse(pf::writeBinaryPropertyList(pf::Value(42))), pf::Value(42));
}
