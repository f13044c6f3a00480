#pragma once
// Colours with their colour space (the platform's colour and colour-space
// objects). Components are stored as given, in the space's own encoding.
#include <optional>
#include <string>
#include <vector>

namespace platform::graphics {

class ColorSpace {
public:
    enum class Kind {
        deviceRGB,
        calibratedRGB,
        genericRGB,
        genericLinearRGB,
        genericGray,
    };
    enum class Model { rgb, gray };

    constexpr ColorSpace(Kind kind = Kind::deviceRGB) : kind_(kind) {}  // NOLINT(google-explicit-constructor)
    static ColorSpace deviceRGB() { return ColorSpace(Kind::deviceRGB); }
    static ColorSpace calibratedRGB() { return ColorSpace(Kind::calibratedRGB); }
    static ColorSpace genericRGB() { return ColorSpace(Kind::genericRGB); }
    static ColorSpace genericLinearRGB() { return ColorSpace(Kind::genericLinearRGB); }
    static ColorSpace genericGray() { return ColorSpace(Kind::genericGray); }

    Kind kind() const { return kind_; }
    Model model() const { return kind_ == Kind::genericGray ? Model::gray : Model::rgb; }
    // Colour components without alpha: 3 for RGB spaces, 1 for grey.
    int numberOfColorComponents() const { return model() == Model::gray ? 1 : 3; }
    bool isLinear() const { return kind_ == Kind::genericLinearRGB; }
    // Stable identifier, e.g. "genericRGB".
    std::string name() const;
    // Stable human text, e.g. "Generic RGB colour space".
    std::string description() const;

    friend bool operator==(ColorSpace, ColorSpace) = default;

private:
    Kind kind_;
};

class Color {
public:
    // Opaque black in device RGB.
    Color() : Color(ColorSpace::deviceRGB(), {0, 0, 0}, 1) {}
    Color(ColorSpace space, std::vector<double> components, double alpha);

    static Color rgb(double r, double g, double b, double a = 1, ColorSpace space = ColorSpace::deviceRGB());
    static Color gray(double white, double a = 1);
    // clear is transparent black; white and black are opaque, in the grey space.
    static Color clear() { return gray(0, 0); }
    static Color white() { return gray(1, 1); }
    static Color black() { return gray(0, 1); }

    const ColorSpace& colorSpace() const { return space_; }
    const std::vector<double>& components() const { return components_; }
    double alpha() const { return alpha_; }
    // Colour components plus alpha.
    int numberOfComponents() const { return static_cast<int>(components_.size()) + 1; }

    // The same colour in another space; gamma-encoded spaces are treated as one
    // (sRGB-like curve), the linear one converts through that curve.
    std::optional<Color> usingColorSpace(ColorSpace target) const;
    // Non-linear (display) RGB with alpha, each 0...1, for drawing.
    void displayRGBA(double& r, double& g, double& b, double& a) const;

    Color withAlpha(double alpha) const { return Color(space_, components_, alpha); }

    // Stable text, e.g. "genericRGB 1 0.5 0 1".
    std::string description() const;

    friend bool operator==(const Color&, const Color&) = default;

private:
    ColorSpace space_;
    std::vector<double> components_;
    double alpha_;
};

// The sRGB transfer curve, used between gamma-encoded and linear light.
double srgbToLinear(double v);
double linearToSrgb(double v);

}  // namespace platform::graphics
