#include "telemetry/analytics/rddi_event_log.hpp"

#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
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
                     RDDIQuoted(*key));
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

void RDDIEventProperties::removeProperty(const std::string& key) {
    std::lock_guard lock(lock_);
    properties_.erase(key);
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

std::shared_ptr<RDDICommonSchemaLog> RDDIEventLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                   std::uint64_t flags) const {
    auto csLog = RDDILogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
    if (!csLog) return nullptr;
    csLog->name = name;
    setPropertiesAndMetadataForCSLog(*csLog);
    csLog->tag = tag;
    return csLog;
}

namespace {

bool startsWith(const std::string& text, std::string_view prefix) { return text.starts_with(prefix); }

std::vector<std::string> pathComponents(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

RDDIOrderedJson jsonValue(const RDDITypedProperty& property) {
    if (const auto* p = dynamic_cast<const RDDIStringTypedProperty*>(&property)) {
        return p->value ? RDDIOrderedJson(*p->value) : RDDIOrderedJson();
    }
    if (const auto* p = dynamic_cast<const RDDIBooleanTypedProperty*>(&property)) return p->value;
    if (const auto* p = dynamic_cast<const RDDILongTypedProperty*>(&property)) return p->value;
    if (const auto* p = dynamic_cast<const RDDIDoubleTypedProperty*>(&property)) return p->value;
    if (const auto* p = dynamic_cast<const RDDIDateTimeTypedProperty*>(&property)) {
        return p->value ? RDDIOrderedJson(RDDIUtility::dateToISO8601(*p->value)) : RDDIOrderedJson();
    }
    return {};
}

// Adds one property under its dotted path, walking the trees without recursion.
void addProperty(const std::string& name, const RDDITypedProperty& property, std::optional<int> typeId,
                 RDDIOrderedJson& data, RDDIOrderedJson& metadata) {
    const auto components = pathComponents(name);
    RDDIOrderedJson* node = &data;
    bool blocked = false;
    RDDIOrderedJson* metaNode = &metadata;
    bool metaBlocked = false;
    // The first thing this call made in the metadata tree, removed again if the property
    // is dropped, so that no empty branch is left behind.
    RDDIOrderedJson* createdParent = nullptr;
    std::string createdKey;
    const auto made = [&](RDDIOrderedJson* parent, const std::string& key) {
        if (!createdParent) {
            createdParent = parent;
            createdKey = key;
        }
    };
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::string& component = components[i];
        if (!blocked) {
            auto it = node->find(component);
            if (it == node->end()) {
                node = &((*node)[component] = RDDIOrderedJson::object());
            } else if (it->is_object()) {
                node = &*it;
            } else {
                blocked = true;
            }
        }
        if (typeId && !metaBlocked) {
            if (!metaNode->contains("f")) {
                (*metaNode)["f"] = RDDIOrderedJson::object();
                made(metaNode, "f");
            }
            RDDIOrderedJson& f = (*metaNode)["f"];
            if (!f.is_object()) {
                metaBlocked = true;
                continue;
            }
            auto it = f.find(component);
            if (it == f.end()) {
                made(&f, component);
                metaNode = &(f[component] = RDDIOrderedJson::object());
            } else if (it->is_object()) {
                metaNode = &*it;
            } else {
                metaBlocked = true;
            }
        }
    }
    const std::string& last = components.back();
    const bool added = !blocked && !node->contains(last);
    if (added) {
        (*node)[last] = jsonValue(property);
    } else {
        RDDILogWarning(kRDDIAnalyticsLogTag, "Property key '{}' already has a value, choosing one.", RDDIQuoted(last));
    }
    if (added && typeId && !metaBlocked) {
        if (!metaNode->contains("f")) (*metaNode)["f"] = RDDIOrderedJson::object();
        if ((*metaNode)["f"].is_object()) (*metaNode)["f"][last] = *typeId;
    } else if (!added && createdParent) {
        createdParent->erase(createdKey);
    }
}

}  // namespace

void RDDIEventLog::setPropertiesAndMetadataForCSLog(RDDICommonSchemaLog& csLog) const {
    if (!typedProperties) return;
    auto properties = typedProperties->properties();
    const auto dropFromBag = [&](const std::string& key) {
        properties.erase(key);
        typedProperties->removeProperty(key);
    };
    const auto baseType = properties.find("baseType");
    const bool baseTypeIsString =
        baseType != properties.end() && dynamic_cast<const RDDIStringTypedProperty*>(baseType->second.get());
    if (baseTypeIsString) {
        const bool hasBaseData = std::any_of(properties.begin(), properties.end(),
                                             [](const auto& entry) { return startsWith(entry.first, "baseData."); });
        if (!hasBaseData) {
            RDDILogWarning(kRDDIAnalyticsLogTag, "baseType was set but baseData is missing.");
            dropFromBag("baseType");
        }
    } else {
        std::vector<std::string> baseDataKeys;
        for (const auto& [key, property] : properties) {
            if (startsWith(key, "baseData.")) baseDataKeys.push_back(key);
        }
        for (const auto& key : baseDataKeys) dropFromBag(key);
        if (!baseDataKeys.empty()) {
            RDDILogWarning(kRDDIAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
        }
        dropFromBag("baseType");
    }

    RDDIOrderedJson data = RDDIOrderedJson::object();
    RDDIOrderedJson metadata = RDDIOrderedJson::object();
    for (const auto& [key, property] : properties) {
        if (startsWith(key, "baseType.")) {
            RDDILogWarning(kRDDIAnalyticsLogTag, "baseType must not be an object.");
            continue;
        }
        if (key == "baseData") {
            RDDILogWarning(kRDDIAnalyticsLogTag, "baseData must be an object.");
            continue;
        }
        std::optional<int> typeId;
        if (property->type) {
            if (auto it = metadataTypeIdMapping.find(*property->type); it != metadataTypeIdMapping.end()) {
                typeId = it->second;
            }
        }
        addProperty(key, *property, typeId, data, metadata);
    }
    if (!data.empty()) {
        csLog.data = std::make_shared<RDDICSData>();
        csLog.data->properties = std::move(data);
    }
    if (!metadata.empty()) {
        if (!csLog.ext) csLog.ext = std::make_shared<RDDICSExtensions>();
        csLog.ext->metadataExt = std::make_shared<RDDIMetadataExtension>();
        csLog.ext->metadataExt->metadata = std::move(metadata);
    }
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
