#include "app/definitions/image_asset_builder.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::CollectionType;
using gw::FolderDefinitionBuilderAsset;
using gw::ImageDefinition;
using pf::Value;

class ImageAssetBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    gw::ImageInputPtr logo(std::set<std::int64_t> deviceTypes) {
        auto picture = gwtest::loadPng(pictures_.path(), "Logo", 120, 90);
        picture->setDeviceTypesRawValues(deviceTypes);
        return picture;
    }

    gw::FolderDefinition build(const gw::ImageInputPtr& picture, CollectionType type = CollectionType::single) {
        return FolderDefinitionBuilderAsset({{picture}, type}, output_, factory_).build();
    }

    static const gw::FolderDefinition& imageSet(const gw::FolderDefinition& catalog) {
        return catalog.subfolderDefinitions.at(0);
    }
    static Value entries(const gw::FolderDefinition& catalog) {
        return Value(imageSet(catalog).contentsDictionary)["images"];
    }

    gwtest::TempDir pictures_;
    gwtest::TempDir outputDir_;
    pf::URL output_ = pf::URL::fileURL(outputDir_.path(), true);
    std::shared_ptr<gwtest::StoredAnswerTestFactory> factory_ = std::make_shared<gwtest::StoredAnswerTestFactory>();
};

TEST_F(ImageAssetBuilder, PlansTheGoldenBitmapImageSet) {
    auto picture = logo({1, 2, 5});  // iphone, ipad, watch
    ASSERT_EQ(picture->selectedPointSize(), (platform::graphics::Size{40, 30}));
    const auto catalog = build(picture);
    gwtest::expectMatchesGolden(catalog, "asset/bitmap");
    for (const auto& image : imageSet(catalog).imageDefinitions) {
        EXPECT_EQ(image.imageInput, picture);
        EXPECT_EQ(image.format, ImageDefinition::Format::png);
        EXPECT_EQ(image.scaleType, gw::ScaleType::stretch);
        EXPECT_EQ(image.zoom, 1.0f);
        EXPECT_EQ(image.backgroundColour, platform::graphics::Color::clear());
        EXPECT_FALSE(image.isAlphaChannelRemoved || image.roundCorners || image.addShadow);
    }
    // The five watch entries name one file, which is planned once.
    EXPECT_EQ(entries(catalog).size(), 10u);
    EXPECT_EQ(imageSet(catalog).imageDefinitions.size(), 6u);
}

TEST_F(ImageAssetBuilder, VectorPicturesArePDFOnlyWhileTheSettingKeepsThem) {
    auto badge = gwtest::loadSvg(pictures_.path(), "Badge", 64, 32);
    badge->setDeviceTypesRawValues({2, 5});  // ipad, watch
    ASSERT_TRUE(badge->isVector());
    const auto catalog = build(badge);
    gwtest::expectMatchesGolden(catalog, "asset/vector");
    for (const auto& image : imageSet(catalog).imageDefinitions) EXPECT_EQ(image.format, ImageDefinition::Format::pdf);

    pf::UserDefaults::standard().setBool(false, gw::rawValue(gw::UserDefaultsKey::retainPDFFormat));
    const auto asPNG = build(badge);
    EXPECT_EQ(entries(asPNG).asArray()->at(0),
              Value::dict({{"filename", "Badge~ipad@1x.png"}, {"idiom", "ipad"}, {"scale", "1x"}}));
    for (const auto& image : imageSet(asPNG).imageDefinitions) EXPECT_EQ(image.format, ImageDefinition::Format::png);
    // A bitmap stays PNG whatever the setting says.
    pf::UserDefaults::standard().setBool(true, gw::rawValue(gw::UserDefaultsKey::retainPDFFormat));
    const auto bitmap = build(logo({0}));
    for (const auto& image : imageSet(bitmap).imageDefinitions) EXPECT_EQ(image.format, ImageDefinition::Format::png);
}

