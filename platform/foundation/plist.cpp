#include "platform/foundation/plist.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"

#include <fmt/format.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <memory>

namespace platform::foundation::plist {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Caps nesting so that a hostile file cannot exhaust the stack.
constexpr int kMaxDepth = 512;

plist_t toNode(const Value& value, int depth) {
    if (depth > kMaxDepth) {
        throw Error(FoundationErrorCode::propertyListWriteInvalid, "Property list nested too deeply");
    }
    using T = Value::Type;
    switch (value.type()) {
    case T::null:
        throw Error(FoundationErrorCode::propertyListWriteInvalid, "Property lists cannot contain null values");
    case T::boolean: return plist_new_bool(*value.asBool() ? 1 : 0);
    case T::integer: return plist_new_uint(static_cast<std::uint64_t>(*value.asInteger()));
    case T::real: return plist_new_real(*value.asDouble());
    case T::string: return plist_new_string(value.asString()->c_str());
    case T::data: {
        const Data& d = *value.asData();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case T::date: {
        double ref = value.asDate()->timeIntervalSinceReferenceDate();
        double sec = std::floor(ref);
        return plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(std::lround((ref - sec) * 1e6)));
    }
    case T::array: {
        Node node(plist_new_array());
        for (const auto& item : *value.asArray()) plist_array_append_item(node.get(), toNode(item, depth + 1));
        return node.release();
    }
    case T::dictionary: {
        Node node(plist_new_dict());
        for (const auto& [k, item] : *value.asDictionary()) plist_dict_set_item(node.get(), k.c_str(), toNode(item, depth + 1));
        return node.release();
    }
    }
    return nullptr;
}

Value fromNode(plist_t node, int depth) {
    if (depth > kMaxDepth) throw Error(FoundationErrorCode::propertyListReadCorrupt, "Property list nested too deeply");
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        std::string out = s ? s : "";
        std::free(s);
        return Value(std::move(out));
    }
    case PLIST_DATA: {
        char* d = nullptr;
        std::uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        Data out(reinterpret_cast<std::uint8_t*>(d), reinterpret_cast<std::uint8_t*>(d) + len);
        std::free(d);
        return Value(std::move(out));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return Value(Date::fromTimeIntervalSinceReferenceDate(sec + usec / 1e6));
    }
    case PLIST_UID: {
        std::uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return Value::dict({{"CF$UID", Value(static_cast<std::int64_t>(u))}});
    }
    case PLIST_ARRAY: {
        Array out;
        std::uint32_t n = plist_array_get_size(node);
        out.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) out.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
        return Value(std::move(out));
    }
    case PLIST_DICT: {
        Dictionary out;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            std::string k = key ? key : "";
            std::free(key);
            out.insert_or_assign(std::move(k), fromNode(item, depth + 1));
        }
        std::free(it);
        return Value(std::move(out));
    }
    default: break;
    }
    throw Error(FoundationErrorCode::propertyListReadCorrupt, "Unsupported property list element");
}

}  // namespace

Data serialize(const Value& value, Format format) {
    Node node(toNode(value, 0));
    char* out = nullptr;
    std::uint32_t len = 0;
    if (format == Format::xml) {
        plist_to_xml(node.get(), &out, &len);
    } else {
        plist_to_bin(node.get(), &out, &len);
    }
    if (!out) throw Error(FoundationErrorCode::propertyListWriteInvalid, "Property list could not be written");
    Data data(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<std::uint8_t*>(out) + len);
    if (format == Format::xml) plist_to_xml_free(out); else plist_to_bin_free(out);
    return data;
}

Value parse(std::string_view text) {
    auto corrupt = [] {
        return Error(FoundationErrorCode::propertyListReadCorrupt,
                     "The data couldn't be read because it isn't in the correct format.");
    };
    if (text.empty() || text.size() > 0xFFFFFFFFu) throw corrupt();
    bool binary = text.size() >= 8 && text.substr(0, 6) == "bplist";
    bool xml = text.find("<plist") != std::string_view::npos;
    if (!binary && !xml) throw corrupt();
    plist_t root = nullptr;
    if (binary) {
        plist_from_bin(text.data(), static_cast<std::uint32_t>(text.size()), &root);
    } else {
        plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &root);
    }
    if (!root) throw corrupt();
    Node owner(root);
    return fromNode(root, 0);
}

Value parse(const Data& data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

Value readFile(const std::string& path) { return parse(files::readData(path)); }

}  // namespace platform::foundation::plist
