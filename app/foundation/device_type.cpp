#include "app/foundation/device_type.hpp"

namespace gw {

std::string_view idiom(DeviceType type) {
    switch (type) {
        case DeviceType::universal: return "universal";
        case DeviceType::iphone: return "iphone";
        case DeviceType::ipad: return "ipad";
        case DeviceType::mac: return "mac";
        case DeviceType::tv: return "tv";
        case DeviceType::watch: return "watch";
    }
    return "universal";
}

double scaleFactor(DeviceType type) {
    switch (type) {
        case DeviceType::universal:
        case DeviceType::iphone: return 3.0;
        case DeviceType::ipad:
        case DeviceType::mac:
        case DeviceType::tv:
        case DeviceType::watch: return 2.0;
    }
    return 3.0;
}

}  // namespace gw
