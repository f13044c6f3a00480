#pragma once
// Shared pieces of the window tests: one-colour PNG files, an engine set up as the main
// window sets it up, and user actions on the already-exists windows.
#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/engine/glyphwright.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/engine/glyphwright_test_support.hpp"
#include "platform/appkit/qt/matrix.hpp"
#include "platform/graphics/bitmap.hpp"

#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace gwtest::ui {

namespace pg = platform::graphics;

inline pg::ImagePtr solidImage(int width, int height, std::uint32_t rgb) {
    const std::uint32_t argb = 0xFF000000u | rgb;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) std::memcpy(&pixels[i], &argb, 4);
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(width, height, width * 4, std::move(pixels), false)));
}

// An opaque PNG of one colour (0xRRGGBB).
inline std::filesystem::path writeSolidPng(const std::filesystem::path& path, int width, int height, std::uint32_t rgb) {
    const auto data = gw::pngData(*solidImage(width, height, rgb));
    EXPECT_TRUE(data.has_value());
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
    return path;
}

// An image set as a catalog holds it: one picture and its Contents.json.
inline void writeImageSet(const std::filesystem::path& folder, std::uint32_t rgb, int size = 64) {
    writeSolidPng(folder / (folder.stem().string() + ".png"), size, size, rgb);
    std::ofstream(folder / "Contents.json") << "{\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n";
}

// The colour at the centre of a picture, 0xRRGGBB.
inline std::uint32_t centreColour(const pg::ImagePtr& image) {
    if (!image) return 0xFFFFFFFFu;
    const auto bitmap = image->renderBitmap(8, 8);
    if (!bitmap) return 0xFFFFFFFFu;
    return bitmap->pixelAt(4, 4) & 0xFFFFFFu;
}

// Checks that `control` says what it is: the label beside it (the one of `panel` whose
// buddy it is) and its accessible name read `name`, and it has a tooltip.
inline void expectLabelled(const QWidget& panel, QWidget* control, const char* name) {
    SCOPED_TRACE(name);
    QString label;
    for (auto* each : panel.findChildren<QLabel*>())
        if (each->buddy() == control) label = each->text();
    EXPECT_EQ(label, name);
    EXPECT_EQ(control->accessibleName(), name);
    EXPECT_FALSE(control->toolTip().isEmpty());
}

// Chooses a row as a user does.
inline void clickRow(platform::appkit::qt::Matrix& matrix, int row) {
    QTest::mouseClick(matrix.rowButton(row), Qt::LeftButton);
}

}  // namespace gwtest::ui
