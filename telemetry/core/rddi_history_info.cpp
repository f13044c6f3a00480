#include "telemetry/core/rddi_history_info.hpp"

#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_typed_property.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <mutex>

namespace rddi {

namespace pf = platform::foundation;

namespace {

pf::Error wrongType(std::string_view key) {
    return pf::Error(pf::FoundationErrorCode::coderReadCorrupt,
                     "The data couldn't be read because the value for key " + std::string(key) +
                         " has the wrong type.");
}

}  // namespace

// One lookup and no copy of the value: logs are decoded by the thousand when a backlog
// is sent.
std::optional<std::string> RDDIDecodeOptionalString(const pf::KeyedUnarchiver& unarchiver, std::string_view key) {
    const pf::Value* value = unarchiver.decodedValue(key);
    if (!value) return std::nullopt;
    if (const auto* text = value->asString()) return *text;
    throw wrongType(key);
}

void RDDIEncodeDate(pf::KeyedArchiver& archiver, std::string_view key, pf::Date date) {
    archiver.encodeDouble(key, date.timeIntervalSince1970());
}

pf::Value RDDIArchivedDate(pf::Date date) { return pf::Value(date.timeIntervalSince1970()); }

std::optional<pf::Date> RDDIDateFromArchived(const pf::Value& value) {
    if (value.isReal() || value.isInteger()) return pf::Date::fromTimeIntervalSince1970(*value.asDouble());
    return value.asDate();
}

std::optional<pf::Date> RDDIDecodeOptionalDate(const pf::KeyedUnarchiver& unarchiver, std::string_view key) {
    const pf::Value* value = unarchiver.decodedValue(key);
    if (!value) return std::nullopt;
    if (auto date = RDDIDateFromArchived(*value)) return date;
    throw wrongType(key);
}

std::optional<std::int64_t> RDDIDecodeOptionalInteger(const pf::KeyedUnarchiver& unarchiver, std::string_view key) {
    const pf::Value* value = unarchiver.decodedValue(key);
    if (!value) return std::nullopt;
    if (auto number = value->asInteger()) return number;
    throw wrongType(key);
}

RDDIHistoryInfo::RDDIHistoryInfo(const pf::KeyedUnarchiver& unarchiver)
    : timestamp(RDDIDecodeOptionalDate(unarchiver, "timestampKey")) {}

void RDDIHistoryInfo::encode(pf::KeyedArchiver& archiver) const {
    if (timestamp) RDDIEncodeDate(archiver, "timestampKey", *timestamp);
}

RDDISessionHistoryInfo::RDDISessionHistoryInfo(const pf::KeyedUnarchiver& unarchiver)
    : RDDIHistoryInfo(unarchiver), sessionId(RDDIDecodeOptionalString(unarchiver, "sessionIdKey")) {}

void RDDISessionHistoryInfo::encode(pf::KeyedArchiver& archiver) const {
    RDDIHistoryInfo::encode(archiver);
    if (sessionId) archiver.encodeString("sessionIdKey", *sessionId);
}

RDDIUserIdHistoryInfo::RDDIUserIdHistoryInfo(const pf::KeyedUnarchiver& unarchiver)
    : RDDIHistoryInfo(unarchiver), userId(RDDIDecodeOptionalString(unarchiver, "userIdKey")) {}

void RDDIUserIdHistoryInfo::encode(pf::KeyedArchiver& archiver) const {
    RDDIHistoryInfo::encode(archiver);
    if (userId) archiver.encodeString("userIdKey", *userId);
}

void RDDIRegisterCoreArchiveClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        pf::KeyedUnarchiver::registerClass<RDDIHistoryInfo>("RDDIHistoryInfo");
        pf::KeyedUnarchiver::registerClass<RDDISessionHistoryInfo>("RDDISessionHistoryInfo");
        pf::KeyedUnarchiver::registerClass<RDDIUserIdHistoryInfo>("RDDIUserIdHistoryInfo");
        pf::KeyedUnarchiver::registerClass<RDDIWrapperSdk>("RDDIWrapperSdk");
        pf::KeyedUnarchiver::registerClass<RDDIDevice>("RDDIDevice");
        pf::KeyedUnarchiver::registerClass<RDDIDeviceHistoryInfo>("RDDIDeviceHistoryInfo");
        RDDIRegisterCommonSchemaArchiveClasses();
        pf::KeyedUnarchiver::registerClass<RDDIAbstractLog>("RDDIAbstractLog");
        pf::KeyedUnarchiver::registerClass<RDDILogWithProperties>("RDDILogWithProperties");
        pf::KeyedUnarchiver::registerClass<RDDIStartServiceLog>("RDDIStartServiceLog");
        pf::KeyedUnarchiver::registerClass<RDDICustomPropertiesLog>("RDDICustomPropertiesLog");
        pf::KeyedUnarchiver::registerClass<RDDIStringTypedProperty>("RDDIStringTypedProperty");
        pf::KeyedUnarchiver::registerClass<RDDIBooleanTypedProperty>("RDDIBooleanTypedProperty");
        pf::KeyedUnarchiver::registerClass<RDDILongTypedProperty>("RDDILongTypedProperty");
        pf::KeyedUnarchiver::registerClass<RDDIDoubleTypedProperty>("RDDIDoubleTypedProperty");
        pf::KeyedUnarchiver::registerClass<RDDIDateTimeTypedProperty>("RDDIDateTimeTypedProperty");
        // The names earlier versions archived these classes under.
        RDDIUtility::addMigrationClasses({
            {"RDStartServiceLog", "RDDIStartServiceLog"},
            {"RDLogWithProperties", "RDDILogWithProperties"},
            {"RDLogContainer", "RDDILogContainer"},
            {"RDAbstractLog", "RDDIAbstractLog"},
        });
        RDDIUtility::addMigrationClasses({{"RDCustomProperties", "RDDICustomProperties"}});
        RDDIUtility::addMigrationClasses({
            {"RDDeviceHistoryInfo", "RDDIDeviceHistoryInfo"},
            {"RDDevice", "RDDIDevice"},
            {"RDSessionHistoryInfo", "RDDISessionHistoryInfo"},
            {"RDUserIdHistoryInfo", "RDDIUserIdHistoryInfo"},
            {"RDWrapperSdk", "RDDIWrapperSdk"},
        });
    });
}

