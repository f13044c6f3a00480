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

namespace {

[[noreturn]] void invalid(const std::string& what) {
    throw Error(FoundationErrorCode::propertyListWriteInvalid,
                    "Invalid value for JSON: " + what);
}

bool isValidUTF8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        if (byte < 0x80) extra = 0;
        else if ((byte & 0xE0) == 0xC0 && byte >= 0xC2) extra = 1;
        else if ((byte & 0xF0) == 0xE0) extra = 2;
        else if ((byte & 0xF8) == 0xF0 && byte <= 0xF4) extra = 3;
        else return false;
        if (extra > 0 && i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

void writeCatalogString(std::string& out, const std::string& text) {
    if (!isValidUTF8(text)) invalid("text that is not UTF-8");
    out.push_back('"');
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
            else out.push_back(c);
        }
    }
    out.push_back('"');
}

void writeCatalogValue(std::string& out, const Value& value, int depth) {
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    const std::string inner(static_cast<std::size_t>(depth + 1) * 2, ' ');
    switch (value.type()) {
    case Value::Type::null:
        out += "null";
        return;
    case Value::Type::boolean:
        out += *value.asBool() ? "true" : "false";
        return;
    case Value::Type::integer:
        out += std::to_string(*value.asInteger());
        return;
    case Value::Type::real: {
        const double number = *value.asDouble();
        if (!std::isfinite(number)) invalid("a number that is not finite");
        // Shortest text that reads back exactly; a whole real prints without ".0".
        out += fmt::format("{}", number);
        return;
    }
    case Value::Type::string:
        writeCatalogString(out, *value.asString());
        return;
    case Value::Type::data:
        invalid("data");
    case Value::Type::date:
        invalid("a date");
    case Value::Type::array: {
        const auto& items = *value.asArray();
        if (items.empty()) {
            out += "[\n\n" + indent + "]";
            return;
        }
        out += "[\n";
        for (std::size_t i = 0; i < items.size(); ++i) {
            out += inner;
            writeCatalogValue(out, items[i], depth + 1);
            out += i + 1 < items.size() ? ",\n" : "\n";
        }
        out += indent + "]";
        return;
    }
    case Value::Type::dictionary: {
        const auto& entries = *value.asDictionary();
        if (entries.empty()) {
            out += "{\n\n" + indent + "}";
            return;
        }
        out += "{\n";
        std::size_t index = 0;
        for (const auto& [key, member] : entries) {
            out += inner;
            writeCatalogString(out, key);
            out += " : ";
            writeCatalogValue(out, member, depth + 1);
            out += ++index < entries.size() ? ",\n" : "\n";
        }
        out += indent + "}";
        return;
    }
    }
}

}  // namespace

std::string serializeCatalogStyle(const Value& value) {
    std::string out;
    writeCatalogValue(out, value, 0);
    out.push_back('\n');
    return out;
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
    // Refused while it is read, before a deep document can exhaust the stack of the
    // code that walks it.
    const auto boundDepth = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaxNestingDepth) {
            throw Error(FoundationErrorCode::propertyListReadCorrupt,
                        fmt::format("The data couldn't be read because it is nested more than {} levels deep.",
                                    kMaxNestingDepth));
        }
        return true;
    };
    try {
        return fromJson(nlohmann::json::parse(text.begin(), text.end(), boundDepth));
    } catch (const nlohmann::json::exception& e) {
        throw Error(FoundationErrorCode::propertyListReadCorrupt,
                    fmt::format("The data couldn't be read because it isn't in the correct format. ({})", e.what()));
    }
}

Value parse(const Data& data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

}  // namespace platform::foundation::json
