#include "platform/foundation/json.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/utf8.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

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


// The text quoted, with the escapes JSON needs (the others' bytes as they are); runs
// without any are copied whole.
void writeEscapedString(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
        }
    }
    out.append(text.substr(run));
    out.push_back('"');
}

void writeCatalogString(std::string& out, const std::string& text) {
    if (!isValidUTF8(text)) invalid("text that is not UTF-8");
    writeEscapedString(out, text);
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

namespace {

constexpr std::size_t kSinkPiece = 1u << 20;

// Compact text, byte for byte what nlohmann's dump() writes, without copying the value
// into its tree first: a saved picture's text runs to hundreds of megabytes.
void writeCompactValue(std::string& out, const Value& value, const TextSink* sink = nullptr) {
    // A sink takes what is written once there is enough of it.
    const auto handOn = [&] {
        if (sink && out.size() >= kSinkPiece) {
            (*sink)(out);
            out.clear();
        }
    };
    switch (value.type()) {
    case Value::Type::string: {
        const auto& text = *value.asString();
        if (!isValidUTF8(text)) {
            throw Error(FoundationErrorCode::propertyListWriteInvalid, "Invalid string in JSON write (not UTF-8)");
        }
        writeEscapedString(out, text);
        return;
    }
    case Value::Type::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& item : *value.asArray()) {
            if (!std::exchange(first, false)) out.push_back(',');
            writeCompactValue(out, item, sink);
            handOn();
        }
        out.push_back(']');
        return;
    }
    case Value::Type::dictionary: {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, item] : *value.asDictionary()) {
            if (!std::exchange(first, false)) out.push_back(',');
            if (!isValidUTF8(key)) {
                throw Error(FoundationErrorCode::propertyListWriteInvalid, "Invalid string in JSON write (not UTF-8)");
            }
            writeEscapedString(out, key);
            out.push_back(':');
            writeCompactValue(out, item, sink);
            handOn();
        }
        out.push_back('}');
        return;
    }
    case Value::Type::data:
        if (sink) {
            // A multiple of three bytes at a time: the pieces' texts join into the whole's.
            constexpr std::size_t kBytesPerPiece = kSinkPiece / 4 * 3;
            const std::span<const std::uint8_t> bytes(*value.asData());
            out.push_back('"');
            for (std::size_t at = 0; at < bytes.size(); at += kBytesPerPiece) {
                appendBase64Encoded(out, bytes.subspan(at, std::min(kBytesPerPiece, bytes.size() - at)));
                handOn();
            }
            out.push_back('"');
            return;
        }
        [[fallthrough]];
    default:
        // Scalars (and the values refused) as the library writes them.
        out += toJson(value).dump();
        return;
    }
}

}  // namespace

std::string serialize(const Value& value, WriteOptions options) {
    if (!options.prettyPrinted) {
        std::string out;
        writeCompactValue(out, value);
        return out;
    }
    try {
        return toJson(value).dump(2);
    } catch (const nlohmann::json::exception& e) {
        // Text that is not UTF-8 (a Linux file name can be any bytes).
        throw Error(FoundationErrorCode::propertyListWriteInvalid, fmt::format("Invalid string in JSON write ({})", e.what()));
    }
}

void serializeInPieces(const Value& value, const TextSink& sink) {
    std::string out;
    writeCompactValue(out, value, &sink);
    if (!out.empty()) sink(out);
}

Data serializeData(const Value& value, WriteOptions options) { return dataFromString(serialize(value, options)); }

namespace {

// Reads JSON into values directly, as nlohmann's parser would read it (the same grammar,
// numbers, escapes, UTF-8 check, last of repeated keys, nesting bound), at the speed of
// a copy for long strings: its lexer takes a character at a time, seconds for a saved
// picture's hundreds of megabytes.
class Reader {
public:
    explicit Reader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    Value document() {
        if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF") p_ += 3;
        Value value = read();
        skipSpace();
        if (p_ != end_) fail("unexpected text after the value");
        return value;
    }

private:
    [[noreturn]] void fail(const char* what) const {
        throw Error(FoundationErrorCode::propertyListReadCorrupt,
                    fmt::format("The data couldn't be read because it isn't in the correct format. ({} at byte {})",
                                what, p_ - begin_));
    }
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    void expect(char c) {
        skipSpace();
        if (p_ == end_ || *p_ != c) fail("unexpected character");
        ++p_;
    }
    void enter() {
        if (open_ > kMaxNestingDepth) {
            throw Error(FoundationErrorCode::propertyListReadCorrupt,
                        fmt::format("The data couldn't be read because it is nested more than {} levels deep.",
                                    kMaxNestingDepth));
        }
        ++open_;
    }

