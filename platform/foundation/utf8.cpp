#include "platform/foundation/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform::foundation {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `at`, or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::uint32_t codePoint(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) return lead;
    std::uint32_t value = lead & (sequence.size() == 2 ? 0x1F : sequence.size() == 3 ? 0x0F : 0x07);
    for (std::size_t i = 1; i < sequence.size(); ++i) value = (value << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    return value;
}

}  // namespace

bool isFormatCharacter(std::uint32_t c) {
    // The format characters (general category Cf) of Unicode 15, and the line and
    // paragraph separators: each reorders, joins, hides or breaks the text around it.
    return c == 0xAD || (c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
           (c >= 0x890 && c <= 0x891) || c == 0x8E2 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || c == 0x110BD || c == 0x110CD ||
           (c >= 0x13430 && c <= 0x1343F) || (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
           c == 0xE0001 || (c >= 0xE0020 && c <= 0xE007F);
}

bool isValidUTF8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        // Plain ASCII eight bytes at a time: most text, and all of a saved picture's Base64.
        if (at + 8 <= text.size()) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            if ((word & 0x8080808080808080u) == 0) {
                at += 8;
                continue;
            }
        }
        const std::size_t length = sequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

void appendUTF8(std::string& out, std::uint32_t codepoint) {
    if (codepoint < 0x80) {
        out.push_back(static_cast<char>(codepoint));
    } else if (codepoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codepoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    } else if (codepoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codepoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codepoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    }
}

std::string validUTF8(std::string_view text) {
    if (isValidUTF8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string escapedForDisplay(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](std::string_view bytes) {
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    };
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        const auto lead = static_cast<unsigned char>(text[at]);
        if (length == 0) {
            escape(text.substr(at, 1));
            ++at;
            continue;
        }
        const auto sequence = text.substr(at, length);
        // C1 controls are U+0080 to U+009F: 0xC2 then 0x80 to 0x9F.
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0);
        if (control) {
            escape(sequence);
        } else if (length > 1 && isFormatCharacter(codePoint(sequence))) {
            // Valid text, but shown as it is it would turn or hide what follows it.
            char code[16];
            std::snprintf(code, sizeof code, "\\u{%x}", static_cast<unsigned>(codePoint(sequence)));
            out += code;
        } else {
            out.append(sequence);
        }
        at += length;
    }
    return out;
}

bool needsUTF8Repair(const Value& value) {
    if (const auto* text = value.asString()) return !isValidUTF8(*text);
    if (const auto* array = value.asArray()) {
        for (const auto& item : *array) {
            if (needsUTF8Repair(item)) return true;
        }
    } else if (const auto* dictionary = value.asDictionary()) {
        for (const auto& [key, item] : *dictionary) {
            if (!isValidUTF8(key) || needsUTF8Repair(item)) return true;
        }
    }
    return false;
}

Value withValidUTF8(const Value& value) {
    if (const auto* text = value.asString()) return isValidUTF8(*text) ? value : Value(validUTF8(*text));
    if (const auto* array = value.asArray()) {
        Array repaired;
        repaired.reserve(array->size());
        for (const auto& item : *array) repaired.push_back(withValidUTF8(item));
        return Value(std::move(repaired));
    }
    if (const auto* dictionary = value.asDictionary()) {
        Dictionary repaired;
        for (const auto& [key, item] : *dictionary) repaired.insert_or_assign(validUTF8(key), withValidUTF8(item));
        return Value(std::move(repaired));
    }
    return value;
}

}  // namespace platform::foundation
