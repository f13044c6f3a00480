#include "platform/foundation/uuid.hpp"

#include "platform/foundation/error.hpp"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace platform::foundation {

UUID::UUID() {
    // From the kernel: every picture read has one, and a cryptographic library's
    // generator would be set up anew in each thread that makes one.
    ssize_t got;
    while ((got = ::getrandom(bytes_.data(), bytes_.size(), 0)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(bytes_.size())) {
        std::random_device rd;
        for (auto& b : bytes_) b = static_cast<std::uint8_t>(rd());
    }
    bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);
    bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<std::uint8_t, 16> out{};
    std::size_t byte = 0;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hex(text[i]), lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return UUID(out);
}

std::string UUID::uuidString() const {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes_[i] >> 4]);
        s.push_back(digits[bytes_[i] & 0xF]);
    }
    return s;
}

}  // namespace platform::foundation
