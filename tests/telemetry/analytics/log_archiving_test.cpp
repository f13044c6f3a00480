#include "platform/foundation/json.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_log_container.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

// An archive written by hand: any class name, any fields.
class Forged : public pf::Archivable {
public:
    Forged(std::string cls, std::function<void(pf::KeyedArchiver&)> fill) : cls_(std::move(cls)), fill_(std::move(fill)) {}
    std::string archiveClassName() const override { return cls_; }
    void encode(pf::KeyedArchiver& archiver) const override { fill_(archiver); }

private:
    std::string cls_;
    std::function<void(pf::KeyedArchiver&)> fill_;
};

class LogArchivingTest : public ::testing::Test {
protected:
    void SetUp() override { RDDIRegisterAnalyticsArchiveClasses(); }

    // The fields every log gets, a device included.
    template <class T>
    std::shared_ptr<T> stamped(std::shared_ptr<T> log) {
        log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.123456);
        log->sid = "session-1";
        log->userId = "c:alice";
        log->distributionGroupId = "group";
        log->device = RDDIDeviceTracker::sharedInstance()->device();
        log->addTransmissionTargetToken("token-a");
        return log;
    }

    static std::shared_ptr<RDDIEventProperties> everyKindOfProperty() {
        auto bag = std::make_shared<RDDIEventProperties>();
        bag->setString("text", "s").setDouble(2.5, "d").setInt64(-7, "l").setBool(true, "b");
        bag->setDate(pf::Date::fromTimeIntervalSince1970(1600000000.5), "when");
        return bag;
    }

    int unarchivingFailures() const {
        int count = 0;
        for (const auto& entry : env_.capturedLogs()) {
            if (entry.message.rfind("Unarchiving NSData failed with error: ", 0) == 0) ++count;
        }
        return count;
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(LogArchivingTest, EveryLogClassRoundTripsEqualAndLosesItsTargetTokens) {
    std::vector<std::pair<std::string, std::shared_ptr<RDDIAbstractLog>>> logs;
    logs.emplace_back("RDDIAbstractLog", stamped(std::make_shared<RDDIAbstractLog>()));
    {
        auto log = stamped(std::make_shared<RDDILogWithProperties>());
        log->properties = RDDIStringProperties{{"a", "1"}, {"url", "https://x/y"}};
        logs.emplace_back("RDDILogWithProperties", log);
    }
    {
        auto log = stamped(std::make_shared<RDDIStartServiceLog>());
        log->services = std::vector<std::string>{"Analytics", "Crashes"};
        logs.emplace_back("RDDIStartServiceLog", log);
    }
    {
        auto log = stamped(std::make_shared<RDDIEventLog>());
        log->name = "clicked";
        log->eventId = "E1";
        log->properties = RDDIStringProperties{{"k", "v"}};
        log->typedProperties = everyKindOfProperty();
        logs.emplace_back("RDDIEventLog", log);
    }
    {
        auto log = stamped(std::make_shared<RDDIPageLog>());
        log->name = "Home";
        logs.emplace_back("RDDIPageLog", log);
    }
    {
        auto log = stamped(std::make_shared<RDDILogWithNameAndProperties>());
        log->name = "named";
        logs.emplace_back("RDDILogWithNameAndProperties", log);
    }
    logs.emplace_back("RDDIStartSessionLog", stamped(std::make_shared<RDDIStartSessionLog>()));

    for (const auto& [className, log] : logs) {
        SCOPED_TRACE(className);
        EXPECT_EQ(log->archiveClassName(), className);
        const auto data = RDDIUtility::archiveKeyedData(log.get());
        ASSERT_TRUE(data);
        const auto decoded = RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(data);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->className(), className);
        EXPECT_TRUE(decoded->isEqual(*log));
        EXPECT_TRUE(log->isEqual(*decoded));
        EXPECT_TRUE(decoded->transmissionTargetTokens().empty());
        EXPECT_EQ(decoded->serializeToDictionary(), log->serializeToDictionary());
        EXPECT_EQ(decoded->timestamp, log->timestamp);  // the fraction survives
    }
    const auto event = std::dynamic_pointer_cast<RDDIEventLog>(
        RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(RDDIUtility::archiveKeyedData(logs[3].second.get())));
    ASSERT_TRUE(event && event->typedProperties);
    EXPECT_TRUE(event->typedProperties->isEqual(*everyKindOfProperty()));
    EXPECT_EQ(event->typedProperties->serializeToArray(), everyKindOfProperty()->serializeToArray());
    EXPECT_EQ(unarchivingFailures(), 0);
}

