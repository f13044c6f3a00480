#include "app/definitions/game_center_dashboard_builder.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "edited_manifest_support.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gw::CollectionType;
using gw::FolderDefinitionBuildertvOSDashboard;
using gw::WritingIntentKind;

class DashboardBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    gw::FolderDefinition build(std::vector<gw::ImageInputPtr> pictures) {
        return FolderDefinitionBuildertvOSDashboard({std::move(pictures), CollectionType::single}, output_, factory_)
            .build();
    }

    gwtest::TempDir dir_;
    pf::URL output_ = pf::URL::fileURL(dir_.path(), true);
    std::shared_ptr<gwtest::StoredAnswerTestFactory> factory_ = std::make_shared<gwtest::StoredAnswerTestFactory>();
};

TEST_F(DashboardBuilder, PlansTheGoldenDashboardFromARealPicture) {
    auto picture = gwtest::loadPng(dir_.path(), "Logo", 1846, 300);
    const auto catalog = build({picture});
    gwtest::expectMatchesGolden(catalog, "tvos-game-center-dashboard");
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.imageInput, picture);
        EXPECT_EQ(image.scaleType, gw::ScaleType::stretch);
        EXPECT_TRUE(image.isAlphaChannelRemoved);
    }
    // The group is written into without asking; the dashboard and its image set may ask.
    std::vector<WritingIntentKind> kinds;
    for (const auto& request : factory_->requests()) kinds.push_back(request.kind);
    EXPECT_EQ(kinds, (std::vector<WritingIntentKind>{WritingIntentKind::catalog, WritingIntentKind::append,
                                                     WritingIntentKind::asset, WritingIntentKind::asset}));

    pf::UserDefaults::standard().setBool(false, gw::rawValue(gw::UserDefaultsKey::removeiOSIconTransparency));
    for (const auto& image : gwtest::allImages(build({picture}))) EXPECT_FALSE(image.isAlphaChannelRemoved);
}

// The Game Center group is shared with other assets: what its file already says stays.
TEST_F(DashboardBuilder, KeepsTheExistingGroupSettings) {
    const auto group = dir_.path() / "Assets.xcassets" / "Game Center";
    fs::create_directories(group);
    gwtest::writeFile(group / "Contents.json",
                      R"({"info": {"version": 1, "author": "someone"}, "properties": {"provides-namespace": true}})");
    const auto catalog = build({gwtest::pictureOfSize(923, 150)});
    const auto& groupFolder = catalog.subfolderDefinitions.at(0);
    EXPECT_EQ(pf::Value(groupFolder.contentsDictionary),
              pf::Value::dict({{"properties", pf::Value::dict({{"provides-namespace", true}})},
                               {"info", pf::Value(gw::contentsInfoBlock())["info"]}}));
    // The dashboard folder itself lists nothing but empty properties.
    EXPECT_EQ(pf::Value(groupFolder.subfolderDefinitions.at(0).contentsDictionary)["properties"],
              pf::Value(pf::Dictionary{}));
}

TEST_F(DashboardBuilder, ACancelAtTheImageSetEndsTheBuild) {
    factory_->setAnswer(WritingIntentKind::asset, {true, std::nullopt});
    EXPECT_THROW(build({gwtest::pictureOfSize(923, 150)}), gw::FileWritingIntentError);
    EXPECT_TRUE(
        FolderDefinitionBuildertvOSDashboard({{}, CollectionType::single}, output_, factory_).validate().empty());
}

// Only the first subfolder of each level is used, and the two outer folders write
// nothing of their manifest entries but the folder name.
TEST_F(DashboardBuilder, UsesTheFirstSubfoldersAndNothingElseOfTheOuterEntries) {
    gwtest::useEditedManifest([](pf::Value& manifests) {
        auto& group = manifests.member("tvOSDashboard");
        group.member("metaData") = pf::Value::dict({{"idiom", "tv"}});
        group.member("properties") = pf::Value::dict({{"provides-namespace", true}});
        auto& dashboard = group.member("assets").asArray()->at(0);
        dashboard.member("properties") = pf::Value::dict({{"identifier", "Ignored"}});
        dashboard.member("assets").asArray()->push_back(pf::Value::dict({{"filename", "Second.imageset"}}));
        group.member("assets").asArray()->push_back(pf::Value::dict({{"filename", "Second.gcdashboardimage"}}));
    });
    const auto catalog = build({gwtest::pictureOfSize(1846, 300)});
    const pf::Value emptyFolder = pf::Value::dict(
        {{"properties", pf::Value(pf::Dictionary{})}, {"info", pf::Value(gw::contentsInfoBlock())["info"]}});
    ASSERT_EQ(catalog.subfolderDefinitions.size(), 1u);
    const auto& group = catalog.subfolderDefinitions[0];
    EXPECT_EQ(pf::Value(group.contentsDictionary), emptyFolder);
    ASSERT_EQ(group.subfolderDefinitions.size(), 1u);
    const auto& dashboard = group.subfolderDefinitions[0];
    EXPECT_EQ(dashboard.outputDirectory.lastPathComponent(), "Dashboard Image.gcdashboardimage");
    EXPECT_EQ(pf::Value(dashboard.contentsDictionary), emptyFolder);
    ASSERT_EQ(dashboard.subfolderDefinitions.size(), 1u);
    EXPECT_EQ(dashboard.subfolderDefinitions[0].outputDirectory.lastPathComponent(), "Logo.imageset");
    EXPECT_EQ(gwtest::allImages(catalog).size(), 2u);
}

}  // namespace
