#include "platform/foundation/plist.hpp"

#include "platform/foundation/binary_plist_reader.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"

#include <fmt/format.h>
#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

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

Error corrupt() {
    return Error(FoundationErrorCode::propertyListReadCorrupt,
                 "The data couldn't be read because it isn't in the correct format.");
}

Error tooMany() {
    return Error(FoundationErrorCode::propertyListReadCorrupt,
                 "The data couldn't be read because it holds too many values.");
}

Error nestedTooDeeply() {
    return Error(FoundationErrorCode::propertyListReadCorrupt,
                 fmt::format("The data couldn't be read because it is nested more than {} levels deep.", kMaxDepth));
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The most values a binary property list may unfold into. The library reads an object
// anew for every reference to it, so a small file whose arrays refer to one another
// many times over would unfold into billions of values.
constexpr std::uint64_t kMaxUnfoldedObjects = std::uint64_t{1} << 22;

// The binary reader of the property-list library descends recursively, so a file
// nested a few hundred thousand levels deep would exhaust the stack before fromNode
// could refuse it. This walks the object graph first, without recursion and each
// object once, and refuses files nested deeper than kMaxDepth, files that unfold into
// more than kMaxUnfoldedObjects values, references that loop back, and offsets
// outside the file.
void checkBinaryNesting(std::string_view bytes) {
    constexpr std::size_t kTrailer = 32;
    if (bytes.size() < 8 + kTrailer) throw corrupt();
    const std::size_t trailer = bytes.size() - kTrailer;
    const std::size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    const std::size_t refSize = static_cast<unsigned char>(bytes[trailer + 7]);
    const std::uint64_t objectCount = bigEndian(bytes, trailer + 8, 8);
    const std::uint64_t top = bigEndian(bytes, trailer + 16, 8);
    const std::uint64_t tableOffset = bigEndian(bytes, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) throw corrupt();
    if (objectCount == 0 || top >= objectCount || tableOffset >= trailer) throw corrupt();
    if (objectCount > (trailer - tableOffset) / offsetSize) throw corrupt();
    if (objectCount > kMaxUnfoldedObjects) throw tooMany();

    auto objectOffset = [&](std::uint64_t index) {
        const std::uint64_t offset = bigEndian(bytes, static_cast<std::size_t>(tableOffset + index * offsetSize), offsetSize);
        if (offset < 8 || offset >= tableOffset) throw corrupt();
        return static_cast<std::size_t>(offset);
    };
    // The references an array, set or dictionary holds (keys and values alike); none
    // for any other object.
    struct Children {
        std::size_t first = 0;
        std::uint64_t count = 0;
    };
    auto childrenOf = [&](std::uint64_t index) {
        std::size_t at = objectOffset(index);
        const auto marker = static_cast<unsigned char>(bytes[at]);
        const unsigned type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) return Children{};
        std::uint64_t count = marker & 0x0F;
        ++at;
        if (count == 0x0F) {
            if (at >= tableOffset) throw corrupt();
            const auto intMarker = static_cast<unsigned char>(bytes[at]);
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) throw corrupt();
            const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
            if (at + 1 + width > tableOffset) throw corrupt();
            count = bigEndian(bytes, at + 1, width);
            at += 1 + width;
        }
        if (type == 0xD) {
            if (count > std::numeric_limits<std::uint64_t>::max() / 2) throw corrupt();
            count *= 2;
        }
        if (count > (tableOffset - at) / refSize) throw corrupt();
        return Children{at, count};
    };
    auto child = [&](const Children& children, std::uint64_t i) {
        const std::uint64_t ref = bigEndian(bytes, static_cast<std::size_t>(children.first + i * refSize), refSize);
        if (ref >= objectCount) throw corrupt();
        return ref;
    };

    // For each object: not reached yet, on the path being walked, or walked, with the
    // number of levels below it. A walked object reached again is not walked again:
    // its levels are added to the path that reaches it.
    // Two bytes each: the levels never pass kMaxDepth.
    constexpr std::uint16_t unseen = 0xFFFF;
    constexpr std::uint16_t onPath = 0xFFFE;
    std::vector<std::uint16_t> below(static_cast<std::size_t>(objectCount), unseen);
    // For each walked object: how many values it unfolds into, itself included.
    std::vector<std::uint32_t> unfolded(static_cast<std::size_t>(objectCount), 0);
    struct Frame {
        std::uint64_t index;
        Children children;
        std::uint64_t next = 0;
        std::uint16_t below = 0;
        std::uint64_t unfolded = 1;
    };
    auto addUnfolded = [&](Frame& frame, std::uint64_t count) {
        frame.unfolded += count;
        if (frame.unfolded > kMaxUnfoldedObjects) throw tooMany();
    };
    const auto limit = static_cast<std::size_t>(kMaxDepth);
    std::vector<Frame> path;
    path.push_back({top, childrenOf(top)});
    below[static_cast<std::size_t>(top)] = onPath;
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.children.count) {
            const Frame finished = frame;
            below[static_cast<std::size_t>(finished.index)] = finished.below;
            unfolded[static_cast<std::size_t>(finished.index)] = static_cast<std::uint32_t>(finished.unfolded);
            path.pop_back();
            if (!path.empty()) addUnfolded(path.back(), finished.unfolded);
            if (!path.empty()) {
                path.back().below = std::max<std::uint16_t>(path.back().below, static_cast<std::uint16_t>(finished.below + 1));
            }
            continue;
        }
        const std::uint64_t ref = child(frame.children, frame.next++);
        const std::uint16_t levels = below[static_cast<std::size_t>(ref)];
        if (levels == onPath) throw corrupt();
        if (levels != unseen) {
            if (path.size() + 1 + levels > limit) throw nestedTooDeeply();
            frame.below = std::max<std::uint16_t>(frame.below, static_cast<std::uint16_t>(levels + 1));
            addUnfolded(frame, unfolded[static_cast<std::size_t>(ref)]);
            continue;
        }
        if (path.size() + 1 > limit) throw nestedTooDeeply();
        below[static_cast<std::size_t>(ref)] = onPath;
        path.push_back({ref, childrenOf(ref)});
    }
}

