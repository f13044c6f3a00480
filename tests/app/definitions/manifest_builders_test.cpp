#include "app/definitions/manifest_builders.hpp"

#include "definitions_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
namespace pg = platform::graphics;
using gw::ConfigFile;
using pf::Value;
using Setting = gw::ImageSettings::BackgoundColorSetting;
using CollectionError = gw::ImageInputCollection::ImageInputCollectionError;

ConfigFile::ConfigImageDefinition manifestImage(const std::string& name, double side, pf::Dictionary metaData) {
    return {name, std::move(metaData), {side, side}};
}

ConfigFile::ConfigFolderDefinition iconSet() {
    ConfigFile::ConfigFolderDefinition folder;
    folder.fileName = "Set.appiconset";
    folder.metaData = pf::Dictionary{{"role", "primary"}};
    folder.properties = pf::Dictionary{{"pre-rendered", true}};
    folder.imageDefinitions = {
        manifestImage("small.png", 20, {{"idiom", "iphone"}, {"scale", "1x"}}),
        manifestImage("large.png", 1024, {{"idiom", "ios-marketing"}, {"scale", "1x"}}),
        manifestImage("wide.png", 100, {{"idiom", "iphone"}, {"filename", "renamed.png"}}),
    };
    folder.imageDefinitions[2].size = {200, 100};
    // Never visited by the image-set builder.
    folder.folderDefinitions = {ConfigFile::ConfigFolderDefinition{"Inner.imageset", {}, {}, {}, {}}};
    return folder;
}

const pf::URL kFolder = pf::URL::fileURL("/tmp/out/Assets.xcassets/Set.appiconset", true);

TEST(ImageDefinitionBuilder, PlansThePictureWithTheFolderSettings) {
    auto picture = gwtest::pictureOfSize(1024, 1024);
    gw::ImageSettings settings;
    settings.scaleType = gw::ScaleType::aspectFit;
    settings.zoom = 0.75f;
    settings.backgroundColorSetting = Setting::fixed(pg::Color::white());
    settings.isAlphaChannelRemoved = true;
    settings.format = gw::ImageDefinition::Format::pdf;
    settings.roundCorners = true;
    settings.addShadow = true;
    gw::ImageDefinitionBuilder builder(picture, iconSet().imageDefinitions[2], kFolder, settings);

    const auto image = builder.imageDefinition();
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->imageInput, picture);
    EXPECT_EQ(image->outputDirectory.path(), "/tmp/out/Assets.xcassets/Set.appiconset/wide.png");
    EXPECT_EQ(image->size, (pg::Size{200, 100}));
    EXPECT_EQ(image->scaleType, gw::ScaleType::aspectFit);
    EXPECT_EQ(image->zoom, 0.75f);
    EXPECT_EQ(image->backgroundColour, pg::Color::white());
    EXPECT_TRUE(image->isAlphaChannelRemoved);
    EXPECT_EQ(image->format, gw::ImageDefinition::Format::pdf);
    EXPECT_TRUE(image->roundCorners);
    EXPECT_TRUE(image->addShadow);
    // A "filename" in the manifest metadata wins over the entry's file name in the list.
    EXPECT_EQ(Value(builder.metaData()), Value::dict({{"filename", "renamed.png"}, {"idiom", "iphone"}}));

    gw::ImageDefinitionBuilder withoutPicture(nullptr, iconSet().imageDefinitions[0], kFolder, settings);
    EXPECT_FALSE(withoutPicture.definition().has_value());
    EXPECT_EQ(Value(withoutPicture.metaData()), Value::dict({{"idiom", "iphone"}, {"scale", "1x"}}));
}

TEST(ImageDefinitionBuilder, ResolvesTheBackgroundColourPerPicture) {
    auto picture = gwtest::pictureOfSize(8, 8);
    auto colourFor = [&](Setting setting) {
        gw::ImageSettings settings;
        settings.backgroundColorSetting = setting;
        return gw::ImageDefinitionBuilder(picture, iconSet().imageDefinitions[0], kFolder, settings)
            .imageDefinition()
            ->backgroundColour;
    };
    EXPECT_EQ(colourFor(Setting::transparent()), pg::Color::clear());
    // A picture without a background colour of its own is rendered on clear.
    picture->setBackgroundColour(std::nullopt);
    EXPECT_EQ(colourFor(Setting::useBackgroundColor()), pg::Color::clear());
    picture->setBackgroundColour(pg::Color::rgb(1, 0, 0));
    EXPECT_EQ(colourFor(Setting::useBackgroundColor()), pg::Color::rgb(1, 0, 0));
    // The corner of an opaque white bitmap.
    const auto corner = colourFor(Setting::useCornerPixelColor());
    EXPECT_EQ(corner.alpha(), 1.0);
    EXPECT_DEATH((void)colourFor(Setting::userPreference()), "resolved");
}

TEST(ImageFolderFromConfigBuilder, ListsEveryManifestImageInOrder) {
    gw::ImageFolderFromConfigBuilder builder(kFolder, iconSet());
    EXPECT_EQ(Value(builder.metaData()), Value::dict({{"role", "primary"}}));
    // Before pictures are given: entries without "filename" and no files.
    auto empty = builder.folderDefinition();
    EXPECT_EQ(Value(empty.contentsDictionary)["images"],
              Value::array({Value::dict({{"idiom", "iphone"}, {"scale", "1x"}}),
                            Value::dict({{"idiom", "ios-marketing"}, {"scale", "1x"}}),
                            Value::dict({{"idiom", "iphone"}, {"filename", "renamed.png"}})}));
    EXPECT_TRUE(empty.imageDefinitions.empty());
    EXPECT_TRUE(empty.subfolderDefinitions.empty());
    // The entry's own metadata and properties stay out of its Contents.json.
    EXPECT_FALSE(empty.contentsDictionary.contains("properties"));
    EXPECT_FALSE(empty.contentsDictionary.contains("role"));

    auto noImages = iconSet();
    noImages.imageDefinitions.clear();
    EXPECT_EQ(Value(gw::ImageFolderFromConfigBuilder(kFolder, noImages).folderDefinition().contentsDictionary),
              Value::dict({{"images", Value::array({})},
                           {"info", Value::dict({{"version", 1}, {"author", "xcode"}})}}));
}

