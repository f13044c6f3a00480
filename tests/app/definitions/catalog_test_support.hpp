#pragma once
// What the tests of the catalog builders share: real picture files loaded as pictures,
// the comparison of a planned tree with its golden files, and a small writer that puts
// a planned tree on disk the way the engine's folder writer does (an existing folder
// and the files in it stay; Contents.json is replaced; every planned file is written).
#include "app/definitions/folder_definition.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/picture_test_support.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/json.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace platform::foundation {
// Readable values in failure messages.
[[maybe_unused]] static void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }
}  // namespace platform::foundation

namespace gwtest {

// A child of a folder builder: its metadata and, where it has one, its definition.
inline gw::MetaDataAndDefinitionProviderPtr child(platform::foundation::Dictionary metaData,
                                                  std::optional<gw::Definition> definition = {}) {
    return std::make_shared<gw::MetaDataDefinitionPair>(std::move(metaData), std::move(definition));
}

// A PNG file of the given pixel size written into `folder` and loaded from there.
inline gw::ImageInputPtr loadPng(const std::filesystem::path& folder, const std::string& name, int width, int height,
                                 Rgba colour = {200, 100, 50, 255}) {
    const auto path = folder / (name + ".png");
    writePng(path, width, height, colour);
    return gw::ImageInput::load(platform::foundation::URL::fileURL(path, false));
}

// An SVG document of the given point size written into `folder` and loaded (a vector picture).
inline gw::ImageInputPtr loadSvg(const std::filesystem::path& folder, const std::string& name, int width, int height) {
    const auto path = folder / (name + ".svg");
    writeSvg(path, fmt::format("width=\"{}\" height=\"{}\"", width, height));
    return gw::ImageInput::load(platform::foundation::URL::fileURL(path, false));
}

// Calls `visit` for every folder of the tree, parents first.
inline void forEachFolder(const gw::FolderDefinition& folder,
                          const std::function<void(const gw::FolderDefinition&)>& visit) {
    visit(folder);
    for (const auto& subfolder : folder.subfolderDefinitions) forEachFolder(subfolder, visit);
}

inline std::vector<gw::ImageDefinition> allImages(const gw::FolderDefinition& catalog) {
    std::vector<gw::ImageDefinition> images;
    forEachFolder(catalog, [&](const gw::FolderDefinition& folder) {
        images.insert(images.end(), folder.imageDefinitions.begin(), folder.imageDefinitions.end());
    });
    return images;
}

// Compares the tree with tests/fixtures/golden/<name>/: every folder's Contents.json
// (no folder more or less), and "images.txt", the sorted list of planned files as
// "<path below the output folder> <width>x<height>".
inline void expectMatchesGolden(const gw::FolderDefinition& catalog, const std::string& name) {
    namespace fs = std::filesystem;
    namespace pf = platform::foundation;
    const fs::path golden = fs::path(GW_FIXTURES_DIR) / "golden" / name;
    const fs::path output = catalog.outputDirectory.fsPath().parent_path();
    auto relative = [&](const pf::URL& url) { return url.fsPath().lexically_relative(output).string(); };

    std::size_t folders = 0;
    std::vector<std::string> lines;
    forEachFolder(catalog, [&](const gw::FolderDefinition& folder) {
        ++folders;
        const auto path = relative(folder.outputDirectory);
        SCOPED_TRACE(path);
        const auto file = golden / path / "Contents.json";
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_EQ(pf::Value(folder.contentsDictionary), pf::json::parse(pf::files::readString(file)));
        for (const auto& image : folder.imageDefinitions) {
            // Every file lands in the folder that lists it.
            EXPECT_EQ(image.outputDirectory.fsPath().parent_path(), folder.outputDirectory.fsPath());
            lines.push_back(fmt::format("{} {}x{}", relative(image.outputDirectory), static_cast<int>(image.size.width),
                                        static_cast<int>(image.size.height)));
        }
    });
    std::size_t goldenFolders = 0;
    for (const auto& entry : fs::recursive_directory_iterator(golden)) {
        if (entry.path().filename() == "Contents.json") ++goldenFolders;
    }
    EXPECT_EQ(folders, goldenFolders);

    std::sort(lines.begin(), lines.end());
    std::string list;
    for (const auto& line : lines) list += line + "\n";
    EXPECT_EQ(list, pf::files::readString(golden / "images.txt"));
}

// Writes the planned tree: a folder is created only when nothing is at its path,
// Contents.json is replaced, and each planned file is written as a blank picture of
// its size (the rendering itself is the engine's).
inline void writePlannedTree(const gw::FolderDefinition& folder) {
    namespace fs = std::filesystem;
    namespace pf = platform::foundation;
    const auto path = folder.outputDirectory.fsPath();
    if (!fs::exists(path)) fs::create_directories(path);
    pf::files::writeAtomically(path / "Contents.json",
                               pf::json::serialize(pf::Value(folder.contentsDictionary), {.prettyPrinted = true}));
    for (const auto& image : folder.imageDefinitions) {
        const auto file = image.outputDirectory.fsPath();
        if (image.format == gw::ImageDefinition::Format::pdf) {
            writePdf(file, image.size.width, image.size.height);
        } else {
            writePng(file, static_cast<int>(image.size.width), static_cast<int>(image.size.height));
        }
    }
    for (const auto& subfolder : folder.subfolderDefinitions) writePlannedTree(subfolder);
}

}  // namespace gwtest
