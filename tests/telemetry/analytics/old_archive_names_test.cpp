#include "platform/foundation/plist.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

// The class names of earlier versions, as their archives carry them.
const std::map<std::string, std::string> kOldNames = {
    {"RDDIEventLog", "RDEventLog"},
    {"RDDIPageLog", "RDPageLog"},
    {"RDDIStartSessionLog", "RDStartSessionLog"},
    {"RDDIStartServiceLog", "RDStartServiceLog"},
    {"RDDILogWithProperties", "RDLogWithProperties"},
    {"RDDILogWithNameAndProperties", "RDLogWithNameAndProperties"},
    {"RDDIAbstractLog", "RDAbstractLog"},
    {"RDDIEventProperties", "RDEventProperties"},
    {"RDDIStringTypedProperty", "RDStringTypedProperty"},
    {"RDDILongTypedProperty", "RDLongTypedProperty"},
    {"RDDIBooleanTypedProperty", "RDBooleanTypedProperty"},
    {"RDDIDoubleTypedProperty", "RDDoubleTypedProperty"},
    {"RDDIDateTimeTypedProperty", "RDDateTimeTypedProperty"},
    {"RDDIDevice", "RDDevice"},
    {"RDDIWrapperSdk", "RDWrapperSdk"},
    {"RDDIDeviceHistoryInfo", "RDDeviceHistoryInfo"},
    {"RDDISessionHistoryInfo", "RDSessionHistoryInfo"},
    {"RDDIUserIdHistoryInfo", "RDUserIdHistoryInfo"},
};

std::filesystem::path fixturePath() {
    return std::filesystem::path(GW_FIXTURES_DIR) / "telemetry" / "old_class_names.archive";
}

std::shared_ptr<RDDIDevice> device() {
    auto d = std::make_shared<RDDIDevice>();
    d->sdkName = "dezidedev.macos";
    d->sdkVersion = "4.3.0";
    d->osName = "Debian GNU/Linux";
    d->osVersion = "12.0.0";
    d->locale = "en_US";
    d->timeZoneOffset = 60;
    d->appVersion = "1.0";
    d->appBuild = "1";
    d->wrapperSdkName = "wrapper";
    return d;
}

// What the fixture holds, built with the current classes.
std::vector<std::shared_ptr<pf::Archivable>> records() {
    const auto t = pf::Date::fromTimeIntervalSince1970(1600000000.25);
    auto event = std::make_shared<RDDIEventLog>();
    event->timestamp = t;
    event->name = "clicked";
    event->eventId = "E1";
    event->device = device();
    event->properties = RDDIStringProperties{{"k", "v"}};
    event->typedProperties = std::make_shared<RDDIEventProperties>();
    event->typedProperties->setString("s", "text").setInt64(7, "long").setBool(true, "flag").setDouble(0.5, "ratio");
    event->typedProperties->setDate(t, "when");
    auto page = std::make_shared<RDDIPageLog>();
    page->timestamp = t;
    page->name = "Home";
    auto session = std::make_shared<RDDIStartSessionLog>();
    session->timestamp = t;
    session->sid = "S1";
    auto service = std::make_shared<RDDIStartServiceLog>();
    service->timestamp = t;
    service->services = std::vector<std::string>{"Analytics"};
    auto withProperties = std::make_shared<RDDILogWithProperties>();
    withProperties->type = "custom";
    withProperties->properties = RDDIStringProperties{{"a", "b"}};
    auto named = std::make_shared<RDDILogWithNameAndProperties>();
    named->name = "named";
    auto abstract = std::make_shared<RDDIAbstractLog>();
    abstract->type = "plain";
    return {event, page, session, service, withProperties, named, abstract,
            std::make_shared<RDDIDeviceHistoryInfo>(t, device()),
            std::make_shared<RDDISessionHistoryInfo>(t, "S0"),
            std::make_shared<RDDIUserIdHistoryInfo>(t, "c:alice"),
            std::make_shared<RDDIWrapperSdk>("1.0", "wrapper", "9", std::nullopt, std::nullopt, std::nullopt)};
}

// Writes the fixture once: the current archive with every class renamed to its old name.
void writeFixture() {
    const pf::ArchivedArray array(records());
    pf::Value tree = pf::plist::parse(pf::KeyedArchiver::archivedData(array));
    std::vector<pf::Value*> pending{&tree};
    while (!pending.empty()) {
        pf::Value* node = pending.back();
        pending.pop_back();
        if (auto* dict = node->asDictionary()) {
            for (auto& [key, child] : *dict) {
                if (key == "$class" && child.isString() && kOldNames.contains(*child.asString())) {
                    child = pf::Value(kOldNames.at(*child.asString()));
                }
                pending.push_back(&child);
            }
        } else if (auto* items = node->asArray()) {
            for (auto& child : *items) pending.push_back(&child);
        }
    }
    const pf::Data bytes = pf::plist::serialize(tree, pf::plist::Format::binary);
    gwtest::writeFile(fixturePath(), std::string(bytes.begin(), bytes.end()));
}

TEST(OldArchiveNamesTest, AFixtureWrittenWithOldClassNamesDecodesAsTheCurrentClasses) {
    testkit::TelemetryTestEnvironment env;
    if (std::getenv("GW_UPDATE_GOLDEN")) writeFixture();
    RDDIRegisterAnalyticsArchiveClasses();
    const std::string text = gwtest::readFile(fixturePath());
    for (const auto& [current, old] : kOldNames) {
        // The fixture really carries the old names.
        EXPECT_NE(text.find(old), std::string::npos) << old;
    }
    const auto decoded = RDDIUtility::unarchiveKeyedData<pf::ArchivedArray>(pf::Data(text.begin(), text.end()));
    ASSERT_TRUE(decoded);
    const auto expected = records();
    ASSERT_EQ(decoded->objects.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i]->archiveClassName());
        EXPECT_EQ(decoded->objects[i]->archiveClassName(), expected[i]->archiveClassName());
        if (auto log = std::dynamic_pointer_cast<RDDIAbstractLog>(expected[i])) {
            const auto got = std::dynamic_pointer_cast<RDDIAbstractLog>(decoded->objects[i]);
            ASSERT_TRUE(got);
            EXPECT_TRUE(got->isEqual(*log));
        }
    }
    const auto event = std::dynamic_pointer_cast<RDDIEventLog>(decoded->objects[0]);
    ASSERT_TRUE(event && event->typedProperties);
    EXPECT_TRUE(event->typedProperties->isEqual(*std::dynamic_pointer_cast<RDDIEventLog>(expected[0])->typedProperties));
    const auto history = std::dynamic_pointer_cast<RDDIDeviceHistoryInfo>(decoded->objects[7]);
    ASSERT_TRUE(history && history->device);
    EXPECT_TRUE(history->device->isEqual(*device()));
    EXPECT_EQ(std::dynamic_pointer_cast<RDDIUserIdHistoryInfo>(decoded->objects[9])->userId, "c:alice");
    EXPECT_TRUE(std::dynamic_pointer_cast<RDDIWrapperSdk>(decoded->objects[10])->isEqualWrapper(
        RDDIWrapperSdk("1.0", "wrapper", "9", std::nullopt, std::nullopt, std::nullopt)));
}

}  // namespace