TEST_F(LogArchivingTest, ClearedCustomPropertySurvivesArchivingAsCleared) {
    auto log = stamped(std::make_shared<RDDICustomPropertiesLog>());
    RDDICustomProperties properties;
    properties.setBool(true, "flag").setNumber(pf::Value(42), "count").setDate(pf::Date::fromTimeIntervalSince1970(1.5), "when");
    properties.setString("x", "name").clearPropertyForKey("gone");
    log->properties = properties.propertiesImmutableCopy();

    const auto decoded = RDDIUtility::unarchiveKeyedData<RDDICustomPropertiesLog>(RDDIUtility::archiveKeyedData(log.get()));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*log));
    EXPECT_EQ(decoded->type, "customProperties");
    ASSERT_TRUE(decoded->properties);
    EXPECT_EQ(decoded->properties->size(), 5u);
    EXPECT_TRUE(decoded->properties->at("gone").isNull());
    std::map<std::string, std::string> types;
    const pf::Value json(decoded->serializeToDictionary());
    for (const auto& entry : *json["properties"].asArray()) {
        types[*entry["name"].asString()] = *entry["type"].asString();
    }
    EXPECT_EQ(types, (std::map<std::string, std::string>{
                         {"count", "number"}, {"flag", "boolean"}, {"gone", "clear"}, {"name", "string"}, {"when", "dateTime"}}));
}

TEST_F(LogArchivingTest, ArchivesWrittenUnderOldClassNamesDecodeAsTheCurrentClasses) {
    // Old names are a fixed table: archive each current class, then rename it in the bytes'
    // decoded form, as an earlier version would have written it.
    const std::vector<std::pair<std::string, std::string>> renames = {
        {"RDEventLog", "RDDIEventLog"},       {"RDPageLog", "RDDIPageLog"},
        {"RDStartSessionLog", "RDDIStartSessionLog"}, {"RDStartServiceLog", "RDDIStartServiceLog"},
        {"RDLogWithProperties", "RDDILogWithProperties"}, {"RDAbstractLog", "RDDIAbstractLog"},
        {"RDLogWithNameAndProperties", "RDDILogWithNameAndProperties"},
    };
    for (const auto& [oldName, newName] : renames) {
        SCOPED_TRACE(oldName);
        struct Renamed : RDDIAbstractLog {
            std::string name;
            std::string archiveClassName() const override { return name; }
        } log;
        log.name = oldName;
        log.type = "t";
        log.timestamp = pf::Date::fromTimeIntervalSince1970(5);
        const auto decoded = RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(RDDIUtility::archiveKeyedData(&log));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->className(), newName);
        EXPECT_EQ(decoded->type, "t");
    }
    // An old typed-property name inside a current event.
    const Forged bag("RDEventProperties", [](pf::KeyedArchiver& a) {
        const Forged old("RDLongTypedProperty", [](pf::KeyedArchiver& p) {
            p.encodeString("type", "long");
            p.encodeString("name", "n");
            p.encodeInteger("value", 9);
        });
        a.encodeObject("n", &old);
    });
    const auto decoded = RDDIUtility::unarchiveKeyedData<RDDIEventProperties>(RDDIUtility::archiveKeyedData(&bag));
    ASSERT_TRUE(decoded);
    const auto property = std::dynamic_pointer_cast<RDDILongTypedProperty>(decoded->properties().at("n"));
    ASSERT_TRUE(property);
    EXPECT_EQ(property->value, 9);
}

TEST_F(LogArchivingTest, WrongTypesAndUnknownKindsGiveNoneNotAnException) {
    struct TypedAs : pf::Archivable {
        TypedAs(std::string c, std::string k) : cls(std::move(c)), kind(std::move(k)) {}
        std::string cls, kind;
        std::string archiveClassName() const override { return cls; }
        void encode(pf::KeyedArchiver& archiver) const override {
            archiver.encodeString("type", kind);
            archiver.encodeString("value", "not a number");
        }
    };
    const std::vector<std::pair<const char*, std::shared_ptr<pf::Archivable>>> cases = {
        {"timestamp as text", std::make_shared<Forged>("RDDIEventLog", [](auto& a) { a.encodeString("timestamp", "now"); })},
        {"name as a number", std::make_shared<Forged>("RDDIPageLog", [](auto& a) { a.encodeInteger("name", 1); })},
        {"properties as a list", std::make_shared<Forged>("RDDILogWithProperties", [](auto& a) { a.encode("properties", pf::Value::array({1})); })},
        {"services of numbers", std::make_shared<Forged>("RDDIStartServiceLog", [](auto& a) { a.encode("services", pf::Value::array({1})); })},
        {"a custom property of data", std::make_shared<Forged>("RDDICustomPropertiesLog", [](auto& a) { a.encode("properties", pf::Value::dict({{"k", pf::Value(pf::Data{1})}})); })},
        {"device of another class", std::make_shared<Forged>("RDDIEventLog", [](auto& a) { RDDIWrapperSdk w; a.encodeObject("device", &w); })},
        {"typed properties that are a device", std::make_shared<Forged>("RDDIEventLog", [](auto& a) { RDDIDevice d; a.encodeObject("typedProperties", &d); })},
        {"a long holding text", std::make_shared<TypedAs>("RDDILongTypedProperty", "long")},
        {"a typed property of an unknown kind", std::make_shared<TypedAs>("RDDIStringTypedProperty", "colour")},
        {"the abstract typed property", std::make_shared<TypedAs>("RDTypedProperty", "string")},
    };
    for (const auto& [what, object] : cases) {
        SCOPED_TRACE(what);
        env_.clearLogs();
        const auto data = RDDIUtility::archiveKeyedData(object.get());
        ASSERT_TRUE(data);
        EXPECT_EQ(RDDIUtility::unarchiveKeyedData(data), nullptr);
        EXPECT_EQ(unarchivingFailures(), 1);
    }
}

