#include "telemetry/core/rddi_custom_properties.hpp"

#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
#include <cmath>

namespace rddi {

namespace pf = platform::foundation;

namespace {

// The key pattern, a letter followed by letters or digits (ASCII), checked by hand: a
// regular expression engine that recurses once per character overflows the stack on a
// key of some tens of thousands of characters.
bool matchesKeyPattern(std::string_view key) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (key.empty() || !letter(key.front())) return false;
    return std::all_of(key.begin() + 1, key.end(), [&](char c) { return letter(c) || digit(c); });
}

}  // namespace

// --- RDDICustomProperties ----------------------------------------------------------

RDDICustomProperties& RDDICustomProperties::setString(const std::optional<std::string>& value,
                                                      const std::optional<std::string>& key) {
    return setValue("setString", value ? pf::Value(*value) : pf::Value(), key);
}

RDDICustomProperties& RDDICustomProperties::setNumber(const pf::Value& number, const std::optional<std::string>& key) {
    return setValue("setNumber", number, key);
}

RDDICustomProperties& RDDICustomProperties::setBool(bool value, const std::optional<std::string>& key) {
    return setValue("setBool", pf::Value(value), key);
}

RDDICustomProperties& RDDICustomProperties::setDate(const std::optional<pf::Date>& value,
                                                    const std::optional<std::string>& key) {
    return setValue("setDate", value ? pf::Value(*value) : pf::Value(), key);
}

RDDICustomProperties& RDDICustomProperties::setObject(const pf::Value& value, const std::optional<std::string>& key) {
    return setValue("setObject", value, key);
}

RDDICustomProperties& RDDICustomProperties::setValue(const char* setter, const pf::Value& value,
                                                     const std::optional<std::string>& key) {
    std::lock_guard lock(lock_);
    if (!isValidKey(key, setter) || !isValidValue(value, setter)) return *this;
    // The key's pattern already leaves out a NUL; a string value is checked as every
    // value kept for a log is.
    const auto* text = value.asString();
    if (text && !RDDIAcceptKeptText(setter, fmt::format("the value of custom property \"{}\"", *key), *text,
                                    kRDDIUnlimitedKeptText)) {
        return *this;
    }
    properties_[*key] = value;
    return *this;
}

RDDICustomProperties& RDDICustomProperties::clearPropertyForKey(const std::optional<std::string>& key) {
    std::lock_guard lock(lock_);
    if (isValidKey(key, "clearPropertyForKey")) properties_[*key] = pf::Value();
    return *this;
}

pf::Dictionary RDDICustomProperties::propertiesImmutableCopy() const {
    std::lock_guard lock(lock_);
    return properties_;
}

bool RDDICustomProperties::isValidKey(const std::optional<std::string>& key, std::string_view setter) const {
    // The length before the pattern: it is read no further than the limit.
    if (key && RDDIExceedsUTF16Length(*key, kMaxKeyLength)) {
        RDDILogError(kRDDILogTag, "{}: Custom property \"{}\" length cannot be longer than \"{}\" characters.",
                     setter, RDDIQuoted(*key), kMaxKeyLength);
        return false;
    }
    if (!key || !matchesKeyPattern(*key)) {
        RDDILogError(kRDDILogTag, "{}: Custom property \"{}\" must match \"{}\"", setter,
                     key ? *key : std::string("(null)"), kKeyPattern);
        return false;
    }
    std::lock_guard lock(lock_);
    if (properties_.contains(*key)) {
        RDDILogWarning(kRDDILogTag, "Custom property \"{}\" is already set or cleared and will be overridden.", *key);
        return true;
    }
    if (properties_.size() >= kMaxProperties) {
        RDDILogError(kRDDILogTag, "{}: Custom properties cannot contain more than \"{}\" items.", setter,
                     kMaxProperties);
        return false;
    }
    return true;
}

bool RDDICustomProperties::isValidValue(const pf::Value& value, std::string_view setter) {
    if (value.isNull()) {
        RDDILogError(kRDDILogTag, "{}: Custom property value cannot be null, did you mean to call clear?", setter);
        return false;
    }
    if (const auto* text = value.asString(); text && RDDIExceedsUTF16Length(*text, kMaxStringValueLength)) {
        RDDILogError(kRDDILogTag, "{}: Custom property value length cannot be longer than \"{}\" characters.", setter,
                     kMaxStringValueLength);
        return false;
    }
    if (value.isReal() && !std::isfinite(*value.asDouble())) {
        RDDILogError(kRDDILogTag, "{}: Custom property value cannot be NaN or infinite.", setter);
        return false;
    }
    return true;
}

