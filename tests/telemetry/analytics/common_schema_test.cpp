#include "platform/foundation/json.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_log_container.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

std::string fixture(const std::string& name) {
    return gwtest::readFile(std::filesystem::path(GW_FIXTURES_DIR) / "telemetry" / name);
}

// Compares with the golden text; GW_UPDATE_GOLDEN=1 rewrites it instead.
void expectGolden(const std::string& name, const std::string& actual) {
    const auto path = std::filesystem::path(GW_FIXTURES_DIR) / "telemetry" / name;
    if (std::getenv("GW_UPDATE_GOLDEN")) gwtest::writeFile(path, actual + "\n");
    EXPECT_EQ(actual + "\n", fixture(name)) << name;
}

std::shared_ptr<RDDICommonSchemaLog> fullLog() {
    auto log = std::make_shared<RDDICommonSchemaLog>();
    log->ver = "3.0";
    log->name = "checkout";
    log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.25);
    log->iKey = "o:tenant";
    log->flags = 2;
    log->popSample = 50;
    log->cV = "cv-1";
    auto ext = std::make_shared<RDDICSExtensions>();
    ext->metadataExt = std::make_shared<RDDIMetadataExtension>();
    ext->metadataExt->metadata = RDDIOrderedJson::parse(R"({"f":{"price":6}})");
    ext->protocolExt = std::make_shared<RDDIProtocolExtension>();
    ext->protocolExt->ticketKeys = std::vector<std::string>{"t1", "t2"};
    ext->protocolExt->devMake = "Maker";
    ext->protocolExt->devModel = "Model";
    ext->userExt = std::make_shared<RDDIUserExtension>();
    ext->userExt->localId = "c:alice";
    ext->userExt->locale = "en-US";
    ext->deviceExt = std::make_shared<RDDIDeviceExtension>();
    ext->deviceExt->localId = "u:device";
    ext->osExt = std::make_shared<RDDIOSExtension>();
    ext->osExt->name = "Debian GNU/Linux";
    ext->osExt->ver = "Version 12.0.0 (Build 6.1.0)";
    ext->appExt = std::make_shared<RDDIAppExtension>();
    ext->appExt->appId = "I:com.example.app";
    ext->appExt->ver = "1.0";
    ext->appExt->name = "Example";
    ext->appExt->locale = "en";
    ext->appExt->userId = "c:alice";
    ext->netExt = std::make_shared<RDDINetExtension>();
    ext->netExt->provider = "Carrier";
    ext->sdkExt = std::make_shared<RDDISDKExtension>();
    ext->sdkExt->libVer = "dezidedev.macos-4.3.0";
    ext->sdkExt->epoch = "epoch-1";
    ext->sdkExt->installId = pf::UUID::fromString("6f1a2b3c-4d5e-4f60-8a7b-9c0d1e2f3a4b");
    ext->sdkExt->seq = 7;
    ext->locExt = std::make_shared<RDDILocExtension>();
    ext->locExt->tz = "+05:30";
    log->ext = ext;
    log->data = std::make_shared<RDDICSData>();
    log->data->properties = RDDIOrderedJson::parse(R"({"zeta":1,"baseData":{"url":"https://x.y/z"},"alpha":"a","baseType":"Purchase"})");
    return log;
}

class CommonSchemaTest : public ::testing::Test {
protected:
    void SetUp() override { RDDIRegisterAnalyticsArchiveClasses(); }

