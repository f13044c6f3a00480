#pragma once
// The rendering settings a type builder hands to every picture of one folder.
#include "app/foundation/image_definition.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/scale_type.hpp"
#include "platform/graphics/color.hpp"

#include <optional>

namespace gw {

struct ImageSettings {
    // Where the background colour comes from (the name is spelled so on purpose: it is
    // the name the rest of the program knows it by).
    class BackgoundColorSetting {
    public:
        enum class Case : int { fixed = 0, useCornerPixelColor = 1, useBackgroundColor = 2, transparent = 3, userPreference = 4 };

        static BackgoundColorSetting fixed(platform::graphics::Color colour) { return {Case::fixed, std::move(colour)}; }
        static BackgoundColorSetting useCornerPixelColor() { return {Case::useCornerPixelColor, std::nullopt}; }
        static BackgoundColorSetting useBackgroundColor() { return {Case::useBackgroundColor, std::nullopt}; }
        static BackgoundColorSetting transparent() { return {Case::transparent, std::nullopt}; }
        // Stands for the user's setting; must be resolved to another case before use.
        static BackgoundColorSetting userPreference() { return {Case::userPreference, std::nullopt}; }

        Case settingCase() const { return case_; }
        // The colour of a fixed setting.
        const std::optional<platform::graphics::Color>& fixedColour() const { return colour_; }

        // The colour for a picture: fixed, its corner colour, its own background colour,
        // or clear where those are absent. userPreference is a broken invariant.
        platform::graphics::Color resolvedColour(const ImageInput& imageInput) const;

        friend bool operator==(const BackgoundColorSetting&, const BackgoundColorSetting&) = default;

    private:
        BackgoundColorSetting(Case c, std::optional<platform::graphics::Color> colour)
            : case_(c), colour_(std::move(colour)) {}
        Case case_;
        std::optional<platform::graphics::Color> colour_;
    };

    ScaleType scaleType = ScaleType::stretch;
    float zoom = 1.0f;
    BackgoundColorSetting backgroundColorSetting = BackgoundColorSetting::transparent();
    bool isAlphaChannelRemoved = false;
    ImageDefinition::Format format = ImageDefinition::Format::png;
    bool roundCorners = false;
    bool addShadow = false;
};

}  // namespace gw
