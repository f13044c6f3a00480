#include "platform/foundation/value.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <cstdlib>

namespace platform::foundation {

Data dataFromString(std::string_view text) { return Data(text.begin(), text.end()); }

std::string stringFromData(const Data& data) { return std::string(data.begin(), data.end()); }

Value Value::dict(std::initializer_list<std::pair<const std::string, Value>> entries) {
    return Value(Dictionary(entries.begin(), entries.end()));
}

Value Value::array(std::initializer_list<Value> items) { return Value(Array(items)); }

std::optional<bool> Value::asBool() const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInteger() const {
    if (auto p = std::get_if<std::int64_t>(&v_)) return *p;
    return std::nullopt;
}

std::optional<double> Value::asDouble() const {
    if (auto p = std::get_if<double>(&v_)) return *p;
    if (auto p = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*p);
    return std::nullopt;
}

const std::string* Value::asString() const { return std::get_if<std::string>(&v_); }
const Data* Value::asData() const { return std::get_if<Data>(&v_); }
std::optional<Date> Value::asDate() const {
    if (auto p = std::get_if<Date>(&v_)) return *p;
    return std::nullopt;
}
const Array* Value::asArray() const { return std::get_if<Array>(&v_); }
Array* Value::asArray() { return std::get_if<Array>(&v_); }
const Dictionary* Value::asDictionary() const { return std::get_if<Dictionary>(&v_); }
Dictionary* Value::asDictionary() { return std::get_if<Dictionary>(&v_); }

namespace {
std::string trimmedLower(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    std::string out = s.substr(b, e - b);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}
}  // namespace

bool Value::boolValue() const {
    switch (type()) {
    case Type::boolean: return std::get<bool>(v_);
    case Type::integer: return std::get<std::int64_t>(v_) != 0;
    case Type::real: return std::get<double>(v_) != 0.0;
    case Type::string: {
        std::string s = trimmedLower(std::get<std::string>(v_));
        if (s == "yes" || s == "true") return true;
        return std::strtoll(s.c_str(), nullptr, 10) != 0;
    }
    default: return false;
    }
}

std::int64_t Value::integerValue() const {
    switch (type()) {
    case Type::boolean: return std::get<bool>(v_) ? 1 : 0;
    case Type::integer: return std::get<std::int64_t>(v_);
    case Type::real: {
        const double real = std::get<double>(v_);
        if (std::isnan(real)) return 0;
        // 2^63 is the first double past the largest integer.
        if (real >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
        if (real < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(real);
    }
    case Type::string: {
        std::string s = trimmedLower(std::get<std::string>(v_));
        if (s == "yes" || s == "true") return 1;
        return std::strtoll(s.c_str(), nullptr, 10);
    }
    default: return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
    case Type::boolean: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::integer: return static_cast<double>(std::get<std::int64_t>(v_));
    case Type::real: return std::get<double>(v_);
    case Type::string: return std::strtod(std::get<std::string>(v_).c_str(), nullptr);
    default: return 0.0;
    }
}

const Value& Value::get(std::string_view key) const {
    static const Value null;
    if (auto d = asDictionary()) {
        auto it = d->find(key);
        if (it != d->end()) return it->second;
    }
    return null;
}

Value& Value::member(const std::string& key) {
    if (isNull()) v_ = Dictionary{};
    auto d = asDictionary();
    if (!d) throw std::logic_error(fmt::format("Value of type {} is not a dictionary", typeName(type())));
    return (*d)[key];
}

bool Value::contains(std::string_view key) const {
    auto d = asDictionary();
    return d && d->find(key) != d->end();
}

std::size_t Value::size() const {
    if (auto a = asArray()) return a->size();
    if (auto d = asDictionary()) return d->size();
    return 0;
}

namespace {
std::string quotedIfNeeded(const std::string& s) {
    bool plain = !s.empty();
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' || c == '/')) {
            plain = false;
            break;
        }
    }
    if (plain) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}
}  // namespace

std::string Value::description() const {
    switch (type()) {
    case Type::null: return "<null>";
    case Type::boolean: return std::get<bool>(v_) ? "1" : "0";
    case Type::integer: return fmt::format("{}", std::get<std::int64_t>(v_));
    case Type::real: return fmt::format("{}", std::get<double>(v_));
    case Type::string: return quotedIfNeeded(std::get<std::string>(v_));
    case Type::data: {
        std::string out = "{length = ";
        out += fmt::format("{}, bytes = 0x", std::get<Data>(v_).size());
        std::size_t n = 0;
        for (auto b : std::get<Data>(v_)) {
            if (n++ == 32) {
                out += "...";
                break;
            }
            out += fmt::format("{:02x}", b);
        }
        return out + "}";
    }
    case Type::date: return std::get<Date>(v_).iso8601();
    case Type::array: {
        std::string out = "(";
        bool first = true;
        for (const auto& item : std::get<Array>(v_)) {
            out += first ? "" : ", ";
            first = false;
            out += item.description();
        }
        return out + ")";
    }
    case Type::dictionary: {
        std::string out = "{";
        for (const auto& [k, item] : std::get<Dictionary>(v_)) {
            out += fmt::format("{} = {}; ", quotedIfNeeded(k), item.description());
        }
        return out + "}";
    }
    }
    return {};
}

std::string_view typeName(Value::Type type) {
    switch (type) {
    case Value::Type::null: return "null";
    case Value::Type::boolean: return "boolean";
    case Value::Type::integer: return "integer";
    case Value::Type::real: return "real";
    case Value::Type::string: return "string";
    case Value::Type::data: return "data";
    case Value::Type::date: return "date";
    case Value::Type::array: return "array";
    case Value::Type::dictionary: return "dictionary";
    }
    return "unknown";
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

}  // namespace platform::foundation