    std::shared_ptr<RDDIEventLog> event(const std::string& name = "clicked") {
        auto log = std::make_shared<RDDIEventLog>();
        log->name = name;
        log->eventId = "E";
        log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000);
        log->device = RDDIDeviceTracker::sharedInstance()->device();
        log->typedProperties = std::make_shared<RDDIEventProperties>();
        log->addTransmissionTargetToken("tenant-key-1");
        return log;
    }

    static std::string dump(const std::optional<RDDIOrderedJson>& json) { return json ? json->dump() : "(none)"; }

    int warnings(const std::string& message) const {
        int count = 0;
        for (const auto& entry : env_.capturedLogs()) count += entry.level == RDDILogLevelWarning && entry.message == message;
        return count;
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(CommonSchemaTest, GoldenJsonKeepsItsKeyOrder) {
    expectGolden("common_schema_full.json", *fullLog()->serializeLogWithPrettyPrinting(true));

    RDDICommonSchemaLog minimal;
    minimal.ver = "3.0";
    minimal.name = "n";
    minimal.timestamp = pf::Date::fromTimeIntervalSince1970(0);
    minimal.iKey = "o:k";
    minimal.ext = std::make_shared<RDDICSExtensions>();
    EXPECT_EQ(*minimal.serializeLogWithPrettyPrinting(false),
              R"({"ver":"3.0","name":"n","time":"1970-01-01T00:00:00.000Z","iKey":"o:k","ext":{}})");
    EXPECT_TRUE(minimal.isValid());
    minimal.name.reset();
    EXPECT_FALSE(minimal.isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDICommonSchemaLog: \"name\" is not valid."));

    RDDISDKExtension sdk;
    sdk.seq = 5;
    EXPECT_EQ(dump(sdk.serializeToJson()), R"({"seq":5})");
    sdk.seq = 0;
    EXPECT_EQ(dump(sdk.serializeToJson()), "(none)");
    RDDICSExtensions ext;
    ext.sdkExt = std::make_shared<RDDISDKExtension>();
    ext.locExt = std::make_shared<RDDILocExtension>();
    ext.metadataExt = std::make_shared<RDDIMetadataExtension>();
    ext.metadataExt->metadata = RDDIOrderedJson::object();
    EXPECT_EQ(dump(ext.serializeToJson()), R"({"metadata":{}})");  // empty members leave their keys out

    RDDIAppExtension app;
    app.appId = "I:x";
    EXPECT_EQ(dump(app.serializeToJson()), R"({"id":"I:x"})");

    RDDICSData data;
    data.properties = RDDIOrderedJson::parse(R"({"a":1,"baseData":{},"baseType":"T"})");
    EXPECT_EQ(dump(data.serializeToJson()), R"({"baseType":"T","baseData":{},"a":1})");
}

TEST_F(CommonSchemaTest, ContainerOfLogsWithUrlsWritesPlainSlashes) {
    auto log = event();
    log->properties = RDDIStringProperties{{"url", "https://example.com/a/b?c=d/e"}};
    const auto text = RDDILogContainer("b", {log}).serializeLog();
    ASSERT_TRUE(text);
    EXPECT_NE(text->find(R"("url":"https://example.com/a/b?c=d/e")"), std::string::npos);
    EXPECT_EQ(text->find("\\/"), std::string::npos);
    EXPECT_EQ(fullLog()->serializeLogWithPrettyPrinting(false)->find("\\/"), std::string::npos);
}

TEST_F(CommonSchemaTest, ArchivingKeepsEveryFieldIncludingThoseJsonDoesNotCarry) {
    const auto log = fullLog();
    log->device = RDDIDeviceTracker::sharedInstance()->device();
    log->sid = "s";
    const auto decoded = RDDIUtility::unarchiveKeyedData<RDDICommonSchemaLog>(RDDIUtility::archiveKeyedData(log.get()));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*log));
    EXPECT_EQ(decoded->popSample, 50.0);
    EXPECT_EQ(decoded->cV, "cv-1");
    EXPECT_TRUE(decoded->transmissionTargetTokens().empty());
    EXPECT_EQ(decoded->serializeLogWithPrettyPrinting(true), log->serializeLogWithPrettyPrinting(true));

    decoded->ext->sdkExt->seq = 8;
    EXPECT_FALSE(decoded->isEqual(*log));
}

TEST_F(CommonSchemaTest, ConversionMakesOneLogPerTargetToken) {
    gwtest::ScopedEnv tz("TZ", "XXX-5:30");
    RDDIDeviceTracker::refreshDeviceNextTime();
    auto log = event();
    log->userId = "alice";
    log->addTransmissionTargetToken("other-key-2");
    log->tag = std::make_shared<int>(1);
    const auto converted = log->toCommonSchemaLogsWithFlags(2);
    ASSERT_EQ(converted.size(), 2u);
    std::set<std::string> iKeys;
    for (const auto& cs : converted) {
        ASSERT_EQ(cs->transmissionTargetTokens().size(), 1u);
        const std::string token = *cs->transmissionTargetTokens().begin();
        EXPECT_EQ(cs->iKey, RDDIUtility::iKeyFromTargetToken(token));
        iKeys.insert(*cs->iKey);
        EXPECT_EQ(cs->ver, "3.0");
        EXPECT_EQ(cs->name, "clicked");
        EXPECT_EQ(cs->flags, 2);
        EXPECT_EQ(cs->timestamp, log->timestamp);
        EXPECT_EQ(cs->tag, log->tag);
        const auto& d = *log->device;
        EXPECT_EQ(cs->ext->userExt->localId, "c:alice");
        EXPECT_EQ(cs->ext->userExt->locale, [&] {
            std::string l = *d.locale;
            std::replace(l.begin(), l.end(), '_', '-');
            return l;
        }());
        EXPECT_EQ(cs->ext->protocolExt->devMake, d.oemName);
        EXPECT_EQ(cs->ext->osExt->ver, "Version " + *d.osVersion + " (Build " + *d.osBuild + ")");
        EXPECT_EQ(cs->ext->appExt->appId, "I:" + *d.appNamespace);
        EXPECT_EQ(cs->ext->sdkExt->libVer, "dezidedev.macos-4.3.0");
        EXPECT_EQ(cs->ext->locExt->tz, "+05:30");
        EXPECT_TRUE(cs->isValid());
    }
    EXPECT_EQ(iKeys, (std::set<std::string>{"o:tenant", "o:other"}));

    auto untargeted = event();
    untargeted->typedProperties.reset();
    RDDIPageLog page;
    page.timestamp = log->timestamp;
    EXPECT_TRUE(page.toCommonSchemaLogsWithFlags(1).empty());
}

