#include "app/engine/string_truncation.hpp"

#include <cmath>

namespace gw {

namespace {

// One decoded code point and the bytes it took; invalid bytes decode as themselves.
struct CodePoint {
    char32_t value;
    std::size_t length;
};

CodePoint decode(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    auto continuation = [&](std::size_t i) {
        return at + i < text.size() && (static_cast<unsigned char>(text[at + i]) & 0xC0) == 0x80;
    };
    auto bits = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[at + i]) & 0x3F); };
    if (byte < 0x80) return {byte, 1};
    if ((byte & 0xE0) == 0xC0 && continuation(1)) return {(static_cast<char32_t>(byte & 0x1F) << 6) | bits(1), 2};
    if ((byte & 0xF0) == 0xE0 && continuation(1) && continuation(2))
        return {(static_cast<char32_t>(byte & 0x0F) << 12) | (bits(1) << 6) | bits(2), 3};
    if ((byte & 0xF8) == 0xF0 && continuation(1) && continuation(2) && continuation(3))
        return {(static_cast<char32_t>(byte & 0x07) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3), 4};
    return {byte, 1};
}

bool inRange(char32_t c, char32_t low, char32_t high) { return c >= low && c <= high; }

// Code points that never start a character of their own.
bool extendsPrevious(char32_t c) {
    return inRange(c, 0x0300, 0x036F) || inRange(c, 0x0483, 0x0489) || inRange(c, 0x0591, 0x05BD) ||
           inRange(c, 0x0610, 0x061A) || inRange(c, 0x064B, 0x065F) || inRange(c, 0x0900, 0x0903) ||
           inRange(c, 0x093A, 0x094F) || inRange(c, 0x0E31, 0x0E3A) || inRange(c, 0x0E47, 0x0E4E) ||
           inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) || c == 0x200C || c == 0x200D ||
           inRange(c, 0x20D0, 0x20FF) || inRange(c, 0x302A, 0x302F) || inRange(c, 0x3099, 0x309A) ||
           inRange(c, 0xFE00, 0xFE0F) || inRange(c, 0xFE20, 0xFE2F) || inRange(c, 0x1F3FB, 0x1F3FF) ||
           inRange(c, 0xE0020, 0xE007F) || inRange(c, 0xE0100, 0xE01EF);
}

bool isRegionalIndicator(char32_t c) { return inRange(c, 0x1F1E6, 0x1F1FF); }

// Hangul jamo and syllables: leading consonants, vowels, trailing consonants.
enum class Hangul { none, leading, vowel, trailing, syllableLV, syllableLVT };

Hangul hangulKind(char32_t c) {
    if (inRange(c, 0x1100, 0x115F) || inRange(c, 0xA960, 0xA97C)) return Hangul::leading;
    if (inRange(c, 0x1160, 0x11A7) || inRange(c, 0xD7B0, 0xD7C6)) return Hangul::vowel;
    if (inRange(c, 0x11A8, 0x11FF) || inRange(c, 0xD7CB, 0xD7FB)) return Hangul::trailing;
    if (inRange(c, 0xAC00, 0xD7A3)) return (c - 0xAC00) % 28 == 0 ? Hangul::syllableLV : Hangul::syllableLVT;
    return Hangul::none;
}

bool hangulContinues(Hangul previous, Hangul next) {
    switch (previous) {
    case Hangul::leading:
        return next == Hangul::leading || next == Hangul::vowel || next == Hangul::syllableLV ||
               next == Hangul::syllableLVT;
    case Hangul::vowel:
    case Hangul::syllableLV:
        return next == Hangul::vowel || next == Hangul::trailing;
    case Hangul::trailing:
    case Hangul::syllableLVT:
        return next == Hangul::trailing;
    case Hangul::none:
        return false;
    }
    return false;
}

std::string joined(const std::vector<std::string_view>& characters, std::size_t from, std::size_t to) {
    std::string result;
    for (std::size_t i = from; i < to; ++i) result.append(characters[i]);
    return result;
}

}  // namespace

std::vector<std::string_view> graphemeClusters(std::string_view text) {
    std::vector<std::string_view> clusters;
    std::size_t start = 0;
    std::size_t at = 0;
    char32_t previous = 0;
    bool previousJoins = false;     // the previous code point was a zero-width joiner
    std::size_t regionalRun = 0;    // regional indicators in the current cluster
    while (at < text.size()) {
        const auto point = decode(text, at);
        const char32_t c = point.value;
        bool continues = false;
        if (at > start) {
            if (previous == U'\r' && c == U'\n') {
                continues = true;
            } else if (previous == U'\r' || previous == U'\n' || c == U'\r' || c == U'\n') {
                continues = false;
            } else if (extendsPrevious(c)) {
                continues = true;
            } else if (previousJoins && c >= 0x2000) {
                continues = true;
            } else if (isRegionalIndicator(c) && isRegionalIndicator(previous) && regionalRun % 2 == 1) {
                continues = true;
            } else {
                continues = hangulContinues(hangulKind(previous), hangulKind(c));
            }
        }
        if (!continues && at > start) {
            clusters.push_back(text.substr(start, at - start));
            start = at;
            regionalRun = 0;
        }
        if (isRegionalIndicator(c)) ++regionalRun;
        previousJoins = c == 0x200D;
        previous = c;
        at += point.length;
    }
    if (at > start) clusters.push_back(text.substr(start, at - start));
    return clusters;
}

std::string truncated(std::string_view text, std::size_t length, TruncationPosition position,
                      std::string_view leader) {
    const auto characters = graphemeClusters(text);
    const auto count = characters.size();
    if (count <= length) return std::string(text);
    switch (position) {
    case TruncationPosition::head:
        return std::string(leader) + joined(characters, count - length, count);
    case TruncationPosition::tail:
        return joined(characters, 0, length) + std::string(leader);
    case TruncationPosition::middle: {
        const auto leaderLength = graphemeClusters(leader).size();
        const auto remaining = length > leaderLength ? length - leaderLength : 0;
        const float half = static_cast<float>(remaining) / 2.0f;
        const auto front = static_cast<std::size_t>(std::ceil(half));
        const auto back = static_cast<std::size_t>(std::floor(half));
        return joined(characters, 0, front) + std::string(leader) + joined(characters, count - back, count);
    }
    }
    return std::string(text);
}

}  // namespace gw