TEST_F(ImageAssetBuilder, IdiomsScalesAndPadding) {
    auto picture = logo({0});
    picture->setDeviceTypes({});
    picture->setPadding(0.1);
    const auto universal = build(picture);
    ASSERT_EQ(entries(universal).size(), 3u);
    EXPECT_EQ(entries(universal).asArray()->at(2),
              Value::dict({{"filename", "Logo~universal@3x.png"}, {"idiom", "universal"}, {"scale", "3x"}}));
    for (const auto& image : imageSet(universal).imageDefinitions) EXPECT_EQ(image.zoom, 0.9f);

    picture->setDeviceTypesRawValues({2, 3, 4});  // ipad, mac, tv: 1x and 2x each
    std::vector<std::string> listed;
    const auto list = entries(build(picture));
    for (const auto& entry : *list.asArray()) listed.push_back(*entry["filename"].asString());
    EXPECT_EQ(listed, (std::vector<std::string>{"Logo~ipad@1x.png", "Logo~ipad@2x.png", "Logo~mac@1x.png",
                                                "Logo~mac@2x.png", "Logo~tv@1x.png", "Logo~tv@2x.png"}));
}

TEST_F(ImageAssetBuilder, AnImageSetFoundBelowTheCatalogIsUpdatedWhereItIs) {
    const auto catalog = outputDir_.path() / "Assets.xcassets";
    fs::create_directories(catalog / "Icons" / "Logo.imageset");
    const auto catalogPlan = build(logo({1}));
    EXPECT_EQ(imageSet(catalogPlan).outputDirectory.fsPath(), catalog / "Icons" / "Logo.imageset");
    auto requests = factory_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, gw::WritingIntentKind::catalog);
    EXPECT_EQ(requests[1].kind, gw::WritingIntentKind::asset);
    // Not marked appendable: a stored "append" answer is meant for new image sets.
    EXPECT_EQ(requests[1].options.size(), 1u);

    fs::remove_all(catalog / "Icons");
    EXPECT_EQ(imageSet(build(logo({1}))).outputDirectory.fsPath(), catalog / "Logo.imageset");
    requests = factory_->requests();
    EXPECT_EQ(requests.back().options.size(), 2u);
    EXPECT_TRUE(requests.back().options[1].isAppendable());
}

// Converted for the iPhone, then for the iPad, into the same catalog: both stay.
TEST_F(ImageAssetBuilder, ConversionsForTwoDeviceKindsAppendToOneImageSet) {
    gwtest::writePlannedTree(build(logo({1})));
    const auto imageSetPath = outputDir_.path() / "Assets.xcassets" / "Logo.imageset";
    ASSERT_TRUE(fs::exists(imageSetPath / "Logo~iphone@3x.png"));

    const auto second = build(logo({2}));
    gwtest::writePlannedTree(second);
    const auto written = pf::json::parse(pf::files::readString(imageSetPath / "Contents.json"));
    std::vector<std::string> listed;
    for (const auto& entry : *written["images"].asArray()) listed.push_back(*entry["filename"].asString());
    EXPECT_EQ(listed, (std::vector<std::string>{"Logo~ipad@1x.png", "Logo~ipad@2x.png", "Logo~iphone@1x.png",
                                                "Logo~iphone@2x.png", "Logo~iphone@3x.png"}));
    for (const auto& file : listed) EXPECT_TRUE(fs::exists(imageSetPath / file)) << file;
    // Only the new files are rendered; the iPhone files stay as they were.
    EXPECT_EQ(imageSet(second).imageDefinitions.size(), 2u);

    // The iPhone again: its old entries give way to the new ones, the iPad's stay.
    gwtest::writePlannedTree(build(logo({1})));
    EXPECT_EQ(pf::json::parse(pf::files::readString(imageSetPath / "Contents.json"))["images"].size(), 5u);
}

TEST_F(ImageAssetBuilder, AnOverwritingAnswerMakesTheImageSetNew) {
    gwtest::writePlannedTree(build(logo({1})));
    const auto redirected = pf::URL::fileURL(outputDir_.path() / "Assets.xcassets" / "Logo.imageset", true);
    factory_->setAnswer(gw::WritingIntentKind::asset, {false, redirected});
    EXPECT_EQ(entries(build(logo({2}))).size(), 2u);  // the iPhone entries on disk are not carried over
}

TEST_F(ImageAssetBuilder, FailuresEndTheBuildAndGiveNoWarnings) {
    factory_->setAnswer(gw::WritingIntentKind::catalog, {true, std::nullopt});
    EXPECT_THROW(build(logo({1})), gw::FileWritingIntentError);
    FolderDefinitionBuilderAsset batch({{logo({1}), logo({2})}, CollectionType::batch}, output_, factory_);
    EXPECT_TRUE(batch.validate().empty());
    FolderDefinitionBuilderAsset empty({{}, CollectionType::single}, output_, factory_);
    EXPECT_THROW(empty.build(), gw::ImageInputCollection::ImageInputCollectionError);
}

}  // namespace
