#include "app/ui/value_transformers.hpp"

#include "app/foundation/image_categories.hpp"
#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/bundle_image.hpp"

#include <fmt/format.h>

#include <cmath>

namespace gw {

using platform::graphics::Color;

Color controlTextColor() { return Color::black(); }

KeyValue OLVBoolToBlackAndWhiteTransformer::transformedValue(const KeyValue& value) const {
    return value.boolValue() ? Color::white() : controlTextColor();
}

KeyValue OLVZoomAtDefaultTransformer::transformedValue(const KeyValue& value) const {
    return std::int64_t{value.floatValue() != 1.0f ? 1 : 0};
}

KeyValue OLVImageSizeToLabelTextTransformer::transformedValue(const KeyValue& value) const {
    auto prefix = LocalizedString::text("image-size-label.prefix");
    if (auto image = value.image()) {
        auto size = pixelSize(*image);
        return prefix + fmt::format("{:.0f} x {:.0f}", size.width, size.height);
    }
    return prefix + LocalizedString::text("image-size-label.no-image");
}

KeyValue OLVImageWithMultipleValuesPlaceholder::transformedValue(const KeyValue& value) const {
    if (value.isMultipleValues()) return platform::appkit::qt::bundleImage("Multiple Images");
    return value;
}

KeyValue OLVFloatToPercentageStringTransformer::transformedValue(const KeyValue& value) const {
    const double product = static_cast<double>(value.floatValue() * 100.0f);
    // The float product carries noise in its last bits; a ten-thousandth is far above
    // it and far below any percentage a user can set.
    const double cleaned = std::round(product * 1e4) / 1e4;
    const double truncated = std::trunc(cleaned);
    if (!std::isfinite(truncated) || std::fabs(truncated) > 9.2e18) return std::string("0%");
    return fmt::format("{}%", static_cast<long>(truncated));
}

KeyValue BoolToBlackAndWhiteTransformer::transformedValue(const KeyValue& value) const {
    auto* flag = std::get_if<bool>(&value.storage());
    if (!flag) return {};
    return *flag ? Color::white() : controlTextColor();
}

KeyValue NonEmptyArrayTransformer::transformedValue(const KeyValue& value) const {
    auto* integer = std::get_if<std::int64_t>(&value.storage());
    if (!integer) return {};
    return *integer > 0;
}

void registerInterfaceValueTransformers() {
    using platform::appkit::ValueTransformer;
    ValueTransformer::setValueTransformer(std::make_shared<OLVBoolToBlackAndWhiteTransformer>(),
                                          std::string(OLVBoolToBlackAndWhiteTransformer::className));
    ValueTransformer::setValueTransformer(std::make_shared<OLVZoomAtDefaultTransformer>(),
                                          std::string(OLVZoomAtDefaultTransformer::className));
    ValueTransformer::setValueTransformer(std::make_shared<OLVImageSizeToLabelTextTransformer>(),
                                          std::string(OLVImageSizeToLabelTextTransformer::className));
    ValueTransformer::setValueTransformer(std::make_shared<OLVImageWithMultipleValuesPlaceholder>(),
                                          std::string(OLVImageWithMultipleValuesPlaceholder::className));
    ValueTransformer::setValueTransformer(std::make_shared<OLVFloatToPercentageStringTransformer>(),
                                          std::string(OLVFloatToPercentageStringTransformer::className));
}

}  // namespace gw
