#include "platform/graphics/color.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace platform::graphics {

std::string ColorSpace::name() const {
    switch (kind_) {
        case Kind::deviceRGB: return "deviceRGB";
        case Kind::calibratedRGB: return "calibratedRGB";
        case Kind::genericRGB: return "genericRGB";
        case Kind::genericLinearRGB: return "genericLinearRGB";
        case Kind::genericGray: return "genericGray";
    }
    return "unknown";
}

std::string ColorSpace::description() const {
    switch (kind_) {
        case Kind::deviceRGB: return "Device RGB colour space (3 components)";
        case Kind::calibratedRGB: return "Calibrated RGB colour space (3 components)";
        case Kind::genericRGB: return "Generic RGB colour space (3 components)";
        case Kind::genericLinearRGB: return "Generic linear RGB colour space (3 components)";
        case Kind::genericGray: return "Generic grey colour space (1 component)";
    }
    return "Unknown colour space";
}

Color::Color(ColorSpace space, std::vector<double> components, double alpha)
    : space_(space), components_(std::move(components)), alpha_(alpha) {
    // A wrong component count would make every later conversion read past the
    // end; pad or cut to the space's count instead.
    components_.resize(static_cast<size_t>(space_.numberOfColorComponents()), 0.0);
}

Color Color::rgb(double r, double g, double b, double a, ColorSpace space) {
    if (space.model() != ColorSpace::Model::rgb) space = ColorSpace::deviceRGB();
    return Color(space, {r, g, b}, a);
}

Color Color::gray(double white, double a) { return Color(ColorSpace::genericGray(), {white}, a); }

double srgbToLinear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double v) {
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

void Color::displayRGBA(double& r, double& g, double& b, double& a) const {
    if (space_.model() == ColorSpace::Model::gray) {
        r = g = b = components_[0];
    } else if (space_.isLinear()) {
        r = linearToSrgb(components_[0]);
        g = linearToSrgb(components_[1]);
        b = linearToSrgb(components_[2]);
    } else {
        r = components_[0];
        g = components_[1];
        b = components_[2];
    }
    a = alpha_;
}

std::optional<Color> Color::usingColorSpace(ColorSpace target) const {
    if (target == space_) return *this;
    double r, g, b, a;
    displayRGBA(r, g, b, a);
    if (target.model() == ColorSpace::Model::gray) {
        const double luma = srgbToLinear(r) * 0.2126 + srgbToLinear(g) * 0.7152 + srgbToLinear(b) * 0.0722;
        return Color(target, {linearToSrgb(luma)}, a);
    }
    if (target.isLinear()) return Color(target, {srgbToLinear(r), srgbToLinear(g), srgbToLinear(b)}, a);
    return Color(target, {r, g, b}, a);
}

std::string Color::description() const {
    std::string text = space_.name();
    for (double c : components_) text += fmt::format(" {:g}", c);
    text += fmt::format(" {:g}", alpha_);
    return text;
}

}  // namespace platform::graphics