// --- RDDICustomPropertiesLog -------------------------------------------------------

namespace {
// Stands for a cleared property in an archive. Stored values are never dictionaries
// otherwise, so the marker cannot be mistaken for a value.
const pf::Value& clearMarker() {
    static const pf::Value marker = pf::Value::dict({{"RDDIClearedProperty", true}});
    return marker;
}
// A date value: its seconds with their fraction, told apart from a number by its wrapper.
constexpr const char* kDateKey = "RDDIDateSeconds";
}  // namespace

RDDICustomPropertiesLog::RDDICustomPropertiesLog(const pf::KeyedUnarchiver& unarchiver) : RDDIAbstractLog(unarchiver) {
    if (auto stored = RDDIDecodeOptionalString(unarchiver, "customProperties")) type = stored;
    const pf::Value stored = unarchiver.decode("properties");
    if (stored.isNull()) return;
    const auto* entries = stored.asDictionary();
    if (!entries) throw pf::Error(pf::FoundationErrorCode::coderReadCorrupt, "The stored properties are not a dictionary.");
    pf::Dictionary decoded;
    for (const auto& [key, value] : *entries) {
        if (value == clearMarker()) {
            decoded.insert_or_assign(key, pf::Value());
        } else if (value.isDictionary() && value.size() == 1 && value[kDateKey].isNumber() && !value[kDateKey].isBool()) {
            decoded.insert_or_assign(key, pf::Value(*RDDIDateFromArchived(value[kDateKey])));
        } else if (value.isString() || value.isNumber() || value.isDate()) {
            decoded.insert_or_assign(key, value);
        } else {
            throw pf::Error(pf::FoundationErrorCode::coderReadCorrupt, "A stored custom property has an unknown kind.");
        }
    }
    properties = std::move(decoded);
}

void RDDICustomPropertiesLog::encode(pf::KeyedArchiver& archiver) const {
    RDDIAbstractLog::encode(archiver);
    if (type) archiver.encodeString("customProperties", *type);
    if (properties) {
        pf::Dictionary stored;
        for (const auto& [key, value] : *properties) {
            if (value.isNull()) {
                stored.insert_or_assign(key, clearMarker());
            } else if (const auto date = value.asDate()) {
                stored.insert_or_assign(key, pf::Value::dict({{kDateKey, RDDIArchivedDate(*date)}}));
            } else {
                stored.insert_or_assign(key, value);
            }
        }
        archiver.encode("properties", pf::Value(std::move(stored)));
    }
}

std::optional<pf::Dictionary> RDDICustomPropertiesLog::serializeProperty(const pf::Value& value) {
    pf::Dictionary property;
    if (value.isNull()) {
        property["type"] = "clear";
    } else if (value.isBool()) {
        property["type"] = "boolean";
        property["value"] = value;
    } else if (value.isNumber()) {
        property["type"] = "number";
        property["value"] = value;
    } else if (const auto date = value.asDate()) {
        property["type"] = "dateTime";
        property["value"] = RDDIDateToISO8601(*date);
    } else if (value.isString()) {
        property["type"] = "string";
        property["value"] = value;
    } else {
        return std::nullopt;
    }
    return property;
}

pf::Dictionary RDDICustomPropertiesLog::serializeToDictionary() const {
    auto dict = RDDIAbstractLog::serializeToDictionary();
    if (properties) {
        pf::Array entries;
        for (const auto& [name, value] : *properties) {
            auto property = serializeProperty(value);
            if (!property) continue;
            (*property)["name"] = name;
            entries.emplace_back(std::move(*property));
        }
        dict["properties"] = std::move(entries);
    }
    return dict;
}

bool RDDICustomPropertiesLog::isValid() const {
    if (!RDDIAbstractLog::isValid()) return false;
    if (!properties || properties->empty()) return invalidField("properties");
    return true;
}

bool RDDICustomPropertiesLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDICustomPropertiesLog*>(&other);
    return o && RDDIAbstractLog::isEqual(other) && o->properties == properties;
}

}  // namespace rddi
