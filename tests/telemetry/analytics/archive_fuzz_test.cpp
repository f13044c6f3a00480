#include "platform/foundation/plist.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

const std::vector<std::string> kClassNames = {
    "RDDIAbstractLog", "RDDIEventLog", "RDDIPageLog", "RDDIStartSessionLog", "RDDIStartServiceLog",
    "RDDICustomPropertiesLog", "RDDILogWithProperties", "RDDICommonSchemaLog", "RDDIDevice", "RDDIWrapperSdk",
    "RDDIEventProperties", "RDDILongTypedProperty", "RDDIStringTypedProperty", "RDDIDateTimeTypedProperty",
    "RDDICSExtensions", "RDDICSData", "RDDISDKExtension", "RDDIMetadataExtension", "NSArray", "RDEventLog",
    "RDTypedProperty", "RDCustomProperties", "RDDIUnknown"};

// Replaces class names in the archive's tree with others, so that objects decode as
// classes they were not written as.
void swapClassNames(pf::Value& node, std::mt19937& random) {
    std::vector<pf::Value*> pending{&node};
    while (!pending.empty()) {
        pf::Value* value = pending.back();
        pending.pop_back();
        if (auto* dict = value->asDictionary()) {
            for (auto& [key, child] : *dict) {
                if (key == "$class" && random() % 3 == 0) child = pf::Value(kClassNames[random() % kClassNames.size()]);
                pending.push_back(&child);
            }
        } else if (auto* array = value->asArray()) {
            for (auto& child : *array) pending.push_back(&child);
        }
    }
}

pf::Data mutate(const pf::Data& original, std::mt19937& random) {
    pf::Data data = original;
    switch (random() % 4) {
    case 0:  // bit flips
        for (unsigned i = 0, n = 1 + random() % 4; i < n && !data.empty(); ++i) {
            data[random() % data.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        }
        break;
    case 1:  // truncation
        data.resize(random() % (data.size() + 1));
        break;
    case 2:  // inserted bytes
        for (unsigned i = 0, n = 1 + random() % 8; i < n; ++i) {
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(random() % (data.size() + 1)),
                        static_cast<std::uint8_t>(random()));
        }
        break;
    default: {  // swapped class names
        pf::Value tree = pf::plist::parse(original);
        swapClassNames(tree, random);
        data = pf::plist::serialize(tree, pf::plist::Format::binary);
    }
    }
    return data;
}

class ArchiveFuzzTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIRegisterAnalyticsArchiveClasses();
        // Thousands of expected failures: keep them out of the captured log.
        RDDILogger::setLogHandler({});
    }
    testkit::TelemetryTestEnvironment env_;
};

TEST_F(ArchiveFuzzTest, MutatedArchivesGiveNoneOrALogNeverACrash) {
    const auto device = RDDIDeviceTracker::sharedInstance()->device();
    const auto stamp = [&](RDDIAbstractLog& log) {
        log.timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.5);
        log.sid = "sid";
        log.userId = "c:user";
        log.device = device;
    };
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    {
        auto event = std::make_shared<RDDIEventLog>();
        event->name = "e";
        event->eventId = "id";
        event->properties = RDDIStringProperties{{"k", "v"}};
        event->typedProperties = std::make_shared<RDDIEventProperties>();
        event->typedProperties->setString("s", "a").setInt64(1, "b.c").setDouble(2.5, "d").setBool(true, "e");
        event->typedProperties->setDate(pf::Date::fromTimeIntervalSince1970(1), "f");
        logs.push_back(event);
        auto page = std::make_shared<RDDIPageLog>();
        page->name = "p";
        page->properties = RDDIStringProperties{{"k", "v"}};
        logs.push_back(page);
        logs.push_back(std::make_shared<RDDIStartSessionLog>());
        auto service = std::make_shared<RDDIStartServiceLog>();
        service->services = std::vector<std::string>{"Analytics"};
        logs.push_back(service);
        auto custom = std::make_shared<RDDICustomPropertiesLog>();
        custom->properties = pf::Dictionary{{"a", true}, {"b", 2}, {"c", pf::Date::fromTimeIntervalSince1970(3)}, {"d", "x"}, {"e", nullptr}};
        logs.push_back(custom);
        event->addTransmissionTargetToken("key-1");
        event->typedProperties->setString("T", "baseType").setInt64(1, "baseData.x");
        auto cs = event->toCommonSchemaLogsWithFlags(1).front();
        cs->popSample = 10;
        cs->cV = "cv";
        logs.push_back(cs);
    }
    std::mt19937 random(20261207);
    for (auto& log : logs) {
        stamp(*log);
        SCOPED_TRACE(log->className());
        const auto archive = RDDIUtility::archiveKeyedData(log.get());
        ASSERT_TRUE(archive);
        int decoded = 0;
        for (int i = 0; i < 5000; ++i) {
            const auto object = RDDIUtility::unarchiveKeyedData(mutate(*archive, random));
            if (auto result = std::dynamic_pointer_cast<RDDIAbstractLog>(object)) {
                ++decoded;
                // Whatever came back can be used like any log.
                (void)result->isValid();
                (void)result->serializeLogWithPrettyPrinting(false);
            }
        }
        // Some mutations leave the archive readable (a flipped bit in a text), most do not.
        EXPECT_GT(decoded, 0);
        EXPECT_LT(decoded, 5000);
    }
}

}  // namespace
