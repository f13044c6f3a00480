#pragma once
// Pictures drawn by the tests themselves: bitmaps of chosen pixels written as PNG
// (optionally with a resolution), PDF pages and SVG documents; and settings pointed
// at a scratch folder with every default registered.
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "support/temp_dir.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gwtest {
// Own inline namespace: another test helper header defines a different `Rgba`, and the
// two must not meet as one inline entity when test files share an executable.
inline namespace pictures {

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
};

// Premultiplied native-endian ARGB32 pixels from a colour per pixel (x, y from the
// top-left).
inline platform::graphics::BitmapPtr makeBitmap(int width, int height, const std::function<Rgba(int, int)>& pixel) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
    bool alpha = false;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Rgba c = pixel(x, y);
            if (c.a != 255) alpha = true;
            auto pre = [&](std::uint8_t v) { return static_cast<std::uint32_t>((v * c.a + 127) / 255); };
            std::uint32_t word = (std::uint32_t{c.a} << 24) | (pre(c.r) << 16) | (pre(c.g) << 8) | pre(c.b);
            std::memcpy(&bytes[(static_cast<std::size_t>(y) * width + x) * 4], &word, 4);
        }
    }
    return platform::graphics::makeSharedBitmap(
        platform::graphics::Bitmap(width, height, width * 4, std::move(bytes), alpha));
}

inline platform::graphics::ImagePtr makeImage(int width, int height, Rgba colour = {200, 100, 50, 255}) {
    return platform::graphics::Image::withBitmap(makeBitmap(width, height, [&](int, int) { return colour; }));
}

inline std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A PNG of the bitmap; with `dpi`, a resolution chunk says so.
inline void writePng(const std::filesystem::path& path, const platform::graphics::BitmapPtr& bitmap,
                     std::optional<double> dpi = std::nullopt) {
    auto png = platform::graphics::BitmapRep(bitmap).pngData();
    if (dpi) {
        const auto perMetre = static_cast<std::uint32_t>(*dpi / 0.0254 + 0.5);
        std::vector<std::uint8_t> chunk = {0, 0, 0, 9, 'p', 'H', 'Y', 's'};
        for (int i = 0; i < 2; ++i) {
            for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(perMetre >> shift));
        }
        chunk.push_back(1);  // unit: metre
        const std::uint32_t crc = crc32(chunk.data() + 4, chunk.size() - 4);
        for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
        // After the signature (8 bytes) and the header chunk (25 bytes).
        png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    }
    writeBytes(path, png);
}

inline void writePng(const std::filesystem::path& path, int width, int height, Rgba colour = {200, 100, 50, 255},
                     std::optional<double> dpi = std::nullopt) {
    writePng(path, makeBitmap(width, height, [&](int, int) { return colour; }), dpi);
}

// A one-page PDF of the given page size with a filled square.
inline void writePdf(const std::filesystem::path& path, double width, double height) {
    auto pdf = platform::graphics::PdfContext::toFile(path, platform::graphics::Rect(0, 0, width, height));
    pdf->beginPage();
    pdf->graphicsContext()->setFillColor(platform::graphics::Color::rgb(0, 0, 1));
    pdf->graphicsContext()->fillRect(platform::graphics::Rect(width / 4, height / 4, width / 2, height / 2));
    pdf->endPage();
    pdf->close();
}

inline void writeSvg(const std::filesystem::path& path, const std::string& sizeAttributes) {
    writeFile(path, "<svg xmlns=\"http://www.w3.org/2000/svg\" " + sizeAttributes +
                        "><rect x=\"0\" y=\"0\" width=\"10\" height=\"10\" fill=\"red\"/></svg>");
}

// Settings in a scratch folder, with every key's default registered.
class ScopedSettings {
public:
    ScopedSettings() {
        platform::foundation::UserDefaults::resetStandard();
        defaults().registerDefaults(gw::registeredDefaults());
    }
    ~ScopedSettings() { platform::foundation::UserDefaults::resetStandard(); }
    platform::foundation::UserDefaults& defaults() { return platform::foundation::UserDefaults::standard(); }
    bool boolFor(gw::UserDefaultsKey key) { return defaults().boolForKey(gw::rawValue(key)); }
    void set(gw::UserDefaultsKey key, bool value) { defaults().setBool(value, gw::rawValue(key)); }

private:
    ScopedXdgHome home_;
};

}  // namespace pictures
}  // namespace gwtest
