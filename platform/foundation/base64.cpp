#include "platform/foundation/base64.hpp"

#include <array>

namespace platform::foundation {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

// A saved picture's bytes run to hundreds of megabytes: both directions write straight
// into a buffer of the final size and decode through a table.
std::string base64Encoded(const Data& data) {
    std::string text;
    appendBase64Encoded(text, data);
    return text;
}

void appendBase64Encoded(std::string& text, std::span<const std::uint8_t> data) {
    const std::size_t start = text.size();
    text.resize(start + (data.size() + 2) / 3 * 4, '=');
    char* out = text.data() + start;
    const std::uint8_t* in = data.data();
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3, out += 4) {
        const unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        out[0] = kAlphabet[(v >> 18) & 63];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = kAlphabet[(v >> 6) & 63];
        out[3] = kAlphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest > 0) {
        const unsigned v = (unsigned(in[i]) << 16) | (rest == 2 ? unsigned(in[i + 1]) << 8 : 0u);
        out[0] = kAlphabet[(v >> 18) & 63];
        out[1] = kAlphabet[(v >> 12) & 63];
        if (rest == 2) out[2] = kAlphabet[(v >> 6) & 63];
    }
}

std::optional<Data> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    static const auto table = [] {
        std::array<std::int8_t, 256> values{};
        values.fill(-1);
        for (int c = 0; c < 256; ++c) values[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(sextet(char(c)));
        return values;
    }();
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    Data data(text.size() / 4 * 3 - padding);
    std::uint8_t* out = data.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t whole = text.empty() ? 0 : text.size() - 4;  // the last group may be padded
    for (std::size_t i = 0; i < whole; i += 4, out += 3) {
        const int a = table[in[i]], b = table[in[i + 1]], c = table[in[i + 2]], d = table[in[i + 3]];
        if ((a | b | c | d) < 0) return std::nullopt;
        const unsigned v = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
        out[0] = static_cast<std::uint8_t>(v >> 16);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v);
    }
    if (text.empty()) return data;
    // The last group: "xx==", "xxx=" or whole; '=' nowhere else.
    const std::size_t i = whole;
    std::array<int, 4> s{};
    for (std::size_t k = 0; k < 4; ++k) s[k] = k >= 4 - padding ? 0 : table[in[i + k]];
    if (s[0] < 0 || s[1] < 0 || s[2] < 0 || s[3] < 0) return std::nullopt;
    const unsigned v = (unsigned(s[0]) << 18) | (unsigned(s[1]) << 12) | (unsigned(s[2]) << 6) | unsigned(s[3]);
    out[0] = static_cast<std::uint8_t>(v >> 16);
    if (padding < 2) out[1] = static_cast<std::uint8_t>(v >> 8);
    if (padding < 1) out[2] = static_cast<std::uint8_t>(v);
    return data;
}

}  // namespace platform::foundation
