#include "telemetry/analytics/rddi_event_log.hpp"

#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <cmath>

namespace rddi {

namespace pf = platform::foundation;

// --- RDDIEventProperties ------------------------------------------------------------

RDDIEventProperties::RDDIEventProperties(const RDDIStringProperties& properties) {
    for (const auto& [key, value] : properties) {
        auto property = std::make_shared<RDDIStringTypedProperty>();
        property->name = key;
        property->value = value;
        properties_[key] = std::move(property);
    }
}

RDDIEventProperties::RDDIEventProperties(const RDDIEventProperties& other)
    : platform::foundation::Archivable(other), properties_(other.properties()) {}

RDDIEventProperties::RDDIEventProperties(const pf::KeyedUnarchiver& unarchiver) {
    for (const auto& key : unarchiver.allKeys()) {
        auto property = unarchiver.decodeObject<RDDITypedProperty>(key);
        if (!property) {
            throw pf::Error(pf::FoundationErrorCode::coderReadCorrupt, "A stored event property is not a typed property.");
        }
        properties_[key] = std::move(property);
    }
}

void RDDIEventProperties::encode(pf::KeyedArchiver& archiver) const {
    std::lock_guard lock(lock_);
    for (const auto& [key, property] : properties_) archiver.encodeObject(key, property.get());
}

bool RDDIEventProperties::validateKey(const std::optional<std::string>& key) {
    if (key) return true;
    RDDILogError(kRDDIAnalyticsLogTag, "Key cannot be null. Property will not be added.");
    return false;
}

namespace {
bool validateValuePresent(bool present) {
    if (present) return true;
    RDDILogError(kRDDIAnalyticsLogTag, "Value cannot be null. Property will not be added.");
    return false;
}

template <class Property, class Value>
std::shared_ptr<RDDITypedProperty> makeProperty(const std::string& key, Value value) {
    auto property = std::make_shared<Property>();
    property->name = key;
    property->value = std::move(value);
    return property;
}
}  // namespace

RDDIEventProperties& RDDIEventProperties::setString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
    if (validateKey(key) && validateValuePresent(value.has_value())) {
        setProperty(*key, makeProperty<RDDIStringTypedProperty>(*key, value));
    }
    return *this;
}

RDDIEventProperties& RDDIEventProperties::setDouble(double value, const std::optional<std::string>& key) {
    if (!validateKey(key)) return *this;
    if (!std::isfinite(value)) {
        RDDILogError(kRDDIAnalyticsLogTag, "Double value for property '{}' must be finite (cannot be INFINITY or NAN).",
                     *key);
        return *this;
    }
    setProperty(*key, makeProperty<RDDIDoubleTypedProperty>(*key, value));
    return *this;
}

RDDIEventProperties& RDDIEventProperties::setInt64(std::int64_t value, const std::optional<std::string>& key) {
    if (validateKey(key)) setProperty(*key, makeProperty<RDDILongTypedProperty>(*key, value));
    return *this;
}

RDDIEventProperties& RDDIEventProperties::setBool(bool value, const std::optional<std::string>& key) {
    if (validateKey(key)) setProperty(*key, makeProperty<RDDIBooleanTypedProperty>(*key, value));
    return *this;
}

RDDIEventProperties& RDDIEventProperties::setDate(const std::optional<pf::Date>& value,
                                                  const std::optional<std::string>& key) {
    if (validateKey(key) && validateValuePresent(value.has_value())) {
        setProperty(*key, makeProperty<RDDIDateTimeTypedProperty>(*key, value));
    }
    return *this;
}

void RDDIEventProperties::setProperty(const std::string& key, std::shared_ptr<RDDITypedProperty> property) {
    std::lock_guard lock(lock_);
    properties_[key] = std::move(property);
}

std::map<std::string, std::shared_ptr<RDDITypedProperty>> RDDIEventProperties::properties() const {
    std::lock_guard lock(lock_);
    return properties_;
}

pf::Array RDDIEventProperties::serializeToArray() const {
    std::lock_guard lock(lock_);
    pf::Array array;
    for (const auto& [key, property] : properties_) array.emplace_back(property->serializeToDictionary());
    return array;
}

bool RDDIEventProperties::isEmpty() const { return count() == 0; }

std::size_t RDDIEventProperties::count() const {
    std::lock_guard lock(lock_);
    return properties_.size();
}

void RDDIEventProperties::mergeEventProperties(const RDDIEventProperties& other) {
    if (&other == this) return;
    const auto entries = other.properties();
    std::lock_guard lock(lock_);
    for (const auto& [key, property] : entries) properties_[key] = property;
}