TEST_F(LogArchivingTest, ValidityNamesTheMissingField) {
    auto log = std::make_shared<RDDIEventLog>();
    struct Step {
        std::function<void()> change;
        const char* missing;
    };
    const Step steps[] = {
        {[] {}, "timestamp"},
        {[&] { log->timestamp = pf::Date::now(); }, "device"},
        {[&] { log->device = std::make_shared<RDDIDevice>(); }, "device"},  // present but itself invalid
        {[&] { log->device = RDDIDeviceTracker::sharedInstance()->device(); }, "name"},
        {[&] { log->name = "n"; }, "eventId"},
        {[&] { log->eventId = "id"; }, nullptr},
    };
    for (const auto& step : steps) {
        step.change();
        env_.clearLogs();
        SCOPED_TRACE(step.missing ? step.missing : "(valid)");
        EXPECT_EQ(log->isValid(), step.missing == nullptr);
        if (step.missing) {
            EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, std::string("RDDIEventLog: \"") + step.missing + "\" is not valid."));
        }
    }
    auto custom = stamped(std::make_shared<RDDICustomPropertiesLog>());
    EXPECT_FALSE(custom->isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDICustomPropertiesLog: \"properties\" is not valid."));
}

TEST_F(LogArchivingTest, ContainerSerialisesPlainSlashesAndRepairsText) {
    RDDILogContainer empty("batch", {});
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDILogContainer: there are no logs in container."));

    auto page = stamped(std::make_shared<RDDIPageLog>());
    page->name = "https://example.com/a/b";
    page->properties = RDDIStringProperties{{"bad\xFFkey", "caf\xC3"}, {"ok", "fine"}};
    auto invalid = std::make_shared<RDDIPageLog>();
    RDDILogContainer container("batch", {page});
    EXPECT_TRUE(container.isValid());
    const auto text = container.serializeLog();
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("https://example.com/a/b"), std::string::npos);
    EXPECT_EQ(text->find("\\/"), std::string::npos);
    const auto json = pf::json::parse(*text);
    ASSERT_EQ(json["logs"].size(), 1u);
    EXPECT_EQ(json["logs"].asArray()->at(0)["properties"]["bad\xEF\xBF\xBDkey"], pf::Value("caf\xEF\xBF\xBD"));
    EXPECT_EQ(container.batchId, "batch");

    RDDILogContainer mixed("batch", {page, invalid});
    EXPECT_FALSE(mixed.isValid());

    // A value with no JSON form at all: none, and the failure is logged.
    auto event = stamped(std::make_shared<RDDIEventLog>());
    event->name = "e";
    event->eventId = "id";
    event->typedProperties = std::make_shared<RDDIEventProperties>();
    auto nan = std::make_shared<RDDIDoubleTypedProperty>();
    nan->name = "nan";
    nan->value = std::numeric_limits<double>::quiet_NaN();
    event->typedProperties->setProperty("nan", nan);
    env_.clearLogs();
    EXPECT_EQ(RDDILogContainer("b", {event}).serializeLog(), std::nullopt);
    bool logged = false;
    for (const auto& entry : env_.capturedLogs()) {
        logged = logged || (entry.level == RDDILogLevelError &&
                            entry.message.rfind("Couldn't serialize log container to json: ", 0) == 0);
    }
    EXPECT_TRUE(logged);

    // Archives repair text too, instead of failing.
    const auto decoded = RDDIUtility::unarchiveKeyedData<RDDIPageLog>(RDDIUtility::archiveKeyedData(page.get()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->properties->at("bad\xEF\xBF\xBDkey"), "caf\xEF\xBF\xBD");
}

}  // namespace
