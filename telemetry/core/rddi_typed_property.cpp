#include "telemetry/core/rddi_typed_property.hpp"

#include "telemetry/core/rddi_abstract_log.hpp"

namespace rddi {

namespace pf = platform::foundation;

pf::Dictionary RDDITypedProperty::serializeToDictionary() const {
    pf::Dictionary dict;
    if (type) dict["type"] = *type;
    if (name) dict["name"] = *name;
    return dict;
}

bool RDDITypedProperty::isEqual(const RDDITypedProperty& other) const { return type == other.type; }

namespace {
template <class T>
const T* sameKind(const RDDITypedProperty& self, const RDDITypedProperty& other) {
    return self.RDDITypedProperty::isEqual(other) ? dynamic_cast<const T*>(&other) : nullptr;
}
}  // namespace

pf::Dictionary RDDIStringTypedProperty::serializeToDictionary() const {
    auto dict = RDDITypedProperty::serializeToDictionary();
    if (value) dict["value"] = *value;
    return dict;
}
bool RDDIStringTypedProperty::isEqual(const RDDITypedProperty& other) const {
    const auto* o = sameKind<RDDIStringTypedProperty>(*this, other);
    return o && o->value == value;
}

pf::Dictionary RDDIBooleanTypedProperty::serializeToDictionary() const {
    auto dict = RDDITypedProperty::serializeToDictionary();
    dict["value"] = value;
    return dict;
}
bool RDDIBooleanTypedProperty::isEqual(const RDDITypedProperty& other) const {
    const auto* o = sameKind<RDDIBooleanTypedProperty>(*this, other);
    return o && o->value == value;
}

pf::Dictionary RDDILongTypedProperty::serializeToDictionary() const {
    auto dict = RDDITypedProperty::serializeToDictionary();
    dict["value"] = static_cast<long long>(value);
    return dict;
}
bool RDDILongTypedProperty::isEqual(const RDDITypedProperty& other) const {
    const auto* o = sameKind<RDDILongTypedProperty>(*this, other);
    return o && o->value == value;
}

pf::Dictionary RDDIDoubleTypedProperty::serializeToDictionary() const {
    auto dict = RDDITypedProperty::serializeToDictionary();
    dict["value"] = value;
    return dict;
}
bool RDDIDoubleTypedProperty::isEqual(const RDDITypedProperty& other) const {
    const auto* o = sameKind<RDDIDoubleTypedProperty>(*this, other);
    return o && o->value == value;
}

pf::Dictionary RDDIDateTimeTypedProperty::serializeToDictionary() const {
    auto dict = RDDITypedProperty::serializeToDictionary();
    if (value) dict["value"] = RDDIDateToISO8601(*value);
    return dict;
}
bool RDDIDateTimeTypedProperty::isEqual(const RDDITypedProperty& other) const {
    const auto* o = sameKind<RDDIDateTimeTypedProperty>(*this, other);
    return o && o->value == value;
}

}  // namespace rddi