template <class T>
std::vector<std::shared_ptr<T>> RDDILoadHistory(const std::string& key) {
    RDDIRegisterCoreArchiveClasses();
    const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(key);
    if (stored.isNull()) return {};
    const pf::Data* data = stored.asData();
    if (!data) {
        RDDIUtility::logUnarchivingFailure("The stored value of " + key + " is not data.");
        return {};
    }
    auto array = RDDIUtility::unarchiveKeyedData<pf::ArchivedArray>(*data);
    if (!array) return {};
    std::vector<std::shared_ptr<T>> records;
    for (const auto& object : array->objects) {
        auto record = std::dynamic_pointer_cast<T>(object);
        if (!record) {
            RDDIUtility::logUnarchivingFailure("The history " + key + " holds a record of an unexpected class.");
            return {};
        }
        records.push_back(std::move(record));
    }
    return records;
}

template std::vector<std::shared_ptr<RDDISessionHistoryInfo>> RDDILoadHistory(const std::string&);
template std::vector<std::shared_ptr<RDDIUserIdHistoryInfo>> RDDILoadHistory(const std::string&);
template std::vector<std::shared_ptr<RDDIDeviceHistoryInfo>> RDDILoadHistory(const std::string&);

void RDDISaveHistory(const std::string& key, const std::vector<std::shared_ptr<pf::Archivable>>& records) {
    const pf::ArchivedArray array(records);
    if (auto data = RDDIUtility::archiveKeyedData(&array)) {
        RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(std::move(*data)), key);
    }
}

}  // namespace rddi
