#include "platform/foundation/value.hpp"

#include <gtest/gtest.h>

namespace pf = platform::foundation;
using pf::Value;

TEST(Value, KeepsBooleansIntegersAndRealsApart) {
    EXPECT_TRUE(Value(true).isBool());
    EXPECT_TRUE(Value(std::int64_t{3}).isInteger());
    EXPECT_TRUE(Value(3).isInteger());
    EXPECT_TRUE(Value(3.0).isReal());
    EXPECT_NE(Value(1), Value(true));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_FALSE(Value(1).asBool());
    EXPECT_EQ(Value(7).asDouble(), 7.0);
    EXPECT_FALSE(Value(7.5).asInteger());
    EXPECT_TRUE(Value("x").isString());
    EXPECT_TRUE(Value().isNull());
}

TEST(Value, LenientReadingsFollowSettingsConventions) {
    EXPECT_TRUE(Value("YES").boolValue());
    EXPECT_TRUE(Value("true").boolValue());
    EXPECT_TRUE(Value(" 12 ").boolValue());
    EXPECT_FALSE(Value("no").boolValue());
    EXPECT_FALSE(Value().boolValue());
    EXPECT_EQ(Value("42").integerValue(), 42);
    EXPECT_EQ(Value(2.9).integerValue(), 2);
    EXPECT_EQ(Value(true).integerValue(), 1);
    EXPECT_DOUBLE_EQ(Value("2.5").doubleValue(), 2.5);
    EXPECT_EQ(Value(pf::Array{}).integerValue(), 0);
}

TEST(Value, DictionaryAccessAndMutation) {
    Value v = Value::dict({{"a", 1}, {"b", Value::array({"x", 2.5})}});
    EXPECT_EQ(v["a"], Value(1));
    EXPECT_TRUE(v["missing"].isNull());
    EXPECT_TRUE(v["b"]["nested"].isNull());  // not a dictionary: null, no throw
    EXPECT_EQ(v["b"].size(), 2u);
    EXPECT_TRUE(v.contains("a"));

    Value built;
    built.member("info").member("version") = 1;
    built.member("info").member("author") = "xcode";
    EXPECT_EQ(built, Value::dict({{"info", Value::dict({{"version", 1}, {"author", "xcode"}})}}));

    Value number = 3;
    EXPECT_THROW(number.member("x") = 1, std::logic_error);
    EXPECT_TRUE(number["x"].isNull());
    EXPECT_EQ(v.size(), 2u);  // reads above inserted nothing
}

TEST(Value, DescriptionIsStableAndQuotesWhenNeeded) {
    Value v = Value::dict({{"name", "a b"}, {"n", 3}, {"list", Value::array({"x", true})}});
    EXPECT_EQ(v.description(), "{list = (x, 1); n = 3; name = \"a b\"; }");
    EXPECT_EQ(Value(pf::dataFromString("AB")).description(), "{length = 2, bytes = 0x4142}");
}