TEST_F(CommonSchemaTest, StringOperationsOfTheConversion) {
    struct Tz {
        std::int64_t minutes;
        const char* text;
    };
    for (const auto& c : {Tz{330, "+05:30"}, Tz{-210, "-03:30"}, Tz{0, "+00:00"}, Tz{-30, "-00:30"}, Tz{60, "+01:00"},
                          Tz{-600, "-10:00"}}) {
        EXPECT_EQ(RDDIAbstractLog::convertTimeZoneOffsetToISO8601(c.minutes), c.text) << c.minutes;
    }
    EXPECT_EQ(RDDIAbstractLog::combineOsVersion("12.0.0", "6.1.0"), "Version 12.0.0 (Build 6.1.0)");
    EXPECT_EQ(RDDIAbstractLog::combineOsVersion("12.0.0", std::nullopt), "Version 12.0.0");
    EXPECT_EQ(RDDIAbstractLog::combineOsVersion("", "6.1.0"), "(null) (Build 6.1.0)");
    EXPECT_EQ(RDDIAbstractLog::combineOsVersion("", ""), std::nullopt);
    EXPECT_EQ(RDDIAbstractLog::combineSDKLibVer("n", "1"), "n-1");
    EXPECT_EQ(RDDIAbstractLog::combineSDKLibVer("n", ""), std::nullopt);
}

TEST_F(CommonSchemaTest, DottedNamesBecomeNestedDataWithTypeIdsAsMetadata) {
    struct Case {
        const char* what;
        std::function<void(RDDIEventLog&)> fill;
        const char* data;
        const char* metadata;
        const char* warning;
    };
    const Case cases[] = {
        {"a long under a dotted name", [](auto& l) { l.typedProperties->setInt64(5, "a.b"); }, R"({"a":{"b":5}})",
         R"({"f":{"a":{"f":{"b":4}}}})", nullptr},
        {"every kind", [](auto& l) {
             l.typedProperties->setString("x", "s").setDouble(1.5, "d").setBool(true, "b");
             l.typedProperties->setDate(pf::Date::fromTimeIntervalSince1970(0), "when");
         }, R"({"b":true,"d":1.5,"s":"x","when":"1970-01-01T00:00:00.000Z"})", R"({"f":{"d":6,"when":9}})", nullptr},
        {"a long under text has nowhere to go", [](auto& l) { l.typedProperties->setString("text", "a").setInt64(5, "a.b"); },
         R"({"a":"text"})", "(absent)", "Property key 'b' already has a value, choosing one."},
        {"no typed properties", [](auto& l) { l.typedProperties.reset(); }, "(absent)", "(absent)", nullptr},
    };
    const auto dumpOf = [](const auto& part) { return part ? dump(part->serializeToJson()) : "(absent)"; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto log = event();
        c.fill(*log);
        env_.clearLogs();
        const auto cs = log->toCommonSchemaLogForTargetToken("tenant-key", 1);
        EXPECT_EQ(dumpOf(cs->data), c.data);
        EXPECT_EQ(dumpOf(cs->ext->metadataExt), c.metadata);
        if (c.warning) {
            EXPECT_EQ(warnings(c.warning), 1);
        }
    }
}

