#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

class CustomPropertiesTest : public ::testing::Test {
protected:
    testkit::TelemetryTestEnvironment env_;
    RDDICustomProperties properties_;
};

TEST_F(CustomPropertiesTest, KeysMustBeLettersThenLettersOrDigitsUpTo128) {
    properties_.setString("v", std::string(128, 'k'))
        .setString("v", std::string(129, 'k'))
        .setString("v", "1abc")
        .setString("v", "has_underscore")
        .setString("v", std::nullopt)
        .setString("v", "a1B2");
    const auto stored = properties_.propertiesImmutableCopy();
    EXPECT_EQ(stored.size(), 2u);
    EXPECT_TRUE(stored.contains(std::string(128, 'k')));
    EXPECT_TRUE(stored.contains("a1B2"));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setString: Custom property \"1abc\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setString: Custom property \"(null)\" must match \"^[a-zA-Z][a-zA-Z0-9]*$\""));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setString: Custom property \"" + std::string(129, 'k') +
                                                   "\" length cannot be longer than \"128\" characters."));
}

TEST_F(CustomPropertiesTest, AKeyOfAnyLengthIsRefusedByItsLengthAndQuotedShort) {
    // Measured before it is matched: a key of tens of thousands of characters used to
    // overflow the stack of the matcher.
    const struct {
        const char* name;
        std::size_t length;
        char fill;
    } cases[] = {{"one over", 129, 'k'}, {"one over, against the pattern too", 129, '_'},
                 {"30,000", 30'000, 'k'}, {"10 MB", 10'000'000, 'k'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env_.clearLogs();
        const std::string key = "k" + std::string(c.length - 1, c.fill);
        properties_.setString("v", key);
        properties_.clearPropertyForKey(key);
        EXPECT_TRUE(properties_.propertiesImmutableCopy().empty());
        const auto logs = env_.capturedLogs();
        ASSERT_EQ(logs.size(), 2u);
        for (const auto& log : logs) {
            EXPECT_EQ(log.level, RDDILogLevelError);
            EXPECT_NE(log.message.find("length cannot be longer than \"128\" characters."), std::string::npos);
            EXPECT_LT(log.message.size(), 400u) << "the key is quoted whole";
        }
    }
}

TEST_F(CustomPropertiesTest, SixtyKeysAtMostButExistingOnesMayBeOverridden) {
    for (int i = 0; i < 60; ++i) properties_.setNumber(i, "key" + std::to_string(i));
    properties_.setNumber(60, "key60");
    EXPECT_EQ(properties_.propertiesImmutableCopy().size(), 60u);
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setNumber: Custom properties cannot contain more than \"60\" items."));

    properties_.setNumber(100, "key0");
    EXPECT_EQ(properties_.propertiesImmutableCopy().at("key0"), pf::Value(100));
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning, "Custom property \"key0\" is already set or cleared and will be overridden."));
}

TEST_F(CustomPropertiesTest, ValuesMustBePresentFiniteAndShortEnough) {
    properties_.setNumber(std::numeric_limits<double>::infinity(), "inf")
        .setNumber(std::nan(""), "nan")
        .setObject(pf::Value(), "none")
        .setString(std::string(129, 'v'), "long")
        .setString(std::string(128, 'v'), "edge");
    const auto stored = properties_.propertiesImmutableCopy();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored.contains("edge"));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setNumber: Custom property value cannot be NaN or infinite."));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setObject: Custom property value cannot be null, did you mean to call clear?"));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setString: Custom property value length cannot be longer than \"128\" characters."));
}

TEST_F(CustomPropertiesTest, ClearingAndSettingAgainKeepsOneEntryWithTheNewValue) {
    properties_.clearPropertyForKey("color");
    EXPECT_TRUE(properties_.propertiesImmutableCopy().at("color").isNull());
    properties_.setString("blue", "color");
    const auto stored = properties_.propertiesImmutableCopy();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.at("color"), pf::Value("blue"));
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning, "Custom property \"color\" is already set or cleared and will be overridden."));
}

TEST_F(CustomPropertiesTest, LogSendsEachKindWithItsTypeAndNeedsProperties) {
    const auto date = pf::Date::fromTimeIntervalSince1970(1700000000.25);
    properties_.setBool(true, "flag").setNumber(7, "count").setDate(date, "when").setString("x", "name");
    properties_.clearPropertyForKey("gone");

    RDDICustomPropertiesLog log;
    log.properties = properties_.propertiesImmutableCopy();
    const pf::Dictionary json = log.serializeToDictionary();
    EXPECT_EQ(json.at("type"), pf::Value("customProperties"));
    EXPECT_EQ(json.at("properties"),
              pf::Value::array({
                  pf::Value::dict({{"type", "number"}, {"value", 7}, {"name", "count"}}),
                  pf::Value::dict({{"type", "boolean"}, {"value", true}, {"name", "flag"}}),
                  pf::Value::dict({{"type", "clear"}, {"name", "gone"}}),
                  pf::Value::dict({{"type", "string"}, {"value", "x"}, {"name", "name"}}),
                  pf::Value::dict({{"type", "dateTime"}, {"value", "2023-11-14T22:13:20.250Z"}, {"name", "when"}}),
              }));

    RDDICustomPropertiesLog empty;
    empty.timestamp = pf::Date::now();
    empty.device = RDDIDeviceTracker::sharedInstance()->device();
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDICustomPropertiesLog: \"properties\" is not valid."));
    log.timestamp = empty.timestamp;
    log.device = empty.device;
    EXPECT_TRUE(log.isValid());
}

TEST_F(CustomPropertiesTest, EntryPointSendsThemOnTheCoreUnitAndRefusesAnEmptySet) {
    RDDIDezIdedev::configureWithAppSecret("secret");
    RDDIDezIdedev::setCustomProperties(nullptr);
    RDDIDezIdedev::setCustomProperties(std::make_shared<RDDICustomProperties>());
    EXPECT_TRUE(env_.channelGroup()->storedLogs("DezIdedev").empty());
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Custom properties may not be null or empty"));

    auto custom = std::make_shared<RDDICustomProperties>();
    custom->setString("pro", "plan");
    RDDIDezIdedev::setCustomProperties(custom);
    const auto logs = env_.channelGroup()->storedLogs("DezIdedev");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].flags, RDDIFlagsNormal);
    const auto log = std::dynamic_pointer_cast<RDDICustomPropertiesLog>(logs[0].log);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->properties, (pf::Dictionary{{"plan", pf::Value("pro")}}));
}

}  // namespace
