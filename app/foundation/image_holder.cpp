#include "app/foundation/image_holder.hpp"

#include "app/foundation/image_categories.hpp"

namespace gw {

platform::graphics::Size BareImageHolder::size() const {
    return image_ ? image_->size() : platform::graphics::Size{};
}

bool BareImageHolder::isVector() const { return image_ && pdfImageRep(*image_) != nullptr; }

std::optional<platform::graphics::Color> BareImageHolder::cornerPixelColor() const {
    if (!image_) return std::nullopt;
    return gw::cornerPixelColor(*image_);
}

}  // namespace gw
