#include "platform/foundation/base64.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/plist.hpp"
#include "support/hostile_files.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace pf = platform::foundation;
using pf::Value;

namespace {
Value sample() {
    return Value::dict({
        {"bool", true},
        {"int", std::int64_t{-9'000'000'000}},
        {"real", 0.5},
        {"string", "héllo \"quoted\" <tag> & more"},
        {"array", Value::array({1, "two", Value::dict({{"three", 3}})})},
        {"empty", pf::Dictionary{}},
    });
}
}  // namespace

TEST(Json, RoundTripsAndKeepsNumberKinds) {
    Value v = sample();
    std::string text = pf::json::serialize(v);
    EXPECT_EQ(pf::json::parse(text), v);
    EXPECT_NE(text.find("\"int\":-9000000000"), std::string::npos);
    EXPECT_NE(text.find("\"bool\":true"), std::string::npos);
    // A whole-numbered real stays a real and an integer stays an integer when read back.
    Value back = pf::json::parse(pf::json::serialize(Value::dict({{"r", 2.0}, {"i", 2}})));
    EXPECT_TRUE(back["r"].isReal());
    EXPECT_TRUE(back["i"].isInteger());
}

TEST(Json, PrettyPrintingIndentsByTwo) {
    EXPECT_EQ(pf::json::serialize(Value::dict({{"a", 1}}), {.prettyPrinted = true}), "{\n  \"a\": 1\n}");
}

TEST(Json, CatalogStyleMatchesTheCatalogEditorsLayout) {
    pf::Dictionary info{{"author", Value("xcode")}, {"version", Value(std::int64_t{1})}};
    pf::Dictionary image{{"filename", Value("Icon/\u00e9@2x.png")}, {"scale", Value(0.5)}, {"size", Value(641.0)}};
    pf::Dictionary root{{"images", Value(pf::Array{Value(image)})}, {"info", Value(info)}, {"layers", Value(pf::Array{})}};
    EXPECT_EQ(pf::json::serializeCatalogStyle(Value(root)),
              "{\n"
              "  \"images\" : [\n"
              "    {\n"
              "      \"filename\" : \"Icon/\u00e9@2x.png\",\n"
              "      \"scale\" : 0.5,\n"
              "      \"size\" : 641\n"
              "    }\n"
              "  ],\n"
              "  \"info\" : {\n"
              "    \"author\" : \"xcode\",\n"
              "    \"version\" : 1\n"
              "  },\n"
              "  \"layers\" : [\n"
              "\n"
              "  ]\n"
              "}\n");
    // What the file must not hold is refused rather than written half.
    EXPECT_THROW(pf::json::serializeCatalogStyle(Value(pf::Dictionary{{"x", Value(std::nan(""))}})), pf::Error);
    EXPECT_THROW(pf::json::serializeCatalogStyle(Value(pf::Dictionary{{"bad", Value(std::string("\xff"))}})), pf::Error);
}

TEST(Json, RefusesValuesWithoutJsonForm) {
    auto expectInvalid = [](const Value& v) {
        try {
            pf::json::serialize(v);
            ADD_FAILURE() << "serialised " << v.description();
        } catch (const pf::Error& e) {
            EXPECT_EQ(e.code(), static_cast<int>(pf::FoundationErrorCode::propertyListWriteInvalid));
        }
    };
    expectInvalid(Value(pf::dataFromString("x")));
    expectInvalid(Value(pf::Date::fromTimeIntervalSince1970(0)));
    expectInvalid(Value::array({std::nan("")}));
    expectInvalid(Value(std::numeric_limits<double>::infinity()));
    expectInvalid(Value("bad \xFF byte"));
}

TEST(Json, MalformedTextIsAnErrorNotACrash) {
    for (const char* bad : {"", "{", "{\"a\":}", "[1,2", "nul", "{\"a\" 1}"}) {
        EXPECT_THROW(pf::json::parse(std::string_view(bad)), pf::Error) << bad;
    }
    EXPECT_EQ(pf::json::parse(std::string_view("18446744073709551615")).type(), Value::Type::real);
}

// Our reader and compact writer go without the JSON library's tree (a saved picture's
// text runs to hundreds of megabytes); they must read and write exactly as it does.
TEST(Json, ReadsAndWritesExactlyAsTheJSONLibrary) {
    const auto libraryRead = [](const std::string& text) {
        return pf::json::fromJson(nlohmann::json::parse(text.begin(), text.end()));
    };
    const std::vector<std::string> texts = {
        "null", "true", "false", "0", "-0", "7", "-12", "9223372036854775807", "9223372036854775808",
        "-9223372036854775808", "-9223372036854775809", "18446744073709551616", "1.5", "-0.25", "1e3", "1E+3",
        "2.5e-3", "1e-400", "-1e-400", "1e400", "01", "-", "1.", ".5", "+1", "1e", "0x10", "\"\"",
        "\"plain\"", "\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t\"", "\"\\u00e9\\u20AC\\ud83d\\ude00\"",
        "\"\\ud83d\"", "\"\\ude00\"", "\"\\u12\"", "\"\\x\"", "\"tab\tinside\"", "\"h\xc3\xa9llo\"",
        "\"bad \xff\"", "\"\xed\xa0\x80\"", "\"\xc0\xaf\"", "\"cut", " [ 1 , [ ] , { } , \"a\" ] ", "[1,]", "[1 2]", "{\"a\":1,\"a\":2}",
        "{\"b\":[{\"c\":null}],\"a\":true}", "{\"a\" 1}", "{\"a\":}", "{1:2}", "[", "]", "", "  ",
        "\xEF\xBB\xBF[1]", "[1] x", "nul", "truex", "[true,false,null]",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        std::optional<Value> expected;
        try {
            expected = libraryRead(text);
        } catch (const nlohmann::json::exception&) {
        }
        if (!expected) {
            EXPECT_THROW(pf::json::parse(text), pf::Error);
            continue;
        }
        const Value read = pf::json::parse(text);
        EXPECT_EQ(read, *expected);
        EXPECT_EQ(read.type(), expected->type());
        EXPECT_EQ(pf::json::serialize(read), pf::json::toJson(read).dump());
    }
    // Every character that needs an escape, among long runs that need none.
    std::string text(1 << 20, 'a');
    for (int c = 0; c < 0x80; ++c) text[static_cast<std::size_t>(c) * 4097] = static_cast<char>(c);
    text += "\u00e9 \u20ac \U0001F600";
    const Value value = Value::dict({{"k\n\"ey", Value(text)}, {"list", sample()}, {"r", 1e21}, {"s", 0.1}});
    EXPECT_EQ(pf::json::serialize(value), pf::json::toJson(value).dump());
    EXPECT_EQ(pf::json::parse(pf::json::serialize(value)), value);
    // A surrogate written as UTF-8 is no text to either.
    EXPECT_THROW(pf::json::toJson(Value("\xed\xa0\x80")).dump(), nlohmann::json::exception);
    EXPECT_THROW(pf::json::serialize(Value("\xed\xa0\x80")), pf::Error);
}

TEST(Base64, RoundTripsEveryLengthAndRefusesWhatIsNotBase64) {
    pf::Data bytes;
    for (int i = 0; i < 300; ++i) {
        const auto text = pf::base64Encoded(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(pf::base64Decoded(text), bytes) << i;
        bytes.push_back(static_cast<std::uint8_t>(i * 37));
    }
    EXPECT_EQ(pf::base64Encoded(pf::dataFromString("Man")), "TWFu");
    EXPECT_EQ(pf::base64Encoded(pf::dataFromString("Ma")), "TWE=");
    EXPECT_EQ(pf::base64Encoded(pf::dataFromString("M")), "TQ==");
    for (const char* bad : {"TWF", "TW=u", "T===", "====", "TWFu!AAA", "TQ==TWFu", "TW\nu"}) {
        EXPECT_FALSE(pf::base64Decoded(bad).has_value()) << bad;
    }
}

TEST(PropertyList, XmlAndBinaryRoundTripEveryKind) {
    Value v = sample();
    v.member("data") = Value(pf::Data{0, 1, 2, 255});
    v.member("date") = Value(pf::Date::fromTimeIntervalSince1970(1'700'000'000));
    for (auto format : {pf::plist::Format::xml, pf::plist::Format::binary}) {
        Value back = pf::plist::parse(pf::plist::serialize(v, format));
        EXPECT_EQ(back, v) << back.description();
    }
    // XML dates carry whole seconds; binary ones keep the fraction.
    Value precise = Value::array({pf::Date::fromTimeIntervalSince1970(1'700'000'000.25)});
    EXPECT_EQ(pf::plist::parse(pf::plist::serialize(precise, pf::plist::Format::binary)), precise);
}

TEST(PropertyList, ReadsPlistTextWrittenByHand) {
    const char* text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>assetManifests</key>
  <array><dict><key>scale</key><integer>-2</integer><key>size</key><real>29.5</real></dict></array>
  <key>flag</key><false/>
</dict>
</plist>)";
    Value v = pf::plist::parse(std::string_view(text));
    EXPECT_EQ(v["assetManifests"].size(), 1u);
    EXPECT_EQ(v["assetManifests"].asArray()->front()["scale"], Value(-2));
    EXPECT_EQ(v["assetManifests"].asArray()->front()["size"], Value(29.5));
    EXPECT_EQ(v["flag"], Value(false));
}

TEST(PropertyList, RefusesNullAndGarbage) {
    EXPECT_THROW(pf::plist::serialize(Value()), pf::Error);
    EXPECT_THROW(pf::plist::serialize(Value::dict({{"a", Value()}})), pf::Error);
    EXPECT_THROW(pf::plist::parse(std::string_view("")), pf::Error);
    EXPECT_THROW(pf::plist::parse(std::string_view("{\"json\": true}")), pf::Error);
    EXPECT_THROW(pf::plist::parse(std::string_view("<plist><dict><key>a</key>")), pf::Error);
    pf::Data truncated = pf::plist::serialize(sample(), pf::plist::Format::binary);
    truncated.resize(truncated.size() / 2);
    EXPECT_THROW(pf::plist::parse(truncated), pf::Error);
}

// The library stops the process on a text that holds a NUL, in a key or a value: such a
// file is refused as damaged, in binary and in XML, which cannot hold a NUL at all.
TEST(PropertyList, ATextHoldingANulIsRefusedAsDamaged) {
    using namespace std::string_literals;
    const auto parse = [](const std::string& text) { return pf::plist::parse(std::string_view(text)); };
    EXPECT_EQ(parse(gwtest::binaryPlistOfTexts(u"key", u"value")), Value::dict({{"key", "value"}}));
    EXPECT_THROW(parse(gwtest::binaryPlistOfTexts(u"k\0y"s, u"value")), pf::Error);
    EXPECT_THROW(parse(gwtest::binaryPlistOfTexts(u"key", u"\0value"s)), pf::Error);
    const std::string xml = "<plist version=\"1.0\"><dict><key>key</key><string>va\0lue</string></dict></plist>"s;
    EXPECT_THROW(parse(xml), pf::Error);
}

// Nesting is bounded in every reader: a file nested deeper than the bound is refused as
// unreadable instead of exhausting the stack; files within it still read.
TEST(PropertyList, NestingDeeperThanTheBoundIsRefusedInEveryFormat) {
    auto nestedValue = [](std::size_t depth) {
        Value value{pf::Array{}};
        for (std::size_t i = 1; i < depth; ++i) value = Value(pf::Array{value});
        return value;
    };
    struct Case {
        const char* name;
        std::function<std::string(std::size_t)> make;
        std::function<Value(const std::string&)> read;
    };
    const auto readPlist = [](const std::string& text) { return pf::plist::parse(std::string_view(text)); };
    const auto readJSON = [](const std::string& text) { return pf::json::parse(text); };
    const std::vector<Case> cases = {
        {"binary", [](std::size_t depth) { return gwtest::nestedBinaryPlist(depth); }, readPlist},
        {"xml", gwtest::nestedXMLPlist, readPlist},
        {"json", gwtest::nestedJSON, readJSON},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.read(c.make(100)), nestedValue(100));
        for (const std::size_t depth : {std::size_t{600}, std::size_t{300'000}}) {
            try {
                c.read(c.make(depth));
                ADD_FAILURE() << depth << " levels were read";
            } catch (const pf::Error& e) {
                EXPECT_EQ(e.code(), static_cast<int>(pf::FoundationErrorCode::propertyListReadCorrupt));
                EXPECT_NE(std::string(e.what()).find("nested more than"), std::string::npos) << e.what();
            }
        }
    }
    // A binary list whose references loop back is refused too, and so is one that would
    // unfold into 2^40 values, at once.
    EXPECT_THROW(pf::plist::parse(std::string_view(gwtest::nestedBinaryPlist(3, true))), pf::Error);
    EXPECT_THROW(pf::plist::parse(std::string_view(gwtest::sharedBinaryPlist(40))), pf::Error);
    EXPECT_EQ(pf::plist::parse(std::string_view(gwtest::sharedBinaryPlist(12))).description().empty(), false);
    // What our own writer makes, shared values and all, reads back.
    const Value shared = nestedValue(200);
    const Value both = Value::dict({{"a", shared}, {"b", shared}, {"c", Value::array({shared, shared})}});
    EXPECT_EQ(pf::plist::parse(pf::plist::serialize(both, pf::plist::Format::binary)), both);
    EXPECT_EQ(pf::plist::parse(pf::plist::serialize(both, pf::plist::Format::xml)), both);
}
