#include "telemetry/core/rddi_log_with_properties.hpp"

#include "platform/foundation/error.hpp"

namespace rddi {

namespace pf = platform::foundation;

namespace {
pf::Error corrupt(const std::string& why) { return pf::Error(pf::FoundationErrorCode::coderReadCorrupt, why); }
}  // namespace

RDDILogWithProperties::RDDILogWithProperties(const pf::KeyedUnarchiver& unarchiver) : RDDIAbstractLog(unarchiver) {
    const pf::Value stored = unarchiver.decode("properties");
    if (stored.isNull()) return;
    const auto* entries = stored.asDictionary();
    if (!entries) throw corrupt("The stored properties are not a dictionary.");
    RDDIStringProperties map;
    for (const auto& [key, value] : *entries) {
        const auto* text = value.asString();
        if (!text) throw corrupt("A stored property value is not text.");
        map.emplace(key, *text);
    }
    properties = std::move(map);
}

void RDDILogWithProperties::encode(pf::KeyedArchiver& archiver) const {
    RDDIAbstractLog::encode(archiver);
    if (properties) {
        pf::Dictionary map;
        for (const auto& [key, value] : *properties) map.insert_or_assign(key, pf::Value(value));
        archiver.encode("properties", pf::Value(std::move(map)));
    }
}

RDDIStartServiceLog::RDDIStartServiceLog(const pf::KeyedUnarchiver& unarchiver) : RDDIAbstractLog(unarchiver) {
    const pf::Value stored = unarchiver.decode("services");
    if (stored.isNull()) return;
    const auto* names = stored.asArray();
    if (!names) throw corrupt("The stored services are not a list.");
    std::vector<std::string> list;
    for (const auto& name : *names) {
        const auto* text = name.asString();
        if (!text) throw corrupt("A stored service name is not text.");
        list.push_back(*text);
    }
    services = std::move(list);
}

void RDDIStartServiceLog::encode(pf::KeyedArchiver& archiver) const {
    RDDIAbstractLog::encode(archiver);
    if (services) {
        pf::Array names;
        for (const auto& name : *services) names.emplace_back(name);
        archiver.encode("services", pf::Value(std::move(names)));
    }
}

pf::Dictionary RDDILogWithProperties::serializeToDictionary() const {
    auto dict = RDDIAbstractLog::serializeToDictionary();
    if (properties && !properties->empty()) {
        pf::Dictionary props;
        for (const auto& [key, value] : *properties) props[key] = value;
        dict["properties"] = std::move(props);
    }
    return dict;
}

bool RDDILogWithProperties::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDILogWithProperties*>(&other);
    return o && RDDIAbstractLog::isEqual(other) && o->properties == properties;
}

pf::Dictionary RDDIStartServiceLog::serializeToDictionary() const {
    auto dict = RDDIAbstractLog::serializeToDictionary();
    if (services) {
        pf::Array names;
        for (const auto& name : *services) names.emplace_back(name);
        dict["services"] = std::move(names);
    }
    return dict;
}

bool RDDIStartServiceLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIStartServiceLog*>(&other);
    return o && RDDIAbstractLog::isEqual(other) && o->services == services;
}

}  // namespace rddi
