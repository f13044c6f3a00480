// The launch-image builders (iOS, tvOS) and the iMessage and watchOS icon builders:
// one folder from one manifest entry, each with its own rendering settings.
#include "app/definitions/imessage_icon_builder.hpp"
#include "app/definitions/ios_splash_builder.hpp"
#include "app/definitions/tvos_splash_builder.hpp"
#include "app/definitions/watch_icon_builder.hpp"

#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "edited_manifest_support.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace {

namespace pf = platform::foundation;
namespace pg = platform::graphics;
using gw::CollectionType;
using gw::ScaleType;
using gw::UserDefaultsKey;

using gwtest::kOutput;

class ManifestTypeBuilders : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    template <class Builder>
    gw::FolderDefinition build(std::vector<gw::ImageInputPtr> pictures, CollectionType type = CollectionType::single) {
        return Builder({std::move(pictures), type}, kOutput, factory_).build();
    }

    static void set(UserDefaultsKey key, bool value) { pf::UserDefaults::standard().setBool(value, gw::rawValue(key)); }
    static void setInteger(UserDefaultsKey key, std::int64_t value) {
        pf::UserDefaults::standard().setInteger(value, gw::rawValue(key));
    }

    gwtest::TempDir pictures_;
    std::shared_ptr<gwtest::StoredAnswerTestFactory> factory_ = std::make_shared<gwtest::StoredAnswerTestFactory>();
};

TEST_F(ManifestTypeBuilders, PlanTheirGoldenCatalogsFromRealPictures) {
    auto picture = gwtest::loadPng(pictures_.path(), "Artwork", 1024, 1024, {10, 20, 30, 255});
    picture->setBackgroundColour(pg::Color::rgb(1, 0, 0));
    const auto splash = build<gw::FolderDefinitionBuilderiOSSplash>({picture});
    gwtest::expectMatchesGolden(splash, "ios-splash");
    // Every launch-image slot, the six iPad Pro ones included.
    const auto launchImages = pf::json::parse(gwtest::readFile(
        std::filesystem::path(GW_FIXTURES_DIR) / "golden/ios-splash/Assets.xcassets/LaunchImage.launchimage/Contents.json"));
    const auto* slots = launchImages["images"].asArray();
    ASSERT_TRUE(slots);
    EXPECT_EQ(slots->size(), 32u);
    std::set<std::string> iPadProSubtypes;
    for (const auto& slot : *slots) {
        const auto subtype = slot["subtype"].asString();
        if (*slot["idiom"].asString() == "ipad" && subtype) iPadProSubtypes.insert(*subtype + "/" + *slot["orientation"].asString());
    }
    EXPECT_EQ(iPadProSubtypes, (std::set<std::string>{"1366h/landscape", "1366h/portrait", "2224h/landscape",
                                                       "2224h/portrait", "2388h/landscape", "2388h/portrait"}));
    const auto messages = build<gw::FolderDefinitionBuilderiMessageIcon>({picture});
    gwtest::expectMatchesGolden(messages, "imessage-icon");
    const auto watch = build<gw::FolderDefinitionBuilderWatchIcon>({picture});
    gwtest::expectMatchesGolden(watch, "watch-icon");
    const auto tvSplash = build<gw::FolderDefinitionBuildertvOSSplash>({picture});
    gwtest::expectMatchesGolden(tvSplash, "tvos-splash");

    const auto corner = picture->imageWrapper()->cornerPixelColor();
    ASSERT_TRUE(corner);
    struct Expected {
        const gw::FolderDefinition& catalog;
        ScaleType scaleType;
        pg::Color background;
        bool alphaRemoved;
    };
    for (const auto& [catalog, scaleType, background, alphaRemoved] :
         {Expected{splash, ScaleType::stretch, pg::Color::rgb(1, 0, 0), true},
          Expected{messages, ScaleType::aspectFill, *corner, false},
          Expected{watch, ScaleType::stretch, pg::Color::clear(), true},
          Expected{tvSplash, ScaleType::aspectFill, *corner, true}}) {
        for (const auto& image : gwtest::allImages(catalog)) {
            SCOPED_TRACE(image.outputDirectory.path());
            EXPECT_EQ(image.imageInput, picture);
            EXPECT_EQ(image.scaleType, scaleType);
            EXPECT_EQ(image.zoom, 1.0f);
            EXPECT_EQ(image.backgroundColour, background);
            EXPECT_EQ(image.isAlphaChannelRemoved, alphaRemoved);
            EXPECT_EQ(image.format, gw::ImageDefinition::Format::png);
            EXPECT_FALSE(image.roundCorners || image.addShadow);
        }
    }
}

