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

std::string base64Encoded(const Data& data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += kAlphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest == 1) {
        unsigned v = data[i] << 16;
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += "==";
    } else if (rest == 2) {
        unsigned v = (data[i] << 16) | (data[i + 1] << 8);
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += '=';
    }
    return text;
}

std::optional<Data> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Data data;
    data.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<int, 4> s{};
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++padding;
                s[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;  // data after padding
            s[k] = sextet(c);
            if (s[k] < 0) return std::nullopt;
        }
        unsigned v = (s[0] << 18) | (s[1] << 12) | (s[2] << 6) | s[3];
        data.push_back(static_cast<std::uint8_t>(v >> 16));
        if (padding < 2) data.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        if (padding < 1) data.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    return data;
}

}  // namespace platform::foundation