    Value read() {
        skipSpace();
        if (p_ == end_) fail("unexpected end");
        switch (*p_) {
        case '{': return object();
        case '[': return array();
        case '"': return Value(string());
        case 't': return literal("true", Value(true));
        case 'f': return literal("false", Value(false));
        case 'n': return literal("null", Value());
        default: return number();
        }
    }

    Value literal(std::string_view word, Value value) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            fail("invalid literal");
        }
        p_ += word.size();
        return value;
    }

    Value object() {
        enter();
        ++p_;
        Dictionary members;
        skipSpace();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
        } else {
            for (;;) {
                skipSpace();
                if (p_ == end_ || *p_ != '"') fail("expected a key");
                std::string key = string();
                expect(':');
                members.insert_or_assign(std::move(key), read());
                skipSpace();
                if (p_ != end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                expect('}');
                break;
            }
        }
        --open_;
        return Value(std::move(members));
    }

    Value array() {
        enter();
        ++p_;
        Array items;
        skipSpace();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
        } else {
            for (;;) {
                items.push_back(read());
                skipSpace();
                if (p_ != end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                expect(']');
                break;
            }
        }
        --open_;
        return Value(std::move(items));
    }

    unsigned hex4() {
        if (end_ - p_ < 4) fail("a short \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i, ++p_) {
            const char c = *p_;
            value <<= 4;
            if (c >= '0' && c <= '9') value |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f') value |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= unsigned(c - 'A' + 10);
            else fail("an invalid \\u escape");
        }
        return value;
    }

    std::string string() {
        ++p_;  // the opening quote
        std::string out;
        const char* run = p_;
        for (;;) {
            while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
            if (p_ == end_) fail("an unterminated string");
            out.append(run, p_);
            if (*p_ == '"') {
                ++p_;
                break;
            }
            if (*p_ != '\\') fail("a control character in a string");
            ++p_;
            if (p_ == end_) fail("an unterminated string");
            const char escape = *p_++;
            switch (escape) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                unsigned codepoint = hex4();
                if (codepoint >= 0xD800 && codepoint <= 0xDBFF) {
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') fail("a lone surrogate");
                    p_ += 2;
                    const unsigned low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) fail("a lone surrogate");
                    codepoint = 0x10000 + ((codepoint - 0xD800) << 10) + (low - 0xDC00);
                } else if (codepoint >= 0xDC00 && codepoint <= 0xDFFF) {
                    fail("a lone surrogate");
                }
                appendUTF8(out, codepoint);
                break;
            }
            default: fail("an invalid escape");
            }
            run = p_;
        }
        if (!isValidUTF8(out)) fail("text that is not UTF-8");
        return out;
    }

    Value number() {
        const char* start = p_;
        if (p_ != end_ && *p_ == '-') ++p_;
        const auto digits = [&] {
            const char* from = p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            return p_ - from;
        };
        const char* integral = p_;
        const auto whole = digits();
        if (whole == 0 || (whole > 1 && *integral == '0')) fail("an invalid number");
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (digits() == 0) fail("an invalid number");
            integer = false;
        }
        bool negativeExponent = false;
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) negativeExponent = *p_++ == '-';
            if (digits() == 0) fail("an invalid number");
            integer = false;
        }
        if (integer) {
            std::int64_t signedValue = 0;
            if (std::from_chars(start, p_, signedValue).ec == std::errc()) return Value(signedValue);
            std::uint64_t unsignedValue = 0;
            if (*start != '-' && std::from_chars(start, p_, unsignedValue).ec == std::errc()) {
                return Value(static_cast<double>(unsignedValue));
            }
        }
        double real = 0;
        const auto result = std::from_chars(start, p_, real);
        if (result.ec == std::errc::result_out_of_range) {
            // Too small is zero, too large an error.
            if (!negativeExponent) fail("a number out of range");
            real = *start == '-' ? -0.0 : 0.0;
        } else if (result.ec != std::errc()) {
            fail("an invalid number");
        }
        return Value(real);
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    int open_ = 0;
};

}  // namespace

Value parse(std::string_view text) { return Reader(text).document(); }

Value parse(const Data& data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

}  // namespace platform::foundation::json