// The first picture fits every launch image; each image is drawn from the picture
// that suits its size and takes that picture's own background.
TEST_F(ManifestTypeBuilders, SplashTakesScaleAndZoomFromTheFirstPicture) {
    auto landscape = gwtest::pictureOfSize(300, 200, "Wide");
    landscape->setScaleType(ScaleType::aspectFit);
    landscape->setZoom(0.8);
    landscape->setBackgroundColour(pg::Color::rgb(0, 1, 0));
    auto portrait = gwtest::pictureOfSize(200, 300, "Tall");
    portrait->setScaleType(ScaleType::stretch);
    portrait->setBackgroundColour(std::nullopt);
    const auto catalog = build<gw::FolderDefinitionBuilderiOSSplash>({landscape, portrait}, CollectionType::variants);
    std::set<std::string> used;
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.scaleType, ScaleType::aspectFit);
        EXPECT_EQ(image.zoom, 0.8f);
        used.insert(image.imageInput->imageName());
        const bool wide = image.size.width > image.size.height;
        EXPECT_EQ(image.imageInput, wide ? landscape : portrait) << image.outputDirectory.path();
        EXPECT_EQ(image.backgroundColour, wide ? pg::Color::rgb(0, 1, 0) : pg::Color::clear());
    }
    EXPECT_EQ(used.size(), 2u);
}

TEST_F(ManifestTypeBuilders, ScaleTypeAndTransparencySettings) {
    auto picture = gwtest::pictureOfSize(1024, 1024);
    auto scaleTypes = [](const gw::FolderDefinition& catalog) {
        std::set<ScaleType> found;
        for (const auto& image : gwtest::allImages(catalog)) found.insert(image.scaleType);
        return found;
    };
    auto alphaRemoval = [](const gw::FolderDefinition& catalog) {
        std::set<bool> found;
        for (const auto& image : gwtest::allImages(catalog)) found.insert(image.isAlphaChannelRemoved);
        return found;
    };
    setInteger(UserDefaultsKey::iconScaleType, 2);
    EXPECT_EQ(scaleTypes(build<gw::FolderDefinitionBuilderiMessageIcon>({picture})), std::set{ScaleType::aspectFit});
    setInteger(UserDefaultsKey::iconScaleType, 0);
    EXPECT_EQ(scaleTypes(build<gw::FolderDefinitionBuildertvOSSplash>({picture})), std::set{ScaleType::stretch});
    // A stored value that names no scale type counts as never written.
    setInteger(UserDefaultsKey::iconScaleType, 7);
    EXPECT_EQ(scaleTypes(build<gw::FolderDefinitionBuilderiMessageIcon>({picture})), std::set{ScaleType::aspectFill});

    set(UserDefaultsKey::removeiOSIconTransparency, false);
    EXPECT_EQ(alphaRemoval(build<gw::FolderDefinitionBuilderiOSSplash>({picture})), std::set{false});
    EXPECT_EQ(alphaRemoval(build<gw::FolderDefinitionBuildertvOSSplash>({picture})), std::set{false});
    EXPECT_EQ(alphaRemoval(build<gw::FolderDefinitionBuilderWatchIcon>({picture})), std::set{true});
    set(UserDefaultsKey::removeiOSIconTransparency, true);
    EXPECT_EQ(alphaRemoval(build<gw::FolderDefinitionBuilderiMessageIcon>({picture})), std::set{false});
}