bool RDDIEventProperties::isEqual(const RDDIEventProperties& other) const {
    const auto mine = properties();
    const auto theirs = other.properties();
    if (mine.size() != theirs.size()) return false;
    for (const auto& [key, property] : mine) {
        const auto it = theirs.find(key);
        if (it == theirs.end() || !property->isEqual(*it->second)) return false;
    }
    return true;
}

// --- Logs ---------------------------------------------------------------------------

RDDILogWithNameAndProperties::RDDILogWithNameAndProperties(const pf::KeyedUnarchiver& unarchiver)
    : RDDILogWithProperties(unarchiver), name(RDDIDecodeOptionalString(unarchiver, "name")) {}

void RDDILogWithNameAndProperties::encode(pf::KeyedArchiver& archiver) const {
    RDDILogWithProperties::encode(archiver);
    if (name) archiver.encodeString("name", *name);
}

pf::Dictionary RDDILogWithNameAndProperties::serializeToDictionary() const {
    auto dict = RDDILogWithProperties::serializeToDictionary();
    if (name) dict["name"] = *name;
    return dict;
}

bool RDDILogWithNameAndProperties::isValid() const {
    if (!RDDILogWithProperties::isValid()) return false;
    if (!name) return invalidField("name");
    return true;
}

bool RDDILogWithNameAndProperties::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDILogWithNameAndProperties*>(&other);
    return o && RDDILogWithProperties::isEqual(other) && o->name == name;
}

RDDIEventLog::RDDIEventLog() { type = "event"; }

RDDIEventLog::RDDIEventLog(const pf::KeyedUnarchiver& unarchiver)
    : RDDILogWithNameAndProperties(unarchiver),
      eventId(RDDIDecodeOptionalString(unarchiver, "id")),
      typedProperties(unarchiver.decodeObject<RDDIEventProperties>("typedProperties")) {}

void RDDIEventLog::encode(pf::KeyedArchiver& archiver) const {
    RDDILogWithNameAndProperties::encode(archiver);
    if (eventId) archiver.encodeString("id", *eventId);
    archiver.encodeObject("typedProperties", typedProperties.get());
}

pf::Dictionary RDDIEventLog::serializeToDictionary() const {
    auto dict = RDDILogWithNameAndProperties::serializeToDictionary();
    if (eventId) dict["id"] = *eventId;
    if (typedProperties) dict["typedProperties"] = typedProperties->serializeToArray();
    return dict;
}

bool RDDIEventLog::isValid() const {
    if (!RDDILogWithNameAndProperties::isValid()) return false;
    if (!eventId) return invalidField("eventId");
    return true;
}

bool RDDIEventLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIEventLog*>(&other);
    return o && RDDILogWithNameAndProperties::isEqual(other) && o->eventId == eventId;
}

bool RDDIPageLog::isEqual(const RDDIAbstractLog& other) const {
    return dynamic_cast<const RDDIPageLog*>(&other) && RDDILogWithNameAndProperties::isEqual(other);
}

void RDDIRegisterAnalyticsArchiveClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        RDDIRegisterCoreArchiveClasses();
        pf::KeyedUnarchiver::registerClass<RDDIEventLog>("RDDIEventLog");
        pf::KeyedUnarchiver::registerClass<RDDIPageLog>("RDDIPageLog");
        pf::KeyedUnarchiver::registerClass<RDDILogWithNameAndProperties>("RDDILogWithNameAndProperties");
        pf::KeyedUnarchiver::registerClass<RDDIStartSessionLog>("RDDIStartSessionLog");
        pf::KeyedUnarchiver::registerClass<RDDIEventProperties>("RDDIEventProperties");
        RDDIUtility::addMigrationClasses({
            {"RDSessionHistoryInfo", "RDDISessionHistoryInfo"},
            {"RDAbstractLog", "RDDIAbstractLog"},
            {"RDEventLog", "RDDIEventLog"},
            {"RDPageLog", "RDDIPageLog"},
            {"RDEventProperties", "RDDIEventProperties"},
            {"RDLogWithNameAndProperties", "RDDILogWithNameAndProperties"},
            {"RDBooleanTypedProperty", "RDDIBooleanTypedProperty"},
            {"RDDateTimeTypedProperty", "RDDIDateTimeTypedProperty"},
            {"RDDoubleTypedProperty", "RDDIDoubleTypedProperty"},
            {"RDLongTypedProperty", "RDDILongTypedProperty"},
            {"RDStringTypedProperty", "RDDIStringTypedProperty"},
            {"RDTypedProperty", "RDDITypedProperty"},
            {"RDStartSessionLog", "RDDIStartSessionLog"},
        });
    });
}

}  // namespace rddi
