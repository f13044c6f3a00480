#pragma once
// The device kinds an image-set asset serves.
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string_view>

namespace gw {

enum class DeviceType : std::int64_t {
    universal = 0,
    iphone = 1,
    ipad = 2,
    mac = 3,
    tv = 4,
    watch = 5,
};

using DeviceTypes = std::set<DeviceType>;

// Every case, in raw-value order.
inline constexpr std::array<DeviceType, 6> allDeviceTypes = {DeviceType::universal, DeviceType::iphone,
                                                             DeviceType::ipad,      DeviceType::mac,
                                                             DeviceType::tv,        DeviceType::watch};

// 0 to 5 only; any other value gives none.
inline std::optional<DeviceType> deviceTypeFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 5) return std::nullopt;
    return static_cast<DeviceType>(raw);
}

inline std::int64_t rawValue(DeviceType type) { return static_cast<std::int64_t>(type); }

// The idiom written into an image set's Contents.json for this device kind.
std::string_view idiom(DeviceType type);

// Pixels per point of the largest screens of this device kind.
double scaleFactor(DeviceType type);

}  // namespace gw