TEST_F(ManifestTypeBuilders, TvSplashTakesEachImagesBackgroundFromItsOwnPicture) {
    auto small = gwtest::pictureOfSize(1920, 1080, "Small");
    small->imageWrapper()->setCornerPixelColor(pg::Color::rgb(1, 0, 0));
    auto large = gwtest::pictureOfSize(3840, 2160, "Large");
    large->imageWrapper()->setCornerPixelColor(pg::Color::rgb(0, 0, 1));
    const auto catalog = build<gw::FolderDefinitionBuildertvOSSplash>({small, large}, CollectionType::variants);
    const auto images = gwtest::allImages(catalog);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].backgroundColour, pg::Color::rgb(1, 0, 0));
    EXPECT_EQ(images[1].backgroundColour, pg::Color::rgb(0, 0, 1));
}

TEST_F(ManifestTypeBuilders, AskTheCatalogThenTheFolderAndStopOnRefusals) {
    auto picture = gwtest::pictureOfSize(64, 64);
    factory_->setAnswer(gw::WritingIntentKind::catalog,
                        {false, pf::URL::fileURL("/tmp/gw-out/Assets1.xcassets", true)});
    const auto catalog = build<gw::FolderDefinitionBuilderWatchIcon>({picture});
    EXPECT_EQ(catalog.subfolderDefinitions.at(0).outputDirectory.path(),
              "/tmp/gw-out/Assets1.xcassets/AppIcon.appiconset");
    const auto requests = factory_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].kind, gw::WritingIntentKind::asset);
    EXPECT_EQ(requests[1].url.path(), "/tmp/gw-out/Assets1.xcassets/AppIcon.appiconset");

    factory_->setAnswer(gw::WritingIntentKind::asset, {true, std::nullopt});
    EXPECT_THROW(build<gw::FolderDefinitionBuilderiMessageIcon>({picture}), gw::FileWritingIntentError);
    gw::FolderDefinitionBuilderiOSSplash refused({{}, CollectionType::single}, kOutput, factory_);
    EXPECT_THROW(refused.build(), gw::ImageInputCollection::ImageInputCollectionError);
    EXPECT_TRUE(refused.validate().empty());
}

// Only the iOS icon leaves CarPlay slots out; these four plan every image their entry lists.
TEST_F(ManifestTypeBuilders, CarSlotsArePlannedWhateverTheSetting) {
    gwtest::useEditedManifest([](pf::Value& manifests) {
        for (const char* entry : {"iosSplash", "messageIcon", "watchIcon", "tvOSSplash"}) {
            manifests.member(entry).member("images").asArray()->push_back(gwtest::manifestImage(
                "CarPlay@2x.png", pf::Value::dict({{"idiom", "car"}, {"scale", "2x"}}), 120, 120));
        }
    });
    set(UserDefaultsKey::carKitOn, false);
    auto picture = gwtest::pictureOfSize(1024, 1024);
    for (const auto& catalog :
         {build<gw::FolderDefinitionBuilderiOSSplash>({picture}), build<gw::FolderDefinitionBuilderiMessageIcon>({picture}),
          build<gw::FolderDefinitionBuilderWatchIcon>({picture}), build<gw::FolderDefinitionBuildertvOSSplash>({picture})}) {
        const auto& folder = catalog.subfolderDefinitions.at(0);
        SCOPED_TRACE(folder.outputDirectory.path());
        const pf::Value contents(folder.contentsDictionary);
        const auto& listed = *contents["images"].asArray();
        ASSERT_FALSE(listed.empty());
        EXPECT_EQ(listed.back(), pf::Value::dict({{"filename", "CarPlay@2x.png"}, {"idiom", "car"}, {"scale", "2x"}}));
        ASSERT_FALSE(folder.imageDefinitions.empty());
        EXPECT_EQ(folder.imageDefinitions.back().outputDirectory.lastPathComponent(), "CarPlay@2x.png");
        EXPECT_EQ(folder.imageDefinitions.back().size, (pg::Size{120, 120}));
    }
}

}  // namespace
