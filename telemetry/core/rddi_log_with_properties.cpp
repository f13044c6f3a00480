#include "telemetry/core/rddi_log_with_properties.hpp"

namespace rddi {

namespace pf = platform::foundation;

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
