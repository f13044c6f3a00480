#include "app/definitions/complication_builder.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "edited_manifest_support.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using gw::CollectionType;
using gw::FolderDefinitionBuilderComplication;
using gw::WritingIntentKind;

class ComplicationBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    gw::FolderDefinition build(std::vector<gw::ImageInputPtr> pictures, CollectionType type = CollectionType::single) {
        return FolderDefinitionBuilderComplication({std::move(pictures), type}, output_, factory_).build();
    }

    gwtest::TempDir dir_;
    pf::URL output_ = pf::URL::fileURL(dir_.path(), true);
    std::shared_ptr<gwtest::AlwaysAllowTestFactory> factory_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
};

TEST_F(ComplicationBuilder, PlansTheGoldenComplicationSetFromARealPicture) {
    auto picture = gwtest::loadPng(dir_.path(), "Face", 512, 512);
    const auto catalog = build({picture});
    gwtest::expectMatchesGolden(catalog, "complication-icon");
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.imageInput, picture);
        EXPECT_EQ(image.scaleType, gw::ScaleType::aspectFill);
        EXPECT_EQ(image.backgroundColour, platform::graphics::Color::clear());
        EXPECT_FALSE(image.isAlphaChannelRemoved);
    }
    // Catalog, complication set, then every family, whose folder is always written new.
    const auto requests = factory_->requests();
    ASSERT_EQ(requests.size(), 11u);
    EXPECT_EQ(requests[0].kind, WritingIntentKind::catalog);
    EXPECT_EQ(requests[1].kind, WritingIntentKind::asset);
    EXPECT_EQ(requests[2].url.lastPathComponent(), "Circular.imageset");
    for (std::size_t i = 2; i < requests.size(); ++i) EXPECT_EQ(requests[i].kind, WritingIntentKind::overwrite);
}

TEST_F(ComplicationBuilder, SettingsThatShapeTheFamilyImages) {
    pf::UserDefaults::standard().setInteger(2, gw::rawValue(gw::UserDefaultsKey::iconScaleType));
    pf::UserDefaults::standard().setBool(true, gw::rawValue(gw::UserDefaultsKey::removeiOSIconTransparency));
    const auto catalog = build({gwtest::pictureOfSize(100, 100)});
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.scaleType, gw::ScaleType::aspectFit);
        EXPECT_FALSE(image.isAlphaChannelRemoved);
    }
    EXPECT_THROW(build({}), gw::ImageInputCollection::ImageInputCollectionError);
}

// The root entry gives the complication set its name; images listed on it are not planned.
TEST_F(ComplicationBuilder, ImagesOfTheRootEntryAreNotPlanned) {
    gwtest::useEditedManifest([](pf::Value& manifests) {
        manifests.member("complicationIcons").member("images") = pf::Value::array(
            {gwtest::manifestImage("Root@2x.png", pf::Value::dict({{"idiom", "watch"}, {"scale", "2x"}}), 64, 64)});
    });
    const auto catalog = build({gwtest::pictureOfSize(100, 100)});
    const auto& set = catalog.subfolderDefinitions.at(0);
    EXPECT_TRUE(set.imageDefinitions.empty());
    EXPECT_EQ(set.subfolderDefinitions.size(), 9u);
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_NE(image.outputDirectory.lastPathComponent(), "Root@2x.png");
    }
    EXPECT_EQ(pf::Value(set.contentsDictionary)["images"], pf::Value());
}

}  // namespace
