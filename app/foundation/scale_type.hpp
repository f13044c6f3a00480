#pragma once
// How a picture is fitted into a target size.
#include <cstdint>
#include <optional>

namespace gw {

enum class ScaleType : std::int64_t {
    stretch = 0,     // drawn into the whole target; the aspect ratio is not kept
    aspectFill = 1,  // scaled by the larger factor and centred; the overflow is cut off
    aspectFit = 2,   // scaled to fit inside and centred; the margins stay transparent
};

// 0, 1 and 2 only; any other value gives none.
inline std::optional<ScaleType> scaleTypeFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<ScaleType>(raw);
}

inline std::int64_t rawValue(ScaleType type) { return static_cast<std::int64_t>(type); }

}  // namespace gw
