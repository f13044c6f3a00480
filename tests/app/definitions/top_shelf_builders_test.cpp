#include "app/definitions/top_shelf_builders.hpp"

#include "app/definitions/tvos_icon_builder.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "edited_manifest_support.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using pf::Value;

const std::string kBrandAssets = "Assets.xcassets/App Icon & Top Shelf Image.brandassets";

class TopShelfBuilders : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    Value writtenContents(const std::string& relative) {
        return pf::json::parse(pf::files::readString(dir_ / "out" / kBrandAssets / relative / "Contents.json"));
    }

    gwtest::TempDir dir_;
    pf::URL output_ = pf::URL::fileURL(dir_ / "out", true);
    std::shared_ptr<gwtest::AlwaysAllowTestFactory> factory_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
};

TEST_F(TopShelfBuilders, PlanTheGoldenTopShelfAndWideTopShelf) {
    auto shelf = gwtest::loadPng(dir_.path(), "Shelf", 1920, 720);
    gw::FolderDefinitionBuildertvOSTopShelf topShelf({{shelf}, gw::CollectionType::single}, output_, factory_);
    gwtest::expectMatchesGolden(topShelf.build(), "tvos-top-shelf");

    auto wide = gwtest::loadPng(dir_.path(), "Wide", 2320, 720);
    gw::FolderDefinitionBuildertvOSTopShelfWide wideShelf({{wide}, gw::CollectionType::single}, output_, factory_);
    const auto catalog = wideShelf.build();
    gwtest::expectMatchesGolden(catalog, "tvos-top-shelf-wide");
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.imageInput, wide);
        EXPECT_EQ(image.scaleType, gw::ScaleType::aspectFill);  // the setting never written
        EXPECT_TRUE(image.isAlphaChannelRemoved);
        EXPECT_EQ(image.backgroundColour, platform::graphics::Color::clear());
    }
    // Repeated builds give the same tree.
    EXPECT_EQ(Value(wideShelf.build().subfolderDefinitions[0].contentsDictionary),
              Value(catalog.subfolderDefinitions[0].contentsDictionary));
}

TEST_F(TopShelfBuilders, OnlyTheFilledSetIsAnAsset) {
    auto shelf = gwtest::loadPng(dir_.path(), "Shelf", 1920, 720);
    gw::FolderDefinitionBuildertvOSTopShelf builder({{shelf}, gw::CollectionType::single}, output_, factory_);
    using K = gw::WritingIntentKind;
    std::vector<K> kinds;
    for (const auto& request : factory_->requests()) kinds.push_back(request.kind);
    EXPECT_EQ(kinds, (std::vector<K>{K::catalog, K::append, K::append, K::append, K::asset, K::append}));
}

TEST_F(TopShelfBuilders, ReadTheirSettingsAtEachBuild) {
    auto shelf = gwtest::loadPng(dir_.path(), "Shelf", 1920, 720);
    gw::FolderDefinitionBuildertvOSTopShelf builder({{shelf}, gw::CollectionType::single}, output_, factory_);
    auto& defaults = pf::UserDefaults::standard();
    defaults.setInteger(2, gw::rawValue(gw::UserDefaultsKey::iconScaleType));
    defaults.setBool(false, gw::rawValue(gw::UserDefaultsKey::removeiOSIconTransparency));
    const auto images = gwtest::allImages(builder.build());
    ASSERT_EQ(images.size(), 2u);
    for (const auto& image : images) {
        EXPECT_EQ(image.scaleType, gw::ScaleType::aspectFit);
        EXPECT_FALSE(image.isAlphaChannelRemoved);
    }
}

