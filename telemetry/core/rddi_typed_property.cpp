#include "telemetry/core/rddi_typed_property.hpp"

#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_abstract_log.hpp"
#include "telemetry/core/rddi_history_info.hpp"

namespace rddi {

namespace pf = platform::foundation;

pf::Dictionary RDDITypedProperty::serializeToDictionary() const {
    pf::Dictionary dict;
    if (type) dict["type"] = *type;
    if (name) dict["name"] = *name;
    return dict;
}

RDDITypedProperty::RDDITypedProperty(std::string typeText, const pf::KeyedUnarchiver& unarchiver)
    : type(RDDIDecodeOptionalString(unarchiver, "type")), name(RDDIDecodeOptionalString(unarchiver, "name")) {
    if (type != typeText) {
        throw pf::Error(pf::FoundationErrorCode::coderReadCorrupt,
                        "A typed property of kind " + type.value_or("(none)") + " was stored as " + typeText + ".");
    }
}

void RDDITypedProperty::encode(pf::KeyedArchiver& archiver) const {
    if (type) archiver.encodeString("type", *type);
    if (name) archiver.encodeString("name", *name);
}

namespace {
pf::Error wrongValue() {
    return pf::Error(pf::FoundationErrorCode::coderReadCorrupt, "The typed property's value has the wrong type.");
}
}  // namespace

RDDIStringTypedProperty::RDDIStringTypedProperty(const pf::KeyedUnarchiver& u)
    : RDDITypedProperty("string", u), value(RDDIDecodeOptionalString(u, "value")) {}
void RDDIStringTypedProperty::encode(pf::KeyedArchiver& archiver) const {
    RDDITypedProperty::encode(archiver);
    if (value) archiver.encodeString("value", *value);
}

RDDIBooleanTypedProperty::RDDIBooleanTypedProperty(const pf::KeyedUnarchiver& u) : RDDITypedProperty("boolean", u) {
    const pf::Value stored = u.decode("value");
    if (!stored.isNull() && !stored.isBool()) throw wrongValue();
    value = stored.asBool().value_or(false);
}
void RDDIBooleanTypedProperty::encode(pf::KeyedArchiver& archiver) const {
    RDDITypedProperty::encode(archiver);
    archiver.encodeBool("value", value);
}

RDDILongTypedProperty::RDDILongTypedProperty(const pf::KeyedUnarchiver& u)
    : RDDITypedProperty("long", u), value(RDDIDecodeOptionalInteger(u, "value").value_or(0)) {}
void RDDILongTypedProperty::encode(pf::KeyedArchiver& archiver) const {
    RDDITypedProperty::encode(archiver);
    archiver.encodeInteger("value", value);
}

RDDIDoubleTypedProperty::RDDIDoubleTypedProperty(const pf::KeyedUnarchiver& u) : RDDITypedProperty("double", u) {
    const pf::Value stored = u.decode("value");
    if (!stored.isNull() && !stored.isReal() && !stored.isInteger()) throw wrongValue();
    value = stored.asDouble().value_or(0);
}
void RDDIDoubleTypedProperty::encode(pf::KeyedArchiver& archiver) const {
    RDDITypedProperty::encode(archiver);
    archiver.encodeDouble("value", value);
}

RDDIDateTimeTypedProperty::RDDIDateTimeTypedProperty(const pf::KeyedUnarchiver& u)
    : RDDITypedProperty("dateTime", u), value(RDDIDecodeOptionalDate(u, "value")) {}
void RDDIDateTimeTypedProperty::encode(pf::KeyedArchiver& archiver) const {
    RDDITypedProperty::encode(archiver);
    if (value) RDDIEncodeDate(archiver, "value", *value);
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