TEST(ImageFolderFromConfigBuilder, ChildrenWithoutPicturesOrWithFoldersAddNoFiles) {
    gw::ImageFolderFromConfigBuilder builder(kFolder, iconSet());
    auto picture = gwtest::pictureOfSize(64, 64);
    const auto images = iconSet().imageDefinitions;
    builder.setSubMetaDataAndDefinitionProviders({
        std::make_shared<gw::ImageDefinitionBuilder>(picture, images[0], kFolder, gw::ImageSettings{}),
        std::make_shared<gw::ImageDefinitionBuilder>(nullptr, images[1], kFolder, gw::ImageSettings{}),
        std::make_shared<gw::MetaDataDefinitionPair>(pf::Dictionary{{"folder", true}},
                                                     gw::FolderDefinition{kFolder, {}, {}, {}}),
    });
    const auto definition = builder.folderDefinition();
    ASSERT_EQ(definition.imageDefinitions.size(), 1u);
    EXPECT_EQ(definition.imageDefinitions[0].outputDirectory.lastPathComponent(), "small.png");
    EXPECT_EQ(Value(definition.contentsDictionary)["images"],
              Value::array({Value::dict({{"filename", "small.png"}, {"idiom", "iphone"}, {"scale", "1x"}}),
                            Value::dict({{"idiom", "ios-marketing"}, {"scale", "1x"}}),
                            Value::dict({{"folder", true}})}));
}

TEST(ConfigureImageDefinitionBuilders, ChoosesThePicturePerSizeByCollectionType) {
    auto big = gwtest::pictureOfSize(1024, 1024, "Big");
    auto small = gwtest::pictureOfSize(16, 16, "Small");
    auto wide = gwtest::pictureOfSize(400, 200, "Wide");
    const auto moved = pf::URL::fileURL("/tmp/elsewhere/Set.appiconset", true);

    auto plan = [&](gw::ImageInputCollection collection) {
        gw::ImageFolderFromConfigBuilder builder(kFolder, iconSet());
        builder.configureImageDefinitionBuilders(collection, gw::ImageSettings{}, moved);
        EXPECT_EQ(builder.outputDirectory(), moved);
        std::vector<std::string> chosen;
        for (const auto& image : builder.folderDefinition().imageDefinitions) {
            EXPECT_EQ(image.outputDirectory.deletingLastPathComponent(), moved);
            chosen.push_back(image.imageInput->imageName());
        }
        return chosen;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(plan({{small, big, wide}, gw::CollectionType::variants}), (V{"Small", "Big", "Wide"}));
    EXPECT_EQ(plan({{small}, gw::CollectionType::variants}), (V{"Small", "Small", "Small"}));
    EXPECT_EQ(plan({{big, small}, gw::CollectionType::single}), (V{"Big", "Big", "Big"}));
    EXPECT_EQ(plan({{wide}, gw::CollectionType::batch}), (V{"Wide", "Wide", "Wide"}));
}

TEST(ConfigureImageDefinitionBuilders, FailuresKeepTheOldChildren) {
    gw::ImageFolderFromConfigBuilder builder(kFolder, iconSet());
    const auto before = builder.subMetaDataAndDefinitionProviders();
    auto expectFailure = [&](gw::ImageInputCollection collection, CollectionError::Case expected) {
        try {
            builder.configureImageDefinitionBuilders(collection, gw::ImageSettings{}, kFolder);
            ADD_FAILURE() << "no error";
        } catch (const CollectionError& error) {
            EXPECT_EQ(error.errorCase(), expected);
        }
        EXPECT_EQ(builder.subMetaDataAndDefinitionProviders(), before);
    };
    expectFailure({{}, gw::CollectionType::variants}, CollectionError::Case::empty);
    expectFailure({{gwtest::pictureOfSize(4, 4), gwtest::pictureOfSize(8, 8)}, gw::CollectionType::batch},
                  CollectionError::Case::tooMany);

    // A manifest folder without images asks for no picture and leaves no children.
    auto noImages = iconSet();
    noImages.imageDefinitions.clear();
    gw::ImageFolderFromConfigBuilder empty(kFolder, noImages);
    EXPECT_NO_THROW(empty.configureImageDefinitionBuilders({{}, gw::CollectionType::single}, {}, kFolder));
    EXPECT_TRUE(empty.subMetaDataAndDefinitionProviders().empty());
}

TEST(TopLevelFolderDefinitionBuilder, CatalogHoldsTheInfoBlockOnly) {
    gw::TopLevelFolderDefinitionBuilder catalog(pf::URL::fileURL("/tmp/out/Assets.xcassets", true));
    catalog.subfolderDefinitions = {gw::FolderDefinition{kFolder, {}, {}, {}}};
    const auto definition = catalog.folderDefinition();
    EXPECT_EQ(definition.contentsDictionary, gw::contentsInfoBlock());
    EXPECT_TRUE(definition.imageDefinitions.empty());
    ASSERT_EQ(definition.subfolderDefinitions.size(), 1u);
    EXPECT_TRUE(catalog.metaData().empty());
}

}  // namespace
