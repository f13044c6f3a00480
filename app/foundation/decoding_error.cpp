#include "app/foundation/decoding_error.hpp"

#include <cmath>
#include <fmt/format.h>

namespace gw::coding {

using platform::foundation::Array;
using platform::foundation::Dictionary;
using platform::foundation::Value;

namespace {

[[noreturn]] void mismatch(std::string_view key, std::string_view expected, const Value& found) {
    throw DecodingError(DecodingError::Case::typeMismatch,
                        fmt::format("Expected {} for key \"{}\" but found {}", expected, key,
                                    platform::foundation::typeName(found.type())));
}

}  // namespace

const Dictionary& requireDictionary(const Value& value, std::string_view what) {
    const auto* dict = value.asDictionary();
    if (!dict) mismatch(what, "a dictionary", value);
    return *dict;
}

const Value& require(const Dictionary& dict, std::string_view key) {
    auto it = dict.find(key);
    if (it == dict.end() || it->second.isNull()) {
        throw DecodingError(DecodingError::Case::keyNotFound, fmt::format("No value for key \"{}\"", key));
    }
    return it->second;
}

double requireDouble(const Dictionary& dict, std::string_view key) {
    const auto& value = require(dict, key);
    if (!value.isInteger() && !value.isReal()) mismatch(key, "a number", value);
    const double number = *value.asDouble();
    // Writers cannot store such numbers; one read from elsewhere would poison every size.
    if (!std::isfinite(number)) {
        throw DecodingError(DecodingError::Case::dataCorrupted, fmt::format("Number for key \"{}\" is not finite", key));
    }
    return number;
}

bool requireBool(const Dictionary& dict, std::string_view key) {
    const auto& value = require(dict, key);
    if (!value.isBool()) mismatch(key, "a boolean", value);
    return *value.asBool();
}

std::int64_t requireInteger(const Dictionary& dict, std::string_view key) {
    const auto& value = require(dict, key);
    if (value.isInteger()) return *value.asInteger();
    if (value.isReal()) {
        double d = *value.asDouble();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) return static_cast<std::int64_t>(d);
    }
    mismatch(key, "an integer", value);
}

const std::string& requireString(const Dictionary& dict, std::string_view key) {
    const auto& value = require(dict, key);
    if (!value.isString()) mismatch(key, "a string", value);
    return *value.asString();
}

const Array& requireArray(const Dictionary& dict, std::string_view key) {
    const auto& value = require(dict, key);
    if (!value.isArray()) mismatch(key, "an array", value);
    return *value.asArray();
}

platform::graphics::Size requireSize(const Dictionary& dict, std::string_view key) {
    const auto& array = requireArray(dict, key);
    if (array.size() != 2 || !array[0].asDouble() || !array[1].asDouble() || array[0].isBool() ||
        array[1].isBool()) {
        throw DecodingError(DecodingError::Case::dataCorrupted,
                            fmt::format("Expected a width and a height for key \"{}\"", key));
    }
    return {*array[0].asDouble(), *array[1].asDouble()};
}

Value encodeSize(platform::graphics::Size size) { return Value(Array{Value(size.width), Value(size.height)}); }

}  // namespace gw::coding
