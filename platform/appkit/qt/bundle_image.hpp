#pragma once
// Stands in for looking up the application's named images: "<name>.svg" or "<name>.png"
// in the bundle's "images" folder, loaded once and kept.
#include "platform/graphics/image.hpp"

#include <string_view>

namespace platform::appkit::qt {

// Null when the bundle has no such image or it does not load.
platform::graphics::ImagePtr bundleImage(std::string_view name);

}  // namespace platform::appkit::qt
