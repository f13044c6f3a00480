#include "platform/foundation/json.hpp"

#include "platform/foundation/error.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace platform::foundation::json {

nlohmann::json toJson(const Value& value) {
    using T = Value::Type;
    switch (value.type()) {
    case T::null: return nullptr;
    case T::boolean: return *value.asBool();
    case T::integer: return *value.asInteger();
    case T::real: {
        double d = *value.asDouble();
        if (!std::isfinite(d)) {
            throw Error(FoundationErrorCode::propertyListWriteInvalid, "Invalid number value (infinite or NaN) in JSON write");
        }
        return d;
    }
    case T::string: return *value.asString();
    case T::data:
    case T::date:
        throw Error(FoundationErrorCode::propertyListWriteInvalid,
                    fmt::format("Invalid type in JSON write ({})", typeName(value.type())));
    case T::array: {
        auto out = nlohmann::json::array();
        for (const auto& item : *value.asArray()) out.push_back(toJson(item));
        return out;
    }
    case T::dictionary: {
        auto out = nlohmann::json::object();
        for (const auto& [k, item] : *value.asDictionary()) out[k] = toJson(item);
        return out;
    }
    }
    return nullptr;
}

Value fromJson(const nlohmann::json& j) {
    switch (j.type()) {
    case nlohmann::json::value_t::null: return Value();
    case nlohmann::json::value_t::boolean: return Value(j.get<bool>());
    case nlohmann::json::value_t::number_integer: return Value(j.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        auto u = j.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Value(static_cast<std::int64_t>(u));
        }
        return Value(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float: return Value(j.get<double>());
    case nlohmann::json::value_t::string: return Value(j.get<std::string>());
    case nlohmann::json::value_t::array: {
        Array out;
        out.reserve(j.size());
        for (const auto& item : j) out.push_back(fromJson(item));
        return Value(std::move(out));
    }
    case nlohmann::json::value_t::object: {
        Dictionary out;
        for (auto it = j.begin(); it != j.end(); ++it) out.emplace(it.key(), fromJson(it.value()));
        return Value(std::move(out));
    }
    case nlohmann::json::value_t::binary: {
        const auto& bin = j.get_binary();
        return Value(Data(bin.begin(), bin.end()));
    }
    case nlohmann::json::value_t::discarded: break;
    }
    return Value();
}

std::string serialize(const Value& value, WriteOptions options) {
    try {
        return toJson(value).dump(options.prettyPrinted ? 2 : -1);
    } catch (const nlohmann::json::exception& e) {
        // Text that is not UTF-8 (a Linux file name can be any bytes).
        throw Error(FoundationErrorCode::propertyListWriteInvalid, fmt::format("Invalid string in JSON write ({})", e.what()));
    }
}

Data serializeData(const Value& value, WriteOptions options) { return dataFromString(serialize(value, options)); }

Value parse(std::string_view text) {
    try {
        return fromJson(nlohmann::json::parse(text.begin(), text.end()));
    } catch (const nlohmann::json::exception& e) {
        throw Error(FoundationErrorCode::propertyListReadCorrupt,
                    fmt::format("The data couldn't be read because it isn't in the correct format. ({})", e.what()));
    }
}

Value parse(const Data& data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

}  // namespace platform::foundation::json