TEST_F(CommonSchemaTest, BaseTypeAndBaseDataRules) {
    struct Case {
        const char* what;
        std::function<void(RDDIEventProperties&)> fill;
        const char* data;
        std::vector<const char*> warnings;
        std::vector<std::string> bagAfter;
    };
    const Case cases[] = {
        {"both present", [](auto& b) { b.setString("Purchase", "baseType").setInt64(3, "baseData.count"); },
         R"({"baseType":"Purchase","baseData":{"count":3}})", {}, {"baseData.count", "baseType"}},
        {"baseType alone", [](auto& b) { b.setString("Purchase", "baseType").setString("v", "k"); }, R"({"k":"v"})",
         {"baseType was set but baseData is missing."}, {"k"}},
        {"baseData without baseType", [](auto& b) { b.setInt64(1, "baseData.a").setInt64(2, "baseData.b").setString("v", "k"); },
         R"({"k":"v"})", {"baseData was set but baseType is missing or invalid."}, {"k"}},
        {"baseType not text", [](auto& b) { b.setInt64(1, "baseType").setInt64(1, "baseData.a"); }, "(none)",
         {"baseData was set but baseType is missing or invalid."}, {}},
        {"baseType as an object and baseData as a value",
         [](auto& b) { b.setString("T", "baseType").setInt64(1, "baseData.a").setString("x", "baseType.inner").setString("y", "baseData"); },
         R"({"baseType":"T","baseData":{"a":1}})", {"baseType must not be an object.", "baseData must be an object."},
         {"baseData", "baseData.a", "baseType", "baseType.inner"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto log = event();
        c.fill(*log->typedProperties);
        env_.clearLogs();
        const auto cs = log->toCommonSchemaLogForTargetToken("tenant-key", 1);
        EXPECT_EQ(dump(cs->data ? cs->data->serializeToJson() : std::nullopt), c.data);
        for (const char* warning : c.warnings) EXPECT_EQ(warnings(warning), 1) << warning;
        std::vector<std::string> keys;
        for (const auto& [key, property] : log->typedProperties->properties()) keys.push_back(key);
        EXPECT_EQ(keys, c.bagAfter);
    }
}

TEST_F(CommonSchemaTest, CollidingAndDeepNamesStayBounded) {
    // 1,000 properties whose dotted names collide in every way: paths through a typed value,
    // through a text value, and through a value two levels down.
    auto log = event();
    int expectedDrops = 0;
    for (int group = 0; group < 150; ++group) {
        const std::string root = fmt::format("g{:03}", group);
        log->typedProperties->setInt64(group, root);                // kept, type id 4
        log->typedProperties->setInt64(1, root + ".x");             // dropped: through a long
        log->typedProperties->setDouble(2.0, "h" + root + ".y");    // kept, type id 6
        log->typedProperties->setInt64(3, "h" + root + ".y.z");     // dropped: through a double
        expectedDrops += 2;
    }
    for (int group = 0; group < 200; ++group) {
        // Through a text value (no type id): the dropped long must leave no empty branch.
        log->typedProperties->setString("t", fmt::format("s{:03}", group));
        log->typedProperties->setInt64(4, fmt::format("s{:03}.n", group));
        expectedDrops += 1;
    }
    ASSERT_EQ(log->typedProperties->count(), 1000u);
    env_.clearLogs();
    const auto cs = log->toCommonSchemaLogForTargetToken("tenant-key", 1);
    int dropped = 0;
    for (const auto& entry : env_.capturedLogs()) dropped += entry.message.find("already has a value") != std::string::npos;
    EXPECT_EQ(dropped, expectedDrops);
    const auto metadata = *cs->ext->metadataExt->metadata;
    // Only the kept properties have type ids: no trace of the dropped longs.
    EXPECT_EQ(metadata["f"].size(), 300u);
    EXPECT_EQ(metadata["f"]["g000"], 4);
    EXPECT_EQ(metadata["f"]["hg000"], RDDIOrderedJson::parse(R"({"f":{"y":6}})"));
    EXPECT_FALSE(metadata["f"].contains("s000"));
    EXPECT_EQ((*cs->data->properties)["s000"], "t");

    // A name of 1,000 components is walked without recursion.
    auto deep = event();
    std::string name = "c0";
    for (int i = 1; i < 1000; ++i) name += ".c" + std::to_string(i);
    deep->typedProperties->setInt64(1, name);
    const auto deepCs = deep->toCommonSchemaLogForTargetToken("tenant-key", 1);
    const RDDIOrderedJson* node = &*deepCs->data->properties;
    int levels = 0;
    while (node->is_object()) {
        node = &node->begin().value();
        ++levels;
    }
    EXPECT_EQ(levels, 1000);
    EXPECT_EQ(*node, 1);
}

}  // namespace
