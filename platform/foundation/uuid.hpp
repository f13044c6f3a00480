#pragma once
// A 128-bit universally unique identifier (random, version 4); stands in for the
// platform's UUID object.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

class UUID {
public:
    // A fresh random identifier.
    UUID();
    explicit UUID(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}
    // Parses "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" (either case); anything else gives none.
    static std::optional<UUID> fromString(std::string_view text);

    // Upper-case 8-4-4-4-12 form.
    std::string uuidString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace platform::foundation
