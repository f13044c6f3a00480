#include "app/definitions/assets_folder_builder.hpp"

#include "catalog_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using pf::Value;

const pf::URL kBrand = pf::URL::fileURL("/tmp/gw-assets/App Icon & Top Shelf Image.brandassets", true);

using gwtest::child;

gw::FolderDefinition folder(const std::string& name) { return {kBrand.appendingPathComponent(name, true), {}, {}, {}}; }

TEST(AssetsFolder, ListsEachChildByItsFolderNameAndMetadataInOrder) {
    gw::AssetsFolderBuilder builder(kBrand);
    gw::ImageDefinition image;
    image.outputDirectory = kBrand.appendingPathComponent("loose.png", false);
    builder.subMetaDataDefinitionPairs = {
        child({{"role", Value("top-shelf-image")}}, folder("Top Shelf Image.imageset")),
        child({{"filename", Value("Own Name")}, {"idiom", Value("tv")}}, folder("Stack.imagestack")),
        child({{"role", Value("slot")}}),
        child({}, image),
    };
    builder.setMetaData({{"idiom", Value("tv")}});
    const auto definition = builder.folderDefinition();
    EXPECT_EQ(Value(definition.contentsDictionary),
              Value::dict(
                  {{"assets",
                    Value::array({Value::dict({{"filename", "Top Shelf Image.imageset"}, {"role", "top-shelf-image"}}),
                                  Value::dict({{"filename", "Own Name"}, {"idiom", "tv"}}),
                                  Value::dict({{"role", "slot"}}), Value::dict({{"filename", "loose.png"}})})},
                   {"info", Value(gw::contentsInfoBlock())["info"]}}));
    // Only folders become subfolders; the folder's own entry is its parent's business.
    ASSERT_EQ(definition.subfolderDefinitions.size(), 2u);
    EXPECT_EQ(definition.subfolderDefinitions[1].outputDirectory.lastPathComponent(), "Stack.imagestack");
    EXPECT_TRUE(definition.imageDefinitions.empty());
    EXPECT_FALSE(definition.contentsDictionary.contains("idiom"));
}

TEST(ImageFolder, IsMadeNewWithoutReadingTheExistingFile) {
    gwtest::TempDir dir;
    gwtest::writeFile(dir / "Contents.json", R"({"images": [{"idiom": "ipad", "filename": "kept?.png"}]})");
    gw::ImageFolderBuilder builder(pf::URL::fileURL(dir.path(), true));
    const Value info = Value(gw::contentsInfoBlock())["info"];
    EXPECT_EQ(Value(builder.contentsDictionary()), Value::dict({{"images", Value::array({})}, {"info", info}}));

    gw::ImageDefinition image;
    image.outputDirectory = builder.outputDirectory.appendingPathComponent("a.png", false);
    builder.subMetaDataAndDefinitionProviders = {child({{"idiom", Value("iphone")}}, image),
                                                 child({{"idiom", Value("mac")}})};
    const auto definition = builder.folderDefinition();
    EXPECT_EQ(Value(definition.contentsDictionary)["images"],
              Value::array({Value::dict({{"idiom", "iphone"}}), Value::dict({{"idiom", "mac"}})}));
    ASSERT_EQ(definition.imageDefinitions.size(), 1u);
    EXPECT_TRUE(definition.subfolderDefinitions.empty());
}

}  // namespace
