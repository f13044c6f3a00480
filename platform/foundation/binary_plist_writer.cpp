#include "platform/foundation/binary_plist_writer.hpp"

#include <bit>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace platform::foundation {

namespace {

// One object of the file: a value, or a dictionary key (text).
struct Object {
    const Value* value = nullptr;
    std::string_view key;
    std::vector<std::size_t> refs;  // arrays: items; dictionaries: keys, then values
};

void putBigEndian(Data& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putInteger(Data& out, std::int64_t value) {
    // 1, 2 and 4-byte integers are unsigned; 8-byte ones signed.
    if (value >= 0 && value <= 0xFF) {
        out.push_back(0x10);
        putBigEndian(out, static_cast<std::uint64_t>(value), 1);
    } else if (value >= 0 && value <= 0xFFFF) {
        out.push_back(0x11);
        putBigEndian(out, static_cast<std::uint64_t>(value), 2);
    } else if (value >= 0 && value <= 0xFFFFFFFFLL) {
        out.push_back(0x12);
        putBigEndian(out, static_cast<std::uint64_t>(value), 4);
    } else {
        out.push_back(0x13);
        putBigEndian(out, static_cast<std::uint64_t>(value), 8);
    }
}

void putMarker(Data& out, std::uint8_t type, std::size_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(type << 4 | count));
    } else {
        out.push_back(static_cast<std::uint8_t>(type << 4 | 0x0F));
        putInteger(out, static_cast<std::int64_t>(count));
    }
}

void putDouble(Data& out, std::uint8_t marker, double value) {
    out.push_back(marker);
    putBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
}

void putText(Data& out, std::string_view text) {
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) {
        putMarker(out, 0x5, text.size());
        out.insert(out.end(), text.begin(), text.end());
        return;
    }
    // UTF-16 big-endian, counted in code units.
    std::vector<std::uint16_t> units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = lead;
        std::size_t length = 1;
        if (lead >= 0xF0) code = lead & 0x07, length = 4;
        else if (lead >= 0xE0) code = lead & 0x0F, length = 3;
        else if (lead >= 0xC0) code = lead & 0x1F, length = 2;
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(code));
        }
    }
    putMarker(out, 0x6, units.size());
    for (const auto unit : units) putBigEndian(out, unit, 2);
}

}  // namespace

Data writeBinaryPropertyList(const Value& root) {
    std::vector<Object> objects;
    std::unordered_map<std::string_view, std::size_t> texts;  // shared strings and keys
    const auto addText = [&](std::string_view text, const Value* value) {
        if (auto it = texts.find(text); it != texts.end()) return it->second;
        objects.push_back({value, value ? std::string_view{} : text, {}});
        texts.emplace(text, objects.size() - 1);
        return objects.size() - 1;
    };
    const auto add = [&](const Value& value) {
        if (const auto* text = value.asString()) return addText(*text, &value);
        objects.push_back({&value, {}, {}});
        return objects.size() - 1;
    };
    const std::size_t top = add(root);
    // Breadth first, without recursion: containers learn their children's indices.
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const Value* value = objects[i].value;
        if (!value) continue;
        std::vector<std::size_t> refs;
        if (const auto* array = value->asArray()) {
            for (const auto& item : *array) refs.push_back(add(item));
        } else if (const auto* dictionary = value->asDictionary()) {
            for (const auto& [key, item] : *dictionary) refs.push_back(addText(key, nullptr));
            for (const auto& [key, item] : *dictionary) refs.push_back(add(item));
        } else {
            continue;
        }
        objects[i].refs = std::move(refs);
    }

    const std::size_t refSize = objects.size() <= 0xFF ? 1 : objects.size() <= 0xFFFF ? 2 : 4;
    Data out;
    out.reserve(64 + objects.size() * 16);
    for (const char c : std::string_view("bplist00")) out.push_back(static_cast<std::uint8_t>(c));
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects.size());
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        if (!object.value) {
            putText(out, object.key);
            continue;
        }
        const Value& value = *object.value;
        switch (value.type()) {
        case Value::Type::null: out.push_back(0x00); break;
        case Value::Type::boolean: out.push_back(*value.asBool() ? 0x09 : 0x08); break;
        case Value::Type::integer: putInteger(out, *value.asInteger()); break;
        case Value::Type::real: putDouble(out, 0x23, *value.asDouble()); break;
        case Value::Type::date: putDouble(out, 0x33, value.asDate()->timeIntervalSinceReferenceDate()); break;
        case Value::Type::string: putText(out, *value.asString()); break;
        case Value::Type::data: {
            const Data& bytes = *value.asData();
            putMarker(out, 0x4, bytes.size());
            out.insert(out.end(), bytes.begin(), bytes.end());
            break;
        }
        case Value::Type::array:
        case Value::Type::dictionary: {
            const bool isArray = value.type() == Value::Type::array;
            putMarker(out, isArray ? 0xA : 0xD, isArray ? object.refs.size() : object.refs.size() / 2);
            for (const auto ref : object.refs) putBigEndian(out, ref, refSize);
            break;
        }
        }
    }
    const std::uint64_t tableOffset = out.size();
    const std::size_t offsetSize = tableOffset <= 0xFF ? 1 : tableOffset <= 0xFFFF ? 2 : tableOffset <= 0xFFFFFFFFULL ? 4 : 8;
    for (const auto offset : offsets) putBigEndian(out, offset, offsetSize);
    for (int i = 0; i < 6; ++i) out.push_back(0);  // unused, then the sort version
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(refSize));
    putBigEndian(out, objects.size(), 8);
    putBigEndian(out, top, 8);
    putBigEndian(out, tableOffset, 8);
    return out;
}

}  // namespace platform::foundation
