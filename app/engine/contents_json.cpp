#include "app/engine/contents_json.hpp"

#include "platform/foundation/error.hpp"

#include <cmath>
#include <fmt/format.h>

namespace gw {

namespace pf = platform::foundation;

namespace {

[[noreturn]] void invalid(const std::string& what) {
    throw pf::Error(pf::FoundationErrorCode::propertyListWriteInvalid,
                    "Invalid value in Contents.json: " + what);
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

void writeString(std::string& out, const std::string& text) {
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

void writeValue(std::string& out, const pf::Value& value, int depth) {
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    const std::string inner(static_cast<std::size_t>(depth + 1) * 2, ' ');
    switch (value.type()) {
    case pf::Value::Type::null:
        out += "null";
        return;
    case pf::Value::Type::boolean:
        out += *value.asBool() ? "true" : "false";
        return;
    case pf::Value::Type::integer:
        out += std::to_string(*value.asInteger());
        return;
    case pf::Value::Type::real: {
        const double number = *value.asDouble();
        if (!std::isfinite(number)) invalid("a number that is not finite");
        auto text = fmt::format("{}", number);
        if (text.find_first_of(".e") == std::string::npos) text += ".0";
        out += text;
        return;
    }
    case pf::Value::Type::string:
        writeString(out, *value.asString());
        return;
    case pf::Value::Type::data:
        invalid("data");
    case pf::Value::Type::date:
        invalid("a date");
    case pf::Value::Type::array: {
        const auto& items = *value.asArray();
        if (items.empty()) {
            out += "[\n\n" + indent + "]";
            return;
        }
        out += "[\n";
        for (std::size_t i = 0; i < items.size(); ++i) {
            out += inner;
            writeValue(out, items[i], depth + 1);
            out += i + 1 < items.size() ? ",\n" : "\n";
        }
        out += indent + "]";
        return;
    }
    case pf::Value::Type::dictionary: {
        const auto& entries = *value.asDictionary();
        if (entries.empty()) {
            out += "{\n\n" + indent + "}";
            return;
        }
        out += "{\n";
        std::size_t index = 0;
        for (const auto& [key, member] : entries) {
            out += inner;
            writeString(out, key);
            out += " : ";
            writeValue(out, member, depth + 1);
            out += ++index < entries.size() ? ",\n" : "\n";
        }
        out += indent + "}";
        return;
    }
    }
}

}  // namespace

std::string contentsJSONText(const pf::Dictionary& dictionary) {
    std::string out;
    writeValue(out, pf::Value(dictionary), 0);
    out.push_back('\n');
    return out;
}

}  // namespace gw
