#pragma once
// The value transformers the interface binds through. The five with the OLV prefix are
// named by class name (registerInterfaceValueTransformers); the two others carry their
// class name as identifier and the application registers them under it.
#include "platform/appkit/value_transformer.hpp"

#include <string_view>

namespace gw {

using platform::appkit::KeyValue;

// The colour of control text on our light control backgrounds.
platform::graphics::Color controlTextColor();

// Booleans: white for true, the control-text colour for false or nil.
class OLVBoolToBlackAndWhiteTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view className = "OLVBoolToBlackAndWhiteTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// 1 when the zoom, as a 32-bit float, is not exactly 1, else 0.
class OLVZoomAtDefaultTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view className = "OLVZoomAtDefaultTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// "Input image's dimensions: " and the pixel size ("%.0f x %.0f"), or "(no image yet)".
class OLVImageSizeToLabelTextTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view className = "OLVImageSizeToLabelTextTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// The multiple-values marker becomes the bundle image "Multiple Images".
class OLVImageWithMultipleValuesPlaceholder : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view className = "OLVImageWithMultipleValuesPlaceholder";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// "53%": the fraction times 100, truncated toward zero after the noise of the 32-bit
// product is rounded away (0.53 is 52.999996 as a float product, and means 53).
class OLVFloatToPercentageStringTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view className = "OLVFloatToPercentageStringTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// A transformer whose identifier, and registered name, is its class name.
template <class T>
concept IdentifierMatchesClassName = requires {
    { T::identifier } -> std::convertible_to<std::string_view>;
};

template <IdentifierMatchesClassName T>
void registerValueTransformer() {
    platform::appkit::ValueTransformer::setValueTransformer(std::make_shared<T>(), std::string(T::identifier));
}

// Booleans only: white for true, the control-text colour for false, nil otherwise.
class BoolToBlackAndWhiteTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view identifier = "BoolToBlackAndWhiteTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// Integers only: true above 0, false otherwise, nil for anything else.
class NonEmptyArrayTransformer : public platform::appkit::ValueTransformer {
public:
    static constexpr std::string_view identifier = "NonEmptyArrayTransformer";
    KeyValue transformedValue(const KeyValue& value) const override;
};

// Registers the five OLV transformers under their class names (idempotent).
void registerInterfaceValueTransformers();

}  // namespace gw
