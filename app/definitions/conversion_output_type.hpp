#pragma once
// The fourteen kinds of output a conversion can make, and the six platforms under
// which the output-type menu groups them.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

enum class ConversionOutputType : std::int64_t {
    iOSIcon = 0,
    macOSIcon = 1,
    asset = 2,
    iOSSplash = 3,
    watchIcon = 4,
    complicationIcon = 5,
    iMessageIcon = 6,
    tvOSIcon = 7,
    tvOSSplash = 8,
    tvOSTopShelf = 9,
    tvOSTopShelfWide = 10,
    tvOSLeaderboard = 11,
    tvOSGameCenterDashboard = 12,
    catalyst = 13,
};

enum class Platform : std::int64_t {
    iOS = 0,
    tvOS = 1,
    tvOSGameCenter = 2,
    watchOS = 3,
    macOS = 4,
    universal = 5,
};

namespace ConversionOutputTypes {

inline constexpr std::size_t kCount = 14;

// The case for 0...13; none otherwise (negative values included).
std::optional<ConversionOutputType> fromRawValue(std::int64_t rawValue);
constexpr std::int64_t rawValue(ConversionOutputType type) { return static_cast<std::int64_t>(type); }

// Raw-value order.
const std::array<ConversionOutputType, kCount>& allCases();

// The case whose name equals `name` exactly; the names are also the command-line names.
std::optional<ConversionOutputType> fromCommandLineName(std::string_view name);
std::string_view commandLineName(ConversionOutputType type);

Platform platform(ConversionOutputType type);
std::string_view typeDisplayNameKey(ConversionOutputType type);

// The localised name of the type alone.
const std::string& typeDisplayName(ConversionOutputType type);
// The platform's name, a blank, the type's name.
std::string displayName(ConversionOutputType type);

// Menu order: the platforms in raw order, each with its own output types.
std::vector<ConversionOutputType> allCasesByPlatform();

}  // namespace ConversionOutputTypes

namespace Platforms {

inline constexpr std::size_t kCount = 6;

std::optional<Platform> fromRawValue(std::int64_t rawValue);
const std::array<Platform, kCount>& allCases();
std::string_view displayNameKey(Platform platform);
const std::string& displayName(Platform platform);
// The platform's output types in menu order (a fresh list on every call).
std::vector<ConversionOutputType> outputTypes(Platform platform);

}  // namespace Platforms

}  // namespace gw
