#pragma once
// The benchmark's rich 1024 x 1024 icon drawing: 300 translucent gradient shapes over a
// blurred glow, and hairlines, as an exported app icon has them.
#include <cstdint>
#include <cstdio>
#include <string>

namespace gwbench {

// Always the same drawing: a fixed linear congruential sequence picks every number.
inline std::string richSvg() {
    std::uint32_t state = 12345;
    auto next = [&](int range) {
        state = state * 1103515245u + 12345u;
        return static_cast<int>((state >> 8) % static_cast<std::uint32_t>(range));
    };
    auto colour = [&] {
        char text[8];
        std::snprintf(text, sizeof text, "#%02x%02x%02x", next(256), next(256), next(256));
        return std::string(text);
    };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1024\" height=\"1024\" "
                      "viewBox=\"0 0 1024 1024\">\n<defs>\n";
    for (int i = 0; i < 40; ++i) {
        svg += "<radialGradient id=\"g" + std::to_string(i) + "\" cx=\"0." + std::to_string(2 + next(6)) +
               "\" cy=\"0." + std::to_string(2 + next(6)) + "\" r=\"0.7\"><stop offset=\"0\" stop-color=\"" +
               colour() + "\"/><stop offset=\"0.6\" stop-color=\"" + colour() +
               "\" stop-opacity=\"0.8\"/><stop offset=\"1\" stop-color=\"" + colour() +
               "\" stop-opacity=\"0.3\"/></radialGradient>\n";
    }
    svg += "<filter id=\"glow\" x=\"-20%\" y=\"-20%\" width=\"140%\" height=\"140%\">"
           "<feGaussianBlur stdDeviation=\"18\"/></filter>\n</defs>\n"
           "<rect width=\"1024\" height=\"1024\" fill=\"#0b1426\"/>\n"
           "<g filter=\"url(#glow)\"><circle cx=\"512\" cy=\"470\" r=\"260\" fill=\"#2a6df4\" "
           "opacity=\"0.6\"/><circle cx=\"380\" cy=\"640\" r=\"150\" fill=\"#f45d2a\" opacity=\"0.5\"/></g>\n";
    auto point = [&] { return std::to_string(60 + next(904)) + " " + std::to_string(60 + next(904)); };
    for (int i = 0; i < 300; ++i) {
        svg += "<path d=\"M" + point() + " C" + point() + " " + point() + " " + point() + " S" + point() + " " +
               point() + " Z\" fill=\"url(#g" + std::to_string(i % 40) + ")\" opacity=\"0." +
               std::to_string(3 + next(6)) + "\"/>\n";
    }
    // Hairlines: white strokes from a quarter to two units wide.
    for (int i = 0; i < 60; ++i) {
        svg += "<path d=\"M" + point() + " Q" + point() + " " + point() + "\" fill=\"none\" stroke=\"#ffffff\" "
               "stroke-opacity=\"0.85\" stroke-width=\"" + std::to_string(0.25 + 0.03 * next(60)).substr(0, 4) +
               "\"/>\n";
    }
    return svg + "</svg>\n";
}

}  // namespace gwbench