// The same bound for XML: counts the open array and dict elements, skipping comments,
// CDATA sections, processing instructions and declarations.
void checkXMLNesting(std::string_view text) {
    const auto limit = static_cast<std::size_t>(kMaxDepth);
    std::size_t depth = 0;
    std::size_t at = 0;
    auto skipPast = [&](std::string_view end) {
        const auto found = text.find(end, at);
        at = found == std::string_view::npos ? text.size() : found + end.size();
    };
    auto startsWith = [&](std::string_view prefix) { return text.substr(at, prefix.size()) == prefix; };
    // Whether the element whose name ends at `at` is closed in its own tag ("<dict/>").
    auto selfClosing = [&] {
        const auto close = text.find('>', at);
        const bool empty = close != std::string_view::npos && close > 0 && text[close - 1] == '/';
        at = close == std::string_view::npos ? text.size() : close + 1;
        return empty;
    };
    auto isNameEnd = [&](std::size_t i) {
        return i >= text.size() || text[i] == '>' || text[i] == '/' || text[i] == ' ' || text[i] == '\t' ||
               text[i] == '\n' || text[i] == '\r';
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        if (startsWith("<!--")) {
            skipPast("-->");
        } else if (startsWith("<![CDATA[")) {
            skipPast("]]>");
        } else if (startsWith("<?")) {
            skipPast("?>");
        } else if (startsWith("<!")) {
            skipPast(">");
        } else if ((startsWith("</array") && isNameEnd(at + 7)) || (startsWith("</dict") && isNameEnd(at + 6))) {
            if (depth > 0) --depth;
            skipPast(">");
        } else if ((startsWith("<array") && isNameEnd(at + 6)) || (startsWith("<dict") && isNameEnd(at + 5))) {
            if (!selfClosing() && ++depth > limit) throw nestedTooDeeply();
        } else {
            ++at;
        }
    }
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
    if (text.empty() || text.size() > 0xFFFFFFFFu) throw corrupt();
    bool binary = text.size() >= 8 && text.substr(0, 6) == "bplist";
    bool xml = text.find("<plist") != std::string_view::npos;
    if (!binary && !xml) throw corrupt();
    // The library stops the process on a text that holds a NUL (its length disagrees with
    // the C string it hands out), so no such text reaches it: a file that holds one is
    // damaged like any other, never the end of every program that reads it.
    if (binary) {
        checkBinaryNesting(text);
        if (!isSafeBinaryPropertyList(text)) throw corrupt();
    } else {
        // XML has no way to hold a NUL character.
        if (text.find('\0') != std::string_view::npos) throw corrupt();
        checkXMLNesting(text);
    }
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