TEST_F(TopShelfBuilders, KeepTheAppIconAndTheOtherShelfThatTheCatalogHolds) {
    // A tvOS app icon written first.
    std::vector<gw::ImageInputPtr> layers{gwtest::loadPng(dir_.path(), "Front", 200, 100),
                                          gwtest::loadPng(dir_.path(), "Back", 800, 480)};
    gw::FolderDefinitionBuildertvOSIcon icon({layers, gw::CollectionType::variants}, output_, factory_);
    gwtest::writePlannedTree(icon.build());
    const auto largeStack = writtenContents("App Icon - App Store.imagestack");
    const auto smallStack = writtenContents("App Icon.imagestack");
    ASSERT_EQ(smallStack["layers"].size(), 2u);

    // Then a top shelf, then a wide top shelf, into the same catalog.
    auto shelf = gwtest::loadPng(dir_.path(), "Shelf", 1920, 720);
    gw::FolderDefinitionBuildertvOSTopShelf topShelf({{shelf}, gw::CollectionType::single}, output_, factory_);
    gwtest::writePlannedTree(topShelf.build());
    const auto topShelfContents = writtenContents("Top Shelf Image.imageset");
    EXPECT_EQ(topShelfContents["images"].asArray()->at(0)["filename"], Value("TopShelf.png"));

    auto wide = gwtest::loadPng(dir_.path(), "Wide", 2320, 720);
    gw::FolderDefinitionBuildertvOSTopShelfWide wideShelf({{wide}, gw::CollectionType::single}, output_, factory_);
    gwtest::writePlannedTree(wideShelf.build());

    EXPECT_EQ(writtenContents("App Icon - App Store.imagestack"), largeStack);
    EXPECT_EQ(writtenContents("App Icon.imagestack"), smallStack);
    EXPECT_EQ(writtenContents("Top Shelf Image.imageset"), topShelfContents);
    const auto wideContents = writtenContents("Top Shelf Image Wide.imageset");
    EXPECT_EQ(wideContents["images"].asArray()->at(1)["filename"], Value("TopShelfWide@2x.png"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / kBrandAssets / "App Icon.imagestack/Back.imagestacklayer/Content.imageset/Back@2x.png"));
}

TEST_F(TopShelfBuilders, WithoutAPictureNothingIsPlanned) {
    EXPECT_THROW(gw::FolderDefinitionBuildertvOSTopShelfWide({{}, gw::CollectionType::single}, output_, factory_),
                 gw::ImageInputCollection::ImageInputCollectionError);
}

// The brand-assets folder lists its four parts in one fixed order, whatever the
// order of the manifest's subfolders.
TEST_F(TopShelfBuilders, TheBrandAssetsListTheirPartsInAFixedOrder) {
    gwtest::useEditedManifest([](Value& manifests) {
        auto& parts = *manifests.member("tvOSBrandAssets").member("assets").asArray();
        std::reverse(parts.begin(), parts.end());
    });
    auto shelf = gwtest::loadPng(dir_.path(), "Shelf", 1920, 720);
    gw::FolderDefinitionBuildertvOSTopShelf builder({{shelf}, gw::CollectionType::single}, output_, factory_);
    const auto brandAssets = builder.build().subfolderDefinitions.at(0);
    const std::vector<std::string> order{"App Icon - App Store.imagestack", "App Icon.imagestack",
                                         "Top Shelf Image.imageset", "Top Shelf Image Wide.imageset"};
    const Value contents(brandAssets.contentsDictionary);
    std::vector<std::string> listed;
    for (const auto& entry : *contents["assets"].asArray()) {
        listed.push_back(*entry["filename"].asString());
    }
    EXPECT_EQ(listed, order);
    std::vector<std::string> folders;
    for (const auto& folder : brandAssets.subfolderDefinitions) folders.push_back(folder.outputDirectory.lastPathComponent());
    EXPECT_EQ(folders, order);
    // The intents follow the same order, not the manifest's.
    std::vector<std::string> asked;
    for (const auto& request : factory_->requests()) asked.push_back(request.url.lastPathComponent());
    EXPECT_EQ(std::vector<std::string>(asked.begin() + 2, asked.end()), order);
}

}  // namespace
